// Field values as text, in the forms `quarry dump` prints and `quarry
// insert` reads.
#pragma once

#include <string>

#include "engine/records.h"
#include "engine/value.h"

namespace cli {

// Empty for NULL. Dates YYYY-MM-DD, times HH:MM:SS[.mmm], numbers in their
// shortest round-trip form, logicals true/false, binary data as lowercase hex.
std::string FormatValue(const engine::Value& value);

// Parses text for a field of this descriptor; an empty text is NULL.
// Throws std::runtime_error naming the field ("field NAME: ...") when the
// text does not fit, or is not valid UTF-8.
engine::Value ParseValue(const engine::FieldDesc& field, const std::string& text);

}  // namespace cli
