// The blocks of one Paradox file (.DB, .PX, .Xnn, .Ynn) as a change sees
// them. Blocks are read through the change's transaction, kept decrypted in
// a cache, and handed back to the transaction when the cache is flushed; the
// header travels with them. Nothing here knows what the records mean.
//
// Every block starts with a 6-byte header: the next and previous block of
// its chain (0 = none) and (records - 1) * recordSize. Records follow, packed.
// Blocks no chain uses form a free list through their "next" links, starting
// at header offset 0x4D.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/errors.h"
#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxheader.h"

namespace engine::paradox {

// The header of a Paradox file as a transaction shows it.
Result ReadHeaderThrough(const io::File& file, io::Transaction& tx, PxHeader& header);

class BlockFile {
 public:
  // `header` is the file's header as read; `cryptKey` the table's
  // encryption value for the data blocks of a protected .DB (else 0).
  BlockFile(io::File& file, io::Transaction& tx, const PxHeader& header,
            std::uint32_t cryptKey = 0);
  Result open();  // learns the file's size; call once before use
  // Tells the blocks of the file's chain, where it is known: a free list or
  // a tree naming another block than it should is damaged.
  void setInChain(std::function<bool(std::uint16_t)> inChain) { inChain_ = std::move(inChain); }
  bool inChain(std::uint16_t n) const { return !inChain_ || inChain_(n); }

  const std::string& path() const { return file_.path(); }
  PxHeader& header() { return header_; }  // as it will be written
  const PxHeader& header() const { return header_; }
  std::size_t recordSize() const { return header_.recordSize(); }
  std::uint16_t perBlock() const { return perBlock_; }
  std::uint16_t fileBlocks() const { return fileBlocks_; }

  // Block n (1-based), decrypted; the pointer stays valid until flush().
  Result read(std::uint16_t n, std::uint8_t*& data);
  // The same, marking the block to be written.
  Result change(std::uint16_t n, std::uint8_t*& data);
  // A zeroed block, from the free list or added at the end of the file.
  Result allocate(std::uint16_t& n, std::uint8_t*& data);
  // Puts a block that no chain uses any more on the free list.
  Result release(std::uint16_t n);

  // Records in block `data` (number n, for messages); a count that does not
  // fit the block is a damaged file.
  Result count(std::uint16_t n, const std::uint8_t* data, std::uint16_t& out) const;
  void setCount(std::uint8_t* data, std::uint16_t count) const;
  std::uint8_t* record(std::uint8_t* data, std::uint16_t slot) const {
    return data + 6 + static_cast<std::size_t>(slot) * recordSize();
  }

  static std::uint16_t Next(const std::uint8_t* data) { return data[0] | (data[1] << 8); }
  static std::uint16_t Prior(const std::uint8_t* data) { return data[2] | (data[3] << 8); }
  static void SetNext(std::uint8_t* data, std::uint16_t n);
  static void SetPrior(std::uint8_t* data, std::uint16_t n);

  // The chain the header names (first 0x0E, last 0x10, blocks in use 0x0A).
  // Links block n into it after block `after` (0: at the start).
  Result linkAfter(std::uint16_t n, std::uint16_t after);
  // Takes block n out of the chain.
  Result unlink(std::uint16_t n);

  // Hands every changed block and the header to the transaction and empties
  // the cache.
  Result flush();
  std::size_t cachedBytes() const { return cache_.size() * header_.blockSize(); }

 private:
  struct Cached {
    std::vector<std::uint8_t> data;
    bool changed = false;
  };
  std::uint64_t offsetOf(std::uint16_t n) const {
    return header_.headerSize() + static_cast<std::uint64_t>(n - 1) * header_.blockSize();
  }
  Result damaged(std::uint16_t n, const std::string& what) const;

  io::File& file_;
  io::Transaction& tx_;
  PxHeader header_;
  std::vector<std::uint8_t> writtenHeader_;  // the header as the file holds it
  std::uint32_t cryptKey_ = 0;
  std::uint16_t perBlock_ = 0;
  std::uint16_t fileBlocks_ = 0;
  std::unordered_map<std::uint16_t, Cached> cache_;
  std::function<bool(std::uint16_t)> inChain_;
};

}  // namespace engine::paradox
