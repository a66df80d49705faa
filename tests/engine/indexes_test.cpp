// Secondary indexes through the handle API: created with a table or added
// later, kept current through every change, ordering a cursor, refusing
// duplicate keys of unique indexes, removed again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "engine/engine.h"
#include "engine/io/file.h"
#include "engine/lists.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
namespace fs = std::filesystem;
using ptables::Field;

namespace {


IndexDesc Index(const std::string& name, std::vector<std::uint16_t> fields,
                std::vector<int> descending = {}) {
  IndexDesc ix;
  ix.name = name;
  ix.maintained = 1;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    ix.keyFields[i] = fields[i];
    ix.fieldDescending[i] = i < descending.size() ? static_cast<std::int16_t>(descending[i]) : 0;
  }
  return ix;
}

IndexDesc Primary(int fields) {
  IndexDesc ix;
  ix.primary = 1;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields);
  for (int i = 0; i < fields; ++i) ix.keyFields[i] = static_cast<std::uint16_t>(i + 1);
  return ix;
}

TableDesc Desc(const std::string& path, std::vector<FieldDesc> fields,
               std::vector<IndexDesc> indexes, int level = 7, int blockSize = 2048) {
  TableDesc d;
  d.tableName = path;
  d.fields = std::move(fields);
  d.indexes = std::move(indexes);
  d.optionalParams = {{"LEVEL", std::to_string(level)},
                      {"BLOCK SIZE", std::to_string(blockSize)}};
  return d;
}

hDBICur Open(const std::string& path, OpenMode mode = OpenMode::ReadWrite) {
  hDBICur c = 0;
  EXPECT_EQ(OpenTablePath(path, mode, c), Ok) << LastErrorMessage();
  return c;
}

std::vector<IndexDesc> Secondaries(hDBICur c) {
  std::vector<IndexDesc> all, out;
  EXPECT_EQ(GetIndexDescs(c, all), Ok) << LastErrorMessage();
  for (const IndexDesc& ix : all)
    if (!ix.primary) out.push_back(ix);
  return out;
}

void ExpectSameDefinition(const IndexDesc& got, const IndexDesc& want) {
  EXPECT_EQ(got.name, want.name);
  ASSERT_EQ(got.fieldsInKey, want.fieldsInKey) << want.name;
  for (int i = 0; i < want.fieldsInKey; ++i) {
    EXPECT_EQ(got.keyFields[i], want.keyFields[i]) << want.name << " field " << i;
    EXPECT_EQ(got.fieldDescending[i], want.fieldDescending[i]) << want.name << " field " << i;
  }
  EXPECT_EQ(got.unique, want.unique) << want.name;
  EXPECT_EQ(got.caseInsensitive, want.caseInsensitive) << want.name;
  EXPECT_EQ(got.maintained, want.maintained) << want.name;
  EXPECT_EQ(got.primary, 0);
}

// Every index file of the table reads, its tree names its blocks, and it
// holds exactly the entries the table's records call for.
void ExpectIndexesCurrent(const std::string& table) {
  std::string bytes;
  ASSERT_EQ(io::ReadWholeFile(table, bytes), Ok);
  PxHeader db;
  ASSERT_EQ(db.parse(table, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), Ok);
  std::vector<SecondaryIndex> all;
  ASSERT_EQ(ReadSecondaryIndexes(table, db, all), Ok) << LastErrorMessage();
  for (const SecondaryIndex& ix : all) {
    std::vector<IndexEntry> blocks, leaves;
    std::vector<std::string> stored, expected;
    ASSERT_EQ(ReadIndexBlocks(ix, blocks, stored), Ok) << LastErrorMessage();
    ASSERT_EQ(ReadIndexTree(ix, leaves), Ok) << LastErrorMessage();
    ASSERT_EQ(ExpectedIndexRecords(table, db, ix, expected), Ok) << LastErrorMessage();
    EXPECT_EQ(stored, expected) << ix.xPath;
    ASSERT_EQ(leaves.size(), blocks.size()) << ix.yPath;
    for (std::size_t i = 0; i < leaves.size(); ++i) {
      EXPECT_EQ(leaves[i].key, blocks[i].key) << ix.yPath;
      EXPECT_EQ(leaves[i].block, blocks[i].block) << ix.yPath;
      EXPECT_EQ(leaves[i].count, blocks[i].count) << ix.yPath;
    }
  }
}

// The values of one field in the cursor's order.
std::vector<Value> Column(hDBICur c, int field) {
  std::vector<Value> out, row;
  EXPECT_EQ(SetToBegin(c), Ok);
  while (GetNextRecord(c, &row) == Ok) out.push_back(row[field]);
  return out;
}

Value Text(const char* s) { return std::string(s); }
Value Int(std::int64_t v) { return v; }

std::vector<std::string> IndexFiles(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::string ext = e.path().extension().string();
    for (char& c : ext) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (ext.size() >= 3 && (ext[1] == 'X' || ext[1] == 'Y' || ext == ".QIX"))
      out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

// ------------------------------------------------- created with the table

struct CreateCase {
  int level;
  bool keyed;
};

class SecondaryIndexCreate : public ::testing::TestWithParam<CreateCase> {};

TEST_P(SecondaryIndexCreate, ReopensWithTheGivenDefinitions) {
  const CreateCase& p = GetParam();
  TempDir dir;
  const std::string path = dir / "PEOPLE.DB";
  std::vector<IndexDesc> indexes, wanted;
  if (p.keyed) indexes.push_back(Primary(1));
  wanted.push_back(Index("", {2}));  // single field: named after it
  if (p.level >= 4) {
    wanted.push_back(Index("CityName", {3, 2}));
    IndexDesc ci = Index("NameNoCase", {2});
    ci.caseInsensitive = 1;
    ci.unique = 1;
    wanted.push_back(ci);
  }
  if (p.level == 7) wanted.push_back(Index("Newest", {4, 2}, {1, 0}));
  indexes.insert(indexes.end(), wanted.begin(), wanted.end());
  wanted[0].name = "Name";
  const TableDesc d = Desc(path,
                           {Field("Id", pxShort), Field("Name", pxAlpha, 20),
                            Field("City", pxAlpha, 12), Field("Born", pxDate)},
                           indexes, p.level);
  ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();

  hDBICur c = Open(path);
  std::vector<IndexDesc> got = Secondaries(c);
  ASSERT_EQ(got.size(), wanted.size());
  for (std::size_t i = 0; i < got.size(); ++i) ExpectSameDefinition(got[i], wanted[i]);
  CursorProps props;
  ASSERT_EQ(GetCursorProps(c, props), Ok);
  EXPECT_EQ(props.indexCount, wanted.size() + (p.keyed ? 1 : 0));
  const char* names[] = {"Meyer", "adams", "Zorn", "Bauer", "mayer", "Abel"};
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(InsertRecord(c, {Int(i + 1), Text(names[i]), Text(i % 2 ? "Bonn" : "Aachen"),
                               DateValue{700000 + i * 13 % 5}}),
              Ok)
        << LastErrorMessage();
  CloseCursor(c);
  ExpectIndexesCurrent(path);
}

INSTANTIATE_TEST_SUITE_P(Levels, SecondaryIndexCreate,
                         ::testing::Values(CreateCase{3, true}, CreateCase{4, true},
                                           CreateCase{5, false}, CreateCase{7, true},
                                           CreateCase{7, false}),
                         [](const auto& info) {
                           return "Level" + std::to_string(info.param.level) +
                                  (info.param.keyed ? "Keyed" : "Unkeyed");
                         });

TEST(SecondaryIndexCreate, OverwritingATableDropsItsOldIndexes) {
  TempDir dir;
  const std::string path = dir / "T.DB";
  const auto fields = std::vector<FieldDesc>{Field("K", pxLong), Field("A", pxAlpha, 8),
                                             Field("B", pxAlpha, 8)};
  ASSERT_EQ(CreateParadoxTable(Desc(path, fields, {Primary(1), Index("", {2}), Index("AB", {2, 3})}),
                               false),
            Ok)
      << LastErrorMessage();
  EXPECT_EQ(IndexFiles(dir.path()),
            (std::vector<std::string>{"T.QIX", "T.X02", "T.XG0", "T.Y02", "T.YG0"}));
  ASSERT_EQ(CreateParadoxTable(Desc(path, fields, {Primary(1), Index("", {3})}), true), Ok)
      << LastErrorMessage();
  EXPECT_EQ(IndexFiles(dir.path()), (std::vector<std::string>{"T.QIX", "T.X03", "T.Y03"}));
  ASSERT_EQ(CreateParadoxTable(Desc(path, fields, {Primary(1)}), true), Ok) << LastErrorMessage();
  EXPECT_TRUE(IndexFiles(dir.path()).empty());
}

// ------------------------------------------------------- refused indexes

struct BadIndex {
  const char* what;
  IndexDesc index;
  Result code;
};

class SecondaryIndexRefusal : public ::testing::TestWithParam<BadIndex> {};

TEST_P(SecondaryIndexRefusal, LeavesTheTableWithoutIt) {
  TempDir dir;
  const std::string path = dir / "R.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path,
                                    {Field("K", pxLong), Field("A", pxAlpha, 8),
                                     Field("M", pxMemo, 10), Field("N", pxNumber)},
                                    {Primary(1), Index("Existing", {2, 4})}, 5),
                               false),
            Ok)
      << LastErrorMessage();
  hDBICur c = Open(path);
  EXPECT_EQ(AddIndex(c, GetParam().index), GetParam().code) << GetParam().what;
  EXPECT_NE(LastErrorMessage().find(path), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(Secondaries(c).size(), 1u);
  CloseCursor(c);
  EXPECT_EQ(IndexFiles(dir.path()), (std::vector<std::string>{"R.QIX", "R.XG0", "R.YG0"}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecondaryIndexRefusal,
    ::testing::Values(
        BadIndex{"led by the first key field", Index("", {1}), ErrInvalidIndex},
        BadIndex{"a BLOB field", Index("", {3}), ErrInvalidIndex},
        BadIndex{"no such field", Index("", {9}), ErrInvalidIndex},
        BadIndex{"a field twice", Index("Twice", {2, 2}), ErrInvalidIndex},
        BadIndex{"no fields", Index("None", {}), ErrInvalidIndex},
        BadIndex{"composite without a name", Index("", {2, 4}), ErrInvalidIndex},
        BadIndex{"a name in use", Index("existing", {4, 2}), ErrInvalidIndex},
        BadIndex{"descending below level 7", Index("Down", {4}, {1}), ErrNotSupported},
        BadIndex{"a slash in the name", Index("a/b", {4, 2}), ErrInvalidIndex}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

// ------------------------------------------------------------ maintenance

// Many records in small blocks, so that the .X spans many blocks and the
// .Y has more than one level; inserts, updates (of indexed fields and of
// the key) and deletes, each checked against the table's records.
TEST(SecondaryIndexMaintenance, FollowsInsertsUpdatesAndDeletes) {
  TempDir dir;
  const std::string path = dir / "BIG.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path,
                                    {Field("K", pxLong), Field("Name", pxAlpha, 60),
                                     Field("Score", pxShort)},
                                    {Primary(1), Index("", {2}), Index("ScoreName", {3, 2})}, 7,
                                    1024),
                               false),
            Ok)
      << LastErrorMessage();
  std::mt19937 random(7);
  std::vector<std::vector<Value>> rows;
  for (int i = 0; i < 1500; ++i)
    rows.push_back({Int(i * 2 + 1), Text(("n" + std::to_string(random() % 100000)).c_str()),
                    Int(static_cast<std::int64_t>(random() % 50))});
  hDBICur c = Open(path);
  ASSERT_EQ(InsertRecords(c, rows), Ok) << LastErrorMessage();
  ExpectIndexesCurrent(path);
  {
    PxHeader y;
    std::string bytes;
    ASSERT_EQ(io::ReadWholeFile(dir / "BIG.Y02", bytes), Ok);
    ASSERT_EQ(y.parse("", reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), Ok);
    EXPECT_GE(y.indexLevels(), 2) << "the tree should need more than one level";
  }
  ASSERT_EQ(InsertRecord(c, {Int(0), Text("aaa"), Int(3)}), Ok) << LastErrorMessage();
  ASSERT_EQ(SetToRecordNo(c, 500), Ok);
  ASSERT_EQ(ModifyRecord(c, {Int(4000), Text("zzz"), Int(49)}), Ok) << LastErrorMessage();
  ASSERT_EQ(SetToRecordNo(c, 20), Ok);
  ASSERT_EQ(ModifyRecord(c, {Int(38), Text("changed"), Int(1)}), Ok) << LastErrorMessage();
  for (int i = 0; i < 15; ++i) {
    ASSERT_EQ(SetToRecordNo(c, 1 + random() % 1000), Ok);
    ASSERT_EQ(DeleteRecord(c), Ok) << LastErrorMessage();
  }
  ExpectIndexesCurrent(path);
  CloseCursor(c);
}

// A change the table refuses leaves the index files as they were.
TEST(SecondaryIndexMaintenance, RefusedChangeLeavesTheIndexes) {
  TempDir dir;
  const std::string path = dir / "U.DB";
  IndexDesc unique = Index("UniqueCode", {2});
  unique.unique = 1;
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("K", pxLong), Field("Code", pxAlpha, 6)},
                                    {Primary(1), unique, Index("", {2})}),
                               false),
            Ok);
  hDBICur c = Open(path);
  ASSERT_EQ(InsertRecord(c, {Int(1), Text("A1")}), Ok) << LastErrorMessage();
  std::string x, y;
  ASSERT_EQ(io::ReadWholeFile(dir / "U.XG0", x), Ok);
  ASSERT_EQ(io::ReadWholeFile(dir / "U.YG0", y), Ok);
  EXPECT_EQ(InsertRecord(c, {Int(2), Text("A1")}), ErrKeyViolation);
  std::string x2, y2;
  ASSERT_EQ(io::ReadWholeFile(dir / "U.XG0", x2), Ok);
  ASSERT_EQ(io::ReadWholeFile(dir / "U.YG0", y2), Ok);
  EXPECT_EQ(x, x2);
  EXPECT_EQ(y, y2);
  CloseCursor(c);
  ExpectIndexesCurrent(path);
}

// --------------------------------------------------------------- unique

TEST(SecondaryIndexUnique, RefusesDuplicateKeysNamingTheIndex) {
  TempDir dir;
  const std::string path = dir / "U.DB";
  IndexDesc email = Index("Email", {2});
  email.unique = 1;
  email.caseInsensitive = 1;
  IndexDesc pair = Index("Pair", {3, 4});
  pair.unique = 1;
  ASSERT_EQ(CreateParadoxTable(Desc(path,
                                    {Field("K", pxLong), Field("Email", pxAlpha, 30),
                                     Field("X", pxShort), Field("Y", pxShort)},
                                    {Primary(1), email, pair}),
                               false),
            Ok)
      << LastErrorMessage();
  hDBICur c = Open(path);
  ASSERT_EQ(InsertRecord(c, {Int(1), Text("ann@example.org"), Int(1), Int(1)}), Ok);
  ASSERT_EQ(InsertRecord(c, {Int(2), Text("bob@example.org"), Int(1), Int(2)}), Ok);
  // Blank keys do not collide.
  ASSERT_EQ(InsertRecord(c, {Int(3), Value{}, Value{}, Value{}}), Ok) << LastErrorMessage();
  ASSERT_EQ(InsertRecord(c, {Int(4), Value{}, Value{}, Value{}}), Ok) << LastErrorMessage();

  struct Case {
    std::vector<Value> row;
    const char* index;
  } cases[] = {
      {{Int(5), Text("ANN@example.org"), Int(9), Int(9)}, "Email"},
      {{Int(6), Text("carl@example.org"), Int(1), Int(2)}, "Pair"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(InsertRecord(c, k.row), ErrKeyViolation);
    EXPECT_NE(LastErrorMessage().find(std::string("unique index ") + k.index), std::string::npos)
        << LastErrorMessage();
  }
  ASSERT_EQ(SetToRecordNo(c, 2), Ok);
  EXPECT_EQ(ModifyRecord(c, {Int(2), Text("Ann@Example.org"), Int(1), Int(2)}), ErrKeyViolation);
  std::uint32_t count = 0;
  ASSERT_EQ(GetRecordCount(c, count), Ok);
  EXPECT_EQ(count, 4u);

  // A unique index over records that already repeat a key is refused.
  IndexDesc x = Index("OnlyX", {3});
  x.unique = 1;
  EXPECT_EQ(AddIndex(c, x), ErrKeyViolation);
  EXPECT_EQ(Secondaries(c).size(), 2u);
  CloseCursor(c);
  ExpectIndexesCurrent(path);
}

// ------------------------------------------------------------- ordering

TEST(SecondaryIndexOrder, SwitchToIndexOrdersNavigation) {
  TempDir dir;
  const std::string path = dir / "O.DB";
  IndexDesc noCase = Index("NoCase", {2});
  noCase.caseInsensitive = 1;
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("N", pxShort), Field("Name", pxAlpha, 10)},
                                    {Index("", {2}), noCase, Index("Down", {1}, {1})}),
                               false),
            Ok)
      << LastErrorMessage();
  hDBICur c = Open(path);
  for (auto [n, name] : std::vector<std::pair<int, const char*>>{
           {1, "b"}, {2, "A"}, {3, "a"}, {4, "C"}, {5, "B"}})
    ASSERT_EQ(InsertRecord(c, {Int(n), Text(name)}), Ok) << LastErrorMessage();

  const std::vector<Value> natural{Int(1), Int(2), Int(3), Int(4), Int(5)};
  EXPECT_EQ(Column(c, 0), natural);
  ASSERT_EQ(SwitchToIndex(c, "Name"), Ok) << LastErrorMessage();  // bytes: upper case first
  EXPECT_EQ(Column(c, 0), (std::vector<Value>{Int(2), Int(5), Int(4), Int(3), Int(1)}));
  ASSERT_EQ(SwitchToIndex(c, "nocase"), Ok) << LastErrorMessage();  // ties in record order
  EXPECT_EQ(Column(c, 0), (std::vector<Value>{Int(2), Int(3), Int(1), Int(5), Int(4)}));
  IndexDesc current;
  ASSERT_EQ(GetIndexDesc(c, 0, current), Ok);
  EXPECT_EQ(current.name, "NoCase");
  ASSERT_EQ(SwitchToIndex(c, "Down"), Ok) << LastErrorMessage();
  EXPECT_EQ(Column(c, 0), (std::vector<Value>{Int(5), Int(4), Int(3), Int(2), Int(1)}));

  // The cursor keeps its record across a switch, and follows changes.
  ASSERT_EQ(SetToBegin(c), Ok);
  std::vector<Value> row;
  ASSERT_EQ(GetRelativeRecord(c, 2, &row), Ok);  // record 4 in "Down" order
  ASSERT_EQ(SwitchToIndex(c, "Name"), Ok);
  ASSERT_EQ(GetRecord(c, row), Ok);
  EXPECT_EQ(row[0], Int(4));
  Bookmark mark;
  ASSERT_EQ(GetBookmark(c, mark), Ok);
  ASSERT_EQ(InsertRecord(c, {Int(6), Text("Aa")}), Ok) << LastErrorMessage();
  ASSERT_EQ(GetRecord(c, row), Ok);
  EXPECT_EQ(row[0], Int(6));
  ASSERT_EQ(GetNextRecord(c, &row), Ok);
  EXPECT_EQ(row[0], Int(5));  // "Aa" < "B" in byte order
  ASSERT_EQ(ModifyRecord(c, {Int(5), Text("zz")}), Ok) << LastErrorMessage();
  ASSERT_EQ(GetNextRecord(c, &row), ErrEndOfList);
  ASSERT_EQ(SetToBookmark(c, mark), Ok);
  ASSERT_EQ(GetRecord(c, row), Ok);
  EXPECT_EQ(row[0], Int(4));
  ASSERT_EQ(DeleteRecord(c), Ok);
  ASSERT_EQ(GetRecord(c, row), Ok);  // the record after "C" in "Name" order
  EXPECT_EQ(row[0], Int(3));
  EXPECT_EQ(Column(c, 1), (std::vector<Value>{Text("A"), Text("Aa"), Text("a"), Text("b"), Text("zz")}));

  ASSERT_EQ(SwitchToIndex(c, ""), Ok);
  EXPECT_EQ(Column(c, 0), (std::vector<Value>{Int(1), Int(2), Int(3), Int(5), Int(6)}));
  EXPECT_EQ(GetIndexDesc(c, 0, current), ErrInvalidIndex);  // an unkeyed table's own order
  EXPECT_EQ(SwitchToIndex(c, "Nothing"), ErrInvalidIndex);
  CloseCursor(c);
  ExpectIndexesCurrent(path);
}

// ------------------------------------------------- adding and removing

TEST(SecondaryIndexAddDelete, ThroughTheDatabaseAndTheCursor) {
  TempDir dir;
  const std::string path = dir / "A.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("K", pxLong), Field("S", pxAlpha, 5),
                                           Field("T", pxTime)},
                                    {Primary(1)}),
                               false),
            Ok);
  hDBICur c = Open(path);
  for (int i = 0; i < 30; ++i)
    ASSERT_EQ(InsertRecord(c, {Int(i), Text(std::to_string(29 - i).c_str()), TimeValue{i * 1000}}),
              Ok);
  ASSERT_EQ(AddIndex(c, Index("", {2})), Ok) << LastErrorMessage();
  CloseCursor(c);

  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir.path(), db), Ok) << LastErrorMessage();
  ASSERT_EQ(AddIndex(db, "A", Index("TS", {3, 2}, {1, 0})), Ok) << LastErrorMessage();
  ExpectIndexesCurrent(path);

  hDBICur list = 0;
  ASSERT_EQ(OpenIndexList(db, "A.DB", "", list), Ok) << LastErrorMessage();
  std::vector<std::string> names;
  for (IndexDesc ix; GetNextRecord(list, ix) == Ok;) names.push_back(ix.name);
  CloseCursor(list);
  EXPECT_EQ(names, (std::vector<std::string>{"", "S", "TS"}));

  c = Open(path);
  std::uint16_t seq = 0;
  ASSERT_EQ(GetIndexSeqNo(c, "ts", "", 0, seq), Ok);
  EXPECT_EQ(seq, 3);
  ASSERT_EQ(GetIndexSeqNo(c, "", "", 2, seq), Ok);  // a single-field index's id: its field
  EXPECT_EQ(seq, 2);
  EXPECT_EQ(AddIndex(db, "A", Index("Other", {3, 2})), ErrTableInUse);  // the cursor has it open
  ASSERT_EQ(SwitchToIndex(c, "TS"), Ok);
  ASSERT_EQ(DeleteIndex(c, "TS"), Ok) << LastErrorMessage();
  IndexDesc current;
  ASSERT_EQ(GetIndexDesc(c, 0, current), Ok);  // back on the primary key
  EXPECT_EQ(current.primary, 1);
  EXPECT_EQ(DeleteIndex(c, "TS"), ErrInvalidIndex);
  CloseCursor(c);
  EXPECT_EQ(IndexFiles(dir.path()), (std::vector<std::string>{"A.QIX", "A.X02", "A.Y02"}));
  ASSERT_EQ(DeleteIndex(db, "A", "S"), Ok) << LastErrorMessage();
  EXPECT_TRUE(IndexFiles(dir.path()).empty());
  c = Open(path, OpenMode::ReadOnly);
  CursorProps props;
  ASSERT_EQ(GetCursorProps(c, props), Ok);
  EXPECT_EQ(props.indexCount, 1);
  EXPECT_EQ(AddIndex(c, Index("", {2})), ErrReadOnly);
  CloseCursor(c);
  CloseDatabase(db);
}

TEST(SecondaryIndexSideFile, DamageIsReportedWithTheFile) {
  TempDir dir;
  const std::string path = dir / "S.DB";
  IndexDesc u = Index("U", {2, 1});
  u.unique = 1;
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("A", pxLong), Field("B", pxLong)}, {u}), false),
            Ok);
  std::string text;
  ASSERT_EQ(io::ReadWholeFile(dir / "S.QIX", text), Ok);
  EXPECT_NE(text.find("XG0 unique=1 case-insensitive=0 maintained=1"), std::string::npos) << text;
  std::ofstream(dir / "S.QIX") << "XG0 unique=yes\n";
  hDBICur c = Open(path);
  std::vector<IndexDesc> all;
  EXPECT_EQ(GetIndexDescs(c, all), ErrCorruptIndex);
  EXPECT_NE(LastErrorMessage().find("S.QIX: line 1"), std::string::npos) << LastErrorMessage();
  CloseCursor(c);
}
