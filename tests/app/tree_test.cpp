// The explorer tree on a real demo database: lazy expansion, opening and
// closing databases, the commands offered per level, rename, delete,
// refresh and the Ctrl keys.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "app/prompter.h"
#include "explorer/treenodes.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"

namespace {

namespace fs = std::filesystem;

using Tree = ExplorerTest;

void Touch(const std::string& path) { std::ofstream(path) << "SELECT 1\n"; }

// Edits the selected node's label as a user would and presses Enter.
void EditLabel(TParadoxfrm& form, const QString& text) {
  form.show();
  QApplication::setActiveWindow(&form);
  EXPECT_TRUE(QTest::qWaitForWindowActive(&form));
  form.TreeView->setFocus();
  form.Rename1Click();
  auto* editor = form.TreeView->findChild<QLineEdit*>();
  ASSERT_NE(editor, nullptr);
  editor->setFocus();
  editor->setText(text);
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();  // the edit is committed from the event queue
  QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // the editor goes
}

bool Exists(const std::string& path) { return fs::exists(path); }

TEST_F(Tree, ExpandingAnAliasOpensItAndListsItsTablesAndQueryFiles) {
  Touch(demo() + "/a.sql");
  Touch(demo() + "/b.qbe");
  Touch(demo() + "/c.sql");
  TParadoxfrm form;
  QTreeWidgetItem* alias = Node(form, "DEMO");
  alias->setExpanded(true);
  EXPECT_TRUE(alias->isExpanded());
  EXPECT_EQ(tree::ImageOf(alias), tree::OpenDatabaseImage);
  EXPECT_EQ(CurrentDatabaseIndex, DMF().IsOpenedDataBase("DEMO"));
  EXPECT_GE(CurrentDatabaseIndex, 0);
  EXPECT_EQ(CurrentAliasDriver, "STANDARD");
  const QStringList tables = {"CUSTOMER.DB", "NOTES.DB", "ORDERS.DB",
                              "PARTS.DBF",   "SECRETS.DB", "STATUS.DB"};
  EXPECT_EQ(Children(tree::Child(alias, "Tables")), tables);
  EXPECT_EQ(Children(tree::Child(alias, "SQL & QBE Files")),
            (QStringList{"BRISTOL.SQL", "a.sql", "c.sql", "CUSTOMERS.QBE", "b.qbe"}));
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/NOTES.DB")),
            (QStringList{"FIELDS", "INDEXES", "VALIDITY CHECKS", "REFERENTIAL INTEGRITY",
                         "SECURITY", "FAMILY MEMBERS"}));

  // A second expansion adds nothing.
  alias->setExpanded(false);
  alias->setExpanded(true);
  EXPECT_EQ(Children(tree::Child(alias, "Tables")), tables);
  EXPECT_EQ(tree::Child(alias, "SQL & QBE Files")->childCount(), 5);
}

TEST_F(Tree, AnAliasThatCannotOpenStaysClosedWithoutAMessage) {
  ASSERT_EQ(engine::AddStandardAlias("GONE", dir / "nowhere", "PARADOX"), engine::Ok);
  TParadoxfrm form;
  ScriptedPrompter script;  // any message would fail the test
  QTreeWidgetItem* alias = Node(form, "GONE");
  alias->setExpanded(true);
  EXPECT_FALSE(alias->isExpanded());
  EXPECT_EQ(tree::ImageOf(alias), tree::ClosedDatabaseImage);
  EXPECT_EQ(tree::Child(alias, "Tables")->childCount(), 0);
}

TEST_F(Tree, ExpandingATableFillsItsCategoriesAndLinksTheirSides) {
  TParadoxfrm form;
  QTreeWidgetItem* orders = Node(form, "DEMO/Tables/ORDERS.DB");
  orders->setExpanded(true);
  EXPECT_EQ(Children(tree::Child(orders, "FIELDS")),
            (QStringList{"OrderNo", "CustNo", "Placed", "Amount", "Status", "Paid"}));
  EXPECT_EQ(Children(tree::Child(orders, "INDEXES")), (QStringList{"<Primary>", "CustNo"}));
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/ORDERS.DB/INDEXES/CustNo")), QStringList{"Fields"});
  EXPECT_EQ(Children(tree::Child(orders, "VALIDITY CHECKS")),
            (QStringList{"Amount", "Status", "Paid"}));
  EXPECT_EQ(Children(tree::Child(orders, "SECURITY")), QStringList());
  EXPECT_EQ(Children(tree::Child(orders, "FAMILY MEMBERS")), QStringList());
  QTreeWidgetItem* links = tree::Child(orders, "REFERENTIAL INTEGRITY");
  EXPECT_EQ(Children(links), QStringList{"OrderCustomer"});
  EXPECT_EQ(Children(links->child(0)), QStringList());  // filled when the category expands
  links->setExpanded(true);
  EXPECT_EQ(Children(links->child(0)), (QStringList{"Primary Fields", "Foreing Fields"}));
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/ORDERS.DB/REFERENTIAL INTEGRITY/OrderCustomer/"
                                "Primary Fields")),
            QStringList{"CustNo"});
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/ORDERS.DB/REFERENTIAL INTEGRITY/OrderCustomer/"
                                "Foreing Fields")),
            QStringList{"CustNo"});
  links->setExpanded(false);
  links->setExpanded(true);
  EXPECT_EQ(links->child(0)->childCount(), 2);

  // The parent sees the link as well.
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/CUSTOMER.DB/REFERENTIAL INTEGRITY")),
            QStringList{"OrderCustomer"});
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/CUSTOMER.DB/INDEXES")),
            (QStringList{"<Primary>", "City", "ByName"}));
}

TEST_F(Tree, AProtectedTableAsksOnceAndListsItsPasswords) {
  TParadoxfrm form;
  QTreeWidgetItem* secrets = Node(form, "DEMO/Tables/SECRETS.DB");
  {
    ScriptedPrompter script;
    script.answer(TypePassword(kDemoMasterPassword, "OKBtn"), "DEMO: SECRETS.DB");
    secrets->setExpanded(true);
  }
  EXPECT_EQ(Children(tree::Child(secrets, "FIELDS")), (QStringList{"Item", "Secret"}));
  EXPECT_EQ(tree::Child(secrets, "SECURITY")->childCount(), 1);
}

TEST_F(Tree, ACancelledPasswordShowsTheEnginesMessageAndLeavesTheCategoriesEmpty) {
  TParadoxfrm form;
  QTreeWidgetItem* secrets = Node(form, "DEMO/Tables/SECRETS.DB");
  ScriptedPrompter script;
  script.answer(TypePassword("", "CancelBtn"), "DEMO: SECRETS.DB");
  script.ok();
  secrets->setExpanded(true);
  EXPECT_TRUE(script.lastAsked().contains("SECRETS")) << script.lastAsked().toStdString();
  EXPECT_EQ(tree::Child(secrets, "FIELDS")->childCount(), 0);
}

TEST_F(Tree, TheOpenCloseButtonOpensAndClosesTheSelectedAlias) {
  TParadoxfrm form;
  QTreeWidgetItem* alias = Node(form, "DEMO");
  form.TreeView->setCurrentItem(alias);
  QAction* button = form.command("OpenCloseBtn");
  button->trigger();
  EXPECT_TRUE(button->isChecked());
  EXPECT_EQ(tree::ImageOf(alias), tree::OpenDatabaseImage);
  EXPECT_EQ(DMF().IsOpenedDataBase("DEMO"), 0);
  EXPECT_EQ(CurrentDatabaseIndex, 0);

  alias->setExpanded(true);
  button->trigger();
  EXPECT_FALSE(button->isChecked());
  EXPECT_EQ(tree::ImageOf(alias), tree::ClosedDatabaseImage);
  EXPECT_FALSE(alias->isExpanded());
  EXPECT_EQ(DMF().IsOpenedDataBase("DEMO"), -1);
  EXPECT_EQ(CurrentDatabaseIndex, -1);
  EXPECT_FALSE(form.PageControl->isTabVisible(2));

  // The menu's commands do the same.
  form.command("Open1")->trigger();
  EXPECT_EQ(DMF().IsOpenedDataBase("DEMO"), 0);
  form.command("CloseNode")->trigger();
  EXPECT_EQ(DMF().IsOpenedDataBase("DEMO"), -1);
}

// Which commands each level offers.
TEST_F(Tree, CommandStatesFollowTheSelectedLevel) {
  TParadoxfrm form;
  const auto enabled = [&](const char* name) {
    QAction* action = form.command(name);
    EXPECT_NE(action, nullptr) << name;
    return action && action->isEnabled();
  };
  form.TreeView->setCurrentItem(Node(form, ""));
  EXPECT_TRUE(enabled("RefreshBtn"));
  EXPECT_FALSE(enabled("DelBtn"));
  EXPECT_FALSE(enabled("Databases1Item"));
  EXPECT_FALSE(enabled("Tables1Item"));
  EXPECT_FALSE(enabled("OpenCloseBtn"));

  form.TreeView->setCurrentItem(Node(form, "DEMO"));
  EXPECT_TRUE(enabled("OpenNode"));
  EXPECT_FALSE(enabled("CloseNode"));
  EXPECT_TRUE(enabled("DelBtn"));
  EXPECT_TRUE(enabled("Databases1Item"));
  EXPECT_FALSE(enabled("Tables1Item"));
  EXPECT_FALSE(enabled("RstrctBtn"));

  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables"));
  EXPECT_FALSE(enabled("RefreshNode"));
  EXPECT_FALSE(enabled("DeleteNode"));
  EXPECT_FALSE(enabled("OpenCloseBtn"));

  form.TreeView->setCurrentItem(Node(form, "DEMO"));
  EXPECT_FALSE(enabled("OpenNode"));  // the alias is open now
  EXPECT_TRUE(enabled("CloseNode"));

  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables/STATUS.DB"));
  EXPECT_TRUE(enabled("Tables1Item"));
  EXPECT_TRUE(enabled("RstrctBtn"));
  EXPECT_TRUE(enabled("DelBtn"));
  EXPECT_FALSE(enabled("Databases1Item"));
  EXPECT_FALSE(enabled("RefreshBtn"));
  EXPECT_FALSE(enabled("CompareBtn"));

  // Deeper levels keep the states of their table.
  form.TreeView->setCurrentItem(Node(form, "DEMO/Tables/STATUS.DB/FIELDS"));
  EXPECT_TRUE(enabled("Tables1Item"));
}

TEST_F(Tree, RenamingATableAsksAndRenamesItsFiles) {
  TParadoxfrm form;
  QTreeWidgetItem* notes = Node(form, "DEMO/Tables/NOTES.DB");
  form.TreeView->setCurrentItem(notes);
  {
    ScriptedPrompter script;
    script.no("Rename table NOTES.DB to MEMOS.DB");
    EditLabel(form, "MEMOS.DB");
  }
  EXPECT_EQ(notes->text(0), "NOTES.DB");
  EXPECT_TRUE(Exists(demo() + "/NOTES.DB"));
  {
    ScriptedPrompter script;
    script.yes("Rename table NOTES.DB to MEMOS.DB");
    EditLabel(form, "MEMOS.DB");
  }
  EXPECT_EQ(notes->text(0), "MEMOS.DB");
  EXPECT_FALSE(Exists(demo() + "/NOTES.DB"));
  EXPECT_TRUE(Exists(demo() + "/MEMOS.DB"));
  EXPECT_TRUE(DMF().aTable.Active());  // reopened under its new name
  EXPECT_EQ(DMF().aTable.TableName(), "MEMOS.DB");
  EXPECT_EQ(form.TreeView->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST_F(Tree, RenamingAnAliasAsksAndRewritesTheConfiguration) {
  TParadoxfrm form;
  QTreeWidgetItem* alias = Node(form, "DEMO");
  form.TreeView->setCurrentItem(alias);
  {
    ScriptedPrompter script;
    script.yes("Rename alias DEMO to SHOP");
    EditLabel(form, "SHOP");
  }
  EXPECT_EQ(alias->text(0), "SHOP");
  EXPECT_EQ(CurrentAliasName, "SHOP");
  EXPECT_NE(form.TreeView->editTriggers(), QAbstractItemView::NoEditTriggers);  // still editable
  ASSERT_EQ(engine::ReloadConfig(), engine::Ok);  // what the file holds
  std::vector<std::string> names;
  ASSERT_EQ(engine::GetAliasNames(names), engine::Ok);
  EXPECT_EQ(names, std::vector<std::string>{"SHOP"});
  engine::DatabaseDesc desc;
  ASSERT_EQ(engine::GetDatabaseDesc("SHOP", desc), engine::Ok);
  EXPECT_EQ(desc.physicalPath, demo());
  EXPECT_EQ(desc.driverType, "PARADOX");
}

TEST_F(Tree, ARefusedRenameShowsTheEnginesMessageAndKeepsTheName) {
  TParadoxfrm form;
  QTreeWidgetItem* orders = Node(form, "DEMO/Tables/ORDERS.DB");
  form.TreeView->setCurrentItem(orders);
  ScriptedPrompter script;
  script.yes("Rename table ORDERS.DB to SALES.DB");
  script.ok();  // a table in a referential link is not renamed
  EditLabel(form, "SALES.DB");
  EXPECT_EQ(orders->text(0), "ORDERS.DB");
  EXPECT_TRUE(Exists(demo() + "/ORDERS.DB"));
  EXPECT_FALSE(Exists(demo() + "/SALES.DB"));
}

TEST_F(Tree, DeletingAskAndRemovesTablesQueryFilesIndexesAndAliases) {
  TParadoxfrm form;
  const auto remove = [&](const QString& path, const QString& question, bool yes) {
    SCOPED_TRACE(path.toStdString());
    QTreeWidgetItem* node = Node(form, path);
    ASSERT_NE(node, nullptr);
    form.TreeView->setCurrentItem(node);
    ScriptedPrompter script;
    if (!question.isEmpty()) yes ? script.yes(question) : script.no(question);
    form.command("DelBtn")->trigger();
  };
  remove("DEMO/Tables/NOTES.DB", "Delete table \"NOTES.DB\" ?", false);
  EXPECT_TRUE(Exists(demo() + "/NOTES.DB"));
  EXPECT_NE(Node(form, "DEMO/Tables/NOTES.DB"), nullptr);
  remove("DEMO/Tables/NOTES.DB", "Delete table \"NOTES.DB\" ?", true);
  EXPECT_FALSE(Exists(demo() + "/NOTES.DB"));
  EXPECT_EQ(Node(form, "DEMO/Tables/NOTES.DB"), nullptr);

  remove("DEMO/SQL & QBE Files/BRISTOL.SQL", "Delete query \"BRISTOL.SQL\" ?", true);
  EXPECT_FALSE(Exists(demo() + "/BRISTOL.SQL"));
  EXPECT_EQ(Node(form, "DEMO/SQL & QBE Files/BRISTOL.SQL"), nullptr);

  remove("DEMO/Tables/ORDERS.DB/INDEXES/CustNo", "Delete index \"CustNo\" (Table: ORDERS.DB) ?",
         true);
  EXPECT_EQ(Children(Node(form, "DEMO/Tables/ORDERS.DB/INDEXES")), QStringList{"<Primary>"});
  DMF().aTable.Close();
  {
    engine::TTable orders;
    orders.SetDatabaseName("DEMO");
    orders.SetTableName("ORDERS.DB");
    orders.Open();
    std::vector<engine::IndexDesc> indexes;
    ASSERT_EQ(engine::GetIndexDescs(orders.Handle(), indexes), engine::Ok);
    EXPECT_EQ(indexes.size(), 1u);
  }

  remove("DEMO/Tables/STATUS.DB/FIELDS", "", false);  // nothing to delete, no question

  remove("DEMO", "Delete alias \"DEMO\" ?", true);
  EXPECT_EQ(Node(form, "DEMO"), nullptr);
  ASSERT_EQ(engine::ReloadConfig(), engine::Ok);
  std::vector<std::string> names;
  ASSERT_EQ(engine::GetAliasNames(names), engine::Ok);
  EXPECT_TRUE(names.empty());
  EXPECT_TRUE(Exists(demo() + "/ORDERS.DB"));  // the tables stay
}

TEST_F(Tree, DeletingThePendingNewAliasCancelsItsEdit) {
  TParadoxfrm form;
  QTreeWidgetItem* alias = tree::AddNode(form.TreeView->topLevelItem(0), "NEWALIAS",
                                         tree::ClosedDatabaseImage);
  PendingAliasMode = true;
  PendingAliasName = "NEWALIAS";
  form.command("ApplyBtn")->setEnabled(true);
  form.command("CancelBtn")->setEnabled(true);
  form.TreeView->setCurrentItem(alias);
  ScriptedPrompter script;
  script.yes("Cancel edit to NEWALIAS");
  form.DeleteItemClick();
  EXPECT_EQ(Node(form, "NEWALIAS"), nullptr);
  EXPECT_FALSE(PendingAliasMode);
  EXPECT_TRUE(PendingAliasName.isEmpty());
  EXPECT_FALSE(form.command("ApplyBtn")->isEnabled());
  EXPECT_FALSE(form.command("CancelBtn")->isEnabled());
}

TEST_F(Tree, RefreshRereadsTheTablesOfAnAliasButNotItsQueryFiles) {
  TParadoxfrm form;
  QTreeWidgetItem* alias = Node(form, "DEMO");
  alias->setExpanded(true);
  fs::copy_file(demo() + "/NOTES.DB", demo() + "/MORE.DB");
  Touch(demo() + "/new.sql");
  form.TreeView->setCurrentItem(alias);
  RestructureMode = true;
  form.RebuildBtnClick();
  EXPECT_FALSE(RestructureMode);
  EXPECT_FALSE(alias->isExpanded());
  EXPECT_EQ(tree::Child(alias, "Tables")->childCount(), 0);
  alias->setExpanded(true);
  EXPECT_TRUE(Children(tree::Child(alias, "Tables")).contains("MORE.DB"));
  EXPECT_FALSE(Children(tree::Child(alias, "SQL & QBE Files")).contains("new.sql"));
}

TEST_F(Tree, RefreshOnATableRereadsOnlyItsFields) {
  TParadoxfrm form;
  QTreeWidgetItem* status = Node(form, "DEMO/Tables/STATUS.DB");
  status->setExpanded(true);
  form.TreeView->setCurrentItem(status);
  form.command("RefreshNode")->trigger();
  EXPECT_EQ(tree::Child(status, "FIELDS")->childCount(), 0);
  EXPECT_EQ(tree::Child(status, "INDEXES")->childCount(), 1);
  status->setExpanded(true);
  EXPECT_EQ(Children(tree::Child(status, "FIELDS")), (QStringList{"Code", "Meaning"}));
  EXPECT_EQ(tree::Child(status, "INDEXES")->childCount(), 1);
}

TEST_F(Tree, RefreshOnTheRootRebuildsTheAliasLevel) {
  TParadoxfrm form;
  Node(form, "DEMO")->setExpanded(true);
  ASSERT_EQ(engine::AddStandardAlias("ARCHIVE", demo(), "PARADOX"), engine::Ok);
  form.TreeView->setCurrentItem(Node(form, ""));
  form.command("Refreshtree1")->trigger();
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), (QStringList{"ARCHIVE", "DEMO"}));
  EXPECT_EQ(tree::Child(Node(form, "ARCHIVE"), "Tables")->childCount(), 0);
}

TEST_F(Tree, CtrlTogglesATablesCutMarkAndFullPath) {
  TParadoxfrm form;
  QTreeWidgetItem* orders = Node(form, "DEMO/Tables/ORDERS.DB");
  form.TreeView->setCurrentItem(orders);
  QTest::keyRelease(form.TreeView, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(orders->text(0), QDir::toNativeSeparators(QString::fromStdString(demo()) + "/ORDERS.DB"));
  QTest::keyRelease(form.TreeView, Qt::Key_X, Qt::ControlModifier);
  EXPECT_EQ(orders->text(0), "ORDERS.DB");
  QTest::keyRelease(form.TreeView, Qt::Key_A);  // without Ctrl: no change
  EXPECT_EQ(orders->text(0), "ORDERS.DB");
}

TEST_F(Tree, DoubleClickInTheListSelectsTheNodeOfThatName) {
  TParadoxfrm form;
  QTreeWidgetItem* tables = Node(form, "DEMO/Tables");
  form.TreeView->setCurrentItem(tables);
  form.ListView1->clear();
  auto* item = new QTreeWidgetItem(form.ListView1, {"STATUS.DB"});
  form.ListView1->setCurrentItem(item);
  form.ListView1DblClick();
  EXPECT_EQ(form.TreeView->currentItem(), tree::Child(tables, "STATUS.DB"));
}

}  // namespace

namespace {

// An alias written to the configuration file behind the window's back (as
// `quarry alias add` does) appears when the root is refreshed.
TEST_F(Tree, RefreshingTheRootReadsTheConfigurationAgain) {
  const std::string config = engine::ConfigFilePath();
  ASSERT_EQ(engine::AddStandardAlias("EXTRA", demo(), "PARADOX"), engine::Ok);
  ASSERT_EQ(engine::SaveConfigFile(), engine::Ok);
  fs::copy_file(config, config + ".extra");
  ASSERT_EQ(engine::DeleteAlias("EXTRA"), engine::Ok);
  ASSERT_EQ(engine::SaveConfigFile(), engine::Ok);
  TParadoxfrm form;
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), QStringList{"DEMO"});
  fs::rename(config + ".extra", config);  // another program adds the alias
  form.TreeView->setCurrentItem(form.TreeView->topLevelItem(0));
  form.command("RefreshBtn")->trigger();
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), (QStringList{"DEMO", "EXTRA"}));

  // An alias of this session not yet saved is never dropped by a refresh.
  ASSERT_EQ(engine::AddStandardAlias("MINE", demo(), "PARADOX"), engine::Ok);
  form.TreeView->setCurrentItem(form.TreeView->topLevelItem(0));
  form.command("RefreshBtn")->trigger();
  EXPECT_EQ(Children(form.TreeView->topLevelItem(0)), (QStringList{"DEMO", "EXTRA", "MINE"}));
}

}  // namespace
