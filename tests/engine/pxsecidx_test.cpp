// Secondary index files: the real ones of the corpus read with their
// definitions, and what the engine builds from the same tables equals them.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "engine/engine.h"
#include "engine/io/file.h"
#include "engine/lists.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
namespace fs = std::filesystem;

namespace {

struct CorpusIndex {
  const char* dir;    // under paradox/
  const char* table;
  const char* xFile;
  const char* name;
  std::vector<std::uint16_t> fields;  // table field numbers
  std::vector<int> descending;        // per field
  bool maintained;                    // file type 5/8; unkeyed tables have 3/6
  bool current;                       // holds the table's records as they are
};

// Every secondary index of the corpus, with its definition.
const CorpusIndex kCorpusIndexes[] = {
    {"joins", "C.DB", "C.X02", "A", {2}, {0}, true, true},
    {"joins", "C.DB", "C.X03", "B", {3}, {0}, true, true},
    // An unkeyed table's index that was left out of date: the table holds
    // one record, the index none.
    {"joins", "case.db", "case.x01", "C", {1}, {0}, false, false},
    {"joins", "fk1.db", "fk1.x02", "FK", {2}, {0}, true, true},
    {"joins", "fk2.db", "fk2.x02", "FK", {2}, {0}, true, true},
    {"joins", "fk3.db", "fk3.x03", "FK2", {3}, {0}, true, true},
    {"joins", "fk4.db", "fk4.XG0", "reference", {2, 4}, {0, 0}, true, true},
    {"joins", "indexed.db", "indexed.xg0", "Descending", {1}, {1}, false, true},
    {"joins", "multiple.db", "multiple.X02", "FK", {2}, {0}, true, true},
    {"joins", "multiple.db", "multiple.X04", "FK2", {4}, {0}, true, true},
    {"joins", "to_multiple.db", "to_multiple.X02", "FK", {2}, {0}, true, true},
    {"db", "AREACODES.DB", "AREACODES.XG0", "ste", {2}, {0}, true, true},
};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Extension(const std::string& file) { return Upper(file.substr(file.rfind('.') + 1)); }

PxHeader TableHeader(const std::string& path) {
  std::string bytes;
  EXPECT_EQ(io::ReadWholeFile(path, bytes), Ok) << LastErrorMessage();
  PxHeader h;
  EXPECT_EQ(h.parse(path, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), Ok)
      << LastErrorMessage();
  return h;
}

const SecondaryIndex* FindTag(const std::vector<SecondaryIndex>& all, const std::string& tag) {
  for (const SecondaryIndex& ix : all)
    if (ix.tag == tag) return &ix;
  return nullptr;
}

// The .Y tree names every .X block with its first key and record count.
void ExpectTreeOverBlocks(const SecondaryIndex& ix) {
  std::vector<IndexEntry> blocks, leaves;
  std::vector<std::string> records;
  ASSERT_EQ(ReadIndexBlocks(ix, blocks, records), Ok) << LastErrorMessage();
  ASSERT_EQ(ReadIndexTree(ix, leaves), Ok) << LastErrorMessage();
  ASSERT_EQ(leaves.size(), blocks.size()) << ix.yPath;
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    EXPECT_EQ(leaves[i].key, blocks[i].key) << ix.yPath << " leaf " << i;
    EXPECT_EQ(leaves[i].block, blocks[i].block) << ix.yPath << " leaf " << i;
    EXPECT_EQ(leaves[i].count, blocks[i].count) << ix.yPath << " leaf " << i;
  }
}

// Copies the files of one table's family into `to`, writable.
void CopyFamily(const std::string& from, const std::string& table, const std::string& to) {
  const std::string stem = Upper(fs::path(table).stem().string());
  for (const auto& e : fs::directory_iterator(from)) {
    if (Upper(e.path().stem().string()) != stem) continue;
    fs::path target = fs::path(to) / e.path().filename();
    fs::copy_file(e.path(), target);
    fs::permissions(target, fs::perms::owner_read | fs::perms::owner_write);
  }
}

class SecondaryIndexCorpus : public ::testing::TestWithParam<CorpusIndex> {};

}  // namespace

TEST_P(SecondaryIndexCorpus, ReadsWithItsDefinition) {
  const CorpusIndex& c = GetParam();
  const std::string dir = CorpusDir(std::string("paradox/") + c.dir);
  if (dir.empty()) GTEST_SKIP() << "corpus absent";
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(dir, db), Ok) << LastErrorMessage();
  hDBICur list = 0;
  ASSERT_EQ(OpenIndexList(db, c.table, "PARADOX", list), Ok) << LastErrorMessage();
  bool found = false;
  IndexDesc ix;
  while (GetNextRecord(list, ix) == Ok) {
    if (ix.name != c.name) continue;
    found = true;
    EXPECT_EQ(ix.primary, 0);
    ASSERT_EQ(ix.fieldsInKey, c.fields.size());
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
      EXPECT_EQ(ix.keyFields[i], c.fields[i]) << "field " << i;
      EXPECT_EQ(ix.fieldDescending[i], c.descending[i]) << "field " << i;
    }
    EXPECT_EQ(ix.maintained, c.maintained ? 1 : 0);
    EXPECT_EQ(ix.unique, 0);
    EXPECT_EQ(ix.caseInsensitive, 0);
  }
  EXPECT_TRUE(found) << c.xFile;
  CloseCursor(list);
  CloseDatabase(db);

  std::vector<SecondaryIndex> all;
  ASSERT_EQ(ReadSecondaryIndexes(dir + "/" + c.table, TableHeader(dir + "/" + c.table), all), Ok)
      << LastErrorMessage();
  const SecondaryIndex* si = FindTag(all, Extension(c.xFile));
  ASSERT_NE(si, nullptr);
  ExpectTreeOverBlocks(*si);
}

TEST_P(SecondaryIndexCorpus, EntriesBuiltFromTheTableEqualTheIndex) {
  const CorpusIndex& c = GetParam();
  const std::string dir = CorpusDir(std::string("paradox/") + c.dir);
  if (dir.empty()) GTEST_SKIP() << "corpus absent";
  const std::string table = dir + "/" + c.table;
  const PxHeader db = TableHeader(table);
  std::vector<SecondaryIndex> all;
  ASSERT_EQ(ReadSecondaryIndexes(table, db, all), Ok) << LastErrorMessage();
  const SecondaryIndex* si = FindTag(all, Extension(c.xFile));
  ASSERT_NE(si, nullptr);
  std::vector<IndexEntry> blocks;
  std::vector<std::string> stored, built;
  ASSERT_EQ(ReadIndexBlocks(*si, blocks, stored), Ok) << LastErrorMessage();
  ASSERT_EQ(ExpectedIndexRecords(table, db, *si, built), Ok) << LastErrorMessage();
  EXPECT_EQ(built.size(), db.recordCount());
  if (c.current)
    EXPECT_EQ(built, stored);
  else
    EXPECT_NE(built, stored);
}

INSTANTIATE_TEST_SUITE_P(All, SecondaryIndexCorpus, ::testing::ValuesIn(kCorpusIndexes),
                         [](const auto& info) {
                           std::string n = info.param.xFile;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

TEST(SecondaryIndexCorpusList, EveryIndexFileOfTheCorpusIsStated) {
  const std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  std::set<std::string> stated;
  for (const CorpusIndex& c : kCorpusIndexes) {
    stated.insert(Upper(c.xFile));
    stated.insert(Upper("Y" + std::string(c.xFile).substr(std::string(c.xFile).rfind('.') + 2)));
  }
  for (const auto& e : fs::recursive_directory_iterator(corpus)) {
    const std::string file = e.path().filename().string();
    bool composite;
    int n;
    if (!ParseIndexTag(Extension(file), composite, n)) continue;
    EXPECT_TRUE(stated.count(Upper(file))) << file << " has no stated definition";
  }
}

// Rebuilding an index from the corpus table gives the corpus file again,
// byte for byte, but for the counters that tie it to the table: .X[0x2E]
// follows .DB[0x2E] and .X[0x2F] the .PX's change counter, which our
// writer sets when it rewrites the .PX. (indexed.xg0 keeps an empty block
// that a rebuild of its empty table does not; case.x01 is out of date.)
class SecondaryIndexRebuild : public ::testing::TestWithParam<const char*> {};

TEST_P(SecondaryIndexRebuild, KeepsTheCorpusBytes) {
  std::string where = GetParam();
  const std::string dir = CorpusDir("paradox/" + where.substr(0, where.find('/')));
  if (dir.empty()) GTEST_SKIP() << "corpus absent";
  const std::string table = where.substr(where.find('/') + 1);
  TempDir tmp;
  CopyFamily(dir, table, tmp.path());
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(tmp / table, OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
  ASSERT_EQ(InsertRecords(cursor, {}), Ok) << LastErrorMessage();  // a change without records
  CloseCursor(cursor);
  int compared = 0;
  for (const auto& e : fs::directory_iterator(tmp.path())) {
    const std::string file = e.path().filename().string(), ext = Extension(file);
    bool composite;
    int n;
    const bool x = ParseIndexTag(ext, composite, n);
    const bool y = ext[0] == 'Y' && ParseIndexTag("X" + ext.substr(1), composite, n);
    if (!x && !y) continue;
    std::string ours, theirs;
    ASSERT_EQ(io::ReadWholeFile(e.path().string(), ours), Ok);
    ASSERT_EQ(io::ReadWholeFile(dir + "/" + file, theirs), Ok);
    ASSERT_EQ(ours.size(), theirs.size()) << file;
    for (std::size_t i = 0; i < ours.size(); ++i) {
      if (x && (i == 0x2E || i == 0x2F)) continue;
      EXPECT_EQ(ours[i], theirs[i]) << file << " differs at offset " << i;
      if (ours[i] != theirs[i]) break;
    }
    ++compared;
  }
  EXPECT_GE(compared, 2);
}

INSTANTIATE_TEST_SUITE_P(Current, SecondaryIndexRebuild,
                         ::testing::Values("joins/C.DB", "joins/fk1.db", "joins/fk2.db",
                                           "joins/fk3.db", "joins/fk4.db", "joins/multiple.db",
                                           "joins/to_multiple.db", "db/AREACODES.DB"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// The out-of-date index of an unkeyed table catches up with its record on
// the next change: Tup No 1, block 1, the first record's offset 0.
TEST(SecondaryIndexRebuild, BringsAnOutOfDateIndexUpToDate) {
  const std::string dir = CorpusDir("paradox/joins");
  if (dir.empty()) GTEST_SKIP() << "corpus absent";
  TempDir tmp;
  CopyFamily(dir, "case.db", tmp.path());
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(tmp / "case.db", OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
  ASSERT_EQ(InsertRecords(cursor, {}), Ok) << LastErrorMessage();
  CloseCursor(cursor);
  std::vector<SecondaryIndex> all;
  ASSERT_EQ(ReadSecondaryIndexes(tmp / "case.db", TableHeader(tmp / "case.db"), all), Ok);
  ASSERT_EQ(all.size(), 1u);
  std::vector<IndexEntry> blocks;
  std::vector<std::string> records;
  ASSERT_EQ(ReadIndexBlocks(all[0], blocks, records), Ok) << LastErrorMessage();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], std::string("case\0\0\0\0\0\0", 10) + std::string("\x80\0\0\x01", 4) +
                            std::string("\x80\x01", 2) + std::string("\x80\0", 2));
  ExpectTreeOverBlocks(all[0]);
}
