// The detail views of the explorer on the demo database: what the right-hand
// side shows for the root, an alias, a group, a table or query file and the
// parts of a table's structure.
#include <gtest/gtest.h>

#include <QAction>
#include <QHeaderView>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <filesystem>
#include <QFontMetrics>
#include <fstream>

#include "engine/dataset/dberror.h"
#include "explorer/treenodes.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/password_dialog.h"
#include "tests/support/scripted_prompter.h"

namespace {

// "Name=value" per grid row.
QStringList GridLines(const TParadoxfrm& form) {
  QStringList lines;
  for (int r = 0; r < form.StringGrid->rowCount(); ++r)
    lines << form.StringGrid->item(r, 0)->text() + "=" + form.StringGrid->item(r, 1)->text();
  return lines;
}

// "Caption:width" per list column.
QStringList Columns(const QTreeWidget* list) {
  QStringList columns;
  for (int c = 0; c < list->columnCount(); ++c)
    columns << list->headerItem()->text(c) + ":" + QString::number(list->columnWidth(c));
  return columns;
}

// The texts of each list item joined by "|", in the order shown.
QStringList Rows(const QTreeWidget* list) {
  QStringList rows;
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QStringList texts;
    for (int c = 0; c < list->columnCount(); ++c) texts << list->topLevelItem(i)->text(c);
    rows << texts.join('|');
  }
  return rows;
}

bool PageShown(const TParadoxfrm& form, QWidget* page) {
  return form.PageControl->isTabVisible(form.PageControl->indexOf(page));
}

class Views : public ExplorerTest {
 protected:
  // Selects the node at `path` ("" for the root), even when it is current.
  static QTreeWidgetItem* Select(TParadoxfrm& form, const QString& path) {
    QTreeWidgetItem* node = Node(form, path);
    EXPECT_NE(node, nullptr) << path.toStdString();
    form.TreeView->setCurrentItem(nullptr);
    if (node) form.TreeView->setCurrentItem(node);
    return node;
  }
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(demo() + "/" + name, std::ios::binary) << text;
  }
  void OpenStatusTable() {
    DMF().aTable.SetDatabaseName(demo());
    DMF().aTable.SetTableName("STATUS.DB");
    DMF().aTable.Open();
  }
};

// ---- Root and aliases ----

class RootView : public Views, public testing::WithParamInterface<bool> {};

TEST_P(RootView, ShowsTheSystemSettingsAndClosesTheTable) {
  std::ofstream(dir / "engine.cfg", std::ios::trunc)
      << "[\\system\\init]\nLOCAL SHARE = " << (GetParam() ? "TRUE" : "FALSE") << "\n";
  ASSERT_EQ(engine::ReloadConfig(), engine::Ok) << engine::LastErrorMessage();
  engine::SystemConfig config;
  ASSERT_EQ(engine::GetSystemConfig(config), engine::Ok);
  TParadoxfrm form;
  OpenStatusTable();
  Select(form, "");
  EXPECT_EQ(GridLines(form), (QStringList{"Ini File= " + QString::fromStdString(dir / "engine.cfg"),
                                          "User Name= " + QString::fromStdString(config.userName),
                                          "Network Type= NONE", "Language Driver= ascii",
                                          GetParam() ? "Local Share= ON" : "Local Share= OFF"}));
  EXPECT_FALSE(DMF().aTable.Active());
  EXPECT_FALSE(PageShown(form, form.TabSheet2) || PageShown(form, form.TabSheet3));
  EXPECT_EQ(form.PageControl->currentWidget(), form.TabSheet1);
  EXPECT_EQ(form.panelText(0), "0Items in DataBases");
}

INSTANTIATE_TEST_SUITE_P(LocalShare, RootView, testing::Bool());

// White cells even where selected, a silver header row.
TEST_F(Views, GridPaintsItsOwnCells) {
  TParadoxfrm form;
  form.show();
  Select(form, "");
  form.StringGrid->resize(800, 200);
  form.StringGrid->setCurrentCell(0, 1);
  const QImage image = form.StringGrid->grab().toImage();
  const int header = form.StringGrid->horizontalHeader()->height();
  EXPECT_EQ(image.pixelColor(280, header / 2), QColor(192, 192, 192));
  EXPECT_EQ(image.pixelColor(280, header + 10), QColor(Qt::white));
  EXPECT_EQ(image.pixelColor(295 + 380, header + 10), QColor(Qt::white));
}

TEST_F(Views, AliasShowsItsKindAndParametersAndWhetherItIsOpen) {
  ASSERT_EQ(engine::AddStandardAlias("SPARE", demo(), "DBASE"), engine::Ok);
  TParadoxfrm form;
  Node(form, "DEMO/Tables");  // opens DEMO
  Select(form, "DEMO");
  const QString path = QString::fromStdString(demo());
  EXPECT_EQ(GridLines(form), (QStringList{"TYPE=STANDARD", "PATH=" + path, "ENABLE BCD=FALSE",
                                          "DEFAULT DRIVER=PARADOX"}));
  EXPECT_EQ(QStringList({CurrentAliasName, CurrentAliasPath, StartAliasPath, StartAliasBcd,
                         StartAliasDriver}),
            QStringList({"DEMO", path, path, "FALSE", "PARADOX"}));
  EXPECT_TRUE(form.command("OpenCloseBtn")->isChecked());
  EXPECT_TRUE(PageShown(form, form.TabSheet3));
  EXPECT_NE(form.TreeView->editTriggers(), QAbstractItemView::NoEditTriggers);

  Select(form, "SPARE");
  EXPECT_EQ(GridLines(form).last(), "DEFAULT DRIVER=DBASE");
  EXPECT_FALSE(form.command("OpenCloseBtn")->isChecked());
  EXPECT_FALSE(PageShown(form, form.TabSheet3));
}

TEST_F(Views, PendingNewAliasKeepsItsOwnParametersWhenSelectedAgain) {
  TParadoxfrm form;
  form.Alias1Click();
  const QStringList newLines = {"TYPE=STANDARD", "PATH=", "ENABLE BCD=FALSE",
                                "DEFAULT DRIVER=PARADOX"};
  EXPECT_EQ(GridLines(form), newLines);
  Select(form, "");
  Select(form, "NEW STANDARD");
  EXPECT_EQ(GridLines(form), newLines);  // not the root's lines left in the grid
  EXPECT_TRUE(CurrentAliasName.isEmpty());
}

// ---- Groups ----

TEST_F(Views, QueryFilesAreListedWithTheirSizes) {
  WriteFile("c.sql", "select 1");
  WriteFile("a.sql", "select 22");
  WriteFile("b.qbe", "Query\n");
  WriteFile("notes.txt", "not a query");
  TParadoxfrm form;
  Select(form, "DEMO/SQL & QBE Files");
  EXPECT_EQ(Columns(form.ListView1),
            (QStringList{"File name:180", "Date:100", "Time:100", "Size (bytes):100"}));
  QStringList rows = Rows(form.ListView1);
  for (QString& row : rows) row = row.section('|', 0, 0) + "|" + row.section('|', 3);
  EXPECT_EQ(rows.mid(2), (QStringList{"a.sql|9", "b.qbe|6", "c.sql|8"}));  // sorted by caption
  EXPECT_TRUE(form.StringGrid->isHidden());
  EXPECT_FALSE(form.ListView1->isHidden());
  EXPECT_TRUE(PageShown(form, form.TabSheet3));
  EXPECT_EQ(form.panelText(0), "5Items in SQL & QBE Files");
}

TEST_F(Views, TablesAreListedWithTheirKind) {
  WriteFile("LEGACY.DBF", std::string(40, '\0'));
  WriteFile("STATUS.DBX", "neither kind");
  TParadoxfrm form;
  OpenStatusTable();
  Select(form, "DEMO/Tables");
  EXPECT_FALSE(DMF().aTable.Active());
  EXPECT_EQ(Columns(form.ListView1), (QStringList{"TableNames:200", "Type:100", "Date:100",
                                                  "Time:100", "Size (bytes):100"}));
  QStringList rows = Rows(form.ListView1);
  for (QString& row : rows) row = row.section('|', 0, 1) + "|" + row.section('|', 4);
  const auto size = [&](const char* name) {
    return QString::number(std::filesystem::file_size(demo() + "/" + name));
  };
  EXPECT_EQ(rows, (QStringList{"CUSTOMER.DB|PARADOX|" + size("CUSTOMER.DB"), "LEGACY.DBF|dBASE|40",
                               "NOTES.DB|PARADOX|" + size("NOTES.DB"),
                               "ORDERS.DB|PARADOX|" + size("ORDERS.DB"),
                               "PARTS.DBF|dBASE|" + size("PARTS.DBF"),
                               "SECRETS.DB|PARADOX|" + size("SECRETS.DB"),
                               "STATUS.DB|PARADOX|" + size("STATUS.DB")}));
}

// ---- Tables and query files ----

TEST_F(Views, TableShowsItsPropertiesAndRecordCountAndStaysOpenForTheDataPage) {
  TParadoxfrm form;
  form.ShowDelBtn->show();
  Select(form, "DEMO/Tables/ORDERS.DB");
  const QStringList lines = GridLines(form);
  ASSERT_EQ(lines.size(), 11);
  EXPECT_EQ(lines.mid(3, 5), (QStringList{"Protected=No", "Fields=6", "Indexes=2",
                                          "Validity Checks=3", "Referential Integ Checks=1"}));
  EXPECT_EQ(form.panelText(1), "Records count: 3");
  EXPECT_EQ(form.panelText(0), "6Items in ORDERS.DB");
  EXPECT_EQ(DMF().aTable.TableName(), "ORDERS.DB");
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_EQ(form.PageControl->currentWidget(), form.TabSheet2);
  EXPECT_TRUE(form.ShowDelBtn->isHidden() && form.UnDelBtn->isHidden());

  Select(form, "DEMO/Tables");
  EXPECT_EQ(form.panelText(1), "");
}

// A refused password or a missing table ends in one error box, and the page
// says why instead of showing the table selected before.
TEST_F(Views, TableFailureShowsOneErrorAndSaysWhyOnThePage) {
  TParadoxfrm form;
  Select(form, "DEMO/Tables/ORDERS.DB");
  {
    ScriptedPrompter script;
    script.answer(TypePassword(kDemoMasterPassword, "CancelBtn"), "DEMO: SECRETS.DB");
    script.ok();
    Select(form, "DEMO/Tables/SECRETS.DB");
    EXPECT_TRUE(script.lastAsked().contains("SECRETS")) << script.lastAsked().toStdString();
    ASSERT_EQ(GridLines(form).size(), 1);
    EXPECT_EQ(GridLines(form)[0], "Not available=" + script.lastAsked());
  }
  EXPECT_EQ(form.panelText(1), "");
  EXPECT_EQ(form.PageControl->currentWidget(), form.TabSheet1);
  EXPECT_FALSE(PageShown(form, form.TabSheet2));
  {
    ScriptedPrompter script;
    script.answer(TypePassword(kDemoMasterPassword, "OKBtn"), "DEMO: SECRETS.DB");
    Select(form, "DEMO/Tables/SECRETS.DB");
  }
  EXPECT_TRUE(GridLines(form).contains("Protected=Yes"));

  DMF().aTable.Close();
  std::filesystem::remove(demo() + "/NOTES.DB");
  ScriptedPrompter script;
  script.ok();
  Select(form, "DEMO/Tables/NOTES.DB");
  EXPECT_TRUE(script.lastAsked().contains("NOTES")) << script.lastAsked().toStdString();
  EXPECT_FALSE(GridLines(form).contains("Protected=Yes"));
}

// An order chosen on the data page stays with its table: the next table
// read for the tree opens in its natural order.
TEST_F(Views, AnOrderChosenOnOneTableDoesNotFollowToTheNext) {
  TParadoxfrm form;
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  DMF().aTable.SetIndexName("ByName");
  ScriptedPrompter script;  // no error expected
  Select(form, "DEMO/Tables/ORDERS.DB/FIELDS");
  EXPECT_GT(form.ListView1->topLevelItemCount(), 0);
}

TEST_F(Views, NothingOpensWhileADesignDialogWorksOnATable) {
  TParadoxfrm form;
  Select(form, "DEMO");
  const QStringList aliasLines = GridLines(form);
  RestructureMode = true;
  Select(form, "DEMO/Tables/ORDERS.DB");
  EXPECT_FALSE(DMF().aTable.Active());
  EXPECT_EQ(GridLines(form), aliasLines);
}

TEST_F(Views, QueryFileShowsItsTextInsteadOfTheGrid) {
  TParadoxfrm form;
  Select(form, "DEMO/SQL & QBE Files/BRISTOL.SQL");
  EXPECT_EQ(form.SQLRichEdit->toPlainText(),
            "SELECT Name, City, Credit\nFROM CUSTOMER\nWHERE City = 'Bristol'\n");
  EXPECT_FALSE(form.SQLPanel->isHidden());
  EXPECT_TRUE(form.StringGrid->isHidden());
  EXPECT_FALSE(PageShown(form, form.TabSheet2));
  // QBE columns line up: every character as wide as the others.
  const QFontMetrics metrics(form.SQLRichEdit->font());
  EXPECT_EQ(metrics.horizontalAdvance("iiii"), metrics.horizontalAdvance("WWWW"));

  Select(form, "DEMO");
  EXPECT_TRUE(form.SQLPanel->isHidden());
  EXPECT_FALSE(form.StringGrid->isHidden());
}

// ---- Categories ----

struct CategoryCase {
  const char* path;
  QStringList columns;
  QStringList rows;
};

class CategoryView : public Views, public testing::WithParamInterface<CategoryCase> {};

TEST_P(CategoryView, ListsTheCategoryWithItsColumns) {
  TParadoxfrm form;
  Select(form, GetParam().path);
  EXPECT_EQ(Columns(form.ListView1), GetParam().columns);
  EXPECT_EQ(Rows(form.ListView1), GetParam().rows);
  EXPECT_TRUE(form.StringGrid->isHidden());
  EXPECT_FALSE(PageShown(form, form.TabSheet2));
  EXPECT_TRUE(DMF().aTable.Active());
}

const QStringList kFieldColumns{"FieldName:150", "Type:90", "Size:50", "Scale:50"};
const QStringList kIndexColumns{"IndexName:150", "Fields:40"};

INSTANTIATE_TEST_SUITE_P(
    Demo, CategoryView,
    testing::Values(
        CategoryCase{"DEMO/Tables/ORDERS.DB/FIELDS",
                     kFieldColumns,
                     {"Amount|BCD|32|2", "CustNo|LONGINT|0|0", "OrderNo|AUTOINC|0|0",
                      "Paid|LOGICAL|0|0", "Placed|TIMESTAMP|0|0", "Status|ALPHA|1|0"}},
        CategoryCase{"DEMO/Tables/ORDERS.DB/INDEXES", kIndexColumns, {"<Primary>|1", "CustNo|1"}},
        CategoryCase{"DEMO/Tables/ORDERS.DB/VALIDITY CHECKS",
                     {"Name:100", "Required:100", "Min. Value:100", "Max. Value:100",
                      "Def. Value:100", "Picture:100"},
                     {"Amount|No|0|(NONE)|(NONE)|(NONE)",
                      "Paid|No|(NOT AVIALABLE)|(NOT AVIALABLE)|FALSE|(NONE)",
                      "Status|Yes|(NONE)|(NONE)|(NONE)|(NONE)"}},
        CategoryCase{"DEMO/Tables/ORDERS.DB/REFERENTIAL INTEGRITY",
                     {"Name:100", "Reference type:105", "Reference to:300", "Modify operation:150",
                      "Delete operation:150"},
                     {"OrderCustomer|DEPENDENT|CUSTOMER.DB|CASCADE|RESTRICT"}},
        CategoryCase{"DEMO/Tables/ORDERS.DB/FAMILY MEMBERS",
                     {"File name:500", "Object type:200"},
                     {"ORDERS.DB|TABLE", "ORDERS.PX|INDEX", "ORDERS.QIX|SECONDARY INDEX PROPERTIES",
                      "ORDERS.VAL|VALIDITY CHECKS", "ORDERS.X02|SECONDARY INDEX",
                      "ORDERS.Y02|SECONDARY INDEX"}},
        // Only the primary index for a keyed table without secondary ones;
        // nothing for an unkeyed table.
        CategoryCase{"DEMO/Tables/STATUS.DB/INDEXES", kIndexColumns, {"<Primary>|1"}},
        CategoryCase{"DEMO/Tables/NOTES.DB/INDEXES", kIndexColumns, {}}));

TEST_F(Views, SecurityListsTheAuxiliaryPasswords) {
  DMF().aSession.AddPassword(kDemoMasterPassword);
  TParadoxfrm form;
  Select(form, "DEMO/Tables/SECRETS.DB/SECURITY");
  EXPECT_EQ(Columns(form.ListView1),
            (QStringList{"Name:100", "Table rights:100", "Family rights:100"}));
  EXPECT_EQ(Rows(form.ListView1), QStringList{"peek|READ ONLY|READ ONLY"});
  Select(form, "DEMO/Tables/SECRETS.DB/SECURITY/peek");
  EXPECT_EQ(GridLines(form), (QStringList{"Password= peek", "TABLE RIGHT=READ ONLY",
                                          "Item=READ ONLY", "Secret=READ ONLY"}));
}

// ---- Items of a category ----

struct ItemCase {
  const char* path;
  QStringList lines;
};

class ItemView : public Views, public testing::WithParamInterface<ItemCase> {};

TEST_P(ItemView, ShowsTheItemsPropertiesAndClosesTheTable) {
  TParadoxfrm form;
  form.command("DelBtn")->setEnabled(false);
  QTreeWidgetItem* node = Select(form, GetParam().path);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(GridLines(form), GetParam().lines);
  EXPECT_FALSE(DMF().aTable.Active());
  EXPECT_EQ(form.command("DelBtn")->isEnabled(), tree::ParentText(node) == tree::kIndexes);
}

INSTANTIATE_TEST_SUITE_P(
    Demo, ItemView,
    testing::Values(
        ItemCase{"DEMO/Tables/ORDERS.DB/INDEXES/<Primary>",
                 {"Name=<Primary>", "Fields in index=1", "Primary=Yes", "Unique=Yes",
                  "Maintained=Yes", "Case sensitive=Yes", "Descending=No", "Out of date=No"}},
        ItemCase{"DEMO/Tables/CUSTOMER.DB/INDEXES/ByName",
                 {"Name=ByName", "Fields in index=1", "Primary=No", "Unique=No", "Maintained=Yes",
                  "Case sensitive=No", "Descending=No", "Out of date=No"}},
        ItemCase{"DEMO/Tables/ORDERS.DB/FIELDS/Amount",
                 {"Name=Amount", "Order=4", "Type=BCD", "Scale=2", "Size=32"}},
        ItemCase{"DEMO/Tables/ORDERS.DB/VALIDITY CHECKS/Status",
                 {"FILED NUMBER=5", "REQUIRED=Yes", "MIN. VALUE=(NONE)", "MAX. VALUE=(NONE)",
                  "DEF. VALUE=(NONE)", "PICTURE=(NONE)"}},
        ItemCase{"DEMO/Tables/ORDERS.DB/REFERENTIAL INTEGRITY/OrderCustomer",
                 {"Name=OrderCustomer", "Type=DEPENDENT", "Master table=CUSTOMER.DB",
                  "Modify Mode=CASCADE", "Delete Mode=RESTRICT", "Fields in the linking key=1",
                  "Field(1)=CustNo>CustNo"}}));

// ---- Below the items ----

TEST_F(Views, IndexFieldsAndLinkSidesListTheirFields) {
  TParadoxfrm form;
  Select(form, "DEMO/Tables/CUSTOMER.DB/INDEXES/ByName/Fields");
  EXPECT_EQ(Columns(form.ListView1), (QStringList{"Fields:150", "Descending:120"}));
  EXPECT_EQ(Rows(form.ListView1), QStringList{"Name|No"});
  EXPECT_FALSE(DMF().aTable.Active());
  Select(form, "DEMO/Tables/ORDERS.DB/INDEXES/<Primary>/Fields");
  EXPECT_EQ(Rows(form.ListView1), QStringList{"OrderNo|No"});

  const QString link = "DEMO/Tables/ORDERS.DB/REFERENTIAL INTEGRITY/OrderCustomer/";
  for (const char* side : {"Primary Fields", "Foreing Fields"}) {
    Select(form, link + side);
    EXPECT_EQ(Columns(form.ListView1), QStringList{"Fields:150"});
    EXPECT_EQ(Rows(form.ListView1), QStringList{"CustNo"});
    EXPECT_EQ(form.panelText(0), QString("1Items in ") + side);
  }
  // A field of a side clears the list.
  Select(form, link + "Primary Fields/CustNo");
  EXPECT_EQ(form.ListView1->columnCount(), 0);
  EXPECT_EQ(form.ListView1->topLevelItemCount(), 0);
  EXPECT_TRUE(form.StringGrid->isHidden());
}

// The highlighted node and the details shown are always the same node, also
// when reading the details fails.
TEST_F(Views, FailuresBelowATableAreShownForThatNode) {
  TParadoxfrm form;
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  QTreeWidgetItem* nodes[] = {Node(form, "DEMO/Tables/ORDERS.DB/FIELDS"),
                              Node(form, "DEMO/Tables/ORDERS.DB/FIELDS/Amount"),
                              Node(form, "DEMO/Tables/ORDERS.DB/INDEXES/<Primary>/Fields")};
  DMF().aTable.Close();
  std::filesystem::remove(demo() + "/ORDERS.DB");
  for (QTreeWidgetItem* node : nodes) {
    ASSERT_NE(node, nullptr);
    SCOPED_TRACE(node->text(0).toStdString());
    ScriptedPrompter script;
    script.ok();
    form.TreeView->setCurrentItem(node);
    EXPECT_EQ(form.TreeView->currentItem(), node);
    EXPECT_TRUE(form.StringGrid->isVisible() || !form.isVisible());
    ASSERT_EQ(GridLines(form).size(), 1);
    EXPECT_TRUE(GridLines(form)[0].startsWith("Not available=ORDERS") ||
                GridLines(form)[0].contains("ORDERS"))
        << GridLines(form)[0].toStdString();
  }
}

}  // namespace
