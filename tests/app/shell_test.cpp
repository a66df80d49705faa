// The main window's shell: menus, tool bar and hints, the first level of
// the tree, the password prompt of protected tables, the session passwords
// and the session directories.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QApplication>
#include <QProgressBar>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QStatusBar>
#include <QToolBar>
#include <QTest>
#include <QTreeWidget>
#include <fstream>
#include <functional>
#include <sstream>

#include "app/aboutbox.h"
#include "app/demodb.h"
#include "app/dmf.h"
#include "app/globals.h"
#include "engine/config/config.h"
#include "engine/engine.h"
#include "compare/differentf.h"
#include "explorer/archivef.h"
#include "explorer/paradoxfrm.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/tempdir.h"

namespace {

using engine::Ok;

// Each test works on its own configuration file and a session without
// passwords.
class Shell : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::SetConfigFile(dir / "engine.cfg");
    ASSERT_EQ(engine::ReloadConfig(), Ok) << engine::LastErrorMessage();
    std::vector<std::string> names;
    ASSERT_EQ(engine::GetAliasNames(names), Ok);
    for (const auto& n : names) ASSERT_EQ(engine::DeleteAlias(n), Ok);
    DMF().aSession.RemoveAllPasswords();
    ResetGlobals();
  }
  void TearDown() override {
    DMF().aSession.Close();
    DMF().aSession.RemoveAllPasswords();
    engine::SetConfigFile("");
  }
  void AddAlias(const std::string& name) {
    ASSERT_EQ(engine::AddStandardAlias(name, dir.path(), "PARADOX"), Ok)
        << engine::LastErrorMessage();
  }
  static std::vector<std::string> Passwords() { return engine::SessionPasswords(); }

  TempDir dir;
};

// caption [shortcut] {hint}, with submenus indented under their item.
void Describe(const QList<QAction*>& actions, const QString& indent, QStringList& out) {
  for (QAction* a : actions) {
    if (a->isSeparator()) continue;
    QString line = indent + a->text();
    if (!a->shortcut().isEmpty()) line += " [" + a->shortcut().toString() + "]";
    const QString hint = a->property("hint").toString();
    if (!hint.isEmpty()) line += " {" + hint + "}";
    out << line;
    if (a->menu()) Describe(a->menu()->actions(), indent + "  ", out);
  }
}

QStringList Describe(const QList<QAction*>& actions) {
  QStringList out;
  Describe(actions, "", out);
  return out;
}

QStringList TreeLines(QTreeWidget* tree) {
  QStringList out;
  std::function<void(QTreeWidgetItem*, QString)> walk = [&](QTreeWidgetItem* item, QString indent) {
    out << indent + item->text(0);
    for (int i = 0; i < item->childCount(); ++i) walk(item->child(i), indent + "  ");
  };
  for (int i = 0; i < tree->topLevelItemCount(); ++i) walk(tree->topLevelItem(i), "");
  return out;
}

TEST_F(Shell, MenusCarryTheirCaptionsAndShortcutsInOrder) {
  TParadoxfrm form;
  EXPECT_EQ(Describe(form.menuBar()->actions()),
            (QStringList{"&Main", "  Find in &tree", "  Re&fresh tree", "  Open &INI File",
                         "  Set directory", "    Set net directory", "    Set private directory",
                         "  &Passwords", "    &Add", "    &Remove", "    Remo&ve all", "  &Exit",
                         "&Databases", "  Open", "  Close", "  &New", "  &Delete",
                         "  &Compare with...", "  Save structure to... [Ctrl+S]", "  &Empty",
                         "  &Archive copy", "  Backup copies", "  Export to SQLite...", "Ta&bles", "  &New",
                         "  &Restructure", "  &Utils", "    &Empty", "    &Copy", "    &Pack",
                         "    &Rename", "    Remove lookup links", "&Help", "  &About"}));
  EXPECT_EQ(Describe(form.TreePopup->actions()),
            (QStringList{"&Open", "&Close", "&Apply", "Ca&ncel", "&Delete [Ctrl+Del]", "Refresh",
                         "Table utilites", "  New", "  Empty", "  Copy", "  Pack", "  Rename",
                         "  Restructure", "Database utilites", "  New alias",
                         "  Archive batch move...", "  Empty", "  Compare with...",
                         "  Save structure to... [Ctrl+S]", "  Backup copies...",
                         "  Export to SQLite..."}));
  EXPECT_EQ(Describe(form.GridPopup->actions()),
            (QStringList{"Order...", "Filter...", "Round...", "Export to CSV..."}));
}

TEST_F(Shell, AboutBoxNamesTheProductItsVersionAndTheUser) {
  TParadoxfrm form;
  ScriptedPrompter script;
  QStringList texts;
  script.answer(ScriptedPrompter::DialogDriver([&](QDialog& d) {
    for (QLabel* label : d.findChildren<QLabel*>()) texts << label->text();
    return int(QDialog::Accepted);
  }));
  form.command("About1")->trigger();
  ASSERT_EQ(texts.size(), 3);
  EXPECT_EQ(texts[0], "Quarrydesk");
  EXPECT_EQ(texts[1], QString("Version ") + QUARRY_VERSION);
  EXPECT_EQ(texts[2], "User: " + CurrentUserName());
  EXPECT_FALSE(CurrentUserName().isEmpty());
}

TEST_F(Shell, ToolBarButtonsShowTheShortHintAndPutTheLongOneIntoPanelTwo) {
  TParadoxfrm form;
  struct Button {
    const char* name;
    QString shortHint, longHint;
  };
  const Button buttons[] = {
      {"OpenCloseBtn", "Open/Close database", "Open or close selected database"},
      {"RefreshBtn", "Refresh", "Rebuild tree begining from selected node"},
      {"CompareBtn", "Compare", "Compare database with another or INI file"},
      {"TreeSearchBtn", "Find in tree", "Find in tree"},
      {"RstrctBtn", "Restructure table", "Restructure table"},
      {"DelBtn", "Delete", "Delete database, table or index"},
      {"CancelBtn", "Cancel edits", "Cancel all edits"},
      {"ApplyBtn", "Apply edits", "Apply all edits"}};
  QList<QAction*> actions = form.ToolBar1->actions();
  ASSERT_EQ(actions.size(), std::size(buttons));
  for (int i = 0; i < actions.size(); ++i) {
    SCOPED_TRACE(buttons[i].name);
    EXPECT_EQ(actions[i]->objectName(), buttons[i].name);
    EXPECT_EQ(actions[i]->toolTip(), buttons[i].shortHint);
    actions[i]->hover();
    EXPECT_EQ(form.panelText(2), buttons[i].longHint);
  }
}

TEST_F(Shell, StatusBarKeepsTheProgressBarInPanelThree) {
  TParadoxfrm form;
  form.show();
  QWidget* panel3 = form.statusBar()->findChild<QWidget*>("StatusPanel3");
  ASSERT_NE(panel3, nullptr);
  ASSERT_NE(form.ProgressBar, nullptr);
  EXPECT_EQ(form.ProgressBar->parentWidget(), panel3);
  EXPECT_EQ(form.ProgressBar->geometry(), panel3->rect());
}

TEST_F(Shell, EveryOtherCommandRunsWithoutAQuestion) {
  TParadoxfrm form;
  const QStringList handledHere = {
      "Exit1",       "Add1",       "Remove1",      "Removeall1",   "Setnetdirectory1",
      "Setprivatedirectory1",      "Findintree1",  "TreeSearchBtn", "Refreshtree1",
      "RefreshNode", "RefreshBtn", "Delete1",      "DeleteNode",   "DelBtn",
      "RenameTable1", "TableRenamePopup",          "Open1",        "OpenNode",
      "Close1",      "CloseNode",  "OpenCloseBtn", "About1",
      "Savestructureto1", "SavestructuretoPopup",
      "Backupcopies1", "BackupcopiesPopup", "ExporttoSQLite1", "ExporttoSQLitePopup",
      "CompareBtn", "ComparewithPopup",
      "OpenINIFile1", "AsText1",   "AsTree1",      "Save1",        "Close2",
      "EmptyTable1", "TableEmptyPopup", "CopyTable1", "TableCopyPopup", "PackTable1",
      "TablePackPopup", "Order1", "Filter1", "Round1", "Empty1",
      "EmptyDatabasePopup", "Removelookuplinks1", "New1", "NewaliasPopup", "ApplyBtn",
      "ApplyNode", "CancelBtn", "CancelNode", "ExporttoCSV1", "Copy1", "Cut1", "Paste1",
      "SelectAll1", "SaveToFile1", "LoadFromFile1", "Print1", "Font1", "Alwaysshow1",
      "StretchImage1", "Archivecopy1", "ArchivebatchmovePopup", "NewTable1", "TableNewPopup",
      "Restructure1", "TableRestructurePopup", "RstrctBtn", "RunSQLQryBtn", "LoadSQLBtn",
      "SaveSQLBtn", "NxtSQLBtn", "PrvSQLBtn", "SQLToolBtn", "FLiveQryBtn", "ToolButton15",
      "SaveBtn", "SaveRsltBtn"};
  const auto inOtherWindow = [&form](const QObject* o) {
    for (; o; o = o->parent())
      if (o == form.DifferentF || o == form.ArchiveF) return true;
    return false;
  };
  int commands = 0;
  for (QAction* a : form.findChildren<QAction*>()) {
    if (inOtherWindow(a) || a->menu() || a->isSeparator() || a->objectName().isEmpty() ||
        handledHere.contains(a->objectName()) || a->objectName().endsWith("Item"))
      continue;
    SCOPED_TRACE(a->objectName().toStdString());
    ScriptedPrompter script;
    // Nothing is scripted: a question would fail the test. "Compare with..."
    // of the Databases menu does nothing at all.
    a->trigger();
    ++commands;
  }
  EXPECT_GE(commands, 1);  // "Compare with..." at least
}

TEST_F(Shell, CtrlSReachesTheMenuBarsCommandWhileTheTreeHasTheFocus) {
  AddAlias("WORK");
  TParadoxfrm form;
  form.show();
  QApplication::setActiveWindow(&form);
  form.TreeView->setFocus();
  form.TreeView->setCurrentItem(form.TreeView->topLevelItem(0)->child(0));  // the alias
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{}, "Save structure to");  // cancelled
  QTest::keyClick(form.TreeView, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(script.asked().size(), 1);
}

TEST_F(Shell, TreeListsStandardAliasesSorted) {
  for (const char* name : {"ZOO", "alpha", "DEMO", "Beta"}) AddAlias(name);
  TParadoxfrm form;
  EXPECT_EQ(TreeLines(form.TreeView),
            (QStringList{"DataBases", "  Beta", "    Tables", "    SQL & QBE Files", "  DEMO",
                         "    Tables", "    SQL & QBE Files", "  ZOO", "    Tables",
                         "    SQL & QBE Files", "  alpha", "    Tables", "    SQL & QBE Files"}));
}

TEST_F(Shell, TreeLeavesOutAliasesOfOtherKinds) {
  AddAlias("KEPT");
  AddAlias("REMOTE");
  ASSERT_EQ(engine::SaveConfigFile(), Ok);
  // The program cannot make such an alias; another program's file can hold one.
  std::ifstream in(dir / "engine.cfg");
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  const auto remote = s.find("REMOTE");
  ASSERT_NE(remote, std::string::npos);
  const auto type = s.find("STANDARD", remote);
  ASSERT_NE(type, std::string::npos);
  s.replace(type, 8, "INTRBASE");
  std::ofstream(dir / "engine.cfg", std::ios::trunc) << s;
  if (engine::ReloadConfig() != Ok) GTEST_SKIP() << engine::LastErrorMessage();
  TParadoxfrm form;
  EXPECT_EQ(TreeLines(form.TreeView),
            (QStringList{"DataBases", "  KEPT", "    Tables", "    SQL & QBE Files"}));
}

TEST_F(Shell, ExitClosesTheWindowAndTheSession) {
  AddAlias("DEMO");
  TParadoxfrm form;
  form.show();
  DMF().aSession.OpenDatabase("DEMO");
  ASSERT_EQ(DMF().IsOpenedDataBase("DEMO"), 0);
  EXPECT_EQ(DMF().IsOpenedDataBase("demo"), -1);  // names compare exactly
  form.findChild<QAction*>("Exit1")->trigger();
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(DMF().aSession.Active());
  EXPECT_EQ(DMF().IsOpenedDataBase("DEMO"), -1);
}

TEST_F(Shell, NoAliasLeavesOnlyTheRoot) {
  TParadoxfrm form;
  EXPECT_EQ(TreeLines(form.TreeView), QStringList{"DataBases"});
}

TEST_F(Shell, ShowingTheWindowFocusesTheTree) {
  TParadoxfrm form;
  form.show();
  QApplication::setActiveWindow(&form);
  EXPECT_EQ(form.focusWidget(), form.TreeView);
  EXPECT_TRUE(form.windowState() & Qt::WindowMaximized);
}

class ProtectedTable : public Shell {
 protected:
  void SetUp() override {
    Shell::SetUp();
    ASSERT_EQ(CreateDemoDatabase(dir / "demo"), Ok) << engine::LastErrorMessage();
    ASSERT_EQ(engine::AddStandardAlias("DEMO", dir / "demo", "PARADOX"), Ok);
    DMF().aTable.SetDatabaseName("DEMO");
    DMF().aTable.SetTableName("SECRETS.DB");
  }
  void TearDown() override {
    DMF().aTable.Close();
    Shell::TearDown();
  }
};

TEST_F(ProtectedTable, RightPasswordOpensInTheSameAttempt) {
  {
    ScriptedPrompter script;
    script.answer(TypePassword(kDemoMasterPassword, "OKBtn"), "DEMO: SECRETS.DB");
    DMF().aTable.Open();
  }
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_EQ(LastPassword, kDemoMasterPassword);
  EXPECT_EQ(Passwords(), std::vector<std::string>{kDemoMasterPassword});
}

// The dialog shows its whole title (which table asks), and asking again
// after a wrong password says that the password was wrong.
TEST_F(ProtectedTable, AWrongPasswordIsSaidToBeWrongWhenAskedAgain) {
  bool refusedShownFirst = true, refusedShownAgain = false, titleFits = false;
  const auto answer = [&](const QString& password, bool& refusedShown) {
    return [&, password](QDialog& d) {
      refusedShown = !d.findChild<QLabel*>("RefusedLabel")->isHidden();
      titleFits = d.sizeHint().width() > d.fontMetrics().horizontalAdvance(d.windowTitle());
      return TypePassword(password, "OKBtn")(d);
    };
  };
  {
    ScriptedPrompter script;
    script.answer(ScriptedPrompter::DialogDriver(answer("wrong", refusedShownFirst)),
                  "DEMO: SECRETS.DB");
    script.answer(ScriptedPrompter::DialogDriver(answer(kDemoMasterPassword, refusedShownAgain)),
                  "DEMO: SECRETS.DB");
    DMF().aTable.Open();
  }
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_FALSE(refusedShownFirst);
  EXPECT_TRUE(refusedShownAgain);
  EXPECT_TRUE(titleFits);
}

TEST_F(ProtectedTable, CancelFailsTheOpenWithTheEnginesMessage) {
  ScriptedPrompter script;
  script.answer(TypePassword(kDemoMasterPassword, "CancelBtn"), "DEMO: SECRETS.DB");
  try {
    DMF().aTable.Open();
    FAIL() << "the table opened";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), engine::ErrPasswordRequired);
    EXPECT_NE(std::string(e.what()).find("SECRETS"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(DMF().aTable.Active());
  EXPECT_TRUE(Passwords().empty());
  EXPECT_TRUE(LastPassword.isEmpty());
}

TEST_F(Shell, PasswordButtonsFollowTheEditsText) {
  TrePasswordF dialog;
  EXPECT_EQ(dialog.windowTitle(), "Enter password");
  EXPECT_EQ(dialog.pEdit->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(dialog.OKBtn->isDefault());
  auto enabled = [&] {
    return std::vector<bool>{dialog.OKBtn->isEnabled(), dialog.AddPassBtn->isEnabled(),
                             dialog.RemovePassBtn->isEnabled(), dialog.RemoveAllBtn->isEnabled()};
  };
  EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, true}));
  dialog.pEdit->setText("ab");
  EXPECT_EQ(enabled(), (std::vector<bool>{true, true, true, true}));
  dialog.pEdit->setText("");
  EXPECT_EQ(enabled(), (std::vector<bool>{false, false, false, true}));
}

TEST_F(Shell, AddMenuAddsThePasswordAndAddThenCancelKeepsIt) {
  TParadoxfrm form;
  ScriptedPrompter script;
  script.answer(TypePassword("first", "OKBtn"), "Add password to session");
  script.answer(TypePassword("second", "AddPassBtn"), "Add password to session");  // left open ...
  form.findChild<QAction*>("Add1")->trigger();
  form.findChild<QAction*>("Add1")->trigger();  // ... and the driver's result is Rejected
  EXPECT_EQ(Passwords(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(LastPassword, "first");
}

TEST_F(Shell, MasterPasswordBeingDesignedIsNotAddedByTheAddButton) {
  MasterPasswordSet = true;
  TrePasswordF dialog;
  dialog.pEdit->setText("master");
  dialog.AddPassBtn->click();
  EXPECT_TRUE(Passwords().empty());
}

TEST_F(Shell, RemoveMenuRemovesWithTheDialogsButtons) {
  DMF().aSession.AddPassword("one");
  DMF().aSession.AddPassword("two");
  DMF().aSession.AddPassword("three");
  TParadoxfrm form;
  ScriptedPrompter script;
  script.answer(TypePassword("two", "RemovePassBtn"), "Remove Password From Current Session");
  form.findChild<QAction*>("Remove1")->trigger();
  EXPECT_EQ(Passwords(), (std::vector<std::string>{"one", "three"}));
  script.answer(
      [](QDialog& d) {
        d.findChild<QPushButton*>("RemoveAllBtn")->click();
        return int(QDialog::Rejected);
      },
      "Remove Password From Current Session");
  form.findChild<QAction*>("Remove1")->trigger();
  EXPECT_TRUE(Passwords().empty());
}

TEST_F(Shell, RemoveAllMenuAsksNothing) {
  DMF().aSession.AddPassword("one");
  DMF().aSession.AddPassword("two");
  TParadoxfrm form;
  ScriptedPrompter script;  // fails on any question
  form.findChild<QAction*>("Removeall1")->trigger();
  EXPECT_TRUE(Passwords().empty());
}

struct DirectoryCase {
  const char* action;
  const char* title;
  const char* prompt;
  std::string (engine::TSession::*get)();
};

// Also keeps the title and preset text of each input box.
struct InputRecorder : ScriptedPrompter {
  QStringList titles, presets;
  std::optional<QString> input(const QString& title, const QString& prompt, const QString& value,
                               bool password) override {
    titles << title;
    presets << value;
    return ScriptedPrompter::input(title, prompt, value, password);
  }
};

class DirectoryBox : public Shell, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DirectoryBox, OkSetsTheTypedDirectoryAndCancelKeepsIt) {
  const DirectoryCase& c = GetParam();
  engine::TSession& session = DMF().aSession;
  const std::string before = (session.*c.get)();
  TParadoxfrm form;
  InputRecorder script;
  script.answer(std::optional<QString>(), c.prompt);
  form.findChild<QAction*>(c.action)->trigger();
  EXPECT_EQ((session.*c.get)(), before);
  EXPECT_EQ(script.lastAsked(), c.prompt);

  script.answer(std::optional<QString>(QString::fromStdString(dir.path())), c.prompt);
  form.findChild<QAction*>(c.action)->trigger();
  EXPECT_EQ((session.*c.get)(), dir.path());

  // The box is preset with the current directory; a refused one is reported.
  script.answer(std::optional<QString>(QString::fromStdString(dir / "missing")), c.prompt);
  script.ok();
  form.findChild<QAction*>(c.action)->trigger();
  EXPECT_EQ((session.*c.get)(), dir.path());
  EXPECT_EQ(script.titles, QStringList(3, c.title));
  EXPECT_EQ(script.presets, (QStringList{QString::fromStdString(before),
                                         QString::fromStdString(before),
                                         QString::fromStdString(dir.path())}));
}

INSTANTIATE_TEST_SUITE_P(
    Shell, DirectoryBox,
    ::testing::Values(DirectoryCase{"Setnetdirectory1", "Set Net Directory", "Net directory:",
                                    &engine::TSession::NetFileDir},
                      DirectoryCase{"Setprivatedirectory1", "Set Private Directory",
                                    "Private directory:", &engine::TSession::PrivateDir}));

}  // namespace
