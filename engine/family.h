// Operations of the handle API on tables by name: exclusive opens, the
// lists of a database (files, tables, a table's fields, family and
// auxiliary passwords) and the whole-table operations (copy, delete,
// rename, empty) on Paradox and dBASE tables; "" as driver type means "by
// the extension" (a dBASE table's name without extension gets ".DBF" when
// the driver "DBASE" is named).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace engine {

// Shared: other opens of the table may coexist. Exclusive: no other open
// of the table, in any process; a table open elsewhere gives ErrTableInUse
// ("Table is in use: PATH"), and while the exclusive open lasts every other
// open fails the same way. (The OpenTable / OpenTablePath of engine.h open
// shared.)
enum class ShareMode { Shared, Exclusive };

Result OpenTable(hDBIDb db, const std::string& name, const std::string& driverType,
                 OpenMode mode, ShareMode share, hDBICur& cursor);
Result OpenTablePath(const std::string& path, OpenMode mode, ShareMode share, hDBICur& cursor);

// The rights the session's password gives on each field of an open table,
// in field order: 0 none (the field reads as NULL), 1 read only, 31 all.
Result GetFieldRights(hDBICur cursor, std::vector<std::int32_t>& rights);

// One file of OpenFileList. Date and time are those of the last change, in
// local time.
struct FileDesc {
  std::string name;       // without the extension: "ORDERS"
  std::string extension;  // without the dot, as written on disk: "DB", "db", "" for none
  std::uint64_t size = 0;
  std::int32_t date = 0;  // day number, 1 = 0001-01-01 (as DateValue)
  std::int32_t time = 0;  // milliseconds since midnight (as TimeValue)
};

// One table of OpenTableList. The extended part is filled only when asked
// for (from the file's header; no password needed); a header that cannot be
// read leaves it zero.
struct TableListDesc {
  std::string name;        // without the extension
  std::string extension;   // "DB" or "DBF", as written on disk
  std::string driverType;  // "PARADOX" or "DBASE"
  std::uint64_t size = 0;
  std::int32_t date = 0;
  std::int32_t time = 0;
  // Extended.
  std::uint16_t level = 0;  // Paradox 3, 4, 5 or 7; 0 for dBASE
  std::uint16_t fieldCount = 0;
  std::uint16_t recordSize = 0;
  std::uint32_t recordCount = 0;
  std::int16_t isProtected = 0;
  std::uint16_t auxPasswordCount = 0;
};

// Files of the database's directory whose names match `wildcard` ('*' any
// run of characters, '?' one character; letter case is ignored), sorted by
// name. Read with GetNextRecord(cursor, FileDesc&).
Result OpenFileList(hDBIDb db, const std::string& wildcard, hDBICur& cursor);

// The tables (.DB and .DBF files) of the database whose names match
// `wildcard` ("" for all), sorted by name. System tables, the engine's own
// work tables, are named with a leading '$' and listed only when `system`
// is set. Read with GetNextRecord(cursor, TableListDesc&).
Result OpenTableList(hDBIDb db, bool extended, bool system, const std::string& wildcard,
                     hDBICur& cursor);

// The fields of a table (its FieldDesc records, as GetFieldDescs gives
// them). Only physical types are offered: `physicalTypes` false is
// ErrNotSupported. A protected table needs a session password.
Result OpenFieldList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                     bool physicalTypes, hDBICur& cursor);

// The family members of a table, as FamilyDesc records: name = the file's
// name, fileName = its full path, id = the number of a secondary index.
// The kinds are those of engine/paradox/pxfamily.h; the auxiliary-password
// side file (.QPW) is of kind 1, part of the table. A dBASE table's family
// is its .DBF, memo file and production index (engine/dbase/dbfamily.h).
Result OpenFamilyList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                      hDBICur& cursor);

// The auxiliary passwords of a table as SecurityDesc records, numbered from
// 1. Only the master password (among the session's) lists them: an
// auxiliary one gives ErrNoRights. A table without master password has none,
// and neither has a dBASE table.
Result OpenSecurityList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                        hDBICur& cursor);

// Whole-table operations (engine/paradox/pxfamily.h, engine/dbase/
// dbfamily.h), with the session's passwords. A table open anywhere, this
// process included, cannot be changed: ErrTableInUse. Names are resolved
// like OpenTable's; a destination with a '/' is a path.
// CopyTable: ErrDestinationExists (13057) when the destination exists and
// `overwrite` is false. A destination without extension is a table of the
// source's driver; a .DBF destination of a .DB source, or the reverse, is
// a copy into the other driver (engine/dbase/dbconvert.h).
Result CopyTable(hDBIDb db, bool overwrite, const std::string& source,
                 const std::string& driverType, const std::string& destination);
Result DeleteTable(hDBIDb db, const std::string& tableName, const std::string& driverType);
Result RenameTable(hDBIDb db, const std::string& oldName, const std::string& newName);
Result EmptyTable(hDBIDb db, const std::string& tableName);

// Changes the structure of desc.tableName in place, keeping and converting
// its data (engine/paradox/pxrestructure.h tells how the descriptor is
// read); the table is rebuilt compact, so desc.pack needs nothing more.
// `analyzeOnly` changes nothing and fills `report` with what would happen.
// A protected table needs its master password among the session's.
Result RestructureTable(hDBIDb db, const TableDesc& desc, bool analyzeOnly = false,
                        RestructureReport* report = nullptr);
// Packs a table: for Paradox a restructure that changes nothing else; a
// dBASE table loses its records marked deleted (DbaseTable::Pack).
// RestructureTable takes dBASE tables too (engine/dbase/dbconvert.h).
Result PackTable(hDBIDb db, const std::string& tableName);

}  // namespace engine
