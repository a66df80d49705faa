// The Paradox field roster and its check panel as a user drives them: clicks
// on cells, typed names, type keys and the type menu, Down on the last row,
// key marks, check values in the panel (valid and red), and the change codes
// a restructure records.
#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <gtest/gtest.h>

#include "design/fieldroster.h"
#include "design/fieldrules.h"
#include "design/valcheckpanel.h"
#include "tests/support/scripted_prompter.h"

namespace {

using design::FieldRoster;
using design::ValCheckPanel;

class Roster : public ::testing::Test {
 protected:
  void SetUp() override {
    FieldRoster::TypeSizeRequired = false;  // program-wide flags
    FieldRoster::RowJustAppended = false;
    roster = new FieldRoster(&window);
    panel = new ValCheckPanel(roster, &window);
    auto* layout = new QHBoxLayout(&window);
    layout->addWidget(roster);
    layout->addWidget(panel);
    window.resize(640, 400);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    roster->Reset();
  }

  QWidget* Grid() { return roster->StringGrid1->viewport(); }
  QPoint At(int row, int column) {
    return roster->StringGrid1->visualRect(roster->StringGrid1->model()->index(row - 1, column))
        .center();
  }
  void Click(int row, int column) { QTest::mouseClick(Grid(), Qt::LeftButton, {}, At(row, column)); }
  void DoubleClick(int row, int column) {
    QTest::mouseDClick(Grid(), Qt::LeftButton, {}, At(row, column));
  }
  // Keys go where the focus is: the grid, or the cell editor it opened.
  QWidget* Focus() {
    QWidget* w = QApplication::focusWidget();
    return w ? w : roster->StringGrid1;
  }
  void Keys(const QString& text) {
    for (const QChar c : text) QTest::keyClick(Focus(), c.toLatin1());
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = {}) { QTest::keyClick(Focus(), key, mods); }
  QString Hint() { return roster->HintLabel->text(); }
  // A row with a name, a type and a size, typed as the user types them.
  void Field(int row, const QString& name, const QString& typeKey, const QString& size = {}) {
    Click(row, FieldRoster::NameCol);
    Keys(name);
    Click(row, FieldRoster::TypeCol);
    Keys(typeKey);
    if (!size.isEmpty()) {
      Click(row, FieldRoster::SizeCol);
      Keys(size);
    }
  }
  static bool Red(const QLineEdit* edit) {
    return edit->palette().color(QPalette::Text) == QColor(255, 0, 0);
  }

  ScriptedPrompter script;
  QWidget window;
  FieldRoster* roster = nullptr;
  ValCheckPanel* panel = nullptr;
};

TEST_F(Roster, ANameTypedAndATypeChosenByKeyWithTheHintOfEachColumn) {
  EXPECT_EQ(roster->FieldCount(), 1);
  EXPECT_EQ(roster->StringGrid1->item(0, 0)->text(), "1");
  Click(1, FieldRoster::NameCol);
  Keys("CUSTNO");
  EXPECT_EQ(roster->FieldName(1), "CUSTNO");
  EXPECT_EQ(Hint(), "Enter a field name up to 25 characters long.");

  Click(1, FieldRoster::TypeCol);
  EXPECT_EQ(Hint(), "Right-click or press Spacebar to choose a field type.");
  Keys("N");  // upper case chooses nothing
  EXPECT_EQ(roster->FieldType(1), QChar());
  Keys("i");
  EXPECT_EQ(roster->FieldType(1), 'I');
  EXPECT_FALSE(FieldRoster::TypeSizeRequired);
  EXPECT_EQ(roster->CurrentColumn(), FieldRoster::TypeCol);

  Keys("a");  // Alpha wants a size: on to the Size cell
  EXPECT_EQ(roster->FieldType(1), 'A');
  EXPECT_TRUE(FieldRoster::TypeSizeRequired);
  EXPECT_EQ(roster->CurrentColumn(), FieldRoster::SizeCol);
  EXPECT_EQ(Hint(), "Specify a field size from 1 to 255.");

  // Spacebar opens the type menu; on a level 3 table it offers five types.
  roster->TableLevel = "3";
  Click(1, FieldRoster::TypeCol);
  Key(Qt::Key_Space);
  ASSERT_TRUE(roster->ParadoxPopup->isVisible());
  QStringList offered;
  for (QAction* a : roster->ParadoxPopup->actions())
    if (a->isVisible() && !a->isSeparator()) offered << a->text();
  EXPECT_EQ(offered, QStringList({"Type", "&Alpha", "&Number", "&$ (Money)", "&Short", "&Date"}));
  QTest::keyClick(roster->ParadoxPopup, 'd');
  EXPECT_EQ(roster->FieldType(1), 'D');
  EXPECT_FALSE(FieldRoster::TypeSizeRequired);

  // A 25th character is refused with a message; 25 are kept.
  script.ok("Field name must be up to 25 character");
  Click(1, FieldRoster::NameCol);
  Key(Qt::Key_F2);
  Key(Qt::Key_End);
  Keys(QString(19, 'X'));
  EXPECT_EQ(roster->FieldName(1), "CUSTNO" + QString(19, 'X'));
}

TEST_F(Roster, DownOnTheLastRowWantsTheSizeFirstThenAppendsARowToAdd) {
  Field(1, "NAME", "a");
  ASSERT_EQ(roster->CurrentColumn(), FieldRoster::SizeCol);
  Click(1, FieldRoster::NameCol);
  Key(Qt::Key_Down);
  EXPECT_EQ(Hint(), "Field size required.");
  EXPECT_EQ(roster->FieldCount(), 1);
  EXPECT_EQ(roster->CurrentColumn(), FieldRoster::SizeCol);
  EXPECT_TRUE(roster->StringGrid1->Editing());

  Keys("20");
  Key(Qt::Key_Down);
  ASSERT_EQ(roster->FieldCount(), 2);
  EXPECT_EQ(roster->FieldSize(1), "20");
  EXPECT_EQ(roster->StringGrid1->item(1, 0)->text(), "2");
  EXPECT_EQ(roster->CurrentRow(), 2);
  EXPECT_EQ(roster->CurrentColumn(), FieldRoster::NameCol);
  ASSERT_NE(roster->Record(2), nullptr);
  EXPECT_EQ(roster->Record(2)->fieldOp, engine::opAdd);
  EXPECT_EQ(roster->Record(2)->checkOp, engine::opNone);
  // The new row has no type yet: the panel offers "Required" only.
  EXPECT_FALSE(panel->MinValEdit->isEnabled());
  EXPECT_TRUE(panel->RequiredCB->isEnabled());

  // Up leaves the empty last row behind and removes it.
  Key(Qt::Key_Up);
  EXPECT_EQ(roster->FieldCount(), 1);
  Key(Qt::Key_Up);
  EXPECT_EQ(roster->FieldCount(), 1);  // the only row stays

  // A Number needs no size: Down appends at once.
  Field(1, "NAME", "n");
  Click(1, FieldRoster::NameCol);
  Key(Qt::Key_Down);
  EXPECT_EQ(roster->FieldCount(), 2);
}

TEST_F(Roster, KeyMarksStayOnTheTopRows) {
  for (const char* name : {"A", "B", "C"}) roster->AddRow(name, 'N', {}, false);
  DoubleClick(2, FieldRoster::KeyCol);
  EXPECT_FALSE(roster->IsKeyed(2));  // row 1 is not keyed
  EXPECT_EQ(Hint(), "Double-click or press Spacebar to set or remove key. "
                    "Keyed fields must be the top fields in Fields roster.");
  DoubleClick(1, FieldRoster::KeyCol);
  EXPECT_TRUE(roster->IsKeyed(1));
  Click(2, FieldRoster::KeyCol);
  Key(Qt::Key_Space);
  EXPECT_TRUE(roster->IsKeyed(2));
  DoubleClick(1, FieldRoster::KeyCol);
  EXPECT_TRUE(roster->IsKeyed(1));  // only the last key field comes off
  DoubleClick(2, FieldRoster::KeyCol);
  EXPECT_FALSE(roster->IsKeyed(2));
  EXPECT_EQ(roster->KeyFields(), QList<int>({1}));
  EXPECT_EQ(roster->Fields().names(), QStringList({"A", "B", "C"}));
  EXPECT_TRUE(roster->Fields().hasKey());
}

TEST_F(Roster, RowsMoveAndGoWithTheirRecordsAndIndexKeys) {
  design::DesignIndexList indexes;
  indexes["BYC"].index.fieldsInKey = 1;
  indexes["BYC"].index.keyFields[0] = 3;
  roster->IndexList = &indexes;
  for (const char* name : {"A", "B", "C"}) roster->AddRow(name, 'N', {}, false, design::FieldRow{});
  roster->Record(3)->check.required = -1;

  // Right-click on a Type cell opens the type menu for that row.
  QTest::mouseClick(Grid(), Qt::RightButton, {}, At(2, FieldRoster::TypeCol));
  ASSERT_TRUE(roster->ParadoxPopup->isVisible());
  QTest::keyClick(roster->ParadoxPopup, 's');
  EXPECT_EQ(roster->FieldType(2), 'S');

  // Dragging row 3 by its number onto row 1.
  QTest::mousePress(Grid(), Qt::LeftButton, {}, At(3, FieldRoster::NumberCol));
  QTest::mouseRelease(Grid(), Qt::LeftButton, {}, At(1, FieldRoster::NumberCol));
  EXPECT_EQ(roster->FieldNames(), QStringList({"C", "A", "B"}));
  EXPECT_EQ(indexes["BYC"].index.keyFields[0], 1);
  EXPECT_EQ(roster->Record(1)->check.required, -1);
  EXPECT_EQ(Hint(), "Click and drag field to move.");

  Click(2, FieldRoster::NameCol);
  Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(roster->FieldNames(), QStringList({"C", "B"}));
  EXPECT_EQ(roster->StringGrid1->item(1, 0)->text(), "2");
  EXPECT_EQ(roster->Record(1)->check.required, -1);
  EXPECT_EQ(roster->FieldType(2), 'S');
}

TEST_F(Roster, ThePanelRecordsACheckAndKeepsTheUserOnARedValue) {
  Field(1, "AMOUNT", "n");
  Click(1, FieldRoster::NameCol);
  Key(Qt::Key_Down);
  Field(2, "DUE", "d");
  Click(1, FieldRoster::NameCol);

  QTest::keyClicks(panel->MinValEdit, "10");
  ASSERT_NE(roster->Record(1), nullptr);
  EXPECT_EQ(roster->Record(1)->check.fieldNumber, 1);
  EXPECT_NE(roster->Record(1)->check.hasMin, 0);
  EXPECT_FALSE(Red(panel->MinValEdit));

  QTest::keyClicks(panel->MinValEdit, "x");  // "10x" is no number
  EXPECT_TRUE(Red(panel->MinValEdit));
  Click(2, FieldRoster::NameCol);
  EXPECT_EQ(roster->CurrentRow(), 1);
  EXPECT_EQ(Hint(), "Invalid validity checks");

  QTest::keyClick(panel->MinValEdit, Qt::Key_Backspace);
  EXPECT_FALSE(Red(panel->MinValEdit));
  Click(2, FieldRoster::NameCol);
  EXPECT_EQ(roster->CurrentRow(), 2);
  EXPECT_TRUE(panel->MinValEdit->text().isEmpty());
  QTest::keyClicks(panel->MinValEdit, "today");
  EXPECT_EQ(roster->Record(2)->check.hasMin, engine::chkToday);

  Click(1, FieldRoster::NameCol);  // back on row 1: its check is shown again
  EXPECT_EQ(panel->MinValEdit->text(), "10");
  panel->MinValEdit->selectAll();
  QTest::keyClick(panel->MinValEdit, Qt::Key_Delete);
  EXPECT_FALSE(design::CheckHoldsSomething(roster->Record(1)->check));  // create mode: removed
}

TEST_F(Roster, RestructureRecordsWhatChangedOnALoadedRow) {
  roster->RestructureMode = true;
  engine::FieldDesc qty{1, "QTY", engine::pxShort};
  engine::FieldDesc name{2, "NAME", engine::pxAlpha, 0, 20};
  ASSERT_EQ(roster->AddLoadedField(qty), 1);
  ASSERT_EQ(roster->AddLoadedField(name), 2);
  EXPECT_EQ(roster->FieldSize(2), "20");
  roster->Record(1)->loadedCheck.fieldNumber = 1;  // QTY had a check: required
  roster->Record(1)->loadedCheck.required = -1;

  Click(2, FieldRoster::NameCol);
  Click(1, FieldRoster::NameCol);
  EXPECT_TRUE(panel->RequiredCB->isChecked());
  QTest::keyClicks(panel->MaxValEdit, "99");
  EXPECT_EQ(roster->Record(1)->checkOp, engine::opModify);
  QTest::mouseClick(panel->RequiredCB, Qt::LeftButton);
  panel->MaxValEdit->selectAll();
  QTest::keyClick(panel->MaxValEdit, Qt::Key_Delete);
  EXPECT_EQ(roster->Record(1)->checkOp, engine::opDrop);

  Click(2, FieldRoster::SizeCol);
  Keys("30");  // typing replaces the size
  Click(2, FieldRoster::NameCol);
  EXPECT_TRUE(roster->ResolveFieldChanges({"QTY", "NAME"}).isEmpty());
  const auto rows = roster->Rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].record->fieldOp, engine::opNone);
  EXPECT_EQ(rows[1].record->fieldOp, engine::opModify);
  EXPECT_EQ(rows[1].record->field.units1, 30);
  EXPECT_EQ(rows[1].record->field.number, 2);
}

}  // namespace
