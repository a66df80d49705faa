// Names of the physical field types.
#pragma once

#include <cstdint>
#include <string>

namespace engine {

// "ALPHA", "NUMBER", ... for Paradox types 257..273 and dBASE types
// 513..525; "" for any other code.
std::string FieldTypeName(std::uint16_t physicalType);

}  // namespace engine
