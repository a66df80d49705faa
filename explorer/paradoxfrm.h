// The main window: the explorer tree on the left, the detail pages on the
// right, menus, tool bar and status bar.
#pragma once

#include <QMainWindow>

#include <QStringList>
#include <memory>

#include "engine/engine.h"
#include "explorer/queryhistory.h"
#include "structure/inifile.h"

class QAction;
class QKeyEvent;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QStatusBar;
class QToolButton;
class QTabWidget;
class QTableView;
class QTableWidget;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class TArchiveF;
class TDifferentF;
class TableGridModel;
class QModelIndex;
namespace engine {
class TQuery;
}
class TFindF;
class TBLOBF;

class TParadoxfrm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TParadoxfrm(QWidget* parent = nullptr);
  ~TParadoxfrm() override;

  // Builds the first level of the tree (also used to rebuild it).
  void FormCreate();
  // Puts the long part of a "short|long" hint into status panel 2.
  void MyHint(const QString& hint);
  // The text of a status panel (0-2).
  QString panelText(int index) const;

  // A command (menu item, popup item or tool button) by its object name.
  QAction* command(const QString& name) const;

  QTreeWidget* TreeView = nullptr;
  QTabWidget* TreePages = nullptr;
  QTabWidget* PageControl = nullptr;  // pages TabSheet1..3
  QWidget* TabSheet1 = nullptr;       // "Information"
  QWidget* TabSheet2 = nullptr;       // "Data"
  QWidget* TabSheet3 = nullptr;       // "Enter SQL"
  QTableWidget* StringGrid = nullptr; // the property grid
  QTreeWidget* ListView1 = nullptr;   // the detail list (report style)
  QWidget* SQLPanel = nullptr;        // a stored query file
  QPlainTextEdit* SQLRichEdit = nullptr;
  QToolBar* ToolBar2 = nullptr;       // the query file's Run, Live, Close, Save, Save result
  QStatusBar* FQStatusBar = nullptr;
  QTableView* FQueryGrid = nullptr;   // the query file's answer
  TableGridModel* FQueryModel = nullptr;
  // "Enter SQL": the statement, its toolbar, status line and answer.
  QToolBar* ToolBar3 = nullptr;
  QStatusBar* SQLStatusBar = nullptr;  // "QStatusBar"
  QPlainTextEdit* LocalSQLMemo = nullptr;
  QTableView* SQLGrid = nullptr;
  TableGridModel* SQLModel = nullptr;
  QWidget* MainDBNav = nullptr;       // record navigator of the data page
  QTableView* DBGrid1 = nullptr;
  QPushButton* ShowDelBtn = nullptr;
  QPushButton* UnDelBtn = nullptr;
  TableGridModel* GridModel = nullptr;  // DBGrid1's rows of aTable
  QToolBar* ToolBar1 = nullptr;
  QMenu* TreePopup = nullptr;
  QMenu* GridPopup = nullptr;
  QProgressBar* ProgressBar = nullptr;
  TFindF* FindF = nullptr;            // created on first use, then kept
  TDifferentF* DifferentF = nullptr;  // the comparison window, made with this one
  TBLOBF* BLOBF = nullptr;            // the BLOB viewer, made with the data page
  TArchiveF* ArchiveF = nullptr;      // the archive window, made with this one

  // Tree (lazy expansion, databases, commands).
  // Fills the level below `node`; false when the expansion is refused.
  bool TreeViewExpanding(QTreeWidgetItem* node);
  int OpenAliasDatabase(const QString& alias);
  void CloseAliasDatabase(const QString& alias);
  void UpdateCommandStates(int level, QTreeWidgetItem* node);
  void Rename1Click();
  void TreeViewEdited(QTreeWidgetItem* node, const QString& oldText, const QString& newText);
  void DeleteItemClick();
  void RebuildBtnClick();
  void Refresh1Click();
  void TreeViewKeyUp(QKeyEvent* event);
  void ListView1DblClick();
  void CompareBtnClick();
  void Findintree1Click();
  // "Backup copies": the backup dialog for the selected alias.
  void Backupcopies1Click();
  // "Archive copy", "Archive batch move...": the archive window, not modal,
  // for the alias of the selected node.
  void Addtoarchive1Click();
  // "Export to SQLite...": the selected alias's tables into a SQLite file.
  void ExporttoSQLite1Click();
  // Selects `node` (the detail views follow).
  void selectNode(QTreeWidgetItem* node);

  // "Save structure to...": the selected alias's structure into a file.
  void Savestructureto2Click();
  // The save dialog of structure files and their text: a name with the
  // chosen filter's extension (".ini" by default); "" when cancelled.
  QString askSaveFileName(const QString& title, const QString& dir);

  // The structure file viewer: a page beside "Databases", hidden until a
  // file is opened, with the file as a tree or as text.
  QWidget* INITabSheet = nullptr;
  QTreeWidget* INITreeView = nullptr;
  QPlainTextEdit* IniRichEdit = nullptr;
  QMenu* IniViewPopup = nullptr;
  void OpenINIfile1Click();
  void INITreeViewExpanding(QTreeWidgetItem* node);
  void INITreeViewChange(QTreeWidgetItem* node);
  void AsText1Click();
  void AsTree1Click();
  void Save1Click();
  void Close2Click();
  void TreePagesChange();

  // Alias editing: "New alias", the parameter grid's in-place editors, and
  // Apply / Cancel of the edits.
  void Alias1Click();
  void StringGridSelectCell(int row, int column);
  void ButtonOnClick();   // the path button: a folder
  void dButtonOnClick();  // the BCD button: its pick list
  void aButtonOnClick();  // the driver button: its pick list
  void ListBoxOnMouseUp(QListWidgetItem* item);
  void StringGridExit();
  void ApplyBtnClick();
  void CancelBtnClick();
  QPushButton* PathButton = nullptr;  // the in-place editors, made on demand
  QPushButton* BcdButton = nullptr;
  QPushButton* DriverButton = nullptr;
  QListWidget* BcdList = nullptr;
  QListWidget* DriverList = nullptr;

  // "New" table: the type prompt, then the design dialog of that kind.
  void Table1Click();
  // "Restructure": the design dialog of the selected table.
  void Restructure1Click();

  // Detail views.
  void TreeViewChange(QTreeWidgetItem* node);
  void ShowPropertyGrid(const QStringList& list);

  // Data page (the grid over aTable) and the table commands that act on it.
  // Binds the grid to aTable as it is now (open or closed).
  void bindDataGrid();
  // The grid's current row; -1 without one.
  int currentGridRow() const;
  // Makes `row` the grid's current row (and aTable's current record).
  void goToGridRow(int row);
  void navigate(const QString& button);
  void ShowDelBtnClick(bool pressed);
  void UnDelBtnClick();
  void Empty1Click();
  void Copy2Click();
  void Pack1Click();
  void Order1Click();
  void Filter1Click();
  void Round1Click();
  // The grid's rows into a CSV file chosen by the user.
  void ExporttoCSV1Click();
  // Ctrl+C in the grid: the selected cells as tab-separated text, with the
  // column names as the first line.
  void copyGridSelection();
  // "Empty" of an alias: deletes all its tables (after the backup offer).
  void Deletetables1Click();
  // Clears the lookup tables of the browsed table's validity checks.
  void Removelookuplinks1Click();
  // Ctrl+F in the grid: a find-in-field dialog for the current column.
  void openFindDialog();
  // The grid moves to aTable's current record (after a search or an order).
  void showTableRecord();
  // Commands handled here.
  void Exit1Click();
  void Add1Click();
  void Remove1Click();
  void Removeall1Click();
  void Setnetdirectory1Click();
  void Setprivatedirectory1Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildMenus();
  void buildToolBar();
  void buildStatusBar();
  void wireCommands();
  void buildPages();
  void buildInformationPage();
  void buildDataPage();
  void buildSqlPage();
  void buildQueryFileBar();
  // The query pages' commands.
  void ToolButton7Click();   // Run on "Enter SQL"
  void LoadSQLBtnClick();
  void SaveSQLBtnClick();
  void NxtSQLBtnClick();
  void PrvSQLBtnClick();
  void SQLToolBtnClick();    // Run of a query file
  void ToolButton15Click();  // Close query
  void SQLRichEditChange();
  void ToolButton16Click();  // Save query text
  void SaveRsltBtnClick();
  // The engine's progress of a running query, shown in the status line
  // of the page that ran it.
  int cbGenMsg(std::int16_t percent, const std::string& message);
  // Runs `query` with progress in `status`; true when it answered rows.
  bool runQuery(engine::TQuery& query, QStatusBar* status);
  QString queryFilePath() const;
  void buildNavigator();
  void wireDataCommands();
  void gridRowChanged(int row);
  // The grid has the focus: status panel 0 follows its record number.
  void DBGrid1Enter();
  // The popup's "Round..." is offered for number columns.
  void DBGrid1ColEnter();
  void gridEditRefused(const QModelIndex& index, const QString& text, const QString& message);
  // Writes the grid's rows to `path`; false when the user cancelled.
  bool exportRows(const QString& path, std::uint32_t& rowsWritten);
  // Reopens aTable (shared) after a whole-table command and shows it again.
  void reopenTable();
  bool tableSelected() const;
  void buildIniViewer();
  QAction* addCommand(QWidget* menu, const QString& name, const QString& caption,
                      const QString& hint = QString(), const QString& shortcut = QString());
  QMenu* addSubmenu(QMenu* menu, const QString& name, const QString& caption);
  void StatusBar1DrawPanel();
  void setPanelText(int index, const QString& text);
  void setTreeEditable(bool editable);
  void setPageVisible(QWidget* page, bool visible);
  void showPage(QWidget* page);
  void OpenCloseBtnClick(bool pressed);
  void pressOpenCloseBtn(bool pressed);
  void fillTables(QTreeWidgetItem* alias);
  void fillQueryFiles(QTreeWidgetItem* alias);
  void fillCategories(QTreeWidgetItem* table);
  void fillLinkSides(QTreeWidgetItem* category);
  void openTableOf(QTreeWidgetItem* tableNode);
  void renameAlias(const QString& oldName, const QString& newName);
  void renameTable(QTreeWidgetItem* node, const QString& oldName, const QString& newName);
  void deleteNode(QTreeWidgetItem* node);
  void itemChanged(QTreeWidgetItem* node);
  bool editingAlias() const;
  bool pendingAliasSelected() const;
  void setAliasEditsEnabled(bool enabled);
  void placeAliasEditors();
  void freeAliasEditors();
  void togglePickList(QListWidget*& list, const char* objectName, const QStringList& items);
  void setAliasValue(const QString& name, const QString& value, const QString& start);
  void applyNewAlias(QTreeWidgetItem* node);
  void relistTables(QTreeWidgetItem* alias);
  void showNewStructure(QTreeWidgetItem* table);
  // Detail views by level.
  void showNode(QTreeWidgetItem* node);
  void showFailure(const QString& message);
  void showRoot();
  void showAlias(QTreeWidgetItem* node);
  void showGroup(QTreeWidgetItem* node);
  void showTableOrQuery(QTreeWidgetItem* node);
  void showCategory(QTreeWidgetItem* node);
  void showItem(QTreeWidgetItem* node);
  void showLevel6(QTreeWidgetItem* node);
  void showLevel7(QTreeWidgetItem* node);

  QLabel* panels_[3] = {};
  QWidget* progressPanel_ = nullptr;  // status panel 3
  QStackedWidget* iniStack_ = nullptr;  // INITreeView over IniRichEdit
  std::unique_ptr<structure::IniFile> IniFile_;  // the file the viewer shows
  bool iniTextCrLf_ = false;  // the text in IniRichEdit came with CR LF line ends
  bool gridEntered_ = false;  // DBGrid1 has had the focus since it last lost it
  QStringList pendingAliasLines_;  // the grid of the new alias not yet saved
  QueryHistory QueryHistory_;      // the statements of "Enter SQL"
  bool ProgressToFileEditor = false;  // progress goes to the query file's status line
};
