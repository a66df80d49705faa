// Cursors over dBASE tables through the handle API: records marked deleted
// are passed over unless shown, recalled, bookmarked; tags of a production
// index are listed; the properties only dBASE cursors accept.
#include <gtest/gtest.h>

#include "engine/dbase/dbtable.h"
#include "engine/dbase/mdx.h"
#include "engine/engine.h"
#include "engine/indexes.h"
#include "engine/lists.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

class DbfCursor : public testing::Test {
 protected:
  void SetUp() override {
    TableDesc d;
    FieldDesc name;
    name.name = "NAME";
    name.type = dbChar;
    name.units1 = 10;
    d.fields = {name};
    ASSERT_EQ(dbase::DbaseTable::Create(path(), d, 4, false), Ok) << LastErrorMessage();
    ASSERT_EQ(OpenTablePath(path(), OpenMode::ReadWrite, c), Ok) << LastErrorMessage();
    for (const char* n : {"a", "b", "c", "d"})
      ASSERT_EQ(InsertRecord(c, {std::string(n)}), Ok) << LastErrorMessage();
  }
  void TearDown() override {
    if (c) CloseCursor(c);
  }
  std::string path() const { return dir / "T.DBF"; }

  // The names the cursor visits from the start, "*" after those marked deleted.
  std::string Walk() {
    std::string seen;
    EXPECT_EQ(SetToBegin(c), Ok);
    std::vector<Value> v;
    while (GetNextRecord(c, &v) == Ok) {
      bool deleted = false;
      EXPECT_EQ(IsRecordDeleted(c, deleted), Ok);
      seen += std::get<std::string>(v[0]) + (deleted ? "*" : "");
    }
    return seen;
  }
  void DeleteNo(std::uint32_t recordNo) {
    ASSERT_EQ(SetToRecordNo(c, recordNo), Ok);
    ASSERT_EQ(DeleteRecord(c), Ok) << LastErrorMessage();
  }

  TempDir dir;
  hDBICur c = 0;
};

}  // namespace

TEST_F(DbfCursor, DeletedRecordsArePassedOverUnlessShown) {
  DeleteNo(2);
  std::vector<Value> v;
  ASSERT_EQ(GetRecord(c, v), Ok) << "the cursor went on to the next record";
  EXPECT_EQ(std::get<std::string>(v[0]), "c");
  DeleteNo(4);
  EXPECT_EQ(GetRecord(c, v), ErrNoCurrentRecord) << "nothing follows the last record";
  EXPECT_EQ(Walk(), "ac");
  ASSERT_EQ(SetToEnd(c), Ok);
  ASSERT_EQ(GetPriorRecord(c, &v), Ok);
  EXPECT_EQ(std::get<std::string>(v[0]), "c");
  ASSERT_EQ(GetRelativeRecord(c, -1, &v), Ok);
  EXPECT_EQ(std::get<std::string>(v[0]), "a");
  EXPECT_EQ(GetRelativeRecord(c, -1, &v), ErrBeginOfList);

  ASSERT_EQ(ValidateProp(c, kPropShowDeleted, 1), Ok);
  ASSERT_EQ(SetProp(c, kPropShowDeleted, 1), Ok);
  EXPECT_EQ(Walk(), "ab*cd*");
  ASSERT_EQ(SetToRecordNo(c, 2), Ok);
  ASSERT_EQ(UndeleteRecord(c), Ok) << LastErrorMessage();
  ASSERT_EQ(SetProp(c, kPropShowDeleted, 0), Ok);
  EXPECT_EQ(Walk(), "abc");
  std::uint32_t count = 0;
  ASSERT_EQ(GetRecordCount(c, count), Ok);
  EXPECT_EQ(count, 4u) << "physical records, the marked one included";
}

TEST_F(DbfCursor, BookmarksRecordNumbersAndChanges) {
  std::vector<Value> v;
  ASSERT_EQ(SetToRecordNo(c, 3), Ok);
  Bookmark mark;
  ASSERT_EQ(GetBookmark(c, mark), Ok);
  ASSERT_EQ(ModifyRecord(c, {std::string("C")}), Ok) << LastErrorMessage();
  ASSERT_EQ(SetToBegin(c), Ok);
  ASSERT_EQ(SetToBookmark(c, mark), Ok);
  ASSERT_EQ(GetRecord(c, v), Ok);
  EXPECT_EQ(std::get<std::string>(v[0]), "C");
  std::uint32_t no = 0;
  ASSERT_EQ(GetRecordNo(c, no), Ok);
  EXPECT_EQ(no, 3u);
  Value field;
  ASSERT_EQ(GetField(c, 1, field), Ok);
  EXPECT_EQ(std::get<std::string>(field), "C");
  DeleteNo(3);
  EXPECT_EQ(SetToBookmark(c, mark), ErrNoCurrentRecord) << "a deleted record is not shown";
  EXPECT_EQ(SetToRecordNo(c, 9), ErrEndOfList);

  CursorProps p;
  ASSERT_EQ(GetCursorProps(c, p), Ok);
  EXPECT_EQ(p.driverType, "DBASE");
  EXPECT_EQ(p.fieldCount, 1);
  std::vector<FieldDesc> fields;
  ASSERT_EQ(GetFieldDescs(c, fields), Ok);
  EXPECT_EQ(fields[0].type, dbChar);
}

TEST_F(DbfCursor, TagsOfTheProductionIndex) {
  class NoKeys : public dbase::KeySource {
   public:
    Result next(dbase::MdxRecordKeys&, bool& end) override {
      end = true;
      return Ok;
    }
  } none;
  dbase::MdxTagDef byName{"BYNAME", "NAME", "", 'C', 10, false, false};
  dbase::MdxTagDef odd{"ODD", "UPPER(NAME)", "", 'C', 10, true, true};
  ASSERT_EQ(dbase::WriteMdx(dir / "T.MDX", "T", {byName, odd}, none), Ok) << LastErrorMessage();
  std::vector<IndexDesc> tags;
  ASSERT_EQ(GetIndexDescs(c, tags), Ok) << LastErrorMessage();
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0].name, "T.MDX");
  EXPECT_EQ(tags[0].tagName, "BYNAME");
  EXPECT_EQ(tags[0].fieldsInKey, 1);
  EXPECT_EQ(tags[0].keyFields[0], 1);
  EXPECT_EQ(tags[1].keyExpression, "UPPER(NAME)");
  EXPECT_EQ(tags[1].fieldsInKey, 0);
  EXPECT_TRUE(tags[1].unique && tags[1].descending);
  std::uint16_t seq = 0;
  ASSERT_EQ(GetIndexSeqNo(c, "", "ODD", 0, seq), Ok);
  EXPECT_EQ(seq, 2);
  EXPECT_EQ(GetIndexSeqNo(c, "", "NONE", 0, seq), ErrInvalidIndex);
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  hDBICur list = 0;
  ASSERT_EQ(OpenIndexList(db, "T.DBF", "DBASE", list), Ok) << LastErrorMessage();
  IndexDesc first;
  ASSERT_EQ(GetNextRecord(list, first), Ok);
  EXPECT_EQ(first.tagName, "BYNAME");
  CloseCursor(list);
  CloseDatabase(db);
}

TEST(DbfCursorProps, ParadoxCursorsRefuseTheDeletedSwitch) {
  TempDir dir;
  TableDesc d;
  FieldDesc id;
  id.name = "Id";
  id.type = pxLong;
  d.fields = {id};
  d.tableName = dir / "P.DB";
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
  d.tableName = "P.DB";
  ASSERT_EQ(CreateTable(db, false, d), Ok) << LastErrorMessage();
  hDBICur c = 0;
  ASSERT_EQ(OpenTable(db, "P.DB", "", OpenMode::ReadWrite, c), Ok);
  EXPECT_EQ(ValidateProp(c, kPropShowDeleted, 1), ErrNotSupported);
  EXPECT_EQ(SetProp(c, kPropTranslateMode, 0), Ok);
  EXPECT_EQ(UndeleteRecord(c), ErrNotSupported);
  CloseCursor(c);
  CloseDatabase(db);
}
