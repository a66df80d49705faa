// A field value as the engine hands it out and takes it in.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

namespace engine {

struct DateValue {
  std::int32_t day = 0;  // day number: 1 = 0001-01-01, proleptic Gregorian
  bool operator==(const DateValue&) const = default;
};
struct TimeValue {
  std::int32_t ms = 0;  // milliseconds since midnight
  bool operator==(const TimeValue&) const = default;
};
struct TimestampValue {
  double ms = 0;  // day number x 86,400,000 + milliseconds of the day
  bool operator==(const TimestampValue&) const = default;
};
struct BcdValue {
  std::string text;  // plain decimal with the field's decimals, e.g. "-12.30"
  bool operator==(const BcdValue&) const = default;
};
struct BlobValue {
  std::string bytes;  // raw content (graphic and OLE without their 8-byte prefix)
  bool operator==(const BlobValue&) const = default;
};

// monostate = NULL (blank). Text (Alpha, Memo) is UTF-8 in std::string;
// Short, Long and Autoinc are int64; Number and Money are double.
using Value = std::variant<std::monostate, bool, std::int64_t, double, std::string, DateValue,
                           TimeValue, TimestampValue, BcdValue, BlobValue>;

inline bool IsNull(const Value& v) { return std::holds_alternative<std::monostate>(v); }

// A number value as a whole number: an int64, or a double that is one
// exactly (and within int64's range). False for anything else.
bool AsInteger(const Value& v, std::int64_t& out);
// A number value (int64 or double) as a double.
bool AsNumber(const Value& v, double& out);

// Calendar helpers for day numbers (1 = 0001-01-01).
std::int32_t DayNumber(int year, int month, int day);
void SplitDayNumber(std::int32_t dayNumber, int& year, int& month, int& day);

}  // namespace engine
