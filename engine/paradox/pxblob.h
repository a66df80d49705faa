// The .MB file that holds the memo, formatted-memo, binary, OLE and graphic
// values of a Paradox table.
//
// The file is a chain of 4 KiB-aligned blocks; each starts with a type byte
// and its length in 4 KiB units. Block 0 is the header block. Values up to
// the file's sub-allocation limit (2 KiB) share a block of 16-byte chunks
// with up to 63 others; larger values get blocks of their own. Released
// space becomes free blocks, which adjacent releases merge and later writes
// reuse.
//
// A record of the .DB file refers to a value with the last 10 bytes of its
// field (BlobRef). The bytes before them (the leader) hold the start of the
// value; values that fit into the leader are not stored here at all. This
// class deals only with what is stored in the .MB file: callers handle the
// leader and the 8-byte prefix of graphic and OLE values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/file.h"
#include "engine/io/journal.h"

namespace engine::paradox {

inline constexpr std::size_t kBlobRefSize = 10;

// Where a value lives: the file offset of its block, whose low byte is the
// entry index in a sub-allocated block or 0xFF for a block of its own; the
// value's length; its modification number. Offset 0 means nothing is stored
// in the .MB file.
struct BlobRef {
  std::uint32_t offset = 0;
  std::uint32_t length = 0;
  std::uint16_t modNo = 0;
};

// Reads / writes the 10 little-endian bytes at the end of a blob field.
BlobRef ParseBlobRef(const std::uint8_t* tenBytes);
void StoreBlobRef(const BlobRef& ref, std::uint8_t* tenBytes);

class BlobFile {
 public:
  BlobFile() = default;
  BlobFile(BlobFile&&) noexcept = default;
  BlobFile& operator=(BlobFile&&) noexcept = default;

  // Opens an existing .MB file. `cryptKey` is the table's encryption value
  // (0 for a table without a master password).
  Result open(const std::string& path, bool writable, std::uint32_t cryptKey);
  // Creates (or truncates) a .MB file holding only its header block.
  Result create(const std::string& path, std::uint32_t cryptKey);
  void close();
  bool isOpen() const { return file_.isOpen(); }
  const std::string& path() const { return path_; }

  // While a change runs, reads see its writes: they go through `tx`
  // (nullptr when the change is over).
  void attach(io::Transaction* tx) { tx_ = tx; }

  // The modification count kept in the header block.
  std::uint16_t modCount() const { return modCount_; }

  // The full stored value `ref` points at. Fails with ErrCorruptBlob when
  // the reference does not lead to a live value of exactly its length.
  Result read(const BlobRef& ref, std::string& out) const;

  // Stores `data` in free space or at the end of the file and returns its
  // reference. An empty value is stored nowhere (offset 0, length 0).
  // Writes go through `tx` when it is given.
  Result write(const std::string& data, std::uint16_t modNo, BlobRef& out, io::Transaction* tx);

  // Gives the space of the value `ref` points at back to the file.
  Result release(const BlobRef& ref, io::Transaction* tx);

 private:
  // One block of the chain as last seen on disk. `largestRun` caches the
  // longest run of free chunks of a sub-allocated block (-1 = not known).
  struct Block {
    std::uint32_t offset = 0;
    std::uint8_t type = 0;
    std::uint16_t count = 0;
    int largestRun = -1;
  };
  // A reference checked against the file.
  struct Location {
    std::uint32_t blockOffset = 0;
    unsigned index = 0;        // entry index, 0xFF for a block of its own
    std::uint16_t blocks = 0;  // the block's length in 4 KiB units
    std::uint64_t dataOffset = 0;
  };
  // Free neighbours that a released block joins: blocks_[first..last]
  // become one free run of `total` units.
  struct Merge {
    std::size_t first = 0;
    std::size_t last = 0;
    unsigned total = 0;
  };

  Result corrupt(const std::string& what) const;
  Result readHeader();
  Result readRaw(std::uint64_t offset, std::uint8_t* buffer, std::size_t n) const;
  Result fileSize(std::uint64_t& out) const;
  Result writeRaw(std::uint64_t offset, const std::uint8_t* data, std::size_t n,
                  io::Transaction* tx);
  Result extendTo(std::uint64_t length, io::Transaction* tx);
  Result setBlockHeader(std::uint32_t offset, std::uint8_t type, std::uint16_t count,
                        io::Transaction* tx);
  Result clearHintFor(std::uint32_t blockOffset, io::Transaction* tx);

  Result locate(const BlobRef& ref, Location& loc, std::vector<std::uint8_t>* block) const;
  Result ensureMap(bool force);
  Result scanBlocks();
  Result stillOnDisk(const Block& b, bool& same) const;
  std::size_t blockIndex(std::uint32_t offset) const;

  Result writeSingle(const std::string& data, std::uint16_t modNo, BlobRef& out,
                     io::Transaction* tx, bool& stale);
  Result writeSubAllocated(const std::string& data, std::uint16_t modNo, BlobRef& out,
                           io::Transaction* tx, bool& stale);
  Result takeBlocks(std::uint16_t need, std::size_t& index, io::Transaction* tx, bool& stale);
  Result releaseEntry(std::size_t i, const Location& loc, std::vector<std::uint8_t>& image,
                      io::Transaction* tx, bool& stale);
  Result freeBlock(std::size_t i, io::Transaction* tx, bool& stale);
  Result planMerge(std::size_t i, Merge& merge, bool& stale) const;
  Result applyMerge(std::size_t i, const Merge& merge, io::Transaction* tx);

  io::File file_;
  io::Transaction* tx_ = nullptr;
  std::string path_;
  bool writable_ = false;
  std::uint32_t key_ = 0;
  std::uint16_t modCount_ = 0;
  std::uint16_t headerBlocks_ = 1;
  std::size_t subAllocLimit_ = 2048;
  std::uint32_t hintBlock_ = 0;

  std::vector<Block> blocks_;
  bool mapValid_ = false;
  std::uint64_t mapEnd_ = 0;
};

}  // namespace engine::paradox
