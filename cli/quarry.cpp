#include "cli/quarry.h"

#include <iostream>
#include <sstream>

#include "cli/args.h"
#include "cli/commands.h"
#include "engine/dataset/dberror.h"

namespace cli {

namespace {

constexpr int kFailure = 1;
constexpr int kUsage = 2;

const Command* FindCommand(const std::string& name) {
  for (const Command& c : Commands())
    if (c.name == name) return &c;
  return nullptr;
}

int UsageFailure(Streams& io, const std::string& message) {
  io.err << "quarry: " << message << "\n" << UsageText();
  return kUsage;
}

}  // namespace

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = [] {
    std::vector<Command> all = TableCommands();
    for (Command& c : AliasCommands()) all.push_back(std::move(c));
    for (Command& c : FamilyCommands()) all.push_back(std::move(c));
    for (Command& c : BackupCommands()) all.push_back(std::move(c));
    for (Command& c : StructureCommands()) all.push_back(std::move(c));
    for (Command& c : RestructureCommands()) all.push_back(std::move(c));
    for (Command& c : ExportCommands()) all.push_back(std::move(c));
    for (Command& c : SqlCommands()) all.push_back(std::move(c));
    return all;
  }();
  return commands;
}

std::string UsageText() {
  std::ostringstream s;
  s << "usage: quarry COMMAND [ARGUMENTS]\n"
       "       quarry --help | --version\n"
       "every command takes --config FILE (the engine configuration) and\n"
       "--password PW (repeatable); tables are paths or ALIAS:TABLE\n";
  if (!Commands().empty()) s << "commands:\n";
  for (const Command& c : Commands())
    s << "  " << c.name << (c.usage.empty() ? "" : " ") << c.usage << "\n      " << c.summary
      << "\n";
  return s.str();
}

int RunQuarry(const std::vector<std::string>& args, Streams io) {
  if (args.empty()) return UsageFailure(io, "no command given");
  const std::string& first = args.front();
  if (first == "--help" || first == "-h" || first == "help") {
    io.out << "quarry " << QUARRY_VERSION
           << ": inspect and maintain Paradox and dBASE tables\n\n"
           << UsageText();
    return 0;
  }
  if (first == "--version") {
    io.out << "quarry " << QUARRY_VERSION << "\n";
    return 0;
  }
  const Command* command = FindCommand(first);
  if (!command) return UsageFailure(io, "unknown command '" + first + "'");
  try {
    return command->run({args.begin() + 1, args.end()}, io);
  } catch (const UsageError& e) {
    return UsageFailure(io, first + ": " + e.what());
  } catch (const engine::EDBEngineError& e) {
    io.err << "quarry: " << e.what() << "\n";
    return kFailure;
  } catch (const std::exception& e) {
    io.err << "quarry: " << e.what() << "\n";
    return kFailure;
  }
}

}  // namespace cli
