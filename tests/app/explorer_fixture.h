// A fixture for tests of the explorer: a configuration of its own with an
// alias DEMO on a fresh demo database, and a way to reach tree nodes by
// their path of texts.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QTreeWidget>
#include <ostream>
#include <string>

#include "app/demodb.h"
#include "app/dmf.h"
#include "app/globals.h"
#include "engine/config/config.h"
#include "engine/engine.h"
#include "explorer/paradoxfrm.h"
#include "tests/support/tempdir.h"

// Lets failing assertions show texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

class ExplorerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::SetConfigFile(dir / "engine.cfg");
    ASSERT_EQ(engine::ReloadConfig(), engine::Ok) << engine::LastErrorMessage();
    std::vector<std::string> names;
    ASSERT_EQ(engine::GetAliasNames(names), engine::Ok);
    for (const auto& n : names) ASSERT_EQ(engine::DeleteAlias(n), engine::Ok);
    ASSERT_EQ(CreateDemoDatabase(demo()), engine::Ok) << engine::LastErrorMessage();
    ASSERT_EQ(engine::AddStandardAlias("DEMO", demo(), "PARADOX"), engine::Ok);
    DMF().aSession.RemoveAllPasswords();
    DMF().aSession.SetKeepConnections(true);
    ResetGlobals();
  }
  void TearDown() override {
    for (engine::TQuery* q : {&DMF().Query, &DMF().FileQuery, static_cast<engine::TQuery*>(&DMF().mQBE)}) {
      q->Close();
      q->Unprepare();
    }
    DMF().aTable.Close();
    DMF().aSession.Close();
    DMF().aSession.RemoveAllPasswords();
    engine::SetConfigFile("");
  }

  std::string demo() const { return dir / "demo"; }

  // The node at a path of texts below the root ("DEMO/Tables/ORDERS.DB"),
  // expanding each node on the way (as a user clicking the arrows would).
  static QTreeWidgetItem* Node(TParadoxfrm& form, const QString& path) {
    QTreeWidgetItem* node = form.TreeView->topLevelItem(0);
    for (const QString& text : path.split('/', Qt::SkipEmptyParts)) {
      node->setExpanded(true);
      QTreeWidgetItem* next = nullptr;
      for (int i = 0; node && i < node->childCount() && !next; ++i)
        if (node->child(i)->text(0) == text) next = node->child(i);
      if (!next) return nullptr;
      node = next;
    }
    return node;
  }
  // Texts of the children of `node`.
  static QStringList Children(const QTreeWidgetItem* node) {
    QStringList texts;
    for (int i = 0; node && i < node->childCount(); ++i) texts << node->child(i)->text(0);
    return texts;
  }

  TempDir dir;
};
