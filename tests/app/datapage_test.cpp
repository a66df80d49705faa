// The data page on the demo database and on dBASE tables made beside it:
// the grid shows the selected table's rows, edits them in place through the
// engine, the navigator moves and changes records, and the whole-table
// commands (empty, copy, pack, deleted records) act on the browsed table.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QRadioButton>
#include <QPushButton>
#include <QTableView>
#include <QTextEdit>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "engine/dataset/dberror.h"
#include "engine/family.h"
#include "explorer/blobf.h"
#include "explorer/datagrid.h"
#include "explorer/griddialogs.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/scripted_prompter.h"

namespace {

class DataPage : public ExplorerTest {
 protected:
  QTreeWidgetItem* Select(TParadoxfrm& form, const QString& path) {
    QTreeWidgetItem* node = Node(form, path);
    EXPECT_NE(node, nullptr) << path.toStdString();
    form.TreeView->setCurrentItem(nullptr);
    if (node) form.TreeView->setCurrentItem(node);
    return node;
  }
  static QString Cell(TParadoxfrm& form, int row, int column) {
    return form.DBGrid1->model()->index(row, column).data().toString();
  }
  static QStringList Column(TParadoxfrm& form, int column) {
    QStringList texts;
    for (int r = 0; r < form.DBGrid1->model()->rowCount(); ++r) texts << Cell(form, r, column);
    return texts;
  }
  static void Click(TParadoxfrm& form, const char* button) {
    auto* b = form.MainDBNav->findChild<QToolButton*>(button);
    ASSERT_NE(b, nullptr) << button;
    b->click();
  }
  // Types `text` into a cell through the grid's own editor and presses Enter.
  static void TypeInto(TParadoxfrm& form, int row, int column, const QString& text) {
    const QModelIndex cell = form.DBGrid1->model()->index(row, column);
    form.DBGrid1->setCurrentIndex(cell);
    form.DBGrid1->edit(cell);
    auto* editor = qobject_cast<QLineEdit*>(form.DBGrid1->indexWidget(cell));
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, text);
    QTest::keyClick(editor, Qt::Key_Return);
    QApplication::processEvents();  // the delegate commits once the key is handled
  }

  // BINS.DBF beside the demo tables: NAME C 10, QTY N 5; records A..E with
  // B and D marked deleted.
  void MakeDbaseTable() {
    engine::hDBIDb db = 0;
    ASSERT_EQ(engine::OpenDatabase(demo(), db), engine::Ok);
    engine::TableDesc d;
    d.tableName = "BINS.DBF";
    d.driverType = "DBASE";
    engine::FieldDesc name, qty;
    name.name = "NAME";
    name.type = engine::dbChar;
    name.units1 = 10;
    qty.name = "QTY";
    qty.type = engine::dbNumber;
    qty.units1 = 5;
    d.fields = {name, qty};
    ASSERT_EQ(engine::CreateTable(db, false, d), engine::Ok) << engine::LastErrorMessage();
    engine::hDBICur cur = 0;
    ASSERT_EQ(engine::OpenTable(db, "BINS.DBF", "", engine::OpenMode::ReadWrite, cur), engine::Ok);
    int n = 0;
    for (const char* s : {"A", "B", "C", "D", "E"}) {
      ASSERT_EQ(engine::InsertRecord(cur, {std::string(s), double(++n)}), engine::Ok);
      if (n == 2 || n == 4) ASSERT_EQ(engine::DeleteRecord(cur), engine::Ok);
    }
    engine::CloseCursor(cur);
    engine::CloseDatabase(db);
  }
};

TEST_F(DataPage, SelectingATableShowsItsRowsAndTheRecordNumberOnceTheGridIsEntered) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  ASSERT_EQ(form.DBGrid1->model()->rowCount(), 3);
  EXPECT_EQ(form.DBGrid1->model()->headerData(1, Qt::Horizontal).toString(), "Name");
  EXPECT_EQ(Column(form, 1), (QStringList{"Harbour Supplies", "Quarry Stone Ltd", "Café Müller"}));
  EXPECT_EQ(Cell(form, 0, 4), "1994-03-14");
  EXPECT_TRUE(Cell(form, 0, 7).endsWith("bytes)"));
  EXPECT_EQ(GridText(engine::Value{std::string("first\r\nsecond")}), QString::fromUtf8("first…"));
  EXPECT_FALSE(form.MainDBNav->isHidden());

  form.DBGrid1->setFocus();
  QApplication::processEvents();
  Click(form, "NavLast");
  EXPECT_EQ(form.panelText(0), "Record No.:3");
  Click(form, "NavPrior");
  EXPECT_EQ(form.panelText(0), "Record No.:2");
  EXPECT_EQ(DMF().aTable.FieldByName("Name").AsString(), "Quarry Stone Ltd");
  Click(form, "NavFirst");
  EXPECT_EQ(form.DBGrid1->currentIndex().row(), 0);

  // Another table: the grid follows.
  Select(form, "DEMO/Tables/STATUS.DB");
  EXPECT_EQ(Column(form, 1), (QStringList{"New", "Paid", "Shipped"}));
}

TEST_F(DataPage, CellsAreWrittenThroughTheEngineAndARefusedValueIsKeptForCorrection) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  TypeInto(form, 1, 2, "York");
  EXPECT_EQ(Cell(form, 1, 2), "York");
  DMF().aTable.Close();
  DMF().aTable.Open();
  DMF().aTable.Next();
  EXPECT_EQ(DMF().aTable.FieldByName("City").AsString(), "York");

  Select(form, "DEMO/Tables/CUSTOMER.DB");
  ScriptedPrompter prompter;
  prompter.ok();
  TypeInto(form, 0, 5, "200000");  // over the check's maximum
  QApplication::processEvents();
  EXPECT_EQ(Cell(form, 0, 5), "25000");
  EXPECT_FALSE(prompter.lastAsked().isEmpty());
  auto* editor = qobject_cast<QLineEdit*>(form.DBGrid1->indexWidget(form.DBGrid1->currentIndex()));
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->text(), "200000");
}

TEST_F(DataPage, TheNavigatorInsertsPostsAndDeletesRecords) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/STATUS.DB");
  Click(form, "NavInsert");
  ASSERT_EQ(form.DBGrid1->model()->rowCount(), 4);
  TypeInto(form, 3, 0, "X");
  TypeInto(form, 3, 1, "Cancelled");
  Click(form, "NavPost");
  EXPECT_EQ(Column(form, 0), (QStringList{"N", "P", "S", "X"}));
  EXPECT_EQ(DMF().aTable.RecordCount(), 4u);

  // A key that is there already: the engine's message, the record stays.
  ScriptedPrompter prompter;
  Click(form, "NavInsert");
  prompter.ok();
  TypeInto(form, 4, 0, "N");
  Click(form, "NavPost");
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 5);
  Click(form, "NavCancel");
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 4);

  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(3, 0));
  prompter.yes("Delete record?");
  Click(form, "NavDelete");
  EXPECT_EQ(Column(form, 0), (QStringList{"N", "P", "S"}));
}

TEST_F(DataPage, DeletedDbaseRecordsAreShownUndeletedAndPackedAway) {
  MakeDbaseTable();
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/BINS.DBF");
  EXPECT_FALSE(form.ShowDelBtn->isHidden());
  EXPECT_EQ(Column(form, 0), (QStringList{"A", "C", "E"}));

  form.ShowDelBtn->click();
  EXPECT_FALSE(form.UnDelBtn->isHidden());
  EXPECT_EQ(Column(form, 0), (QStringList{"A", "B", "C", "D", "E"}));
  const QModelIndex b = form.DBGrid1->model()->index(1, 0);
  EXPECT_TRUE(b.data(Qt::FontRole).value<QFont>().strikeOut());
  form.DBGrid1->setCurrentIndex(b);
  form.UnDelBtn->click();
  EXPECT_FALSE(b.data(Qt::FontRole).value<QFont>().strikeOut());

  form.ShowDelBtn->click();  // hidden again: D alone is deleted
  EXPECT_TRUE(form.UnDelBtn->isHidden());
  EXPECT_EQ(Column(form, 0), (QStringList{"A", "B", "C", "E"}));

  form.command("PackTable1")->trigger();
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_EQ(DMF().aTable.RecordCount(), 4u);
  EXPECT_EQ(form.panelText(1), "Records count: 4");
  form.ShowDelBtn->click();
  EXPECT_EQ(Column(form, 0), (QStringList{"A", "B", "C", "E"}));
}

TEST_F(DataPage, EmptyAsksFirstAndPackKeepsAParadoxTableBrowsable) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/STATUS.DB");
  ScriptedPrompter prompter;
  prompter.no("All records will be deleted.\rContinue ?");
  form.command("EmptyTable1")->trigger();
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 3);

  form.command("TablePackPopup")->trigger();
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 3);
  EXPECT_TRUE(DMF().aTable.Active());

  prompter.yes("All records will be deleted.\rContinue ?");
  form.command("TableEmptyPopup")->trigger();
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 0);
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_FALSE(DMF().aTable.Exclusive());
}

TEST_F(DataPage, CopyAsksBeforeOverwritingAndConvertsByExtension) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/STATUS.DB");
  ScriptedPrompter prompter;
  const QString target = QString::fromStdString(dir / "STATCOPY");
  prompter.answer(Prompter::FileChoice{target, "dBase tables (*.dbf)"}, "Save File To");
  form.command("CopyTable1")->trigger();
  ASSERT_TRUE(std::filesystem::exists(dir / "STATCOPY.dbf"));

  prompter.answer(Prompter::FileChoice{target + ".dbf", "dBase tables (*.dbf)"});
  prompter.no("Table \"" + target + ".dbf\" is already exists.\rOverwrite it ?");
  form.command("TableCopyPopup")->trigger();

  engine::TTable copy;
  copy.SetTableName(dir / "STATCOPY.dbf");
  copy.Open();
  EXPECT_EQ(copy.RecordCount(), 3u);
  EXPECT_EQ(copy.FieldByName("Meaning").AsString(), "New");
}

TEST_F(DataPage, OrderAndFilterDialogsReshapeTheGrid) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  ScriptedPrompter prompter;
  prompter.answer(ScriptedPrompter::DialogDriver([](QDialog& d) {
    auto& order = static_cast<TOrderF&>(d);
    QStringList entries;
    for (int i = 0; i < order.IdxLB->count(); ++i) entries << order.IdxLB->item(i)->text();
    EXPECT_EQ(entries, (QStringList{"<none>", "<Primary>", "City", "ByName"}));
    order.IdxLB->setCurrentRow(3);
    EXPECT_EQ(order.FldEdit->text(), "NAME;");
    order.OKBtn->click();
    return int(QDialog::Accepted);
  }));
  form.command("Order1")->trigger();
  EXPECT_EQ(OrderF, nullptr);
  EXPECT_EQ(Column(form, 1), (QStringList{"Café Müller", "Harbour Supplies", "Quarry Stone Ltd"}));

  prompter.answer(ScriptedPrompter::DialogDriver([](QDialog& d) {
    auto& filter = static_cast<TFilterF&>(d);
    filter.FilterEdit->setText("City = 'Bristol'");
    filter.OKBtn->click();
    return int(QDialog::Accepted);
  }));
  form.command("Filter1")->trigger();
  EXPECT_EQ(Column(form, 2), (QStringList{"Bristol", "Bristol"}));

  prompter.answer(ScriptedPrompter::DialogDriver([](QDialog& d) {
    static_cast<TFilterF&>(d).ResetBtn->click();
    d.reject();
    return int(QDialog::Rejected);
  }));
  form.command("Filter1")->trigger();
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 3);
}

TEST_F(DataPage, FindInFieldWalksOnAndSaysWhenItIsDone) {
  EXPECT_TRUE(FieldMatches("Harbour Supplies", {"harbour", false, false}));
  EXPECT_FALSE(FieldMatches("Harbour Supplies", {"harbour", true, false}));
  EXPECT_FALSE(FieldMatches("Harbour Supplies", {"HARBOUR", false, true}));
  EXPECT_TRUE(FieldMatches("Harbour Supplies", {"HARBOUR SUPPLIES", false, true}));

  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 2));
  form.DBGrid1->setFocus();
  QTest::keyClick(form.DBGrid1, Qt::Key_F, Qt::ControlModifier);
  ASSERT_NE(DBFindDialog, nullptr);
  EXPECT_EQ(DBFindDialog->windowTitle(), "Find in field \"City\"");
  EXPECT_EQ(DBFindDialog->FindEdit->text(), "Bristol");
  DBFindDialog->FindBtn->click();  // from the cursor: Café Müller
  EXPECT_EQ(form.DBGrid1->currentIndex().row(), 2);
  ScriptedPrompter prompter;
  prompter.ok("The search is completed.");
  DBFindDialog->FindBtn->click();
  EXPECT_EQ(form.DBGrid1->currentIndex().row(), 2);

  DBFindDialog->EntireScopeRB->setChecked(true);
  DBFindDialog->FindBtn->click();  // starts at the first record, inclusive
  EXPECT_EQ(form.DBGrid1->currentIndex().row(), 0);
  DBFindDialog->close();
  QApplication::processEvents();
  EXPECT_FALSE(FindFromStartDone);
}

TEST_F(DataPage, RoundingTakesHalvesToTheEvenNeighbour) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  TypeInto(form, 0, 5, "2.345");
  TypeInto(form, 1, 5, "2.355");
  TypeInto(form, 2, 5, "2.365");
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 5));
  EXPECT_TRUE(form.command("Round1")->isEnabled());
  ScriptedPrompter prompter;
  prompter.answer(std::optional<QString>("2"), "Digits after point");
  form.command("Round1")->trigger();
  EXPECT_EQ(Column(form, 5), (QStringList{"2.34", "2.36", "2.36"}));
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 1));
  EXPECT_FALSE(form.command("Round1")->isEnabled());
}

TEST_F(DataPage, RemovingLookupLinksClearsThemAfterOneQuestion) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/STATUS.DB");
  ScriptedPrompter prompter;
  prompter.ok("Table don't contain any links.");
  form.command("Removelookuplinks1")->trigger();

  Select(form, "DEMO/Tables/ORDERS.DB");
  const QString status = "STATUS.DB";
  prompter.no("Table links to \"" + status + "\". Disable link?");
  form.command("Removelookuplinks1")->trigger();
  EXPECT_TRUE(DMF().aTable.Active());
  prompter.yes("Table links to \"" + status + "\". Disable link?");
  form.command("Removelookuplinks1")->trigger();
  EXPECT_TRUE(DMF().aTable.Active());
  EXPECT_EQ(form.DBGrid1->model()->rowCount(), 3);
  prompter.ok("Table don't contain any links.");
  form.command("Removelookuplinks1")->trigger();
}

TEST_F(DataPage, CtrlCCopiesTheSelectedCellsUnderTheirColumnNames) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  QAbstractItemModel* model = form.DBGrid1->model();
  form.DBGrid1->selectionModel()->select(
      QItemSelection(model->index(0, 1), model->index(1, 2)), QItemSelectionModel::ClearAndSelect);
  QTest::keyClick(form.DBGrid1, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(),
            "Name\tCity\nHarbour Supplies\tBristol\nQuarry Stone Ltd\tLeeds\n");
}

TEST_F(DataPage, EmptyingAnAliasOffersBackupsFirstAndThenDeletesEveryTable) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO");
  const int tables = Node(form, "DEMO/Tables")->childCount();
  ASSERT_GT(tables, 3);
  Select(form, "DEMO");
  ScriptedPrompter prompter;
  const QString ask = "Delete " + QString::number(tables) + " tables from \"DEMO\" ?";
  prompter.answer(QMessageBox::Cancel, ask);
  form.command("EmptyDatabasePopup")->trigger();
  prompter.yes(ask).yes("All data will be lost.\rWould You like to make backup copies?");
  prompter.answer(ScriptedPrompter::DialogDriver([](QDialog&) { return int(QDialog::Rejected); }));
  form.command("Empty1")->trigger();
  EXPECT_EQ(Node(form, "DEMO/Tables")->childCount(), tables);

  // Linked and protected tables stay, named in one message.
  prompter.yes(ask).no("All data will be lost.\rWould You like to make backup copies?").ok();
  form.command("Empty1")->trigger();
  EXPECT_EQ(Children(Node(form, "DEMO/Tables")),
            (QStringList{"CUSTOMER.DB", "ORDERS.DB", "SECRETS.DB"}));
  EXPECT_TRUE(prompter.lastAsked().startsWith("These tables were not deleted:"));
  EXPECT_TRUE(std::filesystem::exists(demo() + "/CUSTOMER.DB"));
  EXPECT_FALSE(std::filesystem::exists(demo() + "/PARTS.DBF"));
  EXPECT_FALSE(std::filesystem::exists(demo() + "/STATUS.DB"));
}

// ---- The BLOB viewer ----

TEST_F(DataPage, TheBlobViewerFollowsTheGridsColumnAndRecord) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  TBLOBF& viewer = *form.BLOBF;
  const auto at = [&form](int row, int column) {
    form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(row, column));
  };
  at(0, 7);  // Logo: the picture alone
  EXPECT_TRUE(viewer.isVisible());
  EXPECT_TRUE(viewer.DBImage->isVisible());
  EXPECT_FALSE(viewer.DBMemo->isVisible());
  EXPECT_EQ(viewer.DBImage->pixmap().size(), QSize(2, 2));

  at(0, 6);  // Notes: the text alone
  EXPECT_TRUE(viewer.isVisible());
  EXPECT_TRUE(viewer.DBMemo->isVisible());
  EXPECT_FALSE(viewer.DBImage->isVisible());
  EXPECT_EQ(viewer.DBMemo->toPlainText(), "Our oldest customer; pays on the first of the month.");
  at(2, 6);
  EXPECT_EQ(viewer.DBMemo->toPlainText(), "Prefers e-mail.");

  at(2, 1);  // Name
  EXPECT_FALSE(viewer.isVisible());

  viewer.Alwaysshow1->trigger();  // unchecked: the viewer stays closed
  at(2, 6);
  EXPECT_FALSE(viewer.isVisible());
}

TEST_F(DataPage, TheBlobViewerWritesLoadedAndTypedTextAndSavesThePicturesOwnBytes) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  TBLOBF& viewer = *form.BLOBF;
  const QString text = QString::fromStdString(dir / "note.txt");
  {
    QFile file(text);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("Paid in full.\r\nThank you.\r\n");
  }
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(1, 6));
  ScriptedPrompter prompter;
  prompter.answer(Prompter::FileChoice{text, "TXT Files(*.txt)"});
  viewer.findChild<QAction*>("LoadFromFile1")->trigger();
  EXPECT_EQ(Cell(form, 1, 6), QString::fromUtf8("Paid in full.…"));
  viewer.DBMemo->setPlainText("Typed.");
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 6));  // leaving commits it
  engine::TTable& table = DMF().aTable;
  table.Close();
  table.Open();
  table.Next();
  EXPECT_EQ(table.FieldByName("Notes").AsString(), "Typed.");

  Select(form, "DEMO/Tables/CUSTOMER.DB");
  form.DBGrid1->setCurrentIndex(form.DBGrid1->model()->index(0, 7));
  const QString picture = QString::fromStdString(dir / "logo.bmp");
  prompter.answer(Prompter::FileChoice{picture, "Graphics files (*.bmp *.jpg *.ico)"});
  viewer.findChild<QAction*>("SaveToFile1")->trigger();
  QFile saved(picture);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const engine::Value logo = table.FieldByName("Logo").GetValue();
  EXPECT_EQ(saved.readAll().toStdString(), std::get<engine::BlobValue>(logo).bytes);
}

#ifdef QUARRY_BIN
TEST_F(DataPage, ExportToCsvWritesTheShownRowsAsTheCommandLineDumpsThemAndKeepsTheRecord) {
  TParadoxfrm form;
  form.show();
  Select(form, "DEMO/Tables/CUSTOMER.DB");
  engine::TTable& table = DMF().aTable;
  table.SetIndexName("ByName");
  table.SetFilter("City = 'Bristol'");
  table.SetFiltered(true);
  form.bindDataGrid();
  form.goToGridRow(1);
  ASSERT_EQ(table.FieldByName("Name").AsString(), "Harbour Supplies");
  const std::uint32_t recNo = table.RecNo();

  const QString csv = QString::fromStdString(dir / "customers");
  ScriptedPrompter prompter;
  prompter.answer(Prompter::FileChoice{csv, "CSV files (*.csv)"}, "Export to CSV");
  form.command("ExporttoCSV1")->trigger();
  EXPECT_EQ(table.RecNo(), recNo);
  EXPECT_EQ(form.currentGridRow(), 1);
  EXPECT_EQ(table.FieldByName("Name").AsString(), "Harbour Supplies");

  QProcess quarry;
  quarry.start(QUARRY_BIN, {"dump", QString::fromStdString(demo() + "/CUSTOMER.DB")});
  ASSERT_TRUE(quarry.waitForFinished(30000));
  ASSERT_EQ(quarry.exitCode(), 0) << quarry.readAllStandardError().toStdString();
  const QList<QByteArray> dumped = quarry.readAllStandardOutput().split('\n');  // by CustNo
  ASSERT_GE(dumped.size(), 4);
  QFile file(csv + ".csv");
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), dumped[0] + '\n' + dumped[3] + '\n' + dumped[1] + '\n');
}
#endif

}  // namespace
