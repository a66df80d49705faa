// Carrying field values into a field of another type or size, as a table
// restructure does. Pure functions: no file is read or written.
//
// What each change does with a value (NULL always stays NULL):
//   integers S I +, Number N, Money $, BCD #, in any direction
//       exact when the number fits. A fraction going into fewer decimals (or
//       an integer field) is rounded half away from zero: Shortened. More
//       digits than a double keeps (BCD or text into N, $): Shortened.
//       Outside the new type's range, or too many digits before the point
//       for BCD: Failed. Autoincrement values are 1 and up.
//   numbers <-> Alpha
//       a number becomes its shortest text ("0.1", "1e+20", BCD "12.30");
//       text that does not fit the Alpha length is Failed, never cut. Text
//       becomes a number when it is one after trimming (sign, digits,
//       point, exponent); blank text is NULL.
//   Alpha -> Alpha, Memo M / Formatted memo F -> Alpha
//       cut at a character when longer than the new length: Shortened.
//       Lengths count characters; a multi-byte code page may still find the
//       text too long when the table writer stores it.
//   Memo M, Formatted memo F, Binary B among each other, and Alpha -> M, F
//       text is carried as its UTF-8 bytes; bytes become text (M, A) only
//       when they are valid UTF-8, else Failed.
//   Bytes Y <-> Binary B, Y -> Y
//       the bytes are kept; cutting to a shorter Y is Shortened unless all
//       the cut bytes are zero (the padding a Y field reads back anyway).
//   Graphic G, OLE O, Binary B among each other: the bytes are kept.
//   Date D, Time T, Timestamp @
//       D -> @ midnight; @ -> D keeps the day (Shortened when the time was
//       not midnight); @ -> T keeps the time (Shortened: the date goes).
//       T -> @ has no date to take, so the pair does not convert; nor do
//       D <-> T.
//   D, T, @ <-> Alpha: YYYY-MM-DD, HH:MM:SS[.mmm] and "date time". Text
//       for a date may be a timestamp (its time is dropped: Shortened) and
//       text for a timestamp a bare date (midnight).
//   Logical L <-> Alpha: "true"/"false"; read also t/f, yes/no, y/n in any
//       case. L <-> numbers (not Autoincrement): 1 and 0; any other number
//       is Failed.
#pragma once

#include <cstdint>
#include <string>

#include "engine/records.h"
#include "engine/value.h"

namespace engine::paradox {

enum class Conversion { Same, Shortened, Failed };

// Whether values of Paradox physical type `from` (257..273) can ever be
// carried into type `to`. False for pairs that never convert (a Graphic
// into a Date, for one), so that a restructure can refuse the change up
// front.
bool TypesConvert(std::uint16_t from, std::uint16_t to);

// Converts `in`, a value read from a field described by `from` (type;
// units1 the length of Alpha and Bytes fields; units2 the decimals of BCD
// fields), into `out`, a value that EncodeField or the table writer accepts
// for a field described by `to`. Same: carried exactly. Shortened: carried
// with a loss that shortening a field implies; `note` says what was lost.
// Failed: `out` is NULL and `note` says, in words for the user, why the
// value cannot be carried. `note` is empty after Same.
Conversion ConvertValue(const FieldDesc& from, const FieldDesc& to, const Value& in, Value& out,
                        std::string& note);

}  // namespace engine::paradox
