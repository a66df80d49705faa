// An open dBASE table: its .DBF file and its memo file when it has one.
//
// Records are addressed by their physical position (0-based), deleted ones
// included: a deletion only marks a record (0x2A in its first byte) until
// Pack() removes the marked ones.
//
// Tables of dBASE III+, IV, 5 and 7 are read and written; dBASE II and
// FoxPro tables are read only. Every change goes through a rollback journal
// beside the table (NAME.QJD), so a crash leaves a table as it was before
// or after the change; whole-table rebuilds (Create, Pack) stage their files
// and swap them in with one replacement plan (NAME.QPD). docs/dbase.md
// describes what is read and written.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dbase/dbheader.h"
#include "engine/dbase/dbmemo.h"
#include "engine/errors.h"
#include "engine/io/file.h"
#include "engine/io/heldchange.h"
#include "engine/io/lock.h"
#include "engine/records.h"
#include "engine/rows.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::dbase {

struct OpenOptions {
  bool writable = false;
  bool exclusive = false;  // no other open of the table, in any process
  // The code page of the table's text when the header's is wrong or
  // missing (many files carry none); 0 takes the header's.
  int codePage = 0;
};

class TableChange;

class DbaseTable {
 public:
  ~DbaseTable();

  static Result Open(const std::string& path, const OpenOptions& options,
                     std::unique_ptr<DbaseTable>& out);

  // Creates the table at `path` (a .DBF file) with the fields of desc.fields
  // (DbaseType codes; units1 the length of C, N and F fields, units2 their
  // decimals) at `level` 3, 4, 5 or 7, and its .DBT when a memo, binary or
  // OLE field needs one. desc.optionalParams may name the language driver
  // (LANGDRIVER). A table that exists fails with ErrFileExists unless
  // `overwrite`; then its memo file and production index go as well.
  static Result Create(const std::string& path, const TableDesc& desc, int level, bool overwrite);

  // Removes the records marked as deleted and rebuilds the memo file with
  // the values the remaining records point at. The new files are built
  // beside the old ones and swapped in at once; `removed` receives the
  // number of records removed.
  static Result Pack(const std::string& path, std::uint32_t* removed = nullptr);

  const std::string& path() const { return path_; }
  int level() const { return header_.level; }
  Flavor flavor() const { return header_.flavor; }
  std::uint8_t version() const { return header_.version(); }
  // The fields as users see them (FoxPro's _NullFlags left out), in order.
  const std::vector<DbfField>& fields() const { return fields_; }
  // The fields as engine descriptors (DbaseType codes, 1-based numbers).
  std::vector<FieldDesc> fieldDescs() const;
  const text::Codec& codec() const { return *codec_; }
  const text::LanguageDriver* driver() const { return driver_; }
  // The language driver the header names: level 7's name as the file
  // spells it, else the driver of the ID byte ("" when the engine knows
  // none for it).
  std::string languageDriverName() const;
  std::uint8_t languageDriverId() const { return header_.languageId(); }
  // Physical records, deleted ones included: the header's count, clamped to
  // what the file holds.
  std::uint32_t recordCount() const { return header_.recordCount; }
  std::uint32_t recordLength() const { return header_.recordLength; }
  DateValue lastUpdate() const { return header_.lastUpdate(); }
  std::uint32_t headerLength() const { return header_.headerLength; }
  // The header's production index flag (an .MDX file is said to exist).
  bool hasProductionIndex() const { return header_.productionIndex(); }
  // Why the production index cannot be kept in step with changes (it is
  // missing, cannot be read, or has a tag this program cannot compute; see
  // engine/dbase/dbindex.h), "" when it can or there is none. Found when
  // the table is opened for writing; canWrite() then refuses with it.
  const std::string& indexProblem() const { return indexProblem_; }
  // The table has memo fields but its memo file is missing (or unreadable):
  // memo fields read as NULL and the table cannot be changed.
  bool memoMissing() const { return memoMissing_; }
  const std::string& memoProblem() const { return memoProblem_; }
  bool writable() const { return writable_; }
  // Whether changes are possible; `why` receives the reason when not.
  // Every change asks here first.
  bool canWrite(std::string& why) const;

  // The stored bytes of record `index` (recordLength() bytes, the deletion
  // flag first), valid until the next read or change. Inline while the
  // record is in the window of records read ahead.
  Result record(std::uint32_t index, const std::uint8_t*& out) {
    if (held_.active()) return heldRecord(index, out);
    if (index < header_.recordCount && index - cacheFirst_ < cacheCount_) {
      out = cache_.data() + static_cast<std::size_t>(index - cacheFirst_) * header_.recordLength;
      return Ok;
    }
    return readWindow(index, out);
  }
  Result isDeleted(std::uint32_t index, bool& deleted);
  // All fields of record `index`, in the order of fields().
  Result readRecord(std::uint32_t index, std::vector<Value>& out);
  // One field (an index into fields()) of a stored record.
  Result fieldValue(const std::uint8_t* record, std::size_t field, Value& out);

  // Changes. Values are given for every field, in the order of fields().
  // An autoincrement field left NULL takes the next number.
  Result insert(const std::vector<Value>& values, std::uint32_t& index);
  Result update(std::uint32_t index, const std::vector<Value>& values);
  Result setDeleted(std::uint32_t index, bool deleted);
  // Appends every row of `rows` as one change: all of them, or none. A
  // refused row's message starts with its name ("line 12: ...").
  Result insertRows(RowSource& rows, std::uint64_t* inserted = nullptr);
  // A change over several calls: from beginChange on, insert, update and
  // setDeleted join one change, which endChange commits (all of it) or
  // rolls back (none of it). After a call of the change failed, the change
  // can only be rolled back. Reads see the change as it goes.
  Result beginChange();
  Result endChange(bool commit);
  bool inChange() const { return held_.active(); }
  // Clears the production index flag of the header and the index flags of
  // the fields; the caller then removes the index file
  // (engine/dbase/dbindex.h DropIndexTag).
  Result clearProductionIndex();

  // Takes in what another process changed: the record count and the date;
  // records are read anew after it (reads go through a window of records
  // read ahead, which another process's changes do not reach). Changes
  // read the header again by themselves.
  Result refresh();

 private:
  friend class TableChange;
  DbaseTable() = default;
  Result load(const OpenOptions& options);
  Result openMemo();
  void checkIndex();
  Result readMemo(const DbfField& f, const std::uint8_t* record, Value& out,
                  const io::Transaction* tx);
  // Reads the window of records from `index` on; `out` as record() gives it.
  Result readWindow(std::uint32_t index, const std::uint8_t*& out);
  void dropCache() { cacheCount_ = 0; }
  // Runs `change` as a change of its own, or as part of the held one.
  Result runChange(const std::function<Result(TableChange&)>& change, bool indexDrop = false);
  Result heldRecord(std::uint32_t index, const std::uint8_t*& out);

  std::string path_;
  bool writable_ = false;
  io::File file_;
  io::TableLock lock_;
  DbfHeader header_;
  std::vector<DbfField> fields_;
  const text::LanguageDriver* driver_ = nullptr;
  const text::Codec* codec_ = nullptr;
  std::unique_ptr<MemoFile> memo_;
  bool memoMissing_ = false;
  std::string memoProblem_;
  std::string indexProblem_;
  // Records read ahead: a window of consecutive records.
  std::vector<std::uint8_t> cache_;
  std::uint32_t cacheFirst_ = 0, cacheCount_ = 0;
  io::HeldChange<TableChange> held_;  // of beginChange
  std::vector<std::uint8_t> heldBytes_;  // the record heldRecord read last
};

// The side files of a table: its journal and its replacement plan.
std::string JournalPathOf(const std::string& dbf);
std::string PlanPathOf(const std::string& dbf);

}  // namespace engine::dbase
