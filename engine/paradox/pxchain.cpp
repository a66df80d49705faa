#include "engine/paradox/pxchain.h"

#include <algorithm>
#include <cstring>

namespace engine::paradox {

namespace {

constexpr int kMaxLevels = 16;
constexpr std::uint32_t kMaxCount = 0x7FFF;

}  // namespace

std::uint16_t ShortAt(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(((p[0] << 8) | p[1]) ^ 0x8000);
}

void PutBlockNumber(std::uint16_t v, std::uint8_t* p) {
  v ^= 0x8000;
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v & 0xFF);
}

void PutShort(std::uint32_t v, std::uint8_t* p) {
  PutBlockNumber(static_cast<std::uint16_t>(std::min(v, kMaxCount)), p);
}

// ------------------------------------------------------------------ chain

Result RecordChain::count(std::uint16_t n, std::uint16_t& out) {
  std::uint8_t* data;
  if (Result r = file_.read(n, data)) return r;
  return file_.count(n, data, out);
}

// The block of the record at `at` (marked to be written when `changing`)
// and the block's record count.
Result RecordChain::holding(Slot at, bool changing, std::uint8_t*& data, std::uint16_t& count) {
  Result r = changing ? file_.change(at.block, data) : file_.read(at.block, data);
  if (r == Ok) r = file_.count(at.block, data, count);
  if (r == Ok && at.slot >= count)
    return Fail(ErrCorruptBlock, file_.path() + ": block " + std::to_string(at.block) +
                                     " has no record " + std::to_string(at.slot + 1));
  return r;
}

Result RecordChain::read(Slot at, const std::uint8_t*& record) {
  std::uint8_t* data;
  std::uint16_t count;
  if (Result r = holding(at, false, data, count)) return r;
  record = file_.record(data, at.slot);
  return Ok;
}

Result RecordChain::replace(Slot at, const std::uint8_t* record) {
  std::uint8_t* data;
  std::uint16_t count;
  if (Result r = holding(at, true, data, count)) return r;
  std::memcpy(file_.record(data, at.slot), record, file_.recordSize());
  return Ok;
}

// Room in a full block n for a record at `slot`: a new block after it takes
// the records from `keep` on.
Result RecordChain::split(std::uint16_t n, std::uint16_t slot, std::uint16_t& keep,
                          std::uint16_t& added) {
  const std::uint16_t full = file_.perBlock();
  std::uint8_t *block, *fresh;
  if (Result r = file_.change(n, block)) return r;
  // At the chain's end the new block starts empty; a block of one record
  // keeps whichever side of it the new record does not take.
  const bool atEnd = slot == full && BlockFile::Next(block) == 0;
  keep = atEnd ? full : full == 1 ? slot : static_cast<std::uint16_t>(full / 2);
  if (Result r = file_.allocate(added, fresh)) return r;
  if (Result r = file_.linkAfter(added, n)) return r;
  if (listener_) listener_->linked(added, n);
  // Both blocks stay in the cache: the pointers remain good.
  if (Result r = file_.change(n, block)) return r;
  if (Result r = file_.change(added, fresh)) return r;
  const auto moved = static_cast<std::uint16_t>(full - keep);
  std::memcpy(file_.record(fresh, 0), file_.record(block, keep), moved * file_.recordSize());
  file_.setCount(block, keep);
  file_.setCount(fresh, moved);
  if (listener_ && moved) {
    listener_->counted(n, -moved);
    listener_->counted(added, moved);
    if (Result r = listener_->moved(n, added, file_.record(fresh, 0), moved)) return r;
  }
  return Ok;
}

Result RecordChain::put(std::uint16_t n, std::uint16_t slot, const std::uint8_t* record) {
  std::uint8_t* data;
  std::uint16_t count;
  if (Result r = file_.change(n, data)) return r;
  if (Result r = file_.count(n, data, count)) return r;
  std::memmove(file_.record(data, slot + 1), file_.record(data, slot),
               static_cast<std::size_t>(count - slot) * file_.recordSize());
  std::memcpy(file_.record(data, slot), record, file_.recordSize());
  file_.setCount(data, static_cast<std::uint16_t>(count + 1));
  PxHeader& h = file_.header();
  h.setRecordCount(h.recordCount() + 1);
  if (listener_) listener_->counted(n, 1);
  return Ok;
}

Result RecordChain::insert(Slot at, const std::uint8_t* record, Slot& placed,
                           std::uint16_t& added) {
  std::uint16_t count;
  if (Result r = this->count(at.block, count)) return r;
  if (at.slot > count)
    return Fail(ErrCorruptBlock, file_.path() + ": block " + std::to_string(at.block) +
                                     " has no slot " + std::to_string(at.slot + 1));
  placed = at;
  added = 0;
  if (count == file_.perBlock()) {
    std::uint16_t keep;
    if (Result r = split(at.block, at.slot, keep, added)) return r;
    if (at.slot > keep || keep == file_.perBlock())
      placed = {added, static_cast<std::uint16_t>(at.slot - keep)};
  }
  return put(placed.block, placed.slot, record);
}

Result RecordChain::append(const std::uint8_t* record, Slot& placed) {
  std::uint16_t last = file_.header().lastBlock();
  if (last == 0) {
    std::uint8_t* data;
    if (Result r = file_.allocate(last, data)) return r;
    file_.setCount(data, 0);
    if (Result r = file_.linkAfter(last, 0)) return r;
    if (listener_) listener_->linked(last, 0);
  }
  std::uint16_t count, added;
  if (Result r = this->count(last, count)) return r;
  return insert({last, count}, record, placed, added);
}

Result RecordChain::remove(Slot at, bool& emptied) {
  std::uint8_t* data;
  std::uint16_t count;
  if (Result r = holding(at, true, data, count)) return r;
  std::memmove(file_.record(data, at.slot), file_.record(data, at.slot + 1),
               static_cast<std::size_t>(count - at.slot - 1) * file_.recordSize());
  file_.setCount(data, static_cast<std::uint16_t>(count - 1));
  PxHeader& h = file_.header();
  h.setRecordCount(h.recordCount() - 1);
  if (listener_) listener_->counted(at.block, -1);
  emptied = count == 1;
  if (!emptied || at.block == 1) return Ok;
  if (Result r = file_.unlink(at.block)) return r;
  if (listener_) listener_->unlinked(at.block);
  return file_.release(at.block);
}

// ------------------------------------------------------------ sorted file

SortedFile::SortedFile(BlockFile& data, BlockFile& tree, Compare compare, ChainListener* listener)
    : data_(data), tree_(tree), compare_(std::move(compare)), chain_(data, listener) {}

Result SortedFile::open() {
  if (tree_.recordSize() < 7 || tree_.perBlock() < 2)
    return Fail(ErrCorruptIndex, tree_.path() + ": index entries do not fit its blocks");
  if (levels() > kMaxLevels)
    return Fail(ErrCorruptIndex,
                tree_.path() + ": the index claims " + std::to_string(levels()) + " levels");
  if ((levels() == 0) != (data_.header().recordCount() == 0))
    return Fail(ErrCorruptIndex,
                tree_.path() + ": the index does not name the records of " + data_.path());
  return Ok;
}

Result SortedFile::descend(const std::uint8_t* key, bool strict, const Compare& by, Path& path,
                           std::uint16_t& dataBlock) {
  path.clear();
  dataBlock = 0;
  if (levels() == 0) return Ok;
  const std::size_t rs = tree_.recordSize();
  std::uint16_t n = tree_.header().rootBlock();
  for (int level = 0; level < levels(); ++level) {
    std::uint8_t* block;
    std::uint16_t count;
    if (Result r = tree_.read(n, block)) return r;
    if (Result r = tree_.count(n, block, count)) return r;
    if (count == 0)
      return Fail(ErrCorruptIndex, tree_.path() + ": index block " + std::to_string(n) +
                                       " on the way from the root is empty");
    // The last entry whose key is below `key` (or equal, unless strict).
    std::uint16_t lo = 1, hi = count;
    while (lo < hi) {
      const auto mid = static_cast<std::uint16_t>(lo + (hi - lo) / 2);
      const int c = by(block + 6 + mid * rs, key);
      if (c < 0 || (c == 0 && !strict))
        lo = static_cast<std::uint16_t>(mid + 1);
      else
        hi = mid;
    }
    path.push_back({n, static_cast<std::uint16_t>(lo - 1)});
    n = ShortAt(block + 6 + (lo - 1) * rs + keySize());
  }
  dataBlock = n;
  return Ok;
}

Result SortedFile::find(const std::uint8_t* key, Slot& at, bool& exact, Slot& match,
                        const Compare* by) {
  Path path;
  return locate(key, by ? *by : compare_, path, at, exact, match);
}

Result SortedFile::locate(const std::uint8_t* key, const Compare& order, Path& path, Slot& at,
                          bool& exact, Slot& match) {
  exact = false;
  std::uint16_t n;
  if (Result r = descend(key, true, order, path, n)) return r;
  if (n == 0) n = data_.header().firstBlock();
  if (n != 0 && !data_.inChain(n))
    return Fail(ErrCorruptIndex, tree_.path() + ": the index leads to block " + std::to_string(n) +
                                     ", which is not in the chain of " + data_.path());
  at = match = {n, 0};
  if (n == 0) return Ok;
  std::uint8_t* block;
  std::uint16_t count;
  if (Result r = data_.read(n, block)) return r;
  if (Result r = data_.count(n, block, count)) return r;
  std::uint16_t lo = 0, hi = count;
  while (lo < hi) {
    const auto mid = static_cast<std::uint16_t>(lo + (hi - lo) / 2);
    if (order(data_.record(block, mid), key) < 0)
      lo = static_cast<std::uint16_t>(mid + 1);
    else
      hi = mid;
  }
  at.slot = lo;
  match = at;
  // Past the block's last record the next record is the next block's first.
  std::uint16_t next = BlockFile::Next(block);
  for (int hops = 0; match.slot == count && next != 0; ++hops) {
    if (hops > 0xFFFF) return Fail(ErrCorruptBlock, data_.path() + ": the block chain loops");
    if (Result r = data_.read(next, block)) return r;
    if (Result r = data_.count(next, block, count)) return r;
    match = {next, 0};
    next = BlockFile::Next(block);
  }
  exact = match.slot < count && order(data_.record(block, match.slot), key) == 0;
  return Ok;
}

Result SortedFile::firstKeyOf(std::uint16_t child, bool leaf, const std::uint8_t*& key) {
  BlockFile& file = leaf ? data_ : tree_;
  std::uint8_t* block;
  std::uint16_t count;
  if (Result r = file.read(child, block)) return r;
  if (Result r = file.count(child, block, count)) return r;
  if (count == 0)
    return Fail(ErrCorruptIndex, tree_.path() + ": the index names block " + std::to_string(child) +
                                     ", which is empty");
  key = file.record(block, 0);
  return Ok;
}

Result SortedFile::sumOf(std::uint16_t treeBlock, std::uint32_t& sum) {
  std::uint8_t* block;
  std::uint16_t count;
  if (Result r = tree_.read(treeBlock, block)) return r;
  if (Result r = tree_.count(treeBlock, block, count)) return r;
  sum = 0;
  for (std::uint16_t i = 0; i < count; ++i) sum += ShortAt(tree_.record(block, i) + keySize() + 2);
  sum = std::min(sum, kMaxCount);
  return Ok;
}

// Writes entry `entry` of `treeBlock` for `child`: its first key and count.
Result SortedFile::setEntry(std::uint16_t treeBlock, std::uint16_t entry, std::uint16_t child,
                            bool leaf) {
  const std::uint8_t* key;
  if (Result r = firstKeyOf(child, leaf, key)) return r;
  std::uint32_t count = 0;
  if (leaf) {
    std::uint16_t records;
    if (Result r = chain_.count(child, records)) return r;
    count = records;
  } else if (Result r = sumOf(child, count)) {
    return r;
  }
  std::uint8_t* block;
  if (Result r = tree_.change(treeBlock, block)) return r;
  std::uint8_t* e = tree_.record(block, entry);
  std::memmove(e, key, keySize());
  PutBlockNumber(child, e + keySize());
  PutShort(count, e + keySize() + 2);
  PutShort(0, e + keySize() + 4);
  return Ok;
}

// Brings the entries of `path` from `level` up to the root in line with
// what lies below them; `child` is the block below path[level].
Result SortedFile::refreshUp(const Path& path, int level, std::uint16_t child) {
  for (int l = level; l >= 0; --l) {
    const bool leaf = l + 1 == static_cast<int>(path.size());
    if (Result r = setEntry(path[l].block, path[l].entry, child, leaf)) return r;
    child = path[l].block;
  }
  return Ok;
}

void SortedFile::addEntries(int delta) {
  PxHeader& h = tree_.header();
  h.setRecordCount(static_cast<std::uint32_t>(static_cast<std::int64_t>(h.recordCount()) + delta));
}

Result SortedFile::startTree(std::uint16_t dataBlock) {
  std::uint16_t root;
  std::uint8_t* block;
  if (Result r = tree_.allocate(root, block)) return r;
  tree_.setCount(block, 1);
  if (Result r = tree_.linkAfter(root, tree_.header().lastBlock())) return r;
  tree_.header().setRoot(root, 1);
  addEntries(1);
  return setEntry(root, 0, dataBlock, true);
}

Result SortedFile::newRoot(std::uint16_t left, std::uint16_t right, bool leaf) {
  std::uint16_t root;
  std::uint8_t* block;
  if (Result r = tree_.allocate(root, block)) return r;
  tree_.setCount(block, 2);
  if (Result r = tree_.linkAfter(root, tree_.header().lastBlock())) return r;
  tree_.header().setRoot(root, static_cast<std::uint8_t>(levels() + 1));
  addEntries(2);
  if (Result r = setEntry(root, 0, left, leaf)) return r;
  return setEntry(root, 1, right, leaf);
}

// Adds an entry for `child` right after path[level]'s entry; a full tree
// block splits, and the split goes up the path.
Result SortedFile::insertEntry(Path& path, int level, std::uint16_t child) {
  const bool leaf = level + 1 == static_cast<int>(path.size());
  const std::uint16_t n = path[level].block;
  const auto at = static_cast<std::uint16_t>(path[level].entry + 1);
  const std::size_t rs = tree_.recordSize();
  std::uint8_t* block;
  std::uint16_t count;
  if (Result r = tree_.change(n, block)) return r;
  if (Result r = tree_.count(n, block, count)) return r;
  addEntries(1);
  if (count < tree_.perBlock()) {
    std::memmove(tree_.record(block, at + 1), tree_.record(block, at), (count - at) * rs);
    tree_.setCount(block, static_cast<std::uint16_t>(count + 1));
    if (Result r = setEntry(n, at, child, leaf)) return r;
    return level > 0 ? refreshUp(path, level - 1, n) : Result{Ok};
  }
  // Full: entries [keep, count] (the new one counted) go to a new block.
  bool rightmost = at == count;
  for (int l = 0; l < level && rightmost; ++l) {
    std::uint8_t* upper;
    std::uint16_t entries;
    if (Result r = tree_.read(path[l].block, upper)) return r;
    if (Result r = tree_.count(path[l].block, upper, entries)) return r;
    rightmost = path[l].entry + 1 == entries;
  }
  const auto keep = static_cast<std::uint16_t>(rightmost ? count : (count + 1) / 2);
  std::vector<std::uint8_t> all(static_cast<std::size_t>(count + 1) * rs);
  std::memcpy(all.data(), tree_.record(block, 0), at * rs);
  std::memcpy(all.data() + (at + 1) * rs, tree_.record(block, at), (count - at) * rs);
  std::uint16_t added;
  std::uint8_t* fresh;
  if (Result r = tree_.allocate(added, fresh)) return r;
  if (Result r = tree_.linkAfter(added, n)) return r;
  if (Result r = tree_.change(n, block)) return r;
  if (Result r = tree_.change(added, fresh)) return r;
  std::memcpy(tree_.record(block, 0), all.data(), keep * rs);
  std::memcpy(tree_.record(fresh, 0), all.data() + keep * rs, (count + 1 - keep) * rs);
  tree_.setCount(block, keep);
  tree_.setCount(fresh, static_cast<std::uint16_t>(count + 1 - keep));
  if (at < keep) {
    if (Result r = setEntry(n, at, child, leaf)) return r;
  } else if (Result r = setEntry(added, static_cast<std::uint16_t>(at - keep), child, leaf)) {
    return r;
  }
  if (level == 0) return newRoot(n, added, false);
  if (Result r = setEntry(path[level - 1].block, path[level - 1].entry, n, false)) return r;
  return insertEntry(path, level - 1, added);
}

// Takes path[level]'s entry out; a tree block left empty goes too.
Result SortedFile::removeEntry(Path& path, int level) {
  const std::uint16_t n = path[level].block, at = path[level].entry;
  const std::size_t rs = tree_.recordSize();
  std::uint8_t* block;
  std::uint16_t count;
  if (Result r = tree_.change(n, block)) return r;
  if (Result r = tree_.count(n, block, count)) return r;
  std::memmove(tree_.record(block, at), tree_.record(block, at + 1), (count - at - 1) * rs);
  tree_.setCount(block, static_cast<std::uint16_t>(count - 1));
  addEntries(-1);
  if (count > 1) return level > 0 ? refreshUp(path, level - 1, n) : Result{Ok};
  if (Result r = tree_.unlink(n)) return r;
  if (Result r = tree_.release(n)) return r;
  if (level > 0) return removeEntry(path, level - 1);
  tree_.header().setRoot(1, 0);  // the tree is empty
  return Ok;
}

Result SortedFile::insert(const std::uint8_t* record, Slot& placed, bool& duplicate) {
  Path path;
  Slot at, match;
  if (Result r = locate(record, compare_, path, at, duplicate, match)) return r;
  if (duplicate) return Ok;
  std::uint16_t added = 0;
  if (at.block == 0) {
    if (Result r = chain_.append(record, placed)) return r;
  } else if (Result r = chain_.insert(at, record, placed, added)) {
    return r;
  }
  if (path.empty()) return startTree(placed.block);
  const int leaf = static_cast<int>(path.size()) - 1;
  if (Result r = refreshUp(path, leaf, at.block)) return r;
  return added ? insertEntry(path, leaf, added) : Result{Ok};
}

Result SortedFile::remove(Slot at) {
  const std::uint8_t* first;
  if (Result r = firstKeyOf(at.block, true, first)) return r;
  std::vector<std::uint8_t> key(first, first + keySize());
  Path path;
  std::uint16_t leafBlock;
  if (Result r = descend(key.data(), false, compare_, path, leafBlock)) return r;
  if (leafBlock != at.block)
    return Fail(ErrCorruptIndex, tree_.path() + ": the index does not lead to block " +
                                     std::to_string(at.block) + " of " + data_.path());
  bool emptied;
  if (Result r = chain_.remove(at, emptied)) return r;
  const int leaf = static_cast<int>(path.size()) - 1;
  if (emptied) return removeEntry(path, leaf);
  return refreshUp(path, leaf, at.block);
}

}  // namespace engine::paradox
