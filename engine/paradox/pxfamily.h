// The family of a Paradox table: the files that belong to it, and the
// operations on a table as a whole (copy, delete, rename, empty).
//
// Members share the table's name (compared without regard to case) and
// differ by extension:
//   .DB table (kind 1), .PX primary index (2), .VAL validity checks and
//   referential integrity (5), .Xnn/.Ynn single-field secondary indexes
//   (6, id nn: two hex digits), .XGn/.YGn composite secondary indexes (7,
//   id n: 0-9, then A-Z for 10-35),
//   .MB BLOB file (8), forms .F .Fn .FSL .FDL (3), reports .R .Rn .RSL .RDL
//   (4), and the engine's own side files: .QPW auxiliary passwords (kind 1,
//   part of the table: its header counts them), .QVC validity-check values
//   (5) and .QIX secondary-index properties (6).
// A change cut short leaves a journal (.QJR) or a replacement plan (.QRP);
// these are no members, they are recovered before a table is used.
//
// Each whole-table operation takes an exclusive lock on every table it
// changes (ErrTableInUse while another open of it exists, in any process),
// builds the new files beside the old ones (NAME + ".new~") and swaps them
// in with io::ReplaceFiles: a run cut short before the swap leaves the old
// table as it was; a swap cut short is finished by the next open. The plan
// lies at the .QRP of the table that is opened next: the destination of a
// copy, the old name of a rename.
//
// Referential integrity ties tables of one directory together: a table
// whose .VAL names another table there, or that another's .VAL names, is
// not deleted, renamed or overwritten (ErrNotSupported: its links would
// point nowhere), and not emptied while a linked table holds records
// (ErrDetailsExist; which side of a link is the master is not told apart
// here). A copy takes the .VAL along as it is, links included.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/lock.h"
#include "engine/io/path.h"
#include "engine/records.h"

namespace engine::paradox {

struct FamilyMember {
  std::string path;      // full path
  std::string fileName;  // the name in the directory, e.g. "C.X02"
  std::int32_t kind = famTable;
  std::uint16_t id = 0;  // number of a secondary index or form or report; else 0
};

// The member kind of an extension (without the dot, any case), or 0 for an
// extension that makes no member; `id` receives the member's number.
std::int32_t FamilyKindOf(const std::string& extension, std::uint16_t* id = nullptr);

// The members of the table at `tablePath` (its .DB, found without regard to
// case): the .DB first, then in the order of the list above, the side files
// last.
Result ListFamily(const std::string& tablePath, std::vector<FamilyMember>& out);

// A whole-table change made ready: the staged files and the plan that will
// swap them in, and the locks that keep other opens out until then.
struct PreparedChange {
  std::vector<io::Replacement> plan;
  std::string planPath;
  std::vector<io::TableLock> locks;

  // Swaps the staged files in; on failure nothing changes and the staged
  // files are removed. A table that appears under a new name loses the
  // staged files an earlier run cut short left for that name.
  Result apply();
  // Removes the staged files and lets the locks go.
  void discard();
};

// Removes what a whole-table operation cut short before it wrote its plan
// left beside the table at `db` (its .DB): the staged files of the family,
// member + ".new~" ("T.DB.new~", "t.px.new~"), and a restructure's work
// directory (WorkDirectoryOf). Nothing is
// removed while a plan (.QRP) is pending, nor while another open of the
// table exists: `lock` holds the table, exclusively when `exclusive` is set;
// a shared lock is raised in place for the removal and lowered again, and
// when another open keeps it from rising the files stay for a later open.
void RemoveStagedLeftovers(const std::string& db, io::TableLock& lock, bool exclusive);

// A restructure builds the new table in a directory beside the old one
// (engine/paradox/pxrestructure.h): TABLE.DB + ".work~".
using io::RemoveWorkDirectory;
using io::WorkDirectoryOf;

// `passwords` are the session's: a protected table needs one that allows
// the operation (reading for the source of a copy; all rights to delete,
// rename or overwrite; deleting records to empty).
Result PrepareCopy(const std::string& source, const std::string& destination, bool overwrite,
                   const std::vector<std::string>& passwords, PreparedChange& out);
Result PrepareDelete(const std::string& tablePath, const std::vector<std::string>& passwords,
                     PreparedChange& out);
Result PrepareRename(const std::string& tablePath, const std::string& newName,
                     const std::vector<std::string>& passwords, PreparedChange& out);
Result PrepareEmpty(const std::string& tablePath, const std::vector<std::string>& passwords,
                    PreparedChange& out);

// Copies the whole family to `destination` (a .DB path; the name fields in
// the copied headers follow the new name). A destination that exists fails
// with ErrDestinationExists (13057) unless `overwrite`, in which case its
// whole family is replaced.
Result CopyParadoxTable(const std::string& source, const std::string& destination,
                        bool overwrite, const std::vector<std::string>& passwords = {});
// Removes every member of the family.
Result DeleteParadoxTable(const std::string& tablePath,
                          const std::vector<std::string>& passwords = {});
// Renames every member within the table's directory; `newName` is a file
// name ("NEW" or "NEW.DB"). ErrFileExists when a table of that name exists.
Result RenameParadoxTable(const std::string& tablePath, const std::string& newName,
                          const std::vector<std::string>& passwords = {});
// Removes every record; structure, validity checks, secondary index
// definitions, passwords and the autoincrement counter stay; the indexes
// and the BLOB file become empty.
Result EmptyParadoxTable(const std::string& tablePath,
                         const std::vector<std::string>& passwords = {});

}  // namespace engine::paradox
