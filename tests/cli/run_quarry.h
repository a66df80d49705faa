// Runs the real quarry program and collects its output.
#pragma once

#include <string>
#include <vector>

struct QuarryRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the quarry binary with these arguments and `input` on its standard input.
QuarryRun RunQuarryProcess(const std::vector<std::string>& args, const std::string& input = "");
