#include "design/dbasedesign.h"

#include <algorithm>
#include <stdexcept>

namespace design {

namespace {

struct TypeLetter {
  std::uint16_t type;
  const char* letter;
};

// The roster's letters; the level 7 types only as a table shows them.
constexpr TypeLetter kLetters[] = {
    {engine::dbChar, "C"},    {engine::dbNumber, "N"},  {engine::dbMemo, "M"},
    {engine::dbLogical, "L"}, {engine::dbDate, "D"},    {engine::dbFloat, "F"},
    {engine::dbOle, "O"},     {engine::dbBinary, "B"},  {engine::dbLong, "I"},
    {engine::dbAutoinc, "+"}, {engine::dbTimestamp, "@"}, {engine::dbDouble, "O"},
};

bool HasSize(std::uint16_t type) {
  return type == engine::dbChar || type == engine::dbNumber || type == engine::dbFloat;
}

bool HasDecimals(std::uint16_t type) {
  return type == engine::dbNumber || type == engine::dbFloat;
}

std::int16_t NumberOf(const QString& text, const char* what, const QString& field) {
  bool ok = false;
  const int n = text.trimmed().toInt(&ok);
  if (!ok || n < 0 || n > 32767)
    throw std::invalid_argument(QString("%1 \"%2\" of field %3 is not a number.")
                                    .arg(what, text, field)
                                    .toStdString());
  return static_cast<std::int16_t>(n);
}

bool SameCells(const DbaseRow& a, const DbaseRow& b) {
  return a.name == b.name && a.type == b.type && a.size.trimmed() == b.size.trimmed() &&
         a.dec.trimmed() == b.dec.trimmed();
}

bool HasValue(const engine::Value& v) {
  if (engine::IsNull(v)) return false;
  const auto* text = std::get_if<std::string>(&v);
  return !text || text->find_first_not_of(' ') != std::string::npos;
}

}  // namespace

std::uint16_t DbaseTypeOf(const QString& letter) {
  for (const TypeLetter& t : kLetters)
    if (letter == t.letter) return t.type;
  return 0;
}

QString DbaseLetterOf(std::uint16_t type) {
  for (const TypeLetter& t : kLetters)
    if (type == t.type) return t.letter;
  return "?";
}

DbaseRow DbaseRowOf(const engine::FieldDesc& field) {
  DbaseRow row;
  row.name = QString::fromStdString(field.name);
  row.type = DbaseLetterOf(field.type);
  if (HasSize(field.type)) row.size = QString::number(field.units1);
  if (HasDecimals(field.type)) row.dec = QString::number(field.units2);
  row.record.field = row.record.loadedField = field;
  row.record.loadedPosition = field.number;
  return row;
}

engine::FieldDesc DbaseFieldOf(const DbaseRow& row) {
  engine::FieldDesc f;
  f.name = row.name.trimmed().toStdString();
  f.type = DbaseTypeOf(row.type);
  if (!row.size.trimmed().isEmpty()) f.units1 = NumberOf(row.size, "Size", row.name);
  if (!row.dec.trimmed().isEmpty()) f.units2 = NumberOf(row.dec, "Dec", row.name);
  return f;
}

std::vector<DbaseRow> FilledRows(const std::vector<DbaseRow>& rows) {
  std::vector<DbaseRow> filled;
  for (const DbaseRow& row : rows)
    if (!row.name.trimmed().isEmpty() || !row.type.isEmpty()) filled.push_back(row);
  return filled;
}

engine::TableDesc DbaseCreateDesc(const QString& tableName, const std::vector<DbaseRow>& rows,
                                  const std::vector<engine::IndexDesc>& tags, int level) {
  engine::TableDesc desc;
  desc.tableName = tableName.toStdString();
  desc.driverType = "DBASE";
  for (const DbaseRow& row : FilledRows(rows)) desc.fields.push_back(DbaseFieldOf(row));
  desc.indexes = tags;
  if (level) desc.optionalParams.push_back({"LEVEL", std::to_string(level)});
  return desc;
}

engine::TableDesc DbaseRestructureDesc(const QString& tableName,
                                       const std::vector<DbaseRow>& rows, int oldFieldCount) {
  engine::TableDesc desc;
  desc.tableName = tableName.toStdString();
  desc.driverType = "DBASE";
  const std::vector<DbaseRow> filled = FilledRows(rows);
  for (std::size_t i = 0; i < filled.size(); ++i) {
    const DbaseRow& row = filled[i];
    const int old = row.record.loadedPosition;
    if (old < 1 || old > oldFieldCount) {
      desc.fields.push_back(DbaseFieldOf(row));
      desc.fieldOps.push_back(engine::opAdd);
      continue;
    }
    const engine::FieldDesc& loaded = row.record.loadedField;
    const bool same = SameCells(row, DbaseRowOf(loaded));
    engine::FieldDesc f = same ? loaded : DbaseFieldOf(row);
    // A letter the roster shows for more than one type keeps the old one.
    if (row.type == DbaseLetterOf(loaded.type)) f.type = loaded.type;
    f.number = static_cast<std::uint16_t>(old);
    desc.fields.push_back(f);
    desc.fieldOps.push_back(!same ? engine::opModify
                            : old == static_cast<int>(i) + 1 ? engine::opNone
                                                             : engine::opCopy);
  }
  return desc;
}

std::vector<std::uint16_t> DroppedFields(const engine::TableDesc& desc, int oldFieldCount) {
  std::vector<std::uint16_t> dropped;
  for (int n = 1; n <= oldFieldCount; ++n) {
    bool kept = false;
    for (std::size_t i = 0; i < desc.fields.size(); ++i)
      kept = kept || (desc.fieldOps[i] != engine::opAdd && desc.fieldOps[i] != engine::opDrop &&
                      desc.fields[i].number == n);
    if (!kept) dropped.push_back(static_cast<std::uint16_t>(n));
  }
  return dropped;
}

engine::Result RecordsWithValues(engine::hDBIDb db, const std::string& tableName,
                                 const std::vector<std::uint16_t>& fields, std::uint32_t& count) {
  count = 0;
  if (fields.empty()) return engine::Ok;
  engine::hDBICur cur = 0;
  if (engine::Result r = engine::OpenTable(db, tableName, "", engine::OpenMode::ReadOnly, cur))
    return r;
  std::vector<engine::Value> values;
  engine::Result r = engine::SetToBegin(cur);
  while (r == engine::Ok && (r = engine::GetNextRecord(cur, &values)) == engine::Ok)
    if (std::any_of(fields.begin(), fields.end(), [&](std::uint16_t n) {
          return n <= values.size() && HasValue(values[n - 1u]);
        }))
      ++count;
  engine::CloseCursor(cur);
  if (r == engine::ErrEndOfList) return engine::Ok;
  return r;
}

}  // namespace design
