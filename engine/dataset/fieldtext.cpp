#include "engine/dataset/fieldtext.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

#include "engine/text/codepage.h"
#include "engine/valuetext.h"

namespace engine {


namespace {

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
    std::string operator()(double d) const { return FormatNumber(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(DateValue d) const { return FormatDate(d.day); }
    std::string operator()(TimeValue t) const { return FormatTime(t.ms); }
    std::string operator()(TimestampValue t) const { return FormatTimestamp(t.ms); }
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
    case dbChar:
    case dbMemo:
      return t;
    case dbNumber:
    case dbFloat:  // whole numbers of a field without decimals as such, else numbers
      if (f.units2 == 0 && t.find_first_not_of("-0123456789") == std::string::npos)
        return ParseValue(FieldDesc{f.number, f.name, pxLong}, t);
      return ParseValue(FieldDesc{f.number, f.name, pxNumber}, t);
    case pxShort:
    case pxLong:
    case pxAutoinc:
    case dbLong:
    case dbAutoinc: {
      std::int64_t i;
      auto res = std::from_chars(t.data(), t.data() + t.size(), i);
      if (res.ec != std::errc() || res.ptr != t.data() + t.size()) Bad(f, t, "a whole number");
      return i;
    }
    case pxNumber:
    case pxMoney:
    case dbDouble: {
      double d;
      auto res = std::from_chars(t.data(), t.data() + t.size(), d);
      if (res.ec != std::errc() || res.ptr != t.data() + t.size() || !std::isfinite(d))
        Bad(f, t, "a number");
      return d;
    }
    case pxBcd:
      return BcdValue{t};
    case pxDate:
    case dbDate: {
      std::int32_t day;
      if (!ParseDate(t, day)) Bad(f, t, "a date (YYYY-MM-DD)");
      return DateValue{day};
    }
    case pxTime: {
      std::int32_t ms;
      if (!ParseTime(t, ms)) Bad(f, t, "a time (HH:MM:SS[.mmm])");
      return TimeValue{ms};
    }
    case pxTimestamp:
    case dbTimestamp: {
      double ms;
      if (!ParseTimestamp(t, ms)) Bad(f, t, "a timestamp (YYYY-MM-DD HH:MM:SS[.mmm])");
      return TimestampValue{ms};
    }
    case pxLogical:
    case dbLogical:
      if (t == "true") return true;
      if (t == "false") return false;
      Bad(f, t, "true or false");
    default:
      return BlobValue{Unhex(f, t)};
  }
}

}  // namespace engine
