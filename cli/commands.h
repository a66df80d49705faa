// The groups of commands the quarry program offers.
#pragma once

#include <vector>

#include "cli/quarry.h"

namespace cli {

std::vector<Command> TableCommands();  // dump, info, create, insert

}  // namespace cli
