#include "engine/dbase/dbfamily.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <tuple>

#include "engine/dbase/dbheader.h"
#include "engine/dbase/dbmemo.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/mdx.h"
#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"

namespace engine::dbase {

namespace {

using io::BaseName;
using io::JoinPath;
using io::Lower;
using io::PathExists;
using io::PathParts;
using io::SameFile;
using io::SplitPath;
using io::Upper;

int Rank(std::int32_t kind) { return kind == famTable ? 0 : kind == famBlob ? 1 : 2; }

// The regular files of `dir` named `stem` (without regard to case) with a
// member's extension, in the order of the list.
std::vector<FamilyDesc> Members(const std::string& dir, const std::string& stem) {
  std::vector<FamilyDesc> out;
  const auto names = io::DirectoryNames(dir);
  if (!names) return out;
  const std::string wanted = Upper(stem);
  for (const std::string& name : *names) {
    const PathParts p = SplitPath(name);
    if (Upper(p.stem) != wanted || p.ext.empty()) continue;
    const std::int32_t kind = DbaseFamilyKindOf(p.ext);
    if (kind == 0) continue;
    const std::string path = JoinPath(dir, name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back({name, 0, kind, path});
  }
  std::sort(out.begin(), out.end(), [](const FamilyDesc& a, const FamilyDesc& b) {
    return std::make_tuple(Rank(a.kind), Upper(SplitPath(a.name).ext), a.name) <
           std::make_tuple(Rank(b.kind), Upper(SplitPath(b.name).ext), b.name);
  });
  return out;
}

}  // namespace

Result FindDbaseTable(const std::string& path, std::string& dbf) {
  const PathParts p = SplitPath(path);
  for (const FamilyDesc& m : Members(p.dir, p.stem)) {
    if (m.kind == famTable && Upper(SplitPath(m.name).ext) == "DBF") {
      dbf = m.fileName;
      return Ok;
    }
  }
  return Fail(ErrNotFound, path + ": table does not exist");
}

namespace {

Result ExistingTable(const std::string& path, std::string& dbf) { return FindDbaseTable(path, dbf); }

bool Writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

// The header of a .DBF, read as DbaseTable reads it.
Result ReadHeader(const std::string& dbf, DbfHeader& h) {
  io::File f;
  if (Result r = f.open(dbf, io::File::Mode::Read)) return r;
  std::uint64_t size = 0;
  if (Result r = f.size(size)) return r;
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, DbfHeader::kMaxLength)));
  if (!head.empty())
    if (Result r = f.read(0, head.data(), head.size())) return r;
  return h.parse(dbf, head, size);
}

// The code page of a table's text (437 when its header cannot be read).
int CodePageOfTable(const std::string& dbf) {
  DbfHeader h;
  if (ReadHeader(dbf, h) != Ok) {
    ClearLastError();
    return 437;
  }
  const text::LanguageDriver* driver = nullptr;
  return CodePageOf(h, driver);
}

// Where a member's header names the table: the .DBT's bytes 8-15, the
// .MDX's 4-19. Width 0: the member carries no name.
void NameField(const std::string& fileName, std::size_t& at, std::size_t& width) {
  const std::string ext = Upper(SplitPath(fileName).ext);
  at = width = 0;
  if (ext == "DBT") {
    at = 8;
    width = 8;
  } else if (ext == "MDX") {
    at = 4;
    width = 16;
  }
}

bool SameNoCase(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

// Writes `newStem` into the name field of the member at `path` when the
// field holds `oldStem` (its first `width` bytes, any case); anything else
// there is left as it is.
Result PatchName(const std::string& path, const std::string& fileName,
                 const std::string& oldStem, const std::string& newStem, int codePage) {
  std::size_t at = 0, width = 0;
  NameField(fileName, at, width);
  if (width == 0) return Ok;
  io::File f;
  if (Result r = f.open(path, io::File::Mode::ReadWrite)) return r;
  std::uint64_t size = 0;
  if (Result r = f.size(size)) return r;
  if (size < at + width) return Ok;
  std::string field(width, '\0');
  if (Result r = f.read(at, field.data(), width)) return r;
  std::string stored = field.substr(0, field.find('\0'));
  while (!stored.empty() && stored.back() == ' ') stored.pop_back();
  const text::Codec& codec = text::SharedCodec(codePage);
  std::string oldBytes, newBytes;
  codec.fromUtf8(oldStem, oldBytes);
  codec.fromUtf8(newStem, newBytes);  // characters it lacks become '?'
  if (stored.empty() || !SameNoCase(stored, oldBytes.substr(0, width))) return Ok;
  if (stored == Upper(stored) && stored != Lower(stored)) newBytes = Upper(newBytes);
  // Padded as it was: with blanks or with NULs.
  const char pad = stored.size() < width && field[stored.size()] == ' ' ? ' ' : '\0';
  std::string replaced = newBytes.substr(0, width);
  replaced.resize(width, pad);
  return f.write(at, replaced.data(), width);
}

// Removes what a run left in a work directory and makes it anew.
Result FreshWorkDirectory(const std::string& dir) {
  io::RemoveWorkDirectory(dir);
  if (::mkdir(dir.c_str(), 0777) != 0) return io::OsFailure(dir, "creating the work directory");
  return Ok;
}

// Cleans up after a run, keeping the message of its failure.
template <typename Build>
Result Settle(Result r, Build&& cleanup) {
  if (r == Ok) {
    cleanup();
    return Ok;
  }
  const std::string message = LastErrorMessage();
  cleanup();
  return Fail(r, message);
}

}  // namespace

std::int32_t DbaseFamilyKindOf(const std::string& extension) {
  const std::string e = Upper(extension);
  if (e == "DBF") return famTable;
  if (e == "DBT" || e == "FPT") return famBlob;
  if (e == "MDX" || e == "CDX") return famIndex;
  return 0;
}

Result DbaseFileName(const std::string& name, std::string& out) {
  return io::TableFileName(name, "DBF", "a dBASE table", out);
}

Result ListDbaseFamily(const std::string& dbf, std::vector<FamilyDesc>& out) {
  std::string path;
  if (Result r = ExistingTable(dbf, path)) return r;
  const PathParts p = SplitPath(path);
  out = Members(p.dir, p.stem);
  return Ok;
}

Result LockDbaseExclusive(const std::string& dbf, io::TableLock& lock) {
  struct stat st {};
  if (::stat(dbf.c_str(), &st) == 0 && (st.st_mode & 0222) == 0)
    return Fail(ErrReadOnly, dbf + ": the table's file is marked read-only");
  Result r = lock.acquire(dbf, io::TableLock::Kind::Exclusive);
  if (r == ErrNotFound && PathExists(PlanPathOf(dbf))) {
    // A swap cut short may have moved the table aside.
    ClearLastError();
    if (Result e = io::RecoverReplace(PlanPathOf(dbf))) return e;
    r = lock.acquire(dbf, io::TableLock::Kind::Exclusive);
  }
  if (r) return r;
  if (Result e = io::RecoverReplace(PlanPathOf(dbf))) return e;
  if (Result e = io::RecoverJournal(JournalPathOf(dbf))) return e;
  if (!PathExists(dbf)) return Fail(ErrNotFound, dbf + ": table does not exist");
  // Recovery may have put another file in the table's place.
  return lock.acquire(dbf, io::TableLock::Kind::Exclusive);
}

Result LockDbaseSource(const std::string& dbf, io::TableLock& lock) {
  if (Writable(dbf)) return LockDbaseExclusive(dbf, lock);
  if (Result r = lock.acquire(dbf, io::TableLock::Kind::Shared)) return r;
  if (PathExists(PlanPathOf(dbf)) || PathExists(JournalPathOf(dbf)))
    return Fail(ErrReadOnly, dbf + ": a change of the table was cut short, and its file cannot "
                                   "be written to settle it");
  return Ok;
}

// ---- DbaseDestination -------------------------------------------------------

DbaseDestination::~DbaseDestination() {
  if (!work_.empty()) io::RemoveWorkDirectory(work_);
}

std::string DbaseDestination::staged(const std::string& upperExtension) const {
  const PathParts p = SplitPath(dbf_);
  return JoinPath(work_, io::MemberFileName(p, upperExtension));
}

Result DbaseDestination::prepare(const std::string& dbf, bool overwrite) {
  std::string existing;
  if (ExistingTable(dbf, existing) == Ok) {
    if (!overwrite)
      return Fail(ErrDestinationExists, existing + ": the destination table exists already");
    if (Result r = LockDbaseExclusive(existing, lock_)) return r;
    dbf_ = existing;
  } else {
    ClearLastError();
    // A copy into this name that was cut short is settled first.
    if (Result r = io::RecoverReplace(PlanPathOf(dbf))) return r;
    if (ExistingTable(dbf, existing) == Ok) return prepare(dbf, overwrite);
    ClearLastError();
    dbf_ = dbf;
  }
  work_ = io::WorkDirectoryOf(dbf_);
  return FreshWorkDirectory(work_);
}

Result DbaseDestination::commit() {
  const PathParts p = SplitPath(dbf_);
  const std::vector<FamilyDesc> old = Members(p.dir, p.stem);
  std::vector<FamilyDesc> built = Members(work_, p.stem);
  std::vector<io::Replacement> plan, table;
  std::set<std::string> targets;
  for (const FamilyDesc& m : built) {
    std::string target = JoinPath(p.dir, m.name);
    for (const FamilyDesc& o : old)
      if (SameNoCase(SplitPath(o.name).ext, SplitPath(m.name).ext)) target = o.fileName;
    if (m.kind == famTable) target = dbf_;
    targets.insert(target);
    (m.kind == famTable ? table : plan).push_back({m.fileName, target});
  }
  if (table.empty()) return Fail(ErrInvalidParameter, dbf_ + ": nothing was built to swap in");
  for (const FamilyDesc& o : old)
    if (!targets.count(o.fileName)) plan.push_back({"", o.fileName});
  plan.insert(plan.end(), table.begin(), table.end());
  if (Result r = io::ReplaceFiles(plan, PlanPathOf(dbf_))) return r;
  lock_.release();
  return Ok;
}

// ---- The operations ---------------------------------------------------------

Result CopyDbaseTable(const std::string& source, const std::string& destination,
                      bool overwrite) {
  std::string from, to;
  if (Result r = ExistingTable(source, from)) return r;
  if (Result r = DbaseFileName(destination, to)) return r;
  std::string existing;
  if (ExistingTable(to, existing) == Ok && SameFile(existing, from))
    return Fail(ErrInvalidParameter, destination + ": a table cannot be copied onto itself");
  ClearLastError();
  io::TableLock sourceLock;
  if (Result r = LockDbaseSource(from, sourceLock)) return r;
  DbaseDestination dest;
  if (Result r = dest.prepare(to, overwrite)) return r;
  const PathParts sp = SplitPath(from), dp = SplitPath(dest.path());
  const int codePage = CodePageOfTable(from);
  for (const FamilyDesc& m : Members(sp.dir, sp.stem)) {
    const std::string staged = dest.staged(Upper(SplitPath(m.name).ext));
    if (Result r = io::CopyFileBytes(m.fileName, staged)) return r;
    if (Result r = PatchName(staged, m.name, sp.stem, dp.stem, codePage)) return r;
  }
  return dest.commit();
}

Result DeleteDbaseTable(const std::string& dbf) {
  std::string path;
  if (Result r = ExistingTable(dbf, path)) return r;
  io::TableLock lock;
  if (Result r = LockDbaseExclusive(path, lock)) return r;
  const PathParts p = SplitPath(path);
  std::vector<io::Replacement> plan;
  // The .DBF goes last: while it is there, its next open finishes the plan.
  for (const FamilyDesc& m : Members(p.dir, p.stem))
    if (m.fileName != path) plan.push_back({"", m.fileName});
  plan.push_back({"", path});
  return io::ReplaceFiles(plan, PlanPathOf(path));
}

Result RenameDbaseTable(const std::string& dbf, const std::string& newName) {
  std::string path;
  if (Result r = ExistingTable(dbf, path)) return r;
  const PathParts op = SplitPath(path);
  if (newName.find('/') != std::string::npos && !SameFile(SplitPath(newName).dir, op.dir))
    return Fail(ErrInvalidParameter,
                newName + ": a table is renamed within its directory; copy it to move it");
  // A name without extension keeps the old extension's spelling.
  std::string newFile = BaseName(newName);
  if (newFile.find('.') == std::string::npos) newFile += "." + op.ext;
  std::string newDbf;
  if (Result r = DbaseFileName(JoinPath(op.dir, newFile), newDbf)) return r;
  if (BaseName(newDbf) == BaseName(path))
    return Fail(ErrInvalidParameter, newName + ": the table has this name already");
  const PathParts np = SplitPath(newDbf);
  const bool caseOnly = SameNoCase(np.stem, op.stem);
  io::TableLock lock;
  if (Result r = LockDbaseExclusive(path, lock)) return r;
  if (!caseOnly) {
    std::string taken;
    if (ExistingTable(newDbf, taken) != Ok) {
      ClearLastError();
      if (Result r = io::RecoverReplace(PlanPathOf(newDbf))) return r;
    }
    if (ExistingTable(newDbf, taken) == Ok)
      return Fail(ErrFileExists, taken + ": a table of that name exists already");
    ClearLastError();
  }
  const std::vector<FamilyDesc> members = Members(op.dir, op.stem);
  auto targetOf = [&](const FamilyDesc& m) {
    return m.kind == famTable && m.fileName == path
               ? newDbf
               : JoinPath(np.dir, io::MemberFileName(np, SplitPath(m.name).ext));
  };
  std::vector<io::Replacement> plan, table;
  std::set<std::string> targets;
  for (const FamilyDesc& m : members) targets.insert(targetOf(m));
  // Members of the new name left without their table go.
  if (!caseOnly)
    for (const FamilyDesc& stray : Members(np.dir, np.stem))
      if (!targets.count(stray.fileName)) plan.push_back({"", stray.fileName});
  for (const FamilyDesc& m : members)
    (m.fileName == path ? table : plan).push_back({m.fileName, targetOf(m)});
  plan.insert(plan.end(), table.begin(), table.end());
  if (Result r = io::ReplaceFiles(plan, PlanPathOf(path))) return r;
  // The lock holds the moved file still: the names follow before anyone
  // else can open the table.
  const int codePage = CodePageOfTable(newDbf);
  for (const FamilyDesc& m : members) {
    const std::string target = targetOf(m);
    if (Result r = PatchName(target, BaseName(target), op.stem, np.stem, codePage)) return r;
  }
  return Ok;
}

Result EmptyDbaseTable(const std::string& dbf) {
  std::string path;
  if (Result r = ExistingTable(dbf, path)) return r;
  io::TableLock lock;
  if (Result r = LockDbaseExclusive(path, lock)) return r;
  DbfHeader h;
  if (Result r = ReadHeader(path, h)) return r;
  const std::string name = BaseName(path);
  if (h.flavor == Flavor::Dbase2)
    return Fail(ErrReadOnly,
                name + " is a dBASE II table, which this program reads but does not change");
  if (h.flavor == Flavor::FoxPro)
    return Fail(ErrReadOnly,
                name + " is a FoxPro table, which this program reads but does not change");
  if (h.encrypted())
    return Fail(ErrReadOnly, name + " is encrypted, which this program does not change");

  const PathParts p = SplitPath(path);
  const std::string work = io::WorkDirectoryOf(path);
  auto build = [&]() -> Result {
    if (Result r = FreshWorkDirectory(work)) return r;
    // The header as it is, counting no records.
    DbfHeader fresh = h;
    fresh.setRecordCount(0);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    fresh.setLastUpdate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    std::vector<std::uint8_t> bytes = fresh.raw;
    bytes.push_back(0x1A);
    io::File out;
    if (Result r = out.open(JoinPath(work, name), io::File::Mode::Create)) return r;
    if (Result r = out.write(0, bytes.data(), bytes.size())) return r;

    // The memo file keeps its header (block size, name) and loses its values;
    // a missing one is made anew.
    if (h.memo != MemoFormat::None) {
      const std::string found = MemoFile::Find(path, h.memo);
      const std::string memoName = found.empty() ? io::MemberFileName(p, "DBT") : BaseName(found);
      std::string header;
      if (found.empty()) {
        header = MemoFile::NewHeader(h.memo, p.stem);
      } else if (MemoFile memo; memo.open(found, h.memo, false) != Ok) {
        // Its values go anyway: a memo file that cannot be read is made anew.
        ClearLastError();
        header = MemoFile::NewHeader(h.memo, p.stem);
      } else {
        const std::uint32_t block = memo.blockSize();
        const std::uint32_t blocks = std::max<std::uint32_t>(1, (512 + block - 1) / block);
        std::uint64_t size = 0;
        if (Result r = memo.file().size(size)) return r;
        header.assign(std::size_t{blocks} * block, '\0');
        if (Result r = memo.file().read(
                0, header.data(),
                static_cast<std::size_t>(std::min<std::uint64_t>(size, header.size()))))
          return r;
        for (int k = 0; k < 4; ++k) header[k] = static_cast<char>(blocks >> (8 * k));
      }
      io::File m;
      if (Result r = m.open(JoinPath(work, memoName), io::File::Mode::Create)) return r;
      if (Result r = m.write(0, header.data(), header.size())) return r;
    }

    // The production index: its tags, with no keys.
    for (const FamilyDesc& m : Members(p.dir, p.stem)) {
      if (Upper(SplitPath(m.name).ext) != "MDX") continue;
      MdxFile index;
      if (Result r = ReadMdx(m.fileName, index)) return r;
      std::vector<MdxTagDef> tags(index.tags.begin(), index.tags.end());
      struct NoKeys : KeySource {
        Result next(MdxRecordKeys&, bool& end) override {
          end = true;
          return Ok;
        }
      } none;
      if (Result r = WriteMdx(JoinPath(work, m.name), index.dbfName, tags, none)) return r;
    }

    std::vector<io::Replacement> plan, table;
    for (const FamilyDesc& m : Members(work, p.stem)) {
      std::string target = JoinPath(p.dir, m.name);
      for (const FamilyDesc& o : Members(p.dir, p.stem))
        if (o.name == m.name) target = o.fileName;
      (m.kind == famTable ? table : plan).push_back({m.fileName, target});
    }
    plan.insert(plan.end(), table.begin(), table.end());
    return io::ReplaceFiles(plan, PlanPathOf(path));
  };
  return Settle(build(), [&] { io::RemoveWorkDirectory(work); });
}

}  // namespace engine::dbase
