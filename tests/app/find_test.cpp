// The "Find in tree" window: the walk over the selected node's subtree, the
// result lines, the history of searched texts and going back to a result.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QCursor>
#include <QTimer>
#include <QToolBar>

#include "explorer/findf.h"
#include "explorer/treenodes.h"
#include "tests/support/listtexts.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"

namespace {

class FindInTree : public ExplorerTest {
 protected:
  TFindF& Window(TParadoxfrm& form) {
    form.Findintree1Click();
    return *form.FindF;
  }
  void Find(TParadoxfrm& form, const QString& text) {
    TFindF& find = Window(form);
    find.ComboBox->setEditText(text);
    find.BitBtn1->click();
  }
};

TEST_F(FindInTree, RootSelectedOnlyRemembersTheText) {
  TParadoxfrm form;
  form.selectNode(form.TreeView->topLevelItem(0));
  for (const char* text : {"DEMO", "DEMO", "demo"}) Find(form, text);
  TFindF& find = *form.FindF;
  EXPECT_EQ(find.ListBox1->count(), 0);
  EXPECT_EQ(DMF().aSession.DatabaseCount(), 0) << "the walk opened the alias";
  EXPECT_EQ(form.TreeView->currentItem(), form.TreeView->topLevelItem(0));
  ASSERT_EQ(find.ComboBox->count(), 2);
  EXPECT_EQ(find.ComboBox->itemText(0), "DEMO");
  EXPECT_EQ(find.ComboBox->itemText(1), "demo");
}

struct Walk {
  const char* start;  // path of the selected node
  const char* text;
  QStringList lines;
};

void PrintTo(const Walk& w, std::ostream* os) { *os << w.start << " / " << w.text; }

class FindWalk : public FindInTree, public ::testing::WithParamInterface<Walk> {};

// A walk from the alias passes the protected table, whose password is given.
TEST_P(FindWalk, ListsTheMatchesOfTheSubtreeAndReselectsTheStart) {
  TParadoxfrm form;
  QTreeWidgetItem* start = Node(form, GetParam().start);
  ASSERT_TRUE(start);
  form.selectNode(start);
  ScriptedPrompter script;
  if (tree::Level(start) == 1) script.answer(TypePassword(kDemoMasterPassword, "OKBtn"), "DEMO: SECRETS.DB");
  Find(form, GetParam().text);
  EXPECT_EQ(Texts(form.FindF->ListBox1), GetParam().lines);
  EXPECT_EQ(form.TreeView->currentItem(), start);
  EXPECT_TRUE(form.TreeView->updatesEnabled());
}

const QString kOrders = "DEMO\\Tables\\ORDERS.DB\\";
const QString kLink = "DEMO\\REFERENTIAL INTEGRITY\\OrderCustomer\\";

const Walk kFromAlias[] = {
    Walk{"DEMO",
         "custno",
         {"DEMO\\Tables\\CUSTOMER.DB\\FIELDS\\CustNo", kLink + "Primary Fields\\CustNo",
          kLink + "Foreing Fields\\CustNo", kOrders + "FIELDS\\CustNo", kOrders + "INDEXES\\CustNo",
          kLink + "Primary Fields\\CustNo", kLink + "Foreing Fields\\CustNo"}},
    // Level 4 is listed, the indexes' "Fields" nodes (level 6) are not.
    Walk{"DEMO",
         "Fields",
         {"DEMO\\Tables\\CUSTOMER.DB\\FIELDS", "DEMO\\Tables\\NOTES.DB\\FIELDS", kOrders + "FIELDS",
          "DEMO\\Tables\\PARTS.DBF\\FIELDS", "DEMO\\Tables\\SECRETS.DB\\FIELDS",
          "DEMO\\Tables\\STATUS.DB\\FIELDS"}},
    Walk{"DEMO", "secret", {"DEMO\\Tables\\SECRETS.DB\\FIELDS\\Secret"}},
    Walk{"DEMO", "orders.db", {"DEMO\\Tables\\ORDERS.DB"}},
    Walk{"DEMO", "bristol.sql", {"DEMO\\SQL & QBE Files\\BRISTOL.SQL"}}, Walk{"DEMO", "tables", {}},
    // Whole texts only.
    Walk{"DEMO", "Cust", {}}, Walk{"DEMO", "CUSTOMER", {}}};
INSTANTIATE_TEST_SUITE_P(FromAlias, FindWalk, ::testing::ValuesIn(kFromAlias));

// From a table: its own subtree, then the next node at the table's level is
// compared but not entered; a walk from the last table goes on through the
// query files' group to the first query file.
const Walk kFromTable[] = {
    Walk{"DEMO/Tables/ORDERS.DB",
         "CUSTNO",
         {kOrders + "FIELDS\\CustNo", kOrders + "INDEXES\\CustNo", kLink + "Primary Fields\\CustNo",
          kLink + "Foreing Fields\\CustNo"}},
    Walk{"DEMO/Tables/NOTES.DB", "Orders.db", {"DEMO\\Tables\\ORDERS.DB"}},
    Walk{"DEMO/Tables/NOTES.DB", "OrderNo", {}},
    Walk{"DEMO/Tables/NOTES.DB", "SECRETS.DB", {}},
    Walk{"DEMO/Tables/STATUS.DB", "BRISTOL.SQL", {"DEMO\\SQL & QBE Files\\BRISTOL.SQL"}},
    Walk{"DEMO/Tables/STATUS.DB", "CUSTOMERS.QBE", {}}};
INSTANTIATE_TEST_SUITE_P(FromTable, FindWalk, ::testing::ValuesIn(kFromTable));

// A long walk shows the busy cursor and lets the windows paint on the way.
TEST_F(FindInTree, ALongWalkShowsTheBusyCursorAndKeepsPainting) {
  DMF().aSession.AddPassword(kDemoMasterPassword);
  TParadoxfrm form;
  form.selectNode(Node(form, "DEMO"));
  int busyWhileWalking = 0;
  // Runs only when the walk lets events through.
  QTimer::singleShot(0, &form, [&] {
    const QCursor* cursor = QApplication::overrideCursor();
    if (cursor && cursor->shape() == Qt::WaitCursor) ++busyWhileWalking;
  });
  ScriptedPrompter script;  // no question expected
  Find(form, "no such node");
  EXPECT_GT(busyWhileWalking, 0);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(FindInTree, MatchesAtUnlistedLevelsAreStillSelected) {
  TParadoxfrm form;
  QTreeWidgetItem* start = Node(form, "DEMO/Tables/ORDERS.DB");
  form.selectNode(start);
  QSignalSpy selected(form.TreeView, &QTreeWidget::currentItemChanged);
  Find(form, "fields");
  QStringList levels;
  for (const QList<QVariant>& args : selected) {
    auto* node = args[0].value<QTreeWidgetItem*>();
    levels << QString::number(tree::Level(node)) + ":" + node->text(0);
  }
  EXPECT_EQ(levels, (QStringList{"4:FIELDS", "6:Fields", "6:Fields", "3:ORDERS.DB"}));
  EXPECT_EQ(Texts(form.FindF->ListBox1), QStringList{kOrders + "FIELDS"});
}

TEST_F(FindInTree, AFailingTableShowsItsErrorAndTheWalkGoesOn) {
  TParadoxfrm form;
  form.selectNode(Node(form, "DEMO"));
  ScriptedPrompter script;
  script.answer(TypePassword(kDemoMasterPassword, "CancelBtn"), "DEMO: SECRETS.DB").ok();
  Find(form, "code");
  EXPECT_TRUE(script.lastAsked().contains("SECRETS.DB")) << script.lastAsked().toStdString();
  EXPECT_EQ(Texts(form.FindF->ListBox1), QStringList{"DEMO\\Tables\\STATUS.DB\\FIELDS\\Code"});
}

TEST_F(FindInTree, DoubleClickSelectsTheResultInItsDatabase) {
  ASSERT_EQ(engine::AddStandardAlias("OTHER", demo(), "PARADOX"), engine::Ok);
  TParadoxfrm form;
  form.OpenAliasDatabase("OTHER");  // DEMO opens second
  form.selectNode(Node(form, "DEMO/Tables/ORDERS.DB"));
  Find(form, "custno");
  TFindF& find = *form.FindF;
  ASSERT_EQ(find.ListBox1->count(), 4);

  QTreeWidgetItem* customers = Node(form, "DEMO/Tables/CUSTOMER.DB");
  form.selectNode(Node(form, "DEMO/Tables/CUSTOMER.DB/FIELDS/City"));
  ASSERT_TRUE(customers->isExpanded());
  CurrentDatabaseIndex = 0;
  find.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&find));
  QListWidgetItem* line = find.ListBox1->item(1);
  // A widget double click reaches the list without its first press.
  const QPoint at = find.ListBox1->visualItemRect(line).center();
  QTest::mouseClick(find.ListBox1->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(find.ListBox1->viewport(), Qt::LeftButton, {}, at);
  EXPECT_EQ(form.TreeView->currentItem(), Node(form, "DEMO/Tables/ORDERS.DB/INDEXES/CustNo"));
  EXPECT_EQ(CurrentDatabaseIndex, 1);
  EXPECT_FALSE(customers->isExpanded()) << "the table of the old selection stays open";
}

TEST_F(FindInTree, LinesOfRemovedNodesAreIgnored) {
  TParadoxfrm form;
  QTreeWidgetItem* orders = Node(form, "DEMO/Tables/ORDERS.DB");
  form.selectNode(orders);
  Find(form, "custno");
  TFindF& find = *form.FindF;
  form.RebuildBtnClick();  // drops the table's field nodes
  find.ListBox1->setCurrentRow(0);
  find.ListBox1DblClick();
  EXPECT_EQ(form.TreeView->currentItem(), orders);
  find.ListBox1->setCurrentRow(1);
  find.ListBox1DblClick();
  EXPECT_EQ(form.TreeView->currentItem()->text(0), "CustNo");

  find.ClearSearchResultItem->trigger();
  EXPECT_EQ(find.ListBox1->count(), 0);
}

// The window stays over the main window but never over its questions, and
// first comes up beside the tree, clear of the menus and the tool bar.
TEST_F(FindInTree, CtrlFShowsOneToolWindowThatCloseHides) {
  TParadoxfrm form;
  form.show();
  form.selectNode(form.TreeView->topLevelItem(0));
  QTest::keyRelease(form.TreeView, Qt::Key_F, Qt::ControlModifier);
  TFindF* find = form.FindF;
  ASSERT_TRUE(find);
  EXPECT_TRUE(find->isVisible());
  EXPECT_FALSE(find->isModal());
  EXPECT_FALSE(find->windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(find->windowType(), Qt::Tool);
  EXPECT_GE(find->geometry().top(),
            form.ToolBar1->mapToGlobal(QPoint(0, form.ToolBar1->height())).y());
  find->CloseBtn->click();
  EXPECT_FALSE(find->isVisible());
  QTest::keyRelease(form.TreeView, Qt::Key_F, Qt::ControlModifier);
  EXPECT_EQ(form.FindF, find);
  EXPECT_TRUE(find->isVisible());
}

}  // namespace
