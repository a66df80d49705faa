// Validity checks and referential integrity through the handle API.
//
// A table's checks (required, minimum, maximum, default, picture, lookup
// table) and links (to its parents, and the tables that depend on it) come
// from its .VAL file; TODAY and NOW values from its .QVC side file
// (docs/validity.md). They are enforced on every change of the table.
//
// Value areas of a ValCheckDesc (minValue, maxValue, defaultValue) hold
// the value in this form, by field type:
//   A      zero-terminated text in the table's code page
//   N, $   8-byte double (native byte order)
//   @      8-byte double: milliseconds, day number x 86,400,000 + time of day
//   D      32-bit day number (1 = 0001-01-01)
//   T      32-bit milliseconds since midnight
//   S      32-bit integer (the low 16 bits are read)
//   I, +   32-bit integer
//   L      byte 0: 1 true, 0 false (a default only)
//   #      zero-terminated decimal text, e.g. "-12.30"
// The has-words: 0 none, 2 TODAY (D, @), 3 NOW (T, @), any other non-zero
// value = the area holds a value (the engine writes 0xFFFF).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace engine {

namespace paradox {
class ParadoxTable;
}

// ValCheckDesc::lookupType.
enum LookupType : std::int32_t {
  lookupNone = 0,
  lookupCurrentField = 1,      // only this field takes the looked-up value
  lookupAllFields = 2,         // fields of the same name take theirs too
  lookupHelpCurrentField = 3,  // as 1, and the user may browse the lookup table
  lookupHelpAllFields = 4,     // as 2, and the user may browse the lookup table
};

// The n-th (1-based) check of the cursor's table, in field order.
Result GetValCheckDesc(hDBICur cursor, std::uint16_t n, ValCheckDesc& check);
// The n-th (1-based) link: links to parents first, then dependent tables.
Result GetRefIntDesc(hDBICur cursor, std::uint16_t n, RefIntDesc& link);
// List cursors over all checks / links of a table of the database.
Result OpenValCheckList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                        hDBICur& list);
Result OpenRefIntList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                      hDBICur& list);

// Fills valCheckCount and refIntCount of a table cursor's properties (left
// at 0 when the .VAL file cannot be read).
void AddValidityCounts(hDBICur cursor, CursorProps& props);

// Value areas <-> values, for a field of physical type `fieldType`
// (ParadoxType); text is converted from / to code page `codePage`.
Result CheckAreaToValue(std::uint16_t fieldType, const std::array<std::uint8_t, 256>& area,
                        int codePage, Value& value);
Result ValueToCheckArea(std::uint16_t fieldType, const Value& value, int codePage,
                        std::array<std::uint8_t, 256>& area);

// The minimum, maximum or default of a check of the cursor's table as a
// value; NULL when the check has none, or has TODAY or NOW (see hasMin...).
enum class CheckPart { Minimum, Maximum, Default };
Result GetCheckValue(hDBICur cursor, const ValCheckDesc& check, CheckPart part, Value& value);

// Makes a freshly opened table enforce its checks and links (called when
// any table is opened).
Result AttachValidity(paradox::ParadoxTable& table);

}  // namespace engine
