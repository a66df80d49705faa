// The quarry command line: runs one command with its arguments.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

struct Streams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
};

struct Command {
  std::string name;
  std::string usage;    // the arguments, for the usage text
  std::string summary;  // one line
  // Returns the exit status; throws UsageError for bad arguments.
  std::function<int(const std::vector<std::string>& args, Streams& io)> run;
};

// All commands, in the order the usage lists them.
const std::vector<Command>& Commands();

std::string UsageText();

// Runs `quarry ARGS...`; returns the exit status (0 ok, 1 failure, 2 usage).
int RunQuarry(const std::vector<std::string>& args, Streams io);

}  // namespace cli
