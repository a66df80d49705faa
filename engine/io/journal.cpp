#include "engine/io/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

namespace engine::io {

namespace {

// Journal layout, all numbers little-endian:
//   header   "QRYJRNL\n", u32 version, u32 reserved (0)
//   records  u32 body length, u32 CRC-32 of the body, body
//   body     u8 kind, u16 path length, path, then by kind
//            kFileRecord:  u8 existed, u64 original size
//            kImageRecord: u64 offset, the bytes that were there before
// A record is appended and flushed before the write it protects, so a record
// cut short or failing its checksum belongs to a write that never happened.
constexpr char kMagic[8] = {'Q', 'R', 'Y', 'J', 'R', 'N', 'L', '\n'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 16;
constexpr std::size_t kRecordHeadSize = 8;
constexpr std::size_t kMinBodySize = 3;
constexpr std::uint64_t kPageSize = 4096;  // before-images cover whole pages
enum : std::uint8_t { kFileRecord = 1, kImageRecord = 2 };

void PutU16(std::string& out, std::uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void PutU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

std::uint64_t GetLe(std::string_view s, std::size_t pos, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[pos + i]);
  return v;
}

// Appends a checksummed record whose body starts with kind and path.
void PutRecord(std::string& out, std::uint8_t kind, const std::string& path,
               const std::string& rest) {
  std::string body;
  body.push_back(static_cast<char>(kind));
  PutU16(body, static_cast<std::uint16_t>(path.size()));
  body += path;
  body += rest;
  PutU32(out, static_cast<std::uint32_t>(body.size()));
  PutU32(out, Crc32(body.data(), body.size()));
  out += body;
}

void PutFileRecord(std::string& out, const std::string& path, bool existed, std::uint64_t size) {
  std::string rest(1, existed ? '\1' : '\0');
  PutU64(rest, size);
  PutRecord(out, kFileRecord, path, rest);
}

void PutImageRecord(std::string& out, const std::string& path, std::uint64_t offset,
                    const std::string& bytes) {
  std::string rest;
  PutU64(rest, offset);
  rest += bytes;
  PutRecord(out, kImageRecord, path, rest);
}

Result WriteAll(int fd, const std::string& path, std::uint64_t offset, std::string_view data) {
  BeforeStep();
  ++Counters().writes;
  Counters().bytesWritten += data.size();
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t put =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      return OsFailure(path, "cannot write the journal");
    }
    done += static_cast<std::size_t>(put);
  }
  return Ok;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

Result RemoveFile(const std::string& path) {
  BeforeStep();
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return OsFailure(path, "cannot remove");
  return Ok;
}

// One parsed journal record; `bytes` points into the journal's contents.
struct Record {
  std::uint8_t kind = 0;
  std::string path;
  bool existed = false;
  std::uint64_t number = 0;  // original size or image offset
  std::string_view bytes;
};

// Decodes the body of a record whose checksum matched; false when it is
// malformed.
bool DecodeBody(std::string_view body, Record& rec) {
  rec.kind = static_cast<std::uint8_t>(body[0]);
  std::size_t pathLen = GetLe(body, 1, 2);
  std::size_t pos = 3 + pathLen;
  if (pos > body.size()) return false;
  rec.path.assign(body.substr(3, pathLen));
  if (rec.kind == kFileRecord) {
    if (body.size() != pos + 9) return false;
    rec.existed = body[pos] != 0;
    rec.number = GetLe(body, pos + 1, 8);
    return true;
  }
  if (rec.kind == kImageRecord) {
    if (body.size() < pos + 8) return false;
    rec.number = GetLe(body, pos, 8);
    rec.bytes = body.substr(pos + 8);
    return true;
  }
  return false;
}

// Reads the records of a journal up to its end or its first incomplete or
// damaged record.
Result ParseJournal(const std::string& path, std::string_view data, std::vector<Record>& out) {
  if (data.size() < kHeaderSize) return Ok;  // died while writing the header
  if (std::memcmp(data.data(), kMagic, sizeof kMagic) != 0)
    return Fail(ErrCorruptHeader, path + ": not a rollback journal");
  if (GetLe(data, 8, 4) != kVersion)
    return Fail(ErrUnsupportedVersion,
                path + ": journal version " + std::to_string(GetLe(data, 8, 4)) + " is unknown");
  std::size_t pos = kHeaderSize;
  while (data.size() - pos >= kRecordHeadSize) {
    std::uint64_t len = GetLe(data, pos, 4);
    std::uint32_t crc = static_cast<std::uint32_t>(GetLe(data, pos + 4, 4));
    if (len < kMinBodySize || len > data.size() - pos - kRecordHeadSize) break;
    std::string_view body = data.substr(pos + kRecordHeadSize, len);
    if (Crc32(body.data(), body.size()) != crc) break;
    Record rec;
    if (!DecodeBody(body, rec))
      return Fail(ErrCorruptBlock,
                  path + ": journal record at offset " + std::to_string(pos) + " is malformed");
    out.push_back(std::move(rec));
    pos += kRecordHeadSize + len;
  }
  return Ok;
}

// Applies the records newest first. Each file's first record (its original
// size) comes last, so even a file journaled twice ends up as it was at the
// start. Every step writes fixed bytes or sets a fixed size, so a recovery
// that is itself interrupted can simply be run again.
Result UndoRecords(const std::vector<Record>& records) {
  std::map<std::string, File> files;
  std::set<std::string> removed;
  auto openFile = [&files](const std::string& path, File*& out) -> Result {
    File& f = files[path];
    if (!f.isOpen())
      if (Result r = f.open(path, File::Mode::ReadWrite)) return r;
    out = &f;
    return Ok;
  };
  for (auto it = records.rbegin(); it != records.rend(); ++it) {
    const Record& rec = *it;
    if (rec.kind == kFileRecord && !rec.existed) {
      files.erase(rec.path);
      if (Result r = RemoveFile(rec.path)) return r;
      removed.insert(rec.path);
      continue;
    }
    File* f = nullptr;
    if (Result r = openFile(rec.path, f)) return r;
    Result r = rec.kind == kImageRecord ? f->write(rec.number, rec.bytes.data(), rec.bytes.size())
                                        : f->truncate(rec.number);
    if (r) return r;
  }
  for (auto& [path, f] : files)
    if (Result r = f.sync()) return r;
  for (const std::string& path : removed)
    if (Result r = SyncParentDirectory(path)) return r;
  return Ok;
}

}  // namespace

std::uint32_t Crc32(const void* data, std::size_t n) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  const auto* p = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

Result SyncParentDirectory(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return OsFailure(dir, "cannot open directory");
  bool synced = SyncDescriptor(fd);
  ::close(fd);
  if (!synced) return OsFailure(dir, "cannot flush directory");
  return Ok;
}

// A page as the transaction will leave it; bytes before `lo` are unchanged.
struct Page {
  std::string bytes;
  std::uint32_t lo = kPageSize;
};

// A file touched by the transaction. Its bytes, as the transaction sees
// them: pending pages first; else, below `zeroFrom`, what is on disk; else
// zeros, up to `size`.
struct Tracked {
  std::string path;  // the name its journal records use
  bool existed = true;
  bool announced = false;  // its original size is in the journal
  bool written = false;    // changed on disk: flushed at commit
  std::uint64_t originalSize = 0;
  std::uint64_t diskSize = 0;
  std::uint64_t size = 0;
  std::uint64_t zeroFrom = UINT64_MAX;
  // Per page, the offset from which its old bytes are in the journal.
  std::map<std::uint64_t, std::uint32_t> savedFrom;
  std::map<std::uint64_t, Page> pending;
  int fd = -1;  // a duplicate of the caller's descriptor
};

using FileKey = std::pair<dev_t, ino_t>;

struct Transaction::Impl {
  std::string journalPath;
  int journalFd = -1;
  std::uint64_t journalEnd = 0;
  std::map<FileKey, Tracked> files;  // keyed by identity, not name
  std::size_t pendingBytes = 0;
  std::size_t pendingLimit = 16u << 20;

  ~Impl() { closeAll(); }

  void closeAll() {
    for (auto& [key, t] : files)
      if (t.fd >= 0) ::close(t.fd);
    files.clear();
    if (journalFd >= 0) ::close(journalFd);
    journalFd = -1;
  }

  // Appends records and flushes them; on failure the journal is cut back so
  // that a later append does not follow a damaged record. The first append
  // brings the journal's header and makes the journal's name durable.
  Result append(const std::string& records) {
    std::string data;
    if (journalEnd == 0) {
      data.assign(kMagic, sizeof kMagic);
      PutU32(data, kVersion);
      PutU32(data, 0);
    }
    data += records;
    Result r = WriteAll(journalFd, journalPath, journalEnd, data);
    if (!r && !SyncDescriptor(journalFd)) r = OsFailure(journalPath, "cannot flush the journal");
    if (!r && journalEnd == 0) r = SyncParentDirectory(journalPath);
    if (r) {
      if (::ftruncate(journalFd, static_cast<off_t>(journalEnd)) == 0) SyncDescriptor(journalFd);
      return r;
    }
    journalEnd += data.size();
    return Ok;
  }

  static Result keyOf(const File& file, FileKey& key, std::uint64_t* size = nullptr) {
    struct stat st {};
    if (!file.isOpen() || ::fstat(file.fd(), &st) != 0)
      return Fail(ErrInvalidHandle, file.path() + ": file is not open");
    key = {st.st_dev, st.st_ino};
    if (size) *size = static_cast<std::uint64_t>(st.st_size);
    return Ok;
  }

  Tracked* find(const File& file) {
    FileKey key;
    if (keyOf(file, key) != Ok) return nullptr;
    auto it = files.find(key);
    return it == files.end() ? nullptr : &it->second;
  }

  Result track(File& file, Tracked*& out) {
    FileKey key;
    std::uint64_t size = 0;
    if (Result r = keyOf(file, key, &size)) return r;
    auto it = files.find(key);
    if (it != files.end()) {
      out = &it->second;
      return Ok;
    }
    Tracked t;
    t.path = file.path();
    t.originalSize = t.diskSize = t.size = size;
    return add(key, std::move(t), file.fd(), out);
  }

  Result add(const FileKey& key, Tracked t, int fd, Tracked*& out) {
    t.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (t.fd < 0) return OsFailure(t.path, "cannot duplicate descriptor");
    out = &files.emplace(key, std::move(t)).first->second;
    return Ok;
  }

  // Reads bytes [from, from + n) of the file as the transaction sees them,
  // leaving pending pages aside: what the disk holds below zeroFrom, zeros
  // past it.
  static Result readBelow(const Tracked& t, std::uint64_t from, char* out, std::size_t n) {
    std::memset(out, 0, n);
    const std::uint64_t limit = std::min(t.diskSize, t.zeroFrom);
    if (from >= limit) return Ok;
    const std::size_t have = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit - from));
    std::size_t done = 0;
    while (done < have) {
      ssize_t got = ::pread(t.fd, out + done, have - done, static_cast<off_t>(from + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return OsFailure(t.path, "read failed");
      done += static_cast<std::size_t>(got);
    }
    return Ok;
  }

  Result pendingPage(Tracked& t, std::uint64_t page, Page*& out) {
    auto it = t.pending.find(page);
    if (it == t.pending.end()) {
      Page fresh;
      fresh.bytes.assign(kPageSize, '\0');
      if (Result r = readBelow(t, page * kPageSize, fresh.bytes.data(), kPageSize)) return r;
      it = t.pending.emplace(page, std::move(fresh)).first;
      pendingBytes += kPageSize;
    }
    out = &it->second;
    return Ok;
  }

  Result write(File& file, std::uint64_t offset, const char* data, std::size_t n) {
    Tracked* t;
    if (Result r = track(file, t)) return r;
    for (std::size_t done = 0; done < n;) {
      const std::uint64_t at = offset + done;
      const std::size_t in = static_cast<std::size_t>(at % kPageSize);
      const std::size_t length = std::min<std::size_t>(n - done, kPageSize - in);
      Page* page;
      if (Result r = pendingPage(*t, at / kPageSize, page)) return r;
      std::memcpy(page->bytes.data() + in, data + done, length);
      page->lo = std::min<std::uint32_t>(page->lo, static_cast<std::uint32_t>(in));
      done += length;
    }
    t->size = std::max(t->size, offset + n);
    return pendingBytes > pendingLimit ? flush() : Result{Ok};
  }

  Result resize(File& file, std::uint64_t length) {
    Tracked* t;
    if (Result r = track(file, t)) return r;
    if (length < t->size) {
      const std::uint64_t firstGone = (length + kPageSize - 1) / kPageSize;
      for (auto it = t->pending.lower_bound(firstGone); it != t->pending.end();) {
        it = t->pending.erase(it);
        pendingBytes -= kPageSize;
      }
      auto partial = t->pending.find(length / kPageSize);
      if (partial != t->pending.end())
        std::memset(partial->second.bytes.data() + length % kPageSize, 0,
                    kPageSize - length % kPageSize);
      t->zeroFrom = std::min(t->zeroFrom, length);
    }
    t->size = length;
    return Ok;
  }

  Result read(const File& file, std::uint64_t offset, char* out, std::size_t n) {
    Tracked* t = find(file);
    if (!t) return file.read(offset, out, n);
    if (offset + n > t->size)
      return Fail(ErrIo, t->path + ": file is truncated (wanted " + std::to_string(n) +
                             " bytes at offset " + std::to_string(offset) + ")");
    for (std::size_t done = 0; done < n;) {
      const std::uint64_t at = offset + done;
      const std::size_t in = static_cast<std::size_t>(at % kPageSize);
      const std::size_t length = std::min<std::size_t>(n - done, kPageSize - in);
      auto it = t->pending.find(at / kPageSize);
      if (it != t->pending.end())
        std::memcpy(out + done, it->second.bytes.data() + in, length);
      else if (Result r = readBelow(*t, at, out + done, length))
        return r;
      done += length;
    }
    return Ok;
  }

  // The old bytes the next flush would lose, by page, from an offset in
  // the page: what pending pages change from the lowest byte written on,
  // and whole pages that a cut removes. Only bytes below the original size
  // count, and only those the journal does not hold yet.
  static std::map<std::uint64_t, std::uint32_t> toSave(const Tracked& t) {
    std::map<std::uint64_t, std::uint32_t> from;
    for (const auto& [page, p] : t.pending) from[page] = p.lo;
    const std::uint64_t cut = std::min(t.zeroFrom, t.diskSize);
    const std::uint64_t end = std::min(t.diskSize, t.originalSize);
    if (cut < end)
      for (std::uint64_t page = cut / kPageSize; page * kPageSize < end; ++page) from[page] = 0;
    std::map<std::uint64_t, std::uint32_t> out;
    for (const auto& [page, lo] : from) {
      const std::uint64_t start = page * kPageSize;
      if (start + lo >= t.originalSize) continue;
      auto saved = t.savedFrom.find(page);
      if (saved != t.savedFrom.end() && saved->second <= lo) continue;
      out[page] = lo;
    }
    return out;
  }

  // Journal records for what a flush of `t` overwrites: its size when first
  // touched, and the old bytes of `pages` (up to what is saved already).
  Result journalFor(Tracked& t, const std::map<std::uint64_t, std::uint32_t>& pages,
                    std::string& records) {
    if (!t.announced) PutFileRecord(records, t.path, t.existed, t.originalSize);
    for (const auto& [page, lo] : pages) {
      const std::uint64_t start = page * kPageSize + lo;
      auto saved = t.savedFrom.find(page);
      const std::uint64_t savedAt =
          saved == t.savedFrom.end() ? UINT64_MAX : page * kPageSize + saved->second;
      const std::uint64_t end =
          std::min<std::uint64_t>({(page + 1) * kPageSize, t.originalSize, savedAt});
      std::string old(static_cast<std::size_t>(end - start), '\0');
      std::size_t done = 0;
      while (done < old.size()) {
        ssize_t got =
            ::pread(t.fd, old.data() + done, old.size() - done, static_cast<off_t>(start + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return OsFailure(t.path, "cannot read what a change replaces");
        done += static_cast<std::size_t>(got);
      }
      PutImageRecord(records, t.path, start, old);
    }
    return Ok;
  }

  static Result truncateTo(Tracked& t, std::uint64_t length) {
    BeforeStep();
    if (::ftruncate(t.fd, static_cast<off_t>(length)) != 0)
      return OsFailure(t.path, "cannot truncate");
    t.diskSize = length;
    return Ok;
  }

  // Writes the pending pages of `t`, runs of consecutive pages at once.
  static Result apply(Tracked& t) {
    if (t.zeroFrom < t.diskSize)
      if (Result r = truncateTo(t, t.zeroFrom)) return r;
    std::string run;
    std::uint64_t runStart = 0;
    auto writeRun = [&]() -> Result {
      if (run.empty()) return Ok;
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(run.size(), t.size - runStart));
      if (Result r = WriteAll(t.fd, t.path, runStart, std::string_view(run).substr(0, n))) return r;
      t.diskSize = std::max(t.diskSize, runStart + n);
      run.clear();
      return Ok;
    };
    constexpr std::size_t kMaxRun = 256 * kPageSize;
    for (const auto& [page, p] : t.pending) {
      if (!run.empty() && (runStart + run.size() != page * kPageSize || run.size() >= kMaxRun))
        if (Result r = writeRun()) return r;
      if (run.empty()) runStart = page * kPageSize;
      run += p.bytes;
    }
    if (Result r = writeRun()) return r;
    if (t.size != t.diskSize)
      if (Result r = truncateTo(t, t.size)) return r;
    t.pending.clear();
    t.zeroFrom = UINT64_MAX;
    t.written = true;
    return Ok;
  }

  static bool changed(const Tracked& t) {
    return !t.pending.empty() || t.size != t.diskSize || t.zeroFrom < t.diskSize;
  }

  Result flush() {
    std::string records;
    std::map<Tracked*, std::map<std::uint64_t, std::uint32_t>> saved;
    for (auto& [key, t] : files) {
      if (!changed(t)) continue;
      auto& pages = saved[&t] = toSave(t);
      if (Result r = journalFor(t, pages, records)) return r;
    }
    if (saved.empty()) return Ok;
    if (!records.empty())
      if (Result r = append(records)) return r;
    for (auto& [t, pages] : saved) {
      t->announced = true;
      for (const auto& [page, lo] : pages) t->savedFrom[page] = lo;
      if (Result r = apply(*t)) return r;
    }
    pendingBytes = 0;
    return Ok;
  }

  Result flushFiles() {
    std::set<std::string> created;
    for (auto& [key, t] : files) {
      if (!t.written) continue;
      if (!SyncDescriptor(t.fd)) return OsFailure(t.path, "cannot flush");
      if (!t.existed) created.insert(t.path);
    }
    for (const std::string& path : created)
      if (Result r = SyncParentDirectory(path)) return r;
    return Ok;
  }
};

Transaction::Transaction() = default;

Transaction::~Transaction() {
  if (impl_) rollback();
}

bool Transaction::active() const { return impl_ != nullptr; }

// The writer of a journal holds a lock on it for as long as its change runs,
// so that an opener in another process does not take a live change for an
// interrupted one. Open-file-description locks vanish with the process.
bool LockJournal(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The journal is created empty: until its first records are flushed no file
// has been touched, and an empty journal left by a crash is simply removed.
Result Transaction::begin(const std::string& journalPath) {
  if (impl_) return Fail(ErrInvalidParameter, journalPath + ": a transaction is already active");
  BeforeStep();
  int fd = ::open(journalPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST)
      return Fail(ErrFileExists,
                  journalPath + ": a journal is left from an interrupted change; recover it first");
    return OsFailure(journalPath, "cannot create the journal");
  }
  LockJournal(fd);
  impl_ = std::make_unique<Impl>();
  impl_->journalPath = journalPath;
  impl_->journalFd = fd;
  return Ok;
}

Result Transaction::write(File& file, std::uint64_t offset, const void* data, std::size_t n) {
  if (!impl_) return Fail(ErrInvalidHandle, file.path() + ": no transaction is active");
  return impl_->write(file, offset, static_cast<const char*>(data), n);
}

Result Transaction::resize(File& file, std::uint64_t length) {
  if (!impl_) return Fail(ErrInvalidHandle, file.path() + ": no transaction is active");
  return impl_->resize(file, length);
}

Result Transaction::read(const File& file, std::uint64_t offset, void* buffer,
                         std::size_t n) const {
  if (!impl_) return file.read(offset, buffer, n);
  return impl_->read(file, offset, static_cast<char*>(buffer), n);
}

Result Transaction::size(const File& file, std::uint64_t& out) const {
  if (impl_)
    if (const Tracked* t = impl_->find(file)) {
      out = t->size;
      return Ok;
    }
  return file.size(out);
}

Result Transaction::flush() {
  if (!impl_) return Fail(ErrInvalidHandle, "flush: no transaction is active");
  return impl_->flush();
}

std::size_t Transaction::pendingBytes() const { return impl_ ? impl_->pendingBytes : 0; }

void Transaction::setPendingLimit(std::size_t bytes) {
  if (impl_) impl_->pendingLimit = bytes;
}

Result Transaction::create(File& file, const std::string& path) {
  if (!impl_) return Fail(ErrInvalidHandle, path + ": no transaction is active");
  if (PathExists(path)) return Fail(ErrFileExists, path + ": file exists already");
  // The record goes first: a file created before its record was flushed
  // would outlive a crash.
  std::uint64_t mark = impl_->journalEnd;
  std::string record;
  PutFileRecord(record, path, false, 0);
  if (Result r = impl_->append(record)) return r;
  BeforeStep();
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  Result r = fd < 0 ? OsFailure(path, "cannot create") : file.open(path, File::Mode::ReadWrite);
  struct stat st {};
  if (!r && ::fstat(fd, &st) != 0) r = OsFailure(path, "cannot stat");
  if (!r) {
    Tracked t;
    t.path = path;
    t.existed = false;
    t.announced = true;
    t.written = true;
    Tracked* added = nullptr;
    r = impl_->add({st.st_dev, st.st_ino}, std::move(t), fd, added);
  }
  if (fd >= 0) ::close(fd);
  if (r && fd < 0) {
    // Nothing was created: drop the record, lest a rollback remove a file
    // someone else created meanwhile.
    if (::ftruncate(impl_->journalFd, static_cast<off_t>(mark)) == 0)
      SyncDescriptor(impl_->journalFd);
    impl_->journalEnd = mark;
  }
  return r;
}

Result Transaction::commit() {
  if (!impl_) return Fail(ErrInvalidHandle, "commit: no transaction is active");
  if (Result r = impl_->flush()) return r;
  if (Result r = impl_->flushFiles()) return r;
  // Until the journal is gone the change may still be rolled back. A
  // journal that never received a record protects nothing: its removal
  // need not be made durable.
  std::string journalPath = impl_->journalPath;
  const bool used = impl_->journalEnd > 0;
  if (Result r = RemoveFile(journalPath)) return r;
  impl_.reset();
  return used ? SyncParentDirectory(journalPath) : Result{Ok};
}

Result Transaction::rollback() {
  if (!impl_) return Fail(ErrInvalidHandle, "rollback: no transaction is active");
  std::string journalPath = impl_->journalPath;
  impl_.reset();
  return RecoverJournal(journalPath);
}

Result RecoverJournal(const std::string& journalPath) {
  if (!PathExists(journalPath)) return Ok;
  int fd = ::open(journalPath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (!PathExists(journalPath)) return Ok;  // finished meanwhile
    return OsFailure(journalPath, "cannot open the journal");
  }
  // A change still running in another process is not ours to undo.
  const bool live = !LockJournal(fd);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  if (live) return Ok;
  std::string data;
  if (Result r = ReadWholeFile(journalPath, data)) return r;
  std::vector<Record> records;
  if (Result r = ParseJournal(journalPath, data, records)) return r;
  if (Result r = UndoRecords(records)) return r;
  if (Result r = RemoveFile(journalPath)) return r;
  return SyncParentDirectory(journalPath);
}

}  // namespace engine::io
