// What quarry insert makes of its CSV input: byte-order marks, empty lines,
// header faults, malformed UTF-8, and refused rows named by the input line
// where they start.
#include <gtest/gtest.h>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace {

// A keyed table T (Id I; Name A 5; Amount N; Note M 10) and a table L of
// one field (Word A 10), made through quarry.
struct Tables {
  TempDir dir;
  std::string keyed = dir / "T.DB", single = dir / "L.DB";
  Tables() {
    EXPECT_EQ(RunQuarryProcess({"create", keyed, "--fields", "Id I; Name A 5; Amount N; Note M 10",
                                "--key", "1"})
                  .status,
              0);
    EXPECT_EQ(RunQuarryProcess({"create", single, "--fields", "Word A 10"}).status, 0);
  }
  const std::string& table(bool one) const { return one ? single : keyed; }
};

struct Accepted {
  const char* name;
  bool single;  // into L rather than T
  std::string input;
  int inserted;
  std::string dump;
};

void PrintTo(const Accepted& c, std::ostream* os) { *os << c.name; }

class QuarryInsertAccepts : public testing::TestWithParam<Accepted> {};

struct Refused {
  const char* name;
  std::string input;
  std::string message;  // the whole of standard error, after "quarry: "
};

void PrintTo(const Refused& c, std::ostream* os) { *os << c.name; }

class QuarryInsertRefuses : public testing::TestWithParam<Refused> {};

}  // namespace

TEST_P(QuarryInsertAccepts, AndStoresWhatTheInputMeans) {
  const Accepted& c = GetParam();
  Tables t;
  auto r = RunQuarryProcess({"insert", t.table(c.single)}, c.input);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Inserted " + std::to_string(c.inserted) + " records\n");
  EXPECT_EQ(RunQuarryProcess({"dump", t.table(c.single)}).out, c.dump);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, QuarryInsertAccepts,
    testing::Values(
        Accepted{"ByteOrderMark", false, "\xEF\xBB\xBFId,Name\n1,a\n", 1,
                 "Id,Name,Amount,Note\n1,a,,\n"},
        Accepted{"ByteOrderMarkOnly", false, "\xEF\xBB\xBFId\n", 0, "Id,Name,Amount,Note\n"},
        Accepted{"TrailingEmptyLines", false, "Id,Name\n1,a\n\n\n", 1,
                 "Id,Name,Amount,Note\n1,a,,\n"},
        Accepted{"TrailingEmptyCrlfLines", false, "Id,Name\r\n1,a\r\n\r\n\r\n", 1,
                 "Id,Name,Amount,Note\n1,a,,\n"},
        Accepted{"NoRowsButEmptyLines", false, "Id\n\n\n", 0, "Id,Name,Amount,Note\n"},
        // With one column an empty line is a row whose value is NULL;
        // those at the end still count as nothing.
        Accepted{"EmptyLinesOfOneColumn", true, "Word\nx\n\n\ny\n\n", 4, "Word\nx\n\n\ny\n"},
        Accepted{"QuotedValuesSpanningLines", false, "Note,Id\n\"a\n\nb\",2\n\"\",1\n", 2,
                 "Id,Name,Amount,Note\n1,,,\n2,,,\"a\n\nb\"\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(QuarryInsertRefuses, WithOneLineNamingWhereAndChangesNothing) {
  const Refused& c = GetParam();
  Tables t;
  ASSERT_EQ(RunQuarryProcess({"insert", t.keyed}, "Id,Name\n7,seven\n").status, 0);
  auto r = RunQuarryProcess({"insert", t.keyed}, c.input);
  EXPECT_EQ(r.status, 1);
  std::string message = c.message;
  for (std::size_t at; (at = message.find("$T")) != std::string::npos;) message.replace(at, 2, t.keyed);
  EXPECT_EQ(r.err, "quarry: " + message + "\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(RunQuarryProcess({"dump", t.keyed}).out, "Id,Name,Amount,Note\n7,seven,,\n");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, QuarryInsertRefuses,
    testing::Values(
        Refused{"FieldNamedTwice", "Id,Name,Id\n1,a,2\n", "line 1: the header names field \"Id\" twice"},
        Refused{"EmptyHeader", "\nId\n1\n", "line 1: the header line is empty; it must name the fields"},
        Refused{"InvalidUtf8InHeader", "Id,N\xE4me\n1,a\n",
                "line 1: column 2 of the header is not valid UTF-8 (byte 2)"},
        Refused{"EmptyLineInTheMiddle", "Id,Name\n1,a\n\n2,b\n",
                "line 3 is empty (empty lines are ignored only at the end of the input)"},
        Refused{"InvalidUtf8InText", "Id,Name\n1,a\n2,b\xC3\n",
                "line 3: field Name: the value is not valid UTF-8 (byte 2)"},
        Refused{"InvalidUtf8InNumber", "Id,Amount\n1,\xFF\n",
                "line 2: field Amount: the value is not valid UTF-8 (byte 1)"},
        Refused{"InvalidUtf8InMemo", "Id,Note\n1,\"x\ny\xE2\x82\"\n",
                "line 2: field Note: the value is not valid UTF-8 (byte 4)"},
        Refused{"SurrogateInText", "Id,Name\n1,\xED\xA0\x80\n",
                "line 2: field Name: the value is not valid UTF-8 (byte 1)"},
        Refused{"ConversionAfterAMark", "\xEF\xBB\xBFId,Amount\n1,2\n2,x\n",
                "line 3: field Amount: \"x\" is not a number"},
        Refused{"StoringAfterLinesSpanned", "Id,Note,Name\n1,\"a\nb\nc\",x\n2,,toolong\n",
                "line 5: field Name: \"toolong\" is longer than 5 characters"},
        Refused{"OutOfRange", "Id\n1\n99999999999\n", "line 3: field Id: value 99999999999 is out of range"},
        // A memo character the code page lacks used to turn into "?" silently.
        Refused{"MemoOutsideTheCodePage", "Id,Note\n1,\"5\xE2\x82\xAC\"\n",
                "line 2: field Note: the text has characters the table's code page cannot hold"},
        Refused{"DuplicateKey", "Id,Name\n1,a\n7,b\n", "line 3: $T: a record with the key 7 exists already"},
        // Bytes that begin like a byte-order mark but are a character stay.
        Refused{"CharacterLikeAMark", "\xEF\xBB\x80Id\n1\n",
                "line 1: the table has no field \"\xEF\xBB\x80Id\""},
        Refused{"ValueCount", "Id,Note\n1,\"a\nb\"\n2\n", "line 4 has 1 values for 2 columns"},
        Refused{"UnclosedQuote", "Id,Name\n1,a\n2,\"b\n\n", "line 3: a quoted value is not closed before the end of the input"}),
    [](const auto& info) { return std::string(info.param.name); });
