// Copies between the drivers: a Paradox table into a new dBASE table and a
// dBASE table into a new Paradox table, record by record.
//
// Nothing is lost without a word: a value the new table cannot hold as it
// is (text too long or with characters its code page lacks, a number that
// its field would round, a date or time outside its range) fails the whole
// copy with a message that names the record (its number in the source,
// from 1) and the source field, and no destination is left behind. The new
// table is built in the work directory beside the destination and swapped
// in with one replacement plan, like every whole-table operation
// (engine/dbase/dbfamily.h, engine/paradox/pxfamily.h); an existing
// destination is replaced only with `overwrite`, its whole family with it.
// The source is held exclusively while it is read.
//
// Paradox -> dBASE (level 4; 5 when a binary or OLE field needs it; 7 when
// a type only level 7 has is needed):
//   A  C of the same length; an A255 whose values all fit 254 bytes becomes
//      C(254), else a memo (M), so that no value is cut.
//   N  F, $ and # N, with the decimals the values use (at least 2 for N and
//      $, at least those of # up to 18): 15 wide for N and $ when the
//      values fit (a copy back then gives Paradox numbers again), else 20,
//      and 20 for #. When some value needs more than 20 characters the
//      field becomes level 7's double (O), which holds every Paradox
//      number exactly (a # value with more than 15 significant digits
//      then fails).
//   S, I  N(6) and N(11); level 7's long (I) when the table is level 7.
//   +  level 7's autoincrement (+), its counter carried on.
//   D  D (years 1 to 9999).  L  L.  @  level 7's timestamp (@).
//   T  C(8) "HH:MM:SS", or C(12) "HH:MM:SS.mmm" when a value has
//      milliseconds.
//   M  M.  F  M (its text; formatting codes are bytes of the text).
//   B, G, Y  B (level 5).  O  G (level 5).
//   The code page stays: a dBASE language driver of the source's code page
//   (DBWINUS0 when none has one). Field names become dBASE names: letters,
//   digits and underscores, starting with a letter, at most 10 characters
//   (31 at level 7), upper case below level 7, made unique. Indexes,
//   validity checks and passwords are not carried; a protected table is
//   copied only with its master password.
// dBASE -> Paradox (level 7, unkeyed):
//   C, V  A of the same length.  N  I (long) when it has no decimals and
//   at most 9 digits, N (number) up to 15 characters, else # with its
//   decimals, so that each value is held exactly.  F, O, B (FoxPro's
//   double)  N, refused per value when a double would change it.
//   Y (currency)  $.  D  D.  L  L.  M  M.  B (binary)  B.  G, P  O.
//   I  I.  +  +, its counter carried on.  @, T  @.
//   Records marked deleted are not copied (they are the ones a pack would
//   remove). Field names longer than 25 characters are cut and made
//   unique. The language driver is a Paradox driver of the source's code
//   page (the engine's default when none has it). A table whose memo file
//   is missing, or a number or date field holding bytes that are neither
//   blank nor a value, is refused rather than copied with NULLs.
//   Trailing blanks of text do not survive either way: a dBASE text field
//   is blank-padded.
#pragma once

#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/pxcreate.h"
#include "engine/records.h"

namespace engine::dbase {

// `source` a .DB path, `destination` a .DBF path. `passwords` are the
// session's: a protected source needs its master password among them.
Result CopyParadoxToDbase(const std::string& source, const std::string& destination,
                          bool overwrite, const std::vector<std::string>& passwords);

// `source` a .DBF path, `destination` a .DB path. `defaults` give the block
// size (raised when a record needs more) and the fallback language driver;
// the level is always 7. Replacing a protected destination needs its
// master password among `passwords`.
Result CopyDbaseToParadox(const std::string& source, const std::string& destination,
                          bool overwrite, const std::vector<std::string>& passwords,
                          const paradox::CreateDefaults& defaults);

// Changes the structure of a dBASE table, keeping and converting its data.
// The descriptor is read as for Paradox tables (engine/paradox/
// pxrestructure.h): change codes 0 keep, 1 add, 2 copy/move, 3 modify, 4
// drop, the OLD field number in kept, copied and modified entries (a type
// of 0 keeps the old type, a size of 0 with the same type the old size);
// old fields the descriptor leaves out are dropped. LEVEL and LANGDRIVER
// may change. Values convert between text, numbers, dates, timestamps,
// logicals and memos where their meaning allows (pairs that never do are
// refused up front); a value that would not be carried whole (text cut,
// decimals or digits lost, a time of day dropped) fails the restructure
// naming the record and the old field. Records marked deleted go, as in a
// pack. Built in the work directory and swapped in like a pack. The
// production index is not carried here: a table that has one is
// restructured through RestructureDbaseTableWithIndex (dbindex.h), which
// RestructureTable calls and which rebuilds its tags.
// `dryRun` changes nothing and tells in `report` what would happen: the
// records kept and those that could not be carried.
Result RestructureDbaseTable(const std::string& path, const TableDesc& desc, bool dryRun,
                             RestructureReport* report = nullptr);

}  // namespace engine::dbase
