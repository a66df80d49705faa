// Runs the real quarry program and collects its output.
#pragma once

#include <string>
#include <vector>

struct QuarryRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program with these arguments and `input` on its standard input.
QuarryRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::string& input = "");

// Runs the quarry binary.
inline QuarryRun RunQuarryProcess(const std::vector<std::string>& args,
                                  const std::string& input = "") {
  return RunProgram(QUARRY_BIN, args, input);
}
