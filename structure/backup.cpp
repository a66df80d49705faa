#include "structure/backup.h"

#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/engine.h"

namespace structure {

namespace {

// The source database, closed on every way out of the run.
class OpenedDatabase {
 public:
  explicit OpenedDatabase(const std::string& name) {
    engine::Check(engine::OpenDatabase(name, db_));
  }
  ~OpenedDatabase() {
    if (db_) engine::CloseDatabase(db_);
  }
  OpenedDatabase(const OpenedDatabase&) = delete;
  OpenedDatabase& operator=(const OpenedDatabase&) = delete;
  engine::hDBIDb handle() const { return db_; }

 private:
  engine::hDBIDb db_ = 0;
};

}  // namespace

QString BackupDestination(const QString& folder, const QString& name) {
  // Without the separator the name would be glued to the folder's own name
  // and the copy would land beside the folder instead of inside it.
  if (folder.isEmpty() || folder.endsWith('/')) return folder + name;
  return folder + '/' + name;
}

QString BackupProgressText(const QString& table, const QString& folder) {
  return "Coping " + table + " to " + BackupDestination(folder, table);
}

bool BackupTables(const QString& database, const QStringList& tables, const QString& folder,
                  bool overwrite, const BackupHooks& hooks) {
  // A bare name would be taken in the source's own directory.
  if (folder.isEmpty())
    throw engine::EDBEngineError(engine::ErrInvalidParameter,
                                 "no folder given for the backup copies");
  OpenedDatabase source(database.toStdString());
  QString last;
  for (int i = 0; i < tables.size(); ++i) {
    const QString& table = tables[i];
    if (hooks.progress) hooks.progress(BackupProgressText(table, folder));
    QString name = table;
    if (!overwrite && hooks.nameFor) {
      std::optional<QString> given = hooks.nameFor(table, last);
      if (!given) return false;
      name = last = *given;
    }
    const QString destination = BackupDestination(folder, name);
    engine::Check(engine::CopyTable(source.handle(), overwrite, table.toStdString(), "",
                                    destination.toStdString()));
    if (hooks.copied) hooks.copied(i, destination);
  }
  return true;
}

QStringList BackupCandidates(const QString& database) {
  QStringList names;
  for (const std::string& name :
       engine::Session().GetTableNames(database.toStdString(), "", true, false))
    names << QString::fromStdString(name);
  return names;
}

}  // namespace structure
