// Queries on a database: SQL statements run by SQLite over the database's
// own tables (no copy of the data), and QBE statements translated into SQL.
// An answer is a cursor of the engine: read it with GetFieldDescs,
// GetNextRecord and the other cursor operations of engine.h, close it with
// CloseCursor.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/engine.h"

namespace engine {

using hDBIStmt = std::uint32_t;

enum class QueryLang : std::int32_t { Sql = 0, Qbe = 1 };

// Statement properties.
constexpr std::uint32_t stmtAnswerType = 0x60020;   // "PARADOX" or "DBASE" (text property)
constexpr std::uint32_t stmtLiveness = 0x60021;     // 0 canned, 1 live (when the query allows it)
constexpr std::uint32_t stmtAuxTables = 0x60026;    // 1: auxiliary tables of QBE changes kept
constexpr std::uint32_t stmtRowCount = 0x60014;     // rows of the answer or rows changed; -1 unknown
constexpr std::uint32_t stmtAnswerName = 0x60030;   // the answer table's name (text property)
constexpr std::uint32_t stmtConstrained = 0x60031;  // live answers refuse rows outside the query

Result QueryAlloc(hDBIDb db, QueryLang language, hDBIStmt& stmt);
// Parses the text; a syntax error names its line and token.
Result QueryPrepare(hDBIStmt stmt, const std::string& text);
// Runs the statement. A query with rows gives its answer cursor; a change
// (INSERT, UPDATE, DELETE, CREATE, DROP) gives 0 and sets stmtRowCount.
Result QueryExec(hDBIStmt stmt, hDBICur* answer);
Result QueryFree(hDBIStmt& stmt);
Result GetStmtProp(hDBIStmt stmt, std::uint32_t property, std::int64_t& value);
Result SetStmtProp(hDBIStmt stmt, std::uint32_t property, std::int64_t value);
Result SetStmtText(hDBIStmt stmt, std::uint32_t property, const std::string& value);

// Makes the answer a permanent table (driver "PARADOX" or "DBASE");
// ErrAnswerTableExists (13060) when the table exists and `overwrite` is false. `out`, when
// given, receives a cursor on the new table.
Result InstantiateAnswer(hDBIStmt stmt, hDBICur answer, const std::string& tableName,
                         const std::string& driverType, bool overwrite, hDBICur* out);

// The general progress of long queries: a percentage and a message. The
// callback returns 1 to go on; anything else cancels the query cleanly.
using GenProgressCallback = std::function<int(std::int16_t percent, const std::string& message)>;
constexpr std::int32_t cbGenProgress = 23;
// Registers the callback (an empty function removes it).
void RegisterGenProgress(GenProgressCallback callback);

}  // namespace engine
