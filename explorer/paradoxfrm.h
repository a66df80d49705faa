// The main window: the explorer tree on the left, the detail pages on the
// right, menus, tool bar and status bar.
#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QTabWidget;
class QToolBar;
class QTreeWidget;

class TParadoxfrm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TParadoxfrm(QWidget* parent = nullptr);

  // Builds the first level of the tree (also used to rebuild it).
  void FormCreate();
  // Puts the long part of a "short|long" hint into status panel 2.
  void MyHint(const QString& hint);
  // The text of a status panel (0-2).
  QString panelText(int index) const;

  QTreeWidget* TreeView = nullptr;
  QTabWidget* TreePages = nullptr;
  QTabWidget* PageControl = nullptr;
  QToolBar* ToolBar1 = nullptr;
  QMenu* TreePopup = nullptr;
  QMenu* GridPopup = nullptr;
  QProgressBar* ProgressBar = nullptr;

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
  void buildPages();
  QAction* addCommand(QWidget* menu, const QString& name, const QString& caption,
                      const QString& hint = QString(), const QString& shortcut = QString());
  QMenu* addSubmenu(QMenu* menu, const QString& name, const QString& caption);
  void notAvailable();
  void StatusBar1DrawPanel();

  QLabel* panels_[3] = {};
  QWidget* progressPanel_ = nullptr;  // status panel 3
};
