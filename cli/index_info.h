// The secondary indexes `quarry info` prints.
#pragma once

#include <ostream>

#include "engine/engine.h"

namespace cli {

// Prints the secondary indexes of an open table: name, fields (with their
// direction) and properties; nothing when it has none.
void PrintSecondaryIndexes(engine::hDBICur cursor, std::ostream& out);

}  // namespace cli
