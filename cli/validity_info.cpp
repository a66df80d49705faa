#include "cli/validity_info.h"

#include <vector>

#include "engine/dataset/fieldtext.h"
#include "engine/dataset/dberror.h"
#include "engine/valchecks.h"

namespace cli {

using namespace engine;

namespace {

std::string FieldName(const std::vector<FieldDesc>& fields, std::uint16_t number) {
  return number >= 1 && number <= fields.size() ? fields[number - 1].name
                                                : "#" + std::to_string(number);
}

std::string Bound(hDBICur cursor, const ValCheckDesc& c, CheckPart part, std::uint16_t word) {
  if (word == chkToday) return "TODAY";
  if (word == chkNow) return "NOW";
  Value v;
  Check(GetCheckValue(cursor, c, part, v));
  return FormatValue(v);
}

std::string LookupKind(std::int32_t type) {
  switch (type) {
    case lookupAllFields: return "all corresponding fields";
    case lookupHelpCurrentField: return "this field, help and fill";
    case lookupHelpAllFields: return "all corresponding fields, help and fill";
    default: return "this field";
  }
}

std::string CheckLine(hDBICur cursor, const ValCheckDesc& c) {
  std::vector<std::string> parts;
  if (c.required) parts.push_back("required");
  if (c.hasMin) parts.push_back("minimum " + Bound(cursor, c, CheckPart::Minimum, c.hasMin));
  if (c.hasMax) parts.push_back("maximum " + Bound(cursor, c, CheckPart::Maximum, c.hasMax));
  if (c.hasDefault) parts.push_back("default " + Bound(cursor, c, CheckPart::Default, c.hasDefault));
  if (!c.picture.empty()) parts.push_back("picture \"" + c.picture + "\"");
  if (!c.lookupTable.empty())
    parts.push_back("lookup " + c.lookupTable + " (" + LookupKind(c.lookupType) + ")");
  std::string line;
  for (const std::string& p : parts) line += (line.empty() ? "" : ", ") + p;
  return line.empty() ? "no rule" : line;
}

std::string FieldList(const std::vector<FieldDesc>& fields, const RefIntDesc& l) {
  std::string s;
  for (std::uint16_t i = 0; i < l.fieldCount; ++i)
    s += (i ? ", " : "") + FieldName(fields, l.thisFields[i]);
  return s;
}

std::string OtherFields(const RefIntDesc& l) {
  std::string s;
  for (std::uint16_t i = 0; i < l.fieldCount; ++i)
    s += (i ? ", " : "") + std::string("field ") + std::to_string(l.otherFields[i]);
  return s;
}

}  // namespace

void PrintValidity(hDBICur cursor, std::ostream& out) {
  CursorProps p;
  Check(GetCursorProps(cursor, p));
  std::vector<FieldDesc> fields;
  Check(GetFieldDescs(cursor, fields));
  if (p.valCheckCount) out << "Validity checks:\n";
  for (std::uint16_t n = 1; n <= p.valCheckCount; ++n) {
    ValCheckDesc c;
    Check(GetValCheckDesc(cursor, n, c));
    out << "  " << FieldName(fields, c.fieldNumber) << ": " << CheckLine(cursor, c) << "\n";
  }
  if (p.refIntCount) out << "Links:\n";
  for (std::uint16_t n = 1; n <= p.refIntCount; ++n) {
    RefIntDesc l;
    Check(GetRefIntDesc(cursor, n, l));
    const bool child = l.kind == riDependent;
    out << "  " << l.name << ": " << (child ? "child of " : "parent of ") << l.otherTable << " ("
        << FieldList(fields, l) << " -> " << OtherFields(l) << "), update "
        << (l.updateRule == riCascade ? "cascade" : "prohibit") << "\n";
  }
}

}  // namespace cli
