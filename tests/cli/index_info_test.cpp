#include <gtest/gtest.h>

#include "engine/paradox/pxcreate.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

std::string After(const std::string& text, const std::string& heading) {
  std::size_t at = text.find(heading);
  return at == std::string::npos ? "" : text.substr(at);
}

}  // namespace

TEST(QuarryInfoIndexes, ListsTheSecondaryIndexesOfRealTables) {
  const std::string joins = CorpusDir("paradox/joins");
  if (joins.empty()) GTEST_SKIP() << "corpus absent";
  struct Case {
    const char* table;
    const char* line;
  } cases[] = {
      {"fk4.db", "  reference                  FK1, FK                         maintained\n"},
      {"indexed.db", "  Descending                 Indexed (descending)            descending\n"},
      {"C.DB", "  A                          A                               maintained\n"
               "  B                          B                               maintained\n"},
  };
  for (const Case& c : cases) {
    auto r = RunQuarryProcess({"info", joins + "/" + c.table});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(After(r.out, "Secondary indexes:\n").find(c.line), std::string::npos) << r.out;
  }
  auto plain = RunQuarryProcess({"info", joins + "/paradox-ascii.db"});
  EXPECT_EQ(plain.out.find("Secondary indexes"), std::string::npos) << plain.out;
}

TEST(QuarryInfoIndexes, ShowsPropertiesKeptBesideTheFiles) {
  TempDir dir;
  TableDesc d;
  d.tableName = dir / "MAIL.DB";
  FieldDesc id, mail;
  id.name = "Id";
  id.type = pxLong;
  mail.name = "Mail";
  mail.type = pxAlpha;
  mail.units1 = 40;
  d.fields = {id, mail};
  IndexDesc ix;
  ix.name = "ByMail";
  ix.fieldsInKey = 1;
  ix.keyFields[0] = 2;
  ix.unique = ix.caseInsensitive = ix.maintained = 1;
  d.indexes = {ix};
  ASSERT_EQ(paradox::CreateParadoxTable(d, false), Ok);
  auto r = RunQuarryProcess({"info", d.tableName});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  ByMail                     Mail                            "
                       "unique, case-insensitive, maintained\n"),
            std::string::npos)
      << r.out;
}
