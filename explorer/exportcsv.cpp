// "Export to CSV..." of the grid's popup: the browsed table's rows as the
// grid shows them (order, filter, deleted dBASE records when shown) into a
// CSV file of the form `quarry dump` writes.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressDialog>
#include <QSaveFile>
#include <sstream>
#include <stdexcept>

#include "app/application.h"
#include "app/dmf.h"
#include "app/prompter.h"
#include "engine/dataset/csv.h"
#include "engine/dataset/dberror.h"
#include "engine/dataset/tablerows.h"
#include "engine/family.h"
#include "explorer/paradoxfrm.h"

namespace {

// The dump's columns for an open table: the fields the password lets us
// read, after "_deleted" while records marked deleted are shown.
engine::DumpColumns ColumnsOf(engine::TTable& table) {
  engine::DumpColumns columns;
  for (int i = 0; i < table.FieldCount(); ++i) columns.fields.push_back(table.Fields(i).Desc());
  std::vector<std::int32_t> rights;
  engine::Check(engine::GetFieldRights(table.Handle(), rights));
  for (std::size_t i = 0; i < columns.fields.size(); ++i)
    columns.shown.push_back(i >= rights.size() || rights[i] != 0);
  std::int64_t showDeleted = 0;
  if (engine::GetProp(table.Handle(), engine::kPropShowDeleted, showDeleted) != engine::Ok)
    engine::ClearLastError();  // Paradox: no deleted records to show
  columns.deletedColumn = showDeleted != 0;
  return columns;
}

}  // namespace

void TParadoxfrm::ExporttoCSV1Click() {
  engine::TTable& table = DMF().aTable;
  if (!table.Active()) return;
  const Prompter::FileChoice choice =
      prompter().saveFile("Export to CSV", QString(), "CSV files (*.csv);;All files (*)");
  if (choice.path.isEmpty()) return;
  QString path = choice.path;
  if (QFileInfo(path).suffix().isEmpty() && choice.filter.startsWith("CSV")) path += ".csv";
  std::uint32_t rowsWritten = 0;
  try {
    if (!exportRows(path, rowsWritten)) return;  // cancelled
  } catch (const std::exception& e) {
    prompter().error(QString::fromUtf8(e.what()));
    return;
  }
  setPanelText(2, QString::number(rowsWritten) + " records exported to " +
                      QDir::toNativeSeparators(path));
}

// Rows are read through a reader of their own, a block at a time, so the
// grid's record stays where it is and memory does not grow with the table.
// The file appears only when complete.
bool TParadoxfrm::exportRows(const QString& path, std::uint32_t& rowsWritten) {
  engine::TTable& table = DMF().aTable;
  const engine::DumpColumns columns = ColumnsOf(table);
  engine::TableRows rows(table);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly))
    throw std::runtime_error("Cannot write file \"" + QDir::toNativeSeparators(path).toStdString() +
                             "\". " + file.errorString().toStdString());
  BusyCursor busy;
  QProgressDialog progress("Exporting records...", "Cancel", 0,
                           static_cast<int>(table.RecordCount()), this);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  std::ostringstream text;
  engine::WriteDumpHeader(text, columns);
  for (std::uint32_t row = 0;; ++row) {
    while (row >= rows.Count() && !rows.Complete()) rows.Discover(4096);
    const std::vector<engine::Value>* values = row < rows.Count() ? rows.Values(row) : nullptr;
    if (!values) break;
    engine::WriteDumpRecord(text, columns, *values, rows.Deleted(row));
    if (row % 256 == 255 || text.tellp() > (1 << 16)) {
      file.write(text.str().data(), static_cast<qint64>(text.str().size()));
      text.str({});
      progress.setValue(static_cast<int>(std::min(row, table.RecordCount())));
      if (progress.wasCanceled()) return false;  // the unfinished file goes
    }
    rowsWritten = row + 1;
  }
  file.write(text.str().data(), static_cast<qint64>(text.str().size()));
  if (!file.commit())
    throw std::runtime_error("Cannot write file \"" + QDir::toNativeSeparators(path).toStdString() +
                             "\". " + file.errorString().toStdString());
  return true;
}
