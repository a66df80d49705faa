// Packing a dBASE table: the records not marked as deleted, and the memo
// values they point at, are copied into new files in a work directory
// beside the table (NAME.DBF.work~), the production index is built anew
// over the copied records, and the files are then swapped in with one
// replacement plan. An interrupted pack leaves the old table as it was; the
// next open removes the work directory.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "engine/dbase/dbindex.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/dbvalue.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxtable.h"

namespace engine::dbase {

namespace {

constexpr std::size_t kBufferBytes = 1u << 20;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Appends to a new file through a buffer.
class Appender {
 public:
  Result open(const std::string& path) { return file_.open(path, io::File::Mode::Create); }
  Result put(const void* data, std::size_t n) {
    buffer_.append(static_cast<const char*>(data), n);
    return buffer_.size() >= kBufferBytes ? flush() : Result{Ok};
  }
  Result flush() {
    if (buffer_.empty()) return Ok;
    Result r = file_.write(written_, buffer_.data(), buffer_.size());
    written_ += buffer_.size();
    buffer_.clear();
    return r;
  }
  std::uint64_t size() const { return written_ + buffer_.size(); }
  io::File& file() { return file_; }

 private:
  io::File file_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

}  // namespace

Result DbaseTable::Pack(const std::string& path, std::uint32_t* removed) {
  if (removed) *removed = 0;
  OpenOptions options;
  options.writable = options.exclusive = true;
  std::unique_ptr<DbaseTable> t;
  if (Result r = Open(path, options, t)) return r;
  std::string why;
  if (!t->canWrite(why)) return Fail(ErrReadOnly, why);

  std::vector<io::Replacement> swap;
  const Result r = io::InWorkDirectory(t->path_, [&](const std::string& work) -> Result {
    const DbfHeader& h = t->header_;
    Appender dbf, memo;
    const std::string newDbf = work + "/" + BaseName(t->path_);
    if (Result r = dbf.open(newDbf)) return r;
    if (Result r = dbf.put(h.raw.data(), h.raw.size())) return r;

    // The memo file keeps its header and block size; values follow it.
    std::uint32_t next = 0, blockSize = 0;
    std::string newMemo;
    if (t->memo_) {
      blockSize = t->memo_->blockSize();
      newMemo = work + "/" + BaseName(t->memo_->path());
      if (Result r = memo.open(newMemo)) return r;
      const std::uint32_t headerBlocks =
          std::max<std::uint32_t>(1, (512 + blockSize - 1) / blockSize);
      std::uint64_t oldSize = 0;
      if (Result r = t->memo_->file().size(oldSize)) return r;
      std::string header(std::size_t{headerBlocks} * blockSize, '\0');
      if (Result r = t->memo_->file().read(
              0, header.data(),
              static_cast<std::size_t>(std::min<std::uint64_t>(oldSize, header.size()))))
        return r;
      if (Result r = memo.put(header.data(), header.size())) return r;
      next = headerBlocks;
    }

    std::uint32_t kept = 0, dropped = 0;
    std::vector<std::uint8_t> copy(h.recordLength);
    std::string stored;
    for (std::uint32_t i = 0; i < h.recordCount; ++i) {
      const std::uint8_t* p;
      if (Result r = t->record(i, p)) return r;
      if (p[0] == '*') {
        ++dropped;
        continue;
      }
      std::memcpy(copy.data(), p, copy.size());
      for (const DbfField& f : t->fields_) {
        if (!f.isMemo()) continue;
        bool valid = true;
        const std::uint32_t block = MemoPointer(f, copy.data(), valid);
        if (!valid)
          return Fail(ErrCorruptBlob, t->path_ + ": record " + std::to_string(i + 1) + ": field " +
                                          f.name + " holds no memo block number");
        if (block == 0) continue;
        if (Result r = t->memo_->readStored(block, stored))
          return Fail(r, "record " + std::to_string(i + 1) + ": field " + f.name + ": " +
                             LastErrorMessage());
        MemoFile::Pad(stored, blockSize);
        const std::uint64_t blocks = stored.size() / blockSize;
        if (next + blocks > 0xFFFFFFFFull)
          return Fail(ErrTableFull, t->memo_->path() + ": the memo file would be full");
        if (Result r = memo.put(stored.data(), stored.size())) return r;
        PutMemoPointer(f, next, copy.data());
        next += static_cast<std::uint32_t>(blocks);
      }
      if (Result r = dbf.put(copy.data(), copy.size())) return r;
      ++kept;
    }
    const char eof = 0x1A;
    if (Result r = dbf.put(&eof, 1)) return r;
    if (Result r = dbf.flush()) return r;

    // The header: the count and the date.
    DbfHeader fresh = h;
    fresh.setRecordCount(kept);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    fresh.setLastUpdate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    if (Result r = dbf.file().write(0, fresh.raw.data(), 32)) return r;
    // Every tag over the records kept (canWrite() found them all computable).
    if (h.productionIndex()) {
      const std::string mdx = ProductionIndexOf(t->path_);
      MdxFile index;
      if (Result r = ReadMdx(mdx, index)) return r;
      TableTags tags;
      if (Result r = tags.plan(index.tags, t->fields_, false)) return r;
      const std::string newMdx = work + "/" + BaseName(mdx);
      FileKeySource keys(dbf.file(), h.headerLength, kept, h.recordLength, tags);
      if (Result r = WriteMdx(newMdx, index.dbfName, tags.defs(), keys)) return r;
      swap.push_back({newMdx, mdx});
    }
    if (t->memo_) {
      if (Result r = memo.flush()) return r;
      std::uint8_t pointer[4];
      for (int k = 0; k < 4; ++k) pointer[k] = static_cast<std::uint8_t>(next >> (8 * k));
      if (Result r = memo.file().write(0, pointer, 4)) return r;
      swap.push_back({newMemo, t->memo_->path()});
    }
    swap.push_back({newDbf, t->path_});
    if (removed) *removed = dropped;
    return io::ReplaceFiles(swap, PlanPathOf(t->path_));
  });
  if (r && removed) *removed = 0;
  return r;
}

}  // namespace engine::dbase
