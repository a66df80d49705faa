// The write path under many changes: random inserts, updates and deletes
// on keyed and unkeyed tables with secondary indexes, each its own change,
// checked against a model of the records and against the files' own
// structure (every tree walked from its root, every chain and count).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>

#include "engine/io/file.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/files.h"
#include "tests/support/ptables.h"
#include "tests/support/soundfiles.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
using ptables::AllRecords;
using ptables::Field;
using ptables::OpenOk;

namespace {

// A table opened writable with what keeps its indexes current, as the
// engine's handles open it.
std::unique_ptr<ParadoxTable> OpenForChanges(const std::string& path) {
  auto t = OpenOk(path, true);
  if (t) {
    EXPECT_EQ(AttachSecondaryIndexes(*t), Ok);
  }
  return t;
}

IndexDesc Index(const std::string& name, std::vector<std::uint16_t> fields,
                std::vector<int> descending = {}, bool caseInsensitive = false) {
  IndexDesc ix;
  ix.name = name;
  ix.maintained = 1;
  ix.caseInsensitive = caseInsensitive;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    ix.keyFields[i] = fields[i];
    ix.fieldDescending[i] = i < descending.size() ? static_cast<std::int16_t>(descending[i]) : 0;
  }
  return ix;
}

struct Shape {
  const char* name;
  bool keyed;
  bool indexed;
  int blockSize;
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

// Long keys and small blocks make deep trees out of few records: two
// records a .DB block, a handful of entries a tree block.
TableDesc MakeDesc(const std::string& path, const Shape& s) {
  TableDesc d = ptables::Desc(path,
                              {Field("Key", pxAlpha, 200), Field("Name", pxAlpha, 120),
                               Field("Score", pxLong), Field("Note", pxAlpha, 40)},
                              s.keyed ? 1 : 0);
  d.optionalParams.push_back({"BLOCK SIZE", std::to_string(s.blockSize)});
  if (s.indexed) {
    d.indexes.push_back(Index("NameNoCase", {2}, {}, true));
    d.indexes.push_back(Index("ScoreDown", {3, 4}, {1, 0}));
  }
  return d;
}

using Row = std::vector<Value>;

std::string KeyText(std::mt19937& gen) {
  return "k" + std::to_string(gen() % 100000) + std::string(gen() % 150, 'x');
}

Row RandomRow(std::mt19937& gen, const std::string& key) {
  static const char* names[] = {"ann", "Ann", "BOB", "bob", "Cy", "dee", "", "Émile"};
  Row r{key, std::string(names[gen() % 8]) + std::to_string(gen() % 7),
        static_cast<std::int64_t>(gen() % 50) - 25, std::string(gen() % 3 ? "note" : "")};
  if (std::get<std::string>(r[1]).empty()) r[1] = Value{};
  if (std::get<std::string>(r[3]).empty()) r[3] = Value{};
  return r;
}

class WritePath : public testing::TestWithParam<std::tuple<Shape, unsigned>> {};

TEST_P(WritePath, RandomChangesKeepTheFilesSoundAndTheRecordsRight) {
  const auto& [shape, seed] = GetParam();
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "W.DB";
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, shape), false), Ok) << LastErrorMessage();
  std::mt19937 gen(seed);
  std::vector<Row> model;  // table order
  auto t = OpenForChanges(path);
  auto insertAt = [&](const Row& row) {
    if (!shape.keyed) return model.push_back(row);
    auto at = std::lower_bound(model.begin(), model.end(), row, [](const Row& a, const Row& b) {
      return std::get<std::string>(a[0]) < std::get<std::string>(b[0]);
    });
    model.insert(at, row);
  };
  auto keyInUse = [&](const std::string& key) {
    return std::any_of(model.begin(), model.end(),
                       [&](const Row& r) { return std::get<std::string>(r[0]) == key; });
  };
  // A batch that fills the table, then single changes.
  std::vector<Row> batch;
  for (int i = 0; i < 300; ++i) {
    std::string key = KeyText(gen);
    if (keyInUse(key) || std::any_of(batch.begin(), batch.end(), [&](const Row& r) {
          return std::get<std::string>(r[0]) == key;
        }))
      continue;
    batch.push_back(RandomRow(gen, key));
  }
  ASSERT_EQ(t->insertMany(batch), Ok) << LastErrorMessage();
  for (const Row& r : batch) insertAt(r);
  if (shape.keyed && shape.blockSize == 1024) {  // the trees are as deep as meant
    soundfiles::RawFile px;
    ASSERT_TRUE(px.load(FamilyPath(path, ".PX")));
    EXPECT_GE(px.h.indexLevels(), 3);
  }

  for (int step = 0; step < 400; ++step) {
    const unsigned op = gen() % 10;
    if (op < 4 || model.empty()) {
      std::string key = KeyText(gen);
      Row row = RandomRow(gen, key);
      Result r = t->insert(row);
      if (shape.keyed && keyInUse(key)) {
        ASSERT_EQ(r, ErrKeyViolation);
        continue;
      }
      ASSERT_EQ(r, Ok) << LastErrorMessage();
      insertAt(row);
    } else if (op < 7) {
      const std::uint32_t at = gen() % model.size();
      ASSERT_EQ(t->remove(at), Ok) << LastErrorMessage();
      model.erase(model.begin() + at);
    } else {
      const std::uint32_t at = gen() % model.size();
      std::string key = gen() % 2 ? KeyText(gen) : std::get<std::string>(model[at][0]);
      Row row = RandomRow(gen, key);
      Result r = t->update(at, row);
      if (shape.keyed && key != std::get<std::string>(model[at][0]) && keyInUse(key)) {
        ASSERT_EQ(r, ErrKeyViolation);
        continue;
      }
      ASSERT_EQ(r, Ok) << LastErrorMessage();
      if (shape.keyed) {
        model.erase(model.begin() + at);
        insertAt(row);
      } else {
        model[at] = row;
      }
    }
    if (step % 100 == 99 || step == 0) {
      SCOPED_TRACE("after step " + std::to_string(step));
      ASSERT_EQ(AllRecords(*t), model);
      soundfiles::ExpectSound(path);
      ASSERT_FALSE(testing::Test::HasFailure());
    }
  }
  if (shape.indexed) {  // the index files give each record's place in their order
    std::vector<SecondaryIndex> indexes;
    ASSERT_EQ(ReadSecondaryIndexes(path, t->header(), indexes), Ok);
    std::vector<std::uint32_t> order;
    ASSERT_EQ(IndexOrder(*t, indexes.back(), order), Ok) << LastErrorMessage();
    std::vector<std::uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    for (std::uint32_t i = 0; i < sorted.size(); ++i) ASSERT_EQ(sorted[i], i);
    for (std::size_t i = 1; i < order.size(); ++i)  // "ScoreDown": Score descending first
      ASSERT_GE(std::get<std::int64_t>(model[order[i - 1]][2]),
                std::get<std::int64_t>(model[order[i]][2]));
  }
  t.reset();
  EXPECT_EQ(AllRecords(*OpenOk(path)), model);  // as another opener reads it
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WritePath,
    testing::Combine(testing::Values(Shape{"KeyedIndexed", true, true, 1024},
                                     Shape{"KeyedPlain", true, false, 1024},
                                     Shape{"UnkeyedIndexed", false, true, 1024},
                                     Shape{"KeyedLargeBlocks", true, true, 4096}),
                     testing::Values(1u, 2u)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "Seed" +
             std::to_string(std::get<1>(info.param));
    });

// Emptying a table gives back every block: the trees go, the chains go,
// and the table fills again from scratch.
TEST(WritePathEmptying, DeletingEveryRecordLeavesSoundEmptyFiles) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "E.DB";
  const Shape shape{"", true, true, 1024};
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, shape), false), Ok) << LastErrorMessage();
  auto t = OpenForChanges(path);
  std::mt19937 gen(5);
  std::vector<Row> rows;
  for (int i = 0; i < 120; ++i) rows.push_back(RandomRow(gen, "key" + std::to_string(1000 + i)));
  ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
  soundfiles::ExpectSound(path);
  while (t->recordCount() > 0)
    ASSERT_EQ(t->remove(gen() % t->recordCount()), Ok) << LastErrorMessage();
  soundfiles::ExpectSound(path);
  ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
  EXPECT_EQ(t->recordCount(), rows.size());
  soundfiles::ExpectSound(path);
}

}  // namespace

// ------------------------------------------------ killed at every step

namespace {

std::uint64_t g_stepsLeft = 0;
void DieAtStep() {
  if (g_stepsLeft-- == 0) raise(SIGKILL);
}

Row Filled(const std::string& key) {
  return Row{key, std::string("Name ") + key, std::int64_t{7}, std::string("n")};
}

}  // namespace

// An insert that splits a .DB block and the blocks of both indexes is
// killed before each of its steps on disk in turn (a write, a cut, a flush,
// a removal): whoever opens the table next finds it as it was before the
// insert or after it, never in between, and its files sound.
TEST(WritePathKilled, AtEveryStepOfAnIndexedInsertTheTableIsBeforeOrAfter) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "K.DB";
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, Shape{"", true, true, 1024}), false), Ok)
      << LastErrorMessage();
  std::vector<Row> rows;
  for (int i = 0; i < 60; ++i) rows.push_back(Filled("key" + std::to_string(100 + 2 * i)));
  ASSERT_EQ(OpenForChanges(path)->insertMany(rows), Ok) << LastErrorMessage();
  const std::vector<Row> before = AllRecords(*OpenOk(path));
  const Row added = Filled("key151");  // in the middle of a full block
  std::vector<Row> after = before;
  after.insert(std::upper_bound(after.begin(), after.end(), added,
                                [](const Row& a, const Row& b) {
                                  return std::get<std::string>(a[0]) < std::get<std::string>(b[0]);
                                }),
               added);
  bool finished = false;
  int steps = 0;
  for (std::uint64_t k = 0; !finished && k < 200; ++k) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      auto t = OpenForChanges(path);
      g_stepsLeft = k;
      io::SetStepHook(DieAtStep);
      _exit(t && t->insert(added) == Ok ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    finished = WIFEXITED(status);
    ASSERT_TRUE(finished ? WEXITSTATUS(status) == 0 : WIFSIGNALED(status)) << "step " << k;
    SCOPED_TRACE("killed before step " + std::to_string(k));
    const std::vector<Row> now = AllRecords(*OpenOk(path, true));  // opening recovers
    if (finished) {
      EXPECT_EQ(now, after);
    } else {
      EXPECT_TRUE(now == before || now == after) << now.size() << " records";
      ++steps;
    }
    soundfiles::ExpectSound(path);
    if (now == after && !finished) {  // committed but died after: start again from before
      auto t = OpenForChanges(path);
      ASSERT_EQ(t->remove(static_cast<std::uint32_t>(std::find(now.begin(), now.end(), added) -
                                                     now.begin())),
                Ok);
    }
    ASSERT_FALSE(testing::Test::HasFailure());
  }
  EXPECT_TRUE(finished);
  EXPECT_GT(steps, 10);  // the journal, each file, their flushes
}

// What one change costs on disk does not grow with the table: the same
// insert, update and delete flush as often on a table of 2,000 records as
// on one of 200, and write about as many bytes.
TEST(WritePathCost, FlushesAndBytesOfAChangeDoNotGrowWithTheTable) {
  auto measure = [](int records, std::vector<io::IoCounters>& out) {
    TempDir dir(TempDir::Where::Memory);
    const std::string path = dir / "C.DB";
    ASSERT_EQ(CreateParadoxTable(MakeDesc(path, Shape{"", true, true, 2048}), false), Ok);
    auto t = OpenForChanges(path);
    std::vector<Row> rows;
    for (int i = 0; i < records; ++i)
      rows.push_back(Filled("key" + std::to_string(100000 + 2 * i)));
    ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
    auto change = [&](auto f) {
      const io::IoCounters start = io::Counters();
      ASSERT_EQ(f(), Ok) << LastErrorMessage();
      io::IoCounters used = io::Counters();
      used.writes -= start.writes;
      used.bytesWritten -= start.bytesWritten;
      used.flushes -= start.flushes;
      out.push_back(used);
    };
    const std::string middle = "key" + std::to_string(100001 + records);
    change([&] { return t->insert(Filled(middle)); });
    change([&] {
      return t->update(static_cast<std::uint32_t>(records / 3),
                       Filled("key" + std::to_string(100000 + 2 * (records / 3))));
    });
    change([&] { return t->remove(static_cast<std::uint32_t>(records / 2)); });
  };
  std::vector<io::IoCounters> small, large;
  measure(200, small);
  measure(2000, large);
  ASSERT_EQ(small.size(), 3u);
  ASSERT_EQ(large.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE("change " + std::to_string(i));
    EXPECT_EQ(large[i].flushes, small[i].flushes);
    EXPECT_LE(large[i].flushes, 10u);
    EXPECT_LT(large[i].bytesWritten, 2 * small[i].bytesWritten + 16384);
  }
}

// A free list that names a block holding records would have a new block
// written over them: the change is refused and the table stays as it was.
TEST(WritePathDamaged, AFreeListNamingABlockInUseIsRefused) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "F.DB";
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, Shape{"", true, false, 1024}), false), Ok);
  ASSERT_EQ(OpenForChanges(path)->insertMany({Filled("key1"), Filled("key3")}), Ok)
      << LastErrorMessage();
  std::string bytes = *Slurp(path);
  bytes[0x4D] = 1;  // block 1 is the chain's, full with two records
  Put(path, bytes);
  auto t = OpenForChanges(path);
  EXPECT_EQ(t->insert(Filled("key2")), ErrCorruptBlock);
  EXPECT_NE(LastErrorMessage().find("free list"), std::string::npos) << LastErrorMessage();
  t.reset();
  EXPECT_EQ(*Slurp(path), bytes);
  EXPECT_EQ(AllRecords(*OpenOk(path)).size(), 2u);
}

// A refused change leaves nothing of itself behind in the table: a BLOB
// read after it goes to the file, not through the change that was undone.
TEST(WritePathRefused, ReadsAfterARefusedChangeUseTheFiles) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "B.DB";
  ASSERT_EQ(CreateParadoxTable(
                ptables::Desc(path, {Field("Id", pxLong), Field("Text", pxMemo, 20)}, 1), false),
            Ok);
  const std::string memo(5000, 'm');
  ASSERT_EQ(OpenOk(path, true)->insert({std::int64_t{1}, memo}), Ok) << LastErrorMessage();
  auto t = OpenOk(path, true);
  EXPECT_EQ(t->insert({std::int64_t{1}, std::string("again")}), ErrKeyViolation);
  std::vector<Value> row;
  ASSERT_EQ(t->readRecord(0, row), Ok) << LastErrorMessage();
  EXPECT_EQ(row[1], Value{memo});
}

// A keyed table whose primary index is missing, or does not name its
// records, gets a new one built from its blocks before the change; so do
// secondary indexes that are out of date.
class WritePathRepair : public testing::TestWithParam<int> {};

TEST_P(WritePathRepair, IndexesThatCannotServeAreRebuiltFirst) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "R.DB";
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, Shape{"", true, true, 1024}), false), Ok);
  std::vector<Row> rows;
  for (int i = 0; i < 40; ++i) rows.push_back(Filled("key" + std::to_string(100 + i)));
  ASSERT_EQ(OpenForChanges(path)->insertMany(rows), Ok) << LastErrorMessage();
  const std::string empty = dir / "Empty.DB";  // its index files hold no entries
  ASSERT_EQ(CreateParadoxTable(MakeDesc(empty, Shape{"", true, true, 1024}), false), Ok);
  switch (GetParam()) {
    case 0:
      std::filesystem::remove(FamilyPath(path, ".PX"));
      break;
    case 1:
      std::filesystem::copy_file(FamilyPath(empty, ".PX"), FamilyPath(path, ".PX"),
                                 std::filesystem::copy_options::overwrite_existing);
      break;
    case 2:
      for (const char* ext : {".XG0", ".YG0"})
        std::filesystem::copy_file(FamilyPath(empty, ext), FamilyPath(path, ext),
                                   std::filesystem::copy_options::overwrite_existing);
      break;
  }
  ASSERT_EQ(OpenForChanges(path)->insert(Filled("key1205")), Ok) << LastErrorMessage();
  EXPECT_EQ(AllRecords(*OpenOk(path)).size(), 41u);
  soundfiles::ExpectSound(path);
}

std::string RepairName(const testing::TestParamInfo<int>& info) {
  static const char* names[] = {"PrimaryMissing", "PrimaryEmpty", "SecondaryEmpty"};
  return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Damage, WritePathRepair, testing::Values(0, 1, 2), RepairName);

// Rows announced in key order go to an empty keyed table without a sort;
// a row out of that order fails the whole change.
TEST(WritePathInOrder, RowsAnnouncedInKeyOrderAreCheckedForIt) {
  TempDir dir(TempDir::Where::Memory);
  const std::string path = dir / "O.DB";
  ASSERT_EQ(CreateParadoxTable(MakeDesc(path, Shape{"", true, true, 1024}), false), Ok);
  auto t = OpenForChanges(path);
  std::vector<Row> rows;
  for (int i = 0; i < 50; ++i) rows.push_back(Filled("key" + std::to_string(100 + i)));
  std::swap(rows[30], rows[31]);
  VectorRows shuffled(rows);
  EXPECT_EQ(t->changeRows(shuffled, RowChange::InsertInOrder), ErrInvalidParameter);
  EXPECT_EQ(t->recordCount(), 0u);
  std::swap(rows[30], rows[31]);
  VectorRows ordered(rows);
  ASSERT_EQ(t->changeRows(ordered, RowChange::InsertInOrder), Ok) << LastErrorMessage();
  EXPECT_EQ(AllRecords(*t), rows);
  t.reset();
  soundfiles::ExpectSound(path);
}

// The names of 255 fields of 25 characters need more than the usual 2 KiB
// of header: the header grows in 2 KiB steps and the table reads back.
TEST(WritePathCreate, ManyLongFieldNamesGetALargerHeader) {
  TempDir dir;
  std::vector<FieldDesc> fields;
  for (int i = 0; i < 255; ++i) {
    std::string name = "Field number " + std::to_string(1000 + i);
    name.resize(25, 'x');
    fields.push_back(Field(name, i == 0 ? pxAlpha : pxLogical, i == 0 ? 10 : 0));
  }
  const std::string path = dir / "WIDE.DB";
  ASSERT_EQ(CreateParadoxTable(ptables::Desc(path, fields), false), Ok) << LastErrorMessage();
  {
    auto t = OpenOk(path, true);
    ASSERT_TRUE(t);
    EXPECT_GT(t->header().headerSize(), 0x800u);
    EXPECT_EQ(t->header().headerSize() % 0x800, 0u);
    std::vector<Value> row(255, Value{true});
    row[0] = std::string("first");
    ASSERT_EQ(t->insertMany({row}), Ok) << LastErrorMessage();
  }
  auto t = OpenOk(path);
  ASSERT_TRUE(t);
  ASSERT_EQ(t->fields().size(), 255u);
  EXPECT_EQ(t->codec().toUtf8(t->fields()[254].name), fields[254].name);
  const auto rows = AllRecords(*t);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], Value{std::string("first")});
  EXPECT_EQ(rows[0][254], Value{true});
}
