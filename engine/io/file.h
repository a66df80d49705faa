// Plain file access by offset, with failures reported as engine result codes
// whose messages name the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/errors.h"

namespace engine::io {

class File {
 public:
  enum class Mode { Read, ReadWrite, Create /* read-write, truncated or new */ };

  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  Result open(const std::string& path, Mode mode);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

  // Reads exactly n bytes at offset; a short read is ErrIo ("truncated").
  Result read(std::uint64_t offset, void* buffer, std::size_t n) const;
  Result write(std::uint64_t offset, const void* buffer, std::size_t n);
  Result size(std::uint64_t& out) const;
  Result truncate(std::uint64_t length);
  Result sync();

 private:
  int fd_ = -1;
  std::string path_;
};

// A failure of the operating system (errno) as a result code whose message
// names the file and what was being done.
Result OsFailure(const std::string& path, const std::string& what);

// Every step that changes what is on disk (a write, a size change, a flush,
// a removal or rename) is counted here, for the benchmarks; a test may hook
// in to stop the process at any step.
struct IoCounters {
  std::uint64_t writes = 0;        // write calls
  std::uint64_t bytesWritten = 0;  // bytes they wrote
  std::uint64_t flushes = 0;       // fsync calls, directories included
};
IoCounters& Counters();
using StepHook = void (*)();
void SetStepHook(StepHook hook);
// Called before each such step.
void BeforeStep();
// Flushes a descriptor to disk, counted.
bool SyncDescriptor(int fd);
// While one lives, SyncDescriptor on this thread flushes nothing: for
// scratch tables (query answers in the private directory) that need not
// survive a crash.
class SkipFlushes {
 public:
  SkipFlushes();
  ~SkipFlushes();
  SkipFlushes(const SkipFlushes&) = delete;
  SkipFlushes& operator=(const SkipFlushes&) = delete;
};

// Copies the bytes of the file `from` into a new file `to` (replacing one
// that is there), in pieces of 1 MiB.
Result CopyFileBytes(const std::string& from, const std::string& to);
// Reads a whole file into memory.
Result ReadWholeFile(const std::string& path, std::string& out);
bool FileExists(const std::string& path);

}  // namespace engine::io
