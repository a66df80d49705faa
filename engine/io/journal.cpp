#include "engine/io/journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

Result WriteAll(int fd, const std::string& path, std::uint64_t offset, const std::string& data) {
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
  int rc = ::fsync(fd);
  ::close(fd);
  if (rc != 0) return OsFailure(dir, "cannot flush directory");
  return Ok;
}

// A file touched by the transaction.
struct Tracked {
  std::string path;  // the name its journal records use
  bool existed = true;
  std::uint64_t originalSize = 0;
  std::set<std::uint64_t> savedPages;
  int fd = -1;  // a duplicate of the caller's descriptor, flushed at commit
};

struct Transaction::Impl {
  std::string journalPath;
  int journalFd = -1;
  std::uint64_t journalEnd = 0;
  std::map<std::pair<dev_t, ino_t>, Tracked> files;  // keyed by identity, not name

  ~Impl() { closeAll(); }

  void closeAll() {
    for (auto& [key, t] : files)
      if (t.fd >= 0) ::close(t.fd);
    files.clear();
    if (journalFd >= 0) ::close(journalFd);
    journalFd = -1;
  }

  // Appends records and flushes them; on failure the journal is cut back so
  // that a later append does not follow a damaged record.
  Result append(const std::string& records) {
    Result r = WriteAll(journalFd, journalPath, journalEnd, records);
    if (!r && ::fsync(journalFd) != 0) r = OsFailure(journalPath, "cannot flush the journal");
    if (r) {
      if (::ftruncate(journalFd, static_cast<off_t>(journalEnd)) == 0) ::fsync(journalFd);
      return r;
    }
    journalEnd += records.size();
    return Ok;
  }

  Result add(const std::pair<dev_t, ino_t>& key, Tracked t, int fd, Tracked*& out) {
    t.fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (t.fd < 0) return OsFailure(t.path, "cannot duplicate descriptor");
    out = &files.emplace(key, std::move(t)).first->second;
    return Ok;
  }

  // Journals what is needed to undo a change to bytes [from, to) of `file`:
  // its original size when first touched, and the pages of the range that
  // lie within that size and have not been saved yet. Bytes past the
  // original size need no image; truncation undoes them.
  Result prepare(File& file, std::uint64_t from, std::uint64_t to) {
    struct stat st {};
    if (!file.isOpen() || ::fstat(file.fd(), &st) != 0)
      return Fail(ErrInvalidHandle, file.path() + ": file is not open");
    std::pair<dev_t, ino_t> key{st.st_dev, st.st_ino};
    std::string records;
    auto it = files.find(key);
    Tracked fresh;
    if (it == files.end()) {
      fresh.path = file.path();
      fresh.originalSize = static_cast<std::uint64_t>(st.st_size);
      PutFileRecord(records, fresh.path, true, fresh.originalSize);
    }
    Tracked& t = it == files.end() ? fresh : it->second;
    std::vector<std::uint64_t> pages;
    std::uint64_t end = std::min(to, t.originalSize);
    for (std::uint64_t page = from / kPageSize; from < end && page * kPageSize < end; ++page) {
      if (t.savedPages.count(page)) continue;
      std::uint64_t start = page * kPageSize;
      std::string old(std::min(kPageSize, t.originalSize - start), '\0');
      if (Result r = file.read(start, old.data(), old.size())) return r;
      PutImageRecord(records, t.path, start, old);
      pages.push_back(page);
    }
    if (records.empty()) return Ok;
    if (Result r = append(records)) return r;
    Tracked* saved = &t;
    if (it == files.end())
      if (Result r = add(key, std::move(fresh), file.fd(), saved)) return r;
    saved->savedPages.insert(pages.begin(), pages.end());
    return Ok;
  }

  Result flushFiles() {
    std::set<std::string> created;
    for (auto& [key, t] : files) {
      if (::fsync(t.fd) != 0) return OsFailure(t.path, "cannot flush");
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

Result Transaction::begin(const std::string& journalPath) {
  if (impl_) return Fail(ErrInvalidParameter, journalPath + ": a transaction is already active");
  int fd = ::open(journalPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST)
      return Fail(ErrFileExists,
                  journalPath + ": a journal is left from an interrupted change; recover it first");
    return OsFailure(journalPath, "cannot create the journal");
  }
  LockJournal(fd);
  auto impl = std::make_unique<Impl>();
  impl->journalPath = journalPath;
  impl->journalFd = fd;
  std::string header(kMagic, sizeof kMagic);
  PutU32(header, kVersion);
  PutU32(header, 0);
  Result r = impl->append(header);
  if (!r) r = SyncParentDirectory(journalPath);
  if (r) {
    impl->closeAll();
    ::unlink(journalPath.c_str());
    return r;
  }
  impl_ = std::move(impl);
  return Ok;
}

Result Transaction::write(File& file, std::uint64_t offset, const void* data, std::size_t n) {
  if (!impl_) return Fail(ErrInvalidHandle, file.path() + ": no transaction is active");
  if (Result r = impl_->prepare(file, offset, offset + n)) return r;
  return file.write(offset, data, n);
}

Result Transaction::resize(File& file, std::uint64_t length) {
  if (!impl_) return Fail(ErrInvalidHandle, file.path() + ": no transaction is active");
  std::uint64_t current = 0;
  if (Result r = file.size(current)) return r;
  // Pages between the original size and the current one, if the file was
  // cut before, were saved then; the range up to `current` is what is lost.
  if (Result r = impl_->prepare(file, length, std::max(length, current))) return r;
  return file.truncate(length);
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
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  Result r = fd < 0 ? OsFailure(path, "cannot create") : file.open(path, File::Mode::ReadWrite);
  struct stat st {};
  if (!r && ::fstat(fd, &st) != 0) r = OsFailure(path, "cannot stat");
  if (!r) {
    Tracked t;
    t.path = path;
    t.existed = false;
    Tracked* added = nullptr;
    r = impl_->add({st.st_dev, st.st_ino}, std::move(t), fd, added);
  }
  if (fd >= 0) ::close(fd);
  if (r && fd < 0) {
    // Nothing was created: drop the record, lest a rollback remove a file
    // someone else created meanwhile.
    if (::ftruncate(impl_->journalFd, static_cast<off_t>(mark)) == 0) ::fsync(impl_->journalFd);
    impl_->journalEnd = mark;
  }
  return r;
}

Result Transaction::commit() {
  if (!impl_) return Fail(ErrInvalidHandle, "commit: no transaction is active");
  if (Result r = impl_->flushFiles()) return r;
  // Until the journal is gone the change may still be rolled back.
  std::string journalPath = impl_->journalPath;
  if (Result r = RemoveFile(journalPath)) return r;
  impl_.reset();
  return SyncParentDirectory(journalPath);
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
