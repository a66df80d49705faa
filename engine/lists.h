// List cursors: the answers of the Open...List operations. A list cursor
// holds descriptor records (FieldDesc, IndexDesc, FamilyDesc, ...) and is
// read like a table: SetToBegin, then GetNextRecord until ErrEndOfList
// (8706), then CloseCursor.
#pragma once

#include <any>
#include <cstdint>
#include <vector>

#include "engine/engine.h"

namespace engine {

namespace detail {
hDBICur AddList(std::vector<std::any> rows);
// The next row (relative move `offset` from the current position), or an error code.
Result MoveList(hDBICur cursor, std::int64_t offset, const std::any*& row);
}  // namespace detail

// Makes a list cursor over these records.
template <typename Record>
hDBICur OpenList(const std::vector<Record>& rows) {
  std::vector<std::any> items(rows.begin(), rows.end());
  return detail::AddList(std::move(items));
}

// Reads the next record of a list cursor; ErrEndOfList after the last.
template <typename Record>
Result GetNextRecord(hDBICur cursor, Record& out) {
  const std::any* row = nullptr;
  if (Result r = detail::MoveList(cursor, 1, row)) return r;
  const Record* typed = std::any_cast<Record>(row);
  if (!typed) return Fail(ErrInvalidParameter, "The list holds records of another kind.");
  out = *typed;
  return Ok;
}

// Moves by `offset` records and reads the record there.
template <typename Record>
Result GetRelativeRecord(hDBICur cursor, std::int32_t offset, Record& out) {
  const std::any* row = nullptr;
  if (Result r = detail::MoveList(cursor, offset, row)) return r;
  const Record* typed = std::any_cast<Record>(row);
  if (!typed) return Fail(ErrInvalidParameter, "The list holds records of another kind.");
  out = *typed;
  return Ok;
}

bool IsListCursor(hDBICur cursor);
Result GetListCount(hDBICur cursor, std::uint32_t& count);

}  // namespace engine
