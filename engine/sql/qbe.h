// Query-by-example text (the .QBE file format) turned into SQL statements
// that the query engine runs.
#pragma once

#include <string>
#include <vector>

#include "engine/engine.h"

namespace engine::qbe {

struct Translation {
  // The statements, in order: usually one SELECT; an insert, delete or
  // changeto query gives the changes it makes.
  std::vector<std::string> statements;
  // The table the answer goes to (ANSWER: line), ":PRIV:ANSWER.DB" by default.
  std::string answerTable = ":PRIV:ANSWER.DB";
  bool changes = false;  // the statements change tables rather than answer
};

// Parses `text` and translates it. A text shorter than 2 characters fails
// with "No QBE statement available"; a syntax error names the line and the
// token (ErrQuerySyntax).
Result Translate(const std::string& text, Translation& out);

}  // namespace engine::qbe
