// Validity checks as texts and back: what each field type takes, TODAY and
// NOW, and the values that do not convert.
#include "structure/valchecktext.h"

#include <gtest/gtest.h>

#include <QLocale>

using namespace engine;
using structure::FormatValCheck;
using structure::ParseValCheck;

namespace {

class ValCheckText : public testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }

  // Parses minimum, maximum and default and formats them back.
  static std::vector<std::string> RoundTrip(std::uint16_t type, const QString& min,
                                            const QString& max, const QString& dflt,
                                            int decimals = 0) {
    ValCheckDesc c;
    if (!ParseValCheck(type, c, true, decimals, "", max, min, dflt)) return {"refused"};
    const auto t = FormatValCheck(type, c);
    return {t.minimum.toStdString(), t.maximum.toStdString(), t.defaultValue.toStdString()};
  }
};

}  // namespace

TEST_F(ValCheckText, ValuesOfEachTypeComeBackAsTheyWereTyped) {
  using V = std::vector<std::string>;
  EXPECT_EQ(RoundTrip(pxAlpha, "A", "Z", "M"), (V{"A", "Z", "M"}));
  EXPECT_EQ(RoundTrip(pxNumber, "-1.5", "1000000", "2.25"), (V{"-1.5", "1000000", "2.25"}));
  EXPECT_EQ(RoundTrip(pxShort, "-5", "30000", ""), (V{"-5", "30000", ""}));
  EXPECT_EQ(RoundTrip(pxLong, "1", "", "7"), (V{"1", "", "7"}));
  EXPECT_EQ(RoundTrip(pxDate, "1/2/2001", "today", ""), (V{"1/2/01", "TODAY", ""}));
  EXPECT_EQ(RoundTrip(pxTime, "", "", "now"), (V{"", "", "NOW"}));
  EXPECT_EQ(RoundTrip(pxBcd, "1.234", "", "", 2), (V{"1.23", "", ""}));  // to the field's decimals
  EXPECT_EQ(RoundTrip(pxLogical, "", "", "true"), (V{"", "", "True"}));
  EXPECT_EQ(RoundTrip(pxLogical, "", "", "yes"), (V{"", "", "False"}));  // anything but TRUE
}

TEST_F(ValCheckText, TextsThatDoNotConvertAreRefused) {
  ValCheckDesc c;
  EXPECT_FALSE(ParseValCheck(pxDate, c, false, 0, "", "", "NOW", ""));  // a date has no NOW
  EXPECT_FALSE(ParseValCheck(pxShort, c, false, 0, "", "70000", "", ""));
  EXPECT_FALSE(ParseValCheck(pxNumber, c, false, 0, "", "", "abc", ""));
  EXPECT_FALSE(ParseValCheck(pxDate, c, false, 0, "", "", "31/31/2001", ""));
}

TEST_F(ValCheckText, FlagsAndCodes) {
  ValCheckDesc c;
  ASSERT_TRUE(ParseValCheck(pxTimestamp, c, true, 0, "###", "", "today", "1/2/2001 10:20:30 AM"));
  EXPECT_NE(c.required, 0);
  EXPECT_EQ(c.hasMin, chkToday);
  EXPECT_EQ(c.hasMax, chkNone);
  EXPECT_EQ(c.hasDefault, 0xFFFF);
  const auto t = FormatValCheck(pxTimestamp, c);
  EXPECT_TRUE(t.required);
  EXPECT_EQ(t.picture, "###");
  EXPECT_EQ(t.minimum, "TODAY");
  EXPECT_EQ(t.defaultValue.left(6), "1/2/01");
  EXPECT_TRUE(t.defaultValue.contains("10:20:30")) << t.defaultValue.toStdString();
  // A memo takes only the flags.
  ValCheckDesc m;
  ASSERT_TRUE(ParseValCheck(pxMemo, m, true, 0, "", "", "", ""));
  EXPECT_EQ(m.hasMin + m.hasMax + m.hasDefault, 0);
}
