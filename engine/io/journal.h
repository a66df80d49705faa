// A rollback journal that makes a change to several files all-or-nothing.
//
// Before a region of a file is overwritten for the first time within a
// transaction, its old bytes (and the file's old size) go to the journal,
// which is flushed before the write. Commit flushes the files and removes
// the journal. If the process dies before commit, the next opener calls
// RecoverJournal(), which puts every recorded region and size back, so the
// files are exactly as they were before the transaction.
#pragma once

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

  // Starts a transaction whose journal lives at journalPath (a file that
  // must not exist yet; a leftover one must be recovered first).
  Result begin(const std::string& journalPath);
  bool active() const;

  // Writes through the journal: saves the before-image of the bytes about
  // to be overwritten (once per region), then writes.
  Result write(File& file, std::uint64_t offset, const void* data, std::size_t n);
  // Truncates or extends a file through the journal.
  Result resize(File& file, std::uint64_t length);

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

}  // namespace engine::io
