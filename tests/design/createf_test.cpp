// The Paradox design dialog end to end: a table designed in the roster with
// a key, checks, a secondary index, a link to a parent and passwords is
// saved; reopened for restructuring it shows all of it; changed and saved,
// the table on disk has the new structure with its data converted.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRadioButton>
#include <QTableWidget>
#include <QToolButton>

#include "app/demodb.h"
#include "app/globals.h"
#include "design/createf.h"
#include "design/fieldroster.h"
#include "design/passwordsf.h"
#include "design/refintf.h"
#include "design/valcheckpanel.h"
#include "engine/dataset/dberror.h"
#include "engine/family.h"
#include "engine/indexes.h"
#include "engine/valchecks.h"
#include "tests/support/design_drivers.h"
#include "tests/support/listtexts.h"
#include "tests/support/password_dialog.h"
#include "tests/support/tempdir.h"

namespace {

using design::FieldRoster;
using Driver = ScriptedPrompter::DialogDriver;

// What the engine reads back from a table.
struct Shape {
  engine::CursorProps props;
  std::vector<engine::FieldDesc> fields;
  std::vector<engine::IndexDesc> indexes;
  std::vector<std::vector<engine::Value>> records;
};

class CreateF : public ::testing::Test {
 protected:
  void SetUp() override {
    FieldRoster::TypeSizeRequired = false;
    FieldRoster::RowJustAppended = false;
    ResetGlobals();
    ASSERT_EQ(CreateDemoDatabase(dir.path()), engine::Ok) << engine::LastErrorMessage();
    engine::RemoveAllPasswords();
  }
  void TearDown() override { engine::RemoveAllPasswords(); }

  QString database() const { return QString::fromStdString(dir.path()); }

  // Shows a dialog as the explorer does, ready for keys.
  void Show(TCreateF& dialog) {
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    form = &dialog;
  }

  QWidget* Grid() { return form->Roster->StringGrid1->viewport(); }
  QPoint At(int row, int column) {
    QTableWidget* grid = form->Roster->StringGrid1;
    return grid->visualRect(grid->model()->index(row - 1, column)).center();
  }
  void Click(int row, int column) { QTest::mouseClick(Grid(), Qt::LeftButton, {}, At(row, column)); }
  QWidget* Focus() {
    QWidget* w = QApplication::focusWidget();
    return w ? w : form->Roster->StringGrid1;
  }
  void Keys(const QString& text) {
    for (const QChar c : text) QTest::keyClick(Focus(), c.toLatin1());
  }
  void Key(Qt::Key key) { QTest::keyClick(Focus(), key); }
  // Types a row's name, type key and size, then marks it as key.
  void Field(int row, const QString& name, const QString& typeKey, const QString& size = {},
             bool key = false) {
    if (row > form->Roster->FieldCount()) {
      Click(row - 1, FieldRoster::NameCol);
      Key(Qt::Key_Down);
    }
    Click(row, FieldRoster::NameCol);
    Keys(name);
    Click(row, FieldRoster::TypeCol);
    Keys(typeKey);
    if (!size.isEmpty()) {
      Click(row, FieldRoster::SizeCol);
      Keys(size);
    }
    if (key) QTest::mouseDClick(Grid(), Qt::LeftButton, {}, At(row, FieldRoster::KeyCol));
  }
  // Chooses a page of "Table properties:" with the keyboard.
  void Page(int page) {
    QComboBox* box = form->TblPropComB;
    box->setFocus();
    const int steps = page - box->currentIndex();
    for (int i = 0; i < std::abs(steps); ++i)
      QTest::keyClick(box, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
  }
  void Press(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  Shape Read(const std::string& table) {
    Shape s;
    engine::hDBIDb db = 0;
    engine::hDBICur cur = 0;
    EXPECT_EQ(engine::OpenDatabase(dir.path(), db), engine::Ok);
    EXPECT_EQ(engine::OpenTable(db, table, "", engine::OpenMode::ReadOnly, cur), engine::Ok)
        << engine::LastErrorMessage();
    if (cur) {
      engine::GetCursorProps(cur, s.props);
      engine::GetFieldDescs(cur, s.fields);
      engine::GetIndexDescs(cur, s.indexes);
      std::vector<engine::Value> values;
      while (engine::GetNextRecord(cur, &values) == engine::Ok) s.records.push_back(values);
      engine::CloseCursor(cur);
    }
    engine::CloseDatabase(db);
    return s;
  }

  TempDir dir;
  TCreateF* form = nullptr;
};

std::vector<std::string> Names(const std::vector<engine::FieldDesc>& fields) {
  std::vector<std::string> names;
  for (const auto& f : fields) names.push_back(f.name);
  return names;
}

std::vector<std::string> IndexNames(const std::vector<engine::IndexDesc>& indexes) {
  std::vector<std::string> names;
  for (const auto& ix : indexes) names.push_back(ix.name);
  return names;
}

std::vector<int> KeyOf(const engine::IndexDesc& index) {
  return std::vector<int>(index.keyFields.begin(), index.keyFields.begin() + index.fieldsInKey);
}

Driver LinkToCustomer(const QString& child) {
  return [=](QDialog& d) {
    auto& dialog = static_cast<TRefIntF&>(d);
    dialog.show();
    ::Click(dialog.TablesLB, "CUSTOMER.DB");
    ::Click(dialog.TblToKeyBtn);
    ::Click(dialog.FldRefIntLB, child);
    ::Click(dialog.FldToChildBtn);
    ::Click(dialog.Button1);
    return dialog.result();
  };
}

Driver MasterPassword(const QString& password) {
  return [=](QDialog& d) {
    auto& dialog = static_cast<TMasterPassF&>(d);
    dialog.show();
    QTest::keyClicks(dialog.MasterEdit, password);
    QTest::keyClicks(dialog.VerMasterEdit, password);
    ::Click(dialog.OKBtn);
    return dialog.result();
  };
}

TEST_F(CreateF, DesignsAKeyedTableWithEverythingThenRestructuresItKeepingTheData) {
  ScriptedPrompter script;
  {
    TCreateF dialog(database());
    dialog.setLevel("7");
    Show(dialog);
    EXPECT_EQ(dialog.windowTitle(), "Create Paradox 7 table ");
    EXPECT_EQ(dialog.EngineDefCB->text(), "Engine defaults");
    EXPECT_TRUE(dialog.EngineDefCB->isChecked());
    EXPECT_TRUE(dialog.MoreCtrlGB->isHidden());
    EXPECT_TRUE(dialog.SaveAsBtn->isHidden());

    Page(1);  // nothing to index yet
    EXPECT_EQ(dialog.Roster->HintLabel->text(), "No fields identified");
    EXPECT_EQ(dialog.TblPropComB->currentIndex(), 0);

    Field(1, "ORDERID", "i", {}, true);
    Field(2, "CUSTNO", "i");
    Field(3, "PLACED", "d");
    Field(4, "NOTE", "a", "20");
    Field(5, "QTY", "s");
    Click(5, FieldRoster::NameCol);
    ::Click(dialog.CheckPanel->RequiredCB);
    QTest::keyClicks(dialog.CheckPanel->MinValEdit, "1");

    Page(1);
    script.answer(IndexOf({"PLACED"})).answer(Typed("ByPlaced"), "Index name:");
    Press(dialog.DefineBtn);
    EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"ByPlaced"}));

    Page(2);
    script.answer(LinkToCustomer("CUSTNO[I]")).answer(Typed("OrderCust"), "Referential integrity name:");
    Press(dialog.DefineBtn);
    EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"OrderCust"}));

    Page(3);
    EXPECT_TRUE(dialog.DefineBtn->isEnabled());
    EXPECT_FALSE(dialog.ModifyBtn->isEnabled());
    script.answer(MasterPassword("boss"));
    Press(dialog.DefineBtn);
    EXPECT_TRUE(dialog.ModifyBtn->isEnabled());  // the table has its master password now
    EXPECT_FALSE(dialog.DefineBtn->isEnabled());

    ASSERT_EQ(dialog.Roster->FieldNames(), QStringList({"ORDERID", "CUSTNO", "PLACED", "NOTE", "QTY"}));
    ASSERT_FALSE(dialog.CheckPanel->HasInvalidValue());
    script.answer(Prompter::FileChoice{database() + "/NEWORD", "Paradox Tables (*.db)"});
    Press(dialog.CreateBtn);
    EXPECT_TRUE(dialog.isVisible());  // "Save" may make more tables
    Press(dialog.CancelBtn);
  }

  engine::AddPassword("boss");
  Shape made = Read("NEWORD.DB");
  ASSERT_EQ(Names(made.fields), (std::vector<std::string>{"ORDERID", "CUSTNO", "PLACED", "NOTE", "QTY"}));
  EXPECT_EQ(made.fields[3].units1, 20);
  EXPECT_TRUE(made.props.isProtected);
  EXPECT_EQ(made.props.valCheckCount, 1);
  EXPECT_EQ(made.props.refIntCount, 1);
  ASSERT_EQ(made.indexes.size(), 3u);  // the key, ByPlaced and the link's index
  EXPECT_TRUE(made.indexes[0].primary);
  EXPECT_EQ(KeyOf(made.indexes[0]), std::vector<int>({1}));
  {
    engine::hDBIDb db = 0;
    engine::hDBICur cur = 0;
    ASSERT_EQ(engine::OpenDatabase(dir.path(), db), engine::Ok);
    ASSERT_EQ(engine::OpenTable(db, "NEWORD.DB", "", engine::OpenMode::ReadWrite, cur), engine::Ok);
    EXPECT_NE(engine::InsertRecord(cur, {std::int64_t{1}, std::int64_t{2}, engine::Value{},
                                         std::string("first"), std::int64_t{0}}),
              engine::Ok);  // below the minimum
    EXPECT_NE(engine::InsertRecord(cur, {std::int64_t{1}, std::int64_t{9}, engine::Value{},
                                         std::string("first"), std::int64_t{3}}),
              engine::Ok);  // no such customer
    ASSERT_EQ(engine::InsertRecord(cur, {std::int64_t{1}, std::int64_t{2}, engine::Value{},
                                         std::string("first order"), std::int64_t{3}}),
              engine::Ok)
        << engine::LastErrorMessage();
    ASSERT_EQ(engine::InsertRecord(cur, {std::int64_t{2}, std::int64_t{3}, engine::Value{},
                                         std::string("second"), std::int64_t{7}}),
              engine::Ok);
    engine::CloseCursor(cur);
    engine::CloseDatabase(db);
  }
  engine::RemoveAllPasswords();

  // Reopened for restructuring: the password is asked, everything shows.
  {
    TCreateF dialog(database(), "NEWORD.DB");
    script.answer(TypePassword("boss", "OKBtn"));
    Show(dialog);
    EXPECT_EQ(dialog.windowTitle(), "Restructure table NEWORD.DB (Paradox 7)");
    EXPECT_EQ(dialog.EngineDefCB->text(), "Remain as it is");
    EXPECT_FALSE(dialog.SaveAsBtn->isHidden());
    EXPECT_EQ(dialog.Edit1->text(), "7");
    FieldRoster* roster = dialog.Roster;
    EXPECT_EQ(roster->FieldNames(), QStringList({"ORDERID", "CUSTNO", "PLACED", "NOTE", "QTY"}));
    EXPECT_EQ(roster->KeyFields(), QList<int>({1}));
    EXPECT_EQ(roster->FieldSize(4), "20");
    Click(5, FieldRoster::NameCol);
    EXPECT_TRUE(dialog.CheckPanel->RequiredCB->isChecked());
    EXPECT_EQ(dialog.CheckPanel->MinValEdit->text(), "1");
    Page(1);
    EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"ByPlaced", "OrderCust"}));
    Page(2);
    EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"OrderCust"}));
    Page(3);
    EXPECT_TRUE(dialog.ModifyBtn->isEnabled());

    // Changes: NOTE renamed and widened, QTY made a long integer with a
    // maximum, a new field, a two-field key, ByPlaced gone, a new index.
    Click(4, FieldRoster::NameCol);
    Keys("REMARK");  // typing replaces the name
    Click(4, FieldRoster::SizeCol);
    Keys("30");
    Click(5, FieldRoster::TypeCol);
    Keys("i");
    Click(5, FieldRoster::NameCol);
    QTest::keyClicks(dialog.CheckPanel->MaxValEdit, "100");
    Field(6, "PAID", "l");
    QTest::mouseDClick(Grid(), Qt::LeftButton, {}, At(2, FieldRoster::KeyCol));
    EXPECT_EQ(roster->KeyFields(), QList<int>({1, 2}));
    Page(1);
    ::Click(dialog.RefIndxLB, "ByPlaced");
    Press(dialog.EraseBtn);
    script.answer(IndexOf({"REMARK"})).answer(Typed("ByRemark"), "Index name:");
    Press(dialog.DefineBtn);
    EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"ByRemark", "OrderCust"}));
    Press(dialog.CreateBtn);
    EXPECT_FALSE(dialog.isVisible());
  }

  engine::AddPassword("boss");
  Shape changed = Read("NEWORD.DB");
  ASSERT_EQ(Names(changed.fields),
            (std::vector<std::string>{"ORDERID", "CUSTNO", "PLACED", "REMARK", "QTY", "PAID"}));
  EXPECT_EQ(changed.fields[3].units1, 30);
  EXPECT_EQ(changed.fields[4].type, engine::pxLong);
  EXPECT_TRUE(changed.props.isProtected);
  ASSERT_FALSE(changed.indexes.empty());
  EXPECT_EQ(KeyOf(changed.indexes[0]), std::vector<int>({1, 2}));
  const auto names = IndexNames(changed.indexes);
  EXPECT_EQ(std::count(names.begin(), names.end(), "ByPlaced"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "ByRemark"), 1);
  EXPECT_EQ(changed.props.refIntCount, 1);
  ASSERT_EQ(changed.records.size(), 2u);
  EXPECT_EQ(changed.records[0][3], engine::Value(std::string("first order")));
  EXPECT_EQ(changed.records[1][4], engine::Value(std::int64_t{7}));

#ifdef QUARRY_BIN
  QProcess quarry;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  quarry.setProcessEnvironment(env);
  quarry.start(QUARRY_BIN, {"info", "--password", "boss", database() + "/NEWORD.DB"});
  ASSERT_TRUE(quarry.waitForFinished(30000));
  const QString info = QString::fromUtf8(quarry.readAllStandardOutput());
  EXPECT_EQ(quarry.exitCode(), 0) << quarry.readAllStandardError().toStdString() << info.toStdString();
  EXPECT_TRUE(info.contains("REMARK")) << info.toStdString();
  EXPECT_TRUE(info.contains("ByRemark")) << info.toStdString();
#endif
}


TEST_F(CreateF, ARestructureThatLosesValuesAsksFirstAndAMovedFieldKeepsItsOwnValues) {
  ScriptedPrompter script;
  // City (3) dragged above Name and cut to three characters.
  auto cutCity = [&](TCreateF& dialog) {
    Show(dialog);
    QTest::mousePress(Grid(), Qt::LeftButton, {}, At(3, FieldRoster::NumberCol));
    QTest::mouseRelease(Grid(), Qt::LeftButton, {}, At(2, FieldRoster::NumberCol));
    ASSERT_EQ(dialog.Roster->FieldName(2), "City");
    Click(2, FieldRoster::SizeCol);
    Keys("3");
    Click(2, FieldRoster::NameCol);
  };
  {
    TCreateF dialog(database(), "CUSTOMER.DB");
    cutCity(dialog);
    script.no("3 records would lose data in this restructure. Go on?");
    Press(dialog.CreateBtn);
    EXPECT_TRUE(dialog.isVisible());  // the design stays for another try
    Press(dialog.CancelBtn);
  }
  Shape kept = Read("CUSTOMER.DB");
  ASSERT_GE(kept.fields.size(), 3u);
  EXPECT_EQ(kept.fields[2].name, "City");
  EXPECT_EQ(kept.fields[2].units1, 20);
  {
    TCreateF dialog(database(), "CUSTOMER.DB");
    cutCity(dialog);
    script.yes("3 records would lose data in this restructure. Go on?");
    Press(dialog.CreateBtn);
    EXPECT_FALSE(dialog.isVisible());
  }
  Shape cut = Read("CUSTOMER.DB");
  ASSERT_GE(cut.fields.size(), 3u);
  EXPECT_EQ(cut.fields[1].name, "City");
  EXPECT_EQ(cut.fields[1].units1, 3);
  ASSERT_EQ(cut.records.size(), 3u);
  EXPECT_EQ(cut.records[0][1], engine::Value(std::string("Bri")));  // from City, not from Name
  EXPECT_EQ(cut.records[0][2], engine::Value(std::string("Harbour Supplies")));
}

TEST_F(CreateF, OptionsChosenInsteadOfTheEngineDefaults) {
  ScriptedPrompter script;
  TCreateF dialog(database());
  dialog.setLevel("5");
  Show(dialog);
  EXPECT_EQ(dialog.BlockSizeCB->count(), 5);  // no 8192
  EXPECT_EQ(dialog.LangDrvCB->count(), 23);
  EXPECT_EQ(dialog.FillFactorEdit->text(), "95");
  EXPECT_EQ(dialog.LangDrvCB->currentText(), "Paradox 'ascii'");  // the engine's default
  Field(1, "ID", "s", {}, true);
  Field(2, "NAME", "a", "12");
  ::Click(dialog.EngineDefCB);
  EXPECT_FALSE(dialog.MoreCtrlGB->isHidden());
  dialog.BlockSizeCB->setCurrentText("4096");
  dialog.LangDrvCB->setCurrentText("Paradox ANSI HEBREW");
  script.answer(Prompter::FileChoice{database() + "/OPTS.DB", ""});
  Press(dialog.CreateBtn);
  Shape made = Read("OPTS.DB");
  EXPECT_EQ(made.props.tableLevel, 5);
  EXPECT_EQ(made.props.blockSize, 4);
  EXPECT_EQ(made.props.languageDriver, "ANHEBREW");

  // A bad fill factor fails as a number, before any file is asked for.
  dialog.FillFactorEdit->setText("lots");
  script.ok();
  Press(dialog.CreateBtn);
}

TEST_F(CreateF, PagesRefuseWhatTheTableCannotHave) {
  ScriptedPrompter script;
  TCreateF dialog(database());
  Show(dialog);
  Field(1, "CUSTNO", "i");
  Page(2);
  script.ok("Table must be keyed");
  Press(dialog.DefineBtn);

  QTest::mouseDClick(Grid(), Qt::LeftButton, {}, At(1, FieldRoster::KeyCol));
  Field(2, "OTHER", "i");
  script.answer(LinkToCustomer("OTHER[I]")).answer(Typed("Buyer"), "Referential integrity name:");
  Press(dialog.DefineBtn);
  Page(1);
  script.answer(IndexOf({"OTHER"})).answer(Typed("Buyer"), "Index name:");
  Press(dialog.DefineBtn);
  ::Click(dialog.RefIndxLB, "Buyer");
  EXPECT_TRUE(dialog.EraseBtn->isEnabled());
  script.ok("Delete Referential Integrity \"Buyer\" first.");
  Press(dialog.EraseBtn);
  EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"Buyer"}));
  Page(2);
  ::Click(dialog.RefIndxLB, "Buyer");
  Press(dialog.EraseBtn);
  EXPECT_TRUE(Texts(dialog.RefIndxLB).isEmpty());
  Page(1);
  ::Click(dialog.RefIndxLB, "Buyer");
  Press(dialog.EraseBtn);  // no link of that name any more
  EXPECT_TRUE(Texts(dialog.RefIndxLB).isEmpty());
}

TEST_F(CreateF, RestructureWarnsBeforeDroppingTheIndexOfALink) {
  ScriptedPrompter script;
  {
    TCreateF dialog(database());
    Show(dialog);
    Field(1, "ID", "i", {}, true);
    Field(2, "CUSTNO", "i");
    Page(2);
    script.answer(LinkToCustomer("CUSTNO[I]")).answer(Typed("Buyer"), "Referential integrity name:");
    Press(dialog.DefineBtn);
    script.answer(Prompter::FileChoice{database() + "/LINKED.DB", ""});
    Press(dialog.CreateBtn);
    Press(dialog.CancelBtn);
  }
  TCreateF dialog(database(), "LINKED.DB");
  Show(dialog);
  Page(1);
  ASSERT_EQ(Texts(dialog.RefIndxLB), QStringList({"Buyer"}));
  const QString warning =
      "Deleting index \"Buyer\" may adversely affect on referential integrity constraint\rContinue?";
  ::Click(dialog.RefIndxLB, "Buyer");
  script.no(warning);
  Press(dialog.EraseBtn);
  EXPECT_EQ(Texts(dialog.RefIndxLB), QStringList({"Buyer"}));
  ::Click(dialog.RefIndxLB, "Buyer");
  script.yes(warning);
  Press(dialog.EraseBtn);
  EXPECT_TRUE(Texts(dialog.RefIndxLB).isEmpty());
  EXPECT_EQ(dialog.state().indexes["Buyer"].op, engine::opDrop);
}

}  // namespace
