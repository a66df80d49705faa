#include "cli/index_info.h"

#include <iomanip>
#include <vector>

#include "engine/dataset/dberror.h"

namespace cli {

using namespace engine;

namespace {

std::string IndexFields(const std::vector<FieldDesc>& fields, const IndexDesc& ix) {
  std::string s;
  for (std::uint16_t i = 0; i < ix.fieldsInKey; ++i) {
    const std::uint16_t n = ix.keyFields[i];
    s += i ? ", " : "";
    s += n >= 1 && n <= fields.size() ? fields[n - 1].name : "#" + std::to_string(n);
    if (ix.fieldDescending[i]) s += " (descending)";
  }
  return s;
}

std::string IndexFlags(const IndexDesc& ix) {
  std::string s;
  auto add = [&](bool on, const char* word) {
    if (on) s += (s.empty() ? "" : ", ") + std::string(word);
  };
  add(ix.unique, "unique");
  add(ix.caseInsensitive, "case-insensitive");
  add(ix.descending, "descending");
  add(ix.maintained, "maintained");
  return s.empty() ? "-" : s;
}

}  // namespace

void PrintSecondaryIndexes(hDBICur cursor, std::ostream& out) {
  std::vector<IndexDesc> indexes;
  Check(GetIndexDescs(cursor, indexes));
  std::vector<FieldDesc> fields;
  Check(GetFieldDescs(cursor, fields));
  bool header = false;
  for (const IndexDesc& ix : indexes) {
    if (ix.primary) continue;
    if (!header) {
      out << "Secondary indexes:\n  " << std::left << std::setw(27) << "Name" << std::setw(32)
          << "Fields" << "Properties\n";
      header = true;
    }
    // A tag of a dBASE production index shows by its tag name and key expression.
    const std::string name = ix.tagName.empty() ? ix.name : ix.tagName + " (" + ix.name + ")";
    const std::string key =
        ix.fieldsInKey == 0 && !ix.keyExpression.empty() ? ix.keyExpression : IndexFields(fields, ix);
    out << "  " << std::left << std::setw(27) << name << std::setw(32) << key << IndexFlags(ix)
        << "\n";
  }
}

}  // namespace cli
