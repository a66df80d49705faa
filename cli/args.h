// Parsing of a command's arguments: positional words and --options, some of
// which take a value and may repeat.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// A usage error: the message is printed with the usage and the status is 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Args {
 public:
  // valueOptions take a value ("--password PW"); flagOptions take none.
  Args(const std::vector<std::string>& words, const std::set<std::string>& valueOptions,
       const std::set<std::string>& flagOptions);

  const std::vector<std::string>& positional() const { return positional_; }
  // Exactly n positional words, else a usage error.
  void expectPositional(std::size_t n) const;

  bool flag(const std::string& name) const { return flags_.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  std::vector<std::string> values(const std::string& name) const;
  // An integer option, or the fallback when absent; a usage error when malformed.
  long intValue(const std::string& name, long fallback) const;

 private:
  std::vector<std::string> positional_;
  std::set<std::string> flags_;
  std::map<std::string, std::vector<std::string>> values_;
};

}  // namespace cli
