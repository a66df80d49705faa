// The engine's handle registry, shared by the files that implement the
// operations of engine.h (not part of the engine's public interface).
#pragma once

#include <any>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/dbase/dbtable.h"
#include "engine/engine.h"
#include "engine/io/path.h"
#include "engine/paradox/pxtable.h"

namespace engine {

struct Database {
  std::string name;       // alias name, or the directory when opened by path
  std::string directory;
};

struct Cursor {
  std::unique_ptr<paradox::ParadoxTable> table;  // a Paradox table, or
  std::unique_ptr<dbase::DbaseTable> dbf;        // a dBASE table (engine/dbfcursor.h)
  bool showDeleted = false;                      // dBASE: records marked deleted are visited
  std::string name;               // the table name it was opened under
  hDBIDb database = 0;            // 0 when opened by path
  std::int64_t position = -1;     // -1 before the first record; count = after the last
  // The secondary index navigation follows (SwitchToIndex, engine/indexes.h)
  // and the table positions of the records in its order; both empty: the
  // table's own order. `position` counts in this order.
  std::string indexName;
  std::vector<std::uint32_t> order;
  // `order` holds a chosen set of records (a live answer's, RestrictCursor)
  // rather than every record: changes through the cursor keep it current.
  bool restricted = false;
  // The table position of the record at `position` (which must be one).
  std::uint32_t row() const {
    return order.empty() ? static_cast<std::uint32_t>(position)
                         : order[static_cast<std::size_t>(position)];
  }
};

// A list cursor: the records of an Open...List operation.
struct ListCursor {
  std::vector<std::any> rows;
  std::int64_t position = -1;
};

Database* FindDatabase(hDBIDb handle);
ListCursor* FindList(hDBICur handle);
Cursor* FindCursor(hDBICur handle);
hDBICur AddCursor(Cursor cursor);
hDBIDb AddDatabase(Database database);
bool RemoveCursor(hDBICur handle);
bool RemoveDatabase(hDBIDb handle);
Result NoHandle(const char* what);

// Looks up a cursor handle, or returns ErrInvalidHandle from the caller.
#define CURSOR_OR_FAIL(c, h)  \
  Cursor* c = FindCursor(h);  \
  if (!c) return NoHandle("cursor")

// For what only Paradox tables have: a dBASE cursor gets ErrNotSupported.
Result NotForDbase(const Cursor& cursor);
#define PARADOX_CURSOR_OR_FAIL(c, h) \
  CURSOR_OR_FAIL(c, h);              \
  if (!c->table) return NotForDbase(*c)

using io::BaseName;
using io::Upper;
// Resolves a table name in a directory ("ORDERS" -> DIR/ORDERS.DB); a name
// with a '/' is a path already.
std::string TablePath(const std::string& directory, const std::string& name);

// The descriptors of a table's fields, as GetFieldDescs gives them.
std::vector<FieldDesc> FieldDescsOf(const paradox::ParadoxTable& table);

// Attaches to a freshly opened table everything that takes part in its
// changes (validity checks, referential integrity, secondary indexes).
Result AttachParticipants(paradox::ParadoxTable& table);

}  // namespace engine
