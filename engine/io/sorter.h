// Sorts fixed-size records that need not fit in memory: records are
// gathered in a buffer of bounded size, each full buffer is sorted and
// written to a temporary file (a run), and the runs are merged as the
// records are read back. The order is stable: records that compare equal
// come back in the order they were added. Records added in order already
// are neither sorted nor merged: the runs are read back one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"

namespace engine::io {

class ExternalSorter {
 public:
  using Compare = std::function<int(const std::uint8_t* a, const std::uint8_t* b)>;

  // Runs go to unnamed temporary files in `tempDir`, which vanish with the
  // process; `memory` bounds the buffer.
  ExternalSorter(std::size_t recordSize, Compare compare, std::string tempDir,
                 std::size_t memory = 8u << 20);
  ~ExternalSorter();
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;

  Result add(const std::uint8_t* record);
  std::uint64_t count() const { return count_; }
  // Ends the adding; next() then gives the records in order.
  Result finish();
  // The next record (valid until the following call), or `end`.
  Result next(const std::uint8_t*& record, bool& end);

 private:
  struct Run;
  Result spill();
  Result openRun(Run& run);
  void sortBuffer(std::vector<std::uint32_t>& order) const;
  Result fill(Run& run);
  bool after(std::size_t a, std::size_t b) const;  // run a's record comes after run b's
  Result nextInRuns(const std::uint8_t*& record, bool& end);

  const std::size_t recordSize_;
  Compare compare_;
  std::string tempDir_;
  std::size_t capacity_;  // records the buffer holds
  std::vector<std::uint8_t> buffer_;
  std::size_t buffered_ = 0;
  std::uint64_t count_ = 0;
  std::vector<std::unique_ptr<Run>> runs_;
  // Reading back: the buffer in sorted order, or a merge of the runs.
  std::vector<std::uint32_t> order_;
  std::size_t nextInOrder_ = 0;
  std::vector<std::size_t> heap_;   // runs by their current record
  std::size_t lastRun_ = SIZE_MAX;  // the run that gave the last record
  bool finished_ = false;
  bool merging_ = false;
  // Every record so far came in order (not before the one added last).
  bool inOrder_ = true;
  std::vector<std::uint8_t> last_;
  std::size_t currentRun_ = 0;  // reading runs of records that came in order
};

}  // namespace engine::io
