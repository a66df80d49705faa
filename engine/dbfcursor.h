// The handle API's operations on cursors over dBASE tables (engine.h and
// indexes.h call these for a cursor whose table is a .DBF file). A cursor
// walks the physical records in file order, passing over the records marked
// deleted unless its show-deleted switch is on; its record numbers are the
// physical ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/family.h"
#include "engine/handles.h"

namespace engine::dbf {

// Whether `path` names a dBASE table (".DBF", any case).
bool IsDbfPath(const std::string& path);

Result Open(const std::string& path, OpenMode mode, ShareMode share, Cursor& cursor);
Result Create(const std::string& path, bool overwrite, const TableDesc& desc);

Result Props(Cursor& c, CursorProps& props);
// Moves `delta` visible records (0: stays) and reads the record reached.
Result Move(Cursor& c, std::int64_t delta, std::vector<Value>* values);
Result ReadCurrent(Cursor& c, std::vector<Value>* values);
Result Field(Cursor& c, std::uint16_t fieldNo, Value& value);
Result SetToRecordNo(Cursor& c, std::uint32_t recordNo);
Result GetBookmark(Cursor& c, Bookmark& bookmark);
Result SetToBookmark(Cursor& c, const Bookmark& bookmark);

Result Insert(Cursor& c, const std::vector<Value>& values);
Result InsertStream(Cursor& c, RowSource& rows, std::uint64_t* inserted);
Result Modify(Cursor& c, const std::vector<Value>& values);
// Marks the current record deleted; the cursor goes to the next record it
// shows (after the last when there is none).
Result Delete(Cursor& c);
Result Undelete(Cursor& c);

// The tags of the table's production index (.MDX), in the file's order.
Result IndexDescs(const std::string& path, std::vector<IndexDesc>& out);

}  // namespace engine::dbf
