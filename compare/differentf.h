// The comparison window: compares every Paradox table of one alias (the
// target) with a second alias or a structure file (the reference), shows
// the differences as a tree with a property grid, lets the user prune them
// and brings the target into line with what is left. The comparison and
// its application are compare_core's; this window shows and asks.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include "compare/difference.h"
#include "engine/dataset/table.h"

class QAction;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QStackedWidget;
class QTabWidget;
class QTableWidget;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;
class TParadoxfrm;
class TRestOptF;

class TDifferentF : public QMainWindow {
  Q_OBJECT
 public:
  // `explorer` names the target (its selected node) and the aliases (its
  // tree), and opens the reference alias as its tree does.
  explicit TDifferentF(TParadoxfrm* explorer, QWidget* parent = nullptr);
  ~TDifferentF() override;

  // The explorer's "Compare": prepares the window and shows it, not modally.
  void Execute();
  void FormShow();
  void mnuItemOnClick(const QString& alias);
  // "Open INI" pressed (choose a file) or released (back to alias mode).
  void LoadINIBtn1Click(bool pressed);
  void LoadDataFromFileClick();
  void SpeedButton1Click();  // "Compare"
  void ApplyAllBtn1Click();  // "Apply"
  // "Preview": what "Apply" would do, table by table, in the error-info page;
  // nothing changes and the result stays whole.
  void PreviewBtnClick();
  void TreeView1Change(QTreeWidgetItem* node);
  void delee1Click();  // removes the selected node and what is under it
  void Viewtext1Click();
  void Save1Click();
  void Close1Click();
  void ErrDebugBtnClick();
  void Stayontop1Click();
  void Restructureoptions1Click();
  // Selects the tree node of table `index` and moves the progress bar there.
  void stepTo(int index, int total);

  bool fileMode() const;
  // The model node a tree node shows; nullptr when the two disagree.
  compare::ResultNode* nodeOf(QTreeWidgetItem* item);

  QString TargetAliasName;
  QString ReferenceAliasName;
  QString ReferenceFileName;
  QStringList ApplyErrorList;  // "TABLE=engine message"
  bool CollectErrorInfo = true;

  QToolBar* ToolBar1;
  QToolButton* AliasBtn;
  QMenu* AliasMenu;        // the alias drop-down
  QMenu* Selectalias1;     // "&Select alias"
  QAction* LoadINIBtn;
  QAction* OptionsBtn;
  QAction* ErrDebugBtn;
  QAction* CompareBtn;
  QAction* PreviewBtn;
  QAction* ApplyBtn;
  QAction* CloseBtn;
  QAction* Loaddatafromfile1;
  QAction* Getstartingcompare1;
  QAction* Restructureoptions1;
  QAction* Applyrestructuretoall1;
  QAction* Errorinfo1;
  QAction* Stayontop1;
  QAction* Close2;
  QMenu* PopupMenu1;  // the tree's
  QAction* delee1;
  QAction* Viewtext1;
  QMenu* TextPopup;   // the text view's
  QAction* Save1;
  QAction* Close1;
  QStackedWidget* TreeStack;  // the tree over the text view
  QTreeWidget* TreeView1;
  QPlainTextEdit* IniTextMemo;
  QTabWidget* PageControl1;
  QWidget* ResultPage;
  QWidget* ErrorPage;
  QTableWidget* PGrid;
  QPlainTextEdit* ErrorMemo;
  QProgressBar* ProgressBar1;
  TRestOptF* RestOptF = nullptr;  // made on first use, then kept

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildActions();
  void buildMenus();
  void buildToolBar();
  void buildBody();
  void buildStatusBar();
  QAction* addAction(const char* name, const QString& caption, const QString& hint = QString(),
                     const QKeySequence& shortcut = QKeySequence());
  void FormClose();
  void clearResult();
  void showResult();
  void setHeaders(const QString& reference);
  QString referenceHeader() const;
  void setCollectErrorInfo(bool on);
  // Runs the application (or its preview); the tree shows what is left.
  void apply(bool preview);

  TParadoxfrm* explorer_;
  compare::ResultNode result_;
  engine::TTable OrigTB;
  engine::TTable CompareTB;
  bool textCrLf_ = false;
};
