// Live answers. A query that reads every field of one table, in the
// table's field order, without grouping, distinct rows, compound parts or a
// limit, can answer with a cursor on the table itself, restricted to the
// records the query gives, in the query's order: what is changed through
// that cursor is changed in the table.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace engine::sql {

// Runs `text` (prepared as `prepared` on `db`, its one table bound to a
// virtual table over the file at `path`) for a live answer. `live` is false
// (with Ok) when the query cannot have one; then nothing was run.
Result LiveAnswer(sqlite3* db, sqlite3_stmt* prepared, const std::string& text,
                  const std::string& path, hDBICur& answer, bool& live, std::uint64_t& rows);

}  // namespace engine::sql
