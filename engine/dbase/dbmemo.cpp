#include "engine/dbase/dbmemo.h"

#include <algorithm>
#include <cstring>

#include "engine/io/journal.h"
#include "engine/paradox/pxtable.h"

namespace engine::dbase {

namespace {

constexpr std::uint8_t kBlockMark[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr std::size_t kHeaderBytes = 512;
constexpr std::size_t kScanChunk = 4096;

std::uint32_t LittleU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint32_t BigU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}
void PutLittleU32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

Result ReadAt(const io::File& f, const io::Transaction* tx, std::uint64_t offset, void* buffer,
              std::size_t n) {
  return tx ? tx->read(f, offset, buffer, n) : f.read(offset, buffer, n);
}

Result SizeOf(const io::File& f, const io::Transaction* tx, std::uint64_t& out) {
  return tx ? tx->size(f, out) : f.size(out);
}

}  // namespace

std::string MemoFile::Find(const std::string& tablePath, MemoFormat format) {
  if (format == MemoFormat::None) return {};
  const std::string path =
      paradox::FamilyPath(tablePath, format == MemoFormat::Fpt ? ".FPT" : ".DBT");
  return io::FileExists(path) ? path : std::string();
}

Result MemoFile::fail(const std::string& what) const {
  return Fail(ErrCorruptBlob, file_.path() + ": " + what);
}

Result MemoFile::open(const std::string& path, MemoFormat format, bool writable) {
  format_ = format;
  if (Result r = file_.open(path, writable ? io::File::Mode::ReadWrite : io::File::Mode::Read))
    return r;
  return readHeader(nullptr);
}

Result MemoFile::readHeader(const io::Transaction* tx) {
  std::uint64_t size = 0;
  if (Result r = SizeOf(file_, tx, size)) return r;
  std::uint8_t h[kHeaderBytes] = {};
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderBytes));
  if (n < 4) return fail("the memo file is too short to hold its header");
  if (Result r = ReadAt(file_, tx, 0, h, n)) return r;
  switch (format_) {
    case MemoFormat::Dbt3:
      blockSize_ = 512;
      nextFree_ = LittleU32(h);
      break;
    case MemoFormat::Dbt4:
      blockSize_ = n >= 22 ? static_cast<std::uint32_t>(h[20] | h[21] << 8) : 0;
      if (blockSize_ == 0) blockSize_ = 512;
      nextFree_ = LittleU32(h);
      break;
    case MemoFormat::Fpt:
      blockSize_ = n >= 8 ? static_cast<std::uint32_t>(h[6] << 8 | h[7]) : 0;
      if (blockSize_ == 0) blockSize_ = 64;
      nextFree_ = BigU32(h);
      break;
    case MemoFormat::None:
      return Fail(ErrInvalidParameter, file_.path() + ": no memo format");
  }
  if (blockSize_ < 8)
    return fail("the memo file's block size " + std::to_string(blockSize_) + " is too small");
  return Ok;
}

Result MemoFile::read(std::uint32_t block, std::string& out, const io::Transaction* tx) const {
  out.clear();
  std::uint64_t size = 0;
  if (Result r = SizeOf(file_, tx, size)) return r;
  const std::uint64_t offset = std::uint64_t{block} * blockSize_;
  if (block == 0 || offset >= size)
    return fail("memo block " + std::to_string(block) + " lies outside the memo file");
  const std::uint64_t left = size - offset;
  std::uint8_t head[8] = {};
  const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(left, 8));
  if (Result r = ReadAt(file_, tx, offset, head, got)) return r;

  std::uint64_t length = 0;
  bool counted = false;
  if (format_ == MemoFormat::Fpt) {
    if (got < 8) return fail("memo block " + std::to_string(block) + " is cut short");
    length = BigU32(head + 4);
    counted = true;
  } else if (got == 8 && std::memcmp(head, kBlockMark, 4) == 0) {
    length = LittleU32(head + 4);
    // The length counts the 8 bytes of the block's head; a few writers
    // leave them out, which a length below 8 betrays.
    if (length >= 8) length -= 8;
    counted = true;
  }
  if (counted) {
    if (length > left - 8)
      return fail("the value in memo block " + std::to_string(block) + " (" +
                  std::to_string(length) + " bytes) runs past the end of the memo file");
    out.resize(static_cast<std::size_t>(length));
    if (length > 0) return ReadAt(file_, tx, offset + 8, out.data(), out.size());
    return Ok;
  }
  // Text up to its end mark, 1A (mostly doubled), or the end of the file.
  std::uint64_t at = offset;
  char chunk[kScanChunk];
  while (at < size) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, kScanChunk));
    if (Result r = ReadAt(file_, tx, at, chunk, n)) return r;
    const char* end = static_cast<const char*>(std::memchr(chunk, 0x1A, n));
    out.append(chunk, end ? static_cast<std::size_t>(end - chunk) : n);
    if (end) break;
    at += n;
  }
  return Ok;
}

Result MemoFile::readStored(std::uint32_t block, std::string& out) const {
  out.clear();
  std::uint64_t size = 0;
  if (Result r = file_.size(size)) return r;
  const std::uint64_t offset = std::uint64_t{block} * blockSize_;
  if (block == 0 || offset >= size)
    return fail("memo block " + std::to_string(block) + " lies outside the memo file");
  std::uint8_t head[8] = {};
  const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, 8));
  if (Result r = file_.read(offset, head, got)) return r;
  const bool counted =
      got == 8 && (format_ == MemoFormat::Fpt || std::memcmp(head, kBlockMark, 4) == 0);
  if (counted) {
    std::string data;
    if (Result r = read(block, data)) return r;
    out.assign(reinterpret_cast<const char*>(head), 8);
    out += data;
    return Ok;
  }
  std::uint64_t at = offset;
  char chunk[kScanChunk];
  while (at < size) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, kScanChunk));
    if (Result r = file_.read(at, chunk, n)) return r;
    const std::size_t before = out.size();
    out.append(chunk, n);
    const std::size_t end = out.find("\x1A\x1A", before > 0 ? before - 1 : 0);
    if (end != std::string::npos) {
      out.resize(end + 2);
      return Ok;
    }
    at += n;
  }
  return Ok;
}

Result MemoFile::begin(io::Transaction& tx) {
  changed_ = false;
  if (format_ == MemoFormat::Fpt)
    return Fail(ErrReadOnly, file_.path() + ": this program does not write .FPT memo files");
  if (Result r = readHeader(&tx)) return r;
  std::uint64_t size = 0;
  if (Result r = tx.size(file_, size)) return r;
  const std::uint64_t end = (size + blockSize_ - 1) / blockSize_;
  if (format_ == MemoFormat::Dbt3) {
    // Nothing is ever freed: whatever lies past the pointer is kept too.
    nextFree_ = static_cast<std::uint32_t>(std::max<std::uint64_t>({nextFree_, end, 1}));
  } else if (nextFree_ < end || nextFree_ == 0) {
    return Fail(ErrNotSupported,
                file_.path() +
                    ": the memo file keeps a list of free blocks (its next free "
                    "block " +
                    std::to_string(nextFree_) + " lies before its end, block " +
                    std::to_string(end) +
                    "), which this program does not maintain; pack the table first");
  }
  return Ok;
}

std::string MemoFile::Stored(MemoFormat format, const std::string& bytes, std::uint32_t blockSize) {
  std::string out;
  if (format == MemoFormat::Dbt3) {
    out = bytes + "\x1A\x1A";
  } else {
    out.assign(8, '\0');
    std::memcpy(out.data(), kBlockMark, 4);
    PutLittleU32(out.data() + 4, static_cast<std::uint32_t>(bytes.size() + 8));
    out += bytes;
  }
  Pad(out, blockSize);
  return out;
}

void MemoFile::Pad(std::string& stored, std::uint32_t blockSize) {
  // Some readers take the length of a counted value without its head and
  // end the text at a 1F; one after the data keeps them from reading on.
  if (stored.size() % blockSize != 0 && stored.size() >= 8 &&
      std::memcmp(stored.data(), kBlockMark, 4) == 0)
    stored.push_back('\x1F');
  stored.resize((stored.size() + blockSize - 1) / blockSize * blockSize, '\0');
}

Result MemoFile::append(io::Transaction& tx, const std::string& bytes, std::uint32_t& block) {
  if (format_ == MemoFormat::Dbt3 && bytes.find('\x1A') != std::string::npos)
    return Fail(ErrInvalidValue,
                "the value holds the byte 1A, which ends a value in a dBASE III memo file");
  if (bytes.size() > 0xFFFFFFFFull - 8 - blockSize_)
    return Fail(ErrInvalidValue, "the value is too large for a memo file");
  const std::string stored = Stored(format_, bytes, blockSize_);
  const std::uint64_t blocks = stored.size() / blockSize_;
  if (nextFree_ + blocks > 0xFFFFFFFFull)
    return Fail(ErrTableFull, file_.path() + ": the memo file is full");
  if (Result r =
          tx.write(file_, std::uint64_t{nextFree_} * blockSize_, stored.data(), stored.size()))
    return r;
  block = nextFree_;
  nextFree_ += static_cast<std::uint32_t>(blocks);
  changed_ = true;
  return Ok;
}

Result MemoFile::finish(io::Transaction& tx) {
  if (!changed_) return Ok;
  char next[4];
  PutLittleU32(next, nextFree_);
  changed_ = false;
  return tx.write(file_, 0, next, 4);
}

std::string MemoFile::NewHeader(MemoFormat format, const std::string& tableStem,
                                std::uint32_t blockSize) {
  std::string h(format == MemoFormat::Dbt4 ? blockSize : kHeaderBytes, '\0');
  PutLittleU32(h.data(), 1);
  if (format == MemoFormat::Dbt4) {
    std::memcpy(h.data() + 8, tableStem.data(), std::min<std::size_t>(tableStem.size(), 8));
    h[18] = 0x02;
    h[19] = 0x01;
    h[20] = static_cast<char>(blockSize & 0xFF);
    h[21] = static_cast<char>(blockSize >> 8);
  }
  return h;
}

}  // namespace engine::dbase
