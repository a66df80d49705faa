#include "structure/extraction.h"

#include <QFileInfo>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/family.h"
#include "engine/indexes.h"
#include "engine/lists.h"
#include "engine/paradox/pxval.h"
#include "engine/valchecks.h"

namespace structure {

using engine::Check;

namespace {

QString Text(const std::string& s) { return QString::fromStdString(s); }
std::string Std(const QString& s) { return s.toStdString(); }

engine::CursorProps PropsOf(engine::hDBICur cursor) {
  engine::CursorProps props;
  engine::GetCursorProps(cursor, props);
  return props;
}

// Reads every record of a list cursor, then closes it; `closeRaises` turns
// a failed close into an exception.
template <typename Record, typename Visit>
void ReadList(engine::hDBICur list, Visit visit, bool closeRaises = false) {
  Record record;
  while (engine::GetNextRecord(list, record) == engine::Ok) visit(record);
  engine::Result r = engine::CloseCursor(list);
  if (closeRaises) Check(r);
}

}  // namespace

OpenTableRef OpenTableRef::Of(engine::hDBIDb db, engine::hDBICur cursor, const QString& tableName) {
  OpenTableRef t;
  t.db = db;
  t.cursor = cursor;
  t.tableName = tableName;
  std::vector<engine::FieldDesc> fields;
  Check(engine::GetFieldDescs(cursor, fields));
  for (const auto& f : fields) t.fieldNames << Text(f.name);
  return t;
}

OpenTableRef OpenTableRef::Of(engine::TSession& session, engine::TTable& table) {
  engine::TDatabase* db = session.FindDatabase(table.DatabaseName());
  return Of(db ? db->Handle() : 0, table.Handle(), QString::fromStdString(table.TableName()));
}

QString OpenTableRef::fieldName(int fieldNumber) const {
  return fieldNumber >= 1 && fieldNumber <= fieldNames.size() ? fieldNames[fieldNumber - 1]
                                                              : QString();
}

void ListTableProps(engine::hDBICur cursor, PropertyList& list) {
  engine::CursorProps props;
  Check(engine::GetCursorProps(cursor, props));
  list << "TABLE LEVEL=" + QString::number(props.tableLevel)
       << "LANGUAGE DRIVER=" + Text(props.languageDriver)
       << "BLOCK SIZE=" + QString::number(props.blockSize)
       << "STRICT REFERENTIAL INTEGRITY=" + YesNo(props.strictRefInt)
       << "PROTECTED=" + YesNo(props.isProtected);
}

void ListFieldProps(const OpenTableRef& table, int position, PropertyList& list) {
  list.clear();
  engine::CursorProps props;
  Check(engine::GetCursorProps(table.cursor, props));
  // The engine's cursors report physical types only: nothing to switch.
  std::vector<engine::FieldDesc> fields;
  Check(engine::GetFieldDescs(table.cursor, fields));
  if (position < 0 || position >= static_cast<int>(fields.size())) return;
  const engine::FieldDesc& f = fields[position];
  list << "Name=" + table.fieldName(position + 1) << "Order=" + QString::number(position + 1);
  if (props.driverType == "PARADOX") list << "Type=" + ParadoxTypeName(f.type);
  if (props.driverType == "DBASE") list << "Type=" + DbaseTypeName(f.type);
  list << "Scale=" + QString::number(f.units2) << "Size=" + QString::number(f.units1);
}

void ListIndexNames(const OpenTableRef& table, QStringList& list) {
  list.clear();
  const std::string driver = PropsOf(table.cursor).driverType;
  engine::hDBICur indexes = 0;
  Check(engine::OpenIndexList(table.db, Std(table.tableName), "", indexes));
  ReadList<engine::IndexDesc>(
      indexes,
      [&](const engine::IndexDesc& ix) {
        if (driver == "PARADOX") list << Text(ix.name);
        if (driver == "DBASE") list << Text(ix.tagName);
      },
      true);
}

void ListIndexNamesAndKeyCounts(const OpenTableRef& table, QStringList& names,
                                QStringList& counts) {
  names.clear();
  const std::string driver = PropsOf(table.cursor).driverType;
  engine::hDBICur indexes = 0;
  Check(engine::OpenIndexList(table.db, Std(table.tableName), driver, indexes));
  ReadList<engine::IndexDesc>(
      indexes,
      [&](const engine::IndexDesc& ix) {
        names << Text(driver == "PARADOX" ? ix.name : ix.tagName);
        counts << QString::number(ix.fieldsInKey);
      },
      true);
}

void ListDBaseIndexes(const OpenTableRef& table, QStringList& list) {
  engine::hDBICur indexes = 0;
  if (engine::OpenIndexList(table.db, Std(table.tableName), "DBASE", indexes)) return;
  ReadList<engine::IndexDesc>(indexes, [&](const engine::IndexDesc& ix) {
    list << Text(ix.name) << Text(ix.tagName) << QString::number(ix.id);
  });
}

void ListIndexDisplayProps(const OpenTableRef& table, const QString& indexName,
                           const QString& tagName, int indexId, PropertyList& list) {
  std::uint16_t seqNo = 0;
  engine::GetIndexSeqNo(table.cursor, Std(indexName), Std(tagName),
                        static_cast<std::uint16_t>(indexId), seqNo);
  engine::IndexDesc ix;
  engine::GetIndexDesc(table.cursor, seqNo, ix);
  list << "Tag Name=" + tagName << "Name=" + indexName << "Unique=" + YesNo(ix.unique)
       << "Maintained=" + YesNo(ix.maintained) << "Descending=" + YesNo(ix.descending)
       << "Expression index=" + YesNo(ix.expression) << "Expression=" + Text(ix.keyExpression)
       << "Subset index=" + YesNo(ix.subset) << "Condition of subset=" + Text(ix.subsetCondition);
  for (int i = 0; i < ix.fieldsInKey && i < engine::kMaxKeyFields; ++i)
    list << "Field=" + table.fieldName(ix.keyFields[i]);
  list << "Format=" + Text(ix.format) << "Internal block size (b)=" + QString::number(ix.blockSize);
}

void ReadIndexDesc(const OpenTableRef& table, const QString& indexName, engine::IndexDesc& index) {
  if (indexName == QLatin1String("<Primary>")) {
    Check(engine::GetIndexDesc(table.cursor, 1, index));
    return;
  }
  Check(engine::SwitchToIndex(table.cursor, Std(indexName)));
  Check(engine::GetIndexDesc(table.cursor, 0, index));
}

void ListIndexProps(const OpenTableRef& table, const QString& indexName, PropertyList& list) {
  engine::IndexDesc ix;
  ReadIndexDesc(table, indexName, ix);
  list << "PRIMARY=" + YesNo(ix.primary) << "UNIQUE=" + YesNo(ix.unique)
       << "MAINTAINED=" + YesNo(ix.maintained)
       << "CASE SENSITIVE=" + YesNo(ix.caseInsensitive == 0)
       << "DESCENDING=" + YesNo(ix.descending) << "SUBSET=" + YesNo(ix.subset)
       << "EXPRESSION INDEX=" + YesNo(ix.expression)
       << "FIELDS IN KEY=" + QString::number(ix.fieldsInKey);
  for (int i = 0; i < ix.fieldsInKey && i < engine::kMaxKeyFields; ++i)
    list << QStringLiteral("FIELD(%1)=").arg(i + 1) + table.fieldName(ix.keyFields[i]);
}

// ---- Validity checks ----

namespace {

// How a check's values are rendered, by the type of the field under check.
enum class ValueKind { String, SmallInt, Integer, Float, Bcd, Date, Time, Timestamp, Boolean, Other };

ValueKind KindOf(std::uint16_t type) {
  switch (type) {
    case engine::pxAlpha:
    case engine::dbChar: return ValueKind::String;
    case engine::pxShort: return ValueKind::SmallInt;
    case engine::pxLong: return ValueKind::Integer;
    case engine::pxNumber:
    case engine::pxMoney:
    case engine::dbNumber:
    case engine::dbFloat: return ValueKind::Float;
    case engine::pxBcd: return ValueKind::Bcd;
    case engine::pxDate:
    case engine::dbDate: return ValueKind::Date;
    case engine::pxTime: return ValueKind::Time;
    case engine::pxTimestamp: return ValueKind::Timestamp;
    case engine::pxLogical:
    case engine::dbLogical: return ValueKind::Boolean;
    default: return ValueKind::Other;
  }
}

std::uint16_t FieldTypeOf(const OpenTableRef& table, int fieldNumber) {
  std::vector<engine::FieldDesc> fields;
  engine::GetFieldDescs(table.cursor, fields);
  return fieldNumber >= 1 && fieldNumber <= static_cast<int>(fields.size())
             ? fields[fieldNumber - 1].type
             : 0;
}

template <typename T>
T ReadArea(const std::array<std::uint8_t, 256>& area) {
  T v;
  std::memcpy(&v, area.data(), sizeof v);
  return v;
}

QString ZeroTerminated(const std::array<std::uint8_t, 256>& area) {
  const char* p = reinterpret_cast<const char*>(area.data());
  return QString::fromLatin1(p, static_cast<qsizetype>(strnlen(p, area.size())));
}

// The text of a value that is stored (flag neither 0 nor TODAY/NOW where
// those apply).
QString StoredValueText(const OpenTableRef& table, const engine::ValCheckDesc& check,
                        engine::CheckPart part, ValueKind kind,
                        const std::array<std::uint8_t, 256>& area) {
  switch (kind) {
    case ValueKind::String: {
      engine::Value value;
      if (engine::GetCheckValue(table.cursor, check, part, value) == engine::Ok)
        if (const auto* s = std::get_if<std::string>(&value)) return Text(*s);
      return ZeroTerminated(area);
    }
    case ValueKind::SmallInt: return FormatInteger(ReadArea<std::int16_t>(area));
    case ValueKind::Integer: return FormatInteger(ReadArea<std::int32_t>(area));
    case ValueKind::Float: return FormatFloat(ReadArea<double>(area));
    case ValueKind::Bcd: return FormatFloat(ZeroTerminated(area).toDouble());
    case ValueKind::Date: return FormatDate(ReadArea<std::int32_t>(area));
    case ValueKind::Time: return FormatTime(ReadArea<std::int32_t>(area));
    case ValueKind::Timestamp: {
      const double ms = ReadArea<double>(area);
      const double day = std::floor(ms / 86400000.0);
      return FormatDateTime(static_cast<std::int32_t>(day),
                            static_cast<std::int32_t>(ms - day * 86400000.0));
    }
    default: return {};
  }
}

bool HasSpecialValues(ValueKind kind) {
  return kind == ValueKind::Date || kind == ValueKind::Time || kind == ValueKind::Timestamp;
}

struct PartForm {
  engine::CheckPart part;
  std::uint16_t flag;
  const std::array<std::uint8_t, 256>* area;
};

std::array<PartForm, 3> PartsOf(const engine::ValCheckDesc& c) {
  return {{{engine::CheckPart::Minimum, c.hasMin, &c.minValue},
           {engine::CheckPart::Maximum, c.hasMax, &c.maxValue},
           {engine::CheckPart::Default, c.hasDefault, &c.defaultValue}}};
}

void AddUpperValueLines(const OpenTableRef& table, const engine::ValCheckDesc& check,
                        ValueKind kind, PropertyList& list) {
  static const char* const keys[] = {"MIN. VALUE=", "MAX. VALUE=", "DEF. VALUE="};
  if (kind == ValueKind::Other) return;
  if (kind == ValueKind::Boolean) {
    list << "MIN. VALUE=(NOT AVIALABLE)" << "MAX. VALUE=(NOT AVIALABLE)";
    if (check.hasDefault)
      list << (check.defaultValue[0] == 1 ? "DEF. VALUE=TRUE" : "DEF. VALUE=FALSE");
    return;
  }
  int i = 0;
  for (const PartForm& p : PartsOf(check)) {
    const QString key = QLatin1String(keys[i++]);
    if (p.flag == engine::chkNone)
      list << key + "(NONE)";
    else if (HasSpecialValues(kind) && p.flag == engine::chkToday)
      list << key + "TODAY";
    else if (HasSpecialValues(kind) && p.flag == engine::chkNow)
      list << key + "NOW";
    else
      list << key + StoredValueText(table, check, p.part, kind, *p.area);
  }
}

void AddDisplayValueLines(const OpenTableRef& table, const engine::ValCheckDesc& check,
                          ValueKind kind, PropertyList& list) {
  static const char* const keys[] = {"Min Value=", "Max Value=", "Default Value="};
  static const char* const bcdKeys[] = {"Min value=", "Max value=", "Def value="};
  if (kind == ValueKind::Other) return;
  if (kind == ValueKind::Boolean) {
    list << "Min Value=(not available)" << "Max Value=(not available)";
    if (!check.hasDefault)
      list << "Default Value=(none)";
    else
      list << (check.defaultValue[0] == 1 ? "Default Value=True" : "Default Value=False");
    return;
  }
  const bool numeric = kind == ValueKind::SmallInt || kind == ValueKind::Integer ||
                       kind == ValueKind::Float;
  int i = 0;
  for (const PartForm& p : PartsOf(check)) {
    const QString key = QLatin1String(keys[i]);
    const bool isDefault = i == 2;
    const QString bcdKey = QLatin1String(bcdKeys[i++]);
    if (p.flag == engine::chkNone)
      list << key + (numeric && isDefault ? "(None)" : "(none)");
    else if (HasSpecialValues(kind) && p.flag == engine::chkToday)
      list << key + "TODAY";
    else if (HasSpecialValues(kind) && p.flag == engine::chkNow)
      list << key + "NOW";
    else
      list << (kind == ValueKind::Bcd ? bcdKey : key) +
                  StoredValueText(table, check, p.part, kind, *p.area);
  }
}

engine::ValCheckDesc ReadCheck(const OpenTableRef& table, int checkNo) {
  engine::ValCheckDesc check;  // zero-filled
  Check(engine::GetValCheckDesc(table.cursor, static_cast<std::uint16_t>(checkNo), check));
  return check;
}

int CheckCount(const OpenTableRef& table) {
  engine::CursorProps props;
  Check(engine::GetCursorProps(table.cursor, props));
  return props.valCheckCount;
}

}  // namespace

void ListValCheckFields(const OpenTableRef& table, QStringList& list) {
  const int count = CheckCount(table);
  for (int v = 1; v <= count; ++v) list << table.fieldName(ReadCheck(table, v).fieldNumber);
}

void ListValCheckDisplayProps(const OpenTableRef& table, PropertyList& list) {
  const int count = CheckCount(table);
  for (int v = 1; v <= count; ++v) {
    const engine::ValCheckDesc check = ReadCheck(table, v);
    const ValueKind kind = KindOf(FieldTypeOf(table, check.fieldNumber));
    list << QString::number(check.fieldNumber) + "=" + table.fieldName(check.fieldNumber)
         << "Required=" + YesNo(check.required);
    AddDisplayValueLines(table, check, kind, list);
    list << "Picture=" + (check.picture.empty() ? QStringLiteral("(none)") : Text(check.picture));
  }
}

void ListValCheckProps(const OpenTableRef& table, int checkNo, PropertyList& list) {
  const engine::ValCheckDesc check = ReadCheck(table, checkNo);
  const ValueKind kind = KindOf(FieldTypeOf(table, check.fieldNumber));
  list << "FILED NUMBER=" + QString::number(check.fieldNumber)
       << "REQUIRED=" + YesNo(check.required);
  AddUpperValueLines(table, check, kind, list);
  list << "PICTURE=" + (check.picture.empty() ? QStringLiteral("(NONE)") : Text(check.picture));
}

// ---- Referential integrity ----

namespace {

std::string OtherTablePath(const OpenTableRef& table, const engine::RefIntDesc& link) {
  std::string dir;
  engine::GetDatabaseDirectory(table.db, dir);
  return engine::paradox::RelatedTablePath(dir + "/" + Std(table.tableName), link.otherTable);
}

// The field names of the table at `path`, in field order (raises).
QStringList FieldNamesAt(const std::string& path) {
  engine::hDBICur other = 0;
  Check(engine::OpenTablePath(path, engine::OpenMode::ReadOnly, other));
  std::vector<engine::FieldDesc> fields;
  engine::Result r = engine::GetFieldDescs(other, fields);
  engine::CloseCursor(other);
  Check(r);
  QStringList names;
  for (const auto& f : fields) names << Text(f.name);
  return names;
}

}  // namespace

void ListRefIntNames(const OpenTableRef& table, bool allLinks, QStringList& list) {
  const int count = PropsOf(table.cursor).refIntCount;
  for (int r = 1; r <= count; ++r) {
    engine::RefIntDesc link;
    engine::GetRefIntDesc(table.cursor, static_cast<std::uint16_t>(r), link);
    if (allLinks || link.kind == engine::riDependent) list << Text(link.name);
  }
}

void ListRefIntProps(const OpenTableRef& table, int linkNo, PropertyList& list) {
  engine::RefIntDesc link;
  engine::GetRefIntDesc(table.cursor, static_cast<std::uint16_t>(linkNo), link);
  const std::string otherPath = OtherTablePath(table, link);
  const QString otherFile = QFileInfo(Text(otherPath)).fileName();
  list << "Name=" + Text(link.name);
  if (link.kind == engine::riMaster)
    list << "Type=MASTER" << "Dependent table=" + otherFile;
  else
    list << "Type=DEPENDENT" << "Master table=" + otherFile;
  list << (link.updateRule == engine::riCascade ? "Modify Mode=CASCADE" : "Modify Mode=RESTRICT")
       << (link.deleteRule == engine::riCascade ? "Delete Mode=CASCADE" : "Delete Mode=RESTRICT")
       << "Fields in the linking key=" + QString::number(link.fieldCount);
  if (link.fieldCount == 0) return;
  const QStringList otherNames = FieldNamesAt(otherPath);
  for (int i = 0; i < link.fieldCount && i < engine::kMaxKeyFields; ++i) {
    const int o = link.otherFields[i];
    list << QStringLiteral("Field(%1)=").arg(i + 1) + table.fieldName(link.thisFields[i]) + ">" +
                (o >= 1 && o <= otherNames.size() ? otherNames[o - 1] : QString());
  }
}

void ListRefIntFieldPairs(const OpenTableRef& table, int linkNo, QStringList& a, QStringList& b) {
  engine::RefIntDesc link;
  engine::GetRefIntDesc(table.cursor, static_cast<std::uint16_t>(linkNo), link);
  std::vector<engine::FieldDesc> otherFields;
  engine::hDBICur fields = 0;
  if (engine::OpenFieldList(table.db, OtherTablePath(table, link), "PARADOX", true, fields) ==
      engine::Ok)
    ReadList<engine::FieldDesc>(fields, [&](const engine::FieldDesc& f) { otherFields.push_back(f); });
  for (int i = 0; i < link.fieldCount && i < engine::kMaxKeyFields; ++i) {
    const QString key = QStringLiteral("Field(%1)=").arg(i + 1);
    a << key + table.fieldName(link.thisFields[i]);
    QString otherName;
    for (const auto& f : otherFields)
      if (f.number == link.otherFields[i]) otherName = Text(f.name);
    b << key + otherName;
  }
}

// ---- Passwords and family ----

namespace {

engine::hDBICur OpenSecurity(const OpenTableRef& table) {
  engine::hDBICur list = 0;
  Check(engine::OpenSecurityList(table.db, Std(table.tableName),
                                 PropsOf(table.cursor).driverType, list));
  return list;
}

}  // namespace

void ListPasswords(const OpenTableRef& table, QStringList& list) {
  ReadList<engine::SecurityDesc>(OpenSecurity(table),
                                 [&](const engine::SecurityDesc& s) { list << Text(s.password); });
}

void ListSecurityProps(const OpenTableRef& table, int passwordNo, PropertyList& list) {
  engine::hDBICur passwords = OpenSecurity(table);
  engine::SecurityDesc s;
  engine::SetToBegin(passwords);
  engine::GetRelativeRecord(passwords, passwordNo, s);
  engine::CloseCursor(passwords);
  list << "Password= " + Text(s.password);
  const QString right = TableRightLine(s.tableRights);
  if (!right.isEmpty()) list << right;
  for (int i = 0; i < table.fieldNames.size() && i < static_cast<int>(s.fieldRights.size()); ++i) {
    const QString text = FieldRightText(s.fieldRights[i]);
    if (!text.isEmpty()) list << table.fieldNames[i] + "=" + text;
  }
}

namespace {

// The engine's own side files say what they hold; the format's members
// their kind.
QString FamilyMemberText(std::int32_t kind, const QString& fileName) {
  const QString ext = fileName.section('.', -1).toUpper();
  if (ext == "QVC") return QStringLiteral("VALIDITY CHECK VALUES");
  if (ext == "QIX") return QStringLiteral("SECONDARY INDEX PROPERTIES");
  if (ext == "QPW") return QStringLiteral("AUXILIARY PASSWORDS");
  return FamilyKindText(kind);
}

}  // namespace

void ListFamilyMembers(const OpenTableRef& table, QStringList& list) {
  const engine::CursorProps props = PropsOf(table.cursor);
  engine::hDBICur family = 0;
  if (engine::OpenFamilyList(table.db, props.tableName, props.driverType, family)) return;
  ReadList<engine::FamilyDesc>(family, [&](const engine::FamilyDesc& f) {
    list << Text(f.name) << FamilyMemberText(f.kind, Text(f.name));
  });
}

// ---- Files of a database ----

void ListDatabaseFiles(engine::hDBIDb db, const QString& wildcard, QStringList& list) {
  list.clear();
  engine::hDBICur files = 0;
  Check(engine::OpenFileList(db, Std(wildcard), files));
  ReadList<engine::FileDesc>(
      files,
      [&](const engine::FileDesc& f) {
        const QString ext = Text(f.extension);
        const QString name = Text(f.name) + "." + ext;
        const QString date = FormatDate(f.date), time = FormatTime(f.time);
        const QString size = QString::number(f.size);
        if (ext == "DB" || ext == "db")
          list << name << "PARADOX" << date << time << size;
        else if (ext == "DBF" || ext == "dbf")
          list << name << "dBASE" << date << time << size;
        else if (ext.toUpper() == "SQL" || ext.toUpper() == "QBE")
          list << name << date << time << size;
      },
      true);
}

void ListParadoxTableFiles(engine::hDBIDb db, QStringList& list) {
  engine::hDBICur tables = 0;
  if (engine::OpenTableList(db, true, false, "*.db", tables)) return;
  ReadList<engine::TableListDesc>(tables, [&](const engine::TableListDesc& t) {
    list << Text(t.name) + "." + Text(t.extension);
  });
}

void BuildTablePropertyList(engine::hDBICur cursor, PropertyList& list) {
  engine::CursorProps props;
  Check(engine::GetCursorProps(cursor, props));
  list << "Table Type=" + Text(props.driverType)
       << "Language Driver=" + Text(props.languageDriver)
       << "Restructure version=" + QString::number(props.restructureVersion)
       << "Protected=" + YesNo(props.isProtected)
       << "Fields=" + QString::number(props.fieldCount)
       << "Indexes=" + QString::number(props.indexCount)
       << "Validity Checks=" + QString::number(props.valCheckCount)
       << "Referential Integ Checks=" + QString::number(props.refIntCount)
       << "Record Buffer Size=" + QString::number(props.recordBufferSize)
       << "Table Level=" + QString::number(props.tableLevel)
       << "Block size (Kb)=" + QString::number(props.blockSize);
}

}  // namespace structure
