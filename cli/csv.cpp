#include "cli/csv.h"

#include <istream>
#include <stdexcept>

namespace cli {

bool ReadCsvRow(std::istream& in, std::vector<std::string>& values) {
  CsvReader reader(in, false);
  return reader.next(values);
}

bool CsvReader::next(std::vector<std::string>& values) {
  values.clear();
  std::streambuf& in = *in_.rdbuf();
  constexpr int kEnd = std::char_traits<char>::eof();
  std::string field;
  if (!started_) {
    started_ = true;
    // Bytes that begin like the mark but are not one are data.
    static const char kBom[] = "\xEF\xBB\xBF";
    while (field.size() < 3 && in.sgetc() == static_cast<unsigned char>(kBom[field.size()]))
      field += static_cast<char>(in.sbumpc());
    if (field.size() == 3) field.clear();
  }
  int c = in.sbumpc();
  if (c == kEnd && field.empty()) return false;
  rowLine_ = nextLine_;
  blank_ = field.empty() && (c == '\n' || (c == '\r' && in.sgetc() == '\n'));
  bool quoted = false;
  while (true) {
    if (quoted) {
      if (c == kEnd)
        throw std::runtime_error("line " + std::to_string(rowLine_) +
                                 ": a quoted value is not closed before the end of the input");
      if (c == '"') {
        if (in.sgetc() == '"') {
          field += '"';
          in.sbumpc();
        } else {
          quoted = false;
        }
      } else {
        if (c == '\n') ++nextLine_;
        field += static_cast<char>(c);
      }
    } else if (c == '"' && field.empty()) {
      quoted = true;
    } else if (c == ',') {
      values.push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == kEnd) {
      if (c == '\n') ++nextLine_;
      break;
    } else if (c == '\r' && in.sgetc() == '\n') {
      // CR of a CRLF line end
    } else {
      field += static_cast<char>(c);
    }
    c = in.sbumpc();
  }
  values.push_back(std::move(field));
  return true;
}

}  // namespace cli
