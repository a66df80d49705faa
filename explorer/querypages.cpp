// The query pages: "Enter SQL" (a statement against the current database,
// its history, load and save) and the editor of a stored query file (.sql or
// .qbe: run, live answer, close, save the text, save the answer as a table).
// Answers show in lazy grids like the data page's.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "engine/dataset/dberror.h"
#include "engine/config/config.h"
#include "engine/errors.h"
#include "explorer/datagrid.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

namespace {

QTableView* NewAnswerGrid(const char* name, TableGridModel* model) {
  auto* grid = new QTableView;
  grid->setObjectName(name);
  grid->verticalHeader()->setDefaultSectionSize(20);
  grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  grid->setModel(model);
  grid->hide();
  return grid;
}

QAction* AddTool(QToolBar* bar, const char* name, const QString& text, const QString& tip) {
  QAction* action = bar->addAction(text);
  action->setObjectName(name);
  action->setToolTip(tip);
  return action;
}

// The engine's progress goes to the page that runs a query, for the time
// of the run.
class ProgressScope {
 public:
  explicit ProgressScope(engine::GenProgressCallback callback) {
    engine::RegisterGenProgress(std::move(callback));
  }
  ~ProgressScope() { engine::RegisterGenProgress({}); }
};

QString Lines(const QPlainTextEdit* edit) { return edit->toPlainText(); }

}  // namespace

void TParadoxfrm::buildSqlPage() {
  ToolBar3 = new QToolBar;
  ToolBar3->setObjectName("ToolBar3");
  connect(AddTool(ToolBar3, "RunSQLQryBtn", "Run", "Run"), &QAction::triggered, this,
          &TParadoxfrm::ToolButton7Click);
  connect(AddTool(ToolBar3, "LoadSQLBtn", "Load", "Load from file"), &QAction::triggered, this,
          &TParadoxfrm::LoadSQLBtnClick);
  connect(AddTool(ToolBar3, "SaveSQLBtn", "Save", "Save"), &QAction::triggered, this,
          &TParadoxfrm::SaveSQLBtnClick);
  connect(AddTool(ToolBar3, "PrvSQLBtn", "Previous", "Previos"), &QAction::triggered, this,
          &TParadoxfrm::PrvSQLBtnClick);
  connect(AddTool(ToolBar3, "NxtSQLBtn", "Next", "Next"), &QAction::triggered, this,
          &TParadoxfrm::NxtSQLBtnClick);
  QAction* run = ToolBar3->actions().first();
  run->setShortcut(QKeySequence(Qt::Key_F9));
  run->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  SQLStatusBar = new QStatusBar;
  SQLStatusBar->setObjectName("QStatusBar");
  SQLStatusBar->setSizeGripEnabled(false);
  LocalSQLMemo = new QPlainTextEdit;
  LocalSQLMemo->setObjectName("LocalSQLMemo");
  LocalSQLMemo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  LocalSQLMemo->setPlaceholderText(
      "Type an SQL statement on the tables of the selected alias, then press Run (F9).\n"
      "Example: SELECT * FROM \"customer.db\" WHERE City = 'Bristol'");
  SQLModel = new TableGridModel(DMF().Query.Answer(), this);
  SQLGrid = NewAnswerGrid("SQLGrid", SQLModel);
  auto* splitter = new QSplitter(Qt::Vertical);
  splitter->addWidget(LocalSQLMemo);
  splitter->addWidget(SQLGrid);
  auto* layout = new QVBoxLayout(TabSheet3);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(ToolBar3);
  layout->addWidget(splitter, 1);
  layout->addWidget(SQLStatusBar);
}

void TParadoxfrm::buildQueryFileBar() {
  ToolBar2 = new QToolBar;
  ToolBar2->setObjectName("ToolBar2");
  connect(AddTool(ToolBar2, "SQLToolBtn", "Run", "Run query"), &QAction::triggered, this,
          &TParadoxfrm::SQLToolBtnClick);
  QAction* live = AddTool(ToolBar2, "FLiveQryBtn", "Live", "Live query");
  live->setCheckable(true);
  connect(AddTool(ToolBar2, "ToolButton15", "Close", "Close query"), &QAction::triggered, this,
          &TParadoxfrm::ToolButton15Click);
  QAction* save = AddTool(ToolBar2, "SaveBtn", "Save", "Save query text");
  connect(save, &QAction::triggered, this, &TParadoxfrm::ToolButton16Click);
  QAction* saveResult = AddTool(ToolBar2, "SaveRsltBtn", "Save result", "Save query result");
  connect(saveResult, &QAction::triggered, this, &TParadoxfrm::SaveRsltBtnClick);
  save->setEnabled(false);
  saveResult->setEnabled(false);
  FQStatusBar = new QStatusBar;
  FQStatusBar->setObjectName("FQStatusBar");
  FQStatusBar->setSizeGripEnabled(false);
  FQueryModel = new TableGridModel(DMF().FileQuery.Answer(), this);
  FQueryGrid = NewAnswerGrid("FQueryGrid", FQueryModel);
  connect(SQLRichEdit, &QPlainTextEdit::textChanged, this, &TParadoxfrm::SQLRichEditChange);
  auto* layout = static_cast<QVBoxLayout*>(SQLPanel->layout());
  layout->insertWidget(0, ToolBar2);
  layout->addWidget(FQueryGrid, 1);
  layout->addWidget(FQStatusBar);
}

int TParadoxfrm::cbGenMsg(std::int16_t, const std::string& message) {
  QStatusBar* status = ProgressToFileEditor ? FQStatusBar : SQLStatusBar;
  status->showMessage(QString::fromStdString(message));
  QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  return 1;
}

// Whether a statement answers rows is the engine's to say: a SELECT that
// mentions DELETED still shows its answer.
bool TParadoxfrm::runQuery(engine::TQuery& query, QStatusBar* status) {
  ProgressScope progress([this](std::int16_t percent, const std::string& message) {
    return cbGenMsg(percent, message);
  });
  QApplication::setOverrideCursor(Qt::WaitCursor);
  status->clearMessage();
  bool answered = false;
  try {
    answered = query.Run();
  } catch (...) {
    QApplication::restoreOverrideCursor();
    throw;
  }
  QApplication::restoreOverrideCursor();
  const std::int64_t rows = query.RowCount();
  if (answered)
    status->showMessage(rows >= 0 ? QString("%1 rows").arg(rows) : QString());
  else
    status->showMessage(QString("%1 records changed").arg(std::max<std::int64_t>(rows, 0)));
  return answered;
}

// "Enter SQL".

void TParadoxfrm::ToolButton7Click() {
  engine::TQuery& query = DMF().Query;
  query.Close();
  SQLGrid->hide();
  SQLModel->reload();
  QTreeWidgetItem* node = TreeView->currentItem();
  QTreeWidgetItem* alias = node ? tree::AliasNode(node) : nullptr;
  query.SetDatabaseName((alias ? alias->text(0) : CurrentAliasName).toStdString());
  query.SetSQL(Lines(LocalSQLMemo).toStdString());
  ProgressToFileEditor = false;
  try {
    const bool answered = runQuery(query, SQLStatusBar);
    SQLModel->reload();
    SQLGrid->setVisible(answered);
  } catch (const std::exception& e) {
    SQLStatusBar->showMessage(QString::fromUtf8(e.what()));
    prompter().error(QString::fromUtf8(e.what()));
  }
}

void TParadoxfrm::LoadSQLBtnClick() {
  const QString path = prompter()
                           .openFile("Open SQL File",
                                     QString(), "TXT files (*.txt);;SQL files(*.sql);;All files (*.*)")
                           .path;
  if (path.isEmpty()) return;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    prompter().error("Cannot open file \"" + QDir::toNativeSeparators(path) + "\". " +
                     file.errorString());
    return;
  }
  LocalSQLMemo->setPlainText(QString::fromUtf8(file.readAll()));
}

void TParadoxfrm::SaveSQLBtnClick() {
  QString path = prompter()
                     .saveFile("Save To", CurrentAliasPath, "SQL File (*.sql);;Text File (*.txt)")
                     .path;
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".sql";
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(Lines(LocalSQLMemo).toUtf8()) < 0 ||
      !file.commit())
    prompter().error("Cannot save \"" + QDir::toNativeSeparators(path) + "\". " + file.errorString());
}

void TParadoxfrm::NxtSQLBtnClick() {
  if (const auto text = QueryHistory_.Next(Lines(LocalSQLMemo))) LocalSQLMemo->setPlainText(*text);
}

void TParadoxfrm::PrvSQLBtnClick() {
  if (const auto text = QueryHistory_.Previous(Lines(LocalSQLMemo))) LocalSQLMemo->setPlainText(*text);
}

// The query file editor.

// The selected query file, in its alias's directory.
QString TParadoxfrm::queryFilePath() const {
  QTreeWidgetItem* node = TreeView->currentItem();
  QTreeWidgetItem* alias = node ? tree::AliasNode(node) : nullptr;
  if (!alias) return {};
  engine::DatabaseDesc desc;
  engine::Check(engine::GetDatabaseDesc(alias->text(0).toStdString(), desc));
  return QDir(QString::fromStdString(desc.physicalPath)).filePath(node->text(0));
}

void TParadoxfrm::SQLToolBtnClick() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node) return;
  const QString suffix = QFileInfo(node->text(0)).suffix().toUpper();
  const bool qbe = suffix == "QBE";
  if (!qbe && suffix != "SQL") return;
  engine::TQuery& query = qbe ? static_cast<engine::TQuery&>(DMF().mQBE) : DMF().FileQuery;
  ToolButton15Click();
  FQueryModel->table().Close();
  query.SetDatabaseName(tree::AliasNode(node)->text(0).toStdString());
  query.SetRequestLive(command("FLiveQryBtn")->isChecked());
  query.SetSQL(Lines(SQLRichEdit).toStdString());
  ProgressToFileEditor = true;
  try {
    const bool answered = runQuery(query, FQStatusBar);
    delete FQueryModel;
    FQueryModel = new TableGridModel(query.Answer(), this);
    FQueryGrid->setModel(FQueryModel);
    FQueryGrid->setVisible(answered);
    command("SaveRsltBtn")->setEnabled(answered);
  } catch (const std::exception& e) {
    FQStatusBar->showMessage(QString::fromUtf8(e.what()));
    prompter().error(QString::fromUtf8(e.what()));
  }
}

void TParadoxfrm::ToolButton15Click() {
  DMF().FileQuery.Close();
  DMF().mQBE.Close();
  FQueryModel->reload();
  FQueryGrid->hide();
  command("SaveRsltBtn")->setEnabled(false);
}

void TParadoxfrm::SQLRichEditChange() {
  if (QAction* save = command("SaveBtn")) save->setEnabled(true);
}

void TParadoxfrm::ToolButton16Click() {
  const QString path = queryFilePath();
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(Lines(SQLRichEdit).toUtf8()) < 0 ||
      !file.commit()) {
    prompter().error("Cannot save \"" + QDir::toNativeSeparators(path) + "\". " + file.errorString());
    return;
  }
  command("SaveBtn")->setEnabled(false);
}

void TParadoxfrm::SaveRsltBtnClick() {
  engine::TQuery& query = DMF().mQBE.Active() ? static_cast<engine::TQuery&>(DMF().mQBE) : DMF().FileQuery;
  const Prompter::FileChoice choice = prompter().saveFile(
      "Save File To", CurrentAliasPath, "Paradox tables (*.db);;dBase tables (*.dbf)");
  if (choice.path.isEmpty()) return;
  const bool dbase = choice.filter.contains("dbf", Qt::CaseInsensitive);
  QString path = choice.path;
  if (QFileInfo(path).suffix().isEmpty()) path += dbase ? ".DBF" : ".DB";
  const std::string type = dbase ? "DBASE" : "PARADOX";
  try {
    query.SaveAnswer(path.toStdString(), type, false);
  } catch (const EDBEngineError& e) {
    if (e.code() != engine::ErrAnswerTableExists) {
      prompter().error(QString::fromUtf8(e.what()));
      return;
    }
    const bool replace =
        prompter().message(Prompter::Icon::Warning, QString(),
                           path + "This table already exists.\r\rReplace existing table?",
                           Prompter::Button::Yes | Prompter::Button::No) == Prompter::Button::Yes;
    if (!replace) {
      prompter().error(QString::fromUtf8(e.what()));
      return;
    }
    try {
      query.SaveAnswer(path.toStdString(), type, true);
    } catch (const EDBEngineError& again) {
      prompter().error(QString::fromUtf8(again.what()));
    }
  }
}
