#include "cli/values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "engine/text/codepage.h"

namespace cli {

using namespace engine;

namespace {

constexpr double kMsPerDay = 86400000.0;

std::string FormatDate(std::int32_t day) {
  int y, m, d;
  SplitDayNumber(day, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
  return buf;
}

std::string FormatTime(std::int64_t ms) {
  char buf[32];
  int h = static_cast<int>(ms / 3600000), mi = static_cast<int>(ms / 60000 % 60),
      s = static_cast<int>(ms / 1000 % 60), milli = static_cast<int>(ms % 1000);
  if (milli)
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", h, mi, s, milli);
  else
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", h, mi, s);
  return buf;
}

std::string FormatDouble(double d) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, res.ptr);
}

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

[[noreturn]] void Bad(const FieldDesc& f, const std::string& text, const char* expected) {
  throw std::runtime_error("field " + f.name + ": \"" + text + "\" is not " + expected);
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
    if (frac.empty() || frac.size() > 3 || frac.find_first_not_of("0123456789") != std::string::npos)
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

std::string Unhex(const FieldDesc& f, const std::string& t) {
  if (t.size() % 2) Bad(f, t, "hexadecimal bytes");
  std::string out;
  for (std::size_t i = 0; i < t.size(); i += 2) {
    unsigned v;
    auto res = std::from_chars(t.data() + i, t.data() + i + 2, v, 16);
    if (res.ec != std::errc() || res.ptr != t.data() + i + 2) Bad(f, t, "hexadecimal bytes");
    out += static_cast<char>(v);
  }
  return out;
}

}  // namespace

std::string FormatValue(const Value& v) {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int64_t i) const { return std::to_string(i); }
    std::string operator()(double d) const { return FormatDouble(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(DateValue d) const { return FormatDate(d.day); }
    std::string operator()(TimeValue t) const { return FormatTime(t.ms); }
    std::string operator()(TimestampValue t) const {
      double total = std::round(t.ms);
      double day = std::floor(total / kMsPerDay);
      std::string out = FormatDate(static_cast<std::int32_t>(day));
      return out + " " + FormatTime(static_cast<std::int64_t>(total - day * kMsPerDay));
    }
    std::string operator()(const BcdValue& b) const { return b.text; }
    std::string operator()(const BlobValue& b) const { return Hex(b.bytes); }
  };
  return std::visit(Visitor{}, v);
}

Value ParseValue(const FieldDesc& f, const std::string& t) {
  if (t.empty()) return {};
  // Checked first, so that no message quotes broken text.
  if (std::size_t bad = text::InvalidUtf8At(t); bad != std::string::npos)
    throw std::runtime_error("field " + f.name + ": the value is not valid UTF-8 (byte " +
                             std::to_string(bad + 1) + ")");
  switch (f.type) {
    case pxAlpha:
    case pxMemo:
      return t;
    case pxShort:
    case pxLong:
    case pxAutoinc: {
      std::int64_t i;
      auto res = std::from_chars(t.data(), t.data() + t.size(), i);
      if (res.ec != std::errc() || res.ptr != t.data() + t.size()) Bad(f, t, "a whole number");
      return i;
    }
    case pxNumber:
    case pxMoney: {
      double d;
      auto res = std::from_chars(t.data(), t.data() + t.size(), d);
      if (res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(d))
        Bad(f, t, "a number");
      return d;
    }
    case pxBcd:
      return BcdValue{t};
    case pxDate: {
      std::int32_t day;
      if (!ParseDate(t, day)) Bad(f, t, "a date (YYYY-MM-DD)");
      return DateValue{day};
    }
    case pxTime: {
      std::int32_t ms;
      if (!ParseTime(t, ms)) Bad(f, t, "a time (HH:MM:SS[.mmm])");
      return TimeValue{ms};
    }
    case pxTimestamp: {
      std::size_t space = t.find(' ');
      std::int32_t day, ms;
      if (space == std::string::npos || !ParseDate(t.substr(0, space), day) ||
          !ParseTime(t.substr(space + 1), ms))
        Bad(f, t, "a timestamp (YYYY-MM-DD HH:MM:SS[.mmm])");
      return TimestampValue{day * kMsPerDay + ms};
    }
    case pxLogical:
      if (t == "true") return true;
      if (t == "false") return false;
      Bad(f, t, "true or false");
    default:
      return BlobValue{Unhex(f, t)};
  }
}

}  // namespace cli
