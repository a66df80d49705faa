#include "cli/csv.h"

#include <istream>
#include <ostream>
#include <stdexcept>

namespace cli {

void WriteCsvRow(std::ostream& out, const std::vector<std::string>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out << ',';
    const std::string& v = values[i];
    if (v.find_first_of(",\"\r\n") == std::string::npos) {
      out << v;
      continue;
    }
    out << '"';
    for (char c : v) {
      if (c == '"') out << '"';
      out << c;
    }
    out << '"';
  }
  out << '\n';
}

bool ReadCsvRow(std::istream& in, std::vector<std::string>& values) {
  values.clear();
  int c = in.get();
  if (c == EOF) return false;
  std::string field;
  bool quoted = false;
  while (true) {
    if (quoted) {
      if (c == EOF) throw std::runtime_error("unterminated quoted value in CSV input");
      if (c == '"') {
        if (in.peek() == '"') {
          field += '"';
          in.get();
        } else {
          quoted = false;
        }
      } else {
        field += static_cast<char>(c);
      }
    } else if (c == '"' && field.empty()) {
      quoted = true;
    } else if (c == ',') {
      values.push_back(std::move(field));
      field.clear();
    } else if (c == '\n' || c == EOF) {
      break;
    } else if (c == '\r' && in.peek() == '\n') {
      // CR of a CRLF line end
    } else {
      field += static_cast<char>(c);
    }
    c = in.get();
  }
  values.push_back(std::move(field));
  return true;
}

}  // namespace cli
