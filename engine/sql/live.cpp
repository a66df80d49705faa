#include "engine/sql/live.h"

#include <vector>

#include "engine/indexes.h"
#include "engine/sql/sqltext.h"
#include "engine/sql/sqlvalue.h"
#include "engine/sql/vtab.h"
#include "engine/io/path.h"

namespace engine::sql {

namespace {

// Where the select list ends: the first FROM outside parentheses; npos when
// the text has a word that keeps the answer from being live.
std::size_t LiveFrom(const std::string& text) {
  static const char* const kNotLive[] = {"DISTINCT", "GROUP",  "UNION", "INTERSECT", "EXCEPT",
                                         "LIMIT",    "HAVING", "OVER",  "WINDOW",    "JOIN",
                                         "WITH",     "VALUES", "OFFSET"};
  std::vector<Token> tokens;
  std::string error;
  if (!Tokenize(text, tokens, error)) return std::string::npos;
  std::size_t from = std::string::npos;
  int depth = 0;
  for (const Token& t : tokens) {
    if (t.kind == Token::Symbol && t.text == "(") ++depth;
    if (t.kind == Token::Symbol && t.text == ")") --depth;
    for (const char* word : kNotLive)
      if (t.is(word)) return std::string::npos;
    if (depth == 0 && from == std::string::npos && t.is("FROM")) from = t.begin;
  }
  return from;
}

// Whether every column of the statement is the field of the same number.
bool EveryFieldInOrder(sqlite3_stmt* st, const std::vector<FieldDesc>& fields) {
  if (sqlite3_column_count(st) != static_cast<int>(fields.size())) return false;
  for (int i = 0; i < sqlite3_column_count(st); ++i) {
    const char* origin = sqlite3_column_origin_name(st, i);
    if (!origin || !sqlite3_column_table_name(st, i) || io::Upper(origin) != io::Upper(fields[i].name))
      return false;
  }
  return true;
}

// The table positions of the answer's records, in its order.
Result AnswerPositions(sqlite3* db, const std::string& text, std::vector<std::uint32_t>& rows) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, text.c_str(), -1, &st, nullptr) != SQLITE_OK)
    return Fail(ErrQuerySyntax, sqlite3_errmsg(db));
  const int last = sqlite3_column_count(st) - 1;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    rows.push_back(static_cast<std::uint32_t>(sqlite3_column_int64(st, last)));
  sqlite3_finalize(st);
  return rc == SQLITE_DONE ? Result{Ok} : StepFailure(db, rc);
}

}  // namespace

Result LiveAnswer(sqlite3* db, sqlite3_stmt* prepared, const std::string& text,
                  const std::string& path, hDBICur& answer, bool& live, std::uint64_t& rows) {
  live = false;
  const std::size_t from = LiveFrom(text);
  if (from == std::string::npos) return Ok;
  hDBICur cursor = 0;
  std::vector<FieldDesc> fields;
  if (OpenTablePath(path, OpenMode::ReadWrite, cursor) || GetFieldDescs(cursor, fields) ||
      !EveryFieldInOrder(prepared, fields)) {
    if (cursor) CloseCursor(cursor);
    ClearLastError();  // the answer is canned instead
    return Ok;
  }
  std::vector<std::uint32_t> positions;
  const std::string withRows =
      text.substr(0, from) + ", " + QuoteIdentifier(kRowColumn) + " " + text.substr(from);
  Result r = AnswerPositions(db, withRows, positions);
  rows = positions.size();
  if (!r) r = RestrictCursor(cursor, std::move(positions));
  if (r) {
    CloseCursor(cursor);
    return r;
  }
  answer = cursor;
  live = true;
  return Ok;
}

}  // namespace engine::sql
