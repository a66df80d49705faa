#include "engine/io/lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/io/path.h"

namespace engine::io {

namespace {

// ---- Table locks ----------------------------------------------------------

// Open-file-description locks belong to one open of the file, not to the
// process, so two opens in one process conflict just as two processes do,
// and closing the descriptor (or dying) releases them. The lock covers one
// byte far past any real data so that it never meets locks placed on
// records.
constexpr off_t kLockOffset = off_t{1} << 62;

int RequestLock(int fd, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kLockOffset;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl);
}

Result LockFailure(const std::string& path) {
  if (errno == EAGAIN || errno == EACCES) return Fail(ErrTableInUse, "Table is in use: " + path);
  if (errno == EBADF)
    return Fail(ErrAccessDenied, path + ": no write access, cannot lock the table exclusively");
  return OsFailure(path, "cannot lock");
}

bool SameFile(int fd, const std::string& path) {
  struct stat a {
  }, b{};
  return ::fstat(fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

// ---- File replacement -------------------------------------------------------
//
// Per entry (S staged, T target, A = T + kAsideSuffix) the forward steps are:
// move T to A if T exists, then move S to T (a deletion stops after the
// first step). When every entry is done, the asides are removed, then the
// plan. The plan is flushed before the first rename, and every staged file
// existed then, so recovery reads the state from the disk:
//  - A plan cut short or failing its checksum was never acted on; it is
//    removed and nothing else changes.
//  - A staged file that is gone while its target exists has been moved in.
//    A staged file gone together with its target is lost (something outside
//    removed it); the new set can then not be completed.
//  - Without a lost file, roll forward: repeat the forward steps for entries
//    whose staged file is still there, remove the asides, then the plan.
//  - Otherwise roll back, last entry first: a moved staged file goes back
//    from T to S, then A (if present) back to T; then the plan is removed.
// Each step looks at the disk before acting, so an interrupted recovery can
// simply run again. This holds as long as nobody else touches these files
// while a plan exists.
//
// Plan layout, numbers little-endian: "QRYPLAN\n", u32 version, u32 entry
// count, per entry u32 length + staged path and u32 length + target path,
// then the CRC-32 of everything before it.
constexpr char kPlanMagic[8] = {'Q', 'R', 'Y', 'P', 'L', 'A', 'N', '\n'};
constexpr std::uint32_t kPlanVersion = 1;

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::uint32_t GetU32(const std::string& s, std::size_t pos) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[pos + i]);
  return v;
}

std::string Aside(const std::string& target) { return target + kAsideSuffix; }

Result Move(const std::string& from, const std::string& to) {
  BeforeStep();
  if (::rename(from.c_str(), to.c_str()) != 0) return OsFailure(from, "cannot rename to " + to);
  return Ok;
}

Result Remove(const std::string& path) {
  BeforeStep();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return OsFailure(path, "cannot remove");
  return Ok;
}

std::string DirOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

// Flushes every directory that a rename of the plan touched. One that does
// not exist (a rename into it failed) holds nothing to flush.
Result SyncDirectories(const std::vector<Replacement>& plan) {
  std::map<std::string, std::string> dirs;  // directory -> a path inside it
  for (const Replacement& e : plan) {
    dirs.emplace(DirOf(e.target), e.target);
    if (!e.staged.empty()) dirs.emplace(DirOf(e.staged), e.staged);
  }
  for (const auto& [dir, path] : dirs)
    if (PathExists(dir))
      if (Result r = SyncParentDirectory(path)) return r;
  return Ok;
}

Result RollForward(const std::vector<Replacement>& plan) {
  for (const Replacement& e : plan) {
    if (!e.staged.empty() && !PathExists(e.staged)) continue;  // moved in already
    if (PathExists(e.target) && !PathExists(Aside(e.target)))
      if (Result r = Move(e.target, Aside(e.target))) return r;
    Result r = e.staged.empty() ? Remove(e.target) : Move(e.staged, e.target);
    if (r) return r;
  }
  if (Result r = SyncDirectories(plan)) return r;
  for (const Replacement& e : plan)
    if (Result r = Remove(Aside(e.target))) return r;
  return SyncDirectories(plan);
}

Result RollBack(const std::vector<Replacement>& plan) {
  for (auto it = plan.rbegin(); it != plan.rend(); ++it) {
    const Replacement& e = *it;
    if (!e.staged.empty() && !PathExists(e.staged) && PathExists(e.target))
      if (Result r = Move(e.target, e.staged)) return r;
    if (PathExists(Aside(e.target)))
      if (Result r = Move(Aside(e.target), e.target)) return r;
  }
  return SyncDirectories(plan);
}

bool StagedFileLost(const std::vector<Replacement>& plan) {
  for (const Replacement& e : plan)
    if (!e.staged.empty() && !PathExists(e.staged) && !PathExists(e.target)) return true;
  return false;
}

Result RemovePlan(const std::string& planPath) {
  if (Result r = Remove(planPath)) return r;
  return SyncParentDirectory(planPath);
}

std::string EncodePlan(const std::vector<Replacement>& plan) {
  std::string out(kPlanMagic, sizeof kPlanMagic);
  PutU32(out, kPlanVersion);
  PutU32(out, static_cast<std::uint32_t>(plan.size()));
  for (const Replacement& e : plan) {
    PutU32(out, static_cast<std::uint32_t>(e.staged.size()));
    out += e.staged;
    PutU32(out, static_cast<std::uint32_t>(e.target.size()));
    out += e.target;
  }
  PutU32(out, Crc32(out.data(), out.size()));
  return out;
}

// Decodes a plan; `torn` is set (and Ok returned) for a plan whose writing
// never finished.
Result DecodePlan(const std::string& path, const std::string& data, std::vector<Replacement>& plan,
                  bool& torn) {
  torn = data.size() < 20 || Crc32(data.data(), data.size() - 4) != GetU32(data, data.size() - 4);
  if (torn) return Ok;
  if (std::memcmp(data.data(), kPlanMagic, sizeof kPlanMagic) != 0)
    return Fail(ErrCorruptHeader, path + ": not a replacement plan");
  if (GetU32(data, 8) != kPlanVersion)
    return Fail(ErrUnsupportedVersion, path + ": replacement plan version is unknown");
  std::size_t pos = 16, end = data.size() - 4;
  auto takeString = [&](std::string& out) {
    if (end - pos < 4 || end - pos - 4 < GetU32(data, pos)) return false;
    out = data.substr(pos + 4, GetU32(data, pos));
    pos += 4 + out.size();
    return true;
  };
  for (std::uint32_t i = GetU32(data, 12); i > 0; --i) {
    Replacement e;
    if (!takeString(e.staged) || !takeString(e.target) || e.target.empty())
      return Fail(ErrCorruptHeader, path + ": replacement plan is malformed");
    plan.push_back(std::move(e));
  }
  if (pos != end) return Fail(ErrCorruptHeader, path + ": replacement plan is malformed");
  return Ok;
}

Result CheckPlan(const std::vector<Replacement>& plan, const std::string& planPath) {
  if (PathExists(planPath))
    return Fail(ErrFileExists, planPath + ": a replacement plan is left over; recover it first");
  std::set<std::string> names;
  for (const Replacement& e : plan) {
    if (e.target.empty()) return Fail(ErrInvalidParameter, planPath + ": a target has no name");
    if (!names.insert(e.target).second || (!e.staged.empty() && !names.insert(e.staged).second))
      return Fail(ErrInvalidParameter, e.target + ": named twice in one replacement");
  }
  for (const Replacement& e : plan) {
    struct stat st {};
    if (!e.staged.empty() && (::stat(e.staged.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
      return Fail(ErrNotFound, e.staged + ": staged file does not exist");
    if (PathExists(Aside(e.target)))
      return Fail(ErrFileExists, Aside(e.target) + ": is in the way of replacing " + e.target);
  }
  return Ok;
}

Result WriteNewFile(const std::string& path, const std::string& data) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return OsFailure(path, "cannot create");
  File f;
  ::close(fd);
  Result r = f.open(path, File::Mode::ReadWrite);
  if (!r) r = f.write(0, data.data(), data.size());
  if (!r) r = f.sync();
  if (!r) r = SyncParentDirectory(path);
  if (r) ::unlink(path.c_str());
  return r;
}

}  // namespace

TableLock::~TableLock() { release(); }

TableLock::TableLock(TableLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

TableLock& TableLock::operator=(TableLock&& other) noexcept {
  if (this != &other) {
    release();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Result TableLock::acquire(const std::string& path, Kind kind) {
  short type = kind == Kind::Exclusive ? short{F_WRLCK} : short{F_RDLCK};
  // Changing the kind of a held lock happens in place, so that the lock is
  // never let go in between and a failed change keeps the old one.
  if (fd_ >= 0 && SameFile(fd_, path)) {
    if (RequestLock(fd_, type) != 0) return LockFailure(path);
    return Ok;
  }
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0 && kind == Kind::Shared && (errno == EACCES || errno == EROFS))
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return OsFailure(path, "cannot open for locking");
  if (RequestLock(fd, type) != 0) {
    Result r = LockFailure(path);
    ::close(fd);
    return r;
  }
  release();
  fd_ = fd;
  return Ok;
}

void TableLock::release() {
  if (fd_ >= 0) ::close(fd_);  // closing the description drops its locks
  fd_ = -1;
}

void TableLock::suspend() {
  if (fd_ >= 0) RequestLock(fd_, F_UNLCK);
}

Result TableLock::resume(const std::string& path, Kind kind) {
  if (fd_ < 0) return acquire(path, kind);
  if (RequestLock(fd_, kind == Kind::Exclusive ? short{F_WRLCK} : short{F_RDLCK}) != 0)
    return LockFailure(path);
  return Ok;
}

bool TableLock::held() const { return fd_ >= 0; }

Result WriteReplacePlan(const std::vector<Replacement>& plan, const std::string& planPath) {
  if (Result r = CheckPlan(plan, planPath)) return r;
  for (const Replacement& e : plan) {
    if (e.staged.empty()) continue;
    File f;
    if (Result r = f.open(e.staged, File::Mode::Read)) return r;
    if (Result r = f.sync()) return r;
  }
  return WriteNewFile(planPath, EncodePlan(plan));
}

Result RecoverReplace(const std::string& planPath) {
  if (!PathExists(planPath)) return Ok;
  std::string data;
  if (Result r = ReadWholeFile(planPath, data)) return r;
  std::vector<Replacement> plan;
  bool torn = false;
  if (Result r = DecodePlan(planPath, data, plan, torn)) return r;
  if (!torn) {
    Result r = StagedFileLost(plan) ? RollBack(plan) : RollForward(plan);
    if (r) return r;
  }
  return RemovePlan(planPath);
}

Result ReplaceFiles(const std::vector<Replacement>& plan, const std::string& planPath) {
  if (plan.empty()) return Ok;
  if (Result r = WriteReplacePlan(plan, planPath)) return r;
  Result r = RollForward(plan);
  if (!r) return RemovePlan(planPath);
  // Undo what was done; if even that fails, the plan stays for
  // RecoverReplace(). Either way the first failure is what is reported.
  std::string message = LastErrorMessage();
  if (!RollBack(plan)) RemovePlan(planPath);
  return Fail(r, message);
}

}  // namespace engine::io
