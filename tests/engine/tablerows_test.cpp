// The rows a grid shows of an open table: read a block at a time, found by
// scanning where a filter or hidden deleted records leave gaps, and never
// moving the table off its current record.
#include <gtest/gtest.h>

#include "engine/config/config.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/dataset/tablerows.h"
#include "engine/engine.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

class Rows : public testing::Test {
 protected:
  void TearDown() override { Session().Close(); }

  // NUMS.DB (or .DBF): Id 1..count, Odd true for odd Ids.
  std::string Make(const std::string& name, int count, bool dbase) {
    hDBIDb db = 0;
    EXPECT_EQ(OpenDatabase(dir.path(), db), Ok);
    TableDesc d;
    d.tableName = name;
    if (dbase) {
      d.driverType = "DBASE";
      d.fields = {ptables::Field("ID", dbNumber, 8), ptables::Field("ODD", dbLogical)};
    } else {
      d.fields = {ptables::Field("Id", pxLong), ptables::Field("Odd", pxLogical)};
    }
    EXPECT_EQ(CreateTable(db, false, d), Ok) << LastErrorMessage();
    hDBICur cur = 0;
    EXPECT_EQ(OpenTable(db, name, "", OpenMode::ReadWrite, cur), Ok) << LastErrorMessage();
    for (int i = 1; i <= count; ++i) {
      Value id = dbase ? Value{double(i)} : Value{std::int64_t{i}};
      EXPECT_EQ(InsertRecord(cur, {id, i % 2 == 1}), Ok) << LastErrorMessage();
    }
    CloseCursor(cur);
    CloseDatabase(db);
    return dir.path() + "/" + name;
  }

  static int Id(TableRows& rows, std::uint32_t row) {
    const std::vector<Value>* v = rows.Values(row);
    if (!v) return -1;
    if (const auto* d = std::get_if<double>(&(*v)[0])) return static_cast<int>(*d);
    return static_cast<int>(std::get<std::int64_t>((*v)[0]));
  }

  TempDir dir;
  TTable table;
};

TEST_F(Rows, EveryRecordIsARowReadByBlocksWithoutMovingTheTable) {
  table.SetTableName(Make("NUMS.DB", 400, false));
  table.Open();
  table.MoveBy(4);  // on Id 5
  TableRows rows(table);
  EXPECT_TRUE(rows.Complete());
  ASSERT_EQ(rows.Count(), 400u);
  for (std::uint32_t r : {0u, 127u, 128u, 300u, 399u}) EXPECT_EQ(Id(rows, r), int(r) + 1);
  EXPECT_EQ(rows.Values(400), nullptr);
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 5);
  EXPECT_EQ(table.RecNo(), 5u);
  EXPECT_EQ(rows.CurrentRow(), 4u);

  rows.GoTo(277);
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 278);
  EXPECT_EQ(rows.CurrentRow(), 277u);
  table.Next();
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 279);
}

TEST_F(Rows, AFilterIsScannedAsFarAsAsked) {
  table.SetTableName(Make("NUMS.DB", 800, false));
  table.Open();
  table.SetFilter("Odd = true");
  table.SetFiltered(true);
  TableRows rows(table);
  EXPECT_FALSE(rows.Complete());
  EXPECT_LT(rows.Count(), 400u);
  const std::uint32_t first = rows.Count();
  EXPECT_GT(rows.Discover(100), 0u);
  EXPECT_GT(rows.Count(), first);
  rows.DiscoverAll();
  EXPECT_TRUE(rows.Complete());
  ASSERT_EQ(rows.Count(), 400u);
  for (std::uint32_t r : {0u, 129u, 399u}) EXPECT_EQ(Id(rows, r), int(2 * r + 1));

  rows.GoTo(300);
  EXPECT_EQ(table.FieldByName("Id").AsInteger(), 601);
  EXPECT_EQ(rows.CurrentRow(), 300u);
}

TEST_F(Rows, DeletedDbaseRecordsAreHiddenOrShownAndMarked) {
  table.SetTableName(Make("NUMS.DBF", 300, true));
  table.Open();
  // Delete Ids 2, 4 and 6.
  for (int id : {2, 4, 6}) {
    table.SetRecNo(id);
    table.Delete();
  }
  table.First();
  TableRows hidden(table);
  hidden.DiscoverAll();
  ASSERT_EQ(hidden.Count(), 297u);
  EXPECT_EQ(Id(hidden, 1), 3);
  EXPECT_EQ(Id(hidden, 3), 7);
  EXPECT_FALSE(hidden.Deleted(1));

  ASSERT_EQ(SetProp(table.Handle(), kPropShowDeleted, 1), Ok);
  TableRows shown(table);
  EXPECT_TRUE(shown.Complete());
  ASSERT_EQ(shown.Count(), 300u);
  EXPECT_EQ(Id(shown, 1), 2);
  EXPECT_TRUE(shown.Deleted(1));
  EXPECT_FALSE(shown.Deleted(2));
  shown.GoTo(3);
  ASSERT_EQ(UndeleteRecord(table.Handle()), Ok) << LastErrorMessage();
  ASSERT_EQ(SetProp(table.Handle(), kPropShowDeleted, 0), Ok);
  hidden.Reset();
  hidden.DiscoverAll();
  EXPECT_EQ(hidden.Count(), 298u);
  EXPECT_EQ(Id(hidden, 2), 4);
}

// Records deleted after the rows were counted: the rows past the end read
// as gone until the grid starts over.
TEST_F(Rows, RowsGoneSinceTheCountReadAsGone) {
  const std::string path = Make("NUMS.DB", 200, false);
  table.SetTableName(path);
  table.Open();
  TableRows rows(table);
  ASSERT_EQ(rows.Count(), 200u);
  for (int i = 0; i < 150; ++i) table.Delete();
  rows.Invalidate();
  EXPECT_EQ(rows.Values(150), nullptr);
  EXPECT_EQ(Id(rows, 10), 161);
  rows.Reset();
  EXPECT_EQ(rows.Count(), 50u);
}

}  // namespace
