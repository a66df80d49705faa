// Paradox tables through the engine: real files from other programs, and
// tables we create, change and read again.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <random>
#include <thread>

#include "engine/io/memo.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxindex.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
namespace fs = std::filesystem;
using ptables::AllRecords;
using ptables::Desc;
using ptables::Field;
using ptables::OpenOk;

namespace {

std::int64_t IntOf(const Value& v) { return std::get<std::int64_t>(v); }

}  // namespace

// ---------------------------------------------------------------- corpus

TEST(ParadoxCorpus, EveryTableOpensAndReadsEveryRecord) {
  std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  int tables = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    std::string ext = entry.path().extension().string();
    if (ext != ".db" && ext != ".DB") continue;
    if (entry.path().parent_path().filename() == "encrypt") continue;
    SCOPED_TRACE(entry.path().string());
    auto t = OpenOk(entry.path().string());
    ASSERT_TRUE(t);
    EXPECT_EQ(t->recordCount(), t->header().recordCount());
    AllRecords(*t);
    ++tables;
  }
  EXPECT_GT(tables, 30);
}

TEST(ParadoxCorpus, KnownValues) {
  std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  {
    auto t = OpenOk(corpus + "/fields/long.db");
    auto rows = AllRecords(*t);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(IntOf(rows[0][1]), 1);
    EXPECT_EQ(IntOf(rows[1][1]), 2);
    EXPECT_TRUE(IsNull(rows[2][1]));  // a NULL Long, not -2^31
    EXPECT_EQ(t->header().level(), 5);
    EXPECT_TRUE(t->header().isKeyed());
  }
  {
    auto t = OpenOk(corpus + "/fields/date7.db");
    auto rows = AllRecords(*t);
    EXPECT_EQ(std::get<DateValue>(rows[0][0]).day, DayNumber(2018, 1, 1));
    EXPECT_EQ(std::get<TimeValue>(rows[1][1]).ms, (10 * 60 + 30) * 60000);
    EXPECT_TRUE(IsNull(rows[3][0]));
  }
  {
    auto t = OpenOk(corpus + "/fields/bcd.db");
    auto rows = AllRecords(*t);
    EXPECT_EQ(std::get<BcdValue>(rows[0][0]).text, "1.23");
    EXPECT_EQ(std::get<BcdValue>(rows[1][0]).text, "-1.23");
    EXPECT_EQ(std::get<BcdValue>(rows[1][1]).text, "-1");
    EXPECT_TRUE(IsNull(rows[2][1]));
  }
  {
    auto t = OpenOk(corpus + "/db/DECIMAL.DB");
    auto rows = AllRecords(*t);
    EXPECT_DOUBLE_EQ(std::get<double>(rows[0][0]), -200);
    EXPECT_DOUBLE_EQ(std::get<double>(rows[3][0]), 1);
  }
  {
    auto t = OpenOk(corpus + "/areas/ZIPCODES.DB");  // two-level primary index
    EXPECT_EQ(t->recordCount(), 43185u);
    std::vector<IndexEntry> leaves;
    ASSERT_EQ(ReadPrimaryIndex(corpus + "/areas/ZIPCODES.PX", leaves), Ok);
    std::uint32_t total = 0;
    for (const auto& e : leaves) total += e.count;
    EXPECT_EQ(total, t->recordCount());
  }
  {
    auto t = OpenOk(corpus + "/db/AREACODES.DB");
    EXPECT_EQ(t->header().blockSize(), 16384u);
    EXPECT_EQ(t->header().level(), 7);
    EXPECT_EQ(t->driver()->name, "DBWINUS0");
  }
}

TEST(ParadoxCorpus, BlobFieldsReadTheirWholeContent) {
  std::string corpus = CorpusDir("paradox/fields");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  auto memo = OpenOk(corpus + "/memo.db");
  auto rows = AllRecords(*memo);
  ASSERT_FALSE(rows.empty());
  EXPECT_GT(std::get<std::string>(rows[0][1]).size(), 240u);
  auto graphic = OpenOk(corpus + "/graphic.db");
  for (const auto& row : AllRecords(*graphic)) {
    if (IsNull(row[1])) continue;
    const std::string& image = std::get<BlobValue>(row[1]).bytes;
    EXPECT_EQ(image.substr(0, 2), "BM");  // the 8-byte prefix is gone
  }
}

TEST(ParadoxCorpus, ProtectedTablesNeedTheirPassword) {
  std::string corpus = CorpusDir("paradox/encrypt");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  for (const char* name : {"encrypted.db", "encrypted35.db", "encryptedmemo.db"}) {
    SCOPED_TRACE(name);
    std::unique_ptr<ParadoxTable> t;
    OpenOptions o;
    o.passwords = {"wrong"};
    EXPECT_EQ(ParadoxTable::Open(corpus + "/" + name, o, t), ErrPasswordRequired);
    EXPECT_NE(LastErrorMessage().find(name), std::string::npos);
    auto ok = OpenOk(corpus + "/" + name, false, {"wrong", "123"});
    ASSERT_TRUE(ok);
    auto rows = AllRecords(*ok);
    ASSERT_FALSE(rows.empty());
    EXPECT_FALSE(IsNull(rows[0][0]));
  }
}

// ---------------------------------------------------------------- round trips

struct LevelCase {
  int level;
  bool keyed;
};

class ParadoxRoundTrip : public testing::TestWithParam<LevelCase> {};

TEST_P(ParadoxRoundTrip, EveryTypeOfTheLevelReadsBackAsWritten) {
  const auto [level, keyed] = GetParam();
  TempDir dir;
  std::vector<FieldDesc> fields = {Field("Name", pxAlpha, 20), Field("Amount", pxMoney),
                                   Field("Value", pxNumber), Field("Day", pxDate),
                                   Field("Small", pxShort)};
  std::vector<Value> row1 = {std::string("Grüße, \"quoted\""), 12.5, -1e-300,
                             DateValue{DayNumber(1899, 12, 31)}, std::int64_t{-32767}};
  std::vector<Value> row2 = {std::string("B"), Value{}, 0.0, Value{}, std::int64_t{0}};
  if (level >= 4) {
    fields.push_back(Field("Notes", pxMemo, 12));
    fields.push_back(Field("Picture", pxGraphic, 0));
    fields.push_back(Field("Raw", pxBinary, 5));
    row1.push_back(std::string(5000, 'm'));
    row1.push_back(BlobValue{std::string("BM") + std::string(300, '\x01')});
    row1.push_back(BlobValue{std::string("\x00\x01\x02", 3)});
    row2.push_back(std::string("short"));
    row2.push_back(Value{});
    row2.push_back(BlobValue{std::string(3000, '\xff')});
  }
  if (level >= 5) {
    fields.push_back(Field("Big", pxLong));
    fields.push_back(Field("When", pxTime));
    fields.push_back(Field("Stamp", pxTimestamp));
    fields.push_back(Field("Flag", pxLogical));
    fields.push_back(Field("Code", pxBytes, 3));
    fields.push_back(Field("Exact", pxBcd, 32, 2));
    row1.insert(row1.end(), {std::int64_t{-2147483647}, TimeValue{0},
                             TimestampValue{DayNumber(2024, 2, 29) * 86400000.0 + 1},
                             false, BlobValue{"abc"}, BcdValue{"-12345678901234567890.25"}});
    row2.insert(row2.end(), {Value{}, TimeValue{86399999}, Value{}, true, Value{},
                             BcdValue{"0.00"}});
  }
  std::string path = dir / "T.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, fields, keyed ? 1 : 0, level), false), Ok)
      << LastErrorMessage();
  {
    auto t = OpenOk(path, true);
    ASSERT_EQ(t->insert(row1), Ok) << LastErrorMessage();
    ASSERT_EQ(t->insert(row2), Ok) << LastErrorMessage();
  }
  auto t = OpenOk(path);
  EXPECT_EQ(t->header().level(), level);
  auto rows = AllRecords(*t);
  ASSERT_EQ(rows.size(), 2u);
  // Keyed tables order by name: "B" < "Grüße".
  EXPECT_EQ(rows[keyed ? 1 : 0], row1);
  EXPECT_EQ(rows[keyed ? 0 : 1], row2);
}

INSTANTIATE_TEST_SUITE_P(Levels, ParadoxRoundTrip,
                         testing::Values(LevelCase{3, false}, LevelCase{3, true},
                                         LevelCase{4, false}, LevelCase{4, true},
                                         LevelCase{5, true}, LevelCase{7, false},
                                         LevelCase{7, true}),
                         [](const auto& info) {
                           return "Level" + std::to_string(info.param.level) +
                                  (info.param.keyed ? "Keyed" : "Unkeyed");
                         });

// ---------------------------------------------------------------- keyed tables

class ParadoxKeyed : public testing::Test {
 protected:
  void SetUp() override {
    path = dir / "K.DB";
    ASSERT_EQ(CreateParadoxTable(
                  Desc(path, {Field("Id", pxLong), Field("Text", pxAlpha, 120)}, 1), false),
              Ok)
        << LastErrorMessage();
    table = OpenOk(path, true);
  }

  // Inserts records 1..n with 100 characters of text each; their keys.
  std::vector<std::int64_t> InsertNumbered(std::int64_t n) {
    std::vector<std::int64_t> ids;
    std::vector<std::vector<Value>> rows;
    for (std::int64_t i = 1; i <= n; ++i) {
      ids.push_back(i);
      rows.push_back({i, std::string(100, 'a')});
    }
    EXPECT_EQ(table->insertMany(rows), Ok) << LastErrorMessage();
    return ids;
  }

  // The records are in key order, and the primary index names exactly the
  // blocks of the chain with their first keys and counts.
  void ExpectConsistent(const std::vector<std::int64_t>& ids) {
    auto reopened = OpenOk(path);
    auto rows = AllRecords(*reopened);
    std::vector<std::int64_t> got;
    for (const auto& r : rows) got.push_back(IntOf(r[0]));
    std::vector<std::int64_t> want = ids;
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    std::vector<IndexEntry> leaves;
    ASSERT_EQ(ReadPrimaryIndex(FamilyPath(path, ".PX"), leaves), Ok) << LastErrorMessage();
    std::uint32_t at = 0;
    for (const auto& leaf : leaves) {
      ASSERT_LT(at, rows.size());
      std::uint8_t key[4];
      EncodeInt(IntOf(rows[at][0]), 4, key);
      EXPECT_EQ(leaf.key, std::string(reinterpret_cast<char*>(key), 4)) << "block " << leaf.block;
      at += leaf.count;
    }
    EXPECT_EQ(at, rows.size());
    EXPECT_EQ(reopened->header().recordCount(), rows.size());
  }

  TempDir dir;
  std::string path;
  std::unique_ptr<ParadoxTable> table;
};

TEST_F(ParadoxKeyed, RandomInsertsSplitBlocksAndStayInKeyOrder) {
  std::vector<std::int64_t> ids(700);
  std::iota(ids.begin(), ids.end(), -350);
  std::shuffle(ids.begin(), ids.end(), std::mt19937(7));
  // A few single changes, then a batch: both go through the same placement.
  for (std::size_t i = 0; i < 20; ++i)
    ASSERT_EQ(table->insert({ids[i], std::string("row ")}), Ok) << LastErrorMessage();
  std::vector<std::vector<Value>> rest;
  for (std::size_t i = 20; i < ids.size(); ++i)
    rest.push_back({ids[i], std::string("row ") + std::to_string(ids[i])});
  ASSERT_EQ(table->insertMany(rest), Ok) << LastErrorMessage();
  EXPECT_GT(table->header().blocksInUse(), 40);  // 16 records a block
  ExpectConsistent(ids);
}

TEST_F(ParadoxKeyed, DuplicateKeysAreRefusedAndChangeNothing) {
  ASSERT_EQ(table->insert({std::int64_t{1}, std::string("one")}), Ok);
  ASSERT_EQ(table->insert({std::int64_t{2}, std::string("two")}), Ok);
  EXPECT_EQ(table->insert({std::int64_t{1}, std::string("again")}), ErrKeyViolation);
  EXPECT_EQ(table->update(1, {std::int64_t{1}, std::string("two as one")}), ErrKeyViolation);
  EXPECT_EQ(table->insertMany({{std::int64_t{3}, Value{}}, {std::int64_t{2}, Value{}}}),
            ErrKeyViolation);
  ExpectConsistent({1, 2});
  EXPECT_FALSE(fs::exists(FamilyPath(path, ".QJR")));
}

TEST_F(ParadoxKeyed, UpdatesMoveRecordsAndDeletesFreeBlocks) {
  std::vector<std::int64_t> ids = InsertNumbered(200);
  std::uint32_t position = 0;
  ASSERT_EQ(table->update(0, {std::int64_t{1000}, std::string("moved")}, &position), Ok);
  EXPECT_EQ(position, 199u);
  ids[0] = 1000;
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(table->remove(10), Ok) << LastErrorMessage();
    ids.erase(std::find(ids.begin(), ids.end(), std::int64_t{12 + i}));
  }
  ExpectConsistent(ids);
  std::uint16_t fileBlocks = table->header().totalBlocks();
  EXPECT_NE(table->header().firstFreeBlock(), 0);
  std::vector<std::vector<Value>> more;
  for (std::int64_t i = 2000; i < 2030; ++i) {
    more.push_back({i, Value{}});
    ids.push_back(i);
  }
  ASSERT_EQ(table->insertMany(more), Ok);
  EXPECT_EQ(table->header().firstFreeBlock(), 0);  // the freed block was reused first
  EXPECT_LE(table->header().totalBlocks(), fileBlocks + 1);
  ExpectConsistent(ids);
  while (table->recordCount() > 100) ASSERT_EQ(table->remove(table->recordCount() - 1), Ok);
  std::sort(ids.begin(), ids.end());
  ids.resize(100);
  ExpectConsistent(ids);
}

// Opening a table again may take its chain from the opening before: never
// once the file has changed, even when its size and modification time are
// as they were.
TEST_F(ParadoxKeyed, ReopeningSeesEveryChangeToTheChain) {
  io::SetMemoSettling(0);
  std::vector<std::int64_t> ids = InsertNumbered(200);
  table.reset();
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  tick();
  EXPECT_EQ(OpenOk(path)->recordCount(), 200u);
  ExpectConsistent(ids);  // opened again, unchanged
  const auto modified = fs::last_write_time(path);
  tick();
  {
    auto writer = OpenOk(path, true);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(writer->remove(0), Ok) << LastErrorMessage();
    ASSERT_EQ(writer->insert({std::int64_t{500}, std::string("late")}), Ok);
  }
  fs::last_write_time(path, modified);
  ids.erase(ids.begin(), ids.begin() + 40);
  ids.push_back(500);
  ExpectConsistent(ids);
  io::SetMemoSettling(2);
}

// A scratch table (an answer) replaces the table of its name in place: the
// members the old one had and the new one lacks go, and an open of the old
// one refuses the replacement.
TEST(ParadoxScratch, ReplacesTheWholeFamilyInPlace) {
  TempDir dir;
  const std::string path = dir / "ANSWER.DB";
  TableDesc old = Desc(path, {Field("Id", pxLong), Field("Name", pxAlpha, 10), Field("Notes", pxMemo, 10)}, 1);
  old.indexes.push_back(ptables::SecondaryOn("ByName", 2));
  old.checks.push_back(ptables::Required(2));
  ASSERT_EQ(CreateParadoxTable(old, false), Ok) << LastErrorMessage();
  ASSERT_EQ(OpenOk(path, true)->insert({std::int64_t{1}, std::string("a"), std::string("memo")}), Ok);
  const auto members = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  };
  ASSERT_GT(members().size(), 4u);  // .DB, .PX, .MB, .VAL and the index files

  TableDesc answer = Desc(path, {Field("Total", pxNumber)});
  {
    auto open = OpenOk(path);
    EXPECT_EQ(CreateScratchTable(answer), ErrTableInUse);
    EXPECT_EQ(open->recordCount(), 1u);  // untouched
  }
  ASSERT_EQ(CreateScratchTable(answer), Ok) << LastErrorMessage();
  EXPECT_EQ(members(), std::vector<std::string>{"ANSWER.DB"});
  auto t = OpenOk(path, true);
  EXPECT_EQ(t->recordCount(), 0u);
  ASSERT_EQ(t->fields().size(), 1u);
  ASSERT_EQ(t->insert({2.5}), Ok);
  t.reset();
  // With a memo field the new table gets its own BLOB file.
  ASSERT_EQ(CreateScratchTable(Desc(path, {Field("Text", pxMemo, 10)})), Ok) << LastErrorMessage();
  EXPECT_EQ(members(), (std::vector<std::string>{"ANSWER.DB", "ANSWER.MB"}));
  t = OpenOk(path, true);
  ASSERT_EQ(t->insert({std::string("a longer text than ten bytes")}), Ok) << LastErrorMessage();
  EXPECT_EQ(AllRecords(*t), (std::vector<std::vector<Value>>{{std::string("a longer text than ten bytes")}}));
}

// A scratch table written with its records at once holds the same bytes as
// one created empty that had them inserted one by one.
TEST(ParadoxScratch, RecordsWrittenAtOnceAreThoseInsertedOneByOne) {
  TempDir dir;
  const std::vector<FieldDesc> fields = {
      Field("Name", pxAlpha, 12), Field("N", pxNumber),      Field("S", pxShort),
      Field("L", pxLong),         Field("D", pxDate),        Field("T", pxTime),
      Field("TS", pxTimestamp),   Field("B", pxLogical),     Field("M", pxMoney),
      Field("Bcd", pxBcd, 32, 2), Field("Raw", pxBytes, 3)};
  std::vector<std::vector<Value>> rows;
  for (std::int64_t i = 0; i < 70; ++i)  // several blocks
    rows.push_back({std::string("row ") + std::to_string(i), i * 1.5, i - 30, i * 100000,
                    DateValue{730000 + static_cast<std::int32_t>(i)}, TimeValue{static_cast<std::int32_t>(i) * 1000},
                    TimestampValue{6.3e13 + static_cast<double>(i)}, i % 2 == 0, i / 4.0,
                    BcdValue{std::to_string(i) + ".25"}, i % 3 ? Value{BlobValue{std::string("\x01\x02\x03")}} : Value{}});
  const auto bytes = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, rows.size()}) {
    const std::vector<std::vector<Value>> some(rows.begin(), rows.begin() + static_cast<long>(count));
    fs::create_directories(dir / "inserted");
    fs::create_directories(dir / "written");
    const std::string inserted = dir / "inserted/T.DB", written = dir / "written/T.DB";
    ASSERT_EQ(CreateParadoxTable(Desc(inserted, fields), true), Ok) << LastErrorMessage();
    ASSERT_EQ(OpenOk(inserted, true)->insertMany(some), Ok) << LastErrorMessage();
    bool filled = false;
    ASSERT_EQ(CreateScratchTable(Desc(written, fields), {}, &some, &filled), Ok) << LastErrorMessage();
    EXPECT_TRUE(filled);
    std::string a = bytes(inserted), b = bytes(written);
    ASSERT_EQ(a.size(), b.size()) << count;
    EXPECT_TRUE(a == b) << count << " records: the files differ first at byte "
                        << std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin();
    EXPECT_EQ(AllRecords(*OpenOk(written)), some);
  }
  // Tables with a memo or an Autoinc field are left for the inserts.
  for (const FieldDesc& f : {Field("Memo", pxMemo, 10), Field("Id", pxAutoinc)}) {
    bool filled = true;
    const std::vector<std::vector<Value>> one = {{Value{}}};
    ASSERT_EQ(CreateScratchTable(Desc(dir / "LEFT.DB", {f}), {}, &one, &filled), Ok);
    EXPECT_FALSE(filled);
    EXPECT_EQ(OpenOk(dir / "LEFT.DB")->recordCount(), 0u);
  }
}

TEST(ParadoxAutoinc, ContinuesFromTheLastValueInTheHeader) {
  TempDir dir;
  std::string path = dir / "A.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("Id", pxAutoinc), Field("N", pxAlpha, 5)}, 1),
                               false),
            Ok);
  auto t = OpenOk(path, true);
  ASSERT_EQ(t->insert({Value{}, std::string("a")}), Ok);
  ASSERT_EQ(t->insert({std::int64_t{10}, std::string("b")}), Ok);
  ASSERT_EQ(t->insert({Value{}, std::string("c")}), Ok);
  t = OpenOk(path, true);
  ASSERT_EQ(t->insert({Value{}, std::string("d")}), Ok);
  std::vector<std::int64_t> ids;
  for (const auto& r : AllRecords(*t)) ids.push_back(IntOf(r[0]));
  EXPECT_EQ(ids, (std::vector<std::int64_t>{1, 10, 11, 12}));
  EXPECT_EQ(t->header().autoIncrement(), 12u);
}

TEST(ParadoxProtected, CreatedWithAPasswordOpensOnlyWithIt) {
  TempDir dir;
  std::string path = dir / "S.DB";
  TableDesc d = Desc(path, {Field("Secret", pxAlpha, 30), Field("Note", pxMemo, 1)}, 0, 7);
  d.isProtected = 1;
  d.password = "opensesame";
  ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  {
    auto t = OpenOk(path, true, {"opensesame"});
    ASSERT_EQ(t->insert({std::string("plain text marker"), std::string(3000, 'z')}), Ok)
        << LastErrorMessage();
  }
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(path, {}, t), ErrPasswordRequired);
  std::ifstream raw(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(raw)), {});
  EXPECT_EQ(bytes.find("plain text marker"), std::string::npos);
  auto ok = OpenOk(path, false, {"opensesame"});
  auto rows = AllRecords(*ok);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(rows[0][0]), "plain text marker");
  EXPECT_EQ(std::get<std::string>(rows[0][1]), std::string(3000, 'z'));
}

// ---------------------------------------------------------------- refusals

TEST(ParadoxCreate, BadDescriptorsAreRefusedWithAReason) {
  TempDir dir;
  std::string path = dir / "X.DB";
  struct Case {
    TableDesc desc;
    const char* expected;
  };
  std::vector<Case> cases = {
      {Desc(path, {Field("A", pxAlpha, 0)}), "size must be 1 to 255"},
      {Desc(path, {Field("A", pxAlpha, 10), Field("a", pxShort)}), "used twice"},
      {Desc(path, {Field("L", pxLong)}, 0, 4), "needs table level 5"},
      {Desc(path, {Field("M", pxMemo, 10)}, 0, 3), "needs table level 4"},
      {Desc(path, {Field("A", pxAlpha, 10)}, 0, 6), "is not 3, 4, 5 or 7"},
      {Desc(path, std::vector<FieldDesc>(9, Field("A", pxAlpha, 255))), "used twice"},
      {Desc(path, {Field("A", 999)}), "unknown type"},
      {Desc(path, {}), "at least one field"},
  };
  TableDesc secondKey = Desc(path, {Field("A", pxShort), Field("B", pxShort)});
  IndexDesc ix;
  ix.primary = 1;
  ix.fieldsInKey = 1;
  ix.keyFields[0] = 2;
  secondKey.indexes.push_back(ix);
  cases.push_back({secondKey, "leading fields"});
  std::vector<FieldDesc> wide;
  for (char c = 'A'; c < 'J'; ++c) wide.push_back(Field(std::string(1, c), pxAlpha, 255));
  cases.push_back({Desc(path, wide), "do not fit blocks"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(CreateParadoxTable(c.desc, false), ErrInvalidFieldDesc) << c.expected;
    EXPECT_NE(LastErrorMessage().find(c.expected), std::string::npos) << LastErrorMessage();
    EXPECT_FALSE(fs::exists(path));
  }
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("A", pxShort)}), false), Ok);
  EXPECT_EQ(CreateParadoxTable(Desc(path, {Field("A", pxShort)}), false), ErrFileExists);
  EXPECT_EQ(CreateParadoxTable(Desc(path, {Field("B", pxAlpha, 3)}, 1), true), Ok);
  EXPECT_EQ(OpenOk(path)->fields()[0].name, "B");
  EXPECT_TRUE(fs::exists(FamilyPath(path, ".PX")));
}

// A BLOB field keeps only a leader in the record, so it cannot be a key
// field: duplicate keys would go in.
class ParadoxCreateBlobKey : public testing::TestWithParam<std::tuple<std::uint16_t, int>> {};

TEST_P(ParadoxCreateBlobKey, IsRefusedNamingTheField) {
  const auto [type, position] = GetParam();
  TempDir dir;
  std::string path = dir / "K.DB";
  std::vector<FieldDesc> fields = {Field("Id", pxLong), Field("Code", pxAlpha, 4)};
  fields.insert(fields.begin() + position, Field("Blob", type, 10));
  EXPECT_EQ(CreateParadoxTable(Desc(path, fields, position + 1), false), ErrInvalidIndex);
  EXPECT_NE(LastErrorMessage().find("field Blob (type "), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find("cannot be a key field"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(dir.path()));
  // Past the key it is an ordinary field.
  EXPECT_EQ(CreateParadoxTable(Desc(path, fields, position), false), Ok) << LastErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(Types, ParadoxCreateBlobKey,
                         testing::Combine(testing::Values(pxMemo, pxBinary, pxFmtMemo, pxOle,
                                                          pxGraphic),
                                          testing::Values(0, 1)));

TEST(ParadoxValues, ValuesThatDoNotFitAreRefused) {
  TempDir dir;
  std::string path = dir / "V.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("A", pxAlpha, 3), Field("S", pxShort),
                                           Field("B", pxBcd, 32, 1), Field("D", pxDate)}),
                               false),
            Ok);
  auto t = OpenOk(path, true);
  std::vector<std::vector<Value>> bad = {
      {std::string("long"), Value{}, Value{}, Value{}},
      {Value{}, std::int64_t{40000}, Value{}, Value{}},
      {Value{}, std::int64_t{-32768}, Value{}, Value{}},  // would be stored as NULL
      {Value{}, std::string("7"), Value{}, Value{}},
      {Value{}, Value{}, BcdValue{"1.25"}, Value{}},      // a digit would be lost
      {Value{}, Value{}, Value{}, std::int64_t{3}},
      {std::string("€"), Value{}, Value{}, Value{}},      // not in code page 437
  };
  for (const auto& row : bad) EXPECT_EQ(t->insert(row), ErrInvalidValue) << LastErrorMessage();
  EXPECT_EQ(t->recordCount(), 0u);
  // Malformed UTF-8 is named as such, not as characters the code page lacks.
  EXPECT_EQ(t->insert({std::string("a\xC3"), Value{}, Value{}, Value{}}), ErrInvalidValue);
  EXPECT_EQ(LastErrorMessage(), "field A: the text is not valid UTF-8 (byte 2)");
  EXPECT_EQ(t->insert({std::string("abc"), std::int64_t{-32767}, BcdValue{"1.20"}, Value{}}), Ok);
}

// ---------------------------------------------------------------- damaged files

class ParadoxDamaged : public testing::Test {
 protected:
  void SetUp() override {
    path = dir / "D.DB";
    ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("N", pxLong), Field("M", pxMemo, 10)}), false),
              Ok);
    auto t = OpenOk(path, true);
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 300; ++i) rows.push_back({std::int64_t{i}, std::string(50, 'x')});
    ASSERT_EQ(t->insertMany(rows), Ok);
    std::ifstream in(path, std::ios::binary);
    bytes.assign((std::istreambuf_iterator<char>(in)), {});
  }
  void Write(const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  }
  void Poke16(std::size_t at, std::uint16_t v) {
    std::string b = bytes;
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
    Write(b);
  }
  // Opening and reading everything fails with `code`, naming the file.
  void ExpectFailure(Result code) {
    std::unique_ptr<ParadoxTable> t;
    Result r = ParadoxTable::Open(path, {}, t);
    if (r == Ok) {
      std::vector<Value> row;
      for (std::uint32_t i = 0; i < t->recordCount() && r == Ok; ++i) r = t->readRecord(i, row);
    }
    EXPECT_EQ(r, code) << LastErrorMessage();
    EXPECT_NE(LastErrorMessage().find("D."), std::string::npos) << LastErrorMessage();
  }
  TempDir dir;
  std::string path, bytes;
};

TEST_F(ParadoxDamaged, TruncatedAndMalformedHeaders) {
  Write(bytes.substr(0, 40));
  ExpectFailure(ErrCorruptHeader);
  Write(bytes.substr(0, 0x300));
  ExpectFailure(ErrCorruptHeader);
  Poke16(0x02, 0x10);  // header size
  ExpectFailure(ErrCorruptHeader);
  Poke16(0x00, 99);  // record size
  ExpectFailure(ErrCorruptHeader);
  std::string b = bytes;
  b[0x78] = 0x42;  // field type
  Write(b);
  ExpectFailure(ErrUnknownFieldType);
  b = bytes;
  b[0x39] = 0x33;  // version
  Write(b);
  ExpectFailure(ErrUnsupportedVersion);
}

TEST_F(ParadoxDamaged, BrokenBlockChains) {
  Poke16(0x0E, 500);  // first block beyond the blocks the header counts
  ExpectFailure(ErrCorruptHeader);
  Poke16(0x800, 1);  // block 1 names itself as next
  ExpectFailure(ErrCorruptBlock);
  Poke16(0x804, 3);  // record count not a multiple of the record size
  ExpectFailure(ErrCorruptBlock);
  Write(bytes.substr(0, 0x800 + 2048 * 2 + 100));  // blocks the header counts cut off
  ExpectFailure(ErrCorruptHeader);
}

TEST_F(ParadoxDamaged, BlobReferencesOutsideTheBlobFile) {
  // The memo of the first record points far past the end of the .MB: its
  // reference follows N (4 bytes) and the 10-byte leader.
  std::string b = bytes;
  const std::size_t ref = 0x800 + 6 + 4 + 10;
  const std::uint32_t offset = 0x7FFF00FF;
  for (int i = 0; i < 4; ++i) b[ref + i] = static_cast<char>(offset >> (8 * i));
  Write(b);
  ExpectFailure(ErrCorruptBlob);
}

// ---------------------------------------------------------------- interrupted changes

TEST(ParadoxCrash, AKilledChangeLeavesTheTableBeforeOrAfter) {
  TempDir dir;
  std::string path = dir / "C.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("Id", pxLong), Field("T", pxAlpha, 200)}, 1),
                               false),
            Ok);
  std::vector<std::vector<Value>> first, second;
  for (std::int64_t i = 0; i < 400; ++i) {
    (i % 2 ? second : first).push_back({i, std::string(150, static_cast<char>('a' + i % 26))});
  }
  ASSERT_EQ(OpenOk(path, true)->insertMany(first), Ok);
  std::mt19937 random(11);
  for (int round = 0; round < 8; ++round) {
    auto before = AllRecords(*OpenOk(path));
    pid_t child = fork();
    if (child == 0) {
      std::unique_ptr<ParadoxTable> t;
      OpenOptions o;
      o.writable = true;
      if (ParadoxTable::Open(path, o, t) != Ok) _exit(2);
      std::vector<std::vector<Value>> batch;
      for (auto row : second) {
        row[0] = IntOf(row[0]) + 1000 * (round + 1);
        batch.push_back(row);
      }
      t->insertMany(batch);
      _exit(0);
    }
    usleep(std::uniform_int_distribution<int>(0, 30000)(random));
    kill(child, SIGKILL);
    int status;
    waitpid(child, &status, 0);
    auto after = AllRecords(*OpenOk(path));  // opening recovers
    EXPECT_TRUE(after.size() == before.size() || after.size() == before.size() + second.size())
        << "round " << round << ": " << after.size();
    EXPECT_FALSE(fs::exists(FamilyPath(path, ".QJR")));
  }
}

class ParadoxBlockSize : public testing::TestWithParam<int> {};

TEST_P(ParadoxBlockSize, KeyedTablesOfEveryBlockSizeReadBack) {
  TempDir dir;
  std::string path = dir / "B.DB";
  TableDesc d = Desc(path, {Field("Id", pxLong), Field("Pad", pxAlpha, 100)}, 1);
  d.optionalParams.push_back({"BLOCK SIZE", std::to_string(GetParam())});
  ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  std::vector<std::vector<Value>> rows;
  for (std::int64_t i = 0; i < 1500; ++i) rows.push_back({(i * 7919) % 1500, std::string("p")});
  ASSERT_EQ(OpenOk(path, true)->insertMany(rows), Ok) << LastErrorMessage();
  auto t = OpenOk(path);
  EXPECT_EQ(t->header().blockSize(), static_cast<std::uint32_t>(GetParam()));
  auto back = AllRecords(*t);
  ASSERT_EQ(back.size(), 1500u);
  for (std::int64_t i = 0; i < 1500; ++i) EXPECT_EQ(IntOf(back[i][0]), i);
  std::vector<IndexEntry> leaves;
  ASSERT_EQ(ReadPrimaryIndex(FamilyPath(path, ".PX"), leaves), Ok);
  EXPECT_EQ(leaves.size(), t->header().blocksInUse());
}

INSTANTIATE_TEST_SUITE_P(Sizes, ParadoxBlockSize,
                         testing::Values(1024, 2048, 3072, 4096, 16384, 32768));

TEST(ParadoxOpen, ExclusiveOpensExcludeEveryOtherOpen) {
  TempDir dir;
  std::string path = dir / "L.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("A", pxShort)}), false), Ok);
  OpenOptions shared, exclusive;
  exclusive.exclusive = exclusive.writable = true;
  std::unique_ptr<ParadoxTable> a, b;
  ASSERT_EQ(ParadoxTable::Open(path, shared, a), Ok);
  EXPECT_EQ(ParadoxTable::Open(path, shared, b), Ok);
  b.reset();
  EXPECT_EQ(ParadoxTable::Open(path, exclusive, b), ErrTableInUse);
  EXPECT_NE(LastErrorMessage().find("Table is in use"), std::string::npos);
  a.reset();
  ASSERT_EQ(ParadoxTable::Open(path, exclusive, a), Ok);
  EXPECT_EQ(ParadoxTable::Open(path, shared, b), ErrTableInUse);
}

namespace {

// Refuses odd numbers, doubles what it accepts, and counts the records it
// sees placed and taken.
struct Doubler : TableParticipant {
  int commits = 0, undone = 0;
  int added = 0, removed = 0;
  Result beforeChange(ParadoxTable&, const std::vector<Value>*, std::vector<Value>* v) override {
    if (!v) return Ok;
    std::int64_t n = IntOf((*v)[0]);
    if (n % 2) return Fail(ErrInvalidValue, "odd");
    (*v)[0] = n * 2;
    return Ok;
  }
  Result recordAdded(ParadoxTable&, const RecordPlace&, const std::uint8_t*) override {
    ++added;
    return Ok;
  }
  Result recordRemoved(ParadoxTable&, const RecordPlace&, const std::uint8_t*) override {
    ++removed;
    return Ok;
  }
  void afterChange(ParadoxTable&, bool committed) override { ++(committed ? commits : undone); }
};

}  // namespace

TEST(ParadoxParticipants, SeeEveryChangeAndMayRefuseIt) {
  TempDir dir;
  std::string path = dir / "P.DB";
  ASSERT_EQ(CreateParadoxTable(Desc(path, {Field("N", pxLong)}, 1), false), Ok);
  auto t = OpenOk(path, true);
  auto doubler = std::make_shared<Doubler>();
  t->addParticipant(doubler);
  ASSERT_EQ(t->insertMany({{std::int64_t{2}}, {std::int64_t{4}}}), Ok);
  EXPECT_EQ(t->insert({std::int64_t{3}}), ErrInvalidValue);
  ASSERT_EQ(t->update(0, {std::int64_t{10}}), Ok);
  std::vector<std::int64_t> values;
  for (const auto& row : AllRecords(*t)) values.push_back(IntOf(row[0]));
  EXPECT_EQ(values, (std::vector<std::int64_t>{8, 20}));
  EXPECT_EQ(doubler->added, 3);  // 4 and 8, then 20 for 4 (a new key moves the record)
  EXPECT_EQ(doubler->removed, 1);
  EXPECT_EQ(doubler->commits, 2);
  EXPECT_EQ(doubler->undone, 1);
}
