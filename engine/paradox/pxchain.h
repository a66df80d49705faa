// Records in a chain of blocks, and the sorted files built on it: a keyed
// table's .DB with its .PX, an index's .X with its .Y.
//
// A change touches the blocks it needs. Placing a record in a full block
// splits it: a record going past the last record of the chain's last block
// starts a new block, anywhere else the block splits in half. A block left
// without records leaves the chain for the free list (block 1 stays, empty,
// as other programs keep it).
//
// The tree of a sorted file (.PX over .DB blocks, .Y over .X blocks) has
// entries of the key, a child block and a record count, each number stored
// as a Short. The leaf level names the data blocks that hold records, each
// with its first key and count; every level above names the tree blocks
// below with their first key and the sum of their counts (at most 0x7FFF).
// The root is at header 0x1E, the number of levels at 0x20; the header
// counts the entries of every level. A split tree block, and a new root,
// join the tree file's block chain, which mixes levels: the tree is always
// walked from its root.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/pxblocks.h"

namespace engine::paradox {

// Where a record is: its block and its slot in the block (0-based).
struct Slot {
  std::uint16_t block = 0;
  std::uint16_t slot = 0;
};

// Told how the chain changes, so that what follows the records (the
// table's record positions, its secondary indexes) can follow them.
class ChainListener {
 public:
  virtual ~ChainListener() = default;
  virtual void linked(std::uint16_t block, std::uint16_t after) { (void)block, (void)after; }
  virtual void unlinked(std::uint16_t block) { (void)block; }
  virtual void counted(std::uint16_t block, int delta) { (void)block, (void)delta; }
  // A split moved `count` records (now at slots 0.. of block `to`) out of block `from`.
  virtual Result moved(std::uint16_t from, std::uint16_t to, const std::uint8_t* records,
                       std::uint16_t count) {
    (void)from, (void)to, (void)records, (void)count;
    return Ok;
  }
};

class RecordChain {
 public:
  RecordChain(BlockFile& file, ChainListener* listener) : file_(file), listener_(listener) {}
  BlockFile& file() { return file_; }

  // Puts `record` at `at` (slot 0..count of its block); `placed` is where
  // it went, after a split perhaps in the block the split added (`added`,
  // else 0).
  Result insert(Slot at, const std::uint8_t* record, Slot& placed, std::uint16_t& added);
  // Puts `record` after the last record of the chain.
  Result append(const std::uint8_t* record, Slot& placed);
  // Removes the record at `at`; `emptied` tells that its block has none left.
  Result remove(Slot at, bool& emptied);
  Result read(Slot at, const std::uint8_t*& record);
  Result replace(Slot at, const std::uint8_t* record);
  // Records in block n.
  Result count(std::uint16_t n, std::uint16_t& out);

 private:
  Result split(std::uint16_t n, std::uint16_t slot, std::uint16_t& keep, std::uint16_t& added);
  Result put(std::uint16_t n, std::uint16_t slot, const std::uint8_t* record);
  Result holding(Slot at, bool changing, std::uint8_t*& data, std::uint16_t& count);

  BlockFile& file_;
  ChainListener* listener_;
};

class SortedFile {
 public:
  // Orders two keys: records and tree entries start with their key.
  using Compare = std::function<int(const std::uint8_t* a, const std::uint8_t* b)>;

  SortedFile(BlockFile& data, BlockFile& tree, Compare compare, ChainListener* listener);
  // Checks that the tree file fits the data file.
  Result open();
  RecordChain& chain() { return chain_; }

  // The place of the first record whose key is not less than `key` by
  // `by` (default: the whole key; a compare over leading key fields may
  // find several equal records). `at` is where a record with that key
  // goes: a slot of a block, possibly just past its last record. `match`
  // names the record found when `exact`.
  Result find(const std::uint8_t* key, Slot& at, bool& exact, Slot& match,
              const Compare* by = nullptr);
  // Puts a record at its key's place; a record with an equal key refuses
  // it (`duplicate`, nothing changed).
  Result insert(const std::uint8_t* record, Slot& placed, bool& duplicate);
  // Removes the record at `at`.
  Result remove(Slot at);

 private:
  struct Step {
    std::uint16_t block = 0;
    std::uint16_t entry = 0;
  };
  using Path = std::vector<Step>;

  std::size_t keySize() const { return tree_.recordSize() - 6; }
  int levels() const { return tree_.header().indexLevels(); }
  Result descend(const std::uint8_t* key, bool strict, const Compare& by, Path& path,
                 std::uint16_t& dataBlock);
  Result locate(const std::uint8_t* key, const Compare& order, Path& path, Slot& at, bool& exact,
                Slot& match);
  Result firstKeyOf(std::uint16_t child, bool leaf, const std::uint8_t*& key);
  Result sumOf(std::uint16_t treeBlock, std::uint32_t& sum);
  Result setEntry(std::uint16_t treeBlock, std::uint16_t entry, std::uint16_t child, bool leaf);
  Result refreshUp(const Path& path, int level, std::uint16_t child);
  Result insertEntry(Path& path, int level, std::uint16_t child);
  Result removeEntry(Path& path, int level);
  Result newRoot(std::uint16_t left, std::uint16_t right, bool leaf);
  Result startTree(std::uint16_t dataBlock);
  void addEntries(int delta);

  BlockFile& data_;
  BlockFile& tree_;
  Compare compare_;
  RecordChain chain_;
};

// Numbers in tree entries: 2-byte Shorts. Block numbers take all 16 bits;
// counts above 0x7FFF are stored as 0x7FFF.
std::uint16_t ShortAt(const std::uint8_t* p);
void PutBlockNumber(std::uint16_t block, std::uint8_t* p);
void PutShort(std::uint32_t count, std::uint8_t* p);

}  // namespace engine::paradox
