// What every quarry command shares: the options --config FILE (the engine
// configuration to use) and --password PW (repeatable, added to the
// session's passwords), and tables named as a path or as ALIAS:TABLE.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "cli/args.h"

namespace cli {

// Parses a command's words with its own options plus --config and
// --password, and applies those two: the configuration file is chosen (the
// environment's when --config is absent; --config naming a directory raises
// std::runtime_error) and the passwords are added.
Args ParseCommandArgs(const std::vector<std::string>& words,
                      std::set<std::string> valueOptions = {},
                      const std::set<std::string>& flagOptions = {});

// The path of a table named as a path or as ALIAS:TABLE ("WORK:ORDERS" is
// ORDERS.DB in the directory of the alias WORK). Raises EDBEngineError for
// an unknown alias.
std::string ResolveTable(const std::string& name);

}  // namespace cli
