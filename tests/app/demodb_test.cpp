#include <gtest/gtest.h>

#include <filesystem>

#include "app/demodb.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/mdx.h"
#include "engine/config/config.h"
#include "engine/engine.h"
#include "engine/indexes.h"
#include "engine/valchecks.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

std::uint32_t Count(const std::string& path) {
  hDBICur cur = 0;
  std::uint32_t n = 0;
  EXPECT_EQ(OpenTablePath(path, OpenMode::ReadOnly, cur), Ok) << LastErrorMessage();
  if (cur) {
    GetRecordCount(cur, n);
    CloseCursor(cur);
  }
  return n;
}

}  // namespace

TEST(DemoDatabase, HasEveryKindOfStructureAndItsRulesHold) {
  TempDir dir;
  ASSERT_EQ(CreateDemoDatabase(dir.path()), Ok) << LastErrorMessage();
  EXPECT_EQ(Count(dir / "STATUS.DB"), 3u);
  EXPECT_EQ(Count(dir / "CUSTOMER.DB"), 3u);
  EXPECT_EQ(Count(dir / "ORDERS.DB"), 3u);
  EXPECT_EQ(Count(dir / "NOTES.DB"), 1u);
  EXPECT_TRUE(std::filesystem::exists(dir / "BRISTOL.SQL"));
  EXPECT_TRUE(std::filesystem::exists(dir / "CUSTOMERS.QBE"));

  hDBICur cur = 0;
  EXPECT_EQ(OpenTablePath(dir / "SECRETS.DB", OpenMode::ReadOnly, cur), ErrPasswordRequired);
  AddPassword(kDemoReadOnlyPassword);
  ASSERT_EQ(OpenTablePath(dir / "SECRETS.DB", OpenMode::ReadWrite, cur), Ok) << LastErrorMessage();
  EXPECT_EQ(InsertRecord(cur, {std::string("x"), std::string("y")}), ErrNoRights);
  CloseCursor(cur);
  RemovePassword(kDemoReadOnlyPassword);

  ASSERT_EQ(OpenTablePath(dir / "CUSTOMER.DB", OpenMode::ReadWrite, cur), Ok);
  CursorProps p;
  ASSERT_EQ(GetCursorProps(cur, p), Ok);
  EXPECT_EQ(p.indexCount, 3);
  EXPECT_EQ(p.valCheckCount, 4);
  EXPECT_EQ(InsertRecord(cur, {std::int64_t{9}, Value{}, Value{}, Value{}, Value{}, Value{},
                               Value{}, Value{}}),
            ErrRequiredField);
  CloseCursor(cur);

  // The dBASE table: memo, tags listed and kept by changes, a marked record.
  ASSERT_EQ(OpenTablePath(dir / "PARTS.DBF", OpenMode::ReadWrite, cur), Ok) << LastErrorMessage();
  ASSERT_EQ(GetCursorProps(cur, p), Ok);
  EXPECT_EQ(p.indexCount, 2);
  IndexDesc tag;
  ASSERT_EQ(GetIndexDesc(cur, 2, tag), Ok);
  EXPECT_EQ(tag.keyExpression, "UPPER(NAME)");
  EXPECT_EQ(InsertRecord(cur, {std::string("P-500"), std::string("Spring"), BcdValue{"1.00"},
                               Value{}, Value{}}),
            Ok)
      << LastErrorMessage();
  CloseCursor(cur);
  EXPECT_EQ(dbase::CheckMdx(dir / "PARTS.MDX"), Ok) << LastErrorMessage();
  {
    std::unique_ptr<dbase::DbaseTable> parts;
    ASSERT_EQ(dbase::DbaseTable::Open(dir / "PARTS.DBF", {}, parts), Ok);
    EXPECT_EQ(parts->level(), 4);
    ASSERT_EQ(parts->recordCount(), 5u);
    bool deleted = false;
    ASSERT_EQ(parts->isDeleted(2, deleted), Ok);
    EXPECT_TRUE(deleted);
    std::vector<Value> values;
    ASSERT_EQ(parts->readRecord(2, values), Ok);
    EXPECT_EQ(std::get<std::string>(values[4]), "No longer made; kept for old orders.");
  }

  ASSERT_EQ(OpenTablePath(dir / "ORDERS.DB", OpenMode::ReadWrite, cur), Ok);
  EXPECT_EQ(InsertRecord(cur, {Value{}, std::int64_t{77}, Value{}, BcdValue{"1.00"},
                               std::string("N"), Value{}}),
            ErrMasterMissing);
  EXPECT_EQ(InsertRecord(cur, {Value{}, std::int64_t{2}, Value{}, BcdValue{"1.00"},
                               std::string("X"), Value{}}),
            ErrLookupMismatch);
  CloseCursor(cur);
}

TEST(DemoDatabase, FirstStartWritesTheConfigurationWithTheDemoAlias) {
  TempDir dir;
  std::string config = dir / "engine.cfg";
  SetConfigFile(config);
  ASSERT_EQ(EnsureDemoAlias(dir / "demo"), Ok) << LastErrorMessage();
  EXPECT_TRUE(std::filesystem::exists(config));
  DatabaseDesc demo;
  ASSERT_EQ(GetDatabaseDesc("DEMO", demo), Ok);
  EXPECT_EQ(demo.physicalPath, dir / "demo");
  // A second start leaves an existing configuration alone.
  std::filesystem::remove_all(dir / "demo");
  ASSERT_EQ(EnsureDemoAlias(dir / "demo"), Ok);
  EXPECT_FALSE(std::filesystem::exists(dir / "demo"));
}
