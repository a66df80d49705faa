#include "engine/dbase/dbtable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/dbase/dbindex.h"
#include "engine/dbase/dbvalue.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxtable.h"

namespace engine::dbase {

namespace {

// Records read at once when a read falls outside the window.
constexpr std::size_t kWindowBytes = 64 * 1024;
// Staged files of a Create cut short before its plan.
constexpr char kStagedSuffix[] = ".new~";

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// What a rebuild cut short before its plan left beside the table: Create's
// staged files, Pack's work directory. Removed only by the table's sole
// open, and never while a plan is pending.
void RemoveLeftovers(const std::string& dbf, io::TableLock& lock, bool exclusive) {
  const std::string work = paradox::WorkDirectoryOf(dbf);
  std::vector<std::string> staged;
  for (const std::string& member :
       {dbf, paradox::FamilyPath(dbf, ".DBT"), paradox::FamilyPath(dbf, ".MDX")}) {
    if (io::FileExists(member + kStagedSuffix)) staged.push_back(member + kStagedSuffix);
  }
  if (!IsDirectory(work) && staged.empty()) return;
  if (io::FileExists(PlanPathOf(dbf))) return;
  if (!exclusive && lock.acquire(dbf, io::TableLock::Kind::Exclusive) != Ok) {
    ClearLastError();
    return;
  }
  for (const std::string& s : staged) ::unlink(s.c_str());
  paradox::RemoveWorkDirectory(work);
  if (!exclusive && lock.acquire(dbf, io::TableLock::Kind::Shared) != Ok) ClearLastError();
}

std::uint16_t PhysicalType(const DbfField& f, Flavor flavor) {
  switch (f.type) {
    case 'C':
    case 'V':
      return dbChar;
    case 'N':
    case 'Y':
      return dbNumber;
    case 'F':
      return dbFloat;
    case 'D':
      return dbDate;
    case 'L':
      return dbLogical;
    case 'M':
      return dbMemo;
    case 'G':
    case 'P':
      return dbOle;
    case 'B':
      return f.length == 8 ? dbDouble : dbBinary;
    case 'Q':
    case 'W':
      return dbBinary;
    case 'I':
      return flavor == Flavor::FoxPro && (f.flags & 0x0C) == 0x0C ? dbAutoinc : dbLong;
    case '+':
      return dbAutoinc;
    case '@':
    case 'T':
      return dbTimestamp;
    case 'O':
      return dbDouble;
    default:
      return 0;
  }
}

}  // namespace

std::string JournalPathOf(const std::string& dbf) { return paradox::FamilyPath(dbf, ".QJD"); }
std::string PlanPathOf(const std::string& dbf) { return paradox::FamilyPath(dbf, ".QPD"); }

DbaseTable::~DbaseTable() {
  held_.drop();  // a change left running is rolled back while the table is whole
}

Result DbaseTable::Open(const std::string& path, const OpenOptions& options,
                        std::unique_ptr<DbaseTable>& out) {
  std::unique_ptr<DbaseTable> t(new DbaseTable);
  // Journals name their files; absolute names keep recovery independent of
  // the working directory.
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  t->path_ = ec ? path : absolute.lexically_normal().string();
  t->writable_ = options.writable;
  // Lock first: a change that is still running belongs to whoever holds the
  // table, and only an interrupted one is finished or undone here. (A table
  // moved aside by an interrupted swap is put back before it can be locked.)
  const std::string plan = PlanPathOf(t->path_);
  const auto kind =
      options.exclusive ? io::TableLock::Kind::Exclusive : io::TableLock::Kind::Shared;
  Result locked = t->lock_.acquire(t->path_, kind);
  if (locked == ErrNotFound && io::FileExists(plan)) {
    if (Result r = io::RecoverReplace(plan)) return r;
    locked = t->lock_.acquire(t->path_, kind);
  }
  if (locked) return locked;
  if (Result r = io::RecoverReplace(plan)) return r;
  if (Result r = io::RecoverJournal(JournalPathOf(t->path_))) return r;
  if (Result r = t->file_.open(t->path_,
                               options.writable ? io::File::Mode::ReadWrite : io::File::Mode::Read))
    return r;
  if (Result r = t->load(options)) return r;
  RemoveLeftovers(t->path_, t->lock_, options.exclusive);
  out = std::move(t);
  return Ok;
}

Result DbaseTable::load(const OpenOptions& options) {
  std::uint64_t size = 0;
  if (Result r = file_.size(size)) return r;
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, DbfHeader::kMaxLength)));
  if (!head.empty())
    if (Result r = file_.read(0, head.data(), head.size())) return r;
  if (Result r = header_.parse(path_, head, size)) return r;
  int codePage = CodePageOf(header_, driver_);
  if (options.codePage > 0) {
    codePage = options.codePage;
    if (driver_ && driver_->codePage != codePage) driver_ = nullptr;
  }
  codec_ = &text::SharedCodec(codePage);
  header_.decodeNames(*codec_);
  fields_.clear();
  for (const DbfField& f : header_.fields)
    if (!f.hidden) fields_.push_back(f);
  if (Result r = openMemo()) return r;
  if (writable_) checkIndex();
  return Ok;
}

void DbaseTable::checkIndex() {
  indexProblem_.clear();
  if (!header_.productionIndex() || header_.flavor != Flavor::Dbase) return;
  const std::string name = BaseName(path_);
  const std::string mdx = ProductionIndexOf(path_);
  if (mdx.empty()) {
    const std::string mdxName = BaseName(NewProductionIndexPath(path_));
    indexProblem_ = name + " has a production index (.MDX) that is missing (" + mdxName +
                    "); changing the table would leave it out of step, so the table is "
                    "read-only. Put the index back beside the table, or drop the index " +
                    mdxName + " to clear the table's flag";
    return;
  }
  const std::string mdxName = BaseName(mdx);
  MdxFile index;
  if (ReadMdx(mdx, index) != Ok) {
    indexProblem_ = LastErrorMessage() + "; " + name +
                    " is read-only while its production index cannot be read. Drop the index " +
                    mdxName + " (its tags go with it) to change the table";
    ClearLastError();
    return;
  }
  TableTags tags;
  std::size_t failed = 0;
  if (tags.plan(index.tags, fields_, false, &failed) != Ok) {
    indexProblem_ = name + ": its production index " + mdxName + " has a " + LastErrorMessage() +
                    ". The table is read-only while the index holds that tag: drop tag " +
                    index.tags[failed].name + " (or the whole index, " + mdxName +
                    ") to change the table";
    ClearLastError();
  }
}

Result DbaseTable::openMemo() {
  memo_.reset();
  memoMissing_ = false;
  memoProblem_.clear();
  if (header_.memo == MemoFormat::None) return Ok;
  const std::string found = MemoFile::Find(path_, header_.memo);
  if (found.empty()) {
    memoMissing_ = true;
    memoProblem_ =
        BaseName(path_) + ": its memo file (" +
        BaseName(paradox::FamilyPath(path_, header_.memo == MemoFormat::Fpt ? ".FPT" : ".DBT")) +
        ") is missing; memo fields read as empty";
    return Ok;
  }
  auto memo = std::make_unique<MemoFile>();
  if (Result r = memo->open(found, header_.memo, writable_)) {
    // A memo file that cannot be used leaves the records readable.
    memoMissing_ = true;
    memoProblem_ = LastErrorMessage();
    ClearLastError();
    (void)r;
    return Ok;
  }
  memo_ = std::move(memo);
  return Ok;
}

bool DbaseTable::canWrite(std::string& why) const {
  const std::string name = BaseName(path_);
  if (!writable_) {
    why = path_ + ": the table is open read-only";
  } else if (header_.flavor == Flavor::Dbase2) {
    why = name + " is a dBASE II table, which this program reads but does not change";
  } else if (header_.flavor == Flavor::FoxPro) {
    why = name + " is a FoxPro table, which this program reads but does not change";
  } else if (memoMissing_) {
    why = memoProblem_ + "; changes would lose the memo values, so the table is read-only";
  } else if (!indexProblem_.empty()) {
    why = indexProblem_;
  } else {
    return true;
  }
  return false;
}

std::string DbaseTable::languageDriverName() const {
  // Level 7's name as the file spells it; else the driver of the ID byte.
  if (!header_.driverName.empty()) return header_.driverName;
  return driver_ ? driver_->name : std::string();
}

std::vector<FieldDesc> DbaseTable::fieldDescs() const {
  std::vector<FieldDesc> out;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const DbfField& f = fields_[i];
    FieldDesc d;
    d.number = static_cast<std::uint16_t>(i + 1);
    d.name = f.name;
    d.type = PhysicalType(f, header_.flavor);
    d.units1 = static_cast<std::int16_t>(f.length);
    d.units2 = static_cast<std::int16_t>(f.type == 'Y' ? 4 : f.decimals);
    d.offset = f.offset;
    d.length = f.length;
    out.push_back(std::move(d));
  }
  return out;
}

Result DbaseTable::readWindow(std::uint32_t index, const std::uint8_t*& out) {
  if (index >= header_.recordCount)
    return Fail(ErrEndOfList, path_ + ": no record " + std::to_string(index + 1));
  const std::size_t rl = header_.recordLength;
  if (index < cacheFirst_ || index >= cacheFirst_ + cacheCount_) {
    const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::max<std::size_t>(1, kWindowBytes / rl), header_.recordCount - index));
    cache_.resize(static_cast<std::size_t>(n) * rl);
    cacheCount_ = 0;
    if (Result r = file_.read(header_.headerLength + std::uint64_t{index} * rl, cache_.data(),
                              cache_.size()))
      return r;
    cacheFirst_ = index;
    cacheCount_ = n;
  }
  out = cache_.data() + static_cast<std::size_t>(index - cacheFirst_) * rl;
  return Ok;
}

Result DbaseTable::isDeleted(std::uint32_t index, bool& deleted) {
  const std::uint8_t* p;
  if (Result r = record(index, p)) return r;
  deleted = p[0] == '*';
  return Ok;
}

Result DbaseTable::readMemo(const DbfField& f, const std::uint8_t* record, Value& out,
                            const io::Transaction* tx) {
  out = Value{};
  if (!memo_) return Ok;  // missing memo file: NULL
  bool valid = true;
  const std::uint32_t block = MemoPointer(f, record, valid);
  if (!valid)
    return Fail(ErrCorruptBlob, path_ + ": field " + f.name + " holds no memo block number");
  if (block == 0) return Ok;
  std::string bytes;
  if (Result r = memo_->read(block, bytes, tx))
    return Fail(r, "field " + f.name + ": " + LastErrorMessage());
  if (f.type == 'M') {
    if (!bytes.empty()) out = codec_->toUtf8(bytes);
  } else if (!bytes.empty()) {
    out = BlobValue{std::move(bytes)};
  }
  return Ok;
}

Result DbaseTable::fieldValue(const std::uint8_t* record, std::size_t field, Value& out) {
  if (field >= fields_.size())
    return Fail(ErrInvalidParameter, path_ + ": no field " + std::to_string(field + 1));
  const DbfField& f = fields_[field];
  if (f.isMemo()) {
    out = Value{};
    if (NullFlagged(header_, f, record)) return Ok;
    return readMemo(f, record, out, nullptr);
  }
  DecodeField(header_, f, record, *codec_, out);
  return Ok;
}

Result DbaseTable::readRecord(std::uint32_t index, std::vector<Value>& out) {
  const std::uint8_t* p;
  if (Result r = record(index, p)) return r;
  out.resize(fields_.size());
  DecodeFields(header_, fields_, p, *codec_, out);
  // Memo fields exist only in tables with a memo format.
  if (header_.memo == MemoFormat::None) return Ok;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    if (!fields_[i].isMemo()) continue;
    if (Result r = fieldValue(p, i, out[i]))
      return Fail(r, "record " + std::to_string(index + 1) + ": " + LastErrorMessage());
  }
  return Ok;
}

Result DbaseTable::refresh() {
  std::uint64_t size = 0;
  if (Result r = file_.size(size)) return r;
  std::uint8_t head[12];
  if (size < sizeof head) return Fail(ErrCorruptHeader, path_ + ": the file was cut short");
  if (Result r = file_.read(0, head, sizeof head)) return r;
  std::copy(head, head + 8, header_.raw.begin());
  header_.storedCount = static_cast<std::uint32_t>(head[4] | head[5] << 8 | head[6] << 16 |
                                                   static_cast<std::uint32_t>(head[7]) << 24);
  if (header_.flavor == Flavor::Dbase2) header_.storedCount = head[1] | head[2] << 8;
  const std::uint64_t room =
      size > header_.headerLength ? (size - header_.headerLength) / header_.recordLength : 0;
  header_.recordCount =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(header_.storedCount, room));
  dropCache();
  return Ok;
}

}  // namespace engine::dbase
