// CSV input as rows for the engine's bulk insert: the header line names
// fields of the table, each further line (or lines, for quoted values that
// span them) is one record. Rows are read and converted one at a time, so
// memory does not grow with the input.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/csv.h"
#include "engine/records.h"
#include "engine/rows.h"

namespace cli {

class CsvRows : public engine::RowSource {
 public:
  // Reads the header line. Throws std::runtime_error when there is none, or
  // when it names a field the table lacks, names one twice or is not UTF-8.
  CsvRows(std::istream& in, const std::vector<engine::FieldDesc>& fields);

  // Labels are input lines: the line where the row starts.
  engine::Result next(std::vector<engine::Value>& values, std::uint64_t& label,
                      bool& end) override;
  std::string name(std::uint64_t label) const override { return "line " + std::to_string(label); }

  // Why next() refused the input ("line 7: field AMOUNT: ..."); empty when
  // it did not.
  const std::string& failure() const { return failure_; }

 private:
  // Empty lines are held back until a row follows them: trailing ones are
  // ignored; others are rows of one NULL value when the header names one
  // field, else an error.
  bool read(std::vector<std::string>& cells, std::uint64_t& line);
  void convert(const std::vector<std::string>& cells, std::uint64_t line,
               std::vector<engine::Value>& values) const;

  CsvReader reader_;
  const std::vector<engine::FieldDesc>& fields_;
  std::vector<std::size_t> column_;  // field index of each header column
  std::vector<std::string> cells_;  // the reader's row
  std::vector<std::string> row_;    // the row handed on
  std::uint64_t blanks_ = 0;      // empty lines held back
  std::uint64_t firstBlank_ = 0;  // the line of the first of them
  bool rowAhead_ = false;         // cells_ holds a row read past the empty lines
  std::string failure_;
};

}  // namespace cli
