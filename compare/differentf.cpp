#include "compare/differentf.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/application.h"
#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "app/textfile.h"
#include "compare/apply.h"
#include "compare/operf.h"
#include "compare/restoptf.h"
#include "engine/dataset/dberror.h"
#include "explorer/backupf.h"
#include "explorer/paradoxfrm.h"

namespace {

constexpr int ImageRole = Qt::UserRole + 1;

QIcon Image(int index) {
  static const QStyle::StandardPixmap pixmaps[] = {
      QStyle::SP_DriveHDIcon, QStyle::SP_FileIcon, QStyle::SP_DirIcon,
      QStyle::SP_MessageBoxCritical};
  return QApplication::style()->standardIcon(pixmaps[index < 0 || index > 3 ? 1 : index]);
}

QTreeWidgetItem* AddNode(QTreeWidgetItem* parent, const compare::ResultNode& node) {
  auto* item = new QTreeWidgetItem(parent, {node.text});
  item->setData(0, ImageRole, node.image);
  item->setIcon(0, Image(node.image));
  for (const compare::ResultNode& child : node.children) AddNode(item, child);
  return item;
}

// The engine's text after "TABLE=" in the error list, if it names `table`.
std::optional<QString> ErrorOf(const QStringList& errors, const QString& table) {
  for (const QString& line : errors)
    if (line.section('=', 0, 0) == table) return line.section('=', 1);
  return std::nullopt;
}

// Questions and reports of the application: through the prompter, or, for a
// preview, the reports into a plan.
class WindowDialogue : public compare::ApplyDialogue {
 public:
  WindowDialogue(TDifferentF& window, QStringList* plan) : window_(window), plan_(plan) {}

  int askFieldMapping(const QStringList& fields, const QString& table,
                      const QString& field) override {
    return AskFieldMapping(fields, table, field);
  }
  bool confirm(const QString& question) override { return prompter().confirm(question); }
  void inform(const QString& message) override {
    QString text = message;
    text.replace('\r', '\n');
    if (plan_)
      *plan_ << text;
    else
      prompter().inform(text);
  }
  QString askPassword(const QString& prompt) override {
    return PromptForPassword(prompt) ? LastPassword : QString();
  }
  void starting(const QString&, int index, int total) override { window_.stepTo(index, total); }

 private:
  TDifferentF& window_;
  QStringList* plan_;
};

}  // namespace

TDifferentF::TDifferentF(TParadoxfrm* explorer, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowStaysOnTopHint),
      explorer_(explorer),
      OrigTB(DMF().aSession),
      CompareTB(DMF().aSession) {
  setObjectName("DifferentF");
  setWindowTitle("Comparing two ailases");
  for (engine::TTable* table : {&OrigTB, &CompareTB})
    table->BeforeOpen = [](engine::TTable& t) {
      PasswordPromptCaption = QString::fromStdString(t.DatabaseName()) + ": " +
                              QString::fromStdString(t.TableName());
    };
  buildActions();
  buildMenus();
  buildToolBar();
  buildBody();
  buildStatusBar();
  resize(821, 620);
}

TDifferentF::~TDifferentF() = default;

QAction* TDifferentF::addAction(const char* name, const QString& caption, const QString& hint,
                                const QKeySequence& shortcut) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  if (!hint.isEmpty()) action->setToolTip(hint);
  if (!shortcut.isEmpty()) action->setShortcut(shortcut);
  return action;
}

void TDifferentF::buildActions() {
  LoadINIBtn = addAction("LoadINIBtn", "Open INI", "Load data from INI file");
  LoadINIBtn->setCheckable(true);
  connect(LoadINIBtn, &QAction::triggered, this, &TDifferentF::LoadINIBtn1Click);
  OptionsBtn = addAction("OptionsBtn", "Options", "Restructure options");
  connect(OptionsBtn, &QAction::triggered, this, &TDifferentF::Restructureoptions1Click);
  ErrDebugBtn = addAction("ErrDebugBtn", "Error Info", "Error info");
  ErrDebugBtn->setCheckable(true);
  ErrDebugBtn->setChecked(true);
  connect(ErrDebugBtn, &QAction::triggered, this, &TDifferentF::ErrDebugBtnClick);
  CompareBtn = addAction("CompareBtn", "Compare", "Start compare");
  connect(CompareBtn, &QAction::triggered, this, &TDifferentF::SpeedButton1Click);
  PreviewBtn = addAction("PreviewBtn", "Preview", "What Apply would do, changing nothing");
  connect(PreviewBtn, &QAction::triggered, this, &TDifferentF::PreviewBtnClick);
  ApplyBtn = addAction("ApplyBtn", "Apply", "Apply");
  connect(ApplyBtn, &QAction::triggered, this, &TDifferentF::ApplyAllBtn1Click);
  CloseBtn = addAction("CloseBtn", "Close", "Close");
  connect(CloseBtn, &QAction::triggered, this, &QWidget::close);

  Loaddatafromfile1 = addAction("Loaddatafromfile1", "Load data from file", {}, Qt::CTRL | Qt::Key_O);
  connect(Loaddatafromfile1, &QAction::triggered, this, &TDifferentF::LoadDataFromFileClick);
  Getstartingcompare1 = addAction("Getstartingcompare1", "Get starting compare", {}, Qt::Key_F9);
  connect(Getstartingcompare1, &QAction::triggered, this, &TDifferentF::SpeedButton1Click);
  Restructureoptions1 = addAction("Restructureoptions1", "Restructure options", {}, Qt::CTRL | Qt::Key_P);
  connect(Restructureoptions1, &QAction::triggered, this, &TDifferentF::Restructureoptions1Click);
  Applyrestructuretoall1 =
      addAction("Applyrestructuretoall1", "Apply restructure to all", {}, Qt::CTRL | Qt::Key_F9);
  connect(Applyrestructuretoall1, &QAction::triggered, this, &TDifferentF::ApplyAllBtn1Click);
  Errorinfo1 = addAction("Errorinfo1", "Error info");
  Errorinfo1->setCheckable(true);
  Errorinfo1->setChecked(true);
  connect(Errorinfo1, &QAction::triggered, this, &TDifferentF::ErrDebugBtnClick);
  Stayontop1 = addAction("Stayontop1", "Stay on top");
  Stayontop1->setCheckable(true);
  Stayontop1->setChecked(true);
  connect(Stayontop1, &QAction::triggered, this, &TDifferentF::Stayontop1Click);
  Close2 = addAction("Close2", "&Close");
  connect(Close2, &QAction::triggered, this, &QWidget::close);

  delee1 = addAction("delee1", "&Delete", {}, Qt::CTRL | Qt::Key_Delete);
  delee1->setShortcutContext(Qt::WidgetShortcut);  // the tree's own key handles it
  connect(delee1, &QAction::triggered, this, &TDifferentF::delee1Click);
  Viewtext1 = addAction("Viewtext1", "View text");
  connect(Viewtext1, &QAction::triggered, this, &TDifferentF::Viewtext1Click);
  Save1 = addAction("Save1", "Save");
  connect(Save1, &QAction::triggered, this, &TDifferentF::Save1Click);
  Close1 = addAction("Close1", "Close");
  connect(Close1, &QAction::triggered, this, &TDifferentF::Close1Click);
}

void TDifferentF::buildMenus() {
  QMenu* commands = menuBar()->addMenu("&Comands");
  commands->setObjectName("Comands1");
  Selectalias1 = commands->addMenu("&Select alias");
  Selectalias1->setObjectName("Selectalias1");
  commands->addActions({Loaddatafromfile1, Getstartingcompare1, Restructureoptions1,
                        Applyrestructuretoall1, Errorinfo1, Stayontop1});
  commands->addSeparator();
  commands->addAction(Close2);

  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  PopupMenu1->addAction(delee1);
  PopupMenu1->addSeparator();
  PopupMenu1->addAction(Viewtext1);
  connect(PopupMenu1, &QMenu::aboutToShow, this, [this] { Viewtext1->setEnabled(fileMode()); });
  TextPopup = new QMenu(this);
  TextPopup->setObjectName("TextPopup");
  TextPopup->addAction(Save1);
  TextPopup->addSeparator();
  TextPopup->addAction(Close1);
}

void TDifferentF::buildToolBar() {
  ToolBar1 = new QToolBar;
  ToolBar1->setObjectName("ToolBar1");
  ToolBar1->setToolButtonStyle(Qt::ToolButtonTextOnly);
  AliasMenu = new QMenu(this);
  AliasMenu->setObjectName("AliasMenu");
  AliasBtn = new QToolButton;
  AliasBtn->setObjectName("AliasBtn");
  AliasBtn->setText("Alias");
  AliasBtn->setToolTip("Select alias");
  AliasBtn->setMenu(AliasMenu);
  AliasBtn->setPopupMode(QToolButton::InstantPopup);
  ToolBar1->addWidget(AliasBtn);
  ToolBar1->addActions({LoadINIBtn, OptionsBtn, ErrDebugBtn, CompareBtn, PreviewBtn, ApplyBtn,
                        CloseBtn});
}

void TDifferentF::buildBody() {
  TreeView1 = new QTreeWidget;
  TreeView1->setObjectName("TreeView1");
  TreeView1->setHeaderHidden(true);
  TreeView1->setContextMenuPolicy(Qt::CustomContextMenu);
  TreeView1->installEventFilter(this);
  connect(TreeView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PopupMenu1->popup(TreeView1->viewport()->mapToGlobal(pos));
  });
  connect(TreeView1, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* node) { TreeView1Change(node); });
  IniTextMemo = new QPlainTextEdit;
  IniTextMemo->setObjectName("IniTextMemo");
  IniTextMemo->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(IniTextMemo, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    TextPopup->popup(IniTextMemo->viewport()->mapToGlobal(pos));
  });
  TreeStack = new QStackedWidget;
  TreeStack->addWidget(TreeView1);
  TreeStack->addWidget(IniTextMemo);

  auto* left = new QWidget;
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 0, 0, 0);
  leftLayout->addWidget(ToolBar1);
  leftLayout->addWidget(TreeStack);
  left->setMinimumWidth(50);

  PGrid = new QTableWidget(1, 3);
  PGrid->setObjectName("PGrid");
  PGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  PGrid->verticalHeader()->hide();
  PGrid->horizontalHeader()->setStyleSheet(
      "QHeaderView::section { background-color: silver; color: black; font-weight: bold; }");
  PGrid->horizontalHeader()->setDefaultSectionSize(200);
  PGrid->setColumnWidth(0, 203);
  PGrid->setColumnWidth(1, 131);
  PGrid->setColumnWidth(2, 134);
  ErrorMemo = new QPlainTextEdit;
  ErrorMemo->setObjectName("ErrorMemo");
  ErrorMemo->setReadOnly(true);
  ErrorMemo->setStyleSheet("background-color: silver;");
  PageControl1 = new QTabWidget;
  PageControl1->setObjectName("PageControl1");
  ResultPage = PGrid;
  ErrorPage = ErrorMemo;
  PageControl1->addTab(ResultPage, "Result");
  PageControl1->addTab(ErrorPage, "Error info");

  auto* splitter = new QSplitter;
  splitter->addWidget(left);
  splitter->addWidget(PageControl1);
  splitter->setChildrenCollapsible(false);
  splitter->setSizes({275, 546});
  setCentralWidget(splitter);
  setHeaders("(Alias not selected)");
}

void TDifferentF::buildStatusBar() {
  ProgressBar1 = new QProgressBar;
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setFixedWidth(50);
  ProgressBar1->setTextVisible(false);
  statusBar()->setObjectName("StatusBar1");
  statusBar()->addPermanentWidget(ProgressBar1);
  statusBar()->installEventFilter(this);
}

bool TDifferentF::eventFilter(QObject* watched, QEvent* event) {
  if (watched == TreeView1 && event->type() == QEvent::KeyRelease) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Delete && key->modifiers() & Qt::ControlModifier) delee1Click();
  } else if (watched == statusBar() && event->type() == QEvent::MouseButtonDblClick) {
    Stayontop1Click();
  }
  return QMainWindow::eventFilter(watched, event);
}

// ---- Showing ----

void TDifferentF::Execute() {
  FormShow();
  show();
  raise();
  activateWindow();
}

void TDifferentF::FormShow() {
  const QTreeWidgetItem* selected = explorer_->TreeView->currentItem();
  TargetAliasName = selected ? selected->text(0) : QString();
  LoadINIBtn->setChecked(false);
  setHeaders("(Alias not selected)");
  if (AliasMenu->isEmpty()) {
    const QTreeWidgetItem* root = explorer_->TreeView->topLevelItem(0);
    for (int i = 0; root && i < root->childCount(); ++i) {
      const QString alias = root->child(i)->text(0);
      for (QMenu* menu : {AliasMenu, Selectalias1})
        connect(menu->addAction(alias), &QAction::triggered, this,
                [this, alias] { mnuItemOnClick(alias); });
    }
  }
  clearResult();
}

void TDifferentF::mnuItemOnClick(const QString& alias) {
  ReferenceAliasName = alias;
  PGrid->setHorizontalHeaderItem(2, new QTableWidgetItem(alias));
}

bool TDifferentF::fileMode() const { return LoadINIBtn->isChecked(); }

void TDifferentF::LoadINIBtn1Click(bool pressed) {
  if (pressed) {
    const Prompter::FileChoice choice = prompter().openFile(
        "Load from...", QCoreApplication::applicationDirPath(), "INI Files (*.ini)");
    if (choice.path.isEmpty()) {
      LoadINIBtn->setChecked(false);
      return;
    }
    ReferenceFileName = QDir::toNativeSeparators(choice.path);
    setWindowTitle(TargetAliasName + "->" + ReferenceFileName);
  } else {
    setWindowTitle("Compare Utility");
    clearResult();
  }
}

void TDifferentF::LoadDataFromFileClick() {
  LoadINIBtn->setChecked(true);
  LoadINIBtn1Click(true);
}

void TDifferentF::setHeaders(const QString& reference) {
  PGrid->setHorizontalHeaderLabels({"Property", "(" + TargetAliasName + ")", reference});
}

QString TDifferentF::referenceHeader() const {
  return fileMode() ? ReferenceFileName : "(" + ReferenceAliasName + ")";
}

void TDifferentF::clearResult() {
  result_ = compare::ResultNode{};
  TreeView1->clear();
  PGrid->clearContents();
  PGrid->setRowCount(1);
}

void TDifferentF::showResult() {
  TreeView1->clear();
  QTreeWidgetItem* root = AddNode(nullptr, result_);
  root->setData(0, ImageRole, 0);
  root->setIcon(0, Image(0));
  TreeView1->addTopLevelItem(root);
  TreeView1->expandAll();
}

compare::ResultNode* TDifferentF::nodeOf(QTreeWidgetItem* item) {
  std::vector<int> path;
  for (QTreeWidgetItem* i = item; i && i->parent(); i = i->parent())
    path.insert(path.begin(), i->parent()->indexOfChild(i));
  compare::ResultNode* node = &result_;
  for (int k : path) {
    if (k < 0 || k >= int(node->children.size())) return nullptr;
    node = &node->children[k];
  }
  return node;
}

void TDifferentF::TreeView1Change(QTreeWidgetItem* node) {
  ErrorMemo->clear();
  const std::optional<QString> error = node ? ErrorOf(ApplyErrorList, node->text(0)) : std::nullopt;
  if (error) {
    PageControl1->setCurrentWidget(ErrorPage);
    ErrorMemo->setPlainText(*error);
  } else {
    PageControl1->setCurrentWidget(ResultPage);
  }
  PGrid->clearContents();
  setHeaders(referenceHeader());
  const compare::ResultNode* shown = node ? nodeOf(node) : nullptr;
  const std::vector<compare::ResultRow> rows = shown ? shown->rows : std::vector<compare::ResultRow>{};
  PGrid->setRowCount(std::max<int>(1, int(rows.size())));
  for (int r = 0; r < int(rows.size()); ++r) {
    const QString texts[3] = {rows[r].name, rows[r].current.value_or(QString()),
                              rows[r].reference.value_or(QString())};
    const bool differs = texts[1] != texts[2];
    for (int c = 0; c < 3; ++c) {
      auto* cell = new QTableWidgetItem(texts[c]);
      cell->setTextAlignment(Qt::AlignLeft | Qt::AlignTop);
      QFont font = cell->font();
      font.setBold(differs);
      cell->setFont(font);
      cell->setForeground(differs ? Qt::red : Qt::black);
      cell->setBackground(Qt::white);
      PGrid->setItem(r, c, cell);
    }
  }
}

void TDifferentF::delee1Click() {
  QTreeWidgetItem* item = TreeView1->currentItem();
  if (!item) return;
  if (QTreeWidgetItem* parent = item->parent()) {
    compare::ResultNode* owner = nodeOf(parent);
    if (!owner) return;
    owner->children.erase(owner->children.begin() + parent->indexOfChild(item));
  } else {
    result_.children.clear();
  }
  {
    // The tree and the result must agree again before a node is shown.
    const QSignalBlocker blocker(TreeView1);
    delete item;
  }
  TreeView1Change(TreeView1->currentItem());
}

// ---- The structure file as text ----

void TDifferentF::Viewtext1Click() {
  if (!fileMode()) return;
  const std::optional<LoadedText> loaded = LoadTextFile(ReferenceFileName);
  if (!loaded) return;
  textCrLf_ = loaded->crlf;
  IniTextMemo->setPlainText(loaded->text);
  TreeStack->setCurrentWidget(IniTextMemo);
}

void TDifferentF::Save1Click() {
  if (prompter().confirm("Save All Change To " + ReferenceFileName))
    SaveTextFile(ReferenceFileName, IniTextMemo->toPlainText(), textCrLf_);
  Close1Click();
}

void TDifferentF::Close1Click() {
  IniTextMemo->clear();
  TreeStack->setCurrentWidget(TreeView1);
}

// ---- Switches ----

void TDifferentF::setCollectErrorInfo(bool on) {
  CollectErrorInfo = on;
  ErrDebugBtn->setChecked(on);
  Errorinfo1->setChecked(on);
}

void TDifferentF::ErrDebugBtnClick() { setCollectErrorInfo(!CollectErrorInfo); }

void TDifferentF::Stayontop1Click() {
  const bool onTop = !(windowFlags() & Qt::WindowStaysOnTopHint);
  const bool shown = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, onTop);
  Stayontop1->setChecked(onTop);
  if (shown) show();
}

void TDifferentF::Restructureoptions1Click() {
  if (!RestOptF) RestOptF = new TRestOptF(this);
  RestOptF->FormShow();
  prompter().exec(*RestOptF);
}

// ---- Comparing and applying ----

void TDifferentF::SpeedButton1Click() {
  if (prompter().message(Prompter::Icon::Question, QString(), "Let's start ?",
                         Prompter::Button::Ok | Prompter::Button::Cancel) != Prompter::Button::Ok)
    return;
  if (!fileMode() && ReferenceAliasName.isEmpty()) {
    prompter().warn("Choose the alias to compare with under \"Alias\", or a structure file "
                    "with \"Open INI\".");
    return;
  }
  ApplyErrorList.clear();
  DMF().aTable.Close();
  if (fileMode()) ReferenceAliasName.clear();
  setHeaders(referenceHeader());
  clearResult();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    if (fileMode()) {
      compare::CompareWithFile(DMF().aSession, OrigTB, TargetAliasName, ReferenceFileName, result_);
    } else {
      explorer_->OpenAliasDatabase(ReferenceAliasName);
      compare::CompareWithAlias(DMF().aSession, OrigTB, CompareTB, TargetAliasName,
                                ReferenceAliasName, result_);
    }
  } catch (const engine::EDBEngineError& e) {
    QApplication::restoreOverrideCursor();
    showResult();
    prompter().error("Proccess stopped. " + QString::fromStdString(e.what()));
    return;
  } catch (...) {
    QApplication::restoreOverrideCursor();
    showResult();
    HandleException(std::current_exception());
    return;
  }
  QApplication::restoreOverrideCursor();
  showResult();
  QApplication::beep();
  if (result_.children.empty()) prompter().inform("No difference was found.");
}

void TDifferentF::ApplyAllBtn1Click() {
  if (prompter().confirm("Do You want to create backup copy?")) {
    CurrentAliasName = TargetAliasName;
    TBackupF backup(this);
    prompter().exec(backup);
  }
  if (prompter().message(Prompter::Icon::Question, QString(),
                         "Restructure all tables in accordance with result ?",
                         Prompter::Button::Yes | Prompter::Button::Cancel) != Prompter::Button::Yes)
    return;
  ApplyErrorList.clear();
  apply(false);
}

void TDifferentF::PreviewBtnClick() { apply(true); }

void TDifferentF::stepTo(int index, int total) {
  ProgressBar1->setMaximum(total);
  ProgressBar1->setValue(index);
  if (QTreeWidgetItem* root = TreeView1->topLevelItem(0))
    if (QTreeWidgetItem* table = root->child(index)) TreeView1->setCurrentItem(table);
  statusBar()->repaint();
}

void TDifferentF::apply(bool preview) {
  compare::ApplyOptions options;
  options.deleteTables = DeleteTablesOption;
  options.createTables = CreateTablesOption;
  options.messages = MessagesOption;
  options.collectErrors = CollectErrorInfo;
  options.dryRun = preview;
  QStringList plan;
  WindowDialogue dialogue(*this, preview ? &plan : nullptr);
  DMF().aTable.Close();
  QApplication::setOverrideCursor(Qt::WaitCursor);
  try {
    if (fileMode())
      compare::ApplyFromFile(DMF().aSession, OrigTB, CompareTB, TargetAliasName,
                             ReferenceFileName, result_, options, dialogue, ApplyErrorList);
    else
      compare::ApplyFromAlias(DMF().aSession, OrigTB, CompareTB, TargetAliasName,
                              ReferenceAliasName, result_, options, dialogue, ApplyErrorList);
  } catch (...) {
    QApplication::restoreOverrideCursor();
    ProgressBar1->setValue(0);
    showResult();
    HandleException(std::current_exception());
    return;
  }
  QApplication::restoreOverrideCursor();
  ProgressBar1->setValue(0);
  showResult();
  if (preview) {
    PageControl1->setCurrentWidget(ErrorPage);
    ErrorMemo->setPlainText(plan.isEmpty() ? "Nothing to apply." : plan.join("\n\n"));
  }
}

// ---- Closing ----

void TDifferentF::FormClose() {
  clearResult();
  OrigTB.Close();
  CompareTB.Close();
  ApplyErrorList.clear();
  AliasMenu->clear();
  Selectalias1->clear();
}

void TDifferentF::closeEvent(QCloseEvent* event) {
  FormClose();
  QMainWindow::closeEvent(event);
}
