// The query pages as a user drives them: statements typed on "Enter SQL"
// with their history, stored query files run, edited and saved, answers
// kept as tables.
#include <QFile>
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

}  // namespace
