// Changing the structure of a Paradox table while keeping its data.
//
// The descriptor lists every field the table is to have, in the new order,
// each with a change code (engine/records.h ChangeOp): opNone or opCopy keep
// old field `number` (its data converted when the definition given differs),
// opModify turns old field `number` into the definition given, opAdd adds an
// empty field and opDrop (like leaving a field out) drops it. Without change
// codes a field with a number keeps that field and one without is added.
// No fields at all leaves the fields as they are.
//
// Indexes, validity checks, links and auxiliary passwords are listed only
// when they change; drops are matched against the table as it is (indexes
// and links by name, checks by old field number, passwords by their text),
// additions and modifications describe the new table (field numbers are new
// positions). What the table keeps follows its fields: an index, check or
// link on a dropped field goes with it, and the report says so. Without a
// primary-index entry the table keeps as many leading key fields as it had.
//
// The master password stays unless the descriptor protects the table with
// another one (isProtected and password) or asks for its removal
// (removeProtection). Optional parameters LEVEL, LANGDRIVER, BLOCK SIZE
// change those properties; values the new code page cannot hold are
// problems like any other.
//
// How it is done: the new table is built whole in a work directory beside
// the old one (TABLE.DB.work~), records streamed from the old table and
// converted one at a time, then its files are swapped in together with
// io::ReplaceFiles. An interrupted run leaves the old table as it was; the
// work directory is removed by the next open. The rebuilt files are always
// compact, so packing needs no more than a restructure without changes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/pxcreate.h"
#include "engine/records.h"

namespace engine::paradox {

struct RestructureOptions {
  bool dryRun = false;                 // report what would happen, change nothing
  std::vector<std::string> passwords;  // the session's: one must be the master password
  CreateDefaults defaults;
};

// Restructures the table at `tablePath` (its .DB). A record that cannot be
// carried over (a value that does not convert, a key that two records would
// share) goes whole to the problems table when desc.problemsTable names one
// (a name in the table's directory; an existing table of that name is never
// overwritten: a free name with a number is taken, and the report names it),
// else nothing changes and the first such record is reported.
Result RestructureParadoxTable(const std::string& tablePath, const TableDesc& desc,
                               const RestructureOptions& options,
                               RestructureReport* report = nullptr);

}  // namespace engine::paradox
