#include "engine/io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace engine::io {

Result OsFailure(const std::string& path, const std::string& what) {
  int e = errno;
  Result code = ErrIo;
  if (e == ENOENT || e == ENOTDIR) code = ErrNotFound;
  if (e == EACCES || e == EPERM || e == EROFS) code = ErrAccessDenied;
  if (e == EEXIST) code = ErrFileExists;
  return Fail(code, path + ": " + what + ": " + std::strerror(e));
}

File::~File() { close(); }

File::File(File&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

Result File::open(const std::string& path, Mode mode) {
  close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::Read: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return OsFailure(path, "cannot open");
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Fail(ErrIo, path + ": is a directory");
  }
  fd_ = fd;
  path_ = path;
  return Ok;
}

void File::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result File::read(std::uint64_t offset, void* buffer, std::size_t n) const {
  auto* p = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return OsFailure(path_, "read failed");
    }
    if (got == 0)
      return Fail(ErrIo, path_ + ": file is truncated (wanted " + std::to_string(n) +
                             " bytes at offset " + std::to_string(offset) + ")");
    done += static_cast<std::size_t>(got);
  }
  return Ok;
}

namespace {
StepHook g_stepHook = nullptr;
}

IoCounters& Counters() {
  static IoCounters counters;
  return counters;
}

void SetStepHook(StepHook hook) { g_stepHook = hook; }

void BeforeStep() {
  if (g_stepHook) g_stepHook();
}

namespace {
thread_local int t_skipFlushes = 0;
}  // namespace

SkipFlushes::SkipFlushes() { ++t_skipFlushes; }
SkipFlushes::~SkipFlushes() { --t_skipFlushes; }

bool SyncDescriptor(int fd) {
  if (t_skipFlushes) return true;
  BeforeStep();
  ++Counters().flushes;
  return ::fsync(fd) == 0;
}

Result File::write(std::uint64_t offset, const void* buffer, std::size_t n) {
  BeforeStep();
  ++Counters().writes;
  Counters().bytesWritten += n;
  const auto* p = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < n) {
    ssize_t put = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return OsFailure(path_, "write failed");
    }
    done += static_cast<std::size_t>(put);
  }
  return Ok;
}

Result File::size(std::uint64_t& out) const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return OsFailure(path_, "cannot stat");
  out = static_cast<std::uint64_t>(st.st_size);
  return Ok;
}

Result File::truncate(std::uint64_t length) {
  BeforeStep();
  if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) return OsFailure(path_, "cannot truncate");
  return Ok;
}

Result File::sync() {
  if (!SyncDescriptor(fd_)) return OsFailure(path_, "cannot flush");
  return Ok;
}

Result CopyFileBytes(const std::string& from, const std::string& to) {
  File in, out;
  if (Result r = in.open(from, File::Mode::Read)) return r;
  if (Result r = out.open(to, File::Mode::Create)) return r;
  std::uint64_t size = 0;
  if (Result r = in.size(size)) return r;
  std::vector<char> buf(1 << 20);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), size - at));
    if (Result r = in.read(at, buf.data(), n)) return r;
    if (Result r = out.write(at, buf.data(), n)) return r;
    at += n;
  }
  return Ok;
}

Result ReadWholeFile(const std::string& path, std::string& out) {
  File f;
  if (Result r = f.open(path, File::Mode::Read)) return r;
  std::uint64_t n = 0;
  if (Result r = f.size(n)) return r;
  out.resize(n);
  if (n == 0) return Ok;
  return f.read(0, out.data(), n);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace engine::io
