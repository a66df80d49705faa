// The rows of an open table as a grid shows them: the records that pass the
// table's filter (and, in a dBASE table, that are not hidden deleted ones),
// in the table's order. Only the rows asked for are read, a block at a time,
// and a few blocks are kept; memory does not grow with the table.
//
// Where every record is a row (no filter, nothing hidden) row i is record
// number i + 1 and the count is the table's record count. Otherwise rows are
// found by scanning a bounded number of records per call (Discover), keeping
// only the record number each block of rows starts at.
//
// Reading moves the table's engine cursor; every call puts it back on the
// table's current record, so the table's own navigation and editing are not
// disturbed.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/dataset/table.h"

namespace engine {

class TableRows {
 public:
  static constexpr std::uint32_t kBlockRows = 128;
  static constexpr std::size_t kCachedBlocks = 16;

  explicit TableRows(TTable& table) : table_(&table) { Reset(); }

  // Starts over: after the table was opened, reordered, filtered, packed or
  // emptied, or shows deleted records differently.
  void Reset();
  // Forgets the cached values (a record was changed in place).
  void Invalidate() { cache_.clear(); }

  // Rows known so far, and whether that is all of them.
  std::uint32_t Count() const { return count_; }
  bool Complete() const { return complete_; }
  // Scans up to `budget` further records; the number of rows found.
  std::uint32_t Discover(std::uint32_t budget);
  // Scans to the end.
  void DiscoverAll();

  // The values of a known row; nullptr when it no longer exists (the table
  // changed behind the grid's back). Raises EDBEngineError on a read failure.
  const std::vector<Value>* Values(std::uint32_t row);
  // Whether the row is a record marked deleted (only shown ones can be).
  bool Deleted(std::uint32_t row);
  // The row's record number (as TTable::RecNo counts); 0 when it is gone.
  std::uint32_t RecNo(std::uint32_t row);

  // Makes the row the table's current record.
  void GoTo(std::uint32_t row);
  // The row of the table's current record, when it is a known row.
  std::optional<std::uint32_t> CurrentRow();

 private:
  struct Block {
    std::uint32_t index = 0;
    std::uint64_t used = 0;
    std::vector<std::uint32_t> recNos;
    std::vector<std::vector<Value>> values;
    std::vector<bool> deleted;
  };
  // Puts the engine cursor back where the table had it.
  class Restore;

  bool everyRecordIsARow() const;
  std::uint32_t blockStart(std::uint32_t block) const;
  Block* block(std::uint32_t index);
  Block read(std::uint32_t index);

  TTable* table_;
  bool direct_ = true;
  bool complete_ = true;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> starts_;  // scanned: first record number of each block
  std::uint32_t scanned_ = 0;          // scanned: the last record number looked at
  std::vector<Block> cache_;
  std::uint64_t clock_ = 0;
};

}  // namespace engine
