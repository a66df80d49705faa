// Field values in .DBF records.
//
// Read: C text (trailing blanks removed), N and F numbers from their ASCII
// form (int64 when the field has no decimals and at most 18 digits, else
// double), D dates, L logicals, level 7's I, +, O and @ in their binary
// forms, and FoxPro's I, B (double), Y (currency), T (date and time), V
// and Q. Blank fields are NULL, and so are values a reader cannot take for
// what their type says (a dirty date, a number with letters in it): the
// table still reads.
//
// Written: the inverse. A value that does not fit its field (text too
// long, a number too wide for its width and decimals, a date outside
// 0001-9999) is refused with ErrInvalidValue naming the field.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/dbase/dbheader.h"
#include "engine/errors.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::dbase {

// Decodes a field that is no memo pointer from the record `record` (the
// whole record: FoxPro's NULL flags live in a field of their own).
Value DecodeField(const DbfHeader& h, const DbfField& f, const std::uint8_t* record,
                  const text::Codec& codec);
// The same into `out`, reusing the storage of the text it holds.
void DecodeField(const DbfHeader& h, const DbfField& f, const std::uint8_t* record,
                 const text::Codec& codec, Value& out);
// Every field of `fields` that is no memo pointer into out[i] (out holds a
// value for every field), in one loop.
void DecodeFields(const DbfHeader& h, const std::vector<DbfField>& fields,
                  const std::uint8_t* record, const text::Codec& codec, std::vector<Value>& out);

// FoxPro: whether a bit of the record's _NullFlags is set; false for bit -1
// and for tables without the flags.
bool FlagSet(const DbfHeader& h, int bit, const std::uint8_t* record);
// FoxPro: whether the record marks field `f` as NULL.
bool NullFlagged(const DbfHeader& h, const DbfField& f, const std::uint8_t* record);

// Encodes a value into field `f` of `record`. Memo pointers are written
// with PutMemoPointer instead. NULL blanks the field.
Result EncodeField(const DbfField& f, const Value& value, const text::Codec& codec,
                   std::uint8_t* record);

// The memo block a memo field points at; 0 for none. `valid` is false when
// the field holds something other than a number or blanks.
std::uint32_t MemoPointer(const DbfField& f, const std::uint8_t* record, bool& valid);
void PutMemoPointer(const DbfField& f, std::uint32_t block, std::uint8_t* record);

// Numbers in their ASCII form, as N and F fields hold them: leading and
// trailing blanks and NULs are ignored, a comma is read as the decimal
// point (or dropped, when a point is there too). False for a blank, an
// overflow mark (*) or anything else that is no number.
bool ParseNumber(const char* p, std::size_t n, double& out, bool& integral, std::int64_t& whole);

}  // namespace engine::dbase
