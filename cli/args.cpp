#include "cli/args.h"

namespace cli {

Args::Args(const std::vector<std::string>& words, const std::set<std::string>& valueOptions,
           const std::set<std::string>& flagOptions) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w.size() < 3 || w.compare(0, 2, "--") != 0) {
      positional_.push_back(w);
      continue;
    }
    std::string name = w.substr(2);
    std::optional<std::string> inlineValue;
    if (auto eq = name.find('='); eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.erase(eq);
    }
    if (flagOptions.count(name)) {
      if (inlineValue) throw UsageError("option --" + name + " takes no value");
      flags_.insert(name);
    } else if (valueOptions.count(name)) {
      if (!inlineValue && i + 1 >= words.size())
        throw UsageError("option --" + name + " needs a value");
      values_[name].push_back(inlineValue ? *inlineValue : words[++i]);
    } else {
      throw UsageError("unknown option --" + name);
    }
  }
}

void Args::expectPositional(std::size_t n) const {
  if (positional_.size() < n) throw UsageError("missing argument");
  if (positional_.size() > n) throw UsageError("unexpected argument '" + positional_[n] + "'");
}

std::optional<std::string> Args::value(const std::string& name) const {
  auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  if (it->second.size() > 1) throw UsageError("option --" + name + " given more than once");
  return it->second.front();
}

std::vector<std::string> Args::values(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::vector<std::string>{} : it->second;
}

long Args::intValue(const std::string& name, long fallback) const {
  auto v = value(name);
  if (!v) return fallback;
  try {
    std::size_t used = 0;
    long n = std::stol(*v, &used);
    if (used == v->size()) return n;
  } catch (const std::exception&) {
  }
  throw UsageError("option --" + name + " needs a whole number, not '" + *v + "'");
}

}  // namespace cli
