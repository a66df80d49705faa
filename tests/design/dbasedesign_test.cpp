// The dBASE design dialog driven with keys and clicks: a new table with a
// tag, a restructure of the demo's PARTS.DBF that widens, drops and adds a
// tag, and the typing rules of the roster.
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QProcess>
#include <QTest>

#include "design/dbasecreatef.h"
#include "design/dbaseindexf.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/dbtables.h"
#include "tests/support/scripted_prompter.h"

namespace {

// A table as the engine reads it back: "NAME C 6 0" per field, its tags
// and its records as "a|b|c".
struct Shape {
  QStringList fields, tags, records;
};

Shape Read(const std::string& path) {
  using namespace engine;
  Shape s;
  hDBICur cur = 0;
  EXPECT_EQ(OpenTablePath(path, OpenMode::ReadOnly, cur), Ok) << LastErrorMessage();
  std::vector<FieldDesc> fields;
  EXPECT_EQ(GetFieldDescs(cur, fields), Ok);
  for (const FieldDesc& f : fields)
    s.fields << QString("%1 %2 %3 %4")
                    .arg(QString::fromStdString(f.name), design::DbaseLetterOf(f.type))
                    .arg(f.units1)
                    .arg(f.units2);
  std::vector<IndexDesc> indexes;
  EXPECT_EQ(GetIndexDescs(cur, indexes), Ok);
  for (const IndexDesc& ix : indexes)
    s.tags << QString::fromStdString(ix.tagName + " " + ix.keyExpression);
  std::vector<Value> values;
  while (GetNextRecord(cur, &values) == Ok) {
    QStringList cells;
    for (const Value& v : values) cells << QString::fromStdString(dbtables::Canonical(v));
    s.records << cells.join('|');
  }
  CloseCursor(cur);
  return s;
}

class DbaseDesign : public ExplorerTest {
 protected:
  void Show(TdBaseCreateF& dlg) {
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
  }
  // Keys go where the user's would: the open cell editor, else the grid.
  static QWidget* Focus(TdBaseCreateF& dlg) {
    QWidget* w = QApplication::focusWidget();
    return w ? w : dlg.FieldsGrid;
  }
  static void Type(TdBaseCreateF& dlg, const QString& text) {
    for (QChar c : text) QTest::keyClick(Focus(dlg), c.toLatin1());
  }
  static void Key(TdBaseCreateF& dlg, Qt::Key key, Qt::KeyboardModifiers mods = {}) {
    QTest::keyClick(Focus(dlg), key, mods);
    QCoreApplication::processEvents();  // Enter commits the cell queued
  }
  // Opens the type menu with the space bar and clicks the type.
  static void ChooseType(TdBaseCreateF& dlg, const QString& caption) {
    Key(dlg, Qt::Key_Space);
    ASSERT_TRUE(dlg.dBasePopup->isVisible());
    for (QAction* item : dlg.TypeItems)
      if (item->text() == caption)
        QTest::mouseClick(dlg.dBasePopup, Qt::LeftButton, {},
                          dlg.dBasePopup->actionGeometry(item).center());
  }
  static QString Cell(TdBaseCreateF& dlg, int row, int column) {
    auto* item = dlg.FieldsGrid->item(row, column);
    return item ? item->text() : QString();
  }
  static void ClickCell(TdBaseCreateF& dlg, int row, int column) {
    dlg.activateWindow();  // back from a sub-dialog
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    QTest::mouseClick(dlg.FieldsGrid->viewport(), Qt::LeftButton, {},
                      dlg.FieldsGrid->visualItemRect(dlg.FieldsGrid->item(row, column)).center());
  }
  static QString Hint(TdBaseCreateF& dlg) { return dlg.HintLabel->text(); }

  // Answers the index dialog: a tag on `field`, named `tag`.
  static void DefineTag(ScriptedPrompter& script, const QString& field, const QString& tag) {
    script.answer(ScriptedPrompter::DialogDriver([field](QDialog& d) {
      auto& f = static_cast<TdBaseIndexF&>(d);
      f.show();
      EXPECT_FALSE(f.OKBtn->isEnabled());
      const auto found = f.dBaseFLB->findItems(field, Qt::MatchExactly);
      EXPECT_EQ(found.size(), 1);
      if (found.isEmpty()) return int(QDialog::Rejected);
      QTest::mouseClick(f.dBaseFLB->viewport(), Qt::LeftButton, {},
                        f.dBaseFLB->visualItemRect(found[0]).center());
      EXPECT_EQ(f.IdxFName->text(), field);
      QTest::mouseClick(f.OKBtn, Qt::LeftButton);
      return f.result();
    }));
    script.answer(std::optional<QString>(tag), "Tag name:");
  }
};

TEST_F(DbaseDesign, CreatesATableWithItsFieldsAndATag) {
  TdBaseCreateF dlg("DEMO");
  Show(dlg);
  EXPECT_EQ(dlg.windowTitle(), "Create new dBASE table");
  EXPECT_EQ(dlg.Button5->text(), "Save &As...");

  Type(dlg, "code");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Right);
  EXPECT_EQ(Hint(dlg), "Right-click or press Spacebar to choose a field type.");
  ChooseType(dlg, "&Character");
  EXPECT_EQ(dlg.FieldsGrid->currentColumn(), 3);
  EXPECT_EQ(Hint(dlg), "Specify a field size from 1 to 254.");
  Type(dlg, "8");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Down);  // the last row is filled: a new one
  ASSERT_EQ(dlg.FieldsGrid->rowCount(), 2);
  EXPECT_EQ(Cell(dlg, 1, 0), "2");
  EXPECT_EQ(dlg.FieldsGrid->currentColumn(), 1);

  Type(dlg, "price");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Right);
  ChooseType(dlg, "&Number");
  EXPECT_EQ(Hint(dlg), "Specify a field size from 1 to 20.");
  Type(dlg, "10");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Right);
  EXPECT_EQ(Hint(dlg), "Specify the number of digits after the decimal point.");
  Type(dlg, "2");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Down);
  Type(dlg, "added");
  Key(dlg, Qt::Key_Return);
  Key(dlg, Qt::Key_Right);
  ChooseType(dlg, "&Date");
  EXPECT_EQ(dlg.FieldsGrid->currentColumn(), 2);  // a date has no size
  Key(dlg, Qt::Key_Right);
  Key(dlg, Qt::Key_Right);
  EXPECT_EQ(Hint(dlg), "Field type does not allow you o specify a number of digits.");

  ScriptedPrompter script;
  DefineTag(script, "CODE", "code");
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  ASSERT_EQ(dlg.IndexesLB->count(), 1);
  EXPECT_EQ(dlg.IndexesLB->item(0)->text(), "CODE");

  const std::string path = demo() + "/NEWPARTS";
  script.answer(Prompter::FileChoice{QString::fromStdString(path), "dBase Tables (*.dbf)"},
                "Save table as...");
  QTest::mouseClick(dlg.Button5, Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);

  const Shape made = Read(path + ".dbf");
  EXPECT_EQ(made.fields, QStringList({"CODE C 8 0", "PRICE N 10 2", "ADDED D 8 0"}));
  EXPECT_EQ(made.tags, QStringList({"CODE CODE"}));
#ifdef QUARRY_BIN
  QProcess quarry;  // the command line reads what the dialog wrote
  quarry.start(QUARRY_BIN, {"info", QString::fromStdString(path + ".dbf")});
  ASSERT_TRUE(quarry.waitForFinished(30000));
  const QString info = QString::fromUtf8(quarry.readAllStandardOutput());
  EXPECT_EQ(quarry.exitCode(), 0) << info.toStdString();
  EXPECT_TRUE(info.contains("PRICE")) << info.toStdString();
  EXPECT_TRUE(info.contains("CODE")) << info.toStdString();
#endif
}

TEST_F(DbaseDesign, RestructuresPartsKeepingItsDataAndAskingBeforeValuesGo) {
  const std::string parts = demo() + "/PARTS.DBF";
  TdBaseCreateF dlg("DEMO", "PARTS.DBF");
  Show(dlg);
  EXPECT_EQ(dlg.windowTitle(), "Restructure table \"PARTS.DBF\" (dBASE 4 table)");
  EXPECT_EQ(dlg.Button5->text(), "&Save");
  ASSERT_EQ(dlg.FieldsGrid->rowCount(), 5);
  EXPECT_EQ(QStringList({Cell(dlg, 2, 1), Cell(dlg, 2, 2), Cell(dlg, 2, 3), Cell(dlg, 2, 4)}),
            QStringList({"PRICE", "N", "9", "2"}));
  ASSERT_EQ(dlg.IndexesLB->count(), 2);

  ScriptedPrompter script;
  DefineTag(script, "PRICE", "PRICE");  // added to the table at once
  QTest::mouseClick(dlg.Button1, Qt::LeftButton);
  EXPECT_EQ(Read(parts).tags.size(), 3);

  ClickCell(dlg, 0, 3);  // PARTNO too narrow for its values: refused, nothing changes
  Type(dlg, "3");
  Key(dlg, Qt::Key_Return);
  const Shape before = Read(parts);
  script.ok("record 1: field PARTNO: \"P-100\" is longer than 3 characters");
  QTest::mouseClick(dlg.Button5, Qt::LeftButton);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(Read(parts).fields, before.fields);
  ClickCell(dlg, 0, 3);
  Type(dlg, "6");
  Key(dlg, Qt::Key_Return);

  ClickCell(dlg, 1, 3);  // NAME from 24 to 30
  Type(dlg, "30");
  Key(dlg, Qt::Key_Return);
  ClickCell(dlg, 3, 1);  // ADDED goes
  Key(dlg, Qt::Key_Delete, Qt::ControlModifier);
  ASSERT_EQ(dlg.FieldsGrid->rowCount(), 4);
  EXPECT_EQ(Cell(dlg, 3, 1), "NOTES");
  EXPECT_EQ(Cell(dlg, 3, 0), "4");

  script.no("3 records would lose data in this restructure. Go on?");
  QTest::mouseClick(dlg.Button5, Qt::LeftButton);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(Read(parts).fields, before.fields);

  script.yes("3 records would lose data in this restructure. Go on?");
  QTest::mouseClick(dlg.Button5, Qt::LeftButton);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  const Shape after = Read(parts);
  EXPECT_EQ(after.fields,
            QStringList({"PARTNO C 6 0", "NAME C 30 0", "PRICE N 9 2", "NOTES M 10 0"}));
  EXPECT_EQ(after.tags, QStringList({"PARTNO PARTNO", "NAME UPPER(NAME)", "PRICE PRICE"}));
  EXPECT_EQ(after.records, QStringList({"P-100|Hinge, brass|4.5|Sold in pairs.",
                                        "P-200|Bolt M6|0.35|", "P-400|Washer M6|0.05|"}));
}

TEST_F(DbaseDesign, TypingRulesAndABadSizeAreTold) {
  TdBaseCreateF dlg("DEMO");
  Show(dlg);
  const QString nameHint =
      "Enter field name of 10 characters or less, begining with a latter. Use only A-Z, 0-9, or _.";
  EXPECT_EQ(Hint(dlg), nameHint);
  Type(dlg, "a");
  auto* editor = qobject_cast<QLineEdit*>(Focus(dlg));
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->text(), "A");
  Type(dlg, "-");
  EXPECT_EQ(Hint(dlg), "Illegal character.");
  EXPECT_EQ(editor->text(), "A");
  Key(dlg, Qt::Key_Backspace);
  EXPECT_EQ(Hint(dlg), nameHint);
  Type(dlg, "bcdefghijkl");  // ten in all, then one too many
  EXPECT_EQ(Hint(dlg), "Text will not fit in field.");
  Key(dlg, Qt::Key_Return);
  EXPECT_EQ(Cell(dlg, 0, 1), "BCDEFGHIJK");

  Key(dlg, Qt::Key_Right);
  ChooseType(dlg, "&Character");
  Type(dlg, "x");
  Key(dlg, Qt::Key_Return);
  ScriptedPrompter script;
  script.answer(Prompter::FileChoice{QString::fromStdString(demo() + "/BAD.DBF"), ""});
  script.ok("Size \"X\" of field BCDEFGHIJK is not a number.");
  QTest::mouseClick(dlg.Button5, Qt::LeftButton);
  EXPECT_TRUE(dlg.isVisible());
}

}  // namespace
