// Encoding of field values in Paradox records: numbers big-endian with the
// sign bit inverted, so that an all-zero field is NULL (blank).
#pragma once

#include <cstdint>
#include <string>

#include "engine/errors.h"
#include "engine/paradox/pxheader.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::paradox {

// Decodes a non-BLOB field at `p` (field.width() bytes).
Value DecodeField(const PxField& field, const std::uint8_t* p, const text::Codec& codec);

// Encodes a non-BLOB value into `p` (field.width() bytes). NULL clears the
// field. A value that does not fit (too long, out of range, wrong kind)
// fails with ErrInvalidValue naming the field.
Result EncodeField(const PxField& field, const Value& value, const text::Codec& codec,
                   std::uint8_t* p);

// Raw conversions, shared with index keys and validity-check values.
std::int64_t DecodeInt(const std::uint8_t* p, int bytes);  // caller checks NULL
void EncodeInt(std::int64_t v, int bytes, std::uint8_t* p);
double DecodeDouble(const std::uint8_t* p);
void EncodeDouble(double v, std::uint8_t* p);
bool IsZero(const std::uint8_t* p, std::size_t n);

// BCD: 17 bytes, `decimals` places. Text form "-12.30".
std::string DecodeBcd(const std::uint8_t* p, int decimals);
// Fails (returns false) for malformed text or too many digits.
bool EncodeBcd(const std::string& text, int decimals, std::uint8_t* p);

// Compares two stored key values of one field in index order (<0, 0, >0);
// NULL sorts first. Alpha keys compare in the driver's order.
int CompareStored(const PxField& field, const std::uint8_t* a, const std::uint8_t* b,
                  const text::LanguageDriver* driver);

}  // namespace engine::paradox
