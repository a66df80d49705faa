// What the Paradox and dBASE field encoders share: reading decimal text,
// refusing text a field cannot hold, taking numbers as whole numbers; and
// the file names both families build for their members.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/dbase/dbvalue.h"
#include "engine/errors.h"
#include "engine/io/path.h"
#include "engine/paradox/pxvalue.h"
#include "engine/text/codepage.h"
#include "engine/valuetext.h"

using namespace engine;

namespace {

const text::Codec& Cp437() { return text::SharedCodec(437); }

// A value through each format's encoder into a field `width` wide (text) or
// of its whole-number type: "" when it is taken, else the refusal.
struct Format {
  const char* name;
  Result (*text)(const Value& v, std::size_t width);
  Result (*whole)(const Value& v);
};

Result ParadoxText(const Value& v, std::size_t width) {
  paradox::PxField f;
  f.code = paradox::fcAlpha;
  f.size = static_cast<std::uint8_t>(width);
  f.name = "NAME";
  std::vector<std::uint8_t> bytes(width);
  return paradox::EncodeField(f, v, Cp437(), bytes.data());
}

Result ParadoxWhole(const Value& v) {
  paradox::PxField f;
  f.code = paradox::fcLong;
  f.size = 4;
  f.name = "NAME";
  std::uint8_t bytes[4];
  return paradox::EncodeField(f, v, Cp437(), bytes);
}

Result DbaseText(const Value& v, std::size_t width) {
  dbase::DbfField f;
  f.name = "NAME";
  f.type = 'C';
  f.length = static_cast<std::uint16_t>(width);
  std::vector<std::uint8_t> record(width);
  return dbase::EncodeField(f, v, Cp437(), record.data());
}

Result DbaseWhole(const Value& v) {
  dbase::DbfField f;
  f.name = "NAME";
  f.type = 'I';
  f.length = 4;
  std::uint8_t record[4];
  return dbase::EncodeField(f, v, Cp437(), record);
}

std::string Refusal(Result r) { return r == Ok ? "" : LastErrorMessage(); }

class EitherFormat : public testing::TestWithParam<Format> {};

TEST_P(EitherFormat, RefusesTextTheFieldCannotHoldWithTheSameWords) {
  const Format& f = GetParam();
  EXPECT_EQ(Refusal(f.text(std::string("abc"), 3)), "");
  EXPECT_EQ(Refusal(f.text(std::string("\xC3\xA9t\xC3\xA9"), 3)), "");  // é is one byte in 437
  EXPECT_EQ(Refusal(f.text(std::string("abcd"), 3)),
            "field NAME: \"abcd\" is longer than 3 characters");
  EXPECT_EQ(Refusal(f.text(std::string("a\xFF"), 3)),
            "field NAME: the text is not valid UTF-8 (byte 2)");
  EXPECT_EQ(Refusal(f.text(std::string("\xE2\x82\xAC"), 3)),  // the euro sign
            "field NAME: \"\xE2\x82\xAC\" has characters the table's code page cannot hold");
  EXPECT_EQ(Refusal(f.text(std::string("a\0b", 3), 3)),
            "field NAME: text contains a NUL character");
  EXPECT_EQ(Refusal(f.text(std::int64_t{1}, 3)), "field NAME: text is required");
}

TEST_P(EitherFormat, TakesADoubleAsAWholeNumberOnlyWhenItIsOne) {
  const Format& f = GetParam();
  EXPECT_EQ(Refusal(f.whole(std::int64_t{-7})), "");
  EXPECT_EQ(Refusal(f.whole(2.0)), "");
  EXPECT_EQ(Refusal(f.whole(2.5)), "field NAME: a whole number is required");
  EXPECT_EQ(Refusal(f.whole(1e19)), "field NAME: a whole number is required");
  EXPECT_EQ(Refusal(f.whole(std::string("2"))), "field NAME: a whole number is required");
}

INSTANTIATE_TEST_SUITE_P(Formats, EitherFormat,
                         testing::Values(Format{"Paradox", ParadoxText, ParadoxWhole},
                                         Format{"dBASE", DbaseText, DbaseWhole}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(NumberValues, AsIntegerAndAsNumberTakeOnlyNumbers) {
  std::int64_t i = 0;
  double d = 0;
  EXPECT_TRUE(AsInteger(-4.0, i));
  EXPECT_EQ(i, -4);
  EXPECT_FALSE(AsInteger(-9.3e18, i));
  EXPECT_FALSE(AsInteger(BcdValue{"1"}, i));
  EXPECT_TRUE(AsNumber(std::int64_t{3}, d));
  EXPECT_EQ(d, 3.0);
  EXPECT_FALSE(AsNumber(Value{}, d));
  EXPECT_FALSE(AsNumber(std::string("3"), d));
}

// ------------------------------------------------------------ decimal text

struct Decimal {
  const char* text;
  bool ok;
  bool negative;
  const char* whole;
  const char* fraction;
};

class DecimalText : public testing::TestWithParam<Decimal> {};

TEST_P(DecimalText, SplitsIntoSignWholeDigitsAndFraction) {
  const Decimal& c = GetParam();
  bool negative = !c.negative;
  std::string whole = "x", fraction = "x";
  ASSERT_EQ(SplitDecimal(c.text, negative, whole, fraction), c.ok);
  if (!c.ok) return;
  EXPECT_EQ(negative, c.negative);
  EXPECT_EQ(whole, c.whole);
  EXPECT_EQ(fraction, c.fraction);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DecimalText,
    testing::Values(Decimal{"12.50", true, false, "12", "50"},
                    Decimal{"+007", true, false, "7", ""}, Decimal{"-0.5", true, true, "", "5"},
                    Decimal{"-.5", true, true, "", "5"}, Decimal{"3.", true, false, "3", ""},
                    Decimal{"000", true, false, "", ""}, Decimal{"", false, false, "", ""},
                    Decimal{"-", false, false, "", ""}, Decimal{".", false, false, "", ""},
                    Decimal{" 1", false, false, "", ""}, Decimal{"1 ", false, false, "", ""},
                    Decimal{"1e3", false, false, "", ""}, Decimal{"1,5", false, false, "", ""},
                    Decimal{"1.2.3", false, false, "", ""}, Decimal{"--1", false, false, "", ""}));

// Both formats store decimal text through it: Paradox's BCD keeps every
// digit or refuses, dBASE's N fields round to their decimals.
TEST(DecimalTextStored, ParadoxBcdKeepsEveryDigitAndDbaseNumbersRound) {
  struct Case {
    const char* text;
    const char* bcd;    // nullptr: refused
    const char* dbase;  // the N8.2 field's bytes
  };
  const Case cases[] = {
      {"+007.50", "7.50", "    7.50"}, {"-0.00", "0.00", "    0.00"},
      {".5", "0.50", "    0.50"},      {"12.", "12.00", "   12.00"},
      {"1.235", nullptr, "    1.24"},  {"-1.5", "-1.50", "   -1.50"},
      {"1.2.3", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::uint8_t bcd[17];
    const bool stored = paradox::EncodeBcd(c.text, 2, bcd);
    EXPECT_EQ(stored, c.bcd != nullptr);
    if (stored && c.bcd) {
      EXPECT_EQ(paradox::DecodeBcd(bcd, 2), c.bcd);
    }

    dbase::DbfField f;
    f.name = "AMOUNT";
    f.type = 'N';
    f.length = 8;
    f.decimals = 2;
    std::uint8_t record[8];
    const Result r = dbase::EncodeField(f, BcdValue{c.text}, Cp437(), record);
    EXPECT_EQ(r == Ok, c.dbase != nullptr) << LastErrorMessage();
    if (r == Ok && c.dbase) {
      EXPECT_EQ(std::string(record, record + 8), c.dbase);
    }
  }
}

// ------------------------------------------------------------ file names

TEST(FamilyPaths, SplitJoinAndMemberNames) {
  struct Case {
    const char* path;
    const char* dir;
    const char* stem;
    const char* ext;
  };
  const Case cases[] = {
      {"ORDERS.DB", ".", "ORDERS", "DB"},   {"/ORDERS.DB", "/", "ORDERS", "DB"},
      {"a/b/t.x.dbf", "a/b", "t.x", "dbf"}, {"dir/NOEXT", "dir", "NOEXT", ""},
      {"dir/.dbf", "dir", "", "dbf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const io::PathParts p = io::SplitPath(c.path);
    EXPECT_EQ(p.dir, c.dir);
    EXPECT_EQ(p.stem, c.stem);
    EXPECT_EQ(p.ext, c.ext);
  }
  EXPECT_EQ(io::JoinPath("/", "T.DB"), "/T.DB");
  EXPECT_EQ(io::JoinPath("a/b", "T.DB"), "a/b/T.DB");
  // A member's extension takes the case of the table's.
  EXPECT_EQ(io::MemberFileName(io::SplitPath("d/orders.db"), "MB"), "orders.mb");
  EXPECT_EQ(io::MemberFileName(io::SplitPath("d/Orders.Dbf"), "dbt"), "Orders.DBT");
  EXPECT_EQ(io::MemberFileName(io::SplitPath("d/ORDERS"), "mdx"), "ORDERS.MDX");
  EXPECT_EQ(io::WorkDirectoryOf("d/T.DB"), "d/T.DB.work~");

  // A table's main file: the extension added, or checked in any case.
  std::string file;
  ASSERT_EQ(io::TableFileName("d/orders", "DBF", "a dBASE table", file), Ok);
  EXPECT_EQ(file, "d/orders.DBF");
  ASSERT_EQ(io::TableFileName("d/orders.dbf", "DBF", "a dBASE table", file), Ok);
  EXPECT_EQ(file, "d/orders.dbf");
  EXPECT_EQ(io::TableFileName("d/orders.db", "DBF", "a dBASE table", file), ErrInvalidParameter);
  EXPECT_EQ(LastErrorMessage(), "d/orders.db: a dBASE table's name ends in .DBF");
  EXPECT_EQ(io::TableFileName("d/.DB", "DB", "a Paradox table", file), ErrInvalidParameter);
  EXPECT_EQ(LastErrorMessage(), "\"d/.DB\" is not a table name");
}

}  // namespace
