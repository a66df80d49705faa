// Reading one aspect of an open table's structure through the engine and
// rendering it as text lines. These texts are shown by the detail views,
// written to structure files and compared with them, so their form is fixed.
//
// Engine calls whose failure matters raise EDBEngineError; the others are
// ignored and leave an empty or zero value. Lines added before a failure stay
// in the list. Functions append to their list unless they say they clear it.
#pragma once

#include <QString>
#include <QStringList>

#include "engine/engine.h"
#include "structure/propertylist.h"

namespace engine {
class TSession;
class TTable;
}  // namespace engine

namespace structure {

// An open table as these functions see it: its cursor, the database it was
// opened in, the name it was opened by ("ORDERS.DB") and its field names by
// position (position 0 is field number 1).
struct OpenTableRef {
  engine::hDBIDb db = 0;
  engine::hDBICur cursor = 0;
  QString tableName;
  QStringList fieldNames;

  // Fills the field names from the cursor's field descriptors (raises).
  static OpenTableRef Of(engine::hDBIDb db, engine::hDBICur cursor, const QString& tableName);
  // The same for a table of the data-set layer, open in `session`.
  static OpenTableRef Of(engine::TSession& session, engine::TTable& table);
  // The name of a 1-based field number, "" when there is no such field.
  QString fieldName(int fieldNumber) const;
};

// TABLE LEVEL, LANGUAGE DRIVER, BLOCK SIZE, STRICT REFERENTIAL INTEGRITY, PROTECTED.
void ListTableProps(engine::hDBICur cursor, PropertyList& list);
// Name, Order, Type (Paradox and dBASE tables only), Scale, Size of the
// field at `position` (0-based). Clears the list.
void ListFieldProps(const OpenTableRef& table, int position, PropertyList& list);

// Index names (Paradox: "" for the primary index) or dBASE tag names. Clears the list.
void ListIndexNames(const OpenTableRef& table, QStringList& list);
// Names (or tags) and the number of key fields of each index, in parallel.
// Clears `names` only.
void ListIndexNamesAndKeyCounts(const OpenTableRef& table, QStringList& names,
                                QStringList& counts);
// Three lines per dBASE index: index name, tag name, index id.
void ListDBaseIndexes(const OpenTableRef& table, QStringList& list);
// The display form of one index, with mixed-case keys.
void ListIndexDisplayProps(const OpenTableRef& table, const QString& indexName,
                           const QString& tagName, int indexId, PropertyList& list);
// The descriptor of the index of this name, or of the primary index for
// "<Primary>" (raises). A named index becomes the cursor's active index.
void ReadIndexDesc(const OpenTableRef& table, const QString& indexName, engine::IndexDesc& index);
// The upper-case form of one index (raises).
void ListIndexProps(const OpenTableRef& table, const QString& indexName, PropertyList& list);

// The names of the fields under check, one per validity check.
void ListValCheckFields(const OpenTableRef& table, QStringList& list);
// The display form of every validity check of the table.
void ListValCheckDisplayProps(const OpenTableRef& table, PropertyList& list);
// The upper-case form of check number `checkNo` (1-based).
void ListValCheckProps(const OpenTableRef& table, int checkNo, PropertyList& list);

// Link names: every link with `allLinks`, else only those to parents.
void ListRefIntNames(const OpenTableRef& table, bool allLinks, QStringList& list);
// One link (1-based): name, side, rules and linking fields "this>other".
void ListRefIntProps(const OpenTableRef& table, int linkNo, PropertyList& list);
// "Field(i)=name" lines of this table's (a) and the other table's (b)
// linking fields.
void ListRefIntFieldPairs(const OpenTableRef& table, int linkNo, QStringList& a, QStringList& b);

// The auxiliary passwords, in engine order (raises).
void ListPasswords(const OpenTableRef& table, QStringList& list);
// Password, table right and field rights of password `passwordNo` (1-based).
void ListSecurityProps(const OpenTableRef& table, int passwordNo, PropertyList& list);

// Two lines per family member: file name, kind text.
void ListFamilyMembers(const OpenTableRef& table, QStringList& list);

// Groups of lines per file matching `wildcard`: tables (.DB, .DBF) give
// name, driver, date, time, size; query files (.SQL, .QBE) name, date,
// time, size. Clears the list (raises).
void ListDatabaseFiles(engine::hDBIDb db, const QString& wildcard, QStringList& list);
// "NAME.EXT" of every Paradox table of the database.
void ListParadoxTableFiles(engine::hDBIDb db, QStringList& list);

// The table's own properties as the detail view shows them: type, language
// driver, restructure version, protection, the numbers of fields, indexes,
// checks and links, record buffer size, level and block size (raises).
void BuildTablePropertyList(engine::hDBICur cursor, PropertyList& list);

}  // namespace structure
