#include "explorer/paradoxfrm.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/aboutbox.h"
#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "compare/differentf.h"
#include "engine/dataset/dberror.h"
#include "explorer/archivef.h"
#include "explorer/backupf.h"
#include "explorer/treenodes.h"

namespace {

QString LongHint(const QString& hint) {
  const int bar = hint.indexOf('|');
  return bar < 0 ? hint : hint.mid(bar + 1);
}

QString ShortHint(const QString& hint) {
  const int bar = hint.indexOf('|');
  return bar < 0 ? hint : hint.left(bar);
}

}  // namespace

TParadoxfrm::TParadoxfrm(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Paradoxfrm");
  setWindowTitle("Quarrydesk");
  buildPages();
  buildMenus();
  buildToolBar();
  buildStatusBar();
  wireCommands();
  setWindowState(windowState() | Qt::WindowMaximized);
  FormCreate();
  DifferentF = new TDifferentF(this, this);
  ArchiveF = new TArchiveF(this);
  connect(ArchiveF, &TArchiveF::aliasAdded, this, [this](const QString& name) {
    const QSignalBlocker blocker(TreeView);
    tree::AddAliasNode(TreeView->topLevelItem(0), name);
    TreeView->topLevelItem(0)->sortChildren(0, Qt::AscendingOrder);
  });
}

namespace {

// The tree's label editor: whichever way an edit starts (F2, a slow click,
// the Rename command), the node remembers its text from before the edit, so
// that the end of the edit can rename what that text names.
class TreeLabelDelegate : public QStyledItemDelegate {
 public:
  explicit TreeLabelDelegate(QTreeWidget* tree) : QStyledItemDelegate(tree), tree_(tree) {}

  QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                        const QModelIndex& index) const override {
    if (QTreeWidgetItem* node = tree_->itemFromIndex(index)) {
      const QSignalBlocker blocker(tree_);
      node->setData(0, Qt::UserRole + 1, node->text(0));
    }
    return QStyledItemDelegate::createEditor(parent, option, index);
  }

 private:
  QTreeWidget* tree_;
};

}  // namespace

void TParadoxfrm::buildPages() {
  TreeView = new QTreeWidget;
  TreeView->setObjectName("TreeView");
  TreeView->setHeaderHidden(true);
  TreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  TreeView->setItemDelegate(new TreeLabelDelegate(TreeView));
  TreeView->installEventFilter(this);
  connect(TreeView, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* node) {
    if (!TreeViewExpanding(node)) node->setExpanded(false);
  });
  connect(TreeView, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* node) { if (node) TreeViewChange(node); });
  connect(TreeView, &QTreeWidget::itemChanged, this, &TParadoxfrm::itemChanged);
  TreePages = new QTabWidget;
  TreePages->setObjectName("TreePages");
  TreePages->addTab(TreeView, "Databases");
  connect(TreePages, &QTabWidget::currentChanged, this, [this] { TreePagesChange(); });
  buildIniViewer();

  PageControl = new QTabWidget;
  PageControl->setObjectName("PageControl");
  buildInformationPage();
  buildDataPage();
  TabSheet3 = new QWidget;
  TabSheet3->setObjectName("TabSheet3");
  buildSqlPage();
  PageControl->addTab(TabSheet1, "Information");
  PageControl->addTab(TabSheet2, "Data");
  PageControl->addTab(TabSheet3, "Enter SQL");
  auto* splitter = new QSplitter;
  splitter->addWidget(TreePages);
  splitter->addWidget(PageControl);
  splitter->setStretchFactor(1, 1);
  setCentralWidget(splitter);
}

void TParadoxfrm::buildInformationPage() {
  TabSheet1 = new QWidget;
  TabSheet1->setObjectName("TabSheet1");
  StringGrid = new QTableWidget(0, 2);
  StringGrid->setObjectName("StringGrid");
  StringGrid->verticalHeader()->hide();
  StringGrid->horizontalHeader()->setDefaultSectionSize(150);
  StringGrid->verticalHeader()->setDefaultSectionSize(20);
  StringGrid->setColumnWidth(0, 295);
  StringGrid->setColumnWidth(1, 413);
  StringGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  StringGrid->installEventFilter(this);
  connect(StringGrid, &QTableWidget::currentCellChanged, this,
          [this](int row, int column) { StringGridSelectCell(row, column); });
  connect(StringGrid->horizontalHeader(), &QHeaderView::sectionResized, this,
          &TParadoxfrm::placeAliasEditors);
  connect(StringGrid->verticalScrollBar(), &QScrollBar::valueChanged, this,
          &TParadoxfrm::placeAliasEditors);
  connect(StringGrid->horizontalScrollBar(), &QScrollBar::valueChanged, this,
          &TParadoxfrm::placeAliasEditors);
  ListView1 = new QTreeWidget;
  ListView1->setObjectName("ListView1");
  ListView1->setRootIsDecorated(false);
  ListView1->setSortingEnabled(true);
  ListView1->sortByColumn(0, Qt::AscendingOrder);
  ListView1->hide();
  connect(ListView1, &QTreeWidget::itemDoubleClicked, this, [this] { ListView1DblClick(); });
  SQLPanel = new QWidget;
  SQLPanel->setObjectName("SQLPanel");
  SQLRichEdit = new QPlainTextEdit(SQLPanel);
  SQLRichEdit->setObjectName("SQLRichEdit");
  SQLRichEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));  // QBE columns line up
  (new QVBoxLayout(SQLPanel))->addWidget(SQLRichEdit);
  SQLPanel->hide();
  auto* layout = new QVBoxLayout(TabSheet1);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(StringGrid);
  layout->addWidget(ListView1);
  layout->addWidget(SQLPanel);
  buildQueryFileBar();
}

QAction* TParadoxfrm::command(const QString& name) const { return findChild<QAction*>(name); }

QAction* TParadoxfrm::addCommand(QWidget* menu, const QString& name, const QString& caption,
                                 const QString& hint, const QString& shortcut) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  if (!shortcut.isEmpty()) action->setShortcut(QKeySequence(shortcut));
  if (!hint.isEmpty()) {
    action->setProperty("hint", hint);
    action->setToolTip(ShortHint(hint));
    action->setStatusTip(LongHint(hint));
  }
  connect(action, &QAction::hovered, this, [this, action] {
    MyHint(action->property("hint").toString());
  });
  menu->addAction(action);
  return action;
}

QMenu* TParadoxfrm::addSubmenu(QMenu* menu, const QString& name, const QString& caption) {
  QMenu* sub = menu->addMenu(caption);
  sub->setObjectName(name);
  sub->menuAction()->setObjectName(name + "Item");
  return sub;
}

// Connects a command to its handler (replacing any earlier one).
template <typename Slot>
static void Handle(TParadoxfrm* form, QAction* action, Slot slot) {
  QObject::disconnect(action, &QAction::triggered, form, nullptr);
  QObject::connect(action, &QAction::triggered, form, slot);
}

void TParadoxfrm::buildMenus() {
  QMenu* main = menuBar()->addMenu("&Main");
  main->setObjectName("Main1");
  addCommand(main, "Findintree1", "Find in &tree");
  addCommand(main, "Refreshtree1", "Re&fresh tree");
  addCommand(main, "OpenINIFile1", "Open &INI File");
  QMenu* dirs = addSubmenu(main, "Setdirectory1", "Set directory");
  Handle(this, addCommand(dirs, "Setnetdirectory1", "Set net directory"),
         &TParadoxfrm::Setnetdirectory1Click);
  Handle(this, addCommand(dirs, "Setprivatedirectory1", "Set private directory"),
         &TParadoxfrm::Setprivatedirectory1Click);
  QMenu* passwords = addSubmenu(main, "Passwords1", "&Passwords");
  Handle(this, addCommand(passwords, "Add1", "&Add"), &TParadoxfrm::Add1Click);
  Handle(this, addCommand(passwords, "Remove1", "&Remove"), &TParadoxfrm::Remove1Click);
  Handle(this, addCommand(passwords, "Removeall1", "Remo&ve all"), &TParadoxfrm::Removeall1Click);
  Handle(this, addCommand(main, "Exit1", "&Exit"), &TParadoxfrm::Exit1Click);

  QMenu* dbs = menuBar()->addMenu("&Databases");
  dbs->setObjectName("Databases1");
  dbs->menuAction()->setObjectName("Databases1Item");
  addCommand(dbs, "Open1", "Open");
  addCommand(dbs, "Close1", "Close");
  addCommand(dbs, "New1", "&New");
  addCommand(dbs, "Delete1", "&Delete");
  QAction* compare = addCommand(dbs, "Comparewith1", "&Compare with...");
  disconnect(compare, &QAction::triggered, this, nullptr);  // does nothing
  addCommand(dbs, "Savestructureto1", "Save structure to...", QString(), "Ctrl+S");
  addCommand(dbs, "Empty1", "&Empty");
  addCommand(dbs, "Archivecopy1", "&Archive copy");
  addCommand(dbs, "Backupcopies1", "Backup copies");
  addCommand(dbs, "ExporttoSQLite1", "Export to SQLite...");

  QMenu* tables = menuBar()->addMenu("Ta&bles");
  tables->setObjectName("Tables1");
  tables->menuAction()->setObjectName("Tables1Item");
  addCommand(tables, "NewTable1", "&New");
  addCommand(tables, "Restructure1", "&Restructure");
  QMenu* utils = addSubmenu(tables, "Utils1", "&Utils");
  addCommand(utils, "EmptyTable1", "&Empty");
  addCommand(utils, "CopyTable1", "&Copy");
  addCommand(utils, "PackTable1", "&Pack");
  addCommand(utils, "RenameTable1", "&Rename");
  addCommand(utils, "Removelookuplinks1", "Remove lookup links");

  TreePopup = new QMenu(this);
  TreePopup->setObjectName("TreePopup");
  addCommand(TreePopup, "OpenNode", "&Open");
  addCommand(TreePopup, "CloseNode", "&Close");
  addCommand(TreePopup, "ApplyNode", "&Apply");
  addCommand(TreePopup, "CancelNode", "Ca&ncel");
  // Ctrl+Del works while the tree has the focus.
  QAction* deleteNode = addCommand(TreePopup, "DeleteNode", "&Delete", QString(), "Ctrl+Del");
  deleteNode->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  TreeView->addAction(deleteNode);
  addCommand(TreePopup, "RefreshNode", "Refresh");
  QMenu* tableUtils = addSubmenu(TreePopup, "Tableutilites1", "Table utilites");
  for (const char* c : {"New", "Empty", "Copy", "Pack", "Rename", "Restructure"})
    addCommand(tableUtils, QString("Table") + c + "Popup", c);
  QMenu* dbUtils = addSubmenu(TreePopup, "Databaseutilites1", "Database utilites");
  addCommand(dbUtils, "NewaliasPopup", "New alias");
  addCommand(dbUtils, "ArchivebatchmovePopup", "Archive batch move...");
  addCommand(dbUtils, "EmptyDatabasePopup", "Empty");
  addCommand(dbUtils, "ComparewithPopup", "Compare with...");
  // Only shown here: the menu bar's item of the same command owns Ctrl+S, and
  // two live actions on one key would make it ambiguous.
  addCommand(dbUtils, "SavestructuretoPopup", "Save structure to...", QString(), "Ctrl+S")
      ->setShortcutContext(Qt::WidgetShortcut);
  addCommand(dbUtils, "BackupcopiesPopup", "Backup copies...");
  addCommand(dbUtils, "ExporttoSQLitePopup", "Export to SQLite...");
  TreeView->setContextMenuPolicy(Qt::CustomContextMenu);
  // The popup comes up by itself for the root, aliases, tables and query files.
  connect(TreeView, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    QTreeWidgetItem* node = TreeView->itemAt(pos);
    const int level = node ? tree::Level(node) : -1;
    if (level == 0 || level == 1 || level == 3)
      TreePopup->popup(TreeView->viewport()->mapToGlobal(pos));
  });

  QMenu* help = menuBar()->addMenu("&Help");
  help->setObjectName("Help1");
  Handle(this, addCommand(help, "About1", "&About"), [] {
    TAboutBox box;
    prompter().exec(box);
  });

  GridPopup = new QMenu(this);
  GridPopup->setObjectName("GridPopup");
  addCommand(GridPopup, "Order1", "Order...");
  addCommand(GridPopup, "Filter1", "Filter...");
  addCommand(GridPopup, "Round1", "Round...");
  addCommand(GridPopup, "ExporttoCSV1", "Export to CSV...");
}

void TParadoxfrm::buildToolBar() {
  ToolBar1 = addToolBar("Main");
  ToolBar1->setObjectName("ToolBar1");
  addCommand(ToolBar1, "OpenCloseBtn", "Open/Close database",
             "Open/Close database|Open or close selected database");
  addCommand(ToolBar1, "RefreshBtn", "Refresh", "Refresh|Rebuild tree begining from selected node");
  addCommand(ToolBar1, "CompareBtn", "Compare", "Compare|Compare database with another or INI file");
  addCommand(ToolBar1, "TreeSearchBtn", "Find in tree", "Find in tree");
  addCommand(ToolBar1, "RstrctBtn", "Restructure table", "Restructure table");
  addCommand(ToolBar1, "DelBtn", "Delete", "Delete|Delete database, table or index");
  addCommand(ToolBar1, "CancelBtn", "Cancel edits", "Cancel edits|Cancel all edits");
  addCommand(ToolBar1, "ApplyBtn", "Apply edits", "Apply edits|Apply all edits");
}

void TParadoxfrm::wireCommands() {
  const auto on = [this](const char* name, void (TParadoxfrm::*slot)()) {
    Handle(this, command(name), slot);
  };
  on("Findintree1", &TParadoxfrm::Findintree1Click);
  on("TreeSearchBtn", &TParadoxfrm::Findintree1Click);
  on("Refreshtree1", &TParadoxfrm::Refresh1Click);
  on("RefreshNode", &TParadoxfrm::Refresh1Click);
  on("RefreshBtn", &TParadoxfrm::RebuildBtnClick);
  on("Delete1", &TParadoxfrm::DeleteItemClick);
  on("DeleteNode", &TParadoxfrm::DeleteItemClick);
  on("DelBtn", &TParadoxfrm::DeleteItemClick);
  on("RenameTable1", &TParadoxfrm::Rename1Click);
  on("TableRenamePopup", &TParadoxfrm::Rename1Click);
  on("CompareBtn", &TParadoxfrm::CompareBtnClick);
  on("Savestructureto1", &TParadoxfrm::Savestructureto2Click);
  on("SavestructuretoPopup", &TParadoxfrm::Savestructureto2Click);
  on("ComparewithPopup", &TParadoxfrm::CompareBtnClick);
  on("Backupcopies1", &TParadoxfrm::Backupcopies1Click);
  on("BackupcopiesPopup", &TParadoxfrm::Backupcopies1Click);
  on("Archivecopy1", &TParadoxfrm::Addtoarchive1Click);
  on("ArchivebatchmovePopup", &TParadoxfrm::Addtoarchive1Click);
  on("ExporttoSQLite1", &TParadoxfrm::ExporttoSQLite1Click);
  on("ExporttoSQLitePopup", &TParadoxfrm::ExporttoSQLite1Click);
  on("OpenINIFile1", &TParadoxfrm::OpenINIfile1Click);
  on("AsText1", &TParadoxfrm::AsText1Click);
  on("AsTree1", &TParadoxfrm::AsTree1Click);
  on("Save1", &TParadoxfrm::Save1Click);
  on("Close2", &TParadoxfrm::Close2Click);
  const auto open = [this] { if (TreeView->currentItem()) OpenAliasDatabase(TreeView->currentItem()->text(0)); };
  const auto close = [this] { if (TreeView->currentItem()) CloseAliasDatabase(TreeView->currentItem()->text(0)); };
  for (const char* name : {"Open1", "OpenNode"}) Handle(this, command(name), open);
  for (const char* name : {"Close1", "CloseNode"}) Handle(this, command(name), close);
  QAction* openClose = command("OpenCloseBtn");
  openClose->setCheckable(true);
  Handle(this, openClose, &TParadoxfrm::OpenCloseBtnClick);
  for (const char* name : {"New1", "NewaliasPopup"}) on(name, &TParadoxfrm::Alias1Click);
  for (const char* name : {"NewTable1", "TableNewPopup"}) on(name, &TParadoxfrm::Table1Click);
  for (const char* name : {"Restructure1", "TableRestructurePopup", "RstrctBtn"})
    on(name, &TParadoxfrm::Restructure1Click);
  for (const char* name : {"ApplyBtn", "ApplyNode"}) on(name, &TParadoxfrm::ApplyBtnClick);
  for (const char* name : {"CancelBtn", "CancelNode"}) on(name, &TParadoxfrm::CancelBtnClick);
  setAliasEditsEnabled(false);
  wireDataCommands();
}

void TParadoxfrm::buildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName("StatusBar1");
  bar->setSizeGripEnabled(false);
  const int widths[3] = {200, 200, 300};
  for (int i = 0; i < 3; ++i) {
    panels_[i] = new QLabel;
    panels_[i]->setObjectName(QString("StatusPanel%1").arg(i));
    panels_[i]->setFixedWidth(widths[i]);
    bar->addWidget(panels_[i]);
  }
  progressPanel_ = new QWidget;
  progressPanel_->setObjectName("StatusPanel3");
  progressPanel_->setFixedWidth(200);
  progressPanel_->installEventFilter(this);
  bar->addWidget(progressPanel_);
}

void TParadoxfrm::FormCreate() {
  if (!ProgressBar) {
    ProgressBar = new QProgressBar(progressPanel_);
    ProgressBar->setObjectName("ProgressBar");
    ProgressBar->setTextVisible(false);
    ProgressBar->setValue(0);
  }
  engine::TSession& session = DMF().aSession;
  const QSignalBlocker blocker(TreeView);
  TreeView->clear();
  auto* root = new QTreeWidgetItem(TreeView, {"DataBases"});
  tree::SetImage(root, tree::RootImage);
  root->setExpanded(true);
  // An engine failure is reported and leaves the tree as far as it was built.
  try {
    session.Open();
    std::vector<std::string> names = session.GetAliasNames();
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (session.GetAliasDriverName(name) != "STANDARD") continue;
      tree::AddAliasNode(root, QString::fromStdString(name));
    }
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
  }
}

void TParadoxfrm::MyHint(const QString& hint) { panels_[2]->setText(LongHint(hint)); }

QString TParadoxfrm::panelText(int index) const { return panels_[index]->text(); }

void TParadoxfrm::setPanelText(int index, const QString& text) { panels_[index]->setText(text); }

void TParadoxfrm::StatusBar1DrawPanel() {
  if (ProgressBar) ProgressBar->setGeometry(progressPanel_->rect());
}

bool TParadoxfrm::eventFilter(QObject* watched, QEvent* event) {
  if (watched == progressPanel_ &&
      (event->type() == QEvent::Paint || event->type() == QEvent::Resize))
    StatusBar1DrawPanel();
  if (watched == TreeView && event->type() == QEvent::KeyRelease)
    TreeViewKeyUp(static_cast<QKeyEvent*>(event));
  if (watched == DBGrid1 && event->type() == QEvent::FocusIn) DBGrid1Enter();
  if (watched == DBGrid1 && event->type() == QEvent::KeyRelease) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_F && key->modifiers() == Qt::ControlModifier) openFindDialog();
  }
  if (watched == DBGrid1 && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
    copyGridSelection();
    return true;
  }
  if (watched == DBGrid1 && event->type() == QEvent::FocusOut) gridEntered_ = false;
  if (watched == StringGrid && event->type() == QEvent::FocusOut) StringGridExit();
  return QMainWindow::eventFilter(watched, event);
}

bool TParadoxfrm::event(QEvent* event) {
  // Status tips go to the hint panel, not over the whole status bar.
  if (event->type() == QEvent::StatusTip) {
    MyHint(static_cast<QStatusTipEvent*>(event)->tip());
    return true;
  }
  return QMainWindow::event(event);
}

void TParadoxfrm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  TreeView->setFocus();
}

void TParadoxfrm::closeEvent(QCloseEvent* event) {
  try {
    DMF().aSession.Close();
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
  }
  QMainWindow::closeEvent(event);
}

void TParadoxfrm::Backupcopies1Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  if (!node || tree::Level(node) != 1) return;
  CurrentAliasName = node->text(0);
  TBackupF dialog(this);
  prompter().exec(dialog);
}

void TParadoxfrm::Addtoarchive1Click() {
  QTreeWidgetItem* node = TreeView->currentItem();
  QTreeWidgetItem* alias = node ? tree::AliasNode(node) : nullptr;
  if (!alias) {
    prompter().inform("Select an alias in the tree first: the archive moves that alias's tables.");
    return;
  }
  ArchiveF->ShowFor(alias->text(0));
}


void TParadoxfrm::Exit1Click() { close(); }

void TParadoxfrm::Add1Click() { PromptForPassword("Add password to session"); }

void TParadoxfrm::Remove1Click() { PromptForPassword("Remove Password From Current Session"); }

void TParadoxfrm::Removeall1Click() { DMF().aSession.RemoveAllPasswords(); }

void TParadoxfrm::Setnetdirectory1Click() {
  engine::TSession& session = DMF().aSession;
  auto text = prompter().input("Set Net Directory", "Net directory:",
                               QString::fromStdString(session.NetFileDir()), false);
  if (!text) return;
  try {
    session.SetNetFileDir(text->toStdString());
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
  }
}

void TParadoxfrm::Setprivatedirectory1Click() {
  engine::TSession& session = DMF().aSession;
  auto text = prompter().input("Set Private Directory", "Private directory:",
                               QString::fromStdString(session.PrivateDir()), false);
  if (!text) return;
  try {
    session.SetPrivateDir(text->toStdString());
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
  }
}
