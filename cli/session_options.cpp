#include "cli/session_options.h"

#include "engine/config/config.h"
#include "engine/dataset/dberror.h"
#include "engine/engine.h"

namespace cli {

Args ParseCommandArgs(const std::vector<std::string>& words, std::set<std::string> valueOptions,
                      const std::set<std::string>& flagOptions) {
  valueOptions.insert("config");
  valueOptions.insert("password");
  Args args(words, valueOptions, flagOptions);
  engine::SetConfigFile(args.value("config").value_or(""));
  for (const std::string& pw : args.values("password")) engine::AddPassword(pw);
  return args;
}

std::string ResolveTable(const std::string& name) {
  std::string path;
  engine::Check(engine::ResolveTableName(name, path));
  return path;
}

}  // namespace cli
