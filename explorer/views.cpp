// The detail views: what the right-hand side shows for the selected node.
// The node's level and the texts of its ancestors decide the page, the view
// on the "Information" page (property grid, list or query text) and its
// contents.
#include <QStatusBar>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "engine/config/config.h"
#include "engine/dataset/dberror.h"
#include "explorer/paradoxfrm.h"
#include "explorer/treenodes.h"
#include "structure/extraction.h"

using namespace tree;
using structure::PropertyList;

namespace {

QString Message(const EDBEngineError& e) { return QString::fromUtf8(e.what()); }

std::string DriverTypeOf(engine::hDBICur cursor) {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(cursor, props));
  return props.driverType;
}

// The value of line `i`, "" past the end of the list.
QString ValueAt(const QStringList& lines, int i) {
  return i >= 0 && i < lines.size() ? structure::PropertyValue(lines[i]) : QString();
}

// The grid's cells: white, black text 3 pixels in from the corner, bold
// names; the header row is silver with regular text.
class GridCellDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    painter->save();
    painter->fillRect(option.rect, Qt::white);
    QFont font = option.font;
    font.setBold(index.column() == 0);
    painter->setFont(font);
    painter->setPen(Qt::black);
    painter->drawText(option.rect.adjusted(3, 3, 0, 0), Qt::AlignLeft | Qt::AlignTop,
                      index.data().toString());
    if (option.state & QStyle::State_HasFocus) {
      QStyleOptionFocusRect focus;
      focus.QStyleOption::operator=(option);
      focus.backgroundColor = Qt::white;
      const QWidget* widget = option.widget;
      (widget ? widget->style() : QApplication::style())
          ->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, painter, widget);
    }
    painter->restore();
  }
};

void InstallGridLook(QTableWidget* grid) {
  if (dynamic_cast<GridCellDelegate*>(grid->itemDelegate())) return;
  grid->setItemDelegate(new GridCellDelegate(grid));
  grid->horizontalHeader()->setStyleSheet(
      "QHeaderView::section { background-color: rgb(192, 192, 192); color: black;"
      " font-weight: normal; padding: 3px; border: none;"
      " border-right: 1px solid gray; border-bottom: 1px solid gray; }");
}

// The grid lies over the list: hiding it uncovers the list.
void ShowGrid(TParadoxfrm* form, bool visible) {
  form->StringGrid->setVisible(visible);
  form->ListView1->setVisible(!visible);
}

// The query text covers the whole page.
void ShowQueryText(TParadoxfrm* form) {
  form->StringGrid->hide();
  form->ListView1->hide();
  form->SQLPanel->show();
}

struct Column {
  const char* caption;
  int width;
};

// Removes every item and column of the list, then adds these columns.
void SetColumns(QTreeWidget* list, std::initializer_list<Column> columns) {
  list->clear();
  list->setColumnCount(static_cast<int>(columns.size()));
  QStringList captions;
  for (const Column& c : columns) captions << c.caption;
  list->setHeaderLabels(captions);
  int i = 0;
  for (const Column& c : columns) list->setColumnWidth(i++, c.width);
  // Removing the columns dropped the sort order: items sort by caption.
  if (columns.size() > 0) list->sortByColumn(0, Qt::AscendingOrder);
}

void AddItem(QTreeWidget* list, const QStringList& texts, int image = ItemImage) {
  auto* item = new QTreeWidgetItem(texts);
  item->setIcon(0, ImageIcon(image));
  list->addTopLevelItem(item);
}

// ---- Lists of a database directory ----

void FillQueryFiles(QTreeWidget* list, engine::TDatabase* db) {
  SetColumns(list, {{"File name", 180}, {"Date", 100}, {"Time", 100}, {"Size (bytes)", 100}});
  if (!db) return;
  for (const char* pattern : {"*.sql", "*.qbe"}) {
    QStringList lines;
    structure::ListDatabaseFiles(db->Handle(), pattern, lines);
    for (int i = 0; i + 3 < lines.size(); i += 4) AddItem(list, lines.mid(i, 4), QueryImage);
  }
}

void FillTableFiles(QTreeWidget* list, engine::TDatabase* db) {
  SetColumns(
      list,
      {{"TableNames", 200}, {"Type", 100}, {"Date", 100}, {"Time", 100}, {"Size (bytes)", 100}});
  if (!db) return;
  QStringList lines;
  structure::ListDatabaseFiles(db->Handle(), "*.db*", lines);
  for (int i = 0; i + 4 < lines.size(); i += 5) AddItem(list, lines.mid(i, 5));
}

// ---- Categories of a table ----

void FillFields(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"FieldName", 150}, {"Type", 90}, {"Size", 50}, {"Scale", 50}});
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(ref.cursor, props));
  PropertyList field;
  for (int i = 0; i < props.fieldCount; ++i) {
    structure::ListFieldProps(ref, i, field);
    AddItem(list, {ValueAt(field, 0), ValueAt(field, 2), ValueAt(field, 4), ValueAt(field, 3)});
  }
}

void FillFamily(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"File name", 500}, {"Object type", 200}});
  QStringList lines;
  structure::ListFamilyMembers(ref, lines);
  for (int i = 0; i + 1 < lines.size(); i += 2) AddItem(list, lines.mid(i, 2));
}

void FillIndexes(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"IndexName", 150}, {"Fields", 40}});
  QStringList names, counts;
  structure::ListIndexNamesAndKeyCounts(ref, names, counts);
  for (int i = 0; i < names.size(); ++i)
    AddItem(list, {names[i].isEmpty() ? kPrimary : names[i], counts.value(i)});
}

void FillValChecks(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"Name", 100},
                    {"Required", 100},
                    {"Min. Value", 100},
                    {"Max. Value", 100},
                    {"Def. Value", 100},
                    {"Picture", 100}});
  QStringList names;
  structure::ListValCheckFields(ref, names);
  for (int i = 1; i <= names.size(); ++i) {
    PropertyList check;
    structure::ListValCheckProps(ref, i, check);
    QStringList texts{names[i - 1]};
    for (int line = 1; line < check.size(); ++line) texts << ValueAt(check, line);
    AddItem(list, texts);
  }
}

void FillRefInts(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"Name", 100},
                    {"Reference type", 105},
                    {"Reference to", 300},
                    {"Modify operation", 150},
                    {"Delete operation", 150}});
  QStringList names;
  structure::ListRefIntNames(ref, true, names);
  for (int i = 1; i <= names.size(); ++i) {
    PropertyList link;
    structure::ListRefIntProps(ref, i, link);
    AddItem(list,
            {names[i - 1], ValueAt(link, 1), ValueAt(link, 2), ValueAt(link, 3), ValueAt(link, 4)});
  }
}

void FillSecurity(QTreeWidget* list, const structure::OpenTableRef& ref) {
  SetColumns(list, {{"Name", 100}, {"Table rights", 100}, {"Family rights", 100}});
  QStringList entries;
  structure::ListPasswords(ref, entries);
  for (int i = 1; i <= entries.size(); ++i) {
    PropertyList props;
    structure::ListSecurityProps(ref, i, props);
    AddItem(list, {entries[i - 1], ValueAt(props, 2), ValueAt(props, 3)});
  }
}

// ---- Indexes ----

// The index file, tag and id of the dBASE index with this tag name; false
// when the table has none.
bool FindDBaseIndex(const structure::OpenTableRef& ref, const QString& tag, QString& file,
                    int& id) {
  QStringList triples;
  structure::ListDBaseIndexes(ref, triples);
  for (int i = 0; i + 2 < triples.size(); i += 3) {
    if (triples[i + 1] != tag) continue;
    file = triples[i];
    id = triples[i + 2].toInt();
    return true;
  }
  return false;
}

void ParadoxIndexLines(const structure::OpenTableRef& ref, const QString& name,
                       PropertyList& list) {
  engine::IndexDesc ix;
  structure::ReadIndexDesc(ref, name, ix);
  // The engine rebuilds every index with each change, so none is ever stale.
  const int outOfDate = 0;
  list << "Name=" + (ix.primary ? QString(kPrimary) : QString::fromStdString(ix.name))
       << "Fields in index=" + QString::number(ix.fieldsInKey)
       << "Primary=" + structure::YesNo(ix.primary) << "Unique=" + structure::YesNo(ix.unique)
       << "Maintained=" + structure::YesNo(ix.maintained)
       << "Case sensitive=" + structure::YesNo(ix.caseInsensitive == 0)
       << "Descending=" + structure::YesNo(ix.descending)
       << "Out of date=" + structure::YesNo(outOfDate);
}

void IndexLines(const structure::OpenTableRef& ref, const QString& name, PropertyList& list) {
  const std::string driver = DriverTypeOf(ref.cursor);
  if (driver == "DBASE") {
    QString file;
    int id = 0;
    if (FindDBaseIndex(ref, name, file, id))
      structure::ListIndexDisplayProps(ref, file, name, id, list);
  } else if (driver == "PARADOX") {
    ParadoxIndexLines(ref, name, list);
  }
}

// The descriptor of the index of this name (a dBASE tag name, a Paradox
// index name or "<Primary>"); false for a dBASE tag the table lacks.
bool ReadIndex(const structure::OpenTableRef& ref, const QString& name, engine::IndexDesc& ix) {
  if (DriverTypeOf(ref.cursor) != "DBASE") {
    structure::ReadIndexDesc(ref, name, ix);
    return true;
  }
  QString file;
  int id = 0;
  if (!FindDBaseIndex(ref, name, file, id)) return false;
  std::uint16_t seqNo = 0;
  engine::Check(engine::GetIndexSeqNo(ref.cursor, file.toStdString(), name.toStdString(),
                                      static_cast<std::uint16_t>(id), seqNo));
  engine::Check(engine::GetIndexDesc(ref.cursor, seqNo, ix));
  return true;
}

}  // namespace

void TParadoxfrm::TreeViewChange(QTreeWidgetItem* node) {
  TreeView->scrollToItem(node);
  setPanelText(1, QString());
  ShowGrid(this, true);
  SQLPanel->hide();
  setPanelText(0, QString::number(node->childCount()) + "Items in " + node->text(0));
  setTreeEditable(false);
  freeAliasEditors();
  setAliasEditsEnabled(pendingAliasSelected());
  try {
    showNode(node);
  } catch (const EDBEngineError& e) {
    showFailure(Message(e));
  }
  // A prompt on the way (a password, an error) may have let the selection
  // move on: the details always follow the node that is current now.
  QTreeWidgetItem* current = TreeView->currentItem();
  if (current && current != node) TreeViewChange(current);
}

void TParadoxfrm::showNode(QTreeWidgetItem* node) {
  switch (Level(node)) {
    case 0:
      showRoot();
      break;
    case 1:
      showAlias(node);
      break;
    case 2:
      showGroup(node);
      break;
    case 3:
      showTableOrQuery(node);
      break;
    case 4:
      showCategory(node);
      break;
    case 5:
      showItem(node);
      break;
    case 6:
      showLevel6(node);
      break;
    case 7:
      showLevel7(node);
      break;
    default:
      break;
  }
}

// The node's details could not be read: the page says why instead of
// showing what the previous node left there.
void TParadoxfrm::showFailure(const QString& message) {
  SQLPanel->hide();
  ShowGrid(this, true);
  ShowPropertyGrid({"Not available=" + message});
  showPage(TabSheet1);
  prompter().error(message);
}

void TParadoxfrm::ShowPropertyGrid(const QStringList& list) {
  InstallGridLook(StringGrid);
  StringGrid->setRowCount(static_cast<int>(list.size()));
  StringGrid->setHorizontalHeaderLabels({"Parameter", "Value"});
  for (int i = 0; i < list.size(); ++i) {
    const int eq = list[i].indexOf('=');
    StringGrid->setItem(i, 0, new QTableWidgetItem(eq < 0 ? list[i] : list[i].left(eq)));
    StringGrid->setItem(i, 1, new QTableWidgetItem(eq < 0 ? QString() : list[i].mid(eq + 1)));
  }
}

void TParadoxfrm::setPageVisible(QWidget* page, bool visible) {
  PageControl->setTabVisible(PageControl->indexOf(page), visible);
}

void TParadoxfrm::showPage(QWidget* page) {
  setPageVisible(page, true);
  PageControl->setCurrentWidget(page);
}

// ---- Views by level ----

// The engine's system settings.
void TParadoxfrm::showRoot() {
  UpdateCommandStates(0, TreeView->topLevelItem(0));
  setPageVisible(TabSheet2, false);
  if (DMF().aTable.Active()) DMF().aTable.Close();
  engine::SystemConfig config;
  engine::Check(engine::GetSystemConfig(config));
  const auto text = [](const std::string& s) { return QString::fromStdString(s); };
  // The value column starts with the blank after "=".
  ShowPropertyGrid({"Ini File= " + text(config.configFile), "User Name= " + text(config.userName),
                    "Network Type= " + text(config.netType),
                    "Language Driver= " + text(config.langDriver),
                    config.localShare ? "Local Share= ON" : "Local Share= OFF"});
  setPageVisible(TabSheet2, false);
  setPageVisible(TabSheet3, false);
  showPage(TabSheet1);
}

// The alias's parameters; the pending new alias keeps what the grid holds
// while its parameters are being entered.
void TParadoxfrm::showAlias(QTreeWidgetItem* node) {
  setTreeEditable(true);
  UpdateCommandStates(1, node);
  setPageVisible(TabSheet2, false);
  const QString name = node->text(0);
  if (pendingAliasSelected()) {
    ShowPropertyGrid(pendingAliasLines_);
  } else {
    engine::TSession& session = DMF().aSession;
    if (DMF().aTable.Active()) DMF().aTable.Close();
    CurrentAliasName = name;
    const bool open = DMF().IsOpenedDataBase(name) >= 0;
    pressOpenCloseBtn(open);
    setPageVisible(TabSheet3, open);
    engine::DatabaseDesc desc;
    engine::Check(engine::GetDatabaseDesc(name.toStdString(), desc));
    CurrentAliasPath = QString::fromStdString(desc.physicalPath).left(260);
    CurrentAliasDriver = QString::fromStdString(session.GetAliasDriverName(name.toStdString()));
    PropertyList list{"TYPE=" + CurrentAliasDriver};
    for (const engine::ConfigEntry& p : session.GetAliasParams(name.toStdString())) {
      const QString value = QString::fromStdString(p.value);
      if (p.name == "PATH") StartAliasPath = value;
      if (p.name == "ENABLE BCD") StartAliasBcd = value;
      if (p.name == "DEFAULT DRIVER") StartAliasDriver = value;
      list << QString::fromStdString(p.name) + "=" + value;
    }
    ShowPropertyGrid(list);
  }
  PageControl->show();
  showPage(TabSheet1);
}

// The files of the alias's directory: tables or query files.
void TParadoxfrm::showGroup(QTreeWidgetItem* node) {
  UpdateCommandStates(2, node);
  setPageVisible(TabSheet2, false);
  if (DMF().aTable.Active()) DMF().aTable.Close();
  showPage(TabSheet1);
  setPageVisible(TabSheet3, true);
  ShowGrid(this, false);
  engine::TDatabase* db = DMF().aSession.FindDatabase(node->parent()->text(0).toStdString());
  if (node->text(0) == kQueryFiles)
    FillQueryFiles(ListView1, db);
  else if (node->text(0) == kTables)
    FillTableFiles(ListView1, db);
}

// A table opens for the data page and shows its properties; a query file
// shows its text.
void TParadoxfrm::showTableOrQuery(QTreeWidgetItem* node) {
  UpdateCommandStates(3, node);
  MainDBNav->show();
  setPageVisible(TabSheet3, true);
  setPageVisible(TabSheet2, true);
  if (RestructureMode) return;  // a design dialog works on the table
  if (!IsTableNode(node)) {
    setPageVisible(TabSheet2, false);
    ShowQueryText(this);
    const std::vector<engine::ConfigEntry> params =
        DMF().aSession.GetAliasParams(Up(node, 2)->text(0).toStdString());
    const QString dir = params.empty() ? QString() : QString::fromStdString(params[0].value);
    QFile file(QDir(dir).filePath(node->text(0)));
    if (!file.open(QIODevice::ReadOnly)) {
      prompter().error("Cannot open file \"" + QDir::toNativeSeparators(file.fileName()) + "\". " +
                       file.errorString());
      return;
    }
    ToolButton15Click();  // the answer of another file's query goes
    SQLRichEdit->setPlainText(QString::fromUtf8(file.readAll()));
    command("SaveBtn")->setEnabled(false);
    FQStatusBar->clearMessage();
    return;
  }
  command("RstrctBtn")->setEnabled(true);
  command("DelBtn")->setEnabled(true);
  engine::TTable& table = DMF().aTable;
  try {
    openTableOf(node);
    PropertyList list;
    structure::BuildTablePropertyList(table.Handle(), list);
    ShowPropertyGrid(list);
    std::uint32_t count = 0;
    engine::Check(engine::GetRecordCount(table.Handle(), count));
    setPanelText(1, "Records count: " + QString::number(count));
    bindDataGrid();
    const bool dbase = DriverTypeOf(table.Handle()) == "DBASE";
    ShowDelBtn->setVisible(dbase);
    UnDelBtn->setVisible(dbase);
  } catch (const EDBEngineError& e) {
    bindDataGrid();
    setPageVisible(TabSheet2, false);
    showFailure(Message(e));
    return;
  }
  showPage(TabSheet2);
}

// One aspect of a table's structure as a list; the table stays open.
void TParadoxfrm::showCategory(QTreeWidgetItem* node) {
  showPage(TabSheet1);
  MainDBNav->hide();
  setPageVisible(TabSheet2, false);
  ShowGrid(this, false);
  openTableOf(node->parent());
  SetColumns(ListView1, {});
  const structure::OpenTableRef ref = structure::OpenTableRef::Of(DMF().aSession, DMF().aTable);
  const QString category = node->text(0);
  if (category == kFields)
    FillFields(ListView1, ref);
  else if (category == kFamily)
    FillFamily(ListView1, ref);
  else if (category == kIndexes)
    FillIndexes(ListView1, ref);
  else if (category == kValChecks)
    FillValChecks(ListView1, ref);
  else if (category == kRefInt)
    FillRefInts(ListView1, ref);
  else if (category == kSecurity)
    FillSecurity(ListView1, ref);
}

// The properties of one field, index, check, link or password.
void TParadoxfrm::showItem(QTreeWidgetItem* node) {
  setPageVisible(TabSheet2, false);
  MainDBNav->hide();
  showPage(TabSheet1);
  engine::TTable& table = DMF().aTable;
  openTableOf(Up(node, 2));
  const structure::OpenTableRef ref = structure::OpenTableRef::Of(DMF().aSession, table);
  const QString category = ParentText(node);
  const int position = node->parent()->indexOfChild(node);
  PropertyList list;
  if (category == kIndexes) {
    command("DelBtn")->setEnabled(true);
    IndexLines(ref, node->text(0), list);
  } else if (category == kFields) {
    structure::ListFieldProps(ref, position, list);
  } else if (category == kRefInt) {
    structure::ListRefIntProps(ref, position + 1, list);
  } else if (category == kSecurity) {
    structure::ListSecurityProps(ref, position + 1, list);
  } else if (category == kValChecks) {
    structure::ListValCheckProps(ref, position + 1, list);
  }
  ShowPropertyGrid(list);
  table.Close();
}

// The key fields of an index, or the fields of one side of a link.
void TParadoxfrm::showLevel6(QTreeWidgetItem* node) {
  setPageVisible(TabSheet2, false);
  MainDBNav->hide();
  ShowGrid(this, false);
  SetColumns(ListView1, {});
  showPage(TabSheet1);
  const QString category = Up(node, 2)->text(0);
  if (category == kIndexes) {
    SetColumns(ListView1, {{"Fields", 150}, {"Descending", 120}});
    engine::TTable& table = DMF().aTable;
    openTableOf(Up(node, 3));
    const structure::OpenTableRef ref = structure::OpenTableRef::Of(DMF().aSession, table);
    engine::IndexDesc ix;
    if (ReadIndex(ref, node->parent()->text(0), ix))
      for (int i = 0; i < ix.fieldsInKey && i < engine::kMaxKeyFields; ++i)
        AddItem(ListView1,
                {ref.fieldName(ix.keyFields[i]), structure::YesNo(ix.fieldDescending[i])});
    table.Close();
  } else if (category == kRefInt) {
    SetColumns(ListView1, {{"Fields", 150}});
    for (int i = 0; i < node->childCount(); ++i) AddItem(ListView1, {node->child(i)->text(0)});
  }
}

// A field of a link side has nothing of its own to show.
void TParadoxfrm::showLevel7(QTreeWidgetItem* node) {
  setPageVisible(TabSheet2, false);
  MainDBNav->hide();
  showPage(TabSheet1);
  if (Up(node, 3)->text(0) == kRefInt) {
    ShowGrid(this, false);
    SetColumns(ListView1, {});
  }
  DMF().aTable.Close();
}
