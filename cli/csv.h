// CSV input as RFC 4180 writes it: comma separators, values quoted when
// they hold a comma, a double quote, CR or LF, quotes doubled. The writer is
// the engine's (engine/dataset/csv.h), shared with the windows.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/dataset/csv.h"

namespace cli {

using engine::WriteCsvRow;

// Reads one row; false at the end of input. Accepts CRLF line ends and
// quoted values spanning lines. Throws std::runtime_error for an
// unterminated quote. (CsvReader below also counts lines.)
bool ReadCsvRow(std::istream& in, std::vector<std::string>& values);

// Reads rows one at a time and tells where each starts. A UTF-8 byte-order
// mark at the very start of the input is skipped unless told otherwise.
class CsvReader {
 public:
  explicit CsvReader(std::istream& in, bool skipByteOrderMark = true)
      : in_(in), started_(!skipByteOrderMark) {}

  // Reads the next row; false at the end of input. Throws std::runtime_error
  // naming the line for a quoted value that never ends.
  bool next(std::vector<std::string>& values);
  // The input line (from 1) where the row last read starts.
  std::uint64_t line() const { return rowLine_; }
  // Whether the row last read was an empty line (`""` is not one).
  bool blank() const { return blank_; }

 private:
  std::istream& in_;
  bool started_;  // past the place of a byte-order mark
  std::uint64_t nextLine_ = 1;  // the line the next character belongs to
  std::uint64_t rowLine_ = 0;
  bool blank_ = false;
};

}  // namespace cli
