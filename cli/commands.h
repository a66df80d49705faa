// The groups of commands the quarry program offers.
#pragma once

#include <vector>

#include "cli/quarry.h"

namespace cli {

std::vector<Command> TableCommands();  // dump, info, create, insert
std::vector<Command> AliasCommands();  // aliases, alias add/delete

}  // namespace cli
