// The virtual-table module that lets SQLite read and change the engine's
// tables through engine cursors: scans stream record by record, equality
// and range constraints on the first field of a Paradox primary key seek
// by binary search over the key order, and INSERT, UPDATE and DELETE go
// through the engine's InsertRecord, ModifyRecord and DeleteRecord, which
// enforce checks, keys, links and rights. What one statement changes in a
// table is one change of the engine: all of it or, when a row is refused,
// none of it.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace engine::sql {

// The tables one connection reads, by the index its virtual tables name.
struct TableSources {
  std::vector<std::string> paths;
  std::vector<std::uint64_t> records;  // of each table when it was declared
  std::uint64_t recordsRead = 0;   // by the scans of the running statement
  std::uint64_t recordsTotal = 0;  // of the statement's tables, for progress
};

// A hidden column of every virtual table: the table position (0-based) of
// the row's record (for dBASE its record number less one).
constexpr const char* kRowColumn = "__quarry_row";

// Registers the module "quarry" on the connection; a virtual table is then
// made by CREATE VIRTUAL TABLE temp."name" USING quarry(N), N an index of
// `sources.paths`.
int RegisterModule(sqlite3* db, TableSources* sources);

// Records read by all scans of the process (for tests that check a key
// lookup does not scan).
std::uint64_t RecordsReadTotal();

}  // namespace engine::sql
