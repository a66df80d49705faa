// "Save structure to...": the structure of the selected alias's Paradox
// tables into a structure file, with the progress bar of the status bar.
#include <QFileInfo>
#include <QProgressBar>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTreeWidget>

#include "app/application.h"
#include "app/dmf.h"
#include "app/prompter.h"
#include "engine/dataset/dberror.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"
#include "structure/structurefile.h"

namespace {

const QString kFilters = "Text Files (*.txt);;INI Files (*.ini);;All Files (*)";
const QString kIniFilter = "INI Files (*.ini)";

// The extension a filter such as "Text Files (*.txt)" stands for, "" for all files.
QString FilterSuffix(const QString& filter) {
  static const QRegularExpression pattern(R"(\*\.(\w+))");
  const QRegularExpressionMatch m = pattern.match(filter);
  return m.hasMatch() ? m.captured(1) : QString();
}

}  // namespace

QString TParadoxfrm::askSaveFileName(const QString& title, const QString& dir) {
  const Prompter::FileChoice choice = prompter().saveFile(title, dir, kFilters, kIniFilter);
  if (choice.path.isEmpty() || !QFileInfo(choice.path).suffix().isEmpty()) return choice.path;
  const QString suffix = FilterSuffix(choice.filter);
  return choice.path + "." + (suffix.isEmpty() ? QString("ini") : suffix);
}

void TParadoxfrm::Savestructureto2Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || tree::Level(node) != 1) return;
  const QString alias = node->text(0);
  const QString path = askSaveFileName("Save structure to", QString());
  if (path.isEmpty()) return;
  try {
    OpenAliasDatabase(alias);
  } catch (const EDBEngineError&) {
    prompter().error("Can not open database " + alias);
    return;
  }
  tree::CollapseAll(node);
  ProgressBar->setValue(0);
  const BusyCursor busy;
  try {
    structure::SaveStructureToFile(DMF().aSession, DMF().aTable, alias, path,
                                   [this](int done, int total) {
                                     ProgressBar->setMaximum(total);
                                     ProgressBar->setValue(done);
                                     BusyCursor::keepPainting();
                                   });
  } catch (...) {
    ProgressBar->setValue(0);
    HandleException(std::current_exception());  // what was written stays in the file
    return;
  }
  ProgressBar->setValue(0);
  statusBar()->repaint();
}
