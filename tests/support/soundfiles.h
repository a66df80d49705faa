// Checks, from the bytes on disk, that a table's files agree with each
// other: the .DB chain with its header and free list, the .PX tree with the
// .DB blocks it names, each index's .X with its records and its .Y tree.
// Written independently of the engine's writer, so that it catches what the
// writer gets wrong.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/io/file.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"

namespace soundfiles {

struct RawFile {
  std::string path, bytes;
  engine::paradox::PxHeader h;
  bool load(const std::string& p) {
    path = p;
    if (engine::io::ReadWholeFile(p, bytes) != engine::Ok) return false;
    return h.parse(p, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()) ==
           engine::Ok;
  }
  std::size_t blocks() const {
    return (bytes.size() - h.headerSize() + h.blockSize() - 1) / h.blockSize();
  }
  const std::uint8_t* block(std::uint16_t n) const {
    return reinterpret_cast<const std::uint8_t*>(bytes.data()) + h.headerSize() +
           static_cast<std::size_t>(n - 1) * h.blockSize();
  }
  std::uint16_t next(std::uint16_t n) const { return block(n)[0] | (block(n)[1] << 8); }
  std::uint16_t prior(std::uint16_t n) const { return block(n)[2] | (block(n)[3] << 8); }
  int count(std::uint16_t n) const {
    const int add = static_cast<std::int16_t>(block(n)[4] | (block(n)[5] << 8));
    return (add + h.recordSize()) / h.recordSize();
  }
  std::string record(std::uint16_t n, int slot) const {
    return std::string(reinterpret_cast<const char*>(block(n)) + 6 + slot * h.recordSize(),
                       h.recordSize());
  }
};

inline std::uint16_t Short(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(((p[0] << 8) | p[1]) ^ 0x8000);
}

// The chain from the header: its blocks in order, each linked back to the
// one before; the header's counts; a free list that shares no block with it.
inline std::vector<std::uint16_t> CheckChain(const RawFile& f) {
  std::vector<std::uint16_t> chain;
  std::set<std::uint16_t> seen;
  std::uint16_t prior = 0;
  std::uint32_t records = 0;
  for (std::uint16_t n = f.h.firstBlock(); n != 0; n = f.next(n)) {
    EXPECT_TRUE(n <= f.blocks() && seen.insert(n).second) << f.path << ": chain breaks at " << n;
    if (n > f.blocks() || chain.size() > f.blocks()) break;
    EXPECT_EQ(f.prior(n), prior) << f.path << ": block " << n << " links back wrongly";
    EXPECT_GE(f.count(n), 0) << f.path << ": block " << n;
    records += f.count(n);
    chain.push_back(n);
    prior = n;
  }
  EXPECT_EQ(f.h.lastBlock(), prior) << f.path;
  EXPECT_EQ(f.h.blocksInUse(), chain.size()) << f.path;
  EXPECT_EQ(f.h.totalBlocks(), f.blocks()) << f.path;
  if (f.h.isDataFile()) {
    EXPECT_EQ(f.h.recordCount(), records) << f.path;
  }
  for (std::uint16_t n = f.h.firstFreeBlock(); n != 0; n = f.next(n)) {
    EXPECT_TRUE(n <= f.blocks() && seen.insert(n).second) << f.path << ": free list meets " << n;
    if (n > f.blocks() || seen.size() > f.blocks()) break;
  }
  return chain;
}

// Walks a tree (.PX or .Y) over its data file (.DB or .X): every entry
// names its child's first key and count (upper levels: the sum, at most
// 0x7FFF); the leaves name exactly the data blocks holding records, in
// chain order; the header counts every entry and every tree block, and the
// tree file's chain holds exactly the tree's blocks.
inline void CheckTree(const RawFile& data, const RawFile& tree) {
  const std::vector<std::uint16_t> chain = CheckChain(data);
  const std::vector<std::uint16_t> treeChain = CheckChain(tree);
  const std::size_t keySize = tree.h.recordSize() - 6;
  std::vector<std::uint16_t> leaves;
  std::set<std::uint16_t> treeBlocks;
  std::uint32_t entries = 0;
  // Returns the sum below `n` at `level` (1 = leaf level).
  std::function<std::uint32_t(std::uint16_t, int, const std::string&)> walk =
      [&](std::uint16_t n, int level, const std::string& firstKey) -> std::uint32_t {
    EXPECT_TRUE(n >= 1 && n <= tree.blocks() && treeBlocks.insert(n).second)
        << tree.path << ": tree block " << n;
    if (n < 1 || n > tree.blocks()) return 0;
    const int count = tree.count(n);
    EXPECT_GT(count, 0) << tree.path << ": empty tree block " << n;
    if (count > 0) {
      EXPECT_EQ(tree.record(n, 0).substr(0, keySize), firstKey) << tree.path << ": " << n;
    }
    std::uint32_t sum = 0;
    for (int i = 0; i < count; ++i) {
      ++entries;
      const std::string e = tree.record(n, i);
      const auto* p = reinterpret_cast<const std::uint8_t*>(e.data()) + keySize;
      const std::uint16_t child = Short(p), stored = Short(p + 2);
      std::uint32_t below;
      if (level == 1) {
        leaves.push_back(child);
        EXPECT_TRUE(child >= 1 && child <= data.blocks()) << tree.path << ": names block " << child;
        if (child < 1 || child > data.blocks()) continue;
        below = static_cast<std::uint32_t>(data.count(child));
        if (below > 0) {
          EXPECT_EQ(data.record(child, 0).substr(0, keySize), e.substr(0, keySize))
              << tree.path << ": key of data block " << child;
        }
      } else {
        below = walk(child, level - 1, e.substr(0, keySize));
      }
      EXPECT_EQ(stored, std::min<std::uint32_t>(below, 0x7FFF)) << tree.path << ": count in " << n;
      sum += below;
    }
    return sum;
  };
  if (tree.h.indexLevels() > 0) {
    const std::uint16_t root = tree.h.rootBlock();
    const std::string first = tree.record(root, 0).substr(0, keySize);
    walk(root, tree.h.indexLevels(), first);
  }
  std::vector<std::uint16_t> holding;
  for (std::uint16_t n : chain)
    if (data.count(n) > 0) holding.push_back(n);
  EXPECT_EQ(leaves, holding) << tree.path << ": the leaves do not name the chain";
  EXPECT_EQ(tree.h.recordCount(), entries) << tree.path;
  EXPECT_EQ(std::set<std::uint16_t>(treeChain.begin(), treeChain.end()), treeBlocks)
      << tree.path << ": the chain does not hold the tree's blocks";
}

// Every file of the table at `path` checked; secondary indexes hold exactly
// the entries the records call for.
inline void ExpectSound(const std::string& path) {
  using namespace engine::paradox;
  RawFile db;
  ASSERT_TRUE(db.load(path)) << path;
  if (db.h.isKeyed()) {
    RawFile px;
    ASSERT_TRUE(px.load(FamilyPath(path, ".PX"))) << path;
    CheckTree(db, px);
  } else {
    CheckChain(db);
  }
  std::vector<SecondaryIndex> indexes;
  ASSERT_EQ(ReadSecondaryIndexes(path, db.h, indexes), engine::Ok) << engine::LastErrorMessage();
  for (const SecondaryIndex& ix : indexes) {
    RawFile x, y;
    ASSERT_TRUE(x.load(ix.xPath) && y.load(ix.yPath)) << ix.xPath;
    CheckTree(x, y);
    std::vector<std::string> stored, expected;
    for (std::uint16_t n : CheckChain(x))
      for (int i = 0; i < x.count(n); ++i) stored.push_back(x.record(n, i));
    ASSERT_EQ(ExpectedIndexRecords(path, db.h, ix, expected), engine::Ok)
        << engine::LastErrorMessage();
    EXPECT_EQ(stored.size(), expected.size()) << ix.xPath << ": entries";
    const auto differ =
        std::mismatch(stored.begin(), stored.end(), expected.begin(), expected.end());
    EXPECT_TRUE(differ.first == stored.end() && differ.second == expected.end())
        << ix.xPath << ": entry " << (differ.first - stored.begin()) << " differs";
  }
}

}  // namespace soundfiles
