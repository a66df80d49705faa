// Batch moves: the records of one table put into another, appended,
// updating or removing the records with their keys, or the whole table
// copied over the other. Paradox tables only, so far.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace engine {

// One side of a batch move.
struct BatchTableDesc {
  hDBIDb db = 0;  // a database (directory); the table name is resolved in it like OpenTable's
  std::string tableName;
  std::string tableType = "PARADOX";  // or "" (by the extension)
  std::string userName;  // not used
  std::string password;  // tried in addition to the session's passwords
};

enum BatchMode : std::int32_t {
  batAppend = 0,        // every source record is inserted
  batUpdate = 1,        // the destination record with a source record's key takes its fields
  batAppendUpdate = 2,  // as update, and source records without such a record are inserted
  batSubtract = 3,      // the destination record with a source record's key is removed
  batCopy = 4,          // the destination becomes a copy of the source, structure and all
};

// Moves the records of the source table into the destination table.
// `moved` receives the number of destination records inserted, updated or
// removed (copy: the records copied).
//
// Source fields go to the destination fields of the same name (letter case
// aside); when no name matches, field by field in order. Destination fields
// no source field matches are left blank when a record is inserted (an
// Autoinc field gets its next number) and keep their values when one is
// updated. Update, append-and-update and subtract find records by the
// destination's primary key, which must be keyed (ErrInvalidIndex) and
// whose key fields must all be matched.
//
// The whole move is one change of the destination: the first source record
// refused (a key violation, a value that does not fit, a check) stops it,
// nothing is changed and `moved` is 0; the message names the record. Copy
// replaces the destination's whole family (paradox::CopyParadoxTable).
// The source is read under a shared lock; a source and a destination that
// are one table give ErrInvalidParameter.
Result BatchMove(const BatchTableDesc& source, const BatchTableDesc& destination,
                 std::int32_t mode, std::uint32_t& moved);

// Creates the destination of a move: the source's fields, level, block
// size and language driver and, unless the mode is append, the source's
// primary key as its only index. ErrDestinationExists when it exists.
Result CreateBatchDestination(const BatchTableDesc& source, const BatchTableDesc& destination,
                              std::int32_t mode);

// What MoveTable did.
struct MoveOutcome {
  Result result = Ok;       // Ok, or the first failure (creating the destination or moving)
  std::string message;      // the engine's message of that failure ("" when Ok)
  std::uint32_t moved = 0;  // as BatchMove counts them
  bool created = false;     // the destination was created for the move, and kept (Ok only)
};

// The move of one table as `quarry move` and the archive window make it: a
// destination that does not exist is created first (CreateBatchDestination;
// not for copy, which makes its own), then the records are moved
// (BatchMove). A destination created here is deleted again when the move
// fails, so that a failed move leaves nothing behind.
MoveOutcome MoveTable(const BatchTableDesc& source, const BatchTableDesc& destination,
                      std::int32_t mode);

}  // namespace engine
