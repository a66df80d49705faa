// The handle API over an open Paradox table: properties, descriptors,
// navigation, bookmarks and editing.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "engine/engine.h"
#include "engine/family.h"
#include "engine/io/memo.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

class CursorApi : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
    TableDesc d;
    d.tableName = "PARTS.DB";
    auto field = [](const char* name, std::uint16_t type, std::int16_t u1 = 0, std::int16_t u2 = 0) {
      FieldDesc f;
      f.name = name;
      f.type = type;
      f.units1 = u1;
      f.units2 = u2;
      return f;
    };
    d.fields = {field("Code", pxAlpha, 8), field("Qty", pxShort), field("Note", pxMemo, 20),
                field("Price", pxBcd, 32, 2)};
    IndexDesc key;
    key.primary = 1;
    key.fieldsInKey = 1;
    key.keyFields[0] = 1;
    d.indexes.push_back(key);
    d.optionalParams = {{"LEVEL", "7"}, {"BLOCK SIZE", "4096"}, {"LANGDRIVER", "DBWINUS0"}};
    ASSERT_EQ(CreateTable(db, false, d), Ok) << LastErrorMessage();
    ASSERT_EQ(OpenTable(db, "PARTS", "PARADOX", OpenMode::ReadWrite, cur), Ok)
        << LastErrorMessage();
    for (const char* code : {"C", "A", "E", "B", "D"})
      ASSERT_EQ(InsertRecord(cur, {std::string(code), std::int64_t{1}, Value{}, Value{}}), Ok);
  }
  void TearDown() override {
    if (cur) CloseCursor(cur);
    CloseDatabase(db);
  }
  std::string CodeOf(const std::vector<Value>& row) { return std::get<std::string>(row[0]); }

  TempDir dir;
  hDBIDb db = 0;
  hDBICur cur = 0;
};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

}  // namespace

TEST_F(CursorApi, PropertiesAndDescriptors) {
  CursorProps p;
  ASSERT_EQ(GetCursorProps(cur, p), Ok);
  EXPECT_EQ(p.tableName, "PARTS.DB");
  EXPECT_EQ(p.driverType, "PARADOX");
  EXPECT_EQ(p.fieldCount, 4);
  EXPECT_EQ(p.recordBufferSize, 8 + 2 + 30 + 17);
  EXPECT_EQ(p.indexCount, 1);
  EXPECT_EQ(p.tableLevel, 7);
  EXPECT_EQ(p.blockSize, 4);
  EXPECT_EQ(p.languageDriver, "DBWINUS0");
  EXPECT_EQ(p.isProtected, 0);

  std::vector<FieldDesc> f;
  ASSERT_EQ(GetFieldDescs(cur, f), Ok);
  ASSERT_EQ(f.size(), 4u);
  EXPECT_EQ(f[0].type, pxAlpha);
  EXPECT_EQ(f[0].units1, 8);
  EXPECT_EQ(f[2].type, pxMemo);
  EXPECT_EQ(f[2].units1, 20);
  EXPECT_EQ(f[2].offset, 10);
  EXPECT_EQ(f[3].units1, 32);
  EXPECT_EQ(f[3].units2, 2);

  IndexDesc ix;
  ASSERT_EQ(GetIndexDesc(cur, 1, ix), Ok);
  EXPECT_TRUE(ix.primary);
  EXPECT_EQ(ix.name, "");
  EXPECT_EQ(ix.fieldsInKey, 1);
  EXPECT_EQ(ix.keyFields[0], 1);
  EXPECT_EQ(GetIndexDesc(cur, 2, ix), ErrInvalidIndex);
}

TEST_F(CursorApi, NavigationInKeyOrder) {
  std::vector<Value> row;
  ASSERT_EQ(SetToBegin(cur), Ok);
  EXPECT_EQ(GetPriorRecord(cur, &row), ErrBeginOfList);
  std::string seen;
  while (GetNextRecord(cur, &row) == Ok) seen += CodeOf(row);
  EXPECT_EQ(seen, "ABCDE");
  EXPECT_EQ(GetNextRecord(cur, &row), ErrEndOfList);
  ASSERT_EQ(GetPriorRecord(cur, &row), Ok);
  EXPECT_EQ(CodeOf(row), "E");
  ASSERT_EQ(SetToRecordNo(cur, 2), Ok);
  ASSERT_EQ(GetRecord(cur, row), Ok);
  EXPECT_EQ(CodeOf(row), "B");
  ASSERT_EQ(GetRelativeRecord(cur, 2, &row), Ok);
  EXPECT_EQ(CodeOf(row), "D");
  std::uint32_t n = 0;
  ASSERT_EQ(GetRecordNo(cur, n), Ok);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(SetToRecordNo(cur, 6), ErrEndOfList);
  ASSERT_EQ(GetRecordCount(cur, n), Ok);
  EXPECT_EQ(n, 5u);
  Value v;
  ASSERT_EQ(GetField(cur, 2, v), Ok);
  EXPECT_EQ(std::get<std::int64_t>(v), 1);
  EXPECT_EQ(GetField(cur, 9, v), ErrInvalidParameter);
}

TEST_F(CursorApi, BookmarksFollowTheirRecordAndEditsMoveTheCursor) {
  ASSERT_EQ(SetToRecordNo(cur, 3), Ok);  // "C"
  Bookmark mark;
  ASSERT_EQ(GetBookmark(cur, mark), Ok);
  ASSERT_EQ(InsertRecord(cur, {std::string("0"), Value{}, std::string(100, 'n'), BcdValue{"9.99"}}),
            Ok);
  std::uint32_t n;
  ASSERT_EQ(GetRecordNo(cur, n), Ok);
  EXPECT_EQ(n, 1u);  // the cursor stands on the inserted record
  ASSERT_EQ(SetToBookmark(cur, mark), Ok);
  std::vector<Value> row;
  ASSERT_EQ(GetRecord(cur, row), Ok);
  EXPECT_EQ(CodeOf(row), "C");  // moved from 3 to 4, still found

  ASSERT_EQ(ModifyRecord(cur, {std::string("Z"), std::int64_t{5}, Value{}, Value{}}), Ok);
  ASSERT_EQ(GetRecordNo(cur, n), Ok);
  EXPECT_EQ(n, 6u);
  ASSERT_EQ(SetToRecordNo(cur, 1), Ok);
  ASSERT_EQ(DeleteRecord(cur), Ok);
  ASSERT_EQ(GetRecordCount(cur, n), Ok);
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(SetToBookmark(cur, mark), ErrNoCurrentRecord);  // "C" became "Z"
}

// A table closed lately may stay open, unlocked, for the next open of it;
// that open must still give the table as it is now, and the closed table
// never stands in the way of an exclusive open or of a password removed.
TEST_F(CursorApi, ATableOpenedAgainIsAsItIsNow) {
  io::SetMemoSettling(0);  // so that the tables here are kept at all
  // A file time moves in coarse ticks: each change below comes a tick later.
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  auto records = [&](OpenMode mode = OpenMode::ReadOnly) {
    hDBICur c = 0;
    std::uint32_t n = 0;
    if (OpenTable(db, "PARTS", "PARADOX", mode, c) || GetRecordCount(c, n)) n = 999;
    if (c) CloseCursor(c);
    return n;
  };
  CloseCursor(cur);
  const std::string table = dir / "PARTS.DB";
  const std::string fiveRecords = ReadBytes(table);
  tick();
  EXPECT_EQ(records(), 5u);
  EXPECT_EQ(records(), 5u);
  EXPECT_EQ(records(OpenMode::ReadWrite), 5u);

  hDBICur only = 0;
  ASSERT_EQ(OpenTable(db, "PARTS", "PARADOX", OpenMode::ReadWrite, ShareMode::Exclusive, only), Ok)
      << LastErrorMessage();
  tick();
  ASSERT_EQ(InsertRecord(only, {std::string("F"), std::int64_t{1}, Value{}, Value{}}), Ok);
  CloseCursor(only);
  EXPECT_EQ(records(), 6u);
  EXPECT_EQ(records(OpenMode::ReadWrite), 6u);
  // Written in place by another program, which leaves the directory as it was.
  tick();
  {
    std::fstream out(table, std::ios::in | std::ios::out | std::ios::binary);
    out.write(fiveRecords.data(), static_cast<std::streamsize>(fiveRecords.size()));
  }
  EXPECT_EQ(records(), 5u);

  // Replaced by a table of the same name.
  TableDesc d;
  d.tableName = "PARTS.DB";
  FieldDesc code;
  code.number = 1, code.name = "Code", code.type = pxAlpha, code.units1 = 4;
  d.fields = {code};
  d.password = "key";
  d.isProtected = 1;
  tick();
  ASSERT_EQ(CreateTable(db, true, d), Ok) << LastErrorMessage();
  AddPassword("key");
  EXPECT_EQ(records(), 0u);
  EXPECT_EQ(records(), 0u);
  RemoveAllPasswords();
  EXPECT_EQ(records(), 999u);  // the password is gone: the table no longer opens
  io::SetMemoSettling(2);
  cur = 0;
}

TEST(CursorHandles, ClosedAndUnknownHandlesAreRefused) {
  hDBICur bogus = 12345;
  CursorProps p;
  EXPECT_EQ(GetCursorProps(bogus, p), ErrInvalidHandle);
  EXPECT_EQ(CloseCursor(bogus), ErrInvalidHandle);
  hDBIDb db = 0;
  EXPECT_EQ(OpenDatabase("/nonexistent/dir", db), ErrNotFound);
  TempDir dir;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur cur = 0;
  EXPECT_EQ(OpenTable(db, "MISSING.DB", "", OpenMode::ReadOnly, cur), ErrNotFound);
  EXPECT_EQ(CloseDatabase(db), Ok);
  EXPECT_EQ(db, 0u);
  EXPECT_EQ(CloseDatabase(db), ErrInvalidHandle);
}

TEST(ListCursor, ReadsItsRecordsInOrderUntilTheEnd) {
  std::vector<FamilyDesc> members(3);
  members[0].name = "A.DB";
  members[1].name = "A.PX";
  members[2].name = "A.MB";
  hDBICur list = OpenList(members);
  FamilyDesc f;
  std::string names;
  while (GetNextRecord(list, f) == Ok) names += f.name + " ";
  EXPECT_EQ(names, "A.DB A.PX A.MB ");
  EXPECT_EQ(GetNextRecord(list, f), ErrEndOfList);
  ASSERT_EQ(SetToBegin(list), Ok);
  ASSERT_EQ(GetRelativeRecord(list, 2, f), Ok);
  EXPECT_EQ(f.name, "A.PX");
  FieldDesc wrongKind;
  EXPECT_EQ(GetNextRecord(list, wrongKind), ErrInvalidParameter);
  EXPECT_EQ(CloseCursor(list), Ok);
  EXPECT_EQ(GetNextRecord(list, f), ErrInvalidHandle);
}
