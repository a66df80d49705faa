// The query pages as a user drives them: statements typed on "Enter SQL"
// with their history, stored query files run, edited and saved, answers
// kept as tables.
#include <QApplication>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QToolBar>

#include "app/dmf.h"
#include "engine/engine.h"
#include "explorer/queryhistory.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/scripted_prompter.h"

namespace {

using QueryPages = ExplorerTest;

TEST(QueryHistoryOfStatements, NextAndPreviousKeepWhatWasTyped) {
  QueryHistory history;
  EXPECT_EQ(history.Next(""), std::nullopt);  // an empty editor: nothing happens
  EXPECT_EQ(history.Position(), 0);
  EXPECT_EQ(history.Next("select 1"), QString());  // a new, empty statement
  EXPECT_EQ(history.Position(), 1);
  EXPECT_EQ(history.Previous("select 2"), QString("select 1"));
  EXPECT_EQ(history.Next("select 1"), QString("select 2"));  // the typed one was kept
  EXPECT_EQ(history.Previous(""), QString("select 1"));
  EXPECT_EQ(history.Previous("select 1"), QString("select 1"));  // at the first slot it stays
  EXPECT_EQ(history.Position(), 0);

  QueryHistory full;
  for (int i = 0; i < QueryHistory::kSlots - 1; ++i) full.Next(QString::number(i));
  EXPECT_EQ(full.Position(), QueryHistory::kSlots - 1);
  EXPECT_EQ(full.Next("last"), std::nullopt);  // the last slot keeps its text in the editor
  EXPECT_EQ(full.Position(), QueryHistory::kSlots - 1);
  EXPECT_EQ(full.Previous(""), QString("52"));
  EXPECT_EQ(full.Next("52"), QString("last"));
}

class QueryPagesTest : public ExplorerTest {
 protected:
  void Open(TParadoxfrm& form) {
    form.show();
    form.TreeView->setCurrentItem(Node(form, "DEMO/Tables"));  // opens the alias
    ASSERT_GE(DMF().IsOpenedDataBase("DEMO"), 0);
  }
  void Type(TParadoxfrm& form, const QString& text) {
    form.PageControl->setCurrentWidget(form.TabSheet3);
    form.LocalSQLMemo->setFocus();
    form.LocalSQLMemo->selectAll();
    QTest::keyClicks(form.LocalSQLMemo, text);
  }
  static int Rows(QTableView* grid) {
    QAbstractItemModel* model = grid->model();
    while (model->canFetchMore({})) model->fetchMore({});
    return model->rowCount();
  }
};

TEST_F(QueryPagesTest, EnterSqlShowsAnswersAndCountsChanges) {
  ScriptedPrompter script;  // any question not scripted fails the test
  TParadoxfrm form;
  Open(form);
  EXPECT_FALSE(form.LocalSQLMemo->placeholderText().isEmpty());  // the empty page says what to do
  Type(form, "SELECT Name FROM \"customer.db\" WHERE City = 'Bristol' ORDER BY Name");
  form.command("RunSQLQryBtn")->trigger();
  ASSERT_TRUE(form.SQLGrid->isVisible());
  EXPECT_EQ(Rows(form.SQLGrid), 2);
  EXPECT_EQ(form.SQLGrid->model()->data(form.SQLGrid->model()->index(0, 0)).toString(), "Café Müller");

  // A SELECT that mentions DELETED still answers rows.
  Type(form, "SELECT Name AS DELETED_NAME FROM customer WHERE CustNo = 2");
  form.command("RunSQLQryBtn")->trigger();
  ASSERT_TRUE(form.SQLGrid->isVisible());
  EXPECT_EQ(Rows(form.SQLGrid), 1);

  Type(form, "UPDATE customer SET City = 'Bath' WHERE City = 'Bristol'");
  form.command("RunSQLQryBtn")->trigger();
  EXPECT_FALSE(form.SQLGrid->isVisible());
  EXPECT_EQ(form.SQLStatusBar->currentMessage(), "2 records changed");

  script.ok();  // the engine's message
  Type(form, "SELEKT * FROM customer");
  form.command("RunSQLQryBtn")->trigger();
  EXPECT_FALSE(form.SQLGrid->isVisible());
}

TEST_F(QueryPagesTest, AQueryFileRunsIsSavedAndItsAnswerKeptAsATable) {
  ScriptedPrompter script;
  TParadoxfrm form;
  Open(form);
  form.TreeView->setCurrentItem(Node(form, "DEMO/SQL & QBE Files/BRISTOL.SQL"));
  ASSERT_TRUE(form.SQLRichEdit->isVisible());
  EXPECT_FALSE(form.command("SaveBtn")->isEnabled());
  EXPECT_FALSE(form.command("SaveRsltBtn")->isEnabled());
  form.command("SQLToolBtn")->trigger();
  ASSERT_TRUE(form.FQueryGrid->isVisible());
  EXPECT_EQ(Rows(form.FQueryGrid), 2);
  ASSERT_TRUE(form.command("SaveRsltBtn")->isEnabled());

  const QString kept = QString::fromStdString(demo() + "/KEPT.DB");
  script.answer(Prompter::FileChoice{kept, "Paradox tables (*.db)"}, "Save File To");
  form.command("SaveRsltBtn")->trigger();
  EXPECT_TRUE(QFile::exists(kept));
  script.answer(Prompter::FileChoice{kept, "Paradox tables (*.db)"})
      .no(kept + "This table already exists.\r\rReplace existing table?")
      .ok();
  form.command("SaveRsltBtn")->trigger();
  script.answer(Prompter::FileChoice{kept, "Paradox tables (*.db)"})
      .yes(kept + "This table already exists.\r\rReplace existing table?");
  form.command("SaveRsltBtn")->trigger();

  form.SQLRichEdit->setFocus();
  form.SQLRichEdit->moveCursor(QTextCursor::End);
  QTest::keyClicks(form.SQLRichEdit, "ORDER BY Name");
  QTest::keyClick(form.SQLRichEdit, Qt::Key_Return);
  EXPECT_TRUE(form.command("SaveBtn")->isEnabled());
  form.command("SaveBtn")->trigger();
  EXPECT_FALSE(form.command("SaveBtn")->isEnabled());
  QFile saved(QString::fromStdString(demo() + "/BRISTOL.SQL"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_TRUE(saved.readAll().endsWith("ORDER BY Name\n"));

  form.command("ToolButton15")->trigger();  // Close query
  EXPECT_FALSE(form.FQueryGrid->isVisible());
  EXPECT_FALSE(DMF().FileQuery.Active());
}

// With "Live query" down, a query of every field of one table answers with
// the table itself: a cell typed into the answer grid changes the table.
TEST_F(QueryPagesTest, ALiveQueryEditsTheTable) {
  ScriptedPrompter script;
  TParadoxfrm form;
  Open(form);
  form.TreeView->setCurrentItem(Node(form, "DEMO/SQL & QBE Files/BRISTOL.SQL"));
  form.SQLRichEdit->setPlainText("SELECT * FROM CUSTOMER WHERE City = 'Bristol' ORDER BY Name");
  form.command("FLiveQryBtn")->trigger();
  ASSERT_TRUE(form.command("FLiveQryBtn")->isChecked());
  form.command("SQLToolBtn")->trigger();
  ASSERT_TRUE(form.FQueryGrid->isVisible());
  ASSERT_EQ(Rows(form.FQueryGrid), 2);
  const QModelIndex city = form.FQueryGrid->model()->index(0, 2);
  form.FQueryGrid->setCurrentIndex(city);
  form.FQueryGrid->edit(city);
  auto* editor = qobject_cast<QLineEdit*>(form.FQueryGrid->indexWidget(city));
  ASSERT_NE(editor, nullptr);
  editor->selectAll();
  QTest::keyClicks(editor, "Wells");
  QTest::keyClick(editor, Qt::Key_Return);
  QApplication::processEvents();
  form.command("ToolButton15")->trigger();  // Close query
  engine::TQuery check;
  check.SetDatabaseName("DEMO");
  check.SetSQL("SELECT count(*) AS n FROM CUSTOMER WHERE City = 'Wells'");
  check.Open();
  EXPECT_EQ(check.Answer().Fields(0).AsInteger(), 1);
}

TEST_F(QueryPagesTest, AQbeFileRunsThroughTheQbeComponent) {
  ScriptedPrompter script;
  TParadoxfrm form;
  Open(form);
  form.TreeView->setCurrentItem(Node(form, "DEMO/SQL & QBE Files/CUSTOMERS.QBE"));
  form.command("SQLToolBtn")->trigger();
  ASSERT_TRUE(form.FQueryGrid->isVisible());
  EXPECT_EQ(Rows(form.FQueryGrid), 3);
  EXPECT_TRUE(DMF().mQBE.Active());

  script.ok("No QBE statement available");
  form.SQLRichEdit->setPlainText("Q");
  form.command("SQLToolBtn")->trigger();
  EXPECT_FALSE(form.FQueryGrid->isVisible());
}

}  // namespace
