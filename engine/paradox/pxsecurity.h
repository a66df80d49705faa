// Auxiliary passwords of Paradox tables, and the rights a session holds on
// an open table.
//
// A table with a master password may carry auxiliary passwords, each
// granting limited rights to the table and to each field. The .DB header
// counts them (byte 0x3D) but where other programs keep them is not known,
// so this engine keeps them in a side file of the table's family (STEM.QPW,
// encrypted with the table's key; docs/side-file-passwords.md). A table
// without a master password has no auxiliary passwords.
//
// Table rights, each code granting what the one before it grants and more:
//    0  none: the password opens nothing
//    1  read only
//    3  update: change the values of existing records
//    7  data entry: update, and insert records
//   15  insert and delete: data entry, delete records and empty the table
//   31  all: also the table as a whole (delete, rename, overwrite by a copy)
//  255  unknown: only reported, never accepted for a new password
// Field rights: 0 none (the field cannot be read), 1 read only, 31 all.
// A field can be changed only when both the table and the field allow it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/lock.h"
#include "engine/paradox/pxheader.h"
#include "engine/records.h"

namespace engine::paradox {

class TableParticipant;

enum AuxRights : std::int32_t {
  kRightsNone = 0,
  kRightsReadOnly = 1,
  kRightsUpdate = 3,
  kRightsDataEntry = 7,
  kRightsInsertDelete = 15,
  kRightsAll = 31,
  kRightsUnknown = 255,
};

// What a session may do with a table. The master password (or a table
// without one) gives every right.
struct AccessRights {
  bool master = true;
  std::int32_t table = kRightsAll;
  std::vector<std::int32_t> fields;  // per field; empty with the master password

  bool canRead(std::size_t field) const {
    return table != kRightsNone && (master || (field < fields.size() && fields[field] != 0));
  }
  bool canChange(std::size_t field) const {
    return table >= kRightsUpdate && (master || (field < fields.size() && fields[field] == kRightsAll));
  }
  bool allows(std::int32_t wanted) const { return master || table >= wanted; }
};

// One auxiliary password as the side file keeps it.
struct AuxPassword {
  std::string password;
  std::int32_t tableRights = kRightsReadOnly;
  std::uint16_t familyRights = 0;
  std::vector<std::int32_t> fieldRights;  // one per field, in field order
};

// The side file of a table's auxiliary passwords.
std::string AuxPasswordPath(const std::string& tablePath);

// Reads the auxiliary passwords of the table whose header is `header`.
// Fails when the side file cannot be decoded with the table's key or holds
// another number of passwords than the header counts. No side file and a
// count of 0 give an empty list; a count without a side file is
// ErrNotFound.
Result ReadAuxPasswords(const std::string& tablePath, const PxHeader& header,
                        std::vector<AuxPassword>& out);

// The side file's bytes for these passwords, encrypted with `key` (the
// table's encryption value), and back. `path` names the file in errors.
std::string EncodeAuxPasswords(const std::vector<AuxPassword>& passwords, std::uint32_t key);
Result DecodeAuxPasswords(const std::string& path, const std::string& bytes, std::uint32_t key,
                          std::vector<AuxPassword>& out);

// For a new table: checks the auxiliary passwords of `desc` (they need a
// master password, distinct texts of 1 to 31 bytes, known rights codes),
// sets their count in the new header `db` and stages the side file for the
// table at `tablePath` in `plan` (or its removal, when an old table had
// one and the new has none).
Result StageAuxPasswords(const TableDesc& desc, PxHeader& db, const std::string& tablePath,
                         std::vector<io::Replacement>& plan);

// The rights the first matching password gives on a table: the master
// password, else an auxiliary one. ErrPasswordRequired when the table is
// protected and no password matches; ErrNoRights for a password that grants
// nothing.
Result ResolveRights(const std::string& tablePath, const PxHeader& header,
                     const std::vector<std::string>& passwords, AccessRights& out);

// Refuses, before they are made, the changes that the rights of the table
// do not allow: reading is limited by ParadoxTable::readRecord, writing by
// this participant, which ParadoxTable::Open attaches for an auxiliary
// password. A field the password cannot read reads as NULL; an update that
// leaves such a field NULL keeps its stored value.
std::shared_ptr<TableParticipant> MakeRightsGuard();

}  // namespace engine::paradox
