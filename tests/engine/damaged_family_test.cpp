// Damaged table families: every value a header gives that drives a read is
// checked before use, so a damaged file fails with a result code and a
// message naming it instead of misleading a read. Each case damages one
// file of a family the tests create and reads the whole family the way the
// engine's users do.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxindex.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/files.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;
using ptables::Field;

namespace {

constexpr std::size_t kBlock = 2048;  // the table's block size and header size

void Put16(std::string& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
std::uint16_t Get16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    (static_cast<std::uint8_t>(b[at + 1]) << 8));
}
std::uint32_t Get32(const std::string& b, std::size_t at) {
  return Get16(b, at) | (static_cast<std::uint32_t>(Get16(b, at + 2)) << 16);
}

// A keyed level-7 table D.DB: a long key, four alpha fields of 255 (so a
// record needs more than a 1 KiB block), a memo, a number, a BCD, a date and
// a logical; a secondary index on A (.X02/.Y02), a required check on A
// (.VAL) and memos longer than their leader (.MB). One record per block.
std::map<std::string, std::string> MakeFamily(const TempDir& dir) {
  TableDesc d = ptables::Desc(dir / "D.DB",
                              {Field("K", pxLong), Field("A", pxAlpha, 255), Field("B", pxAlpha, 255),
                               Field("C", pxAlpha, 255), Field("E", pxAlpha, 255),
                               Field("M", pxMemo, 20), Field("N", pxNumber), Field("P", pxBcd, 0, 2),
                               Field("T", pxDate), Field("L", pxLogical)},
                              1);
  d.indexes.push_back(ptables::SecondaryOn("A", 2));
  d.checks.push_back(ptables::Required(2));
  EXPECT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
  {
    auto t = ptables::OpenOk(dir / "D.DB", true);
    EXPECT_EQ(AttachSecondaryIndexes(*t), Ok);
    std::vector<std::vector<Value>> rows;
    for (int i = 0; i < 20; ++i)
      rows.push_back({std::int64_t{i}, "a" + std::to_string(i), Value{}, Value{}, Value{},
                      std::string(100, 'm'), 1.5, BcdValue{"2.25"}, DateValue{738000}, true});
    EXPECT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
  }
  std::map<std::string, std::string> files;
  for (const char* ext : {"DB", "PX", "X02", "Y02", "VAL", "MB"}) {
    auto bytes = Slurp(dir / (std::string("D.") + ext));
    EXPECT_TRUE(bytes) << ext;
    files[ext] = bytes.value_or("");
  }
  return files;
}

// Reads the table's records with their BLOBs, its index descriptions and
// checks, then the index files themselves; the first failure.
Result ReadFamily(const std::string& table) {
  hDBICur c = 0;
  if (Result r = OpenTablePath(table, OpenMode::ReadOnly, c)) return r;
  std::vector<Value> values;
  std::vector<IndexDesc> indexes;
  ValCheckDesc check;
  Result r = GetIndexDescs(c, indexes);
  if (!r) r = GetValCheckDesc(c, 1, check);
  if (!r) r = SetToBegin(c);
  while (!r && (r = GetNextRecord(c, &values)) == Ok) {
  }
  CloseCursor(c);
  if (r != ErrEndOfList) return r;

  std::vector<IndexEntry> leaves, blocks;
  std::vector<std::string> records;
  if (Result e = ReadPrimaryIndex(FamilyPath(table, ".PX"), leaves)) return e;
  PxHeader db;
  std::vector<SecondaryIndex> secondaries;
  if (Result e = ReadFileHeader(table, db)) return e;
  if (Result e = ReadSecondaryIndexes(table, db, secondaries)) return e;
  for (const SecondaryIndex& ix : secondaries) {
    if (Result e = ReadIndexBlocks(ix, blocks, records)) return e;
    if (Result e = ReadIndexTree(ix, leaves)) return e;
  }
  return Ok;
}

struct Damage {
  const char* what;
  const char* file;  // the extension of the damaged member
  std::function<void(std::string&)> apply;
  Result code;
  const char* message;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.file << ": " << d.what; }

auto Byte(std::size_t at, std::uint8_t v) {
  return [=](std::string& b) { b[at] = static_cast<char>(v); };
}
auto Word(std::size_t at, std::uint16_t v) {
  return [=](std::string& b) { Put16(b, at, v); };
}

// Offsets: level-7 .DB and .X headers list their fields from 0x78 (type,
// size), .PX and .Y headers from 0x58.
const Damage kDamages[] = {
    {"long field of 8 bytes", "DB", Byte(0x79, 8), ErrCorruptHeader, "field 1: size 8 is not 4"},
    {"alpha field of 0 bytes", "DB", Byte(0x7B, 0), ErrCorruptHeader,
     "field 2: size 0 is not 1 to 255"},
    {"memo without a leader", "DB", Byte(0x83, 10), ErrCorruptHeader,
     "field 6: size 10 is not 11 to 250"},
    {"memo shorter than its reference", "DB", Byte(0x83, 5), ErrCorruptHeader,
     "field 6: size 5 is not 11 to 250"},
    {"memo leader beyond 240", "DB", Byte(0x83, 251), ErrCorruptHeader,
     "field 6: size 251 is not 11 to 250"},
    {"number of 4 bytes", "DB", Byte(0x85, 4), ErrCorruptHeader, "field 7: size 4 is not 8"},
    {"BCD of 33 decimals", "DB", Byte(0x87, 33), ErrCorruptHeader,
     "field 8: size 33 is not 0 to 32"},
    {"date of 2 bytes", "DB", Byte(0x89, 2), ErrCorruptHeader, "field 9: size 2 is not 4"},
    {"logical of 2 bytes", "DB", Byte(0x8B, 2), ErrCorruptHeader, "field 10: size 2 is not 1"},
    {"unknown field type", "DB", Byte(0x8A, 0x30), ErrUnknownFieldType,
     "field 10 has unknown type code 48"},
    {"no fields", "DB", Word(0x21, 0), ErrCorruptHeader, "field count 0 is invalid"},
    {"keyed without key fields", "DB", Word(0x23, 0), ErrCorruptHeader,
     "key field count 0 is not 1 to 16"},
    {"more key fields than fields", "DB", Word(0x23, 11), ErrCorruptHeader,
     "more key fields than fields"},
    {"unkeyed with a key field", "DB", Byte(0x04, 2), ErrCorruptHeader,
     "a table without a key counts 1 key fields"},
    {"record larger than the block", "DB", Byte(0x05, 1), ErrCorruptHeader,
     "record size 1084 does not fit a block of 1024 bytes"},
    {"unknown block size", "DB", Byte(0x05, 5), ErrCorruptHeader, "unknown block size code 5"},
    {"header beyond the file", "DB", Word(0x02, 0xFFFF), ErrCorruptHeader,
     "header size 65535 does not fit the file"},
    {"header ending before the table name", "DB", Word(0x02, 0x78 + 20 + 4 + 40),
     ErrCorruptHeader, "header is truncated"},
    {"more blocks than the file holds", "DB", Word(0x0C, 4096), ErrCorruptHeader,
     "the header counts 4096 blocks, the file holds 20"},
    {"first block beyond the blocks", "DB", Word(0x0E, 21), ErrCorruptHeader,
     "first block 21 is beyond the 20 blocks of the file"},
    {"more blocks in use than there are", "DB", Word(0x0A, 21), ErrCorruptHeader,
     "the count of blocks in use 21 is beyond"},
    {"free list beyond the blocks", "DB", Word(0x4D, 0xFFFF), ErrCorruptHeader,
     "first free block 65535 is beyond"},
    {"more records than the blocks hold", "DB", Word(0x08, 0x00FF), ErrCorruptHeader,
     "exceeds what 20 blocks hold"},
    {"chain beyond the blocks", "DB",
     [](std::string& b) { Put16(b, kBlock + (Get16(b, 0x0E) - 1) * kBlock, 21); },
     ErrCorruptBlock, "block chain points at block 21 beyond the 20 blocks"},
    {"records past the end of the file", "DB",
     [](std::string& b) { b.resize(kBlock + 19 * kBlock + 100); }, ErrCorruptBlock,
     "the records of block 20 run past the end of the file"},

    {"index key of the wrong width", "PX", Byte(0x59, 2), ErrCorruptHeader,
     "field 1: size 2 is not 4"},
    {"index of 17 fields", "PX", Word(0x21, 17), ErrCorruptHeader,
     "the primary index has 17 fields"},
    {"index root beyond the blocks", "PX", Word(0x1E, 2), ErrCorruptHeader,
     "index root block 2 is beyond the 1 blocks of the file"},
    {"index of 17 levels", "PX", Byte(0x20, 17), ErrCorruptHeader,
     "index levels 17 are more than the blocks allow"},
    {"index blocks beyond the file", "PX", Word(0x0C, 9), ErrCorruptHeader,
     "the header counts 9 blocks, the file holds 1"},
    {"index tree reaching a block twice", "PX",
     [](std::string& b) {
       // Two levels over two blocks: the root's entries name .DB blocks
       // 1..20, read as index blocks, and block 1 is the root itself.
       Put16(b, 0x0A, 2);
       Put16(b, 0x0C, 2);
       b[0x20] = 2;
       b.resize(b.size() + kBlock, '\0');
     },
     ErrCorruptIndex, "index block 1 is reached twice"},

    {"secondary index field of the wrong width", "X02", Byte(0x7B, 2), ErrCorruptHeader,
     "field 2: size 2 is not 4"},
    {"secondary index counting too many records", "X02", Word(0x08, 0x0FFF), ErrCorruptHeader,
     "exceeds what"},
    {"secondary index chain beyond its blocks", "X02", Word(0x0E, 9), ErrCorruptHeader,
     "first block 9 is beyond"},
    {"secondary tree root beyond its blocks", "Y02", Word(0x1E, 5), ErrCorruptHeader,
     "index root block 5 is beyond"},
    {"secondary tree of 40 levels", "Y02", Byte(0x20, 40), ErrCorruptHeader,
     "index levels 40 are more than the blocks allow"},

    {"check field list with a BCD of 33 decimals", "VAL",
     [](std::string& b) {
       // The field list: u16 count, 4 bytes, the field numbers, then (type,
       // size) pairs; field 8 is the BCD.
       const std::size_t at = Get32(b, 0x09);
       b[at + 6 + 2 * Get16(b, at) + 2 * 7 + 1] = 33;
     },
     ErrCorruptValidity, "field 8 of the field list: size 33 is not 0 to 32"},
    {"blob file without its header block", "MB", Byte(0x00, 2), ErrCorruptBlob,
     "not a blob file"},
};

class DamagedFamily : public testing::TestWithParam<Damage> {
 protected:
  static void SetUpTestSuite() {
    TempDir made;
    family_ = MakeFamily(made);
  }
  static std::map<std::string, std::string> family_;
};

std::map<std::string, std::string> DamagedFamily::family_;

INSTANTIATE_TEST_SUITE_P(Cases, DamagedFamily, testing::ValuesIn(kDamages),
                         [](const auto& info) {
                           std::string s = info.param.what;
                           for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return s;
                         });

}  // namespace

TEST(DamagedFamilyIntact, ReadsWhole) {
  TempDir dir;
  MakeFamily(dir);
  EXPECT_EQ(ReadFamily(dir / "D.DB"), Ok) << LastErrorMessage();
}

TEST_P(DamagedFamily, FailsWithAMessageNamingTheFile) {
  const Damage& damage = GetParam();
  TempDir dir;
  for (auto [ext, bytes] : family_) {
    if (ext == damage.file) damage.apply(bytes);
    Put(dir / ("D." + ext), bytes);
  }
  EXPECT_EQ(ReadFamily(dir / "D.DB"), damage.code) << LastErrorMessage();
  const std::string named = dir / (std::string("D.") + damage.file) + ": ";
  EXPECT_NE(LastErrorMessage().find(named), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find(damage.message), std::string::npos) << LastErrorMessage();
}

// Real index files whose last block ends early (AREACODE.PX) read whole:
// a leaf for every data block of their table.
TEST(PrimaryIndexCorpus, EveryIndexReadsALeafPerDataBlock) {
  const std::string corpus = CorpusDir("paradox");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  int indexes = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(corpus)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".px" && ext != ".PX") continue;
    SCOPED_TRACE(e.path().string());
    std::vector<IndexEntry> leaves;
    ASSERT_EQ(ReadPrimaryIndex(e.path().string(), leaves), Ok) << LastErrorMessage();
    PxHeader db;
    ASSERT_EQ(ReadFileHeader(FamilyPath(e.path().string(), ".DB"), db), Ok) << LastErrorMessage();
    EXPECT_EQ(leaves.size(), db.blocksInUse());
    ++indexes;
  }
  EXPECT_GT(indexes, 15);
}
