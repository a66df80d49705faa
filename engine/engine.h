// The engine's operations over handles: databases (directories of tables)
// and cursors (open tables). Every operation returns a result code; a failed
// one leaves its detailed message for LastErrorMessage().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/rows.h"
#include "engine/value.h"

namespace engine {

using hDBIDb = std::uint32_t;
using hDBICur = std::uint32_t;

// Session passwords, tried when a protected table is opened.
void AddPassword(const std::string& password);
void RemovePassword(const std::string& password);
void RemoveAllPasswords();
const std::vector<std::string>& SessionPasswords();

// A database is a directory of table files, named by its path or by an
// alias of the configuration (engine/config/config.h).
Result OpenDatabase(const std::string& name, hDBIDb& db);
Result CloseDatabase(hDBIDb& db);
Result GetDatabaseDirectory(hDBIDb db, std::string& directory);

enum class OpenMode { ReadOnly, ReadWrite };

// Opens a table of the database: `name` is a file name in the database's
// directory ("ORDERS.DB"), or a path. Driver type "PARADOX" or "" (by extension).
Result OpenTable(hDBIDb db, const std::string& name, const std::string& driverType,
                 OpenMode mode, hDBICur& cursor);
// Opens a table by path, without a database.
Result OpenTablePath(const std::string& path, OpenMode mode, hDBICur& cursor);
Result CloseCursor(hDBICur& cursor);

Result CreateTable(hDBIDb db, bool overwrite, const TableDesc& desc);

Result GetCursorProps(hDBICur cursor, CursorProps& props);
Result GetFieldDescs(hDBICur cursor, std::vector<FieldDesc>& fields);
// seqNo 0 = the cursor's current index, 1.. = the n-th index.
Result GetIndexDesc(hDBICur cursor, std::uint16_t seqNo, IndexDesc& index);
Result GetRecordCount(hDBICur cursor, std::uint32_t& count);

// Navigation. A cursor is before the first record, on a record, or after
// the last. Moving past either end gives ErrBeginOfList / ErrEndOfList.
Result SetToBegin(hDBICur cursor);
Result SetToEnd(hDBICur cursor);
Result GetNextRecord(hDBICur cursor, std::vector<Value>* values);
Result GetPriorRecord(hDBICur cursor, std::vector<Value>* values);
Result GetRelativeRecord(hDBICur cursor, std::int32_t offset, std::vector<Value>* values);
// 1-based record number.
Result SetToRecordNo(hDBICur cursor, std::uint32_t recordNo);
Result GetRecordNo(hDBICur cursor, std::uint32_t& recordNo);
Result GetRecord(hDBICur cursor, std::vector<Value>& values);
// A field of the current record (1-based field number).
Result GetField(hDBICur cursor, std::uint16_t fieldNo, Value& value);

// A bookmark names the current record; it stays valid while the record
// exists, even when other records move.
using Bookmark = std::vector<std::uint8_t>;
Result GetBookmark(hDBICur cursor, Bookmark& bookmark);
Result SetToBookmark(hDBICur cursor, const Bookmark& bookmark);

// Editing. Insert and modify leave the cursor on the changed record; delete
// leaves it on the record that followed.
Result InsertRecord(hDBICur cursor, const std::vector<Value>& values);
Result InsertRecords(hDBICur cursor, const std::vector<std::vector<Value>>& rows);
// Inserts the rows of `rows` as one change (all or none), streaming: memory
// does not grow with the number of rows. `inserted` receives their number.
Result InsertRecordStream(hDBICur cursor, RowSource& rows, std::uint64_t* inserted = nullptr);
Result ModifyRecord(hDBICur cursor, const std::vector<Value>& values);
Result DeleteRecord(hDBICur cursor);
// Makes the changes through `cursor` from here on one change: EndChange
// commits all of them, or rolls all of them back (`commit` false, or after
// one of them failed: it then fails itself). Closing the cursor first rolls
// back.
Result BeginChange(hDBICur cursor);
Result EndChange(hDBICur cursor, bool commit);
// Recalls the current record of a dBASE table (one marked deleted and shown
// through kPropShowDeleted).
Result UndeleteRecord(hDBICur cursor);
// Whether the current record is marked deleted (only a dBASE cursor that
// shows deleted records meets one; Paradox records never are).
Result IsRecordDeleted(hDBICur cursor, bool& deleted);

// Cursor properties set by number.
constexpr std::uint32_t kPropTranslateMode = 0x50005;  // only 0: physical field types
constexpr std::uint32_t kPropShowDeleted = 0x50009;    // dBASE: 1 shows records marked deleted
// 0 when the cursor accepts this value for the property.
Result ValidateProp(hDBICur cursor, std::uint32_t property, std::int64_t value);
Result SetProp(hDBICur cursor, std::uint32_t property, std::int64_t value);
// The property's present value; ErrNotSupported where the cursor has none.
Result GetProp(hDBICur cursor, std::uint32_t property, std::int64_t& value);

}  // namespace engine

#include "engine/config/config.h"
#include "engine/family.h"
#include "engine/valchecks.h"
#include "engine/indexes.h"
#include "engine/batchmove.h"
