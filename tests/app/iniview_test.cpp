// The structure file viewer on a file saved from the demo database and on
// hand-written ones: the tree, the sections shown in the grid, the text
// view, saving the text and closing.
#include <QAction>
#include <QFile>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTableWidget>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/demodb.h"
#include "explorer/treenodes.h"
#include "structure/inifile.h"
#include "structure/structurefile.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/scripted_prompter.h"

namespace {

class IniView : public ExplorerTest {
 protected:
  // The demo database's structure, as "Save structure to..." writes it.
  QString SaveDemo() {
    const QString path = QString::fromStdString(dir / "demo.ini");
    DMF().aSession.Open();
    DMF().aSession.AddPassword(kDemoMasterPassword);
    structure::SaveStructureToFile(DMF().aSession, DMF().aTable, "DEMO", path);
    DMF().aTable.Close();
    return path;
  }
  QString Write(const std::string& name, const std::string& text) {
    std::ofstream(dir / name, std::ios::binary) << text;
    return QString::fromStdString(dir / name);
  }
  static QByteArray Contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  static void Open(TParadoxfrm& form, const QString& path) {
    ScriptedPrompter script;
    script.answer(Prompter::FileChoice{path, "INI Files (*.ini)"}, "Open INI File");
    form.command("OpenINIFile1")->trigger();
  }
  static void SaveText(TParadoxfrm& form, const QString& path, const QString& filter) {
    ScriptedPrompter script;
    script.answer(Prompter::FileChoice{path, filter});
    form.command("Save1")->trigger();
  }
  // The viewer's node at a path of texts below "DATABASE", expanding the
  // nodes on the way; selected when `select`.
  static QTreeWidgetItem* INode(TParadoxfrm& form, const QString& path, bool select = false) {
    QTreeWidgetItem* node = form.INITreeView->topLevelItem(0);
    for (const QString& text : path.split('/', Qt::SkipEmptyParts)) {
      if (!node) return nullptr;
      node->setExpanded(true);
      node = tree::Child(node, text);
    }
    if (node && select) form.INITreeView->setCurrentItem(node);
    return node;
  }
  // The grid's rows as "parameter=value".
  static QStringList Grid(const TParadoxfrm& form) {
    QStringList rows;
    for (int r = 0; r < form.StringGrid->rowCount(); ++r)
      rows << form.StringGrid->item(r, 0)->text() + "=" + form.StringGrid->item(r, 1)->text();
    return rows;
  }
  static bool PageShown(const TParadoxfrm& form) {
    return form.TreePages->isTabVisible(form.TreePages->indexOf(form.INITabSheet));
  }
  static bool EditorInFront(const TParadoxfrm& form) {
    return form.IniRichEdit->isVisibleTo(form.INITabSheet) &&
           !form.INITreeView->isVisibleTo(form.INITabSheet);
  }
};

TEST_F(IniView, OpeningShowsTheTablesWithTheirCategoriesFilledOnFirstExpansion) {
  const QString path = SaveDemo();
  TParadoxfrm form;
  EXPECT_FALSE(PageShown(form));
  Open(form, path);
  EXPECT_TRUE(PageShown(form));
  EXPECT_EQ(form.TreePages->currentWidget(), form.INITabSheet);
  ASSERT_EQ(form.INITreeView->topLevelItemCount(), 1);
  QTreeWidgetItem* root = form.INITreeView->topLevelItem(0);
  EXPECT_EQ(root->text(0), "DATABASE");
  EXPECT_EQ(Children(root),
            (QStringList{"CUSTOMER.DB", "NOTES.DB", "ORDERS.DB", "SECRETS.DB", "STATUS.DB"}));
  for (int i = 0; i < root->childCount(); ++i) {
    EXPECT_EQ(Children(root->child(i)), (QStringList{"FIELDS", "INDEXES", "VALIDITY CHECKS",
                                                     "REFERENTIAL INTEGRITY", "SECURITY"}));
    // Expandable before the items exist.
    EXPECT_EQ(root->child(i)->child(0)->childCount(), 0);
    EXPECT_EQ(root->child(i)->child(0)->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
  }

  const auto items = [&](const QString& path) { return Children(INode(form, path)); };
  const QStringList fields = {"CustNo", "Name",   "City",  "Phone",
                              "Since",  "Credit", "Notes", "Logo"};
  EXPECT_EQ(items("CUSTOMER.DB/FIELDS"), fields);
  EXPECT_EQ(items("CUSTOMER.DB/INDEXES").first(), "<Primary>");
  EXPECT_TRUE(items("CUSTOMER.DB/INDEXES").contains("ByName"));
  EXPECT_EQ(items("CUSTOMER.DB/VALIDITY CHECKS"),
            (QStringList{"NAME", "PHONE", "SINCE", "CREDIT"}));
  EXPECT_EQ(items("ORDERS.DB/REFERENTIAL INTEGRITY"), QStringList{"OrderCustomer"});
  EXPECT_EQ(items("SECRETS.DB/SECURITY"), QStringList{"0"});
  EXPECT_EQ(items("STATUS.DB/SECURITY"), QStringList{});

  // Expanding again adds nothing.
  QTreeWidgetItem* customer = INode(form, "CUSTOMER.DB");
  customer->setExpanded(false);
  customer->setExpanded(true);
  INode(form, "CUSTOMER.DB/FIELDS")->setExpanded(false);
  EXPECT_EQ(items("CUSTOMER.DB/FIELDS"), fields);
  EXPECT_EQ(items("CUSTOMER.DB/VALIDITY CHECKS").size(), 4);
}

TEST_F(IniView, SelectingANodeShowsItsSectionOnTheInformationPage) {
  const QString path = SaveDemo();
  const structure::IniFile file(path);
  TParadoxfrm form;
  Open(form, path);
  struct Case {
    const char* node;
    const char* section;
    const char* row;  // one row the grid must hold
  };
  const Case cases[] = {
      {"CUSTOMER.DB", "CUSTOMER.DB\\TBPROPS", "TABLE LEVEL=7"},
      {"CUSTOMER.DB/FIELDS", "CUSTOMER.DB\\TBPROPS\\FLIST", "Name=0"},
      {"CUSTOMER.DB/VALIDITY CHECKS", "CUSTOMER.DB\\TBPROPS\\VLIST", "0=NAME"},
      {"ORDERS.DB/REFERENTIAL INTEGRITY", "ORDERS.DB\\TBPROPS\\RLIST", "0=OrderCustomer"},
      {"SECRETS.DB/SECURITY", "SECRETS.DB\\TBPROPS\\SLIST", "0=peek"},
      {"ORDERS.DB/FIELDS/Amount", "ORDERS.DB\\FIELDS\\Amount", "Type=BCD"},
      {"CUSTOMER.DB/INDEXES/<Primary>", "CUSTOMER.DB\\INDEXES\\<Primary>", "PRIMARY=Yes"},
      {"CUSTOMER.DB/INDEXES/ByName", "CUSTOMER.DB\\INDEXES\\ByName", "FIELD(1)=Name"},
      // The item is upper case, the section spells the field as the table does.
      {"CUSTOMER.DB/VALIDITY CHECKS/NAME", "CUSTOMER.DB\\VCHECKS\\Name", "FILED NUMBER=2"},
      {"ORDERS.DB/REFERENTIAL INTEGRITY/OrderCustomer", "ORDERS.DB\\RINTS\\OrderCustomer",
       "Type=DEPENDENT"},
      {"SECRETS.DB/SECURITY/0", "SECRETS.DB\\SECURITIES\\0", "TABLE RIGHT=READ ONLY"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.node);
    // Something else in front: the list of the demo's tables, then another page.
    form.selectNode(Node(form, "DEMO"));
    form.selectNode(Node(form, "DEMO/Tables"));
    ASSERT_TRUE(form.ListView1->isVisibleTo(form.TabSheet1));
    form.PageControl->setCurrentWidget(form.TabSheet3);

    ASSERT_NE(INode(form, c.node, true), nullptr);
    EXPECT_EQ(form.PageControl->currentWidget(), form.TabSheet1);
    EXPECT_TRUE(form.StringGrid->isVisibleTo(form.TabSheet1));
    EXPECT_FALSE(form.ListView1->isVisibleTo(form.TabSheet1));
    EXPECT_EQ(Grid(form), file.ReadSectionValues(c.section));
    EXPECT_TRUE(Grid(form).contains(c.row)) << Grid(form).join(" | ").toStdString();
  }

  // The root keeps what the grid shows; a table without links has an empty list.
  const QStringList shown = Grid(form);
  form.INITreeView->setCurrentItem(form.INITreeView->topLevelItem(0));
  EXPECT_EQ(Grid(form), shown);
  INode(form, "STATUS.DB/REFERENTIAL INTEGRITY", true);
  EXPECT_EQ(form.StringGrid->rowCount(), 0);
  EXPECT_EQ(form.StringGrid->horizontalHeaderItem(0)->text(), "Parameter");
}

// Section and key names in any case; tables in the file's order, not sorted.
TEST_F(IniView, HandWrittenFilesAreReadIgnoringCase) {
  const QString path = Write("mixed.ini",
                             "[tables]\n0=Parts.db\n1=ALPHA.DB\n"
                             "[PARTS.DB\\tbprops]\nTABLE LEVEL=4\n"
                             "[parts.db\\TBPROPS\\Flist]\nPartNo=0\n"
                             "[Parts.DB\\Fields\\partno]\nName=PartNo\nType=ALPHA\n"
                             "[PARTS.DB\\TBPROPS\\VLIST]\n0=PARTNO\n1=PRICE\n"
                             "[Parts.db\\VChecks\\PartNo]\nREQUIRED=Yes\nPICTURE=  ###  \n");
  TParadoxfrm form;
  Open(form, path);
  EXPECT_EQ(Children(form.INITreeView->topLevelItem(0)), (QStringList{"Parts.db", "ALPHA.DB"}));
  EXPECT_EQ(Children(INode(form, "Parts.db/VALIDITY CHECKS")), (QStringList{"PARTNO", "PRICE"}));
  INode(form, "Parts.db", true);
  EXPECT_EQ(Grid(form), QStringList{"TABLE LEVEL=4"});
  INode(form, "Parts.db/FIELDS/PartNo", true);
  EXPECT_EQ(Grid(form), (QStringList{"Name=PartNo", "Type=ALPHA"}));
  INode(form, "Parts.db/VALIDITY CHECKS/PARTNO", true);
  EXPECT_EQ(Grid(form), (QStringList{"REQUIRED=Yes", "PICTURE=###"}));
  INode(form, "Parts.db/VALIDITY CHECKS/PRICE", true);  // no section
  EXPECT_EQ(form.StringGrid->rowCount(), 0);
}

TEST_F(IniView, AnotherFileReplacesTheTreeAndOneWithoutTablesGivesOnlyTheRoot) {
  TParadoxfrm form;
  Open(form, SaveDemo());
  Open(form, Write("plain.txt", "just text\n[Settings]\nColor=Blue\n"));  // asks nothing more
  ASSERT_EQ(form.INITreeView->topLevelItemCount(), 1);
  EXPECT_EQ(form.INITreeView->topLevelItem(0)->text(0), "DATABASE");
  EXPECT_EQ(form.INITreeView->topLevelItem(0)->childCount(), 0);
  EXPECT_TRUE(PageShown(form));
}

TEST_F(IniView, AsTextShowsTheFileAndAsTreeTurnsBack) {
  const QString path = SaveDemo();
  TParadoxfrm form;
  Open(form, path);
  QAction* asText = form.command("AsText1");
  QAction* asTree = form.command("AsTree1");
  EXPECT_TRUE(asTree->isChecked());
  EXPECT_FALSE(EditorInFront(form));

  form.IniRichEdit->setPlainText("left over");
  asText->trigger();
  EXPECT_EQ(form.IniRichEdit->toPlainText(),
            QString::fromUtf8(Contents(path)).replace("\r\n", "\n"));
  EXPECT_TRUE(EditorInFront(form));
  EXPECT_FALSE(asTree->isChecked());

  asTree->trigger();
  EXPECT_FALSE(EditorInFront(form));
  EXPECT_FALSE(asText->isChecked());

  // A file opened from the text view comes as a tree.
  asText->trigger();
  Open(form, path);
  EXPECT_FALSE(EditorInFront(form));
  EXPECT_TRUE(asTree->isChecked());

  // A file that went away: its name in an error, the tree stays in front.
  std::filesystem::remove(path.toStdString());
  ScriptedPrompter script;
  script.ok();
  asText->trigger();
  EXPECT_TRUE(script.lastAsked().contains(path)) << script.lastAsked().toStdString();
  EXPECT_FALSE(EditorInFront(form));
  EXPECT_TRUE(asTree->isChecked());
}

TEST_F(IniView, SaveWritesTheEditedTextWithTheFilesLineEnds) {
  const QString path = SaveDemo();
  const QByteArray original = Contents(path);
  ASSERT_TRUE(original.contains("\r\n"));
  TParadoxfrm form;
  Open(form, path);
  form.command("AsText1")->trigger();
  form.IniRichEdit->appendPlainText("[EXTRA]\nNOTE=Café");
  const QString edited = form.IniRichEdit->toPlainText().replace("\n", "\r\n");

  // A name without an extension takes the chosen filter's.
  const struct {
    std::string name, written;
    QString filter;
  } cases[] = {{"copy", "copy.txt", "Text Files (*.txt)"},
               {"copy", "copy.ini", "INI Files (*.ini)"},
               {"other", "other.ini", "All Files (*)"},
               {"named.cfg", "named.cfg", "Text Files (*.txt)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    SaveText(form, QString::fromStdString(dir / c.name), c.filter);
    EXPECT_EQ(QString::fromUtf8(Contents(QString::fromStdString(dir / c.written))), edited);
  }
  EXPECT_EQ(Contents(path), original);

  Open(form, Write("lf.ini", "[TABLES]\n0=A.DB\n"));
  form.command("AsText1")->trigger();
  form.IniRichEdit->setPlainText("[TABLES]\n0=A.DB\n1=B.DB\n");
  SaveText(form, QString::fromStdString(dir / "lf2.ini"), "INI Files (*.ini)");
  EXPECT_EQ(Contents(QString::fromStdString(dir / "lf2.ini")), "[TABLES]\n0=A.DB\n1=B.DB\n");

  const QString blocked = QString::fromStdString(dir / "no/such/dir/out.ini");
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{blocked, "INI Files (*.ini)"}).ok();
  form.command("Save1")->trigger();
  EXPECT_TRUE(script.lastAsked().contains(blocked)) << script.lastAsked().toStdString();
}

TEST_F(IniView, CloseEmptiesAndHidesThePageAndReturnsToTheDatabases) {
  const QString path = SaveDemo();
  TParadoxfrm form;
  Open(form, path);
  form.command("AsText1")->trigger();
  form.command("Close2")->trigger();
  EXPECT_EQ(form.INITreeView->topLevelItemCount(), 0);
  EXPECT_FALSE(PageShown(form));
  EXPECT_EQ(form.TreePages->tabText(form.TreePages->currentIndex()), "Databases");

  Open(form, path);
  EXPECT_TRUE(PageShown(form));
  EXPECT_FALSE(EditorInFront(form));
  EXPECT_EQ(form.INITreeView->topLevelItem(0)->childCount(), 5);
}

// The right side follows the tree in front: closing the viewer shows the
// databases tree's node again, and the tree's Delete does nothing while the
// viewer hides that tree.
TEST_F(IniView, TheDetailsFollowTheTreeInFrontAndDeleteLeavesTheHiddenTreeAlone) {
  const QString path = SaveDemo();
  TParadoxfrm form;
  form.selectNode(Node(form, "DEMO"));
  const QStringList aliasLines = Grid(form);
  Open(form, path);
  INode(form, "CUSTOMER.DB", true);
  ASSERT_NE(Grid(form), aliasLines);
  {
    ScriptedPrompter script;  // no question about the alias
    form.command("DelBtn")->trigger();
    form.DeleteItemClick();
  }
  EXPECT_FALSE(form.command("DelBtn")->isEnabled());
  form.command("Close2")->trigger();
  EXPECT_EQ(Grid(form), aliasLines);
  EXPECT_TRUE(form.command("DelBtn")->isEnabled());
}

}  // namespace
