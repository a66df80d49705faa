// A temporary directory removed with everything in it at the end of a test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
 public:
  // In memory: for tests that make many changes, each of which flushes its
  // files to disk (/dev/shm when there is one).
  enum class Where { Disk, Memory };

  explicit TempDir(Where where = Where::Disk) {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    if (where == Where::Memory && std::filesystem::is_directory("/dev/shm")) base = "/dev/shm";
    std::string t = (base / "quarry-test-XXXXXX").string();
    path_ = mkdtemp(t.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The shared corpus of real table files, or "" when it is absent.
inline std::string CorpusDir(const std::string& sub = "") {
#ifdef QUARRY_CORPUS_DIR
  std::string dir = std::string(QUARRY_CORPUS_DIR) + (sub.empty() ? "" : "/" + sub);
  if (std::filesystem::is_directory(dir)) return dir;
#endif
  (void)sub;
  return {};
}
