// CSV as RFC 4180 writes it: comma separators, values quoted when they hold
// a comma, a double quote, CR or LF, quotes doubled, lines ending in LF.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace cli {

void WriteCsvRow(std::ostream& out, const std::vector<std::string>& values);

// Reads one row; false at the end of input. Accepts CRLF line ends and
// quoted values spanning lines. Throws std::runtime_error for an
// unterminated quote.
bool ReadCsvRow(std::istream& in, std::vector<std::string>& values);

}  // namespace cli
