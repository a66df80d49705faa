#include "engine/dbase/dbvalue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/valuetext.h"

namespace engine::dbase {

namespace {

constexpr double kMsPerDay = 86400000.0;
// The Julian day number of the day before 0001-01-01, for FoxPro's dates.
constexpr std::int64_t kJulianDayZero = 1721425;

std::uint32_t BigU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
std::uint64_t BigU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(BigU32(p)) << 32 | BigU32(p + 4);
}
std::uint32_t LittleU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t LittleU64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(LittleU32(p + 4)) << 32 | LittleU32(p);
}
void PutBig(std::uint64_t v, int bytes, std::uint8_t* p) {
  for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<std::uint8_t>(v);
}
double AsDouble(std::uint64_t bits) {
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}
std::uint64_t Bits(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return bits;
}
bool AllZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}
bool IsBlank(unsigned char c) { return c == ' ' || c == 0; }

}  // namespace

bool FlagSet(const DbfHeader& h, int bit, const std::uint8_t* record) {
  if (bit < 0 || h.nullFlagsField < 0) return false;
  const DbfField& flags = h.fields[static_cast<std::size_t>(h.nullFlagsField)];
  if (bit / 8 >= flags.length) return false;
  return (record[flags.offset + bit / 8] >> (bit % 8)) & 1;
}

bool NullFlagged(const DbfHeader& h, const DbfField& f, const std::uint8_t* record) {
  return FlagSet(h, f.nullBit, record);
}

namespace {

int DaysInMonth(int year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : days[month - 1];
}

// The day number of a date field, 0 when it holds no valid date.
std::int32_t DecodeDate(const std::uint8_t* p) {
  unsigned v[8];
  for (int i = 0; i < 8; ++i) {
    v[i] = static_cast<unsigned>(p[i]) - 48u;
    if (v[i] > 9) return 0;
  }
  const int year = static_cast<int>(v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3]);
  const int month = static_cast<int>(v[4] * 10 + v[5]);
  const int day = static_cast<int>(v[6] * 10 + v[7]);
  if (year < 1 || month < 1 || month > 12 || day < 1) return 0;
  if (day > 28 && day > DaysInMonth(year, month)) return 0;
  return DayNumber(year, month, day);
}

// The bytes of a text field, trailing blanks (and NUL padding) removed.
std::size_t TextLength(const std::uint8_t* p, std::size_t n) {
  while (n > 0 && IsBlank(p[n - 1])) --n;
  return n;
}

// Text into `out`, in the string `out` holds when it holds one (a scan that
// reads record after record into the same values allocates nothing).
void DecodeText(const std::uint8_t* p, std::size_t n, const text::Codec& codec, Value& out) {
  n = TextLength(p, n);
  if (n == 0) {
    out = std::monostate{};
  } else if (std::string* s = std::get_if<std::string>(&out)) {
    s->clear();
    codec.appendUtf8(reinterpret_cast<const char*>(p), n, *s);
  } else {
    out = codec.toUtf8(reinterpret_cast<const char*>(p), n);
  }
}

Result Invalid(const DbfField& f, const std::string& what) {
  return Fail(ErrInvalidValue, "field " + f.name + ": " + what);
}

// Rounds a plain decimal text ("-12.345") to `decimals` places.
void RoundDecimals(std::string& text, int decimals) {
  std::size_t point = text.find('.');
  if (point == std::string::npos) {
    point = text.size();
    text += '.';
  }
  const std::size_t keep = point + 1 + static_cast<std::size_t>(decimals);
  bool up = false;
  if (text.size() > keep) {
    up = text[keep] >= '5';
    text.resize(keep);
  }
  text.resize(keep, '0');
  for (std::size_t i = text.size(); up && i-- > 0;) {
    if (text[i] == '.') continue;
    if (text[i] == '-') {
      text.insert(i + 1, "1");
      up = false;
    } else if (text[i] == '9') {
      text[i] = '0';
    } else {
      ++text[i];
      up = false;
    }
  }
  if (up) text.insert(0, "1");
  if (decimals == 0) text.pop_back();  // the point
}

// Text of the form [+-]digits[.digits] as RoundDecimals takes it: no '+',
// no leading zeros, a digit before the point. False for any other text.
bool PlainDecimal(const std::string& text, std::string& out) {
  bool negative;
  std::string whole, fraction;
  if (!SplitDecimal(text, negative, whole, fraction)) return false;
  if (whole.empty()) whole = "0";
  out = (negative ? "-" : "") + whole + (fraction.empty() ? "" : "." + fraction);
  return true;
}

// The ASCII form of a number with `decimals` places; false when it cannot
// be written (not finite).
bool FormatNumber(const Value& v, int decimals, std::string& out) {
  char buffer[512];
  std::to_chars_result r;
  if (auto i = std::get_if<std::int64_t>(&v)) {
    r = std::to_chars(buffer, buffer + sizeof buffer, *i);
    out.assign(buffer, r.ptr);
    if (decimals > 0) out += "." + std::string(static_cast<std::size_t>(decimals), '0');
    return true;
  }
  double d = 0;
  const BcdValue* b = std::get_if<BcdValue>(&v);
  if (b && PlainDecimal(b->text, out)) {
    // Every digit of a BCD value counts: it is rounded as text, not
    // through a double.
  } else {
    if (b) {
      bool integral;
      std::int64_t whole;
      if (!ParseNumber(b->text.data(), b->text.size(), d, integral, whole)) return false;
    } else if (!AsNumber(v, d)) {
      return false;
    }
    if (!std::isfinite(d)) return false;
    // The shortest text that reads back as the number, rounded to the
    // decimals in decimal (half away from zero): 12.345 to two places is
    // 12.35, as the figures show, though the double lies a little below.
    r = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::fixed);
    if (r.ec != std::errc()) return false;
    out.assign(buffer, r.ptr);
  }
  RoundDecimals(out, decimals);
  // A negative number that rounds to zero is written as zero.
  if (out[0] == '-' && out.find_first_not_of("-0.") == std::string::npos) out.erase(0, 1);
  return true;
}

// The form nearly every N and F field holds: blanks, an optional minus,
// digits with at most one point, 15 digits at most, blanks. Read in place,
// with the same result as the general reading below: the digits make an
// integer that a double holds exactly, and dividing it by a power of ten
// that a double holds exactly rounds once, as reading the text does. False
// for anything else, which the general reading takes.
bool ParsePlainNumber(const char* p, std::size_t n, double& out, bool& integral,
                      std::int64_t& whole) {
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  static constexpr std::uint64_t kWholePowersOfTen[] = {
      1ull,         10ull,         100ull,         1000ull,         10000ull,         100000ull,
      1000000ull,   10000000ull,   100000000ull,   1000000000ull,   10000000000ull,   100000000000ull,
      1000000000000ull, 10000000000000ull, 100000000000000ull, 1000000000000000ull};
  const char* q = p;
  const char* const end = p + n;
  while (q < end && IsBlank(static_cast<unsigned char>(*q))) ++q;
  if (q == end) return false;
  const bool negative = *q == '-';
  if (negative) ++q;
  // Past 15 digits the integer may wrap around; the count refuses it below.
  std::uint64_t digits = 0;
  unsigned d;
  const char* const first = q;
  while (q < end && (d = static_cast<unsigned char>(*q) - 48u) <= 9) {
    digits = digits * 10 + d;
    ++q;
  }
  std::ptrdiff_t count = q - first;
  int decimals = 0;
  bool fraction = false;  // a digit other than 0 after the point
  if (q < end && *q == '.') {
    const char* const after = ++q;
    unsigned nonzero = 0;
    while (q < end && (d = static_cast<unsigned char>(*q) - 48u) <= 9) {
      digits = digits * 10 + d;
      nonzero |= d;
      ++q;
    }
    decimals = static_cast<int>(q - after);
    count += decimals;
    fraction = nonzero != 0;
  }
  while (q < end && IsBlank(static_cast<unsigned char>(*q))) ++q;
  if (q != end || count == 0 || count > 15) return false;
  const double magnitude = static_cast<double>(digits) / kPowersOfTen[decimals];
  out = negative ? -magnitude : magnitude;
  // A whole number when the decimals are zeros. (A fraction of at least
  // 10^-decimals cannot round to a whole number below 10^15: the rounding
  // moves it by less than 10^(15-decimals) x 2^-53.)
  integral = !fraction;
  if (integral) {
    const auto magnitudeWhole =
        static_cast<std::int64_t>(decimals ? digits / kWholePowersOfTen[decimals] : digits);
    whole = negative ? -magnitudeWhole : magnitudeWhole;
  }
  return true;
}

}  // namespace

bool ParseNumber(const char* p, std::size_t n, double& out, bool& integral, std::int64_t& whole) {
  if (ParsePlainNumber(p, n, out, integral, whole)) return true;
  std::size_t a = 0;
  while (a < n && IsBlank(static_cast<unsigned char>(p[a]))) ++a;
  while (n > a && IsBlank(static_cast<unsigned char>(p[n - 1]))) --n;
  if (a == n) return false;
  std::string t(p + a, n - a);
  if (t.find_first_not_of('*') == std::string::npos) return false;  // overflow mark
  if (t.find(',') != std::string::npos) {
    if (t.find('.') != std::string::npos) {
      std::erase(t, ',');
    } else {
      for (char& c : t)
        if (c == ',') c = '.';
    }
  }
  if (t[0] == '+') t.erase(0, 1);
  if (t.empty() || t[0] == '+' || t[0] == ' ') return false;
  const char* end = t.data() + t.size();
  auto r = std::from_chars(t.data(), end, out);
  if (r.ec != std::errc() || r.ptr != end || !std::isfinite(out)) return false;
  integral = false;
  if (t.find_first_of(".eE") == std::string::npos) {
    auto ri = std::from_chars(t.data(), end, whole);
    integral = ri.ec == std::errc() && ri.ptr == end;
  } else if (std::nearbyint(out) == out && std::fabs(out) < 9e15) {
    whole = static_cast<std::int64_t>(out);
    integral = true;
  }
  return true;
}

namespace {

// The fields of the binary and FoxPro types, as a new value.
Value DecodeBinary(const DbfHeader& h, const DbfField& f, const std::uint8_t* record) {
  const std::uint8_t* p = record + f.offset;
  const bool fox = h.flavor == Flavor::FoxPro;
  switch (f.type) {
    case 'Q': {
      std::size_t n = f.length;
      if (FlagSet(h, f.lengthBit, record) && n > 0) n = std::min<std::size_t>(p[n - 1], n - 1);
      if (n == 0) return {};
      return BlobValue{std::string(reinterpret_cast<const char*>(p), n)};
    }
    case 'I':
    case '+':
      if (fox) return static_cast<std::int64_t>(static_cast<std::int32_t>(LittleU32(p)));
      if (AllZero(p, 4)) return {};
      return static_cast<std::int64_t>(static_cast<std::int32_t>(BigU32(p) ^ 0x80000000u));
    case 'O': {
      if (AllZero(p, 8)) return {};
      std::uint64_t bits = BigU64(p);
      bits = (bits & (std::uint64_t{1} << 63)) ? bits & ~(std::uint64_t{1} << 63) : ~bits;
      const double d = AsDouble(bits);
      if (std::isnan(d)) return {};
      return d;
    }
    case '@': {
      if (AllZero(p, 8)) return {};
      const double ms = AsDouble(BigU64(p));
      if (!std::isfinite(ms) || ms < kMsPerDay) return {};
      return TimestampValue{ms};
    }
    case 'B': {  // FoxPro's double (8 bytes); the 10-byte kind is a memo
      const double d = AsDouble(LittleU64(p));
      if (std::isnan(d)) return {};
      return d;
    }
    case 'Y':
      return static_cast<double>(static_cast<std::int64_t>(LittleU64(p))) / 10000.0;
    case 'T': {
      const std::int64_t julian = LittleU32(p);
      const std::uint32_t ms = LittleU32(p + 4);
      const std::int64_t day = julian - kJulianDayZero;
      if (julian == 0 || day < 1 || day > 3652059 || ms >= 86400000u) return {};
      return TimestampValue{static_cast<double>(day) * kMsPerDay + ms};
    }
    default:
      return {};
  }
}

// DecodeField's work, inline so that DecodeFields' loop takes it in.
inline void Decode(const DbfHeader& h, const DbfField& f, const std::uint8_t* record,
                   const text::Codec& codec, Value& out) {
  const std::uint8_t* p = record + f.offset;
  if (FlagSet(h, f.nullBit, record)) {
    out = std::monostate{};
    return;
  }
  switch (f.type) {
    case 'C':
      DecodeText(p, f.length, codec, out);
      return;
    case 'V': {
      std::size_t n = f.length;
      if (FlagSet(h, f.lengthBit, record) && n > 0) n = std::min<std::size_t>(p[n - 1], n - 1);
      DecodeText(p, n, codec, out);
      return;
    }
    case 'N':
    case 'F': {
      double d;
      bool integral;
      std::int64_t whole;
      if (!ParseNumber(reinterpret_cast<const char*>(p), f.length, d, integral, whole))
        out = std::monostate{};
      else if (f.decimals == 0 && f.length <= 18 && integral)
        out = whole;
      else
        out = d;
      return;
    }
    case 'D':
      if (const std::int32_t day = DecodeDate(p))
        out = DateValue{day};
      else
        out = std::monostate{};
      return;
    case 'L':
      switch (p[0]) {
        case 'T': case 't': case 'Y': case 'y': out = true; return;
        case 'F': case 'f': case 'N': case 'n': out = false; return;
        default: out = std::monostate{}; return;
      }
    default:
      out = DecodeBinary(h, f, record);
      return;
  }
}

}  // namespace

void DecodeField(const DbfHeader& h, const DbfField& f, const std::uint8_t* record,
                 const text::Codec& codec, Value& out) {
  Decode(h, f, record, codec, out);
}

void DecodeFields(const DbfHeader& h, const std::vector<DbfField>& fields,
                  const std::uint8_t* record, const text::Codec& codec, std::vector<Value>& out) {
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (!fields[i].isMemo()) Decode(h, fields[i], record, codec, out[i]);
}

Value DecodeField(const DbfHeader& h, const DbfField& f, const std::uint8_t* record,
                  const text::Codec& codec) {
  Value v;
  DecodeField(h, f, record, codec, v);
  return v;
}

Result EncodeField(const DbfField& f, const Value& value, const text::Codec& codec,
                   std::uint8_t* record) {
  std::uint8_t* p = record + f.offset;
  const bool binary = f.type == 'I' || f.type == '+' || f.type == 'O' || f.type == '@';
  std::memset(p, binary ? 0 : ' ', f.length);
  if (IsNull(value)) return Ok;
  switch (f.type) {
    case 'C': {
      const std::string* s = std::get_if<std::string>(&value);
      if (!s) return Invalid(f, "text is required");
      std::string bytes, why;
      if (!TextFieldBytes(*s, codec, f.length, bytes, why)) return Invalid(f, why);
      std::memcpy(p, bytes.data(), bytes.size());
      return Ok;
    }
    case 'N':
    case 'F': {
      std::string text;
      if (!std::holds_alternative<std::int64_t>(value) && !std::holds_alternative<double>(value) &&
          !std::holds_alternative<BcdValue>(value))
        return Invalid(f, "a number is required");
      if (!FormatNumber(value, f.decimals, text)) return Invalid(f, "the number is not finite");
      if (text.size() > f.length)
        return Invalid(f, text + " does not fit a width of " + std::to_string(f.length) + " with " +
                              std::to_string(f.decimals) + " decimals");
      std::memcpy(p + (f.length - text.size()), text.data(), text.size());
      return Ok;
    }
    case 'D': {
      const DateValue* d = std::get_if<DateValue>(&value);
      if (!d) return Invalid(f, "a date is required");
      int year, month, day;
      SplitDayNumber(d->day, year, month, day);
      if (d->day < 1 || year > 9999) return Invalid(f, "the date lies outside the years 1 to 9999");
      const int parts[8] = {year / 1000, year / 100 % 10, year / 10 % 10, year % 10,
                            month / 10,  month % 10,      day / 10,       day % 10};
      for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>('0' + parts[i]);
      return Ok;
    }
    case 'L': {
      const bool* b = std::get_if<bool>(&value);
      if (!b) return Invalid(f, "a logical value is required");
      p[0] = *b ? 'T' : 'F';
      return Ok;
    }
    case 'I':
    case '+': {
      std::int64_t v;
      if (!AsInteger(value, v)) return Invalid(f, "a whole number is required");
      // The most negative value would be stored as all zeros, i.e. as NULL.
      const std::int64_t limit = std::numeric_limits<std::int32_t>::max();
      if (v > limit || v < -limit)
        return Invalid(f, "value " + std::to_string(v) + " is out of range");
      PutBig(static_cast<std::uint32_t>(static_cast<std::int32_t>(v)) ^ 0x80000000u, 4, p);
      return Ok;
    }
    case 'O': {
      double d;
      if (!AsNumber(value, d)) return Invalid(f, "a number is required");
      if (std::isnan(d)) return Invalid(f, "the number is not a number (NaN)");
      if (d == 0) d = 0;  // -0 as 0
      std::uint64_t bits = Bits(d);
      bits = (bits & (std::uint64_t{1} << 63)) ? ~bits : bits | (std::uint64_t{1} << 63);
      PutBig(bits, 8, p);
      return Ok;
    }
    case '@': {
      double ms;
      if (auto t = std::get_if<TimestampValue>(&value)) {
        ms = t->ms;
      } else if (auto d = std::get_if<DateValue>(&value)) {
        ms = static_cast<double>(d->day) * kMsPerDay;
      } else {
        return Invalid(f, "a timestamp is required");
      }
      if (!std::isfinite(ms) || ms < kMsPerDay || ms >= 3652060.0 * kMsPerDay)
        return Invalid(f, "the timestamp lies outside the years 1 to 9999");
      PutBig(Bits(ms), 8, p);
      return Ok;
    }
    default:
      return Invalid(f, std::string("values of type ") + f.type + " cannot be written here");
  }
}

std::uint32_t MemoPointer(const DbfField& f, const std::uint8_t* record, bool& valid) {
  const std::uint8_t* p = record + f.offset;
  valid = true;
  if (f.length == 4) return LittleU32(p);
  std::size_t a = 0, n = f.length;
  while (a < n && IsBlank(p[a])) ++a;
  while (n > a && IsBlank(p[n - 1])) --n;
  std::uint64_t v = 0;
  for (std::size_t i = a; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9' || v > 0xFFFFFFFFull / 10) {
      valid = false;
      return 0;
    }
    v = v * 10 + (p[i] - '0');
  }
  if (v > 0xFFFFFFFFull) {
    valid = false;
    return 0;
  }
  return static_cast<std::uint32_t>(v);
}

void PutMemoPointer(const DbfField& f, std::uint32_t block, std::uint8_t* record) {
  std::uint8_t* p = record + f.offset;
  if (f.length == 4) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(block >> (8 * i));
    return;
  }
  std::memset(p, ' ', f.length);
  if (block == 0) return;
  const std::string digits = std::to_string(block);
  std::memcpy(p + (f.length - digits.size()), digits.data(), digits.size());
}

}  // namespace engine::dbase
