// Flag, kind and right texts, and the locale renderings of values.
#include "structure/propertylist.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>

using namespace structure;

TEST(StructureYesNo, AnyNonZeroFlagIsYes) {
  EXPECT_EQ(YesNo(0), "No");
  for (int flag : {1, -1, 2, 0x8000, 0xFFFF}) EXPECT_EQ(YesNo(flag), "Yes") << flag;
}

TEST(StructureTypeNames, EachDriverNamesOnlyItsOwnCodes) {
  EXPECT_EQ(ParadoxTypeName(264), "FORMATTED MEMO");
  EXPECT_EQ(DbaseTypeName(519), "DBASELOCK");
  for (std::uint16_t code : {0, 256, 274, 512, 513, 521})
    EXPECT_EQ(ParadoxTypeName(code), "") << code;
  for (std::uint16_t code : {257, 273, 512, 522}) EXPECT_EQ(DbaseTypeName(code), "") << code;
}

struct RightCase {
  std::int32_t code;
  const char* tableLine;
  const char* fieldText;
};

class StructureRights : public testing::TestWithParam<RightCase> {};

TEST_P(StructureRights, TableLineAndFieldText) {
  EXPECT_EQ(TableRightLine(GetParam().code), GetParam().tableLine);
  EXPECT_EQ(FieldRightText(GetParam().code), GetParam().fieldText);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StructureRights,
    testing::Values(RightCase{0, "TABLE RIGHT=NO PREVILEGIES", "NO PREVILEGIES"},
                    RightCase{1, "TABLE RIGHT=READ ONLY", "READ ONLY"},
                    RightCase{2, "", ""}, RightCase{3, "TABLE RIGHT=UPDATE", ""},
                    RightCase{7, "TABLE RIGHT=UPDATE", ""}, RightCase{15, "TABLE RIGHT=UPDATE", ""},
                    RightCase{31, "TABLE RIGHT=FULL RIGHTS", "FULL RIGHTS"},
                    RightCase{255, "TABLE RIGHT=UNKNOWN", ""}, RightCase{-1, "", ""}));

TEST(StructureFamilyKinds, BothSecondaryIndexKindsAndUnknownCodes) {
  EXPECT_EQ(FamilyKindText(6), "SECONDARY INDEX");
  EXPECT_EQ(FamilyKindText(7), "SECONDARY INDEX");
  EXPECT_EQ(FamilyKindText(5), "VALIDITY CHECKS");
  EXPECT_EQ(FamilyKindText(0), "UNKNOWN");
  EXPECT_EQ(FamilyKindText(9), "UNKNOWN");
}

TEST(StructureLanguageDrivers, OrderedListAndLookupByDescription) {
  const QStringList& drivers = LanguageDrivers();
  ASSERT_EQ(drivers.size(), 23);
  EXPECT_EQ(drivers.first(), "'ascii' ANSI=DBWINUS0");
  EXPECT_EQ(drivers.last(), "Sybase SQL Dic850=SYDC850");
  EXPECT_EQ(&LanguageDrivers(), &drivers);  // built once
  EXPECT_EQ(LanguageDriverFor("dBASE RUS cp866"), "DB866ru0");
  EXPECT_EQ(LanguageDriverFor("Paradox 'ascii'"), "ascii");
  EXPECT_EQ(LanguageDriverFor("nothing"), "");
  for (const QString& line : drivers) EXPECT_FALSE(PropertyValue(line).isEmpty()) << line.toStdString();
}

TEST(StructurePropertyLines, SplitAtTheFirstEquals) {
  EXPECT_EQ(PropertyName("Field(1)=A>B=C"), "Field(1)");
  EXPECT_EQ(PropertyValue("Field(1)=A>B=C"), "A>B=C");
  EXPECT_EQ(PropertyValue("Password= x"), " x");
}

class StructureFormats : public testing::Test {
 protected:
  void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  void TearDown() override { QLocale::setDefault(QLocale::c()); }
};

TEST_F(StructureFormats, FloatsUseFifteenDigitsWithoutGrouping) {
  EXPECT_EQ(FormatFloat(1234567.25), "1234567.25");
  EXPECT_EQ(FormatFloat(0.1 + 0.2), "0.3");
  EXPECT_EQ(FormatFloat(-2.5), "-2.5");
  EXPECT_EQ(FormatFloat(100), "100");
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(FormatFloat(1234.5), "1234,5");
}

TEST_F(StructureFormats, DatesAndTimesInTheLocale) {
  // Day numbers count from 0001-01-01 = 1; 2024-02-29 is day 738945.
  EXPECT_EQ(FormatDate(1), QLocale().toString(QDate(1, 1, 1), QLocale::ShortFormat));
  EXPECT_EQ(FormatDate(738945), "2/29/24");
  EXPECT_EQ(FormatTime((13 * 3600 + 5 * 60 + 9) * 1000 + 250), "1:05:09 PM");
  EXPECT_EQ(FormatDateTime(738945, 0), "2/29/24");
  EXPECT_EQ(FormatDateTime(738945, 1000), "2/29/24 12:00:01 AM");
  EXPECT_EQ(FormatInteger(-32768), "-32768");
}
