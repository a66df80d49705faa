// Indexes through the handle API: descriptions of a table's primary and
// secondary indexes, ordering a cursor by a secondary index, and adding and
// removing secondary indexes (engine/paradox/pxsecidx.h describes the files).
//
// Index sequence numbers: 1 is the primary index of a keyed table, the
// secondary indexes follow in a stable order (single-field ones by field
// number, then composite ones by file number); 0 is the cursor's current
// index. Index ids: 0 for the primary index, the field number for a
// single-field index, 256 + n for the composite index in .XGn.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"

namespace engine::paradox {
class ParadoxTable;
}

namespace engine {

using hDBIDb = std::uint32_t;
using hDBICur = std::uint32_t;

// Every index of the cursor's table, primary first.
Result GetIndexDescs(hDBICur cursor, std::vector<IndexDesc>& indexes);
// The sequence number of the index with this name (case-insensitive); with
// an empty name, of the index with this id. Tag names are for dBASE tables
// and are not used here.
Result GetIndexSeqNo(hDBICur cursor, const std::string& indexName, const std::string& tagName,
                     std::uint16_t indexId, std::uint16_t& seqNo);
// A list cursor of IndexDesc records: the indexes of a table of the
// database, read without opening the table.
Result OpenIndexList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                     hDBICur& list);

// Orders the cursor's navigation by the secondary index of this name; ""
// returns to the table's own order (the primary key's, for a keyed table).
// The cursor stays on the record it was on.
Result SwitchToIndex(hDBICur cursor, const std::string& indexName);

// Adds a secondary index, built from the table's records. Through a cursor
// the table must be open for writing; through a database the table is
// opened exclusively while the index is built; a dBASE table's index is a
// tag of its production index (dbase::AddIndexTag).
Result AddIndex(hDBICur cursor, const IndexDesc& index);
Result AddIndex(hDBIDb db, const std::string& tableName, const IndexDesc& index);
// Removes a secondary index with its files.
Result DeleteIndex(hDBICur cursor, const std::string& indexName);
Result DeleteIndex(hDBIDb db, const std::string& tableName, const std::string& indexName);

// For the handle registry (engine.cpp, handles.cpp).
struct Cursor;
// Attaches to an opened table what keeps its secondary indexes current.
Result AttachIndexMaintenance(paradox::ParadoxTable& table);
// GetIndexDesc for every sequence number but the primary index's.
Result IndexDescOf(Cursor& cursor, std::uint16_t seqNo, IndexDesc& index);
// The number of secondary indexes of the cursor's table.
std::uint16_t SecondaryIndexCount(Cursor& cursor);
// After a change through the cursor: its order follows the records again,
// and the cursor goes to the record at table position `row` (-1: it keeps
// its place in the order).
Result FollowChange(Cursor& cursor, std::int64_t row);
// Puts the cursor on the record at table position `row`, in its order.
void SetCursorRow(Cursor& cursor, std::uint32_t row);

// Restricts a cursor to the records at these table positions (dBASE: record
// numbers less one), in this order (a live answer of a query): navigation,
// counts and changes go through them alone. Records inserted through the
// cursor join them; records deleted leave them.
Result RestrictCursor(hDBICur cursor, std::vector<std::uint32_t> rows);
// The records the cursor goes through: a restricted cursor's, or the table's.
std::int64_t CursorRecords(const Cursor& cursor);
// After a change through a restricted Paradox cursor: the record at table position
// `from` (-1: a new one) is at `to` now (-1: it was removed); the positions
// of the others move with it.
void FollowRestricted(Cursor& cursor, std::int64_t from, std::int64_t to);

}  // namespace engine
