#include "engine/paradox/pxblob.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "engine/paradox/pxcrypt.h"

namespace engine::paradox {

namespace {

constexpr std::uint32_t kBlock = 4096;
// Encryption transforms 256-byte pieces of a block, so encrypted files are
// read and written in multiples of it, starting at block boundaries.
constexpr std::size_t kCryptUnit = 256;

constexpr std::uint8_t kHeaderBlock = 0;
constexpr std::uint8_t kSingleBlob = 2;
constexpr std::uint8_t kSubAllocated = 3;
constexpr std::uint8_t kFreeBlock = 4;
constexpr std::uint16_t kMaxBlocks = 0xFFFF;  // a block length is a u16

// A block of its own: type, u16 blocks, u32 length, u16 modification
// number, then the value.
constexpr std::size_t kSingleHeader = 9;
constexpr unsigned kSingleIndex = 0xFF;

// A sub-allocated block: a 12-byte header, 64 entries of 5 bytes (chunk
// offset, chunk count, u16 modification number, bytes used in the last
// chunk, 0 when deleted), then 16-byte chunks from chunk 0x15 on.
constexpr std::size_t kChunk = 16;
constexpr unsigned kChunks = kBlock / kChunk;
constexpr unsigned kFirstChunk = 0x15;
constexpr unsigned kEntries = 64;
constexpr std::size_t kEntryTable = 12;
constexpr std::size_t kEntrySize = 5;
constexpr std::size_t kEntryArea = 512;  // entry table rounded up to kCryptUnit
constexpr std::size_t kMaxSubAllocated = (kChunks - kFirstChunk) * kChunk;

// Header block fields.
constexpr std::size_t kHeaderCountAt = 0x01;
constexpr std::size_t kModCountAt = 0x03;
constexpr std::size_t kBlockSizeAt = 0x0B;
constexpr std::size_t kSubBlockSizeAt = 0x0D;
constexpr std::size_t kChunkSizeAt = 0x10;
constexpr std::size_t kEntryCountAt = 0x11;
constexpr std::size_t kSubLimitAt = 0x13;
// Other programs leave a pointer to a block with free space at 0x38 (the
// block offset with a small number in its low byte, then the number of free
// chunks or blocks). We do not write such pointers; we only clear one
// whose block we take or change, so it never points at space in use.
constexpr std::size_t kHintAt = 0x38;
// Shared blocks of unknown room a write looks into before starting a new one.
constexpr int kMaxProbes = 8;
constexpr std::size_t kHintSize = 8;

std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string Hex(std::uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

std::size_t RoundUp(std::size_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

// The header block of a new file, with the values every .MB file we know
// carries: block size, sub-block size, chunk size, entries per sub-allocated
// block and sub-allocation limit, plus constants of unknown meaning that are
// copied as found.
void FillNewHeader(std::uint8_t* h) {
  h[0] = kHeaderBlock;
  Put16(h + kHeaderCountAt, 1);
  Put16(h + kModCountAt, 1);
  const std::uint8_t signature[] = {0x82, 0x73, 0x02, 0x00, 0x29};
  std::memcpy(h + 0x05, signature, sizeof signature);
  Put16(h + kBlockSizeAt, kBlock);
  Put16(h + kSubBlockSizeAt, kBlock);
  h[kChunkSizeAt] = kChunk;
  Put16(h + kEntryCountAt, kEntries);
  Put16(h + kSubLimitAt, 2048);
  Put16(h + 0x29, 0x02A1);
}

// A field of the header that describes the layout must be 0 (not recorded)
// or the value this reader is built for.
bool LayoutMatches(const std::uint8_t* h) {
  auto fits = [](unsigned have, unsigned want) { return have == 0 || have == want; };
  return fits(Get16(h + kBlockSizeAt), kBlock) && fits(Get16(h + kSubBlockSizeAt), kBlock) &&
         fits(h[kChunkSizeAt], kChunk) && fits(Get16(h + kEntryCountAt), kEntries);
}

const std::uint8_t* Entry(const std::uint8_t* block, unsigned i) {
  return block + kEntryTable + i * kEntrySize;
}
std::uint8_t* Entry(std::uint8_t* block, unsigned i) {
  return block + kEntryTable + i * kEntrySize;
}
bool EntryLive(const std::uint8_t* e) { return e[0] != 0 && e[4] != 0; }

// Marks the chunks that live entries of a sub-allocated block occupy; false
// when an entry is malformed (then nothing should be added to the block).
bool UsedChunks(const std::uint8_t* block, std::array<bool, kChunks>& used) {
  used.fill(false);
  for (unsigned i = 0; i < kEntries; ++i) {
    const std::uint8_t* e = Entry(block, i);
    if (!EntryLive(e)) continue;
    unsigned start = e[0], count = e[1];
    if (start < kFirstChunk || count == 0 || start + count > kChunks || e[4] > kChunk) return false;
    for (unsigned c = start; c < start + count; ++c) {
      if (used[c]) return false;
      used[c] = true;
    }
  }
  return true;
}

// First run of `need` free chunks (-1 if none); also reports the longest run.
int FindRun(const std::array<bool, kChunks>& used, unsigned need, unsigned& longest) {
  int found = -1;
  unsigned run = 0;
  longest = 0;
  for (unsigned c = kFirstChunk; c < kChunks; ++c) {
    run = used[c] ? 0 : run + 1;
    longest = std::max(longest, run);
    if (found < 0 && run == need) found = static_cast<int>(c + 1 - need);
  }
  return found;
}

// Entries are handed out from the top of the table down, as other programs do.
int FreeSlot(const std::uint8_t* block) {
  for (int i = kEntries - 1; i >= 0; --i)
    if (!EntryLive(Entry(block, static_cast<unsigned>(i)))) return i;
  return -1;
}

void PlaceEntry(std::uint8_t* block, unsigned slot, unsigned start, const std::string& data,
                std::uint16_t modNo) {
  const auto chunks = static_cast<unsigned>((data.size() + kChunk - 1) / kChunk);
  std::uint8_t* e = Entry(block, slot);
  e[0] = static_cast<std::uint8_t>(start);
  e[1] = static_cast<std::uint8_t>(chunks);
  Put16(e + 2, modNo);
  e[4] = static_cast<std::uint8_t>(data.size() - (chunks - 1) * kChunk);
  std::uint8_t* at = block + start * kChunk;
  std::memcpy(at, data.data(), data.size());
  std::memset(at + data.size(), 0, chunks * kChunk - data.size());
}

}  // namespace

BlobRef ParseBlobRef(const std::uint8_t* tenBytes) {
  BlobRef ref;
  ref.offset = Get32(tenBytes);
  ref.length = Get32(tenBytes + 4);
  ref.modNo = Get16(tenBytes + 8);
  return ref;
}

void StoreBlobRef(const BlobRef& ref, std::uint8_t* tenBytes) {
  Put32(tenBytes, ref.offset);
  Put32(tenBytes + 4, ref.length);
  Put16(tenBytes + 8, ref.modNo);
}

Result BlobFile::corrupt(const std::string& what) const {
  return Fail(ErrCorruptBlob, path_ + ": " + what);
}

Result BlobFile::open(const std::string& path, bool writable, std::uint32_t cryptKey) {
  close();
  Result r = file_.open(path, writable ? io::File::Mode::ReadWrite : io::File::Mode::Read);
  if (r != Ok) return r;
  path_ = path;
  writable_ = writable;
  key_ = cryptKey;
  r = readHeader();
  if (r != Ok) close();
  return r;
}

Result BlobFile::create(const std::string& path, std::uint32_t cryptKey) {
  close();
  Result r = file_.open(path, io::File::Mode::Create);
  if (r != Ok) return r;
  path_ = path;
  writable_ = true;
  key_ = cryptKey;
  std::vector<std::uint8_t> header(kBlock, 0);
  FillNewHeader(header.data());
  r = writeRaw(0, header.data(), header.size(), nullptr);
  if (r == Ok) r = readHeader();
  if (r != Ok) close();
  return r;
}

void BlobFile::close() {
  file_.close();
  blocks_.clear();
  mapValid_ = false;
  mapEnd_ = 0;
  hintBlock_ = 0;
}

Result BlobFile::readHeader() {
  std::uint64_t size = 0;
  Result r = fileSize(size);
  if (r != Ok) return r;
  if (size < kBlock)
    return corrupt("file of " + std::to_string(size) + " bytes has no header block");
  std::uint8_t h[kCryptUnit];
  r = readRaw(0, h, sizeof h);
  if (r != Ok) return r;
  if (h[0] != kHeaderBlock || Get16(h + kHeaderCountAt) == 0)
    return corrupt("not a blob file (first block has type " + std::to_string(h[0]) + ")");
  if (!LayoutMatches(h))
    return Fail(ErrUnsupportedVersion, path_ + ": blob file with an unknown block layout");
  headerBlocks_ = Get16(h + kHeaderCountAt);
  modCount_ = Get16(h + kModCountAt);
  std::size_t limit = Get16(h + kSubLimitAt);
  subAllocLimit_ = (limit > 0 && limit <= kMaxSubAllocated) ? limit : 2048;
  hintBlock_ = Get32(h + kHintAt) & ~0xFFu;
  blocks_.clear();
  mapValid_ = false;
  return Ok;
}

Result BlobFile::fileSize(std::uint64_t& out) const {
  return tx_ ? tx_->size(file_, out) : file_.size(out);
}

Result BlobFile::readRaw(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const {
  Result r = tx_ ? tx_->read(file_, offset, buffer, n) : file_.read(offset, buffer, n);
  if (r != Ok || key_ == 0) return r;
  for (std::size_t done = 0; done < n; done += kBlock)
    DecryptMbData(buffer + done, std::min<std::size_t>(kBlock, n - done), key_, offset + done);
  return Ok;
}

Result BlobFile::writeRaw(std::uint64_t offset, const std::uint8_t* data, std::size_t n,
                          io::Transaction* tx) {
  std::vector<std::uint8_t> encrypted;
  if (key_ != 0) {
    encrypted.assign(data, data + n);
    for (std::size_t done = 0; done < n; done += kBlock)
      EncryptMbData(encrypted.data() + done, std::min<std::size_t>(kBlock, n - done), key_,
                    offset + done);
    data = encrypted.data();
  }
  return tx ? tx->write(file_, offset, data, n) : file_.write(offset, data, n);
}

Result BlobFile::extendTo(std::uint64_t length, io::Transaction* tx) {
  return tx ? tx->resize(file_, length) : file_.truncate(length);
}

Result BlobFile::setBlockHeader(std::uint32_t offset, std::uint8_t type, std::uint16_t count,
                                io::Transaction* tx) {
  std::uint8_t head[kCryptUnit];
  Result r = readRaw(offset, head, sizeof head);
  if (r != Ok) return r;
  head[0] = type;
  Put16(head + 1, count);
  return writeRaw(offset, head, sizeof head, tx);
}

Result BlobFile::clearHintFor(std::uint32_t blockOffset, io::Transaction* tx) {
  if (hintBlock_ == 0 || hintBlock_ != blockOffset) return Ok;
  std::uint8_t head[kCryptUnit];
  Result r = readRaw(0, head, sizeof head);
  if (r != Ok) return r;
  std::memset(head + kHintAt, 0, kHintSize);
  r = writeRaw(0, head, sizeof head, tx);
  if (r == Ok) hintBlock_ = 0;
  return r;
}

// Checks everything a reference claims against the file. For a
// sub-allocated value `block` receives the whole block.
Result BlobFile::locate(const BlobRef& ref, Location& loc, std::vector<std::uint8_t>* block) const {
  const std::string what = "blob reference " + Hex(ref.offset);
  if (ref.offset == 0)
    return corrupt("blob reference of length " + std::to_string(ref.length) + " has no offset");
  std::uint64_t size = 0;
  Result r = fileSize(size);
  if (r != Ok) return r;
  loc.blockOffset = ref.offset & ~0xFFu;
  loc.index = ref.offset & 0xFFu;
  if (loc.blockOffset % kBlock != 0) return corrupt(what + " is not at a block boundary");
  if (loc.blockOffset < std::uint64_t{headerBlocks_} * kBlock)
    return corrupt(what + " points into the header block");
  if (loc.blockOffset + std::uint64_t{kBlock} > size)
    return corrupt(what + " points beyond the end of the file (" + std::to_string(size) +
                   " bytes)");
  if (loc.index != kSingleIndex && loc.index >= kEntries)
    return corrupt(what + ": entry index " + std::to_string(loc.index) + " is out of range");

  std::vector<std::uint8_t> local;
  std::vector<std::uint8_t>& image = block ? *block : local;
  image.assign(loc.index == kSingleIndex ? kCryptUnit : kBlock, 0);
  r = readRaw(loc.blockOffset, image.data(), image.size());
  if (r != Ok) return r;
  const std::uint8_t type = image[0];
  loc.blocks = Get16(image.data() + 1);

  if (loc.index == kSingleIndex) {
    if (type != kSingleBlob)
      return corrupt(what + ": block has type " + std::to_string(type) +
                     ", not a single-value block");
    const std::uint64_t capacity = std::uint64_t{loc.blocks} * kBlock;
    const std::uint32_t stored = Get32(image.data() + 3);
    if (loc.blocks == 0 || loc.blockOffset + capacity > size)
      return corrupt(what + ": block of " + std::to_string(loc.blocks) +
                     " units runs past the end of the file");
    if (kSingleHeader + std::uint64_t{stored} > capacity)
      return corrupt(what + ": stored length " + std::to_string(stored) + " exceeds the block");
    if (stored != ref.length)
      return corrupt(what + ": block holds " + std::to_string(stored) +
                     " bytes, the reference says " + std::to_string(ref.length));
    loc.dataOffset = loc.blockOffset + kSingleHeader;
    return Ok;
  }

  if (type != kSubAllocated)
    return corrupt(what + ": block has type " + std::to_string(type) +
                   ", not a sub-allocated block");
  const std::uint8_t* e = Entry(image.data(), loc.index);
  const std::string entry = what + ": entry " + std::to_string(loc.index);
  if (e[0] == 0) return corrupt(entry + " is unused");
  if (e[4] == 0) return corrupt(entry + " is deleted");
  if (e[4] > kChunk || e[1] == 0 || e[0] < kFirstChunk || unsigned{e[0]} + e[1] > kChunks)
    return corrupt(entry + " lies outside the block");
  const std::uint32_t stored = (e[1] - 1u) * kChunk + e[4];
  if (stored != ref.length)
    return corrupt(entry + " holds " + std::to_string(stored) + " bytes, the reference says " +
                   std::to_string(ref.length));
  loc.dataOffset = loc.blockOffset + std::uint64_t{e[0]} * kChunk;
  return Ok;
}

Result BlobFile::read(const BlobRef& ref, std::string& out) const {
  out.clear();
  if (!isOpen()) return Fail(ErrInvalidHandle, path_ + ": blob file is not open");
  if (ref.length == 0) return Ok;
  Location loc;
  std::vector<std::uint8_t> block;
  Result r = locate(ref, loc, &block);
  if (r != Ok) return r;
  if (loc.index != kSingleIndex) {
    out.assign(reinterpret_cast<const char*>(block.data()) + (loc.dataOffset - loc.blockOffset),
               ref.length);
    return Ok;
  }
  // Whole encryption units from the block start; locate() made sure they lie
  // within the block.
  std::string buffer(RoundUp(kSingleHeader + ref.length, kCryptUnit), '\0');
  r = readRaw(loc.blockOffset, reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size());
  if (r != Ok) return r;
  buffer.erase(0, kSingleHeader);
  buffer.resize(ref.length);
  out = std::move(buffer);
  return Ok;
}

// The block list is kept between calls and rebuilt when the file size
// differs from what it describes (another writer, a rolled-back
// transaction); every block it offers is checked on disk before use.
Result BlobFile::ensureMap(bool force) {
  std::uint64_t size = 0;
  Result r = fileSize(size);
  if (r != Ok) return r;
  if (!force && mapValid_ && size == mapEnd_) return Ok;
  return scanBlocks();
}

Result BlobFile::scanBlocks() {
  blocks_.clear();
  mapValid_ = false;
  std::uint64_t size = 0;
  Result r = fileSize(size);
  if (r != Ok) return r;
  if (size > 0xFFFFFFFFull) return corrupt("file is larger than 4 GiB");
  std::uint64_t offset = std::uint64_t{headerBlocks_} * kBlock;
  std::uint8_t head[kCryptUnit];
  while (offset < size) {
    const std::string where = "block at " + Hex(offset);
    if (offset + kBlock > size) return corrupt("the file ends inside the " + where);
    r = readRaw(offset, head, sizeof head);
    if (r != Ok) return r;
    const std::uint8_t type = head[0];
    const std::uint16_t count = Get16(head + 1);
    if (type != kSingleBlob && type != kSubAllocated && type != kFreeBlock)
      return corrupt(where + " has unknown type " + std::to_string(type));
    if (count == 0 || (type == kSubAllocated && count != 1))
      return corrupt(where + " has a bad length of " + std::to_string(count) + " units");
    if (offset + std::uint64_t{count} * kBlock > size)
      return corrupt(where + " runs past the end of the file");
    blocks_.push_back({static_cast<std::uint32_t>(offset), type, count, -1});
    offset += std::uint64_t{count} * kBlock;
  }
  mapEnd_ = offset;
  mapValid_ = true;
  return Ok;
}

Result BlobFile::stillOnDisk(const Block& b, bool& same) const {
  same = false;
  std::uint64_t size = 0;
  Result r = fileSize(size);
  if (r != Ok || b.offset + std::uint64_t{b.count} * kBlock > size) return r;
  std::uint8_t head[kCryptUnit];
  r = readRaw(b.offset, head, sizeof head);
  if (r != Ok) return r;
  same = head[0] == b.type && Get16(head + 1) == b.count;
  return Ok;
}

std::size_t BlobFile::blockIndex(std::uint32_t offset) const {
  auto it = std::lower_bound(blocks_.begin(), blocks_.end(), offset,
                             [](const Block& b, std::uint32_t o) { return b.offset < o; });
  if (it == blocks_.end() || it->offset != offset) return blocks_.size();
  return static_cast<std::size_t>(it - blocks_.begin());
}

Result BlobFile::write(const std::string& data, std::uint16_t modNo, BlobRef& out,
                       io::Transaction* tx) {
  out = BlobRef{};
  if (!isOpen()) return Fail(ErrInvalidHandle, path_ + ": blob file is not open");
  if (!writable_) return Fail(ErrReadOnly, path_ + ": blob file is open read-only");
  if (data.empty()) return Ok;
  if (data.size() > std::size_t{kMaxBlocks} * kBlock - kSingleHeader)
    return Fail(ErrInvalidValue, path_ + ": a value of " + std::to_string(data.size()) +
                                     " bytes is too large for a blob file");
  // A retry follows when a cached block turned out to have changed on disk
  // (nothing has been written at that point).
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool stale = false;
    Result r = ensureMap(attempt > 0);
    if (r == Ok)
      r = data.size() <= subAllocLimit_ ? writeSubAllocated(data, modNo, out, tx, stale)
                                        : writeSingle(data, modNo, out, tx, stale);
    if (r != Ok) mapValid_ = false;
    if (r != Ok || !stale) return r;
  }
  mapValid_ = false;
  return corrupt("the block list changes while it is being read");
}

// Finds `need` blocks: the first free run that is long enough (its rest
// stays free), else the end of the file (taking in a free run that ends
// there). On return blocks_[index] describes the taken space.
Result BlobFile::takeBlocks(std::uint16_t need, std::size_t& index, io::Transaction* tx,
                            bool& stale) {
  bool same = false;
  for (std::size_t i = 0; i < blocks_.size(); ++i) {
    if (blocks_[i].type != kFreeBlock || blocks_[i].count < need) continue;
    Result r = stillOnDisk(blocks_[i], same);
    if (r != Ok) return r;
    if (!same) {
      stale = true;
      return Ok;
    }
    if (blocks_[i].count > need) {
      Block rest{blocks_[i].offset + std::uint32_t{need} * kBlock, kFreeBlock,
                 static_cast<std::uint16_t>(blocks_[i].count - need), -1};
      r = setBlockHeader(rest.offset, kFreeBlock, rest.count, tx);
      if (r != Ok) return r;
      blocks_[i].count = need;
      blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1, rest);
    }
    index = i;
    return clearHintFor(blocks_[i].offset, tx);
  }

  std::uint64_t start = mapEnd_;
  index = blocks_.size();
  if (!blocks_.empty() && blocks_.back().type == kFreeBlock) {
    Result r = stillOnDisk(blocks_.back(), same);
    if (r != Ok) return r;
    if (!same) {
      stale = true;
      return Ok;
    }
    index = blocks_.size() - 1;
    start = blocks_.back().offset;
  }
  const std::uint64_t end = start + std::uint64_t{need} * kBlock;
  if (end > 0x100000000ull) return Fail(ErrTableFull, path_ + ": blob file would exceed 4 GiB");
  Result r = extendTo(end, tx);
  if (r == Ok && index < blocks_.size()) r = clearHintFor(blocks_[index].offset, tx);
  if (r != Ok) return r;
  if (index == blocks_.size()) blocks_.push_back({static_cast<std::uint32_t>(start), 0, 0, -1});
  blocks_[index].count = need;
  mapEnd_ = end;
  return Ok;
}

Result BlobFile::writeSingle(const std::string& data, std::uint16_t modNo, BlobRef& out,
                             io::Transaction* tx, bool& stale) {
  const auto need = static_cast<std::uint16_t>((kSingleHeader + data.size() + kBlock - 1) / kBlock);
  std::size_t i = 0;
  Result r = takeBlocks(need, i, tx, stale);
  if (r != Ok || stale) return r;
  std::vector<std::uint8_t> image(std::size_t{need} * kBlock, 0);
  image[0] = kSingleBlob;
  Put16(image.data() + 1, need);
  Put32(image.data() + 3, static_cast<std::uint32_t>(data.size()));
  Put16(image.data() + 7, modNo);
  std::memcpy(image.data() + kSingleHeader, data.data(), data.size());
  r = writeRaw(blocks_[i].offset, image.data(), image.size(), tx);
  if (r != Ok) return r;
  blocks_[i].type = kSingleBlob;
  blocks_[i].largestRun = -1;
  out = {blocks_[i].offset | kSingleIndex, static_cast<std::uint32_t>(data.size()), modNo};
  return Ok;
}

Result BlobFile::writeSubAllocated(const std::string& data, std::uint16_t modNo, BlobRef& out,
                                   io::Transaction* tx, bool& stale) {
  const auto chunks = static_cast<unsigned>((data.size() + kChunk - 1) / kChunk);
  const auto length = static_cast<std::uint32_t>(data.size());
  std::vector<std::uint8_t> image(kBlock);
  std::array<bool, kChunks> used{};
  // The newest shared blocks first; blocks whose room is not known yet are
  // read only a few at a time, so that a value costs what it needs however
  // large the file, and a new block is started instead.
  int probes = 0;
  for (auto it = blocks_.rbegin(); it != blocks_.rend(); ++it) {
    Block& b = *it;
    if (b.type != kSubAllocated) continue;
    if (b.largestRun >= 0 && static_cast<unsigned>(b.largestRun) < chunks) continue;
    if (b.largestRun < 0 && ++probes > kMaxProbes) continue;
    Result r = readRaw(b.offset, image.data(), image.size());
    if (r != Ok) return r;
    if (image[0] != kSubAllocated || Get16(image.data() + 1) != 1) {
      stale = true;
      return Ok;
    }
    unsigned longest = 0;
    int start = UsedChunks(image.data(), used) ? FindRun(used, chunks, longest) : -1;
    int slot = FreeSlot(image.data());
    b.largestRun = slot < 0 ? 0 : static_cast<int>(longest);
    if (start < 0 || slot < 0) continue;
    PlaceEntry(image.data(), static_cast<unsigned>(slot), static_cast<unsigned>(start), data,
               modNo);
    r = writeRaw(b.offset, image.data(), image.size(), tx);
    if (r == Ok) r = clearHintFor(b.offset, tx);
    if (r != Ok) return r;
    b.largestRun = -1;
    out = {b.offset | static_cast<std::uint32_t>(slot), length, modNo};
    return Ok;
  }

  std::size_t i = 0;
  Result r = takeBlocks(1, i, tx, stale);
  if (r != Ok || stale) return r;
  std::fill(image.begin(), image.end(), 0);
  image[0] = kSubAllocated;
  Put16(image.data() + 1, 1);
  PlaceEntry(image.data(), kEntries - 1, kFirstChunk, data, modNo);
  r = writeRaw(blocks_[i].offset, image.data(), image.size(), tx);
  if (r != Ok) return r;
  blocks_[i].type = kSubAllocated;
  blocks_[i].largestRun = -1;
  out = {blocks_[i].offset | (kEntries - 1), length, modNo};
  return Ok;
}

Result BlobFile::release(const BlobRef& ref, io::Transaction* tx) {
  if (!isOpen()) return Fail(ErrInvalidHandle, path_ + ": blob file is not open");
  if (!writable_) return Fail(ErrReadOnly, path_ + ": blob file is open read-only");
  if (ref.offset == 0) return Ok;  // nothing stored here
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool stale = false;
    Result r = ensureMap(attempt > 0);
    Location loc;
    std::vector<std::uint8_t> image;
    if (r == Ok) r = locate(ref, loc, &image);
    if (r == Ok) {
      const std::size_t i = blockIndex(loc.blockOffset);
      const std::uint8_t type = loc.index == kSingleIndex ? kSingleBlob : kSubAllocated;
      if (i == blocks_.size() || blocks_[i].type != type || blocks_[i].count != loc.blocks)
        stale = true;
      else if (loc.index == kSingleIndex)
        r = freeBlock(i, tx, stale);
      else
        r = releaseEntry(i, loc, image, tx, stale);
    }
    if (r != Ok) mapValid_ = false;
    if (r != Ok || !stale) return r;
  }
  mapValid_ = false;
  return corrupt("the block list changes while it is being read");
}

// Marks the entry deleted; a block left without live entries becomes free.
Result BlobFile::releaseEntry(std::size_t i, const Location& loc, std::vector<std::uint8_t>& image,
                              io::Transaction* tx, bool& stale) {
  Entry(image.data(), loc.index)[4] = 0;
  blocks_[i].largestRun = -1;
  bool empty = true;
  for (unsigned k = 0; k < kEntries && empty; ++k) empty = !EntryLive(Entry(image.data(), k));
  if (!empty) return writeRaw(loc.blockOffset, image.data(), kEntryArea, tx);
  Merge merge;
  Result r = planMerge(i, merge, stale);
  if (r != Ok || stale) return r;
  r = writeRaw(loc.blockOffset, image.data(), kEntryArea, tx);
  if (r != Ok) return r;
  return applyMerge(i, merge, tx);
}

Result BlobFile::freeBlock(std::size_t i, io::Transaction* tx, bool& stale) {
  Merge merge;
  Result r = planMerge(i, merge, stale);
  if (r != Ok || stale) return r;
  return applyMerge(i, merge, tx);
}

// Decides which free neighbours block i joins, after checking them on disk.
Result BlobFile::planMerge(std::size_t i, Merge& merge, bool& stale) const {
  merge = {i, i, blocks_[i].count};
  bool same = false;
  auto joins = [&](std::size_t k) -> Result {
    if (blocks_[k].type != kFreeBlock || merge.total + blocks_[k].count > kMaxBlocks) return Ok;
    Result r = stillOnDisk(blocks_[k], same);
    if (r != Ok) return r;
    if (!same) {
      stale = true;
      return Ok;
    }
    merge.total += blocks_[k].count;
    if (k < i)
      merge.first = k;
    else
      merge.last = k;
    return Ok;
  };
  Result r = Ok;
  if (i + 1 < blocks_.size()) r = joins(i + 1);
  if (r == Ok && !stale && i > 0) r = joins(i - 1);
  return r;
}

Result BlobFile::applyMerge(std::size_t i, const Merge& merge, io::Transaction* tx) {
  // The released block itself is marked free even when it joins a run that
  // starts earlier, so that a stale reference to it fails instead of
  // reading the old value.
  const auto total = static_cast<std::uint16_t>(merge.total);
  Result r = setBlockHeader(blocks_[i].offset, kFreeBlock,
                            merge.first == i ? total : blocks_[i].count, tx);
  if (r == Ok && merge.first != i)
    r = setBlockHeader(blocks_[merge.first].offset, kFreeBlock, total, tx);
  for (std::size_t k = merge.first; r == Ok && k <= merge.last; ++k)
    r = clearHintFor(blocks_[k].offset, tx);
  if (r != Ok) return r;
  blocks_[merge.first] = {blocks_[merge.first].offset, kFreeBlock, total, -1};
  blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(merge.first) + 1,
                blocks_.begin() + static_cast<std::ptrdiff_t>(merge.last) + 1);
  return Ok;
}

}  // namespace engine::paradox
