#include "engine/paradox/pxfamily.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/paradox/pxblob.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxsecurity.h"
#include "engine/paradox/pxtable.h"
#include "engine/text/codepage.h"

namespace engine::paradox {

namespace {

constexpr char kStagedSuffix[] = ".new~";

using io::BaseName;
using io::JoinPath;
using io::PathExists;
using io::PathParts;
using io::SameFile;
using io::SplitPath;
using io::Upper;

bool ParseNumber(const std::string& digits, int base, std::uint16_t& out) {
  if (digits.empty()) return false;
  unsigned v = 0;
  for (char c : digits) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
    unsigned d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    if (d >= static_cast<unsigned>(base)) return false;
    v = v * base + d;
  }
  out = static_cast<std::uint16_t>(v);
  return true;
}

// Files whose header holds the table's name: .DB, .PX and secondary indexes.
bool CarriesTableName(const FamilyMember& m) {
  const std::string ext = Upper(SplitPath(m.fileName).ext);
  return ext == "DB" || ext == "PX" || m.kind == famSecIndex || m.kind == famSecIndex2;
}

bool IsTableFile(const FamilyMember& m) { return Upper(SplitPath(m.fileName).ext) == "DB"; }

// The order of the list: by kind, the engine's side files (.Q..) last.
int Rank(const FamilyMember& m) {
  static const std::int32_t order[] = {famTable,    famIndex,     famBlob, famValChecks,
                                       famSecIndex, famSecIndex2, famForm, famReport};
  const int byKind = static_cast<int>(std::find(std::begin(order), std::end(order), m.kind) - order);
  return Upper(SplitPath(m.fileName).ext)[0] == 'Q' ? 100 + byKind : byKind;
}

// Every file of `dir` named `stem` (without regard to case) with a member's extension.
std::vector<FamilyMember> ListMembers(const std::string& dir, const std::string& stem) {
  std::vector<FamilyMember> out;
  const auto names = io::DirectoryNames(dir);
  if (!names) return out;
  const std::string wanted = Upper(stem);
  for (const std::string& name : *names) {
    PathParts p = SplitPath(name);
    if (Upper(p.stem) != wanted || p.ext.empty()) continue;
    FamilyMember m;
    m.kind = FamilyKindOf(p.ext, &m.id);
    if (m.kind == 0) continue;
    m.fileName = name;
    m.path = JoinPath(dir, name);
    struct stat st {};
    if (::stat(m.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back(std::move(m));
  }
  std::sort(out.begin(), out.end(), [](const FamilyMember& a, const FamilyMember& b) {
    return std::make_tuple(Rank(a), !IsTableFile(a), a.id, Upper(a.fileName)) <
           std::make_tuple(Rank(b), !IsTableFile(b), b.id, Upper(b.fileName));
  });
  return out;
}

// A file name in a header's code page.
std::string NameBytes(const std::string& utf8, int codePage) {
  text::Codec codec(codePage ? codePage : 437);
  std::string out;
  codec.fromUtf8(utf8, out);  // characters it lacks become '?'
  return out;
}

Result WriteAt(const std::string& path, std::uint64_t offset, const std::string& bytes) {
  io::File f;
  if (Result r = f.open(path, io::File::Mode::ReadWrite)) return r;
  return f.write(offset, bytes.data(), bytes.size());
}

// Puts `name` into the table-name field of a copied header. A header this
// engine cannot read is left as it is.
Result PatchHeaderName(const std::string& path, const std::string& name) {
  PxHeader h;
  if (ReadFileHeader(path, h) != Ok) {
    ClearLastError();
    return Ok;
  }
  const std::size_t count = h.fieldCount();
  const std::size_t at = VariablePartStart(h.version(), h.fileType()) + 2 * count + 4 +
                         (h.isDataFile() ? 4 * count : 0);
  std::string field(TableNameLength(h.version()), '\0');
  std::string bytes = NameBytes(name, h.codePage());
  std::memcpy(field.data(), bytes.data(), std::min(bytes.size(), field.size() - 1));
  return WriteAt(path, at, field);
}

std::uint32_t GetU32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
  return v;
}

std::uint16_t GetU16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) |
                                    (static_cast<unsigned char>(s[at + 1]) << 8));
}

std::string CString(const std::string& s, std::size_t at, std::size_t width) {
  std::string field = s.substr(at, width);
  return field.substr(0, field.find('\0'));
}

// The file-name part of a table name as a .VAL file writes it ("C:\DB\A.DB").
std::string WrittenFileName(const std::string& written) {
  std::size_t cut = written.find_last_of("\\/:");
  return cut == std::string::npos ? written : written.substr(cut + 1);
}

// .VAL layout (versions 9 to 11): u32 footer position at 0x09, u32 position
// of the referential-integrity list at 0x0D. The footer holds a u16 field
// count n, 4 bytes, 4n bytes of field numbers and types, then the table name.
constexpr std::size_t kValNameWidth = 0x4F;
constexpr std::size_t kLinkSize = 0x1E0, kLinkOtherTable = 0xD4, kLinkNameWidth = 0x40;

bool KnownValVersion(const std::string& val) {
  return val.size() >= 0x11 && val[1] >= 9 && val[1] <= 11;
}

// Renames the table in the footer of a copied .VAL, keeping the directory
// part the writer left there.
Result PatchValName(const std::string& path, const std::string& name, int codePage) {
  std::string val;
  if (Result r = io::ReadWholeFile(path, val)) return r;
  if (!KnownValVersion(val)) return Ok;
  const std::size_t footer = GetU32(val, 0x09);
  if (footer == 0 || footer + 6 > val.size()) return Ok;
  const std::size_t at = footer + 6 + 4u * GetU16(val, footer);
  if (at + kValNameWidth > val.size()) return Ok;
  std::string old = CString(val, at, kValNameWidth);
  std::string updated = old.substr(0, old.size() - WrittenFileName(old).size());
  updated += NameBytes(name, codePage);
  if (updated.size() >= kValNameWidth) updated = NameBytes(name, codePage);
  updated.resize(kValNameWidth, '\0');
  updated.back() = '\0';
  return WriteAt(path, at, updated);
}

struct Link {
  std::string name;   // the link's name
  std::string table;  // path of the other table's .DB
};

// The referential-integrity entries of a .VAL file: link name and the other
// table as written.
std::vector<std::pair<std::string, std::string>> ValLinks(const std::string& valPath) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string val;
  if (io::ReadWholeFile(valPath, val) != Ok) {
    ClearLastError();
    return out;
  }
  if (!KnownValVersion(val)) return out;
  const std::size_t list = GetU32(val, 0x0D);
  if (list == 0 || list + 2 > val.size()) return out;
  for (std::size_t i = 0, n = GetU16(val, list); i < n; ++i) {
    const std::size_t e = list + 2 + i * kLinkSize;
    if (e + kLinkOtherTable + kValNameWidth > val.size()) break;
    out.emplace_back(CString(val, e, kLinkNameWidth), CString(val, e + kLinkOtherTable, kValNameWidth));
  }
  return out;
}

// Links between the table and other tables of its directory: those its
// own .VAL lists, and those of other .VAL files that name it.
std::vector<Link> LinksOf(const std::string& db) {
  std::vector<Link> out;
  const PathParts me = SplitPath(db);
  const std::string myName = Upper(BaseName(db));
  auto namesMe = [&](const std::string& written) {
    PathParts w = SplitPath(WrittenFileName(written));
    return Upper(WrittenFileName(written)) == myName ||
           (w.ext.empty() && Upper(w.stem) == Upper(me.stem));
  };
  // A link to a table that is not in the directory ties nothing here.
  const std::string ownVal = FamilyPath(db, ".VAL");
  if (PathExists(ownVal)) {
    for (const auto& [name, other] : ValLinks(ownVal)) {
      const std::string table = FamilyPath(JoinPath(me.dir, WrittenFileName(other)), ".DB");
      if (!namesMe(other) && PathExists(table)) out.push_back({name, table});
    }
  }
  const auto names = io::DirectoryNames(me.dir);
  if (!names) return out;
  for (const std::string& file : *names) {
    PathParts p = SplitPath(file);
    if (Upper(p.ext) != "VAL" || Upper(p.stem) == Upper(me.stem)) continue;
    const std::string valPath = JoinPath(me.dir, file);
    for (const auto& [name, other] : ValLinks(valPath))
      if (namesMe(other)) out.push_back({name, FamilyPath(valPath, ".DB")});
  }
  return out;
}

Result RefuseIfLinked(const std::string& db, const std::string& what) {
  std::vector<Link> links = LinksOf(db);
  if (links.empty()) return Ok;
  return Fail(ErrNotSupported, db + ": the table cannot be " + what +
                                   " while it takes part in referential integrity (link \"" +
                                   links[0].name + "\" with " + BaseName(links[0].table) +
                                   "); remove the link first");
}

// Emptying a table may leave records of a linked table without their
// master. Which side of a link is the master is not read here, so any
// linked table that holds records stops it.
Result RefuseIfLinkedTablesHoldRecords(const std::string& db) {
  for (const Link& link : LinksOf(db)) {
    PxHeader h;
    if (ReadFileHeader(link.table, h) != Ok) {
      ClearLastError();
      continue;
    }
    if (h.recordCount() > 0)
      return Fail(ErrDetailsExist, db + ": the table is linked to " + BaseName(link.table) +
                                       " (link \"" + link.name +
                                       "\"), which holds records; emptying it could break "
                                       "referential integrity");
  }
  return Ok;
}

// Takes the exclusive lock of a table and finishes any change of it that
// was cut short (only the holder of the exclusive lock may do that).
// A table whose file is marked read-only (no write bit at all) is not
// changed as a whole, even by a user whom the system would let.
Result LockExclusive(const std::string& db, io::TableLock& lock) {
  struct stat st {};
  if (::stat(db.c_str(), &st) == 0 && (st.st_mode & 0222) == 0)
    return Fail(ErrReadOnly, db + ": the table's file is marked read-only");
  if (Result r = lock.acquire(db, io::TableLock::Kind::Exclusive)) return r;
  if (Result r = io::RecoverReplace(FamilyPath(db, ".QRP"))) return r;
  if (Result r = io::RecoverJournal(FamilyPath(db, ".QJR"))) return r;
  if (!PathExists(db)) return Fail(ErrNotFound, db + ": table does not exist");
  // Recovery may have put another file in the table's place.
  if (Result r = lock.acquire(db, io::TableLock::Kind::Exclusive)) return r;
  RemoveStagedLeftovers(db, lock, true);
  return Ok;
}

bool ChangePending(const std::string& db) {
  return PathExists(FamilyPath(db, ".QJR")) || PathExists(FamilyPath(db, ".QRP"));
}

// A shared lock for reading the files of a table. A change cut short is
// finished first; one still running (its process holds a lock) makes the
// table busy.
Result LockForReading(const std::string& db, io::TableLock& lock) {
  if (ChangePending(db)) {
    Result r = LockExclusive(db, lock);
    if (r == ErrTableInUse)
      return Fail(ErrTableInUse, "Table is in use: " + db + " (a change is in progress)");
    if (r) return r;
  }
  return lock.acquire(db, io::TableLock::Kind::Shared);
}

// Fails unless one of the passwords allows `wanted` (a table without a
// master password allows everything). A damaged header is passed over when
// `needHeader` is false, so that a damaged table can still be removed.
Result RequireRights(const std::string& db, const std::vector<std::string>& passwords,
                     std::int32_t wanted, const std::string& what, bool needHeader) {
  PxHeader h;
  if (Result r = ReadFileHeader(db, h)) {
    if (needHeader) return r;
    ClearLastError();
    return Ok;
  }
  AccessRights rights;
  if (Result r = ResolveRights(db, h, passwords, rights)) return r;
  if (!rights.allows(wanted))
    return Fail(ErrNoRights, db + ": the password does not allow " + what);
  return Ok;
}

// A table's .DB path from a name: ".DB" is added to a name without
// extension; another extension belongs to another driver.
Result TableFileName(const std::string& name, std::string& out) {
  return io::TableFileName(name, "DB", "a Paradox table", out);
}

Result ExistingTable(const std::string& path, std::string& db) {
  db = FamilyPath(path, ".DB");
  if (!PathExists(db)) return Fail(ErrNotFound, path + ": table does not exist");
  return Ok;
}

// Stages a copy of member `m` for `target`, with the table's name in it
// changed to the target's where the file carries one.
Result StageCopy(const FamilyMember& m, const std::string& target, int codePage,
                 std::vector<io::Replacement>& into) {
  const std::string staged = target + kStagedSuffix;
  into.push_back({staged, target});
  if (Result r = io::CopyFileBytes(m.path, staged)) return r;
  if (CarriesTableName(m)) return PatchHeaderName(staged, BaseName(target));
  if (m.kind == famValChecks) {
    const PathParts t = SplitPath(target);
    return PatchValName(staged, io::MemberFileName(t, "DB"), codePage);
  }
  return Ok;
}

int TableCodePage(const std::string& db) {
  PxHeader h;
  if (ReadFileHeader(db, h) != Ok) {
    ClearLastError();
    return 437;
  }
  return h.codePage() ? h.codePage() : 437;
}

// Stamps of the files of a table, to notice a change made while they were copied.
using Stamp = std::tuple<std::string, std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>;

std::vector<Stamp> Stamps(const std::vector<FamilyMember>& members) {
  std::vector<Stamp> out;
  for (const FamilyMember& m : members) {
    struct stat st {};
    if (::stat(m.path.c_str(), &st) != 0) continue;
    out.emplace_back(m.path, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  }
  return out;
}

// Removes the files a plan stages (never the original files a rename moves).
void RemoveStaged(std::vector<io::Replacement>& plan) {
  const std::size_t n = sizeof kStagedSuffix - 1;
  for (const io::Replacement& e : plan)
    if (e.staged.size() > n && e.staged.compare(e.staged.size() - n, n, kStagedSuffix) == 0)
      ::unlink(e.staged.c_str());
  plan.clear();
}

Result Failed(PreparedChange& change, Result r) {
  std::string message = LastErrorMessage();
  change.discard();
  return Fail(r, message);
}

// One attempt at a copy; `changed` is set when the source changed meanwhile.
Result StageTableCopy(const std::string& srcDb, const std::string& destDb, PreparedChange& out,
                      bool& changed) {
  std::vector<FamilyMember> members;
  if (Result r = ListFamily(srcDb, members)) return r;
  const std::vector<Stamp> before = Stamps(members);
  const PathParts dp = SplitPath(destDb);
  const int codePage = TableCodePage(srcDb);
  std::vector<io::Replacement> others, table;
  std::set<std::string> targets;
  for (const FamilyMember& m : members) {
    const std::string target =
        IsTableFile(m) ? destDb
                       : JoinPath(dp.dir, io::MemberFileName(dp, SplitPath(m.fileName).ext));
    targets.insert(target);
    if (Result r = StageCopy(m, target, codePage, IsTableFile(m) ? table : others)) {
      out.plan.insert(out.plan.end(), others.begin(), others.end());
      out.plan.insert(out.plan.end(), table.begin(), table.end());
      return Failed(out, r);
    }
  }
  changed = ChangePending(srcDb) || Stamps(members) != before;
  // Members of the destination that the copy does not bring go; the new
  // .DB comes last, so that it appears only with its whole family.
  for (const FamilyMember& old : ListMembers(dp.dir, dp.stem))
    if (!targets.count(old.path)) out.plan.push_back({"", old.path});
  out.plan.insert(out.plan.end(), others.begin(), others.end());
  out.plan.insert(out.plan.end(), table.begin(), table.end());
  out.planPath = FamilyPath(destDb, ".QRP");
  if (changed) RemoveStaged(out.plan);
  return Ok;
}

// The staged files of the family of `db` left in its directory.
std::vector<std::string> StagedFiles(const std::string& db) {
  std::vector<std::string> out;
  const PathParts table = SplitPath(db);
  const auto names = io::DirectoryNames(table.dir);
  if (!names) return out;
  const std::size_t n = sizeof kStagedSuffix - 1;
  for (const std::string& file : *names) {
    if (file.size() <= n || file.compare(file.size() - n, n, kStagedSuffix) != 0) continue;
    const PathParts member = SplitPath(file.substr(0, file.size() - n));
    if (Upper(member.stem) != Upper(table.stem) || member.ext.empty() ||
        FamilyKindOf(member.ext) == 0)
      continue;
    const std::string path = JoinPath(table.dir, file);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) out.push_back(path);
  }
  return out;
}

}  // namespace

void RemoveStagedLeftovers(const std::string& db, io::TableLock& lock, bool exclusive) {
  if (Upper(SplitPath(db).ext) != "DB") return;
  struct stat st {};
  const bool work = ::lstat(WorkDirectoryOf(db).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!work && StagedFiles(db).empty()) return;
  if (PathExists(FamilyPath(db, ".QRP"))) return;
  // Whole-table operations stage under the exclusive lock, and changes of
  // a table's indexes under any lock of it: only the sole open may remove.
  if (!exclusive && lock.acquire(db, io::TableLock::Kind::Exclusive) != Ok) {
    ClearLastError();
    return;
  }
  if (!PathExists(FamilyPath(db, ".QRP"))) {
    for (const std::string& path : StagedFiles(db)) ::unlink(path.c_str());
    if (work) RemoveWorkDirectory(WorkDirectoryOf(db));
  }
  if (!exclusive && lock.acquire(db, io::TableLock::Kind::Shared) != Ok) ClearLastError();
}

std::int32_t FamilyKindOf(const std::string& extension, std::uint16_t* id) {
  const std::string e = Upper(extension);
  std::uint16_t number = 0;
  std::int32_t kind = 0;
  if (e == "DB" || e == "QPW") {
    kind = famTable;
  } else if (e == "PX") {
    kind = famIndex;
  } else if (e == "MB") {
    kind = famBlob;
  } else if (e == "VAL" || e == "QVC") {
    kind = famValChecks;
  } else if (e == "QIX") {
    kind = famSecIndex;
  } else if (e.size() == 3 && (e[0] == 'X' || e[0] == 'Y') && e[1] == 'G' &&
             ParseNumber(e.substr(2), 36, number)) {
    kind = famSecIndex2;
  } else if (e.size() == 3 && (e[0] == 'X' || e[0] == 'Y') &&
             ParseNumber(e.substr(1), 16, number)) {
    kind = famSecIndex;
  } else if (!e.empty() && (e[0] == 'F' || e[0] == 'R')) {
    const std::string rest = e.substr(1);
    if (rest.empty() || rest == "SL" || rest == "DL" ||
        (rest.size() <= 2 && ParseNumber(rest, 10, number)))
      kind = e[0] == 'F' ? famForm : famReport;
  }
  if (id) *id = kind ? number : 0;
  return kind;
}

Result ListFamily(const std::string& tablePath, std::vector<FamilyMember>& out) {
  std::string db;
  if (Result r = ExistingTable(tablePath, db)) return r;
  const PathParts p = SplitPath(db);
  out = ListMembers(p.dir, p.stem);
  return Ok;
}

Result PreparedChange::apply() {
  Result r = io::ReplaceFiles(plan, planPath);
  if (r) return Failed(*this, r);
  locks.clear();
  for (const io::Replacement& e : plan) {
    if (e.staged.empty() || Upper(SplitPath(e.target).ext) != "DB") continue;
    io::TableLock lock;
    if (lock.acquire(e.target, io::TableLock::Kind::Exclusive) == Ok)
      RemoveStagedLeftovers(e.target, lock, true);
    else
      ClearLastError();
  }
  plan.clear();
  return Ok;
}

void PreparedChange::discard() {
  RemoveStaged(plan);
  locks.clear();
}

Result PrepareCopy(const std::string& source, const std::string& destination, bool overwrite,
                   const std::vector<std::string>& passwords, PreparedChange& out) {
  out.discard();
  std::string srcDb, destDb;
  if (Result r = ExistingTable(source, srcDb)) return r;
  if (Result r = TableFileName(destination, destDb)) return r;
  // A copy into this name that was cut short is finished first.
  if (!PathExists(FamilyPath(destDb, ".DB")))
    if (Result r = io::RecoverReplace(FamilyPath(destDb, ".QRP"))) return r;
  const std::string existing = FamilyPath(destDb, ".DB");
  if (PathExists(existing) && SameFile(existing, srcDb))
    return Fail(ErrInvalidParameter, destination + ": a table cannot be copied onto itself");
  io::TableLock srcLock;
  if (Result r = LockForReading(srcDb, srcLock)) return r;
  if (Result r = RequireRights(srcDb, passwords, kRightsReadOnly, "reading the table", true))
    return r;
  if (PathExists(existing)) {
    if (!overwrite)
      return Fail(ErrDestinationExists, existing + ": the destination table exists already");
    destDb = existing;
    io::TableLock destLock;
    if (Result r = LockExclusive(destDb, destLock)) return r;
    if (Result r = RequireRights(destDb, passwords, kRightsAll, "replacing the table", false))
      return r;
    if (Result r = RefuseIfLinked(destDb, "replaced")) return r;
    out.locks.push_back(std::move(destLock));
  }
  out.locks.push_back(std::move(srcLock));
  // Writers of the source hold shared locks too: a copy that saw the
  // source change is made again.
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(20 * attempt));
    bool changed = false;
    if (Result r = StageTableCopy(srcDb, destDb, out, changed)) return r;
    if (!changed) return Ok;
  }
  return Failed(out, Fail(ErrTableInUse, "Table is in use: " + srcDb +
                                             " (it kept changing while it was copied)"));
}

Result PrepareDelete(const std::string& tablePath, const std::vector<std::string>& passwords,
                     PreparedChange& out) {
  out.discard();
  std::string db;
  if (Result r = ExistingTable(tablePath, db)) return r;
  io::TableLock lock;
  if (Result r = LockExclusive(db, lock)) return r;
  if (Result r = RequireRights(db, passwords, kRightsAll, "deleting the table", false)) return r;
  if (Result r = RefuseIfLinked(db, "deleted")) return r;
  std::vector<FamilyMember> members;
  if (Result r = ListFamily(db, members)) return r;
  // The .DB goes last: while it is there, its next open finishes the plan.
  for (const FamilyMember& m : members)
    if (!IsTableFile(m)) out.plan.push_back({"", m.path});
  out.plan.push_back({"", db});
  out.planPath = FamilyPath(db, ".QRP");
  out.locks.push_back(std::move(lock));
  return Ok;
}

Result PrepareRename(const std::string& tablePath, const std::string& newName,
                     const std::vector<std::string>& passwords, PreparedChange& out) {
  out.discard();
  std::string db;
  if (Result r = ExistingTable(tablePath, db)) return r;
  const PathParts op = SplitPath(db);
  if (newName.find('/') != std::string::npos && !SameFile(SplitPath(newName).dir, op.dir))
    return Fail(ErrInvalidParameter,
                newName + ": a table is renamed within its directory; copy it to move it");
  // A name without extension keeps the old extension's spelling.
  std::string newDb, newFile = BaseName(newName);
  if (SplitPath(newFile).ext.empty() && newFile.find('.') == std::string::npos)
    newFile += "." + op.ext;
  if (Result r = TableFileName(JoinPath(op.dir, newFile), newDb)) return r;
  if (BaseName(newDb) == BaseName(db))
    return Fail(ErrInvalidParameter, newName + ": the table has this name already");
  const PathParts np = SplitPath(newDb);
  const bool caseOnly = Upper(np.stem) == Upper(op.stem);
  io::TableLock lock;
  if (Result r = LockExclusive(db, lock)) return r;
  if (Result r = RequireRights(db, passwords, kRightsAll, "renaming the table", false)) return r;
  if (Result r = RefuseIfLinked(db, "renamed")) return r;
  if (!caseOnly) {
    if (!PathExists(FamilyPath(newDb, ".DB")))
      if (Result r = io::RecoverReplace(FamilyPath(newDb, ".QRP"))) return r;
    if (PathExists(FamilyPath(newDb, ".DB")))
      return Fail(ErrFileExists, FamilyPath(newDb, ".DB") + ": a table of that name exists already");
  }
  std::vector<FamilyMember> members;
  if (Result r = ListFamily(db, members)) return r;
  const int codePage = TableCodePage(db);
  auto targetOf = [&](const FamilyMember& m) {
    return IsTableFile(m) ? newDb
                          : JoinPath(np.dir, io::MemberFileName(np, SplitPath(m.fileName).ext));
  };
  // Members of the new name left without their table go.
  std::set<std::string> targets;
  for (const FamilyMember& m : members) targets.insert(targetOf(m));
  if (!caseOnly)
    for (const FamilyMember& stray : ListMembers(np.dir, np.stem))
      if (!targets.count(stray.path)) out.plan.push_back({"", stray.path});
  // Files that carry the name are copied with the new name in them; the
  // others are moved. The new .DB appears once its family is complete, the
  // old one goes last.
  std::vector<io::Replacement> moved, table, removed;
  for (const FamilyMember& m : members) {
    const std::string target = targetOf(m);
    if (!CarriesTableName(m) && m.kind != famValChecks) {
      moved.push_back({m.path, target});
      continue;
    }
    if (Result r = StageCopy(m, target, codePage, IsTableFile(m) ? table : moved)) {
      out.plan.insert(out.plan.end(), moved.begin(), moved.end());
      out.plan.insert(out.plan.end(), table.begin(), table.end());
      return Failed(out, r);
    }
    if (!IsTableFile(m)) removed.push_back({"", m.path});
  }
  removed.push_back({"", db});
  for (auto* part : {&moved, &table, &removed}) out.plan.insert(out.plan.end(), part->begin(), part->end());
  out.planPath = FamilyPath(db, ".QRP");
  out.locks.push_back(std::move(lock));
  return Ok;
}

Result PrepareEmpty(const std::string& tablePath, const std::vector<std::string>& passwords,
                    PreparedChange& out) {
  out.discard();
  std::string db;
  if (Result r = ExistingTable(tablePath, db)) return r;
  io::TableLock lock;
  if (Result r = LockExclusive(db, lock)) return r;
  PxHeader table;
  if (Result r = ReadFileHeader(db, table)) return r;
  if (Result r = RequireRights(db, passwords, kRightsInsertDelete, "deleting records", true))
    return r;
  if (Result r = RefuseIfLinkedTablesHoldRecords(db)) return r;
  std::vector<FamilyMember> members;
  if (Result r = ListFamily(db, members)) return r;
  io::Replacement last;
  for (const FamilyMember& m : members) {
    const bool blob = m.kind == famBlob;
    if (!blob && !CarriesTableName(m)) continue;  // checks, passwords, forms stay
    const std::string staged = m.path + kStagedSuffix;
    io::Replacement entry{staged, m.path};
    if (IsTableFile(m)) last = entry; else out.plan.push_back(entry);
    Result r = Ok;
    if (blob) {
      BlobFile mb;
      r = mb.create(staged, table.encryption());
    } else {
      // The header alone, counting no records and no blocks, is an empty
      // table or index; an index's root is block 1 at no level.
      PxHeader h;
      r = ReadFileHeader(m.path, h);
      if (!r) {
        h.setRecordCount(0);
        h.setBlocks(0, 0, 0, 0);
        h.setFirstFreeBlock(0);
        h.clearModifiedFlags();
        if (!h.isDataFile()) h.setRoot(1, 0);
        io::File f;
        r = f.open(staged, io::File::Mode::Create);
        if (!r) r = f.write(0, h.raw.data(), h.raw.size());
      }
    }
    if (r) {
      if (!last.target.empty()) out.plan.push_back(last);
      return Failed(out, r);
    }
  }
  out.plan.push_back(last);
  out.planPath = FamilyPath(db, ".QRP");
  out.locks.push_back(std::move(lock));
  return Ok;
}

Result CopyParadoxTable(const std::string& source, const std::string& destination,
                        bool overwrite, const std::vector<std::string>& passwords) {
  PreparedChange change;
  if (Result r = PrepareCopy(source, destination, overwrite, passwords, change)) return r;
  return change.apply();
}

Result DeleteParadoxTable(const std::string& tablePath, const std::vector<std::string>& passwords) {
  PreparedChange change;
  if (Result r = PrepareDelete(tablePath, passwords, change)) return r;
  return change.apply();
}

Result RenameParadoxTable(const std::string& tablePath, const std::string& newName,
                          const std::vector<std::string>& passwords) {
  PreparedChange change;
  if (Result r = PrepareRename(tablePath, newName, passwords, change)) return r;
  return change.apply();
}

Result EmptyParadoxTable(const std::string& tablePath, const std::vector<std::string>& passwords) {
  PreparedChange change;
  if (Result r = PrepareEmpty(tablePath, passwords, change)) return r;
  return change.apply();
}

}  // namespace engine::paradox
