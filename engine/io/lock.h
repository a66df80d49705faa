// Operating-system locks on table files, so that two processes (or two
// opens in one process) cannot both hold a table exclusively, nor one hold
// it exclusively while another has it open.
#pragma once

#include <string>
#include <vector>

#include "engine/errors.h"

namespace engine::io {

class TableLock {
 public:
  enum class Kind { Shared, Exclusive };
  TableLock() = default;
  ~TableLock();
  TableLock(TableLock&&) noexcept;
  TableLock& operator=(TableLock&&) noexcept;

  // Takes the lock on the table at `path` without waiting; ErrTableInUse
  // ("Table is in use: PATH") when someone holds a conflicting lock.
  Result acquire(const std::string& path, Kind kind);
  void release();
  // Lets go of the lock but keeps its file open, for resume() to take it
  // again on the same file.
  void suspend();
  Result resume(const std::string& path, Kind kind);
  bool held() const;

 private:
  int fd_ = -1;
};

// Replaces a set of files at once: each staged file is renamed over its
// target (targets that do not exist are created; a staged path of "" deletes
// the target). An interruption leaves either all old or all new files: the
// plan is written to `planPath` first and RecoverReplace() finishes it.
struct Replacement {
  std::string staged;  // new file, beside the target; "" to delete the target
  std::string target;
};
Result ReplaceFiles(const std::vector<Replacement>& plan, const std::string& planPath);
// Finishes (or undoes) a replacement whose plan was left at `planPath`; Ok
// when there is none. The rules are described in lock.cpp.
Result RecoverReplace(const std::string& planPath);

// The first step of ReplaceFiles: checks the plan (staged files exist, no
// target twice, no aside file in the way), flushes the staged files and
// writes the plan durably. RecoverReplace() then carries it out.
Result WriteReplacePlan(const std::vector<Replacement>& plan, const std::string& planPath);
// While it is being replaced, a target is moved aside to target + this.
inline constexpr char kAsideSuffix[] = ".old~";

}  // namespace engine::io
