// The statements that define tables and indexes, carried out by the engine
// rather than SQLite:
//   CREATE TABLE name (field type, ..., PRIMARY KEY (field, ...))
//   DROP TABLE name
//   CREATE [UNIQUE] INDEX name ON table (field, ...)
//   DROP INDEX table.name
// Types: SMALLINT, INTEGER, DECIMAL(p,s) / NUMERIC(p,s), FLOAT, CHAR(n),
// VARCHAR(n), BOOLEAN, DATE, TIME, TIMESTAMP, MONEY, AUTOINC, BYTES(n),
// BLOB(n, kind) with kind 1 memo, 2 binary, 3 formatted memo, 4 OLE,
// 5 graphic. A name ending in .DBF makes a dBASE table.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"
#include "engine/value.h"

namespace engine::sql {

struct DdlStatement {
  enum Kind { CreateTable, DropTable, CreateIndex, DropIndex } kind = CreateTable;
  std::string table;
  std::string index;
  bool unique = false;
  std::vector<FieldDesc> fields;         // CREATE TABLE (Paradox types)
  std::vector<std::string> keyFields;    // PRIMARY KEY, or the index's fields
};

// `isDdl` tells whether the text is one of these statements; a malformed
// one fails with ErrQuerySyntax naming the line and the token.
Result ParseDdl(const std::string& text, DdlStatement& out, bool& isDdl);

// Carries the statement out; `resolve` gives the path of a table name
// (false when it names none).
Result RunDdl(const DdlStatement& ddl,
              const std::function<bool(const std::string&, std::string&)>& resolve);

// Creates the table at desc.tableName, a path (its directory as the database).
Result CreateTableAtPath(TableDesc desc, bool overwrite);
// The same for an answer in the private directory, replacing one there:
// a Paradox answer is written in place (paradox::CreateScratchTable).
// `rows`, when given, are its records, written with it where it can
// (`filled` says so).
Result CreateScratchTableAtPath(TableDesc desc, const std::vector<std::vector<Value>>* rows,
                                bool* filled);

// dBASE fields for Paradox ones (answers and tables made as .DBF).
std::vector<FieldDesc> DbaseFieldsFor(const std::vector<FieldDesc>& fields);

}  // namespace engine::sql
