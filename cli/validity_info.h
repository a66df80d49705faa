// The validity checks and links `quarry info` prints.
#pragma once

#include <ostream>

#include "engine/engine.h"

namespace cli {

// Prints the checks (required, minimum, maximum, default, picture, lookup
// table) and links (name, kind, other table, fields, update rule) of an
// open table; nothing when it has none.
void PrintValidity(engine::hDBICur cursor, std::ostream& out);

}  // namespace cli
