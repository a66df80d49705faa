// quarry and validity checks: `info` shows checks, lookups and links of real
// tables; `insert` refuses records that break them, with one clear line.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;

namespace {

// The part of `info` output from "Validity checks:" or "Links:" up to the
// next section that is not ours.
std::string ValiditySection(const std::string& out) {
  std::size_t from = out.find("Validity checks:");
  if (from == std::string::npos) from = out.find("Links:");
  if (from == std::string::npos) return "";
  std::size_t to = out.find("\n", from);
  while (to != std::string::npos && to + 1 < out.size() &&
         (out[to + 1] == ' ' || out.compare(to + 1, 6, "Links:") == 0))
    to = out.find("\n", to + 1);
  return out.substr(from, to == std::string::npos ? std::string::npos : to + 1 - from);
}

}  // namespace

TEST(QuarryValidity, InfoShowsChecksLookupsAndLinks) {
  std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  struct {
    const char* table;
    const char* section;
  } cases[] = {
      {"joins/C.DB",
       "Validity checks:\n  C: required\n  A: required\n"
       "Links:\n  Reference A: child of A.db (A -> field 1), update cascade\n"
       "  Reference B: child of B.db (B -> field 1), update cascade\n"},
      {"joins/two.db", "Links:\n  reference: parent of fk4.DB (ID1, ID2 -> field 2, field 4), update prohibit\n"},
      {"joins/multiple.db",
       "Validity checks:\n  FK: required\n  A: picture \"[(*3{#}) ]*3{#}-*4{#}\"\n"
       "Links:\n  fk2: child of primary.db (FK2 -> field 1), update cascade\n"
       "  fk_multiple_primary: child of primary.db (FK -> field 1), update cascade\n"
       "  to_multiple: parent of to_multiple.db (ID -> field 2), update cascade\n"},
      {"joins/origin.db",
       "Validity checks:\n  FK: lookup destination.db (this field, help and fill)\n"},
      {"fields/logical.db", "Validity checks:\n  BOOL: required, default true\n"},
      {"db/AREACODE.DB", "Validity checks:\n  Area Code: picture \"###\"\n  State: picture \"&&\"\n"},
      {"joins/destination.db", ""},
  };
  for (const auto& c : cases) {
    auto r = RunQuarryProcess({"info", corpus + "/" + c.table});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ValiditySection(r.out), c.section) << c.table;
  }
}

TEST(QuarryValidity, InsertRefusesRecordsThatBreakChecksOrLinks) {
  std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  TempDir dir;
  for (const auto& e : fs::directory_iterator(corpus)) {
    fs::path to = fs::path(dir.path()) / e.path().filename();
    fs::copy_file(e.path(), to);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
  }
  struct {
    const char* input;
    const char* message;
  } cases[] = {
      {"C,A,B\n5,9,4\n", "C.DB: link Reference A: A.db has no record with the key 9"},
      {"C,A,B\n5,,4\n", "C.DB: field A is required and was left blank"},
  };
  for (const auto& c : cases) {
    auto r = RunQuarryProcess({"insert", dir / "C.DB"}, c.input);
    EXPECT_EQ(r.status, 1) << c.input;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  auto ok = RunQuarryProcess({"insert", dir / "C.DB"}, "C,A,B\n5,1,4\n");
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(RunQuarryProcess({"dump", dir / "C.DB"}).out, "C,A,B\n1,1,4\n2,2,5\n3,3,6\n5,1,4\n");
}
