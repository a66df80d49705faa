// Field values as text: the forms the command line prints and reads, and
// that conversions between text and other field types go through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace engine::text {
class Codec;
}

namespace engine {

// YYYY-MM-DD of a day number.
std::string FormatDate(std::int32_t day);
// HH:MM:SS of milliseconds since midnight, HH:MM:SS.mmm when they have a
// millisecond part.
std::string FormatTime(std::int64_t ms);
// The date and time of a timestamp, separated by a space. A timestamp too
// far out for a day number (or not finite) shows as its plain number.
std::string FormatTimestamp(double ms);
// The shortest text that reads back as the same double ("0.1", "1e+20").
std::string FormatNumber(double d);

// Read the forms above; false for anything else, including dates that do
// not exist (2023-02-30) and years outside 1 to 9999. A time may have one
// to three digits of milliseconds.
bool ParseDate(const std::string& text, std::int32_t& day);
bool ParseTime(const std::string& text, std::int32_t& ms);
bool ParseTimestamp(const std::string& text, double& ms);

// The parts of decimal text [+-]digits[.digits] with at least one digit:
// its sign, the digits before the point without leading zeros (empty when
// there are none) and the digits after it as written. False for any other
// text (blanks, exponents and thousands separators included).
bool SplitDecimal(std::string_view text, bool& negative, std::string& whole, std::string& fraction);

// The bytes a text field `width` bytes wide stores for `utf8`, in the
// table's code page; false with `why` for text that is no valid UTF-8, has
// characters the code page lacks or a NUL, or is too long.
bool TextFieldBytes(const std::string& utf8, const text::Codec& codec, std::size_t width,
                    std::string& bytes, std::string& why);

}  // namespace engine
