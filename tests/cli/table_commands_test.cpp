#include <gtest/gtest.h>

#include <filesystem>

#include "engine/dataset/fieldtext.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

using namespace engine;
namespace fs = std::filesystem;

namespace {

std::string FirstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

}  // namespace

TEST(QuarryTables, CreateInsertDumpKeepsTrickyTextExact) {
  TempDir dir;
  std::string t = dir / "NOTES.DB";
  auto created = RunQuarryProcess(
      {"create", t, "--fields", "Id I; Text A 40; Memo M 5; When @", "--key", "1"});
  ASSERT_EQ(created.status, 0) << created.err;
  std::string input =
      "Text,Id,Memo,When\r\n"
      "\"a, b\",2,\"line one\nline two\",2024-12-31 23:59:59.007\r\n"
      "\"say \"\"hi\"\"\",1,,0999-01-02 00:00:00\r\n";
  auto inserted = RunQuarryProcess({"insert", t}, input);
  ASSERT_EQ(inserted.status, 0) << inserted.err;
  EXPECT_EQ(inserted.out, "Inserted 2 records\n");
  auto dump = RunQuarryProcess({"dump", t});
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.out,
            "Id,Text,Memo,When\n"
            "1,\"say \"\"hi\"\"\",,0999-01-02 00:00:00\n"
            "2,\"a, b\",\"line one\nline two\",2024-12-31 23:59:59.007\n");
}

TEST(QuarryTables, BadInputFailsWithOneLineAndChangesNothing) {
  TempDir dir;
  std::string t = dir / "T.DB";
  ASSERT_EQ(RunQuarryProcess({"create", t, "--fields", "N S; D D"}).status, 0);
  struct Case {
    std::string input;
    std::string message;
  } cases[] = {
      {"N,D\n1,2024-01-01\n2,2024-02-30\n", "line 3: field D: \"2024-02-30\" is not a date"},
      {"N,D\n99999,\n", "line 2: field N: value 99999 is out of range"},
      {"N,X\n1,2\n", "the table has no field \"X\""},
      {"N,D\n1\n", "line 2 has 1 values for 2 columns"},
      {"", "no header line"},
  };
  for (const Case& c : cases) {
    auto r = RunQuarryProcess({"insert", t}, c.input);
    EXPECT_EQ(r.status, 1) << c.input;
    EXPECT_NE(FirstLine(r.err).find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  EXPECT_EQ(RunQuarryProcess({"dump", t}).out, "N,D\n");
}

TEST(QuarryTables, RefusalsAndUsageErrors) {
  TempDir dir;
  std::string t = dir / "T.DB";
  auto missing = RunQuarryProcess({"dump", dir / "NONE.DB"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("NONE.DB"), std::string::npos);

  EXPECT_EQ(RunQuarryProcess({"create", t}).status, 2);  // --fields missing
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "A Q"}).status, 2);
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "A A 10", "--key", "x"}).status, 2);
  auto level = RunQuarryProcess({"create", t, "--fields", "A I", "--level", "4"});
  EXPECT_EQ(level.status, 1);
  EXPECT_NE(level.err.find("needs table level 5"), std::string::npos) << level.err;

  ASSERT_EQ(RunQuarryProcess({"create", t, "--fields", "A A20", "--password", "pw"}).status, 0);
  auto locked = RunQuarryProcess({"dump", t});
  EXPECT_EQ(locked.status, 1);
  EXPECT_NE(locked.err.find("protected by a password"), std::string::npos);
  EXPECT_EQ(RunQuarryProcess({"dump", t, "--password", "x", "--password", "pw"}).status, 0);
  auto info = RunQuarryProcess({"info", t, "--password", "pw"});
  EXPECT_NE(info.out.find("Protected:        Yes"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("A                          ALPHA           20"), std::string::npos);
}

TEST(QuarryValues, TextFormsRoundTrip) {
  struct Case {
    std::uint16_t type;
    std::string text;
  } cases[] = {
      {pxDate, "0001-01-01"},   {pxDate, "2024-02-29"},          {pxTime, "00:00:00"},
      {pxTime, "23:59:59.999"}, {pxTimestamp, "1970-01-01 00:00:00.001"},
      {pxNumber, "0.1"},        {pxNumber, "-1.7976931348623157e+308"}, {pxMoney, "12"},
      {pxLong, "-2147483647"},  {pxLogical, "false"},        {pxBytes, "00ff10"},
      {pxBcd, "-0.50"},         {pxAlpha, "x,y"},
  };
  for (const Case& c : cases) {
    FieldDesc f;
    f.name = "F";
    f.type = c.type;
    EXPECT_EQ(engine::FormatValue(engine::ParseValue(f, c.text)), c.text);
  }
  FieldDesc time;
  time.name = "T";
  time.type = pxTime;
  EXPECT_EQ(engine::FormatValue(engine::ParseValue(time, "01:02:03.5")), "01:02:03.500");
  for (std::string bad : {"24:00:00", "1:2", "01:02:03.1234", "01:02:03x"})
    EXPECT_THROW(engine::ParseValue(time, bad), std::runtime_error) << bad;
  EXPECT_TRUE(IsNull(engine::ParseValue(time, "")));
}

class QuarryCreateBlobKey : public testing::TestWithParam<char> {};

TEST_P(QuarryCreateBlobKey, IsRefusedNamingTheField) {
  TempDir dir;
  const std::string t = dir / "K.DB", type(1, GetParam());
  auto r = RunQuarryProcess({"create", t, "--fields", "Id I; Data " + type + " 10", "--key", "2"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quarry: " + t + ": field Data (type " + type +
                       ") is a BLOB field and cannot be a key field\n");
  EXPECT_TRUE(fs::is_empty(dir.path()));
  EXPECT_EQ(RunQuarryProcess({"create", t, "--fields", "Id I; Data " + type + " 10", "--key", "1"})
                .status,
            0);
}

INSTANTIATE_TEST_SUITE_P(Types, QuarryCreateBlobKey, testing::Values('M', 'B', 'F', 'O', 'G'));
