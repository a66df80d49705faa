// The layout of a query-by-example text: header lines (ANSWER, OPTIONS,
// SORT, FIELDORDER) and the table blocks, read into one row per example row
// of a table (a wide table's continued blocks joined up).
#pragma once

#include <string>
#include <vector>

namespace engine::qbe {

// A fault in the text: the line, the token it concerns and what is wrong.
struct SyntaxError {
  int line = 0;
  std::string token;
  std::string what;
};

[[noreturn]] void ThrowSyntax(int line, const std::string& token, const std::string& what);

std::string Trim(const std::string& s);
std::string Lower(const std::string& s);
// Trimmed, without the double quotes around it.
std::string Unquote(const std::string& s);
// Splits at `sep` where it is outside double quotes (and parentheses, when
// `nested` says so).
std::vector<std::string> SplitTop(const std::string& s, char sep, bool nested = false);

// `table->"Field"` of a SORT or FIELDORDER line.
struct FieldRef {
  std::string table;
  std::string field;
  int line = 0;
  std::string text;
};

// One example row of one table occurrence.
struct Row {
  std::string table;    // as the header writes it
  std::string keyword;  // first column, lower case: "", insert, delete, check, checkplus, checkdescending
  int line = 0;
  std::vector<std::string> fields;
  std::vector<std::string> cells;  // one per field
  std::vector<int> cellLines;
};

struct Form {
  std::string answer;
  std::vector<std::string> options;
  std::vector<FieldRef> sort;
  std::vector<FieldRef> fieldOrder;
  std::vector<Row> rows;
};

Form ReadForm(const std::string& text);

}  // namespace engine::qbe
