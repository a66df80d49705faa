// The family of a dBASE table and the operations on a table as a whole
// (copy, delete, rename, empty).
//
// Members share the table's name (compared without regard to case) and
// differ by extension: the .DBF (famTable), its memo file .DBT or .FPT
// (famBlob) and its production index .MDX, or the .CDX of a FoxPro table
// (famIndex). The journal (.QJD) and the replacement plan (.QPD) of a change
// cut short are no members: opening the table settles them.
//
// Each operation holds the table exclusively (ErrTableInUse, "Table is in
// use: PATH", while another open of it exists, in any process, this one
// included) and swaps its files with one io::ReplaceFiles plan at the
// table's PlanPathOf(), which DbaseTable::Open finishes when a swap was cut
// short: a run stopped before the swap leaves the old files as they were,
// one stopped during it is completed by the next open. New files are built
// in the work directory beside the table (NAME.DBF.work~, which the next
// open removes when a run left it). The .DBF is always the last file of a
// plan, so that a table appears only with its whole family and goes only
// after it. The plan lies at the .QPD of the table opened next: the
// destination of a copy, the old name of a rename.
//
// Name fields: a dBASE IV+ .DBT carries the table's name in bytes 8-15 of
// its header and an .MDX in bytes 4-19. Where such a field holds the old
// name, a copy or rename writes the new one (in the case the old one was
// written in); a field that holds anything else is left alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/lock.h"
#include "engine/records.h"

namespace engine::dbase {

// The member kind of an extension (without the dot, any case); 0 for an
// extension that makes no member of a dBASE table.
std::int32_t DbaseFamilyKindOf(const std::string& extension);

// The members of the table at `dbf` (found without regard to case): the
// .DBF first, then its memo file, then its index. name = the file's name,
// fileName = its full path.
Result ListDbaseFamily(const std::string& dbf, std::vector<FamilyDesc>& out);

// Copies the whole family to `destination` (a .DBF path; a name without
// extension gets ".DBF"). A destination that exists fails with
// ErrDestinationExists (13057) unless `overwrite`; then its whole family is
// replaced. The source is held exclusively while it is read (shared when
// its file cannot be written, which no one else can do either).
Result CopyDbaseTable(const std::string& source, const std::string& destination,
                      bool overwrite);
// Removes every member of the family.
Result DeleteDbaseTable(const std::string& dbf);
// Renames every member within the table's directory; `newName` is a file
// name ("NEW" or "NEW.DBF"). ErrFileExists when a table of that name exists.
// The files are moved, not copied; the name fields of the memo file and the
// index follow after the swap (a run cut short between the two leaves the
// old name in them, which nothing reads).
Result RenameDbaseTable(const std::string& dbf, const std::string& newName);
// Removes every record: the structure and the header's other bytes (level
// 7's autoincrement counters included) stay, the memo file keeps its
// header and block size but no value, and the production index keeps its
// tags with no keys. dBASE II and FoxPro tables are refused (read only).
Result EmptyDbaseTable(const std::string& dbf);

// ---- Shared with the conversions between drivers ----

// The .DBF of a table name as it lies on disk, found without regard to
// case; ErrNotFound when there is none.
Result FindDbaseTable(const std::string& path, std::string& dbf);

// Takes the exclusive lock of the table at `dbf` and settles a change of
// it that was cut short. A table whose file is marked read-only is refused.
Result LockDbaseExclusive(const std::string& dbf, io::TableLock& lock);
// Locks the source of a copy: exclusively, or shared when its file cannot
// be written. Settles a change cut short where it may.
Result LockDbaseSource(const std::string& dbf, io::TableLock& lock);

// The .DBF path of a table name: ".DBF" is added to a name without
// extension; another extension is ErrInvalidParameter.
Result DbaseFileName(const std::string& name, std::string& out);

// The destination of a whole-table build: its work directory is made, and
// when a table is there already it is locked exclusively (ErrDestination-
// Exists unless `overwrite`). commit() swaps the files built in the work
// directory (named like their targets) in for the destination's family.
class DbaseDestination {
 public:
  ~DbaseDestination();
  Result prepare(const std::string& dbf, bool overwrite);
  const std::string& path() const { return dbf_; }
  const std::string& workDirectory() const { return work_; }
  // Where to build a member: the work directory and the destination's
  // stem, with `upperExtension` ("DBT") in the case of the .DBF's.
  std::string staged(const std::string& upperExtension) const;
  // Swaps in every file of the work directory; members of the old family
  // that it does not replace go.
  Result commit();

 private:
  std::string dbf_;
  std::string work_;
  io::TableLock lock_;
};

}  // namespace engine::dbase
