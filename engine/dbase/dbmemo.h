// The memo file of a .DBF table (.DBT, or .FPT for FoxPro tables).
//
// .DBT of dBASE III: 512-byte blocks, block 0 the header (bytes 0-3: the
// next free block); a value runs over consecutive blocks up to 1A 1A (a
// single 1A is taken as the end too). Space is never reused.
// .DBT of dBASE IV, 5 and 7: the block size at 20-21 of the header; each
// value starts a block with FF FF 08 00 and its length, header included.
// .FPT: big-endian next free block at 0 and block size at 6; each value
// starts a block with its type and length, both big-endian.
//
// Values are read by whichever marker their first block carries, so odd
// files (a dBASE III table whose memo file has the later block markers, and
// the reverse) read too. New values are appended at the end; the space an
// old value took is left to a pack.
#pragma once

#include <cstdint>
#include <string>

#include "engine/dbase/dbheader.h"
#include "engine/errors.h"
#include "engine/io/file.h"

namespace engine::io {
class Transaction;
}

namespace engine::dbase {

class MemoFile {
 public:
  // The memo file beside the table at `tablePath` (found whatever the case
  // of its name), or "" when there is none.
  static std::string Find(const std::string& tablePath, MemoFormat format);

  Result open(const std::string& path, MemoFormat format, bool writable);
  const std::string& path() const { return file_.path(); }
  io::File& file() { return file_; }
  MemoFormat format() const { return format_; }
  std::uint32_t blockSize() const { return blockSize_; }

  // The bytes of the value that starts at `block` (> 0), read through `tx`
  // when a change is running. A block outside the file, or a value that
  // runs past its end, is ErrCorruptBlob.
  Result read(std::uint32_t block, std::string& out, const io::Transaction* tx = nullptr) const;

  // The value at `block` as it is stored, from the start of its block:
  // the block's head and the data, or text with its end mark (up to 1A 1A,
  // so that readers who end a value at a single 1A and those who end it at
  // a double one find the same value in a copy).
  Result readStored(std::uint32_t block, std::string& out) const;

  // Writing, within a change: begin() reads the header through the
  // transaction and refuses files whose free space this code does not
  // keep; append() stores a value at the end and gives its first block;
  // finish() writes the header's next free block.
  Result begin(io::Transaction& tx);
  Result append(io::Transaction& tx, const std::string& bytes, std::uint32_t& block);
  Result finish(io::Transaction& tx);

  // A new, empty memo file's bytes (its header).
  static std::string NewHeader(MemoFormat format, const std::string& tableStem,
                               std::uint32_t blockSize = 512);
  // The bytes a value takes in the file, from its first block, padded to
  // whole blocks.
  static std::string Stored(MemoFormat format, const std::string& bytes, std::uint32_t blockSize);
  // Pads a stored value to whole blocks.
  static void Pad(std::string& stored, std::uint32_t blockSize);

 private:
  Result readHeader(const io::Transaction* tx);
  Result fail(const std::string& what) const;

  io::File file_;
  MemoFormat format_ = MemoFormat::None;
  std::uint32_t blockSize_ = 512;
  std::uint32_t nextFree_ = 0;  // during a change
  bool changed_ = false;
};

}  // namespace engine::dbase
