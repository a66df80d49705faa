#include "structure/structurefile.h"

#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "structure/extraction.h"
#include "structure/inifile.h"

namespace structure {

namespace {

// Writes NAME=value lines as the entries of a section.
void WriteLines(IniFile& ini, const QString& section, const QStringList& lines) {
  for (const QString& line : lines) {
    const int eq = line.indexOf('=');
    ini.WriteString(section, line.left(eq), eq < 0 ? QString() : line.mid(eq + 1));
  }
}

void WriteFields(IniFile& ini, const OpenTableRef& ref, const QString& t, int position) {
  for (int i = 0; i < ref.fieldNames.size(); ++i) {
    PropertyList field;
    ListFieldProps(ref, i, field);
    ini.WriteString(t + "\\TBPROPS\\FLIST", ref.fieldNames[i], QString::number(position));
    WriteLines(ini, t + "\\FIELDS\\" + ref.fieldNames[i], field);
  }
}

void WriteIndexes(IniFile& ini, const OpenTableRef& ref, const QString& t, int count) {
  for (int n = 1; n <= count; ++n) {
    engine::IndexDesc ix;
    engine::Check(engine::GetIndexDesc(ref.cursor, static_cast<std::uint16_t>(n), ix));
    const QString name =
        ix.name.empty() ? QStringLiteral("<Primary>") : QString::fromStdString(ix.name);
    ini.WriteString(t + "\\TBPROPS\\ILIST", name, QString::number(n));
    PropertyList index;
    ListIndexProps(ref, name, index);
    WriteLines(ini, t + "\\INDEXES\\" + name, index);
  }
}

void WriteChecks(IniFile& ini, const OpenTableRef& ref, const QString& t, int count) {
  QStringList fields;
  ListValCheckFields(ref, fields);
  for (int v = 1; v <= count && v <= fields.size(); ++v) {
    PropertyList check;
    ListValCheckProps(ref, v, check);
    ini.WriteString(t + "\\TBPROPS\\VLIST", QString::number(v - 1), fields[v - 1].toUpper());
    WriteLines(ini, t + "\\VCHECKS\\" + fields[v - 1], check);
  }
}

void WriteLinks(IniFile& ini, const OpenTableRef& ref, const QString& t) {
  QStringList names;
  ListRefIntNames(ref, true, names);
  for (int r = 0; r < names.size(); ++r) {
    ini.WriteString(t + "\\TBPROPS\\RLIST", QString::number(r), names[r]);
    PropertyList link;
    ListRefIntProps(ref, r + 1, link);
    if (!link.isEmpty()) WriteLines(ini, t + "\\RINTS\\" + names[r], link);
  }
}

void WritePasswords(IniFile& ini, const OpenTableRef& ref, const QString& t) {
  QStringList passwords;
  ListPasswords(ref, passwords);
  for (int s = 0; s < passwords.size(); ++s) {
    ini.WriteString(t + "\\TBPROPS\\SLIST", QString::number(s), passwords[s]);
    PropertyList rights;
    ListSecurityProps(ref, s + 1, rights);
    if (!rights.isEmpty()) WriteLines(ini, t + "\\SECURITIES\\" + QString::number(s), rights);
  }
}

void WriteTable(IniFile& ini, engine::TSession& session, engine::TTable& table, const QString& t,
                int position) {
  table.Close();
  table.SetIndexName("");
  table.SetTableName(t.toStdString());
  table.Open();
  const OpenTableRef ref = OpenTableRef::Of(session, table);
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(table.Handle(), props));
  PropertyList tableProps;
  ListTableProps(table.Handle(), tableProps);
  WriteLines(ini, t + "\\TBPROPS", tableProps);
  WriteFields(ini, ref, t, position);
  WriteIndexes(ini, ref, t, props.indexCount);
  WriteChecks(ini, ref, t, props.valCheckCount);
  if (props.refIntCount > 0) WriteLinks(ini, ref, t);
  if (props.auxPasswordCount > 0) WritePasswords(ini, ref, t);
}

void Flush(IniFile& ini) {
  if (!ini.UpdateFile())
    throw engine::EDBEngineError(engine::ErrIo, ini.ErrorString().toStdString());
}

}  // namespace

QStringList SaveStructure(engine::TSession& session, engine::TTable& table, const QString& database,
                          IniFile& ini, const SaveProgress& progress) {
  QStringList tables;
  for (const std::string& name : session.GetTableNames(database.toStdString(), "*.db", true, false))
    tables << QString::fromStdString(name);
  for (int i = 0; i < tables.size(); ++i) ini.WriteString("TABLES", QString::number(i), tables[i]);
  table.Close();
  table.SetDatabaseName(database.toStdString());
  try {
    for (int i = 0; i < tables.size(); ++i) {
      WriteTable(ini, session, table, tables[i], i);
      Flush(ini);
      if (progress) progress(i + 1, static_cast<int>(tables.size()));
    }
  } catch (...) {
    ini.UpdateFile();  // what was written stays
    throw;
  }
  Flush(ini);
  return tables;
}

QStringList SaveStructureToFile(engine::TSession& session, engine::TTable& table,
                                const QString& database, const QString& path,
                                const SaveProgress& progress) {
  IniFile ini(path);
  return SaveStructure(session, table, database, ini, progress);
}

}  // namespace structure
