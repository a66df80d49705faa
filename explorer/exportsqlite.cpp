// "Export to SQLite..." of an alias: all its tables, with their keys,
// indexes, checks and links, into a new SQLite file chosen by the user
// (engine/sql/export.h), under a progress dialog that can cancel.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTreeWidget>

#include "app/application.h"
#include "app/dmf.h"
#include "app/prompter.h"
#include "engine/family.h"
#include "engine/lists.h"
#include "engine/sql/export.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

namespace {

// The records of the database's tables, for the progress dialog's range.
std::uint64_t RecordTotal(const std::string& database) {
  std::uint64_t total = 0;
  engine::hDBIDb db = 0;
  engine::hDBICur list = 0;
  if (engine::OpenDatabase(database, db) == engine::Ok &&
      engine::OpenTableList(db, true, false, "", list) == engine::Ok) {
    engine::TableListDesc t;
    while (engine::GetNextRecord(list, t) == engine::Ok) total += t.recordCount;
  }
  if (list) engine::CloseCursor(list);
  if (db) engine::CloseDatabase(db);
  engine::ClearLastError();
  return total;
}

// Tracks the rows done over all tables for the dialog.
class ExportProgressDialog {
 public:
  ExportProgressDialog(QWidget* parent, std::uint64_t total)
      : dialog_("Exporting tables...", "Cancel", 0, static_cast<int>(std::min<std::uint64_t>(total, INT32_MAX)), parent) {
    dialog_.setWindowModality(Qt::WindowModal);
    dialog_.setMinimumDuration(500);
  }
  bool step(const std::string& table, std::uint64_t rows) {
    if (table != table_) {
      base_ += last_;
      table_ = table;
      dialog_.setLabelText("Exporting " + QString::fromStdString(table) + "...");
    }
    last_ = rows;
    dialog_.setValue(static_cast<int>(std::min<std::uint64_t>(base_ + rows, dialog_.maximum())));
    BusyCursor::keepPainting();
    return !dialog_.wasCanceled();
  }

 private:
  QProgressDialog dialog_;
  std::string table_;
  std::uint64_t base_ = 0, last_ = 0;
};

}  // namespace

void TParadoxfrm::ExporttoSQLite1Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || tree::Level(node) != 1) return;
  const QString alias = node->text(0);
  const Prompter::FileChoice choice = prompter().saveFile(
      "Export to SQLite", QString(), "SQLite databases (*.sqlite *.db);;All files (*)");
  if (choice.path.isEmpty()) return;
  QString path = choice.path;
  if (QFileInfo(path).suffix().isEmpty() && choice.filter.startsWith("SQLite")) path += ".sqlite";
  engine::sql::ExportRequest request;
  request.database = alias.toStdString();
  request.target = path.toStdString();
  engine::sql::ExportSummary summary;
  engine::Result r = engine::Ok;
  {
    const BusyCursor busy;
    ExportProgressDialog progress(this, RecordTotal(request.database));
    request.progress = [&](const std::string& table, std::uint64_t rows) {
      return progress.step(table, rows);
    };
    r = engine::sql::ExportDatabase(request, &summary);
    // A protected table: the password dialog, then the export again.
    for (bool refused = false; r == engine::ErrPasswordRequired; refused = true) {
      if (!PromptForPassword(QString(), refused)) break;
      r = engine::sql::ExportDatabase(request, &summary);
    }
  }
  if (r == engine::ErrQueryCancelled) {
    setPanelText(2, "Export cancelled");
    return;
  }
  if (r != engine::Ok) {
    prompter().error(QString::fromStdString(engine::LastErrorMessage()));
    return;
  }
  setPanelText(2, QString::number(summary.tables.size()) + " tables exported to " +
                      QDir::toNativeSeparators(path));
  if (summary.notes.empty()) return;
  QString notes = "Exported with these notes:";
  for (const std::string& note : summary.notes) notes += "\n" + QString::fromStdString(note);
  prompter().inform(notes, "Export to SQLite");
}
