#include "engine/dataset/tablerows.h"

#include <algorithm>

#include "engine/errors.h"

namespace engine {

class TableRows::Restore {
 public:
  explicit Restore(TTable& table) : cursor_(table.Handle()) {
    had_ = GetRecordNo(cursor_, recNo_) == Ok;
    ClearLastError();
  }
  ~Restore() {
    if (had_ ? SetToRecordNo(cursor_, recNo_) : SetToBegin(cursor_)) ClearLastError();
  }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  hDBICur cursor_;
  std::uint32_t recNo_ = 0;
  bool had_ = false;
};

namespace {

bool AtEnd(Result r) { return r == ErrEndOfList || r == ErrBeginOfList; }

}  // namespace

bool TableRows::everyRecordIsARow() const {
  if (table_->Filtered()) return false;
  std::int64_t shown = 1;
  // Only dBASE cursors have the property; every Paradox record is shown.
  if (GetProp(table_->Handle(), kPropShowDeleted, shown) != Ok) {
    ClearLastError();
    return true;
  }
  return shown != 0;
}

void TableRows::Reset() {
  cache_.clear();
  starts_.clear();
  scanned_ = 0;
  count_ = 0;
  complete_ = true;
  if (!table_->Active()) return;
  direct_ = everyRecordIsARow();
  if (direct_) {
    count_ = table_->RecordCount();
    return;
  }
  complete_ = false;
  Discover(4 * kBlockRows);
}

std::uint32_t TableRows::Discover(std::uint32_t budget) {
  if (complete_ || !table_->Active()) return 0;
  Restore restore(*table_);
  const hDBICur cursor = table_->Handle();
  if (scanned_ == 0)
    Check(SetToBegin(cursor));
  else
    Check(SetToRecordNo(cursor, scanned_));
  const std::uint32_t before = count_;
  std::vector<Value> values;
  const bool filtered = table_->Filtered();
  for (; budget > 0; --budget) {
    const Result r = GetNextRecord(cursor, filtered ? &values : nullptr);
    if (AtEnd(r)) {
      ClearLastError();
      complete_ = true;
      break;
    }
    Check(r);
    Check(GetRecordNo(cursor, scanned_));
    if (filtered && !table_->Passes(values)) continue;
    if (count_ % kBlockRows == 0) starts_.push_back(scanned_);
    ++count_;
  }
  return count_ - before;
}

void TableRows::DiscoverAll() {
  while (!complete_) Discover(64 * 1024);
}

std::uint32_t TableRows::blockStart(std::uint32_t index) const {
  return direct_ ? index * kBlockRows + 1 : starts_[index];
}

TableRows::Block TableRows::read(std::uint32_t index) {
  Restore restore(*table_);
  const hDBICur cursor = table_->Handle();
  Block b;
  b.index = index;
  const std::uint32_t wanted = std::min(kBlockRows, count_ - index * kBlockRows);
  Result r = SetToRecordNo(cursor, blockStart(index));
  std::vector<Value> values;
  if (r == Ok) r = GetRecord(cursor, values);
  while (r == Ok) {
    if (!table_->Filtered() || table_->Passes(values)) {
      std::uint32_t recNo = 0;
      Check(GetRecordNo(cursor, recNo));
      bool deleted = false;
      if (IsRecordDeleted(cursor, deleted) != Ok) ClearLastError();
      b.recNos.push_back(recNo);
      b.values.push_back(std::move(values));
      b.deleted.push_back(deleted);
      if (b.recNos.size() == wanted) break;
    }
    values.clear();
    r = GetNextRecord(cursor, &values);
  }
  // A record that went away leaves the block short; the rows past it read
  // as gone until the grid starts over.
  if (r == ErrNoCurrentRecord || AtEnd(r))
    ClearLastError();
  else
    Check(r);
  return b;
}

TableRows::Block* TableRows::block(std::uint32_t index) {
  for (Block& b : cache_)
    if (b.index == index) {
      b.used = ++clock_;
      return &b;
    }
  Block fresh = read(index);
  fresh.used = ++clock_;
  if (cache_.size() < kCachedBlocks) {
    cache_.push_back(std::move(fresh));
    return &cache_.back();
  }
  auto oldest = std::min_element(cache_.begin(), cache_.end(),
                                 [](const Block& a, const Block& b) { return a.used < b.used; });
  *oldest = std::move(fresh);
  return &*oldest;
}

const std::vector<Value>* TableRows::Values(std::uint32_t row) {
  if (row >= count_) return nullptr;
  Block* b = block(row / kBlockRows);
  const std::uint32_t at = row % kBlockRows;
  return at < b->values.size() ? &b->values[at] : nullptr;
}

bool TableRows::Deleted(std::uint32_t row) {
  if (row >= count_) return false;
  Block* b = block(row / kBlockRows);
  const std::uint32_t at = row % kBlockRows;
  return at < b->deleted.size() && b->deleted[at];
}

std::uint32_t TableRows::RecNo(std::uint32_t row) {
  if (row >= count_) return 0;
  Block* b = block(row / kBlockRows);
  const std::uint32_t at = row % kBlockRows;
  return at < b->recNos.size() ? b->recNos[at] : 0;
}

void TableRows::GoTo(std::uint32_t row) {
  const std::uint32_t recNo = RecNo(row);
  if (recNo == 0) Check(Fail(ErrNoCurrentRecord, "The record is no longer in the table."));
  table_->SetRecNo(recNo);
}

std::optional<std::uint32_t> TableRows::CurrentRow() {
  const std::uint32_t recNo = table_->RecNo();
  if (recNo == 0 || count_ == 0) return std::nullopt;
  std::uint32_t index = 0;
  if (direct_) {
    index = (recNo - 1) / kBlockRows;
    if (recNo > count_) return std::nullopt;
  } else {
    auto it = std::upper_bound(starts_.begin(), starts_.end(), recNo);
    if (it == starts_.begin()) return std::nullopt;
    index = static_cast<std::uint32_t>(it - starts_.begin() - 1);
  }
  const Block* b = block(index);
  auto at = std::find(b->recNos.begin(), b->recNos.end(), recNo);
  if (at == b->recNos.end()) return std::nullopt;
  return index * kBlockRows + static_cast<std::uint32_t>(at - b->recNos.begin());
}

}  // namespace engine
