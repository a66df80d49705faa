#include "design/paradoxdesign.h"

#include <stdexcept>

#include "design/fieldrules.h"
#include "engine/config/config.h"
#include "engine/dataset/dberror.h"

namespace design {

namespace {

using engine::opAdd;
using engine::opCopy;
using engine::opDrop;
using engine::opModify;
using engine::opNone;

std::string ConfigValue(const char* node, const char* name) {
  std::string value;
  engine::Check(engine::GetConfigValue(node, name, value));
  return value;
}

bool Blank(const FieldRoster::Row& row) { return row.name.trimmed().isEmpty() && row.type.isNull(); }

int NumberOf(const QString& text) {
  bool ok = false;
  const int n = text.trimmed().toInt(&ok);
  if (!ok) throw std::invalid_argument(IntegerConversionError(text).toStdString());
  return n;
}

// A field of a new table as its row describes it.
engine::FieldDesc CreateFieldOf(const FieldRoster::Row& row) {
  engine::FieldDesc f;
  f.name = row.name.toStdString();
  f.type = ConvertFldType(row.type).value_or(0);
  if (row.type == '#') {
    f.units1 = 32;
    if (!row.size.isEmpty()) f.units2 = static_cast<std::int16_t>(NumberOf(row.size));
  } else if (!row.size.isEmpty()) {
    f.units1 = static_cast<std::int16_t>(NumberOf(row.size));
  }
  return f;
}

void SetKeyFields(engine::IndexDesc& index, const std::uint16_t* fields, int count) {
  index.fieldsInKey = static_cast<std::uint16_t>(std::min(count, engine::kMaxKeyFields));
  for (int i = 0; i < index.fieldsInKey; ++i) index.keyFields[i] = fields[i];
}

// The index a link needs on its child fields.
engine::IndexDesc LinkIndexOf(const QString& name, const engine::RefIntDesc& link) {
  engine::IndexDesc index;
  index.name = name.toStdString();
  index.maintained = 1;
  index.caseInsensitive = 1;
  SetKeyFields(index, link.thisFields.data(), link.fieldCount);
  return index;
}

std::vector<engine::OptionalParam> ParamsOf(const ParadoxOptions& o, bool fillFactor) {
  std::vector<engine::OptionalParam> params = {{"LEVEL", o.level.toStdString()},
                                               {"LANGDRIVER", o.langDriver.toStdString()},
                                               {"BLOCK SIZE", o.blockSize.toStdString()}};
  if (fillFactor) params.push_back({"FILL FACTOR", o.fillFactor.toStdString()});
  // A number that is none fails here, as the options are read.
  NumberOf(o.level);
  NumberOf(o.blockSize);
  if (fillFactor) NumberOf(o.fillFactor);
  return params;
}

void AddIndex(engine::TableDesc& d, const engine::IndexDesc& index, std::int32_t op) {
  d.indexes.push_back(index);
  d.indexOps.push_back(op);
}

bool SameKey(const engine::IndexDesc& a, const engine::IndexDesc& b) {
  if (a.fieldsInKey != b.fieldsInKey) return false;
  for (int i = 0; i < a.fieldsInKey && i < engine::kMaxKeyFields; ++i)
    if (a.keyFields[i] != b.keyFields[i]) return false;
  return true;
}

QList<int> KeyRows(const std::vector<FieldRoster::Row>& rows) {
  QList<int> keys;
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].key) keys << static_cast<int>(i + 1);
  return keys;
}

}  // namespace

ParadoxOptions ReadParadoxDefaults() {
  ParadoxOptions o;
  o.blockSize = QString::fromStdString(ConfigValue("\\drivers\\paradox\\table create", "BLOCK SIZE"));
  o.fillFactor = QString::fromStdString(ConfigValue("\\drivers\\paradox\\table create", "FILL FACTOR"));
  o.langDriver = QString::fromStdString(ConfigValue("\\drivers\\paradox\\init", "LANGDRIVER"));
  return o;
}

QString BlockSizeText(int kilobytes) {
  switch (kilobytes) {
    case 1: case 2: case 4: case 16: case 32: return QString::number(kilobytes * 1024);
    default: return {};
  }
}

engine::IndexDesc PrimaryIndexOf(const QList<int>& keyFields) {
  engine::IndexDesc index;
  index.primary = index.unique = index.maintained = 1;
  index.fieldsInKey = static_cast<std::uint16_t>(std::min<int>(keyFields.size(), engine::kMaxKeyFields));
  for (int i = 0; i < index.fieldsInKey; ++i) index.keyFields[i] = static_cast<std::uint16_t>(keyFields[i]);
  return index;
}

engine::TableDesc BuildCreateDesc(const CreateDesign& design) {
  const DesignState& state = *design.state;
  engine::TableDesc d;
  d.tableName = design.tableName.toStdString();
  d.driverType = "PARADOX";
  std::vector<FieldRoster::Row> rows;
  for (const FieldRoster::Row& row : design.rows)
    if (!Blank(row)) rows.push_back(row);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    d.fields.push_back(CreateFieldOf(rows[i]));
    const FieldRow* record = rows[i].record ? &*rows[i].record : nullptr;
    if (record && CheckHoldsSomething(record->check)) {
      engine::ValCheckDesc check = record->check;
      check.fieldNumber = static_cast<std::uint16_t>(i + 1);
      d.checks.push_back(check);
    }
  }
  const QList<int> keys = KeyRows(rows);
  if (!keys.isEmpty()) d.indexes.push_back(PrimaryIndexOf(keys));
  int position = 0;
  for (const auto& [name, row] : state.indexes) {
    engine::IndexDesc index = row.index;
    index.name = name.toStdString();
    index.id = static_cast<std::uint16_t>(position++ + 3);
    index.blockSize = 2048;
    d.indexes.push_back(index);
  }
  for (const auto& [name, row] : state.links) {
    d.indexes.push_back(LinkIndexOf(name, row.link));
    d.refInts.push_back(row.link);
    d.refInts.back().name = name.toStdString();
  }
  for (const auto& [text, row] : state.passwords) d.passwords.push_back(row.security);
  if (!state.LastPassword.isEmpty()) {
    d.isProtected = 1;
    d.password = state.LastPassword.toStdString();
  }
  d.optionalParams = ParamsOf(design.options, true);
  return d;
}

engine::TableDesc BuildRestructureDesc(const RestructureDesign& design) {
  const DesignState& state = *design.state;
  engine::TableDesc d;
  d.tableName = design.tableName.toStdString();
  d.driverType = "PARADOX";
  if (design.options) d.optionalParams = ParamsOf(*design.options, false);
  // Fields, and the checks of their rows.
  for (std::size_t i = 0; i < design.rows.size(); ++i) {
    if (!design.rows[i].record) continue;
    const FieldRow& row = *design.rows[i].record;
    if (row.fieldOp == opNone || row.fieldOp == opCopy) {
      d.fields.push_back(row.loadedField);
      d.fields.back().spare = {};
    } else {
      d.fields.push_back(row.field);
    }
    d.fieldOps.push_back(row.fieldOp);
    if (row.checkOp == opNone) continue;
    engine::ValCheckDesc check = row.checkOp == opDrop ? row.loadedCheck : row.check;
    // A dropped check names the field as the table has it, the others as
    // the new table will.
    if (row.checkOp != opDrop) check.fieldNumber = static_cast<std::uint16_t>(i + 1);
    d.checks.push_back(check);
    d.checkOps.push_back(row.checkOp);
  }
  for (const auto& [name, row] : state.indexes) {
    engine::IndexDesc edited = row.index;
    edited.name = name.toStdString();
    if (row.op == opModify) {
      AddIndex(d, edited, opAdd);
      AddIndex(d, row.loadedIndex, opDrop);
    } else if (row.op == opAdd || row.op == opDrop) {
      AddIndex(d, edited, row.op);
    }
  }
  const QList<int> keys = KeyRows(design.rows);
  const engine::IndexDesc primary = PrimaryIndexOf(keys);
  if (!design.currentPrimary && !keys.isEmpty())
    AddIndex(d, primary, opAdd);
  else if (design.currentPrimary && keys.isEmpty())
    AddIndex(d, *design.currentPrimary, opDrop);
  else if (design.currentPrimary && !SameKey(*design.currentPrimary, primary))
    AddIndex(d, primary, opModify);
  for (const auto& [name, row] : state.links) {
    if (row.op == opNone) continue;
    d.refInts.push_back(row.op == opDrop ? row.loadedLink : row.link);
    d.refIntOps.push_back(row.op);
    if (row.op == opAdd && !row.loadedLink.otherTable.empty()) {
      d.refInts.push_back(row.loadedLink);
      d.refIntOps.push_back(opDrop);
    }
  }
  for (const auto& [text, row] : state.passwords) {
    if (row.op != opNone) {
      d.passwords.push_back(row.security);
      d.securityOps.push_back(row.op);
      continue;
    }
    for (std::int32_t op : {opDrop, opAdd}) {
      d.passwords.push_back(row.security);
      d.securityOps.push_back(op);
    }
  }
  d.pack = design.pack ? 1 : 0;
  // A protected table whose master password was only looked at keeps it
  // (the dialog sets MasterPasswordSet without a new text).
  if (state.MasterPasswordSet && !state.LastPassword.isEmpty()) {
    d.isProtected = 1;
    d.password = state.LastPassword.toStdString();
  }
  d.removeProtection = state.RemoveProtection ? 1 : 0;
  return d;
}

}  // namespace design
