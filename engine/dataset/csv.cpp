#include "engine/dataset/csv.h"

#include <ostream>

#include "engine/dataset/fieldtext.h"

namespace engine {

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

void WriteDumpHeader(std::ostream& out, const DumpColumns& columns) {
  std::vector<std::string> line;
  if (columns.deletedColumn) line.push_back("_deleted");
  for (std::size_t i = 0; i < columns.fields.size(); ++i)
    if (i >= columns.shown.size() || columns.shown[i]) line.push_back(columns.fields[i].name);
  WriteCsvRow(out, line);
}

void WriteDumpRecord(std::ostream& out, const DumpColumns& columns,
                     const std::vector<Value>& values, bool deleted) {
  std::vector<std::string> line;
  if (columns.deletedColumn) line.push_back(deleted ? "true" : "false");
  for (std::size_t i = 0; i < values.size(); ++i)
    if (i >= columns.shown.size() || columns.shown[i]) line.push_back(FormatValue(values[i]));
  WriteCsvRow(out, line);
}

}  // namespace engine
