// Points the engine configuration of a whole test program at a scratch
// file, so that no test reads or writes the user's own configuration.
// Define one ScratchConfig at namespace scope in a test file of the program:
// it sets QUARRY_CONFIG before any test runs (programs the tests start
// inherit it) and removes the scratch folder at exit.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class ScratchConfig {
 public:
  ScratchConfig() {
    std::string t = (std::filesystem::temp_directory_path() / "quarry-config-XXXXXX").string();
    if (mkdtemp(t.data())) dir_ = t;
    setenv("QUARRY_CONFIG", file().c_str(), 1);
  }
  ~ScratchConfig() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  ScratchConfig(const ScratchConfig&) = delete;
  ScratchConfig& operator=(const ScratchConfig&) = delete;

  std::string file() const { return dir_ + "/engine.cfg"; }

 private:
  std::string dir_;
};
