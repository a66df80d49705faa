// Engine values as SQLite sees them and back. Dates, times and timestamps
// are ISO text ('YYYY-MM-DD', 'HH:MM:SS', 'YYYY-MM-DD HH:MM:SS', with
// '.mmm' only when the milliseconds are not 0), so that they order and
// compare like quoted date literals; logical values are 0 and 1; money,
// numbers and BCD are REAL; memo and alpha fields are TEXT; other BLOBs BLOB.
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/value.h"

namespace engine::sql {

// The Paradox type an answer column of this field gets (dBASE types mapped).
std::uint16_t AnswerTypeOf(const FieldDesc& field);
// The column type declared for the field in a virtual table: its SQLite
// affinity, then the Paradox type and sizes the answer uses ("TEXT_PX257_20_0").
std::string DeclaredType(const FieldDesc& field);
// Reads DeclaredType back into type and sizes; false for any other text.
bool ParseDeclaredType(const char* decl, FieldDesc& field);
// The engine's result for a statement step that failed with `rc`: a
// cancelled query, the engine's own refusal, or SQLite's message.
Result StepFailure(sqlite3* db, int rc);

void ResultValue(sqlite3_context* ctx, const Value& value, const FieldDesc& field);
// The SQLite value as a value of the field; false with `error` when it does
// not fit the field's type.
bool ToEngineValue(sqlite3_value* in, const FieldDesc& field, Value& out, std::string& error);

bool ParseDate(const std::string& text, std::int32_t& day);
bool ParseTime(const std::string& text, std::int32_t& ms);
bool ParseTimestamp(const std::string& text, double& ms);

}  // namespace engine::sql
