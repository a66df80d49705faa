// A rollback journal that makes a change to several files all-or-nothing.
//
// Writes made through a transaction are held in memory, page by page, and
// read back through it. When they are flushed (at commit, or earlier when
// they grow large) the old bytes of every page about to be overwritten, and
// each file's size before the transaction, go to the journal, which is
// flushed once; then the pages are written. Commit flushes each touched file
// once and removes the journal. If the process dies before commit, the next
// opener calls RecoverJournal(), which puts every recorded page and size
// back, so the files are exactly as they were before the transaction.
//
// The journal names files by the paths they were opened with; a journal
// holding relative paths must be recovered from the same working directory.
// docs/journal.md describes the journal's layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "engine/errors.h"
#include "engine/io/file.h"

namespace engine::io {

class Transaction {
 public:
  Transaction();
  ~Transaction();  // rolls back when neither committed nor rolled back
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  // Starts a transaction whose journal lives at journalPath (a file that
  // must not exist yet; a leftover one must be recovered first).
  Result begin(const std::string& journalPath);
  bool active() const;

  // Writes through the transaction; the bytes reach the file when the
  // transaction flushes.
  Result write(File& file, std::uint64_t offset, const void* data, std::size_t n);
  // Truncates or extends a file through the transaction.
  Result resize(File& file, std::uint64_t length);
  // Creates a new file (ErrFileExists when `path` exists) and opens it
  // read-write in `file`; rolling back removes it again.
  Result create(File& file, const std::string& path);

  // Reads as the transaction's writes left the file (exactly n bytes; a
  // read past the end fails like File::read).
  Result read(const File& file, std::uint64_t offset, void* buffer, std::size_t n) const;
  // The size the transaction's writes gave the file.
  Result size(const File& file, std::uint64_t& out) const;

  // Journals and writes what is held so far, with one flush of the journal.
  // Happens by itself when the held pages pass pendingLimit().
  Result flush();
  std::size_t pendingBytes() const;
  void setPendingLimit(std::size_t bytes);

  Result commit();
  Result rollback();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Restores the files named in a leftover journal and removes it. Ok when
// there is no journal. Incomplete journal records (the process died while
// writing the journal itself) are ignored: their writes never happened.
Result RecoverJournal(const std::string& journalPath);

// Helpers shared with the file replacement in lock.cpp.
// CRC-32 (the common reflected polynomial 0xEDB88320) of a byte range.
std::uint32_t Crc32(const void* data, std::size_t n);
// Flushes the directory holding `path`, so that a file created, renamed or
// removed there stays so after a crash.
Result SyncParentDirectory(const std::string& path);

}  // namespace engine::io
