#include "engine/paradox/pxvalue.h"

#include <cmath>
#include <cstring>

#include "engine/valuetext.h"

namespace engine::paradox {

bool IsZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

std::int64_t DecodeInt(const std::uint8_t* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  const std::uint64_t top = std::uint64_t{1} << (bytes * 8 - 1);
  v ^= top;
  // Sign-extend from the field's width.
  if (v & top) return static_cast<std::int64_t>(v) - static_cast<std::int64_t>(top << 1);
  return static_cast<std::int64_t>(v);
}

void EncodeInt(std::int64_t v, int bytes, std::uint8_t* p) {
  std::uint64_t u = static_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << (bytes * 8 - 1));
  for (int i = bytes - 1; i >= 0; --i) {
    p[i] = u & 0xFF;
    u >>= 8;
  }
}

double DecodeDouble(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  if (v & 0x8000000000000000ull)
    v &= 0x7FFFFFFFFFFFFFFFull;
  else
    v = ~v;
  double d;
  std::memcpy(&d, &v, 8);
  return d;
}

void EncodeDouble(double d, std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, &d, 8);
  if (v & 0x8000000000000000ull)
    v = ~v;
  else
    v |= 0x8000000000000000ull;
  for (int i = 7; i >= 0; --i) {
    p[i] = v & 0xFF;
    v >>= 8;
  }
}

std::string DecodeBcd(const std::uint8_t* p, int decimals) {
  const bool negative = !(p[0] & 0x80);
  char digits[32];
  bool valid = true;  // digits after a non-decimal nibble are read as 0
  for (int i = 0; i < 32; ++i) {
    std::uint8_t byte = p[1 + i / 2];
    if (negative) byte = ~byte;
    int nibble = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
    if (nibble > 9) valid = false;
    digits[i] = valid ? static_cast<char>('0' + nibble) : '0';
  }
  const int intDigits = 32 - decimals;
  std::string out;
  int first = 0;
  while (first < intDigits - 1 && digits[first] == '0') ++first;
  if (intDigits > 0)
    out.append(digits + first, digits + intDigits);
  else
    out.assign(1, '0');
  if (decimals > 0) {
    out += '.';
    out.append(digits + intDigits, digits + 32);
  }
  bool zero = true;
  for (char c : digits) zero = zero && c == '0';
  if (negative && !zero) out.insert(out.begin(), '-');
  return out;
}

bool EncodeBcd(const std::string& text, int decimals, std::uint8_t* p) {
  bool negative;
  std::string intPart, fracPart;
  if (!SplitDecimal(text, negative, intPart, fracPart)) return false;
  // Extra decimals must be zeros: dropping real digits would lose data.
  while (static_cast<int>(fracPart.size()) > decimals) {
    if (fracPart.back() != '0') return false;
    fracPart.pop_back();
  }
  fracPart.append(decimals - fracPart.size(), '0');
  if (static_cast<int>(intPart.size()) > 32 - decimals) return false;
  std::string digits = std::string(32 - decimals - intPart.size(), '0') + intPart + fracPart;
  if (digits.find_first_not_of('0') == std::string::npos) negative = false;
  p[0] = static_cast<std::uint8_t>((negative ? 0x00 : 0x80) | 0x40 | decimals);
  for (int b = 0; b < 16; ++b) {
    std::uint8_t byte = static_cast<std::uint8_t>(((digits[2 * b] - '0') << 4) | (digits[2 * b + 1] - '0'));
    p[1 + b] = negative ? static_cast<std::uint8_t>(~byte) : byte;
  }
  return true;
}

Value DecodeField(const PxField& f, const std::uint8_t* p, const text::Codec& codec) {
  const std::size_t w = f.width();
  switch (f.code) {
    case fcAlpha: {
      std::size_t len = strnlen(reinterpret_cast<const char*>(p), w);
      if (len == 0) return {};
      return codec.toUtf8(reinterpret_cast<const char*>(p), len);
    }
    case fcBytes:
      if (IsZero(p, w)) return {};
      return BlobValue{std::string(reinterpret_cast<const char*>(p), w)};
    case fcBcd:
      if (p[0] == 0) return {};
      return BcdValue{DecodeBcd(p, f.size)};
    case fcLogical:
      if (p[0] == 0) return {};
      return (p[0] & 0x7F) != 0;
    default:
      break;
  }
  if (IsZero(p, w)) return {};
  switch (f.code) {
    case fcShort:
    case fcLong:
    case fcAutoinc:
      return DecodeInt(p, static_cast<int>(w));
    case fcDate:
      return DateValue{static_cast<std::int32_t>(DecodeInt(p, 4))};
    case fcTime:
      return TimeValue{static_cast<std::int32_t>(DecodeInt(p, 4))};
    case fcNumber:
    case fcMoney:
      return DecodeDouble(p);
    case fcTimestamp:
      return TimestampValue{DecodeDouble(p)};
    default:
      return {};
  }
}

namespace {

Result Invalid(const PxField& f, const std::string& what) {
  return Fail(ErrInvalidValue, "field " + f.name + ": " + what);
}

Result EncodeInteger(const PxField& f, const Value& value, std::uint8_t* p) {
  std::int64_t v;
  if (!AsInteger(value, v)) return Invalid(f, "a whole number is required");
  const int bytes = f.width();
  const std::int64_t limit = (std::int64_t{1} << (bytes * 8 - 1)) - 1;
  // The most negative value would be stored as all zeros, i.e. as NULL.
  if (v > limit || v < -limit) return Invalid(f, "value " + std::to_string(v) + " is out of range");
  EncodeInt(v, bytes, p);
  return Ok;
}

}  // namespace

Result EncodeField(const PxField& f, const Value& value, const text::Codec& codec,
                   std::uint8_t* p) {
  const std::size_t w = f.width();
  std::memset(p, 0, w);
  if (IsNull(value)) return Ok;
  switch (f.code) {
    case fcAlpha: {
      const std::string* s = std::get_if<std::string>(&value);
      if (!s) return Invalid(f, "text is required");
      std::string bytes, why;
      if (!TextFieldBytes(*s, codec, w, bytes, why)) return Invalid(f, why);
      std::memcpy(p, bytes.data(), bytes.size());
      return Ok;
    }
    case fcBytes: {
      const BlobValue* b = std::get_if<BlobValue>(&value);
      if (!b) return Invalid(f, "bytes are required");
      if (b->bytes.size() > w)
        return Invalid(f, "value is longer than " + std::to_string(w) + " bytes");
      std::memcpy(p, b->bytes.data(), b->bytes.size());
      return Ok;
    }
    case fcShort:
    case fcLong:
    case fcAutoinc:
      return EncodeInteger(f, value, p);
    case fcNumber:
    case fcMoney: {
      double d;
      if (!AsNumber(value, d) || !std::isfinite(d)) return Invalid(f, "a number is required");
      EncodeDouble(d, p);
      return Ok;
    }
    case fcDate: {
      const DateValue* d = std::get_if<DateValue>(&value);
      if (!d || d->day == 0) return Invalid(f, "a date is required");
      EncodeInt(d->day, 4, p);
      return Ok;
    }
    case fcTime: {
      const TimeValue* t = std::get_if<TimeValue>(&value);
      if (!t || t->ms < 0 || t->ms >= 86400000) return Invalid(f, "a time of day is required");
      EncodeInt(t->ms, 4, p);
      // Midnight is stored as zero in the value bits; keep it apart from NULL.
      return Ok;
    }
    case fcTimestamp: {
      const TimestampValue* t = std::get_if<TimestampValue>(&value);
      if (!t || !std::isfinite(t->ms)) return Invalid(f, "a timestamp is required");
      EncodeDouble(t->ms, p);
      return Ok;
    }
    case fcLogical: {
      const bool* b = std::get_if<bool>(&value);
      if (!b) return Invalid(f, "true or false is required");
      p[0] = *b ? 0x81 : 0x80;
      return Ok;
    }
    case fcBcd: {
      const BcdValue* b = std::get_if<BcdValue>(&value);
      std::string text;
      if (b) {
        text = b->text;
      } else if (double d; AsNumber(value, d)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(f.size), d);
        text = buf;
      } else {
        return Invalid(f, "a decimal number is required");
      }
      if (!EncodeBcd(text, f.size, p))
        return Invalid(f, "\"" + text + "\" does not fit " + std::to_string(f.size) + " decimals");
      return Ok;
    }
    default:
      return Invalid(f, "this field type is not stored in the record");
  }
}

int CompareStored(const PxField& f, const std::uint8_t* a, const std::uint8_t* b,
                  const text::LanguageDriver* driver) {
  const std::size_t w = f.width();
  if (f.code == fcAlpha) {
    std::string x(reinterpret_cast<const char*>(a), strnlen(reinterpret_cast<const char*>(a), w));
    std::string y(reinterpret_cast<const char*>(b), strnlen(reinterpret_cast<const char*>(b), w));
    if (x.empty() || y.empty()) return static_cast<int>(!x.empty()) - static_cast<int>(!y.empty());
    return text::CompareText(driver, x, y);
  }
  // Every other stored form orders correctly as unsigned big-endian bytes,
  // NULL (all zeros) first — that is what the inverted sign bit is for.
  return std::memcmp(a, b, w);
}

}  // namespace engine::paradox
