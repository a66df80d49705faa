#include "engine/paradox/pxblocks.h"

#include <algorithm>
#include <cstring>

#include "engine/paradox/pxcrypt.h"

namespace engine::paradox {

Result ReadHeaderThrough(const io::File& f, io::Transaction& tx, PxHeader& h) {
  std::uint64_t size = 0;
  if (Result r = tx.size(f, size)) return r;
  if (size < 0x58)
    return Fail(ErrCorruptHeader, f.path() + ": file is too short for a table header");
  std::uint8_t start[4] = {};
  if (Result r = tx.read(f, 0, start, 4)) return r;
  const std::size_t want = std::max<std::size_t>(start[2] | (start[3] << 8), 0x58);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uint64_t>(want, size)));
  if (Result r = tx.read(f, 0, bytes.data(), bytes.size())) return r;
  return h.parse(f.path(), bytes.data(), bytes.size());
}

BlockFile::BlockFile(io::File& file, io::Transaction& tx, const PxHeader& header,
                     std::uint32_t cryptKey)
    : file_(file), tx_(tx), header_(header), writtenHeader_(header.raw), cryptKey_(cryptKey) {}

Result BlockFile::open() {
  const std::size_t bs = header_.blockSize(), rs = header_.recordSize();
  if (rs == 0 || rs + 6 > bs)
    return Fail(ErrCorruptHeader, path() + ": records of " + std::to_string(rs) +
                                      " bytes do not fit blocks of " + std::to_string(bs));
  perBlock_ = static_cast<std::uint16_t>((bs - 6) / rs);
  std::uint64_t size = 0;
  if (Result r = tx_.size(file_, size)) return r;
  const std::uint64_t hs = header_.headerSize();
  const std::uint64_t blocks = size > hs ? (size - hs + bs - 1) / bs : 0;
  if (blocks > 0xFFFF)
    return Fail(ErrCorruptHeader, path() + ": the file holds more blocks than a table can have");
  fileBlocks_ = static_cast<std::uint16_t>(blocks);
  return Ok;
}

Result BlockFile::damaged(std::uint16_t n, const std::string& what) const {
  const bool index = !header_.isDataFile() || header_.fileType() == ftSecondaryX ||
                     header_.fileType() == ftSecondaryXInc || header_.fileType() == ftSecondaryXG ||
                     header_.fileType() == ftSecondaryXGInc;
  return Fail(index ? ErrCorruptIndex : ErrCorruptBlock,
              path() + ": block " + std::to_string(n) + " " + what);
}

Result BlockFile::read(std::uint16_t n, std::uint8_t*& data) {
  auto it = cache_.find(n);
  if (it == cache_.end()) {
    if (n == 0 || n > fileBlocks_) return damaged(n, "lies outside the file");
    const std::size_t bs = header_.blockSize();
    std::uint64_t size = 0;
    if (Result r = tx_.size(file_, size)) return r;
    Cached c;
    c.data.assign(bs, 0);
    // A last block cut short by the end of the file reads as zeros.
    const std::size_t have =
        static_cast<std::size_t>(std::min<std::uint64_t>(bs, size - offsetOf(n)));
    if (Result r = tx_.read(file_, offsetOf(n), c.data.data(), have)) return r;
    if (cryptKey_) DecryptDbBlock(c.data.data(), bs, cryptKey_, n);
    it = cache_.emplace(n, std::move(c)).first;
  }
  data = it->second.data.data();
  return Ok;
}

Result BlockFile::change(std::uint16_t n, std::uint8_t*& data) {
  if (Result r = read(n, data)) return r;
  cache_[n].changed = true;
  return Ok;
}

Result BlockFile::allocate(std::uint16_t& n, std::uint8_t*& data) {
  if (std::uint16_t free = header_.firstFreeBlock()) {
    if (inChain_ && inChain_(free)) return damaged(free, "is on the free list and in the chain");
    if (Result r = change(free, data)) return r;
    header_.setFirstFreeBlock(Next(data));
    n = free;
  } else {
    if (fileBlocks_ == 0xFFFF)
      return Fail(ErrTableFull, path() + ": the file has no room for another block");
    n = ++fileBlocks_;
    Cached c;
    c.data.assign(header_.blockSize(), 0);
    c.changed = true;
    data = cache_.insert_or_assign(n, std::move(c)).first->second.data.data();
    header_.put16(0x0C, fileBlocks_);
  }
  std::memset(data, 0, header_.blockSize());
  return Ok;
}

Result BlockFile::release(std::uint16_t n) {
  std::uint8_t* data;
  if (Result r = change(n, data)) return r;
  std::memset(data, 0, header_.blockSize());
  SetNext(data, header_.firstFreeBlock());
  header_.setFirstFreeBlock(n);
  return Ok;
}

Result BlockFile::count(std::uint16_t n, const std::uint8_t* data, std::uint16_t& out) const {
  const long rs = static_cast<long>(recordSize());
  const long add = static_cast<std::int16_t>(data[4] | (data[5] << 8));
  if (add < -rs || (add + rs) % rs != 0 || (add + rs) / rs > perBlock_)
    return damaged(n, "has an invalid record count");
  out = static_cast<std::uint16_t>((add + rs) / rs);
  return Ok;
}

void BlockFile::setCount(std::uint8_t* data, std::uint16_t count) const {
  const auto add =
      static_cast<std::uint16_t>((static_cast<int>(count) - 1) * static_cast<int>(recordSize()));
  data[4] = add & 0xFF;
  data[5] = add >> 8;
  // What lies past the last record is cleared, so stale copies do not linger.
  std::uint8_t* end = record(data, count);
  std::fill(end, data + header_.blockSize(), 0);
}

void BlockFile::SetNext(std::uint8_t* data, std::uint16_t n) {
  data[0] = n & 0xFF;
  data[1] = n >> 8;
}

void BlockFile::SetPrior(std::uint8_t* data, std::uint16_t n) {
  data[2] = n & 0xFF;
  data[3] = n >> 8;
}

Result BlockFile::linkAfter(std::uint16_t n, std::uint16_t after) {
  std::uint8_t *block, *neighbour;
  const std::uint16_t next = after ? 0 : header_.firstBlock();
  std::uint16_t following = next;
  if (after) {
    if (Result r = change(after, neighbour)) return r;
    following = Next(neighbour);
    SetNext(neighbour, n);
  } else {
    header_.put16(0x0E, n);
  }
  if (following) {
    if (Result r = change(following, neighbour)) return r;
    SetPrior(neighbour, n);
  } else {
    header_.put16(0x10, n);
  }
  if (Result r = change(n, block)) return r;
  SetNext(block, following);
  SetPrior(block, after);
  header_.put16(0x0A, static_cast<std::uint16_t>(header_.blocksInUse() + 1));
  return Ok;
}

Result BlockFile::unlink(std::uint16_t n) {
  std::uint8_t *block, *neighbour;
  if (Result r = change(n, block)) return r;
  const std::uint16_t next = Next(block), prior = Prior(block);
  if (prior) {
    if (Result r = change(prior, neighbour)) return r;
    SetNext(neighbour, next);
  } else {
    header_.put16(0x0E, next);
  }
  if (next) {
    if (Result r = change(next, neighbour)) return r;
    SetPrior(neighbour, prior);
  } else {
    header_.put16(0x10, prior);
  }
  SetNext(block, 0);
  SetPrior(block, 0);
  header_.put16(0x0A, static_cast<std::uint16_t>(header_.blocksInUse() - 1));
  return Ok;
}

Result BlockFile::flush() {
  std::vector<std::uint16_t> changed;
  for (const auto& [n, c] : cache_)
    if (c.changed) changed.push_back(n);
  std::sort(changed.begin(), changed.end());
  // Consecutive blocks go to the transaction in one write, up to 1 MiB.
  const std::size_t bs = header_.blockSize();
  const std::size_t most = std::max<std::size_t>(1, (1u << 20) / bs);
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < changed.size();) {
    std::size_t j = i + 1;
    while (j < changed.size() && j - i < most && changed[j] == changed[j - 1] + 1) ++j;
    out.resize((j - i) * bs);
    for (std::size_t k = i; k < j; ++k) {
      std::uint8_t* to = out.data() + (k - i) * bs;
      std::memcpy(to, cache_[changed[k]].data.data(), bs);
      if (cryptKey_) EncryptDbBlock(to, bs, cryptKey_, changed[k]);
    }
    if (Result r = tx_.write(file_, offsetOf(changed[i]), out.data(), out.size())) return r;
    i = j;
  }
  cache_.clear();
  if (header_.raw != writtenHeader_) {
    if (Result r = tx_.write(file_, 0, header_.raw.data(), header_.raw.size())) return r;
    writtenHeader_ = header_.raw;
  }
  return Ok;
}

}  // namespace engine::paradox
