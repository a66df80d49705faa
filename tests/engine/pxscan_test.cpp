// Following the block chain of a Paradox table at open: chains in any order
// of the blocks in the file, across many read windows, and files that end
// inside their last block.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <numeric>

#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxtable.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::paradox;

namespace {

constexpr int kPerBlock = 19;  // (2048 - 6) / 104-byte records
constexpr int kBlocks = 150;   // about five 64 KB read windows

// An unkeyed table of kBlocks full blocks, appended in file order: block b
// holds the Ids (b - 1) * kPerBlock upwards.
class ParadoxChain : public testing::Test {
 protected:
  void SetUp() override {
    path = dir / "CHAIN.DB";
    TableDesc d;
    d.tableName = path;
    FieldDesc id, pad;
    id.name = "Id";
    id.type = pxLong;
    pad.name = "Pad";
    pad.type = pxAlpha;
    pad.units1 = 100;
    d.fields = {id, pad};
    ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    std::vector<std::vector<Value>> rows;
    for (std::int64_t i = 0; i < kPerBlock * kBlocks; ++i)
      rows.push_back({i, std::string("pad ") + std::to_string(i)});
    std::unique_ptr<ParadoxTable> t;
    OpenOptions writable;
    writable.writable = true;
    ASSERT_EQ(ParadoxTable::Open(path, writable, t), Ok) << LastErrorMessage();
    ASSERT_EQ(t->insertMany(rows), Ok) << LastErrorMessage();
    ASSERT_EQ(t->header().blocksInUse(), kBlocks);
    ASSERT_EQ(t->header().firstBlock(), 1);
    headerSize = t->header().headerSize();
    blockSize = t->header().blockSize();
  }

  std::string Bytes() {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Write(const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  }
  static void Put16(std::string& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
  }

  // Links the blocks into a chain in the given order.
  void Relink(const std::vector<std::uint16_t>& order) {
    std::string b = Bytes();
    for (std::size_t i = 0; i < order.size(); ++i) {
      const std::size_t at = headerSize + (order[i] - 1) * blockSize;
      Put16(b, at, i + 1 < order.size() ? order[i + 1] : 0);
      Put16(b, at + 2, i > 0 ? order[i - 1] : 0);
    }
    Put16(b, 0x0E, order.front());
    Put16(b, 0x10, order.back());
    Write(b);
  }

  std::vector<std::int64_t> Ids() {
    std::unique_ptr<ParadoxTable> t;
    EXPECT_EQ(ParadoxTable::Open(path, {}, t), Ok) << LastErrorMessage();
    std::vector<std::int64_t> ids;
    if (!t) return ids;
    std::vector<Value> row;
    for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
      EXPECT_EQ(t->readRecord(i, row), Ok) << LastErrorMessage();
      ids.push_back(std::get<std::int64_t>(row[0]));
    }
    return ids;
  }

  TempDir dir;
  std::string path;
  std::size_t headerSize = 0, blockSize = 0;
};

// Block orders: file order, reversed, far jumps both ways, and runs that
// start in the middle of a window and run across later ones.
std::vector<std::vector<std::uint16_t>> Orders() {
  std::vector<std::uint16_t> forward(kBlocks);
  std::iota(forward.begin(), forward.end(), 1);
  std::vector<std::uint16_t> reversed(forward.rbegin(), forward.rend());
  std::vector<std::uint16_t> interleaved;
  for (int i = 0; i < kBlocks / 2; ++i) {
    interleaved.push_back(static_cast<std::uint16_t>(1 + i));
    interleaved.push_back(static_cast<std::uint16_t>(kBlocks - i));
  }
  std::vector<std::uint16_t> runs;
  for (int b = 101; b <= kBlocks; ++b) runs.push_back(static_cast<std::uint16_t>(b));
  for (int b = 37; b <= 100; ++b) runs.push_back(static_cast<std::uint16_t>(b));
  for (int b = 1; b <= 36; ++b) runs.push_back(static_cast<std::uint16_t>(b));
  return {forward, reversed, interleaved, runs};
}

}  // namespace

TEST_F(ParadoxChain, RecordsFollowTheChainWhateverTheFileOrderOfItsBlocks) {
  for (const auto& order : Orders()) {
    SCOPED_TRACE("chain starting at block " + std::to_string(order.front()) + ", then " +
                 std::to_string(order[1]));
    Relink(order);
    std::vector<std::int64_t> want;
    for (std::uint16_t block : order)
      for (int slot = 0; slot < kPerBlock; ++slot) want.push_back((block - 1) * kPerBlock + slot);
    EXPECT_EQ(Ids(), want);
  }
}

TEST_F(ParadoxChain, ALastBlockCutShortAfterItsRecordsReadsWhole) {
  // The file ends right after the last block's records, before its unused tail.
  Write(Bytes().substr(0, headerSize + (kBlocks - 1) * blockSize + 6 + kPerBlock * 104));
  std::unique_ptr<ParadoxTable> t;
  ASSERT_EQ(ParadoxTable::Open(path, {}, t), Ok) << LastErrorMessage();
  ASSERT_EQ(t->recordCount(), static_cast<std::uint32_t>(kPerBlock * kBlocks));
  std::vector<Value> row;
  ASSERT_EQ(t->readRecord(kPerBlock * kBlocks - 1, row), Ok) << LastErrorMessage();
  EXPECT_EQ(std::get<std::int64_t>(row[0]), kPerBlock * kBlocks - 1);
}

TEST_F(ParadoxChain, ALastBlockCutShortInsideItsRecordsFailsNamingTheFile) {
  // The file ends 6 + 10 records into the last block: the other 9 records
  // the block counts are not there to read.
  Write(Bytes().substr(0, headerSize + (kBlocks - 1) * blockSize + 6 + 10 * 104));
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(path, {}, t), ErrCorruptBlock);
  EXPECT_NE(LastErrorMessage().find("CHAIN.DB: the records of block 150 run past the end"),
            std::string::npos)
      << LastErrorMessage();
}

TEST_F(ParadoxChain, AChainIntoABlockWhoseHeaderIsCutOffFailsNamingTheFile) {
  Write(Bytes().substr(0, headerSize + (kBlocks - 1) * blockSize + 3));
  std::unique_ptr<ParadoxTable> t;
  EXPECT_EQ(ParadoxTable::Open(path, {}, t), ErrCorruptBlock);
  EXPECT_NE(LastErrorMessage().find("CHAIN.DB: block 150"), std::string::npos)
      << LastErrorMessage();
}
