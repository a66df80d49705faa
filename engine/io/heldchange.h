// A change of a table held open over several calls (beginChange and
// endChange of the Paradox and dBASE tables): the calls in between join it,
// and after one of them failed it can only be rolled back. `Change` is the
// table's change class: begun by the caller, committed by commit(), rolled
// back by its destructor.
#pragma once

#include <memory>
#include <string>

#include "engine/errors.h"

namespace engine::io {

template <typename Change>
class HeldChange {
 public:
  bool active() const { return change_ != nullptr; }
  Change& change() { return *change_; }

  // Holds `change`, begun already.
  Result hold(std::shared_ptr<Change> change, const std::string& table) {
    if (change_) return Fail(ErrInvalidParameter, table + ": a change is running already");
    change_ = std::move(change);
    failed_ = false;
    return Ok;
  }
  // Runs `step` on the held change; a failure marks the change failed.
  template <typename Step>
  Result run(const std::string& table, Step&& step) {
    if (failed_)
      return Fail(ErrInvalidParameter, table + ": a failed change must be rolled back first");
    Result r = step(*change_);
    if (r) failed_ = true;
    return r;
  }
  // Commits the change, or rolls it back; a failed change is rolled back
  // and, when a commit was asked for, fails.
  Result end(bool commit, const std::string& table) {
    std::shared_ptr<Change> change = std::move(change_);
    change_.reset();
    if (!change) return Ok;
    if (commit && !failed_) return change->commit();
    change.reset();  // rolls back
    if (commit) return Fail(ErrInvalidParameter, table + ": the change failed and was rolled back");
    return Ok;
  }
  // Rolls a change left running back.
  void drop() { change_.reset(); }

 private:
  std::shared_ptr<Change> change_;
  bool failed_ = false;
};

}  // namespace engine::io
