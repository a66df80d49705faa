// Field values as text: the forms `quarry dump` prints and `quarry insert`
// reads, and the data grid shows and takes in.
#pragma once

#include <string>

#include "engine/records.h"
#include "engine/value.h"

namespace engine {

// Empty for NULL. Dates YYYY-MM-DD, times HH:MM:SS[.mmm], numbers in their
// shortest round-trip form, logicals true/false, binary data as lowercase hex.
std::string FormatValue(const Value& value);

// Parses text for a field of this descriptor; an empty text is NULL.
// Throws std::runtime_error naming the field ("field NAME: ...") when the
// text does not fit, or is not valid UTF-8.
Value ParseValue(const FieldDesc& field, const std::string& text);

}  // namespace engine
