#include "engine/io/sorter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/io/file.h"

namespace engine::io {

namespace {

constexpr std::size_t kReadAhead = 64 * 1024;

Result WriteFully(int fd, const std::string& what, const std::uint8_t* data, std::size_t n) {
  while (n > 0) {
    ssize_t put = ::write(fd, data, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return OsFailure(what, "cannot write sorted records");
    data += put;
    n -= static_cast<std::size_t>(put);
  }
  return Ok;
}

}  // namespace

// A sorted run in a temporary file, read back a window at a time.
struct ExternalSorter::Run {
  int fd = -1;
  std::uint64_t records = 0;
  std::uint64_t taken = 0;       // records handed out so far
  std::uint64_t fileOffset = 0;  // where the next window starts
  std::vector<std::uint8_t> window;
  std::size_t at = 0, have = 0;  // records in the window: current, loaded
  ~Run() {
    if (fd >= 0) ::close(fd);
  }
};

ExternalSorter::ExternalSorter(std::size_t recordSize, Compare compare, std::string tempDir,
                               std::size_t memory)
    : recordSize_(recordSize),
      compare_(std::move(compare)),
      tempDir_(std::move(tempDir)),
      capacity_(std::max<std::size_t>(memory / recordSize, 1)) {}

ExternalSorter::~ExternalSorter() = default;

Result ExternalSorter::add(const std::uint8_t* record) {
  if (finished_) return Fail(ErrInvalidParameter, "sorter: records added after the end");
  if (buffered_ == capacity_)
    if (Result r = spill()) return r;
  // Records that come in order need no sorting: one comparison each tells.
  if (inOrder_ && count_ > 0 && compare_(last_.data(), record) > 0) inOrder_ = false;
  if (inOrder_) last_.assign(record, record + recordSize_);
  if (buffer_.size() < (buffered_ + 1) * recordSize_)
    buffer_.resize(std::min(capacity_, std::max<std::size_t>(64, 2 * (buffered_ + 1))) *
                   recordSize_);
  std::memcpy(buffer_.data() + buffered_ * recordSize_, record, recordSize_);
  ++buffered_;
  ++count_;
  return Ok;
}

void ExternalSorter::sortBuffer(std::vector<std::uint32_t>& order) const {
  order.resize(buffered_);
  for (std::size_t i = 0; i < buffered_; ++i) order[i] = static_cast<std::uint32_t>(i);
  if (inOrder_) return;
  const std::uint8_t* base = buffer_.data();
  const std::size_t size = recordSize_;
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare_(base + a * size, base + b * size) < 0;
  });
}

Result ExternalSorter::openRun(Run& run) {
  run.fd = ::open(tempDir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (run.fd >= 0) return Ok;
  // Without unnamed files: a named one, removed at once.
  std::string name = tempDir_ + "/.quarry-sort-XXXXXX";
  run.fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (run.fd < 0) return OsFailure(tempDir_, "cannot create a temporary file");
  ::unlink(name.c_str());
  return Ok;
}

Result ExternalSorter::spill() {
  std::vector<std::uint32_t> order;
  sortBuffer(order);
  auto run = std::make_unique<Run>();
  if (Result r = openRun(*run)) return r;
  std::vector<std::uint8_t> out;
  out.reserve(kReadAhead);
  for (std::uint32_t i : order) {
    out.insert(out.end(), buffer_.data() + i * recordSize_, buffer_.data() + (i + 1) * recordSize_);
    if (out.size() >= kReadAhead) {
      if (Result r = WriteFully(run->fd, tempDir_, out.data(), out.size())) return r;
      out.clear();
    }
  }
  if (Result r = WriteFully(run->fd, tempDir_, out.data(), out.size())) return r;
  run->records = buffered_;
  runs_.push_back(std::move(run));
  buffered_ = 0;
  return Ok;
}

Result ExternalSorter::fill(Run& run) {
  const std::uint64_t left = run.records - run.taken;
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(left, std::max<std::size_t>(kReadAhead / recordSize_, 1)));
  run.window.resize(want * recordSize_);
  std::size_t done = 0;
  while (done < run.window.size()) {
    ssize_t got = ::pread(run.fd, run.window.data() + done, run.window.size() - done,
                          static_cast<off_t>(run.fileOffset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return OsFailure(tempDir_, "cannot read sorted records back");
    done += static_cast<std::size_t>(got);
  }
  run.fileOffset += done;
  run.at = 0;
  run.have = want;
  return Ok;
}

bool ExternalSorter::after(std::size_t a, std::size_t b) const {
  const Run& x = *runs_[a];
  const Run& y = *runs_[b];
  const int c =
      compare_(x.window.data() + x.at * recordSize_, y.window.data() + y.at * recordSize_);
  return c != 0 ? c > 0 : a > b;
}

Result ExternalSorter::finish() {
  if (finished_) return Ok;
  finished_ = true;
  if (runs_.empty()) {
    sortBuffer(order_);
    return Ok;
  }
  if (buffered_ > 0)
    if (Result r = spill()) return r;
  buffer_.clear();
  buffer_.shrink_to_fit();
  merging_ = true;
  // Runs of records that came in order follow each other: no merge.
  if (inOrder_) return Ok;
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    if (Result r = fill(*runs_[i])) return r;
    heap_.push_back(i);
  }
  std::make_heap(heap_.begin(), heap_.end(),
                 [this](std::size_t a, std::size_t b) { return after(a, b); });
  return Ok;
}

// The heap's top is the run with the smallest current record; among equal
// records the earliest run, which holds the records added first.
Result ExternalSorter::next(const std::uint8_t*& record, bool& end) {
  if (!finished_)
    if (Result r = finish()) return r;
  if (!merging_) {
    end = nextInOrder_ == order_.size();
    if (!end) record = buffer_.data() + order_[nextInOrder_++] * recordSize_;
    return Ok;
  }
  if (inOrder_) return nextInRuns(record, end);
  auto order = [this](std::size_t a, std::size_t b) { return after(a, b); };
  if (lastRun_ != SIZE_MAX) {
    Run& run = *runs_[lastRun_];
    ++run.taken;
    ++run.at;
    if (run.at == run.have && run.taken < run.records)
      if (Result r = fill(run)) return r;
    if (run.taken < run.records) {
      heap_.push_back(lastRun_);
      std::push_heap(heap_.begin(), heap_.end(), order);
    }
    lastRun_ = SIZE_MAX;
  }
  end = heap_.empty();
  if (end) return Ok;
  std::pop_heap(heap_.begin(), heap_.end(), order);
  lastRun_ = heap_.back();
  heap_.pop_back();
  const Run& top = *runs_[lastRun_];
  record = top.window.data() + top.at * recordSize_;
  return Ok;
}

// Reading back records that came in order: each run whole, one after
// another, a window at a time.
Result ExternalSorter::nextInRuns(const std::uint8_t*& record, bool& end) {
  for (; currentRun_ < runs_.size(); ++currentRun_) {
    Run& run = *runs_[currentRun_];
    if (run.taken == run.records) {
      run.window = {};
      continue;
    }
    if (run.at == run.have)
      if (Result r = fill(run)) return r;
    record = run.window.data() + run.at * recordSize_;
    ++run.at;
    ++run.taken;
    end = false;
    return Ok;
  }
  end = true;
  return Ok;
}

}  // namespace engine::io
