// Carrying values into fields of another type or size: what is kept, what
// is cut or rounded, what is refused, and that whatever comes out is a
// value the target field stores.
#include "engine/paradox/pxconvert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxvalue.h"
#include "engine/typenames.h"
#include "engine/valuetext.h"

using namespace engine;
using namespace engine::paradox;

namespace {

using C = Conversion;

FieldDesc F(std::uint16_t type, int units1 = 0, int units2 = 0) {
  FieldDesc f;
  f.name = "F";
  f.type = type;
  f.units1 = static_cast<std::int16_t>(units1);
  f.units2 = static_cast<std::int16_t>(units2);
  return f;
}

Value I(std::int64_t v) { return v; }
Value D(double v) { return v; }
Value S(std::string v) { return v; }
Value Bcd(std::string v) { return BcdValue{std::move(v)}; }
Value Bytes(std::string v) { return BlobValue{std::move(v)}; }
Value Day(int y, int m, int d) { return DateValue{DayNumber(y, m, d)}; }
Value Time(int h, int m, int s, int ms = 0) {
  return TimeValue{((h * 60 + m) * 60 + s) * 1000 + ms};
}
Value Stamp(int y, int m, int d, int h = 0, int mi = 0, int s = 0) {
  return TimestampValue{DayNumber(y, m, d) * 86400000.0 + ((h * 60 + mi) * 60 + s) * 1000.0};
}

std::string Show(const Value& v) {
  struct Visitor {
    std::string operator()(std::monostate) const { return "NULL"; }
    std::string operator()(bool b) const { return b ? "true" : "false"; }
    std::string operator()(std::int64_t i) const { return "int " + std::to_string(i); }
    std::string operator()(double d) const { return "double " + FormatNumber(d); }
    std::string operator()(const std::string& s) const { return "text \"" + s + "\""; }
    std::string operator()(DateValue d) const { return "date " + FormatDate(d.day); }
    std::string operator()(TimeValue t) const { return "time " + FormatTime(t.ms); }
    std::string operator()(TimestampValue t) const { return "timestamp " + FormatTimestamp(t.ms); }
    std::string operator()(const BcdValue& b) const { return "bcd " + b.text; }
    std::string operator()(const BlobValue& b) const {
      return "bytes(" + std::to_string(b.bytes.size()) + ")";
    }
  };
  return std::visit(Visitor{}, v);
}

// The field a descriptor makes in a table, for EncodeField.
PxField Target(const FieldDesc& f) {
  PxField p;
  p.name = f.name;
  p.code = FieldCodeOf(f.type);
  switch (f.type) {
    case pxAlpha:
    case pxBytes:
      p.size = static_cast<std::uint8_t>(f.units1);
      break;
    case pxBcd:
      p.size = static_cast<std::uint8_t>(f.units2);
      break;
    case pxLogical:
      p.size = 1;
      break;
    case pxShort:
      p.size = 2;
      break;
    case pxDate:
    case pxLong:
    case pxTime:
    case pxAutoinc:
      p.size = 4;
      break;
    default:
      p.size = 8;
      break;
  }
  return p;
}

// A converted value must be one the target field takes: EncodeField for
// record fields, the writer's kinds (text for memos, bytes otherwise) for
// BLOBs.
void ExpectStorable(const FieldDesc& to, const Value& v) {
  if (IsBlobCode(FieldCodeOf(to.type))) {
    if (to.type == pxMemo)
      EXPECT_TRUE(IsNull(v) || std::holds_alternative<std::string>(v)) << Show(v);
    else
      EXPECT_TRUE(IsNull(v) || std::holds_alternative<BlobValue>(v)) << Show(v);
    return;
  }
  const PxField field = Target(to);
  std::vector<std::uint8_t> buf(field.width());
  EXPECT_EQ(EncodeField(field, v, text::SharedCodec(1252), buf.data()), Ok)
      << Show(v) << ": " << LastErrorMessage();
}

struct Case {
  FieldDesc from, to;
  Value in;
  C want;
  Value out;              // NULL when Failed
  std::string note = {};  // a part of the note, when the case names one
};

void Check(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.from.type) + " " + Show(c.in) + " -> " + FieldTypeName(c.to.type));
    Value out = S("stale");
    std::string note = "stale";
    EXPECT_EQ(ConvertValue(c.from, c.to, c.in, out, note), c.want) << note;
    EXPECT_TRUE(out == c.out) << Show(out) << " instead of " << Show(c.out);
    // Whatever is lost or refused is said; nothing is said of a value kept.
    if (c.want == C::Same)
      EXPECT_EQ(note, "");
    else
      EXPECT_NE(note, "");
    EXPECT_NE(note.find(c.note), std::string::npos) << note;
    if (c.want != C::Failed) ExpectStorable(c.to, out);
  }
}

const Value kNull;

TEST(ConvertValue, NumbersAmongThemselves) {
  const std::string bcd32 = "0.5" + std::string(31, '0');
  Check({
      {F(pxShort), F(pxLong), I(-32767), C::Same, I(-32767)},
      {F(pxLong), F(pxShort), I(70000), C::Failed, kNull,
       "70000 is out of range for a SHORT field"},
      {F(pxLong), F(pxShort), I(-32768), C::Failed, kNull, "out of range"},
      {F(pxNumber), F(pxLong), D(2147483647.0), C::Same, I(2147483647)},
      {F(pxNumber), F(pxLong), D(-2147483648.0), C::Failed, kNull, "out of range"},
      {F(pxNumber), F(pxShort), D(12.5), C::Shortened, I(13), "12.5 is rounded to 13"},
      {F(pxMoney), F(pxShort), D(-12.5), C::Shortened, I(-13), "rounded"},
      {F(pxNumber), F(pxShort), D(32767.5), C::Failed, kNull, "out of range"},
      {F(pxNumber), F(pxLong), D(1e300), C::Failed, kNull, "out of range"},
      {F(pxNumber), F(pxShort), D(std::nan("")), C::Failed, kNull, "not a number"},
      {F(pxLong), F(pxAutoinc), I(0), C::Failed, kNull, "AUTOINC"},
      {F(pxShort), F(pxAutoinc), I(-3), C::Failed, kNull, "out of range"},
      {F(pxLong), F(pxAutoinc), I(1), C::Same, I(1)},
      {F(pxAutoinc), F(pxShort), I(40000), C::Failed, kNull, "out of range"},
      {F(pxAutoinc), F(pxNumber), I(7), C::Same, D(7)},
      {F(pxNumber), F(pxMoney), D(0.1), C::Same, D(0.1)},
      {F(pxBcd, 0, 2), F(pxNumber), Bcd("0.10"), C::Same, D(0.1)},
      {F(pxBcd, 0, 2), F(pxMoney), Bcd("12345678901234567890.12"), C::Shortened,
       D(12345678901234567890.12), "rounded to 12345678901234567168"},
      {F(pxBcd, 0, 0), F(pxLong), Bcd("99999999999999999999"), C::Failed, kNull, "out of range"},
      {F(pxBcd, 0, 1), F(pxShort), Bcd("-0.5"), C::Shortened, I(-1)},
      {F(pxBcd, 0, 3), F(pxBcd, 0, 2), Bcd("12.345"), C::Shortened, Bcd("12.35"),
       "12.345 is rounded to 12.35"},
      {F(pxBcd, 0, 3), F(pxBcd, 0, 2), Bcd("-0.004"), C::Shortened, Bcd("0.00")},
      {F(pxBcd, 0, 2), F(pxBcd, 0, 1), Bcd("12.30"), C::Same, Bcd("12.3")},
      {F(pxBcd, 0, 2), F(pxBcd, 0, 0), Bcd("99.99"), C::Shortened, Bcd("100")},
      {F(pxBcd, 0, 2), F(pxBcd, 0, 4), Bcd("-12.30"), C::Same, Bcd("-12.3000")},
      // 30 integer digits leave room for 2 decimals only.
      {F(pxBcd, 0, 2), F(pxBcd, 0, 3), Bcd(std::string(30, '9') + ".00"), C::Failed, kNull,
       "too many digits"},
      {F(pxBcd, 0, 1), F(pxBcd, 0, 2), Bcd(std::string(29, '9') + ".9"), C::Same,
       Bcd(std::string(29, '9') + ".90")},
      {F(pxNumber), F(pxBcd, 0, 2), D(2.675), C::Shortened, Bcd("2.68")},
      {F(pxNumber), F(pxBcd, 0, 2), D(1e-7), C::Shortened, Bcd("0.00")},
      {F(pxNumber), F(pxBcd, 0, 0), D(1e20), C::Same, Bcd("100000000000000000000")},
      {F(pxNumber), F(pxBcd, 0, 32), D(0.5), C::Same, Bcd(bcd32)},
      {F(pxNumber), F(pxBcd, 0, 32), D(1.0), C::Failed, kNull, "0 before the point"},
      {F(pxLong), F(pxBcd, 0, 25), I(2147483647), C::Failed, kNull, "too many digits"},
      {F(pxLong), F(pxBcd, 0, 2), I(-5), C::Same, Bcd("-5.00")},
  });
}

TEST(ConvertValue, NumbersAndText) {
  Check({
      {F(pxShort), F(pxAlpha, 5), I(-1234), C::Same, S("-1234")},
      {F(pxLong), F(pxAlpha, 5), I(123456), C::Failed, kNull, "does not fit"},
      {F(pxNumber), F(pxAlpha, 5), D(0.1), C::Same, S("0.1")},
      {F(pxNumber), F(pxAlpha, 5), D(1e20), C::Same, S("1e+20")},
      {F(pxMoney), F(pxAlpha, 5), D(12345.678), C::Failed, kNull,
       "12345.678 does not fit in an ALPHA field of 5 characters"},
      {F(pxBcd, 0, 2), F(pxAlpha, 5), Bcd("12.30"), C::Same, S("12.30")},
      {F(pxAlpha, 10), F(pxShort), S(" 42 "), C::Same, I(42)},
      {F(pxAlpha, 10), F(pxLong), S("+7"), C::Same, I(7)},
      {F(pxAlpha, 10), F(pxLong), S("   "), C::Same, kNull},
      {F(pxAlpha, 10), F(pxNumber), S("abc"), C::Failed, kNull, "\"abc\" is not a number"},
      {F(pxAlpha, 10), F(pxNumber), S("1e"), C::Failed, kNull, "not a number"},
      {F(pxAlpha, 10), F(pxNumber), S("."), C::Failed, kNull, "not a number"},
      {F(pxAlpha, 10), F(pxNumber), S("1,5"), C::Failed, kNull, "not a number"},
      {F(pxAlpha, 10), F(pxShort), S("70000"), C::Failed, kNull,
       "70000 is out of range for a SHORT field"},
      {F(pxAlpha, 10), F(pxShort), S("12.5"), C::Shortened, I(13)},
      {F(pxAlpha, 10), F(pxNumber), S("-1.5E3"), C::Same, D(-1500)},
      {F(pxAlpha, 10), F(pxNumber), S("1e400"), C::Failed, kNull, "out of range"},
      {F(pxAlpha, 30), F(pxMoney), S("0.10000000000000000001"), C::Shortened, D(0.1)},
      {F(pxAlpha, 10), F(pxBcd, 0, 2), S("1.5"), C::Same, Bcd("1.50")},
      {F(pxAlpha, 10), F(pxBcd, 0, 2), S("-0.001"), C::Shortened, Bcd("0.00")},
      {F(pxAlpha, 10), F(pxAutoinc), S("0"), C::Failed, kNull, "out of range"},
  });
}

TEST(ConvertValue, TextLengthsAndMemos) {
  Check({
      {F(pxAlpha, 5), F(pxAlpha, 10), S("abc"), C::Same, S("abc")},
      {F(pxAlpha, 10), F(pxAlpha, 3), S("hello"), C::Shortened, S("hel"),
       "cut to 3 characters, losing \"lo\""},
      {F(pxAlpha, 10), F(pxAlpha, 3), S("abc"), C::Same, S("abc")},
      // Cut after a two-byte and a three-byte character, never inside one.
      {F(pxAlpha, 10), F(pxAlpha, 2), S("h\xC3\xA9llo"), C::Shortened, S("h\xC3\xA9")},
      {F(pxAlpha, 10), F(pxAlpha, 2),
       S("a\xE2\x82\xAC"
         "b"),
       C::Shortened, S("a\xE2\x82\xAC")},
      {F(pxMemo, 10), F(pxAlpha, 4), S(std::string(100, 'x')), C::Shortened, S("xxxx"), "..."},
      {F(pxMemo, 10), F(pxAlpha, 4), S(std::string("a\0b", 3)), C::Failed, kNull, "NUL"},
      {F(pxMemo, 10), F(pxAlpha, 4), S("a\xFF"), C::Failed, kNull, "not valid UTF-8"},
      {F(pxAlpha, 10), F(pxMemo, 10), S("text"), C::Same, S("text")},
      {F(pxAlpha, 10), F(pxFmtMemo, 10), S("text"), C::Same, Bytes("text")},
      {F(pxMemo, 10), F(pxFmtMemo, 20), S("caf\xC3\xA9"), C::Same, Bytes("caf\xC3\xA9")},
      {F(pxFmtMemo, 10), F(pxMemo, 10), Bytes("caf\xC3\xA9"), C::Same, S("caf\xC3\xA9")},
      {F(pxFmtMemo, 10), F(pxMemo, 10), Bytes("caf\xE9"), C::Failed, kNull, "byte 4"},
      {F(pxFmtMemo, 10), F(pxAlpha, 3), Bytes("memo"), C::Shortened, S("mem")},
      {F(pxFmtMemo, 10), F(pxAlpha, 3), Bytes("\xFF"), C::Failed, kNull, "not valid UTF-8"},
      {F(pxBinary, 10), F(pxMemo, 10), Bytes("abc"), C::Same, S("abc")},
      {F(pxMemo, 10), F(pxBinary, 10), S("abc"), C::Same, Bytes("abc")},
  });
}

TEST(ConvertValue, DatesAndTimes) {
  Check({
      {F(pxDate), F(pxTimestamp), Day(2024, 2, 29), C::Same, Stamp(2024, 2, 29)},
      {F(pxTimestamp), F(pxDate), Stamp(2024, 2, 29), C::Same, Day(2024, 2, 29)},
      {F(pxTimestamp), F(pxDate), Stamp(2024, 2, 29, 12, 30), C::Shortened, Day(2024, 2, 29),
       "the time 12:30:00 is dropped"},
      {F(pxTimestamp), F(pxTime), Stamp(2024, 2, 29, 23, 59, 59), C::Shortened, Time(23, 59, 59),
       "the date 2024-02-29 is dropped"},
      {F(pxTimestamp), F(pxDate), TimestampValue{1e300}, C::Failed, kNull, "no date"},
      {F(pxTimestamp), F(pxDate), TimestampValue{43200000.0}, C::Failed, kNull, "no date"},
      {F(pxTimestamp), F(pxAlpha, 30), TimestampValue{1e300}, C::Failed, kNull, "no date"},
      {F(pxTime), F(pxTimestamp), Time(1, 0, 0), C::Failed, kNull, "cannot go into"},
      {F(pxDate), F(pxAlpha, 10), Day(2024, 2, 29), C::Same, S("2024-02-29")},
      {F(pxDate), F(pxAlpha, 8), Day(2024, 2, 29), C::Failed, kNull, "does not fit"},
      {F(pxTime), F(pxAlpha, 12), Time(1, 2, 3, 500), C::Same, S("01:02:03.500")},
      {F(pxTime), F(pxAlpha, 12), TimeValue{86400000}, C::Failed, kNull, "not a time of day"},
      {F(pxTimestamp), F(pxAlpha, 19), Stamp(2024, 2, 29, 10, 30), C::Same,
       S("2024-02-29 10:30:00")},
      {F(pxAlpha, 20), F(pxDate), S(" 2024-02-29 "), C::Same, Day(2024, 2, 29)},
      {F(pxAlpha, 20), F(pxDate), S("2023-02-29"), C::Failed, kNull,
       "\"2023-02-29\" is not a date"},
      {F(pxAlpha, 20), F(pxDate), S("2024-02-29 10:00:00"), C::Shortened, Day(2024, 2, 29)},
      {F(pxAlpha, 20), F(pxTimestamp), S("2024-02-29"), C::Same, Stamp(2024, 2, 29)},
      {F(pxAlpha, 20), F(pxTimestamp), S("2024-02-29 10:30:00"), C::Same,
       Stamp(2024, 2, 29, 10, 30)},
      {F(pxAlpha, 20), F(pxTimestamp), S("10:30:00"), C::Failed, kNull, "not a timestamp"},
      {F(pxAlpha, 20), F(pxTime), S("23:59:59.999"), C::Same, Time(23, 59, 59, 999)},
      {F(pxAlpha, 20), F(pxTime), S("24:00:00"), C::Failed, kNull, "not a time"},
      {F(pxAlpha, 20), F(pxTime), S(""), C::Same, kNull},
  });
  EXPECT_EQ(FormatTimestamp(1e300), "1e+300");  // no day number to show
}

TEST(ConvertValue, Logicals) {
  Check({
      {F(pxLogical), F(pxAlpha, 5), Value(false), C::Same, S("false")},
      {F(pxLogical), F(pxAlpha, 4), Value(false), C::Failed, kNull, "does not fit"},
      {F(pxAlpha, 5), F(pxLogical), S("Yes"), C::Same, Value(true)},
      {F(pxAlpha, 5), F(pxLogical), S(" t"), C::Same, Value(true)},
      {F(pxAlpha, 5), F(pxLogical), S("N"), C::Same, Value(false)},
      {F(pxAlpha, 5), F(pxLogical), S("FALSE"), C::Same, Value(false)},
      {F(pxAlpha, 5), F(pxLogical), S("maybe"), C::Failed, kNull, "\"maybe\" is not true or false"},
      {F(pxLogical), F(pxShort), Value(true), C::Same, I(1)},
      {F(pxLogical), F(pxMoney), Value(false), C::Same, D(0)},
      {F(pxLogical), F(pxBcd, 0, 2), Value(true), C::Same, Bcd("1.00")},
      {F(pxLong), F(pxLogical), I(0), C::Same, Value(false)},
      {F(pxNumber), F(pxLogical), D(1.0), C::Same, Value(true)},
      {F(pxBcd, 0, 2), F(pxLogical), Bcd("1.00"), C::Same, Value(true)},
      {F(pxShort), F(pxLogical), I(2), C::Failed, kNull, "neither 1 (true) nor 0 (false)"},
      {F(pxNumber), F(pxLogical), D(0.5), C::Failed, kNull, "neither"},
  });
}

TEST(ConvertValue, BinaryData) {
  Check({
      {F(pxBinary, 10), F(pxGraphic, 10), Bytes("\x89PNG"), C::Same, Bytes("\x89PNG")},
      {F(pxGraphic, 10), F(pxOle, 0), Bytes("pic"), C::Same, Bytes("pic")},
      {F(pxOle, 10), F(pxBinary, 20), Bytes("obj"), C::Same, Bytes("obj")},
      {F(pxBytes, 4), F(pxBinary, 10), Bytes(std::string("ab\0\0", 4)), C::Same,
       Bytes(std::string("ab\0\0", 4))},
      // Zero padding of a BYTES field is not data.
      {F(pxBytes, 4), F(pxBytes, 2), Bytes(std::string("ab\0\0", 4)), C::Same, Bytes("ab")},
      {F(pxBytes, 4), F(pxBytes, 2), Bytes("abcd"), C::Shortened, Bytes("ab"), "cut to 2 bytes"},
      {F(pxBinary, 10), F(pxBytes, 2), Bytes(std::string("ab\0", 3)), C::Shortened, Bytes("ab")},
      {F(pxBinary, 10), F(pxBytes, 4), Bytes("ab"), C::Same, Bytes("ab")},
      {F(pxBinary, 10), F(pxBytes, 4), Bytes(std::string("\0\0", 2)), C::Shortened,
       Bytes(std::string("\0\0", 2)), "blank"},
      {F(pxGraphic, 10), F(pxMemo, 10), Bytes("pic"), C::Failed, kNull, "cannot go into"},
      {F(pxBytes, 4), F(pxMemo, 10), Bytes("abcd"), C::Failed, kNull,
       "a BYTES value cannot go into a MEMO field"},
  });
}

TEST(ConvertValue, NullStaysNullForEveryPair) {
  for (std::uint16_t from = pxAlpha; from <= pxBcd; ++from)
    for (std::uint16_t to = pxAlpha; to <= pxBcd; ++to) {
      Value out = I(1);
      std::string note = "x";
      EXPECT_EQ(ConvertValue(F(from, 10, 2), F(to, 10, 2), kNull, out, note), C::Same);
      EXPECT_TRUE(IsNull(out));
      EXPECT_EQ(note, "");
    }
}

TEST(TypesConvert, PairsThatNeverConvertAreRefused) {
  for (std::uint16_t t = pxAlpha; t <= pxBcd; ++t) EXPECT_TRUE(TypesConvert(t, t)) << t;
  const std::pair<std::uint16_t, std::uint16_t> never[] = {
      {pxGraphic, pxDate},    {pxTime, pxTimestamp},  {pxDate, pxTime},   {pxTime, pxDate},
      {pxAutoinc, pxLogical}, {pxLogical, pxAutoinc}, {pxBytes, pxMemo},  {pxGraphic, pxMemo},
      {pxAlpha, pxBinary},    {pxBinary, pxAlpha},    {pxMemo, pxNumber}, {pxAlpha, pxGraphic},
      {pxAlpha, dbChar},      {0, pxAlpha},
  };
  for (auto [from, to] : never) EXPECT_FALSE(TypesConvert(from, to)) << from << " -> " << to;
  const std::pair<std::uint16_t, std::uint16_t> both[] = {
      {pxShort, pxBcd},      {pxAutoinc, pxMoney},  {pxAlpha, pxTimestamp}, {pxAlpha, pxLogical},
      {pxLogical, pxNumber}, {pxAlpha, pxFmtMemo},  {pxMemo, pxBinary},     {pxBytes, pxBinary},
      {pxGraphic, pxOle},    {pxDate, pxTimestamp},
  };
  for (auto [a, b] : both) EXPECT_TRUE(TypesConvert(a, b) && TypesConvert(b, a)) << a << " " << b;
  EXPECT_TRUE(TypesConvert(pxTimestamp, pxTime));
}

}  // namespace
