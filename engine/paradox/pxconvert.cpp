#include "engine/paradox/pxconvert.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "engine/text/codepage.h"
#include "engine/typenames.h"
#include "engine/valuetext.h"

namespace engine::paradox {

namespace {

constexpr double kMsPerDay = 86400000.0;

bool IsInteger(std::uint16_t t) { return t == pxShort || t == pxLong || t == pxAutoinc; }
bool IsNumeric(std::uint16_t t) {
  return IsInteger(t) || t == pxNumber || t == pxMoney || t == pxBcd;
}
bool IsTemporal(std::uint16_t t) { return t == pxDate || t == pxTime || t == pxTimestamp; }
bool IsMemo(std::uint16_t t) { return t == pxMemo || t == pxFmtMemo; }

// "a SHORT", "an ALPHA": the type's name for a note.
std::string AType(std::uint16_t type) {
  const std::string name = FieldTypeName(type);
  if (name.empty()) return "an unknown";
  return (std::string("AEIOU").find(name[0]) != std::string::npos ? "an " : "a ") + name;
}

std::string FieldOf(std::uint16_t type) { return AType(type) + " field"; }

Conversion Fail(std::string& note, std::string why) {
  note = std::move(why);
  return Conversion::Failed;
}

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

std::string Trimmed(const std::string& s) {
  const char* space = " \t\r\n";
  const std::size_t first = s.find_first_not_of(space);
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// Byte offset of character `n` of valid UTF-8 text; npos when it has no
// more than n characters.
std::size_t CharOffset(const std::string& s, std::size_t n) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) continue;
    if (n-- == 0) return i;
  }
  return std::string::npos;
}

std::size_t CharCount(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The start of a long text, for a note.
std::string Excerpt(const std::string& s) {
  const std::size_t cut = CharOffset(s, 20);
  return cut == std::string::npos ? s : s.substr(0, cut) + "...";
}

bool ValidUtf8(const std::string& s, const char* what, std::string& note) {
  const std::size_t bad = text::InvalidUtf8At(s);
  if (bad == std::string::npos) return true;
  note = std::string(what) + " is not valid UTF-8 text (byte " + std::to_string(bad + 1) + ")";
  return false;
}

// A decimal number held exactly: digits x 10^exponent.
struct Decimal {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; empty for zero
  int exponent = 0;
  bool operator==(const Decimal&) const = default;
  int integerDigits() const { return std::max(0, static_cast<int>(digits.size()) + exponent); }
};

void Normalize(Decimal& d) {
  const std::size_t lead = d.digits.find_first_not_of('0');
  if (lead == std::string::npos) {
    d = Decimal{};
    return;
  }
  d.digits.erase(0, lead);
  const std::size_t last = d.digits.find_last_not_of('0');
  d.exponent += static_cast<int>(d.digits.size() - 1 - last);
  d.digits.erase(last + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// [+-]digits[.digits][e[+-]digits], with digits on at least one side of
// the point.
bool ParseDecimal(const std::string& t, Decimal& d) {
  std::size_t i = 0;
  d = Decimal{};
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) d.negative = t[i++] == '-';
  int fraction = 0;
  for (; i < t.size() && IsDigit(t[i]); ++i) d.digits += t[i];
  if (i < t.size() && t[i] == '.')
    for (++i; i < t.size() && IsDigit(t[i]); ++i, ++fraction) d.digits += t[i];
  if (d.digits.empty()) return false;
  long exponent = 0;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size() || !IsDigit(t[i])) return false;
    // Saturates far beyond any range a field has.
    for (; i < t.size() && IsDigit(t[i]); ++i)
      exponent = std::min(exponent * 10 + (t[i] - '0'), 1000000L);
    if (negative) exponent = -exponent;
  }
  if (i != t.size()) return false;
  d.exponent = static_cast<int>(exponent) - fraction;
  Normalize(d);
  return true;
}

Decimal DecimalOf(double x) {  // x is finite
  Decimal d;
  ParseDecimal(FormatNumber(x), d);
  return d;
}

// Rounds to `decimals` places, half away from zero. True when that dropped
// a digit (digits are kept without trailing zeros, so any dropped digit
// changes the value).
bool RoundTo(Decimal& d, int decimals) {
  if (d.exponent >= -decimals) return false;
  const std::size_t drop = static_cast<std::size_t>(-static_cast<long>(d.exponent) - decimals);
  std::string kept;
  bool up = false;
  if (drop <= d.digits.size()) {
    kept = d.digits.substr(0, d.digits.size() - drop);
    up = d.digits[d.digits.size() - drop] >= '5';
  }
  if (up) {
    std::size_t i = kept.size();
    while (i > 0 && kept[i - 1] == '9') kept[--i] = '0';
    if (i == 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[i - 1];
  }
  d.digits = std::move(kept);
  d.exponent = -decimals;
  Normalize(d);
  return true;
}

// The number with exactly `decimals` places ("-12.30"); `d` has no more
// decimals than that and few integer digits.
std::string FixedText(const Decimal& d, int decimals) {
  std::string s = d.digits;  // becomes the value x 10^decimals
  if (d.exponent > 0) s.append(d.exponent, '0');
  s.append(decimals + std::min(d.exponent, 0), '0');
  const std::size_t places = static_cast<std::size_t>(decimals);
  if (s.size() <= places) s.insert(0, places + 1 - s.size(), '0');
  std::string out = d.negative ? "-" : "";
  out += s.substr(0, s.size() - places);
  if (places) out += "." + s.substr(s.size() - places);
  return out;
}

// A whole `d` as an integer; false when it has more than 18 digits.
bool ToInt64(const Decimal& d, std::int64_t& v) {
  if (d.integerDigits() > 18) return false;
  v = 0;
  for (char c : d.digits) v = v * 10 + (c - '0');
  for (int i = 0; i < d.exponent; ++i) v *= 10;
  if (d.negative) v = -v;
  return true;
}

// The nearest double; false when `d` is beyond the range of doubles.
bool ToDouble(const Decimal& d, double& x) {
  x = 0;
  if (d.digits.empty()) return true;
  const std::string t = d.digits + "e" + std::to_string(d.exponent);
  auto res = std::from_chars(t.data(), t.data() + t.size(), x);
  if (res.ec == std::errc::result_out_of_range) {
    if (d.integerDigits() > 0) return false;
    x = 0;  // too small: nearer to zero than any double
  } else if (res.ec != std::errc()) {
    return false;
  }
  if (d.negative) x = -x;
  return true;
}

// A number read from a value, with the form notes show it in. Blank text
// reads as no number.
struct Number {
  Decimal value;
  std::string shown;
  bool blank = false;
};

bool ReadNumber(const Value& in, Number& n, std::string& note) {
  if (auto i = std::get_if<std::int64_t>(&in)) {
    n.shown = std::to_string(*i);
  } else if (auto d = std::get_if<double>(&in)) {
    n.shown = FormatNumber(*d);
    if (!std::isfinite(*d)) {
      note = n.shown + " is not a number a field can hold";
      return false;
    }
  } else if (auto b = std::get_if<BcdValue>(&in)) {
    n.shown = b->text;
  } else if (auto l = std::get_if<bool>(&in)) {
    n.shown = *l ? "1" : "0";
  } else if (auto s = std::get_if<std::string>(&in)) {
    n.shown = Trimmed(*s);
    if (n.shown.empty()) {
      n.blank = true;
      return true;
    }
  } else {
    note = "the value is not a number";
    return false;
  }
  if (ParseDecimal(n.shown, n.value)) return true;
  note = Quoted(n.shown) + " is not a number";
  return false;
}

Conversion ToInteger(std::uint16_t to, const Value& in, Value& out, std::string& note) {
  // The most negative value of the width is not storable: it reads as NULL.
  const std::int64_t high = to == pxShort ? 32767 : 2147483647;
  const std::int64_t low = to == pxAutoinc ? 1 : -high;
  if (auto i = std::get_if<std::int64_t>(&in); i && *i >= low && *i <= high) {
    out = *i;
    return Conversion::Same;
  }
  Number n;
  if (!ReadNumber(in, n, note)) return Conversion::Failed;
  if (n.blank) return Conversion::Same;
  const bool rounded = RoundTo(n.value, 0);
  std::int64_t v;
  if (!ToInt64(n.value, v) || v < low || v > high)
    return Fail(note, n.shown + " is out of range for " + FieldOf(to) + " (" + std::to_string(low) +
                          " to " + std::to_string(high) + ")");
  out = v;
  if (!rounded) return Conversion::Same;
  note = n.shown + " is rounded to " + std::to_string(v);
  return Conversion::Shortened;
}

Conversion ToFloat(std::uint16_t to, const Value& in, Value& out, std::string& note) {
  if (auto d = std::get_if<double>(&in); d && std::isfinite(*d)) {
    out = *d;  // Number and Money hold the same doubles
    return Conversion::Same;
  }
  // Every integer of at most 53 bits is a double exactly.
  constexpr std::int64_t kExact = std::int64_t{1} << 53;
  if (auto i = std::get_if<std::int64_t>(&in); i && *i >= -kExact && *i <= kExact) {
    out = static_cast<double>(*i);
    return Conversion::Same;
  }
  Number n;
  if (!ReadNumber(in, n, note)) return Conversion::Failed;
  if (n.blank) return Conversion::Same;
  double x;
  if (!ToDouble(n.value, x)) return Fail(note, n.shown + " is out of range for " + FieldOf(to));
  out = x;
  if (DecimalOf(x) == n.value) return Conversion::Same;
  note = n.shown + " is rounded to " + FormatNumber(x);
  return Conversion::Shortened;
}

Conversion ToBcd(const FieldDesc& to, const Value& in, Value& out, std::string& note) {
  const int decimals = to.units2;
  if (decimals < 0 || decimals > 32)
    return Fail(note, "a BCD field has 0 to 32 decimals, not " + std::to_string(decimals));
  Number n;
  if (!ReadNumber(in, n, note)) return Conversion::Failed;
  if (n.blank) return Conversion::Same;
  const bool rounded = RoundTo(n.value, decimals);
  if (n.value.integerDigits() > 32 - decimals)
    return Fail(note, n.shown + " has too many digits for a BCD field with " +
                          std::to_string(decimals) + " decimals (it holds " +
                          std::to_string(32 - decimals) + " before the point)");
  std::string text = FixedText(n.value, decimals);
  out = BcdValue{text};
  if (!rounded) return Conversion::Same;
  note = n.shown + " is rounded to " + text;
  return Conversion::Shortened;
}

// Text for an Alpha field of `length` characters, cut to it when longer.
Conversion CutText(const std::string& s, int length, Value& out, std::string& note) {
  if (!ValidUtf8(s, "the text", note)) return Conversion::Failed;
  const std::size_t cut = CharOffset(s, static_cast<std::size_t>(std::max(length, 0)));
  std::string kept = s.substr(0, cut);
  if (kept.find('\0') != std::string::npos)
    return Fail(note, "the text holds a NUL character, which an ALPHA field cannot");
  out = std::move(kept);
  if (cut == std::string::npos) return Conversion::Same;
  note = "the text is cut to " + std::to_string(length) + " characters, losing " +
         Quoted(Excerpt(s.substr(cut)));
  return Conversion::Shortened;
}

// Day and time of day of a timestamp; false when its day is no day number.
bool SplitTimestamp(double ms, std::int32_t& day, std::int32_t& time) {
  const double total = std::round(ms);
  const double d = std::floor(total / kMsPerDay);
  if (!std::isfinite(d) || d < std::numeric_limits<std::int32_t>::min() ||
      d > std::numeric_limits<std::int32_t>::max())
    return false;
  day = static_cast<std::int32_t>(d);
  time = static_cast<std::int32_t>(total - d * kMsPerDay);
  return true;
}

bool IsTimeOfDay(std::int32_t ms) { return ms >= 0 && ms < kMsPerDay; }

// The text form of a number, logical, date or time value.
Conversion TextForm(const Value& in, std::string& text, std::string& note) {
  if (auto i = std::get_if<std::int64_t>(&in)) {
    text = std::to_string(*i);
  } else if (auto d = std::get_if<double>(&in)) {
    text = FormatNumber(*d);
    if (!std::isfinite(*d)) return Fail(note, text + " is not a number a field can hold");
  } else if (auto b = std::get_if<BcdValue>(&in)) {
    text = b->text;
    if (Decimal dec; !ParseDecimal(text, dec)) return Fail(note, Quoted(text) + " is not a number");
  } else if (auto l = std::get_if<bool>(&in)) {
    text = *l ? "true" : "false";
  } else if (auto date = std::get_if<DateValue>(&in)) {
    text = FormatDate(date->day);
  } else if (auto time = std::get_if<TimeValue>(&in)) {
    if (!IsTimeOfDay(time->ms))
      return Fail(note, std::to_string(time->ms) + " ms is not a time of day");
    text = FormatTime(time->ms);
  } else if (auto ts = std::get_if<TimestampValue>(&in)) {
    std::int32_t day, ms;
    if (!SplitTimestamp(ts->ms, day, ms))
      return Fail(note, "the timestamp " + FormatNumber(ts->ms) + " has no date");
    text = FormatTimestamp(ts->ms);
  } else {
    return Fail(note, "the value has no text form");
  }
  return Conversion::Same;
}

Conversion ToAlpha(const FieldDesc& to, const Value& in, Value& out, std::string& note) {
  if (auto s = std::get_if<std::string>(&in)) return CutText(*s, to.units1, out, note);
  if (auto b = std::get_if<BlobValue>(&in)) {
    if (!ValidUtf8(b->bytes, "the formatted memo", note)) return Conversion::Failed;
    return CutText(b->bytes, to.units1, out, note);
  }
  // A number cut short would be another number: it either fits or fails.
  std::string text;
  if (TextForm(in, text, note) == Conversion::Failed) return Conversion::Failed;
  if (CharCount(text) > static_cast<std::size_t>(std::max<int>(to.units1, 0)))
    return Fail(note, text + " does not fit in an ALPHA field of " + std::to_string(to.units1) +
                          " characters");
  out = std::move(text);
  return Conversion::Same;
}

Conversion ToDate(const Value& in, Value& out, std::string& note) {
  if (auto d = std::get_if<DateValue>(&in)) {
    out = *d;
    return Conversion::Same;
  }
  if (auto ts = std::get_if<TimestampValue>(&in)) {
    std::int32_t day, time;
    if (!SplitTimestamp(ts->ms, day, time) || day == 0)
      return Fail(note,
                  "the timestamp " + FormatNumber(ts->ms) + " has no date a DATE field holds");
    out = DateValue{day};
    if (time == 0) return Conversion::Same;
    note = "the time " + FormatTime(time) + " is dropped";
    return Conversion::Shortened;
  }
  if (auto s = std::get_if<std::string>(&in)) {
    const std::string t = Trimmed(*s);
    std::int32_t day;
    double ms;
    if (t.empty()) return Conversion::Same;
    if (ParseDate(t, day)) {
      out = DateValue{day};
      return Conversion::Same;
    }
    if (ParseTimestamp(t, ms)) return ToDate(TimestampValue{ms}, out, note);
    return Fail(note, Quoted(t) + " is not a date (YYYY-MM-DD)");
  }
  return Fail(note, "the value is not a date");
}

Conversion ToTime(const Value& in, Value& out, std::string& note) {
  if (auto t = std::get_if<TimeValue>(&in)) {
    if (!IsTimeOfDay(t->ms)) return Fail(note, std::to_string(t->ms) + " ms is not a time of day");
    out = *t;
    return Conversion::Same;
  }
  if (auto ts = std::get_if<TimestampValue>(&in)) {
    std::int32_t day, time;
    if (!SplitTimestamp(ts->ms, day, time))
      return Fail(note, "the timestamp " + FormatNumber(ts->ms) + " has no time of day");
    out = TimeValue{time};
    note = "the date " + FormatDate(day) + " is dropped";
    return Conversion::Shortened;
  }
  if (auto s = std::get_if<std::string>(&in)) {
    const std::string t = Trimmed(*s);
    std::int32_t time;
    double ms;
    if (t.empty()) return Conversion::Same;
    if (ParseTime(t, time)) {
      out = TimeValue{time};
      return Conversion::Same;
    }
    if (ParseTimestamp(t, ms)) return ToTime(TimestampValue{ms}, out, note);
    return Fail(note, Quoted(t) + " is not a time (HH:MM:SS[.mmm])");
  }
  return Fail(note, "the value is not a time");
}

Conversion ToTimestamp(const Value& in, Value& out, std::string& note) {
  if (auto ts = std::get_if<TimestampValue>(&in)) {
    if (!std::isfinite(ts->ms)) return Fail(note, "the timestamp is not a finite number");
    out = *ts;
    return Conversion::Same;
  }
  if (auto d = std::get_if<DateValue>(&in)) {
    out = TimestampValue{d->day * kMsPerDay};
    return Conversion::Same;
  }
  if (auto s = std::get_if<std::string>(&in)) {
    const std::string t = Trimmed(*s);
    std::int32_t day;
    double ms;
    if (t.empty()) return Conversion::Same;
    if (ParseTimestamp(t, ms)) {
      out = TimestampValue{ms};
      return Conversion::Same;
    }
    if (ParseDate(t, day)) return ToTimestamp(DateValue{day}, out, note);
    return Fail(note, Quoted(t) + " is not a timestamp (YYYY-MM-DD HH:MM:SS[.mmm])");
  }
  return Fail(note, "the value is not a timestamp");
}

Conversion ToLogical(const Value& in, Value& out, std::string& note) {
  if (auto b = std::get_if<bool>(&in)) {
    out = *b;
    return Conversion::Same;
  }
  if (auto s = std::get_if<std::string>(&in)) {
    std::string t = Trimmed(*s);
    if (t.empty()) return Conversion::Same;
    std::string lower = t;
    for (char& c : lower)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (lower == "true" || lower == "t" || lower == "yes" || lower == "y") {
      out = true;
      return Conversion::Same;
    }
    if (lower == "false" || lower == "f" || lower == "no" || lower == "n") {
      out = false;
      return Conversion::Same;
    }
    return Fail(note, Quoted(t) + " is not true or false");
  }
  Number n;
  if (!ReadNumber(in, n, note)) return Conversion::Failed;
  const Decimal one{false, "1", 0};
  if (n.value.digits.empty() || n.value == one) {
    out = !n.value.digits.empty();
    return Conversion::Same;
  }
  return Fail(note, n.shown + " is neither 1 (true) nor 0 (false)");
}

Conversion ToMemo(const Value& in, Value& out, std::string& note) {
  const std::string* s = std::get_if<std::string>(&in);
  const BlobValue* b = std::get_if<BlobValue>(&in);
  if (!s && !b) return Fail(note, "the value is not text");
  const std::string& text = s ? *s : b->bytes;
  if (!ValidUtf8(text, s ? "the text" : "the value", note)) return Conversion::Failed;
  out = text;
  return Conversion::Same;
}

// Formatted memo, binary, OLE and graphic values: bytes.
Conversion ToBlob(const Value& in, Value& out, std::string& note) {
  if (auto s = std::get_if<std::string>(&in)) {
    out = BlobValue{*s};
    return Conversion::Same;
  }
  if (auto b = std::get_if<BlobValue>(&in)) {
    out = *b;
    return Conversion::Same;
  }
  return Fail(note, "the value is not binary data");
}

Conversion ToBytes(const FieldDesc& from, const FieldDesc& to, const Value& in, Value& out,
                   std::string& note) {
  const BlobValue* b = std::get_if<BlobValue>(&in);
  if (!b) return Fail(note, "the value is not binary data");
  const std::size_t length = static_cast<std::size_t>(std::max<int>(to.units1, 0));
  // A BYTES field reads back all its bytes, zero padding included: cutting
  // zeros from one loses nothing.
  const bool lost =
      b->bytes.size() > length &&
      (from.type != pxBytes || b->bytes.find_first_not_of('\0', length) != std::string::npos);
  std::string kept = b->bytes.substr(0, length);
  const bool blank = !b->bytes.empty() && kept.find_first_not_of('\0') == std::string::npos;
  out = BlobValue{std::move(kept)};
  if (lost)
    note = "the value is cut to " + std::to_string(length) + " bytes, losing the last " +
           std::to_string(b->bytes.size() - length);
  else if (blank)
    note = "bytes that are all zero read back as a blank value";
  else
    return Conversion::Same;
  return Conversion::Shortened;
}

}  // namespace

bool TypesConvert(std::uint16_t from, std::uint16_t to) {
  auto known = [](std::uint16_t t) { return t >= pxAlpha && t <= pxBcd; };
  if (!known(from) || !known(to)) return false;
  if (from == to) return true;
  // Numbers, logicals, dates and times have text forms.
  auto scalar = [](std::uint16_t t) { return IsNumeric(t) || t == pxLogical || IsTemporal(t); };
  if ((from == pxAlpha && scalar(to)) || (to == pxAlpha && scalar(from))) return true;
  if (IsNumeric(from) && IsNumeric(to)) return true;
  // Logicals are 1 and 0, which no autoincrement field could take both of.
  if ((IsNumeric(from) && to == pxLogical) || (from == pxLogical && IsNumeric(to)))
    return from != pxAutoinc && to != pxAutoinc;
  // A time alone has no date for a timestamp or a date field.
  if (IsTemporal(from) && IsTemporal(to))
    return from == pxTimestamp || (from == pxDate && to == pxTimestamp);
  if ((from == pxAlpha && IsMemo(to)) || (IsMemo(from) && to == pxAlpha)) return true;
  auto memoOrBinary = [](std::uint16_t t) { return IsMemo(t) || t == pxBinary; };
  if (memoOrBinary(from) && memoOrBinary(to)) return true;
  auto binaryKind = [](std::uint16_t t) { return t == pxBinary || t == pxGraphic || t == pxOle; };
  if (binaryKind(from) && binaryKind(to)) return true;
  return (from == pxBytes && to == pxBinary) || (from == pxBinary && to == pxBytes);
}

Conversion ConvertValue(const FieldDesc& from, const FieldDesc& to, const Value& in, Value& out,
                        std::string& note) {
  out = Value{};
  note.clear();
  if (IsNull(in)) return Conversion::Same;
  if (!TypesConvert(from.type, to.type))
    return Fail(note, AType(from.type) + " value cannot go into " + FieldOf(to.type));
  Conversion c;
  switch (to.type) {
    case pxShort:
    case pxLong:
    case pxAutoinc:
      c = ToInteger(to.type, in, out, note);
      break;
    case pxNumber:
    case pxMoney:
      c = ToFloat(to.type, in, out, note);
      break;
    case pxBcd:
      c = ToBcd(to, in, out, note);
      break;
    case pxAlpha:
      c = ToAlpha(to, in, out, note);
      break;
    case pxDate:
      c = ToDate(in, out, note);
      break;
    case pxTime:
      c = ToTime(in, out, note);
      break;
    case pxTimestamp:
      c = ToTimestamp(in, out, note);
      break;
    case pxLogical:
      c = ToLogical(in, out, note);
      break;
    case pxMemo:
      c = ToMemo(in, out, note);
      break;
    case pxBytes:
      c = ToBytes(from, to, in, out, note);
      break;
    default:
      c = ToBlob(in, out, note);
      break;
  }
  if (c == Conversion::Failed) out = Value{};
  return c;
}

}  // namespace engine::paradox
