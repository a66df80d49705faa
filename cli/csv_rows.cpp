#include "cli/csv_rows.h"

#include <stdexcept>

#include "engine/dataset/fieldtext.h"
#include "engine/text/codepage.h"

namespace cli {

using namespace engine;

CsvRows::CsvRows(std::istream& in, const std::vector<FieldDesc>& fields)
    : reader_(in), fields_(fields) {
  std::vector<std::string> header;
  if (!reader_.next(header)) throw std::runtime_error("no header line on standard input");
  const std::string where = "line " + std::to_string(reader_.line()) + ": ";
  if (reader_.blank())
    throw std::runtime_error(where + "the header line is empty; it must name the fields");
  std::vector<bool> named(fields.size(), false);
  for (std::size_t c = 0; c < header.size(); ++c) {
    if (std::size_t bad = text::InvalidUtf8At(header[c]); bad != std::string::npos)
      throw std::runtime_error(where + "column " + std::to_string(c + 1) +
                               " of the header is not valid UTF-8 (byte " +
                               std::to_string(bad + 1) + ")");
    std::size_t f = 0;
    while (f < fields.size() && fields[f].name != header[c]) ++f;
    if (f == fields.size())
      throw std::runtime_error(where + "the table has no field \"" + header[c] + "\"");
    if (named[f])
      throw std::runtime_error(where + "the header names field \"" + header[c] + "\" twice");
    named[f] = true;
    column_.push_back(f);
  }
}

bool CsvRows::read(std::vector<std::string>& cells, std::uint64_t& line) {
  if (blanks_ > 0 && rowAhead_) {  // an empty line before the row read ahead
    --blanks_;
    line = firstBlank_++;
    cells.assign(1, std::string());
    return true;
  }
  if (rowAhead_) {
    rowAhead_ = false;
    line = reader_.line();
    cells.swap(cells_);
    return true;
  }
  while (reader_.next(cells_)) {
    if (reader_.blank()) {
      if (blanks_++ == 0) firstBlank_ = reader_.line();
      continue;
    }
    if (blanks_ == 0) {
      line = reader_.line();
      cells.swap(cells_);
      return true;
    }
    if (column_.size() != 1)
      throw std::runtime_error("line " + std::to_string(firstBlank_) +
                               " is empty (empty lines are ignored only at the end of the input)");
    rowAhead_ = true;
    return read(cells, line);
  }
  return false;  // empty lines at the end are no rows
}

void CsvRows::convert(const std::vector<std::string>& cells, std::uint64_t line,
                      std::vector<Value>& values) const {
  if (cells.size() != column_.size())
    throw std::runtime_error("line " + std::to_string(line) + " has " +
                             std::to_string(cells.size()) + " values for " +
                             std::to_string(column_.size()) + " columns");
  values.assign(fields_.size(), Value{});
  for (std::size_t c = 0; c < cells.size(); ++c) {
    try {
      values[column_[c]] = ParseValue(fields_[column_[c]], cells[c]);
    } catch (const std::exception& e) {
      throw std::runtime_error("line " + std::to_string(line) + ": " + e.what());
    }
  }
}

Result CsvRows::next(std::vector<Value>& values, std::uint64_t& label, bool& end) {
  end = false;
  try {
    if (!read(row_, label)) {
      end = true;
      return Ok;
    }
    convert(row_, label, values);
    return Ok;
  } catch (const std::exception& e) {
    failure_ = e.what();
    return Fail(ErrInvalidValue, failure_);
  }
}

}  // namespace cli
