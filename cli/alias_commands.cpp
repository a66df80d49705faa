// quarry aliases / alias add / alias delete.
#include <filesystem>
#include <iomanip>
#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/config/config.h"
#include "engine/dataset/dberror.h"

namespace cli {

using namespace engine;

namespace {

int Aliases(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words);
  args.expectPositional(0);
  std::vector<std::string> names;
  Check(GetAliasNames(names));
  std::size_t width = 0;
  for (const std::string& n : names) width = std::max(width, n.size());
  for (const std::string& n : names) {
    DatabaseDesc d;
    Check(GetDatabaseDesc(n, d));
    io.out << std::left << std::setw(static_cast<int>(width + 2)) << n << std::setw(9)
           << d.driverType << d.physicalPath << "\n";
  }
  return 0;
}

int AddAlias(const Args& args, Streams& io) {
  args.expectPositional(3);
  const std::string& name = args.positional()[1];
  std::filesystem::path dir = std::filesystem::absolute(args.positional()[2]).lexically_normal();
  std::string path = dir.string();
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec))
    Check(Fail(ErrNotFound, path + ": directory does not exist"));
  std::string driver = args.value("driver").value_or("PARADOX");
  Check(AddStandardAlias(name, path, driver));
  Check(SaveConfigFile());
  io.out << "Added alias " << name << " for " << path << "\n";
  return 0;
}

int DeleteAliasCommand(const Args& args, Streams& io) {
  args.expectPositional(2);
  const std::string& name = args.positional()[1];
  Check(DeleteAlias(name));
  Check(SaveConfigFile());
  io.out << "Deleted alias " << name << "\n";
  return 0;
}

int Alias(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"driver"});
  if (args.positional().empty()) throw UsageError("missing add or delete");
  const std::string& action = args.positional()[0];
  if (action == "add") return AddAlias(args, io);
  if (args.value("driver")) throw UsageError("--driver belongs to alias add");
  if (action == "delete") return DeleteAliasCommand(args, io);
  throw UsageError("unknown action '" + action + "' (add or delete)");
}

}  // namespace

std::vector<Command> AliasCommands() {
  return {
      {"aliases", "", "list the aliases of the configuration (name, driver, directory)", Aliases},
      {"alias", "add NAME PATH [--driver PARADOX|DBASE] | delete NAME",
       "add or delete an alias: a name for a directory of tables (used as ALIAS:TABLE)", Alias},
  };
}

}  // namespace cli
