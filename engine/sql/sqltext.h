// Reading SQL text before SQLite sees it: the header comment of a saved
// query, the table references to bind to files, and names.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace engine::sql {

// /* Answer: ... AuxTables: ... Alias: ... LiveAnswer: ... */ at the start.
struct Header {
  std::string answer;
  std::string alias;
  bool auxTables = false;
  bool live = false;
  int lines = 0;  // lines the header took (the statement's line numbers follow them)
};
// The header of `text`, and in `body` the text after it (all of it when it
// has none).
Header ParseHeader(const std::string& text, std::string& body);

// A table named after FROM, JOIN, INTO, UPDATE or TABLE (and after the
// commas of a FROM list): its name without quotes and where it is in the text.
struct TableRef {
  std::string name;
  std::size_t begin = 0, end = 0;
};
std::vector<TableRef> FindTableRefs(const std::string& text);

std::string QuoteIdentifier(const std::string& name);
// The token that starts at `offset` (empty at the end of the text).
std::string TokenAt(const std::string& text, std::size_t offset);
bool TrimmedEmpty(const std::string& text);

// A field name for an answer column: Paradox names hold no ( ) [ ] { } or
// quotes and have at most 25 characters; duplicates get a number.
std::string AnswerFieldName(const char* column, int number, std::set<std::string>& used);

// Tokens of SQL text: words, quoted names and strings, numbers and signs.
struct Token {
  enum Kind { Word, DoubleQuoted, SingleQuoted, Bracketed, Number, Symbol } kind;
  std::string text;  // as written
  std::size_t begin = 0, end = 0;
  std::string value() const;  // unquoted
  bool is(const char* keyword) const;  // a word, ignoring case
};
// False with `error` naming the position of an unterminated quote or comment.
bool Tokenize(const std::string& text, std::vector<Token>& tokens, std::string& error);

}  // namespace engine::sql
