// Backup copies: chosen tables of one database copied through the engine
// into a folder, each under its own name or under a name asked for it.
// Shared by the backup dialog and the command line.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace structure {

// Where table `name` goes in `folder`. A folder without a separator at its
// end is still the folder: the separator is added.
QString BackupDestination(const QString& folder, const QString& name);

// The text shown while `table` is being copied into `folder`.
QString BackupProgressText(const QString& table, const QString& folder);

struct BackupHooks {
  // The destination name of `table` when tables are not overwritten;
  // `last` is the name given for the previous table of this run ("" at
  // first). nullopt ends the run quietly. Unset: every table keeps its name.
  std::function<std::optional<QString>(const QString& table, const QString& last)> nameFor;
  // Called before each table with BackupProgressText().
  std::function<void(const QString& text)> progress;
  // Called after each table copied, with its position in `tables`.
  std::function<void(int index, const QString& destination)> copied;
};

// Copies `tables` (names in the database's directory) of `database` (an
// alias or a directory) into `folder`, in order. With `overwrite` each table
// keeps its name and replaces a table of that name; otherwise the names come
// from hooks.nameFor and an existing destination is a failure.
// A failed copy raises EDBEngineError with the engine's code and message;
// the tables before it stay copied and the ones after it are not tried.
// The database is closed in every case. Returns false when nameFor ended
// the run, true when every table was copied.
bool BackupTables(const QString& database, const QStringList& tables, const QString& folder,
                  bool overwrite, const BackupHooks& hooks = {});

// The tables a backup offers: every table of the database (alias or
// directory) with its extension, sorted, without the engine's system tables.
QStringList BackupCandidates(const QString& database);

}  // namespace structure
