// Whole-file reads and writes for tests.
#pragma once

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

// The content of a file; nullopt when it cannot be read.
inline std::optional<std::string> Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Replaces a file's content.
inline void Put(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}
