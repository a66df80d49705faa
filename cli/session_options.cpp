#include "cli/session_options.h"

#include <filesystem>
#include <stdexcept>

#include "engine/config/config.h"
#include "engine/dataset/dberror.h"
#include "engine/engine.h"

namespace cli {

Args ParseCommandArgs(const std::vector<std::string>& words, std::set<std::string> valueOptions,
                      const std::set<std::string>& flagOptions) {
  valueOptions.insert("config");
  valueOptions.insert("password");
  Args args(words, valueOptions, flagOptions);
  const std::string config = args.value("config").value_or("");
  // Checked here as well as where the engine reads the file: not every
  // command reads the configuration, and none should run with one ignored.
  std::error_code ec;
  if (!config.empty() && std::filesystem::is_directory(config, ec))
    throw std::runtime_error(config + ": is a directory, not a configuration file");
  engine::SetConfigFile(config);
  for (const std::string& pw : args.values("password")) engine::AddPassword(pw);
  return args;
}

std::string ResolveTable(const std::string& name) {
  std::string path;
  engine::Check(engine::ResolveTableName(name, path));
  return path;
}

}  // namespace cli
