#include "engine/paradox/pxindex.h"

#include <algorithm>
#include <unistd.h>

#include <cstring>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxblocks.h"
#include "engine/paradox/pxchain.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"

namespace engine::paradox {

namespace {

struct PxFile {
  std::string path;
  std::string data;
  PxHeader header;
  std::vector<bool> visited;  // by block number: a tree reaches each block once
};

Result ReadLevel(PxFile& px, std::uint16_t blockNo, int level, int levels,
                 std::vector<IndexEntry>& out, int depth) {
  const PxHeader& h = px.header;
  const std::size_t bs = h.blockSize(), rs = h.recordSize();
  const std::size_t at = h.headerSize() + static_cast<std::size_t>(blockNo - 1) * bs;
  if (blockNo == 0 || blockNo > h.totalBlocks() || at + 6 > px.data.size() || depth > kMaxIndexLevels)
    return Fail(ErrCorruptIndex, px.path + ": index block " + std::to_string(blockNo) +
                                     " lies outside the file");
  if (px.visited[blockNo])
    return Fail(ErrCorruptIndex, px.path + ": index block " + std::to_string(blockNo) +
                                     " is reached twice");
  px.visited[blockNo] = true;
  const auto* p = reinterpret_cast<const std::uint8_t*>(px.data.data()) + at;
  std::int16_t add = static_cast<std::int16_t>(p[4] | (p[5] << 8));
  long count = (add + static_cast<long>(rs)) / static_cast<long>(rs);
  // A last block may be cut short by the end of the file, its entries not.
  if (count < 0 || 6 + count * rs > bs || at + 6 + count * rs > px.data.size())
    return Fail(ErrCorruptIndex, px.path + ": index block " + std::to_string(blockNo) +
                                     " has an invalid entry count");
  const std::size_t keySize = rs - 6;
  for (long i = 0; i < count; ++i) {
    const std::uint8_t* e = p + 6 + i * rs;
    IndexEntry entry{std::string(reinterpret_cast<const char*>(e), keySize), ShortAt(e + keySize),
                     ShortAt(e + keySize + 2)};
    if (level + 1 < levels) {
      if (Result r = ReadLevel(px, entry.block, level + 1, levels, out, depth + 1)) return r;
    } else {
      out.push_back(std::move(entry));
    }
  }
  return Ok;
}

}  // namespace

std::size_t KeySize(const PxHeader& db) {
  std::size_t n = 0;
  for (int i = 0; i < db.keyFieldCount(); ++i) n += db.fields[i].width();
  return n;
}

Result ReadPrimaryIndex(const std::string& pxPath, std::vector<IndexEntry>& leaves,
                        PxHeader* header) {
  PxFile px;
  px.path = pxPath;
  if (Result r = io::ReadWholeFile(pxPath, px.data)) return r;
  if (Result r = px.header.parse(pxPath, reinterpret_cast<const std::uint8_t*>(px.data.data()),
                                 px.data.size()))
    return r;
  if (px.header.fileType() != ftPrimaryIndex)
    return Fail(ErrCorruptIndex, pxPath + ": not a primary index file");
  if (Result r = px.header.checkFileSize(pxPath, px.data.size())) return r;
  leaves.clear();
  if (header) *header = px.header;
  if (px.header.indexLevels() == 0) return Ok;
  px.visited.assign(px.header.totalBlocks() + 1u, false);
  return ReadLevel(px, px.header.rootBlock(), 0, px.header.indexLevels(), leaves, 0);
}

Result WritePrimaryIndex(const std::string& tablePath, const PxHeader& db,
                         const std::vector<IndexEntry>& leaves, io::Transaction& tx) {
  const std::string pxPath = FamilyPath(tablePath, ".PX");
  io::File file;
  PxHeader h;
  std::string old;
  bool reuse = io::FileExists(pxPath) && io::ReadWholeFile(pxPath, old) == Ok &&
               h.parse(pxPath, reinterpret_cast<const std::uint8_t*>(old.data()), old.size()) == Ok &&
               h.fileType() == ftPrimaryIndex && h.recordSize() == KeySize(db) + 6;
  if (!reuse) {
    std::string name = pxPath.substr(pxPath.find_last_of('/') + 1);
    h = BuildPxHeader(db, name, std::min<std::uint32_t>(std::max<std::uint32_t>(db.blockSize(), 2048), 4096));
  }
  if (reuse) {
    if (Result r = file.open(pxPath, io::File::Mode::ReadWrite)) return r;
  } else {
    // A missing or unusable index is rebuilt as a new file of the change,
    // so that undoing the change removes it again.
    if (io::FileExists(pxPath) && ::unlink(pxPath.c_str()) != 0)
      return Fail(ErrAccessDenied, pxPath + ": cannot replace the damaged index");
    if (Result r = tx.create(file, pxPath)) return r;
  }

  const std::size_t bs = h.blockSize(), rs = h.recordSize();
  const std::size_t perBlock = (bs - 6) / rs;
  std::vector<std::vector<std::uint8_t>> blocks;
  std::vector<IndexEntry> level = leaves;
  int levels = 0;
  std::uint32_t entries = 0;
  while (!level.empty()) {
    ++levels;
    entries += static_cast<std::uint32_t>(level.size());
    std::vector<IndexEntry> upper;
    for (std::size_t i = 0; i < level.size(); i += perBlock) {
      std::size_t n = std::min(perBlock, level.size() - i);
      std::vector<std::uint8_t> b(bs, 0);
      std::int16_t add = static_cast<std::int16_t>((n - 1) * rs);
      b[4] = static_cast<std::uint16_t>(add) & 0xFF;
      b[5] = static_cast<std::uint16_t>(add) >> 8;
      std::uint32_t sum = 0;
      for (std::size_t k = 0; k < n; ++k) {
        std::uint8_t* e = b.data() + 6 + k * rs;
        std::memcpy(e, level[i + k].key.data(), rs - 6);
        PutBlockNumber(level[i + k].block, e + rs - 6);
        PutShort(level[i + k].count, e + rs - 4);
        PutShort(0, e + rs - 2);
        sum += level[i + k].count;
      }
      blocks.push_back(std::move(b));
      upper.push_back({level[i].key, static_cast<std::uint16_t>(blocks.size()), sum});
    }
    if (upper.size() == 1) break;
    level = std::move(upper);
  }
  const std::uint16_t total = static_cast<std::uint16_t>(blocks.size());
  for (std::uint16_t n = 1; n <= total; ++n) {  // one chain through all levels
    auto& b = blocks[n - 1];
    std::uint16_t next = n < total ? n + 1 : 0, prev = n - 1;
    b[0] = next & 0xFF;
    b[1] = next >> 8;
    b[2] = prev & 0xFF;
    b[3] = prev >> 8;
  }
  h.setRecordCount(entries);
  h.setBlocks(total, total, total ? 1 : 0, total);
  h.setRoot(total ? total : 1, static_cast<std::uint8_t>(levels));
  h.setFirstFreeBlock(0);  // the file is rewritten whole: an old free list names nothing now
  h.raw[0x2C] = db.raw[0x2D];
  h.clearModifiedFlags();
  if (Result r = tx.resize(file, h.headerSize() + static_cast<std::uint64_t>(total) * bs)) return r;
  if (Result r = tx.write(file, 0, h.raw.data(), h.raw.size())) return r;
  for (std::uint16_t n = 1; n <= total; ++n)
    if (Result r = tx.write(file, h.headerSize() + static_cast<std::uint64_t>(n - 1) * bs,
                            blocks[n - 1].data(), bs))
      return r;
  return Ok;
}

Result RebuildPrimaryIndex(const std::string& tablePath, BlockFile& db, io::Transaction& tx) {
  std::vector<IndexEntry> leaves;
  const std::size_t keySize = KeySize(db.header());
  std::uint16_t seen = 0;
  for (std::uint16_t n = db.header().firstBlock(); n != 0;) {
    if (++seen == 0)
      return Fail(ErrCorruptBlock, db.path() + ": the block chain loops");
    std::uint8_t* block;
    std::uint16_t count;
    if (Result r = db.read(n, block)) return r;
    if (Result r = db.count(n, block, count)) return r;
    if (count > 0)
      leaves.push_back({std::string(reinterpret_cast<const char*>(block + 6), keySize), n, count});
    n = BlockFile::Next(block);
    // Reading is all this does so far: the cache may simply go.
    if (seen % 256 == 0)
      if (Result r = db.flush()) return r;
  }
  return WritePrimaryIndex(tablePath, db.header(), leaves, tx);
}

}  // namespace engine::paradox
