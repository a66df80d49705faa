#include "engine/valuetext.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine {

namespace {
constexpr double kMsPerDay = 86400000.0;
}

std::string FormatDate(std::int32_t day) {
  int y, m, d;
  SplitDayNumber(day, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(std::int64_t ms) {
  char buf[64];
  int h = static_cast<int>(ms / 3600000), mi = static_cast<int>(ms / 60000 % 60),
      s = static_cast<int>(ms / 1000 % 60), milli = static_cast<int>(ms % 1000);
  if (milli)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, mi, s, milli);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
  return buf;
}

std::string FormatTimestamp(double ms) {
  const double total = std::round(ms);
  const double day = std::floor(total / kMsPerDay);
  if (!std::isfinite(day) || day < std::numeric_limits<std::int32_t>::min() ||
      day > std::numeric_limits<std::int32_t>::max())
    return FormatNumber(ms);
  return FormatDate(static_cast<std::int32_t>(day)) + " " +
         FormatTime(static_cast<std::int64_t>(total - day * kMsPerDay));
}

std::string FormatNumber(double d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

bool ParseDate(const std::string& t, std::int32_t& day) {
  int y, m, d, used = 0;
  if (std::sscanf(t.c_str(), "%d-%d-%d%n", &y, &m, &d, &used) != 3 ||
      used != static_cast<int>(t.size()))
    return false;
  if (m < 1 || m > 12 || d < 1 || d > 31 || y < 1 || y > 9999) return false;
  day = DayNumber(y, m, d);
  int y2, m2, d2;
  SplitDayNumber(day, y2, m2, d2);
  return y2 == y && m2 == m && d2 == d;  // rejects 2023-02-30
}

bool ParseTime(const std::string& t, std::int32_t& ms) {
  int h, m, s, used = 0;
  if (std::sscanf(t.c_str(), "%2d:%2d:%2d%n", &h, &m, &s, &used) != 3) return false;
  int milli = 0;
  std::size_t at = static_cast<std::size_t>(used);
  if (at < t.size() && t[at] == '.') {
    std::string frac = t.substr(at + 1);
    if (frac.empty() || frac.size() > 3 ||
        frac.find_first_not_of("0123456789") != std::string::npos)
      return false;
    frac.append(3 - frac.size(), '0');
    milli = std::stoi(frac);
    at = t.size();
  }
  if (at != t.size()) return false;
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return false;
  ms = ((h * 60 + m) * 60 + s) * 1000 + milli;
  return true;
}

bool ParseTimestamp(const std::string& t, double& ms) {
  const std::size_t space = t.find(' ');
  std::int32_t day, time;
  if (space == std::string::npos || !ParseDate(t.substr(0, space), day) ||
      !ParseTime(t.substr(space + 1), time))
    return false;
  ms = day * kMsPerDay + time;
  return true;
}

bool SplitDecimal(std::string_view t, bool& negative, std::string& whole, std::string& fraction) {
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t i = 0;
  negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  const std::size_t start = i;
  while (i < t.size() && digit(t[i])) ++i;
  whole.assign(t.substr(start, i - start));
  fraction.clear();
  if (i < t.size() && t[i] == '.') {
    const std::size_t from = ++i;
    while (i < t.size() && digit(t[i])) ++i;
    fraction.assign(t.substr(from, i - from));
  }
  if (i != t.size() || (whole.empty() && fraction.empty())) return false;
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  return true;
}

bool TextFieldBytes(const std::string& utf8, const text::Codec& codec, std::size_t width,
                    std::string& bytes, std::string& why) {
  // Malformed UTF-8 would reach the code page as replacement characters.
  if (std::size_t bad = text::InvalidUtf8At(utf8); bad != std::string::npos) {
    why = "the text is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")";
    return false;
  }
  if (!codec.fromUtf8(utf8, bytes)) {
    why = "\"" + utf8 + "\" has characters the table's code page cannot hold";
    return false;
  }
  if (bytes.size() > width) {
    why = "\"" + utf8 + "\" is longer than " + std::to_string(width) + " characters";
    return false;
  }
  if (bytes.find('\0') != std::string::npos) {
    why = "text contains a NUL character";
    return false;
  }
  return true;
}

}  // namespace engine
