// quarry backup: copies of a database's tables in a folder, as the desktop
// program's "Backup copies" makes them with its names left as they are.
#include <QString>
#include <QStringList>
#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "structure/backup.h"

namespace cli {

namespace {

QStringList TablesOption(const std::string& list) {
  QStringList tables;
  for (const QString& name : QString::fromStdString(list).split(',', Qt::SkipEmptyParts))
    if (!name.trimmed().isEmpty()) tables << name.trimmed();
  if (tables.isEmpty()) throw UsageError("--tables names no table");
  return tables;
}

int Backup(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"tables"}, {"overwrite"});
  args.expectPositional(2);
  const QString database = QString::fromStdString(args.positional()[0]);
  const QString folder = QString::fromStdString(args.positional()[1]);
  if (folder.isEmpty()) throw UsageError("DIR is empty");
  const std::optional<std::string> only = args.value("tables");
  const QStringList tables = only ? TablesOption(*only) : structure::BackupCandidates(database);
  structure::BackupHooks hooks;
  hooks.copied = [&](int index, const QString& destination) {
    io.out << "Copied " << tables[index].toStdString() << " to " << destination.toStdString()
           << "\n";
  };
  structure::BackupTables(database, tables, folder, args.flag("overwrite"), hooks);
  return 0;
}

}  // namespace

std::vector<Command> BackupCommands() {
  return {
      {"backup", "DATABASE DIR [--tables T1,T2] [--overwrite] [--password PW]...",
       "copy a database's tables (all, or those of --tables) into DIR under their own names",
       Backup},
  };
}

}  // namespace cli
