// The structure file: the structure of every Paradox table of a database,
// section by section, in a profile file (structure/inifile.h).
//
//   [TABLES]                     0=CUSTOMER.DB ...
//   [t\TBPROPS]                  the table's properties
//   [t\TBPROPS\FLIST]            field name = the table's position in TABLES
//   [t\FIELDS\f]                 Name, Order, Type, Scale, Size
//   [t\TBPROPS\ILIST]            index name (<Primary>) = index number
//   [t\INDEXES\x]                flags, FIELDS IN KEY, FIELD(i)
//   [t\TBPROPS\VLIST]            position = FIELD NAME (upper case)
//   [t\VCHECKS\f]                the check's values
//   [t\TBPROPS\RLIST]            position = link name
//   [t\RINTS\r]                  the link
//   [t\TBPROPS\SLIST]            position = auxiliary password
//   [t\SECURITIES\position]      the password's rights
#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace engine {
class TSession;
class TTable;
}  // namespace engine

namespace structure {

class IniFile;

// Called after each table with the number of tables written and the total.
using SaveProgress = std::function<void(int done, int total)>;

// Writes the structure of the Paradox tables of `database` (an alias or a
// directory) into `ini`, opening each table with `table` (a protected table
// asks the session for its password). Sections the save does not write stay
// as they were. A failure raises EDBEngineError; what was written before it
// is kept in the file. Returns the names of the tables written.
QStringList SaveStructure(engine::TSession& session, engine::TTable& table,
                          const QString& database, IniFile& ini,
                          const SaveProgress& progress = nullptr);

// The same into the file `path` (created only when there is something to write).
QStringList SaveStructureToFile(engine::TSession& session, engine::TTable& table,
                                const QString& database, const QString& path,
                                const SaveProgress& progress = nullptr);

}  // namespace structure
