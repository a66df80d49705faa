// Creating and changing dBASE tables: every type at every level written and
// read back, values that do not fit refused without a trace, memo values
// kept or appended, deletion marks, autoincrement counters, bulk inserts as
// one change, packing, the checks that keep a table read-only, locks, and a
// change killed at every step on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "engine/dbase/dbtable.h"
#include "engine/io/file.h"
#include "engine/paradox/pxcreate.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::Desc;
using dbtables::Field;
using dbtables::OpenOk;
using dbtables::Row;
using dbtables::Show;

namespace {

std::uint64_t SizeOf(const std::string& path) { return std::filesystem::file_size(path); }

// Every type a level allows, with values that test their edges.
struct Layout {
  std::vector<FieldDesc> fields;
  std::vector<Row> rows;
};

Layout LayoutFor(int level) {
  Layout l;
  l.fields = {Field("NAME", dbChar, 20),       Field("COUNT", dbNumber, 8),
              Field("PRICE", dbNumber, 12, 2), Field("BORN", dbDate),
              Field("OK", dbLogical),          Field("NOTES", dbMemo)};
  if (level >= 4) l.fields.push_back(Field("RATE", dbFloat, 14, 5));
  if (level >= 5) {
    l.fields.push_back(Field("PICTURE", dbBinary));
    l.fields.push_back(Field("OBJECT", dbOle));
  }
  if (level >= 7) {
    l.fields.push_back(Field("ID", dbAutoinc));
    l.fields.push_back(Field("QTY", dbLong));
    l.fields.push_back(Field("STAMP", dbTimestamp));
    l.fields.push_back(Field("RATIO", dbDouble));
  }
  const std::string longText(3000, 'x');
  std::string binary("\x00\x1A\x1A\xFF text \x1A", 11);
  const double stamp = DayNumber(2021, 3, 4) * 86400000.0 + 45296789;  // 12:34:56.789
  auto row = [&](int k) {
    Row r = {std::string(k == 0   ? "Grüße, Ærø"
                         : k == 1 ? "x"
                                  : "twenty characters !!"),
             std::int64_t{k == 0   ? -1234567
                          : k == 1 ? 0
                                   : 99999999},
             k == 0   ? 1234.5
             : k == 1 ? -0.25
                      : 999999999.99,
             DateValue{DayNumber(k == 0   ? 1
                                 : k == 1 ? 1999
                                          : 9999,
                                 k == 2 ? 12 : 1, k == 2 ? 31 : 1)},
             k == 0   ? Value{true}
             : k == 1 ? Value{false}
                      : Value{},
             k == 0   ? Value{std::string("short memo")}
             : k == 1 ? Value{longText}
                      : Value{}};
    if (level >= 4) r.push_back(k == 0 ? 3.14159 : k == 1 ? -12345.6789 : 0.0);
    if (level >= 5) {
      r.push_back(k == 2 ? Value{} : Value{BlobValue{binary}});
      r.push_back(k == 0 ? Value{BlobValue{std::string(2000, '\x7F')}} : Value{});
    }
    if (level >= 7) {
      r.push_back(Value{});  // numbered by the table
      r.push_back(k == 0 ? std::int64_t{-2147483647} : k == 1 ? std::int64_t{2147483647} : Value{});
      r.push_back(k == 2 ? Value{} : Value{TimestampValue{stamp}});
      r.push_back(k == 0 ? -1.5e300 : k == 1 ? 0.0 : 6.02214076e23);
    }
    return r;
  };
  for (int k = 0; k < 3; ++k) l.rows.push_back(row(k));
  return l;
}

class DbfLevel : public testing::TestWithParam<int> {};

TEST_P(DbfLevel, EveryTypeIsWrittenAndReadBack) {
  const int level = GetParam();
  TempDir dir;
  const std::string path = dir / "ALL.DBF";
  const Layout l = LayoutFor(level);
  ASSERT_EQ(DbaseTable::Create(path, Desc(l.fields), level, false), Ok) << LastErrorMessage();
  EXPECT_TRUE(io::FileExists(dir / "ALL.DBT"));
  {
    auto t = OpenOk(path, true);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->level(), level);
    EXPECT_EQ(t->recordCount(), 0u);
    const std::vector<FieldDesc> descs = t->fieldDescs();
    ASSERT_EQ(descs.size(), l.fields.size());
    for (std::size_t i = 0; i < descs.size(); ++i)
      EXPECT_TRUE(descs[i].name == l.fields[i].name && descs[i].type == l.fields[i].type &&
                  descs[i].units2 == l.fields[i].units2 &&
                  (!l.fields[i].units1 || descs[i].units1 == l.fields[i].units1))
          << l.fields[i].name;
    for (std::size_t k = 0; k < l.rows.size(); ++k) {
      std::uint32_t index = 99;
      ASSERT_EQ(t->insert(l.rows[k], index), Ok) << LastErrorMessage();
      EXPECT_EQ(index, k);
    }
  }
  auto t = OpenOk(path);
  ASSERT_TRUE(t);
  const auto rows = dbtables::AllRows(*t);
  ASSERT_EQ(rows.size(), 3u);
  for (std::size_t k = 0; k < rows.size(); ++k) {
    Row expected = l.rows[k];
    if (level == 7) expected[9] = std::int64_t(k + 1);  // ID, numbered by the table
    EXPECT_EQ(rows[k], expected) << Show(rows[k]) << " for " << Show(expected);
  }
  // The end mark follows the last record.
  const std::string bytes = *Slurp(path);
  const std::size_t header =
      static_cast<unsigned char>(bytes[8]) | static_cast<unsigned char>(bytes[9]) << 8;
  EXPECT_EQ(bytes.size(), header + t->recordLength() * 3u + 1);
  EXPECT_EQ(bytes.back(), '\x1A');
}

INSTANTIATE_TEST_SUITE_P(DbfLevels, DbfLevel, testing::Values(3, 4, 5, 7),
                         [](const auto& info) { return "Level" + std::to_string(info.param); });

TEST(DbfCreate, DescriptorsThatCannotBeStoredAreRefused) {
  TempDir dir;
  const std::string path = dir / "BAD.DBF";
  struct Case {
    std::vector<FieldDesc> fields;
    int level;
    Result code;
  } cases[] = {
      {{}, 3, ErrInvalidFieldDesc},
      {{Field("A", dbChar, 0)}, 3, ErrInvalidFieldDesc},
      {{Field("A", dbChar, 255)}, 3, ErrInvalidFieldDesc},
      {{Field("A", dbNumber, 21)}, 4, ErrInvalidFieldDesc},
      {{Field("A", dbNumber, 5, 5)}, 4, ErrInvalidFieldDesc},
      {{Field("A", dbDate, 9)}, 4, ErrInvalidFieldDesc},
      {{Field("A", dbFloat, 10, 2)}, 3, ErrInvalidFieldDesc},
      {{Field("A", dbBinary)}, 4, ErrInvalidFieldDesc},
      {{Field("A", dbLong)}, 5, ErrInvalidFieldDesc},
      {{Field("A", pxAlpha, 10)}, 7, ErrInvalidFieldDesc},
      {{Field("A", dbLock)}, 7, ErrInvalidFieldDesc},
      {{Field("ELEVENCHARS", dbChar, 5)}, 5, ErrInvalidFieldName},
      {{Field("A B", dbChar, 5)}, 7, ErrInvalidFieldName},
      {{Field("1A", dbChar, 5)}, 7, ErrInvalidFieldName},
      {{Field("NAME", dbChar, 5), Field("name", dbChar, 5)}, 3, ErrInvalidFieldName},
      {{Field("A", dbChar, 5)}, 6, ErrInvalidParameter},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DbaseTable::Create(path, Desc(c.fields), c.level, false), c.code)
        << (c.fields.empty() ? "" : c.fields[0].name) << " level " << c.level << ": "
        << LastErrorMessage();
    EXPECT_FALSE(io::FileExists(path));
  }
  // Level 7 names are longer; unknown drivers are refused.
  EXPECT_EQ(DbaseTable::Create(path, Desc({Field("A_LONGER_NAME_OF_31_CHARACTERS", dbChar, 5)}), 7,
                               false),
            Ok)
      << LastErrorMessage();
  EXPECT_EQ(DbaseTable::Create(dir / "D.DBF", Desc({Field("A", dbChar, 5)}, "klingon"), 3, false),
            ErrInvalidParameter);
}

TEST(DbfCreate, LanguageDriversByIdByteAndByName) {
  TempDir dir;
  ASSERT_EQ(DbaseTable::Create(dir / "R.DBF", Desc({Field("A", dbChar, 10)}, "DB866ru0"), 4, false),
            Ok);
  EXPECT_EQ((*Slurp(dir / "R.DBF"))[29], 0x26);
  ASSERT_EQ(DbaseTable::Create(dir / "W.DBF", Desc({Field("A", dbChar, 10)}, "cp1251"), 7, false),
            Ok);
  auto r = OpenOk(dir / "R.DBF", true), w = OpenOk(dir / "W.DBF", true);
  EXPECT_EQ(r->codec().codePage(), 866);
  EXPECT_EQ(w->codec().codePage(), 1251);
  EXPECT_EQ(w->languageDriverName(), "cp1251");
  std::uint32_t index;
  ASSERT_EQ(r->insert({std::string("Привет")}, index), Ok) << LastErrorMessage();
  EXPECT_EQ(w->insert({std::string("Grüße")}, index), ErrInvalidValue);  // no ü in 1251
  Row row;
  ASSERT_EQ(r->readRecord(0, row), Ok);
  EXPECT_EQ(row[0], Value{std::string("Привет")});
  // The bare code pages of .DBF headers are no drivers of Paradox tables.
  TableDesc px = Desc({Field("A", pxAlpha, 10)}, "cp1251");
  px.tableName = dir / "P.DB";
  EXPECT_EQ(paradox::CreateParadoxTable(px, false), ErrInvalidFieldDesc);
}

TEST(DbfCreate, ExistingTablesAreReplacedOnlyWhenAskedAndNotWhileOpen) {
  TempDir dir;
  const std::string path = dir / "T.DBF";
  ASSERT_EQ(DbaseTable::Create(path, Desc({Field("A", dbChar, 5), Field("M", dbMemo)}), 4, false),
            Ok);
  EXPECT_EQ(DbaseTable::Create(path, Desc({Field("B", dbChar, 5)}), 4, false), ErrFileExists);
  {
    auto open = OpenOk(path);
    EXPECT_EQ(DbaseTable::Create(path, Desc({Field("B", dbChar, 5)}), 4, true), ErrTableInUse);
  }
  Put(dir / "T.MDX", "an index of the old table");
  ASSERT_EQ(DbaseTable::Create(path, Desc({Field("B", dbChar, 5)}), 4, true), Ok)
      << LastErrorMessage();
  EXPECT_FALSE(io::FileExists(dir / "T.DBT"));  // the new table has no memo
  EXPECT_FALSE(io::FileExists(dir / "T.MDX"));
  auto t = OpenOk(path);
  EXPECT_EQ(t->fields()[0].name, "B");
  for (const auto& e : std::filesystem::directory_iterator(dir.path()))
    EXPECT_EQ(e.path().filename(), "T.DBF") << "left behind";
}

// --------------------------------------------------------------- changes

class DbfTable : public testing::Test {
 protected:
  void SetUp() override {
    path = dir / "PEOPLE.DBF";
    ASSERT_EQ(DbaseTable::Create(path,
                                 Desc({Field("NAME", dbChar, 10), Field("AGE", dbNumber, 3),
                                       Field("SALARY", dbNumber, 8, 2), Field("NOTES", dbMemo),
                                       Field("ID", dbAutoinc), Field("BORN", dbDate)}),
                                 7, false),
              Ok)
        << LastErrorMessage();
    t = OpenOk(path, true);
    ASSERT_TRUE(t);
  }
  Row Person(const std::string& name, std::int64_t age, Value notes = {}) {
    return {name, age, 1000.5, std::move(notes), Value{}, DateValue{DayNumber(1980, 5, 17)}};
  }
  std::uint32_t Insert(const Row& row) {
    std::uint32_t index = 0;
    EXPECT_EQ(t->insert(row, index), Ok) << LastErrorMessage();
    return index;
  }

  TempDir dir{TempDir::Where::Memory};
  std::string path;
  std::unique_ptr<DbaseTable> t;
};

TEST_F(DbfTable, ValuesThatDoNotFitAreRefusedNamingTheFieldAndChangeNothing) {
  Insert(Person("Ann", 30, std::string("memo")));
  const std::string before = *Slurp(path), memoBefore = *Slurp(dir / "PEOPLE.DBT");
  struct Case {
    Row row;
    const char* field;
  } cases[] = {
      {Person("Bartholomew", 30), "NAME"},  // 11 characters in 10
      {Person("Bob", 1000), "AGE"},         // 4 digits in N(3)
      {Person("Bob", -100), "AGE"},         // the sign takes a place
      {{std::string("Bob"), std::int64_t{1}, 123456.78, Value{}, Value{}, Value{}}, "SALARY"},
      {{std::string("Bob"), std::int64_t{1}, std::nan(""), Value{}, Value{}, Value{}}, "SALARY"},
      {{std::string("Bob"), std::string("1"), 1.0, Value{}, Value{}, Value{}}, "AGE"},
      {{std::string("Bob"), std::int64_t{1}, 1.0, std::int64_t{5}, Value{}, Value{}}, "NOTES"},
      {{std::string("Bob"), std::int64_t{1}, 1.0, Value{}, std::int64_t{1LL << 40}, Value{}}, "ID"},
      {{std::string("Bob"), std::int64_t{1}, 1.0, Value{}, Value{},
        DateValue{DayNumber(10000, 1, 1)}},
       "BORN"},
      {{std::string("Bob"), std::int64_t{1}, 1.0, Value{}, Value{}, DateValue{0}}, "BORN"},
      {{std::string("B\xff"), std::int64_t{1}, 1.0, Value{}, Value{}, Value{}},
       "NAME"},  // no UTF-8
      {{std::string("Bob")}, "values"},
  };
  for (const Case& c : cases) {
    std::uint32_t index;
    const Result r = t->insert(c.row, index);
    EXPECT_TRUE(r == ErrInvalidValue || r == ErrInvalidParameter) << Show(c.row);
    EXPECT_NE(LastErrorMessage().find(c.field), std::string::npos) << LastErrorMessage();
    EXPECT_EQ(t->update(0, c.row) != Ok, true);
  }
  EXPECT_EQ(t->recordCount(), 1u);
  EXPECT_EQ(*Slurp(path), before);
  EXPECT_EQ(*Slurp(dir / "PEOPLE.DBT"), memoBefore);
  // Decimals beyond the field's are rounded to them, as the field stores.
  Row in = Person("Cid", 40);
  in[2] = 12.345;
  const std::uint32_t i = Insert(in);
  Row out;
  ASSERT_EQ(t->readRecord(i, out), Ok);
  EXPECT_EQ(out[2], Value{12.35});
}

TEST_F(DbfTable, UpdatesKeepUnchangedMemosAndAppendChangedOnes) {
  const std::uint32_t i = Insert(Person("Ann", 30, std::string("first version")));
  const auto size = SizeOf(dir / "PEOPLE.DBT");
  Row row;
  ASSERT_EQ(t->readRecord(i, row), Ok);
  row[1] = std::int64_t{31};
  ASSERT_EQ(t->update(i, row), Ok) << LastErrorMessage();
  EXPECT_EQ(SizeOf(dir / "PEOPLE.DBT"), size);  // the memo stayed where it was
  row[3] = std::string("second version");
  ASSERT_EQ(t->update(i, row), Ok);
  EXPECT_GT(SizeOf(dir / "PEOPLE.DBT"), size);
  row[3] = Value{};
  ASSERT_EQ(t->update(i, row), Ok);
  Row back;
  ASSERT_EQ(t->readRecord(i, back), Ok);
  EXPECT_TRUE(IsNull(back[3]));
  EXPECT_EQ(back[1], Value{std::int64_t{31}});
  EXPECT_EQ(back[4], Value{std::int64_t{1}});  // the number stays
}

TEST_F(DbfTable, DeletionMarksRecordsUntilAPackRemovesThem) {
  for (int k = 0; k < 6; ++k)
    Insert(
        Person("P" + std::to_string(k), k, k % 2 ? Value{std::string(600 + k, 'a' + k)} : Value{}));
  ASSERT_EQ(t->setDeleted(1, true), Ok);
  ASSERT_EQ(t->setDeleted(2, true), Ok);
  ASSERT_EQ(t->setDeleted(4, true), Ok);
  ASSERT_EQ(t->setDeleted(2, false), Ok);  // undeleted
  EXPECT_EQ(dbtables::Deleted(*t), (std::vector<bool>{false, true, false, false, true, false}));
  const auto rows = dbtables::AllRows(*t);
  const auto memoSize = SizeOf(dir / "PEOPLE.DBT");
  t.reset();
  std::uint32_t removed = 0;
  ASSERT_EQ(DbaseTable::Pack(path, &removed), Ok) << LastErrorMessage();
  EXPECT_EQ(removed, 2u);
  t = OpenOk(path, true);
  const auto packed = dbtables::AllRows(*t);
  EXPECT_EQ(packed, (std::vector<Row>{rows[0], rows[2], rows[3], rows[5]}));
  EXPECT_EQ(dbtables::Deleted(*t), std::vector<bool>(4, false));
  EXPECT_LT(SizeOf(dir / "PEOPLE.DBT"), memoSize);  // P1's memo went
  // The counter carries on after a pack.
  const std::uint32_t i = Insert(Person("Late", 1));
  Row row;
  ASSERT_EQ(t->readRecord(i, row), Ok);
  EXPECT_EQ(row[4], Value{std::int64_t{7}});
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    EXPECT_TRUE(name == "PEOPLE.DBF" || name == "PEOPLE.DBT") << "left behind: " << name;
  }
}

TEST_F(DbfTable, AutoincrementNumbersFollowTheCounterAndGivenNumbers) {
  Insert(Person("A", 1));
  Row given = Person("B", 2);
  given[4] = std::int64_t{10};
  Insert(given);
  Insert(Person("C", 3));
  t = OpenOk(path, true);  // the counter lives in the header
  Insert(Person("D", 4));
  std::vector<Value> ids;
  for (const Row& r : dbtables::AllRows(*t)) ids.push_back(r[4]);
  EXPECT_EQ(ids, (std::vector<Value>{std::int64_t{1}, std::int64_t{10}, std::int64_t{11},
                                     std::int64_t{12}}));
}

namespace {
class Numbered : public RowSource {
 public:
  Numbered(int n, int bad) : n_(n), bad_(bad) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ == n_;
    if (end) return Ok;
    label = ++at_;
    const std::string name = at_ == bad_ ? "far too long a name" : "N" + std::to_string(at_);
    values = {name,      std::int64_t{at_ % 100},
              at_ * 0.5, at_ % 50 == 0 ? Value{std::string(100, 'm')} : Value{},
              Value{},   Value{}};
    return Ok;
  }
  std::string name(std::uint64_t label) const override { return "line " + std::to_string(label); }

 private:
  int n_, bad_, at_ = 0;
};
}  // namespace

TEST_F(DbfTable, BulkInsertsAreOneChange) {
  Insert(Person("First", 1));
  const std::string before = *Slurp(path);
  Numbered bad(3000, 2500);
  std::uint64_t inserted = 7;
  EXPECT_EQ(t->insertRows(bad, &inserted), ErrInvalidValue);
  EXPECT_EQ(inserted, 0u);
  EXPECT_EQ(LastErrorMessage().rfind("line 2500: field NAME", 0), 0u) << LastErrorMessage();
  EXPECT_EQ(*Slurp(path), before);
  EXPECT_EQ(t->recordCount(), 1u);
  Numbered good(3000, 0);
  ASSERT_EQ(t->insertRows(good, &inserted), Ok) << LastErrorMessage();
  EXPECT_EQ(inserted, 3000u);
  t = OpenOk(path);
  EXPECT_EQ(t->recordCount(), 3001u);
  Row row;
  ASSERT_EQ(t->readRecord(3000, row), Ok);
  EXPECT_EQ(row[0], Value{std::string("N3000")});
  EXPECT_EQ(row[3], Value{std::string(100, 'm')});
  EXPECT_EQ(row[4], Value{std::int64_t{3001}});
}

TEST_F(DbfTable, TwoOpensChangeTheTableInTurnWithoutLosingRecords) {
  auto other = OpenOk(path, true);
  Insert(Person("Mine", 1));
  std::uint32_t index = 0;
  ASSERT_EQ(other->insert(Person("Theirs", 2), index), Ok) << LastErrorMessage();
  EXPECT_EQ(index, 1u);  // after the record the first open added
  ASSERT_EQ(t->refresh(), Ok);
  const auto rows = dbtables::AllRows(*t);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1][0], Value{std::string("Theirs")});
  EXPECT_EQ(rows[1][4], Value{std::int64_t{2}});  // the counter was read again too
}

TEST_F(DbfTable, ExclusiveOpensAndWritersExcludeEachOther) {
  std::unique_ptr<DbaseTable> x;
  OpenOptions exclusive;
  exclusive.exclusive = exclusive.writable = true;
  EXPECT_EQ(DbaseTable::Open(path, exclusive, x), ErrTableInUse);
  EXPECT_EQ(DbaseTable::Pack(path), ErrTableInUse);
  t.reset();
  ASSERT_EQ(DbaseTable::Open(path, exclusive, x), Ok);
  std::unique_ptr<DbaseTable> y;
  EXPECT_EQ(DbaseTable::Open(path, {}, y), ErrTableInUse);
}

TEST_F(DbfTable, ReadOnlyOpensAndProductionIndexesRefuseChanges) {
  auto ro = OpenOk(path);
  std::uint32_t index;
  EXPECT_EQ(ro->insert(Person("X", 1), index), ErrReadOnly);
  t.reset();
  ro.reset();
  std::string b = *Slurp(path);
  b[28] = 1;
  Put(path, b);
  t = OpenOk(path, true);
  ASSERT_TRUE(t->hasProductionIndex());
  std::string why;
  EXPECT_FALSE(t->canWrite(why));
  EXPECT_EQ(t->insert(Person("X", 1), index), ErrReadOnly);
  EXPECT_NE(LastErrorMessage().find("PEOPLE.DBF has a production index (.MDX)"), std::string::npos)
      << LastErrorMessage();
  EXPECT_EQ(t->setDeleted(0, true), ErrReadOnly);
  t.reset();
  EXPECT_EQ(DbaseTable::Pack(path), ErrReadOnly);
  EXPECT_EQ(*Slurp(path), b);
}

TEST(DbfMemo, DbaseIIIMemosRefuseTheirEndMarkAndLaterOnesKeepBinaryData) {
  TempDir dir;
  ASSERT_EQ(DbaseTable::Create(dir / "III.DBF", Desc({Field("M", dbMemo)}), 3, false), Ok);
  ASSERT_EQ(DbaseTable::Create(dir / "IV.DBF", Desc({Field("M", dbMemo)}), 4, false), Ok);
  auto iii = OpenOk(dir / "III.DBF", true), iv = OpenOk(dir / "IV.DBF", true);
  const std::string text = std::string("ends \x1A here", 11);
  std::uint32_t index;
  EXPECT_EQ(iii->insert({text}, index), ErrInvalidValue);
  EXPECT_NE(LastErrorMessage().find("field M"), std::string::npos) << LastErrorMessage();
  ASSERT_EQ(iv->insert({text}, index), Ok);
  ASSERT_EQ(iii->insert({std::string(1100, 'z')}, index), Ok);  // three blocks
  Row row;
  ASSERT_EQ(iv->readRecord(0, row), Ok);
  EXPECT_EQ(row[0], Value{text});
  ASSERT_EQ(iii->readRecord(0, row), Ok);
  EXPECT_EQ(row[0], Value{std::string(1100, 'z')});
  EXPECT_EQ(SizeOf(dir / "III.DBT"), 512u * 4);
}

// A dBASE IV memo file whose header points before its end keeps a list of
// freed blocks, which appends would break: memo changes wait for a pack,
// changes that leave the memos alone go ahead.
TEST(DbfMemo, FreeBlockListsStopMemoChangesUntilAPack) {
  TempDir dir;
  const std::string path = dir / "F.DBF";
  ASSERT_EQ(DbaseTable::Create(path, Desc({Field("A", dbChar, 5), Field("M", dbMemo)}), 5, false),
            Ok);
  {
    auto t = OpenOk(path, true);
    std::uint32_t index;
    ASSERT_EQ(t->insert({std::string("a"), std::string(2000, 'q')}, index), Ok);
  }
  std::string memo = *Slurp(dir / "F.DBT");
  memo[0] = 2;  // next free block: 2, inside the value
  Put(dir / "F.DBT", memo);
  auto t = OpenOk(path, true);
  Row row;
  ASSERT_EQ(t->readRecord(0, row), Ok);
  row[0] = std::string("b");
  EXPECT_EQ(t->update(0, row), Ok) << LastErrorMessage();  // the memo is unchanged
  row[1] = std::string("new text");
  EXPECT_EQ(t->update(0, row), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("free blocks"), std::string::npos) << LastErrorMessage();
  t.reset();
  ASSERT_EQ(DbaseTable::Pack(path), Ok) << LastErrorMessage();
  t = OpenOk(path, true);
  EXPECT_EQ(t->update(0, row), Ok) << LastErrorMessage();
}

// ----------------------------------------------------- crash and cost

std::uint64_t g_stepsLeft = 0;
void DieAtStep() {
  if (g_stepsLeft-- == 0) raise(SIGKILL);
}

// A change killed before each of its steps on disk in turn (a write, a
// flush, a rename, a removal): whoever opens the table next finds it as it
// was before or as it is after, never in between.
template <typename Change>
void KillAtEveryStep(const std::string& path, Change change, int minimumSteps) {
  const std::vector<Row> before = dbtables::AllRows(*OpenOk(path));
  const std::vector<bool> deletedBefore = dbtables::Deleted(*OpenOk(path));
  const std::string dir = std::filesystem::path(path).parent_path().string();
  TempDir backup(TempDir::Where::Memory);
  for (const auto& e : std::filesystem::directory_iterator(dir))
    std::filesystem::copy(e.path(), backup / e.path().filename().string());
  bool finished = false;
  int steps = 0;
  std::vector<Row> after;
  std::vector<std::vector<Row>> cutShort;  // states of runs killed after they got through
  for (std::uint64_t k = 0; !finished && k < 400; ++k) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      g_stepsLeft = k;
      io::SetStepHook(DieAtStep);
      _exit(change() == Ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finished = WIFEXITED(status);
    ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
    SCOPED_TRACE("killed before step " + std::to_string(k));
    auto t = OpenOk(path, true);  // opening recovers
    ASSERT_TRUE(t);
    const std::vector<Row> now = dbtables::AllRows(*t);
    if (finished) {
      after = now;
    } else {
      ++steps;
      if (now == before)
        EXPECT_EQ(dbtables::Deleted(*t), deletedBefore);
      else
        cutShort.push_back(now);
    }
    t.reset();
    // Start again from before.
    for (const auto& e : std::filesystem::directory_iterator(dir)) std::filesystem::remove_all(e);
    for (const auto& e : std::filesystem::directory_iterator(backup.path()))
      std::filesystem::copy(e.path(), dir + "/" + e.path().filename().string());
    ASSERT_FALSE(testing::Test::HasFailure());
  }
  EXPECT_TRUE(finished);
  EXPECT_GE(steps, minimumSteps);
  EXPECT_NE(after, before);
  for (const auto& state : cutShort) EXPECT_EQ(state, after);  // through, never halfway
}

TEST_F(DbfTable, AnInsertWithAMemoKilledAtEveryStepLeavesTheTableBeforeOrAfter) {
  for (int k = 0; k < 20; ++k) Insert(Person("P" + std::to_string(k), k, std::string(300, 'a')));
  t.reset();
  KillAtEveryStep(
      path,
      [&] {
        std::unique_ptr<DbaseTable> w;
        OpenOptions o;
        o.writable = true;
        if (Result r = DbaseTable::Open(path, o, w)) return r;
        std::uint32_t index;
        return w->insert(Person("New", 99, std::string(5000, 'n')), index);
      },
      8);
}

TEST_F(DbfTable, APackKilledAtEveryStepLeavesTheTableBeforeOrAfter) {
  for (int k = 0; k < 20; ++k)
    Insert(Person("P" + std::to_string(k), k, std::string(300 + k, 'a')));
  for (std::uint32_t k = 0; k < 20; k += 3) ASSERT_EQ(t->setDeleted(k, true), Ok);
  t.reset();
  KillAtEveryStep(
      path, [&] { return DbaseTable::Pack(path); }, 6);
}

// What one change costs does not grow with the table: an insert, an update
// and a deletion flush as often on 6,000 records as on 1,000, and write
// about as many bytes.
TEST_F(DbfTable, FlushesAndBytesOfAChangeDoNotGrowWithTheTable) {
  auto measure = [&](auto change) {
    const io::IoCounters start = io::Counters();
    EXPECT_EQ(change(), Ok) << LastErrorMessage();
    const io::IoCounters end = io::Counters();
    return std::make_pair(end.flushes - start.flushes, end.bytesWritten - start.bytesWritten);
  };
  std::vector<std::pair<std::uint64_t, std::uint64_t>> small, large;
  for (auto* out : {&small, &large}) {
    Numbered rows(out == &small ? 1000 : 5000, 0);
    ASSERT_EQ(t->insertRows(rows), Ok);
    const std::uint32_t mid = t->recordCount() / 2;
    std::uint32_t index;
    out->push_back(measure([&] { return t->insert(Person("One", 1, std::string("m")), index); }));
    out->push_back(measure([&] {
      Row r;
      if (Result e = t->readRecord(mid, r)) return e;
      r[1] = std::int64_t{5};
      return t->update(mid, r);
    }));
    out->push_back(measure([&] { return t->setDeleted(mid, true); }));
  }
  for (std::size_t k = 0; k < small.size(); ++k) {
    EXPECT_EQ(small[k].first, large[k].first) << k;
    EXPECT_LE(large[k].second, small[k].second + 4096) << k;
    EXPECT_LE(small[k].first, 8u) << k;
  }
}

}  // namespace
