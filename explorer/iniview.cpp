// The structure file viewer: a structure file (as written by "Save structure
// to...") browsed as a tree of tables and their categories, or read and
// edited as plain text. The tree's levels:
//
//   0  DATABASE
//   1  one node per entry of [TABLES]
//   2  FIELDS, INDEXES, VALIDITY CHECKS, REFERENTIAL INTEGRITY, SECURITY
//   3  the category's items, read from its list section when the table
//      node is expanded
//
// Selecting a node shows one section of the file in the property grid. The
// viewer never writes the structure file.
#include <QAction>
#include <QActionGroup>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/prompter.h"
#include "app/textfile.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"

namespace {

constexpr char kRoot[] = "DATABASE";

// A category of a table: its list section (t\TBPROPS\<list>), the sections
// of its items (t\<items>\<caption>) and whether an item's caption is the
// key or the value of its list entry.
struct Category {
  const char* caption;
  const char* list;
  const char* items;
  bool captionIsValue;
};

// clang-format off
const Category kCategories[] = {
    {tree::kFields,    "FLIST", "FIELDS",     false},
    {tree::kIndexes,   "ILIST", "INDEXES",    false},
    {tree::kValChecks, "VLIST", "VCHECKS",    true},
    {tree::kRefInt,    "RLIST", "RINTS",      true},
    {tree::kSecurity,  "SLIST", "SECURITIES", false},
};
// clang-format on

const Category* CategoryOf(const QTreeWidgetItem* node) {
  for (const Category& c : kCategories)
    if (node->text(0) == c.caption) return &c;
  return nullptr;
}

QString ListSection(const QString& table, const Category& c) {
  return table + "\\TBPROPS\\" + c.list;
}

// The captions of a category's items, in the order of its list section.
QStringList ItemCaptions(const structure::IniFile& ini, const QString& table, const Category& c) {
  const QString section = ListSection(table, c);
  if (!c.captionIsValue) return ini.ReadSection(section);
  QStringList captions;
  for (const QString& line : ini.ReadSectionValues(section))
    captions << line.mid(line.indexOf('=') + 1);
  return captions;
}

// The section a node shows; empty for the root.
QString SectionOf(QTreeWidgetItem* node) {
  switch (tree::Level(node)) {
    case 1:
      return node->text(0) + "\\TBPROPS";
    case 2:
      if (const Category* c = CategoryOf(node)) return ListSection(node->parent()->text(0), *c);
      break;
    case 3:
      if (const Category* c = CategoryOf(node->parent()))
        return tree::Up(node, 2)->text(0) + "\\" + c->items + "\\" + node->text(0);
      break;
  }
  return QString();
}

// The extension of the first pattern of a filter ("Text Files (*.txt)" ->
// "txt"); empty for a filter that takes any name.
}  // namespace

void TParadoxfrm::buildIniViewer() {
  INITreeView = new QTreeWidget;
  INITreeView->setObjectName("INITreeView");
  INITreeView->setHeaderHidden(true);
  INITreeView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  connect(INITreeView, &QTreeWidget::itemExpanded, this, &TParadoxfrm::INITreeViewExpanding);
  connect(INITreeView, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* node) {
    if (node) INITreeViewChange(node);
  });
  IniRichEdit = new QPlainTextEdit;
  IniRichEdit->setObjectName("IniRichEdit");
  IniRichEdit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  IniRichEdit->setLineWrapMode(QPlainTextEdit::NoWrap);
  iniStack_ = new QStackedWidget;
  iniStack_->addWidget(INITreeView);
  iniStack_->addWidget(IniRichEdit);
  INITabSheet = new QWidget;
  INITabSheet->setObjectName("INITabSheet");
  auto* layout = new QVBoxLayout(INITabSheet);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(iniStack_);
  TreePages->addTab(INITabSheet, "INI File");
  TreePages->setTabVisible(TreePages->indexOf(INITabSheet), false);

  IniViewPopup = new QMenu(this);
  IniViewPopup->setObjectName("IniViewPopup");
  auto* views = new QActionGroup(this);
  for (QAction* view : {addCommand(IniViewPopup, "AsText1", "As Text"),
                        addCommand(IniViewPopup, "AsTree1", "As Tree")}) {
    view->setCheckable(true);
    views->addAction(view);
  }
  command("AsTree1")->setChecked(true);
  IniViewPopup->addSeparator();
  addCommand(IniViewPopup, "Save1", "Save");
  addCommand(IniViewPopup, "Close2", "Close");
  for (QWidget* view : {static_cast<QWidget*>(INITreeView), static_cast<QWidget*>(IniRichEdit)}) {
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { IniViewPopup->popup(view->mapToGlobal(pos)); });
  }
}

// Opening a file replaces the one shown: the tree is rebuilt from scratch.
void TParadoxfrm::OpenINIfile1Click() {
  const QString dir = IniFile_ ? QFileInfo(IniFile_->FileName()).path() : QString();
  QString path =
      prompter().openFile("Open INI File", dir, "INI Files (*.ini);;CFG Files (*.cfg)").path;
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty() && !QFileInfo::exists(path)) path += ".ini";
  IniFile_ = std::make_unique<structure::IniFile>(path);

  AsTree1Click();
  INITreeView->clear();
  QTreeWidgetItem* root = new QTreeWidgetItem(INITreeView, {kRoot});
  tree::SetImage(root, tree::RootImage);
  for (const QString& line : IniFile_->ReadSectionValues("TABLES")) {
    QTreeWidgetItem* table = tree::AddNode(root, line.mid(line.indexOf('=') + 1), tree::ItemImage);
    for (const Category& c : kCategories)
      tree::AddNode(table, c.caption, tree::FolderImage)
          ->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
  }
  root->setExpanded(true);
  TreePages->setTabText(TreePages->indexOf(INITabSheet), QFileInfo(path).fileName());
  TreePages->setTabToolTip(TreePages->indexOf(INITabSheet), QDir::toNativeSeparators(path));
  TreePages->setTabVisible(TreePages->indexOf(INITabSheet), true);
  TreePages->setCurrentWidget(INITabSheet);
}

// A table fills its categories; a category expanded on its own fills itself.
// Categories that have their items already are left alone.
void TParadoxfrm::INITreeViewExpanding(QTreeWidgetItem* node) {
  if (!IniFile_) return;
  const int level = tree::Level(node);
  if (level != 1 && level != 2) return;
  QTreeWidgetItem* table = level == 1 ? node : node->parent();
  for (int i = 0; i < table->childCount(); ++i) {
    QTreeWidgetItem* category = table->child(i);
    const Category* c = CategoryOf(category);
    if (!c || category->childCount() > 0 || (level == 2 && category != node)) continue;
    for (const QString& caption : ItemCaptions(*IniFile_, table->text(0), *c))
      tree::AddNode(category, caption, tree::ItemImage);
    // An empty category shows no arrow once it is known to be empty.
    category->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
  }
}

// The node's section in the property grid, on the "Information" page. The
// root has no section: the grid keeps what it showed.
void TParadoxfrm::INITreeViewChange(QTreeWidgetItem* node) {
  const QString section = SectionOf(node);
  if (!IniFile_ || section.isEmpty()) return;
  ShowPropertyGrid(IniFile_->ReadSectionValues(section));
  ListView1->hide();
  SQLPanel->hide();
  StringGrid->show();
  PageControl->show();
  showPage(TabSheet1);
}

// The file as it is on disk now, in the editor in front of the tree.
void TParadoxfrm::AsText1Click() {
  if (!IniFile_) return;
  const std::optional<LoadedText> loaded = LoadTextFile(IniFile_->FileName());
  if (!loaded) {
    AsTree1Click();
    return;
  }
  iniTextCrLf_ = loaded->crlf;
  IniRichEdit->setPlainText(loaded->text);
  command("AsText1")->setChecked(true);
  iniStack_->setCurrentWidget(IniRichEdit);
}

void TParadoxfrm::AsTree1Click() {
  command("AsTree1")->setChecked(true);
  iniStack_->setCurrentWidget(INITreeView);
}

// The editor's text into a file of the user's choice, with the line ends
// the text was loaded with; a name without an extension takes the one of
// the chosen filter.
void TParadoxfrm::Save1Click() {
  const QString dir = IniFile_ ? QFileInfo(IniFile_->FileName()).path() : QString();
  const QString path = askSaveFileName("Save As", dir);
  if (path.isEmpty()) return;
  SaveTextFile(path, IniRichEdit->toPlainText(), iniTextCrLf_);
}

void TParadoxfrm::Close2Click() {
  INITreeView->clear();
  IniRichEdit->clear();
  IniFile_.reset();
  AsTree1Click();
  TreePages->setTabVisible(TreePages->indexOf(INITabSheet), false);
  TreePages->setCurrentWidget(TreeView);
}

// The right side shows what the tree in front has selected; the databases
// tree's commands act only while that tree is in front.
void TParadoxfrm::TreePagesChange() {
  if (TreePages->currentWidget() == TreeView) {
    if (TreeView->currentItem()) TreeViewChange(TreeView->currentItem());  // the states too
    return;
  }
  for (const char* name : {"DelBtn", "DeleteNode", "Delete1", "RstrctBtn", "OpenCloseBtn"})
    if (QAction* action = command(name)) action->setEnabled(false);
  if (INITreeView->currentItem()) INITreeViewChange(INITreeView->currentItem());
}
