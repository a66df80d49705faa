// The comparison window as a user drives it from the explorer: the alias
// menus, the structure file, comparing, the grid's red rows, pruning with
// Ctrl+Del, applying (with its questions, messages and failures), the
// preview, the options dialog and "Unknown field".
#include "compare/differentf.h"

#include <QAction>
#include <QButtonGroup>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "compare/operf.h"
#include "compare/restoptf.h"
#include "engine/paradox/pxcreate.h"
#include "structure/structurefile.h"
#include "tests/app/explorer_fixture.h"
#include "tests/support/ptables.h"
#include "tests/support/scripted_prompter.h"

namespace fs = std::filesystem;
using ptables::Desc;
using ptables::Field;

namespace {

QStringList Captions(const QMenu* menu) {
  QStringList texts;
  for (const QAction* a : menu->actions()) texts << a->text();
  return texts;
}

QStringList Headers(const QTableWidget* grid) {
  QStringList texts;
  for (int c = 0; c < grid->columnCount(); ++c) texts << grid->horizontalHeaderItem(c)->text();
  return texts;
}

// The tree as "text" lines indented by level.
QStringList Outline(const QTreeWidgetItem* node, int depth = 0) {
  QStringList lines;
  if (!node) return lines;
  lines << QString(2 * depth, ' ') + node->text(0);
  for (int i = 0; i < node->childCount(); ++i) lines << Outline(node->child(i), depth + 1);
  return lines;
}

// A row of the grid: its three texts and whether it is drawn red and bold.
struct GridRow {
  QStringList texts;
  bool red = false;
};

GridRow Row(const QTableWidget* grid, int r) {
  GridRow row;
  for (int c = 0; c < 3; ++c) row.texts << (grid->item(r, c) ? grid->item(r, c)->text() : QString());
  const QTableWidgetItem* cell = grid->item(r, 0);
  row.red = cell && cell->foreground().color() == Qt::red && cell->font().bold();
  return row;
}

class CompareWindow : public ExplorerTest {
 protected:
  void SetUp() override {
    ExplorerTest::SetUp();
    for (const char* side : {"tgt", "ref"}) fs::create_directories(dir / side);
    ASSERT_EQ(engine::AddStandardAlias("TGT", dir / "tgt", "PARADOX"), engine::Ok);
    ASSERT_EQ(engine::AddStandardAlias("REF", dir / "ref", "PARADOX"), engine::Ok);
    Make("ref", Desc("A.DB", {Field("Id", engine::pxLong), Field("Name", engine::pxAlpha, 20)}, 1));
    Make("tgt", Desc("A.DB", {Field("Id", engine::pxLong), Field("Title", engine::pxAlpha, 20)}, 1));
    Make("ref", Desc("B.DB", {Field("Id", engine::pxLong), Field("Code", engine::pxLong)}, 1));
    Make("tgt", Desc("B.DB", {Field("Id", engine::pxLong), Field("Code", engine::pxAlpha, 5)}, 1));
    Insert("tgt/A.DB", {std::int64_t{1}, std::string("first")});
    Insert("tgt/B.DB", {std::int64_t{1}, std::string("42")});
    form.FormCreate();
  }

  void Make(const std::string& side, engine::TableDesc d) {
    d.tableName = dir / side + "/" + d.tableName;
    ASSERT_EQ(engine::paradox::CreateParadoxTable(d, false), engine::Ok)
        << engine::LastErrorMessage();
  }
  void Insert(const std::string& table, const std::vector<engine::Value>& values) {
    engine::hDBICur c = 0;
    ASSERT_EQ(engine::OpenTablePath(dir / table, engine::OpenMode::ReadWrite, c), engine::Ok);
    ASSERT_EQ(engine::InsertRecord(c, values), engine::Ok) << engine::LastErrorMessage();
    engine::CloseCursor(c);
  }
  std::vector<std::string> FieldNames(const std::string& table) {
    auto t = ptables::OpenOk(dir / table);
    std::vector<std::string> names;
    for (const auto& f : t->fields()) names.push_back(f.name);
    return names;
  }

  // The explorer's "Compare" on alias `alias`, clicked on its tool bar.
  TDifferentF& Open(const QString& alias = "TGT") {
    form.TreeView->setCurrentItem(Node(form, alias));
    Click(form.ToolBar1, form.command("CompareBtn"));
    return *form.DifferentF;
  }
  static void Click(QToolBar* bar, QAction* action) {
    QTest::mouseClick(bar->widgetForAction(action), Qt::LeftButton);
  }
  void Click(QAction* action) { Click(window().ToolBar1, action); }
  TDifferentF& window() { return *form.DifferentF; }
  void ChooseAlias(const QString& alias) {
    for (QAction* a : window().AliasMenu->actions())
      if (a->text() == alias) a->trigger();
  }
  // "Compare" answered OK; the result's outline.
  QStringList Compare(ScriptedPrompter& p) {
    p.ok("Let's start ?");
    Click(window().CompareBtn);
    return Outline(window().TreeView1->topLevelItem(0));
  }
  QTreeWidgetItem* ResultNode(const QString& path) {
    QTreeWidgetItem* node = window().TreeView1->topLevelItem(0);
    for (const QString& text : path.split('/')) {
      QTreeWidgetItem* next = nullptr;
      for (int i = 0; node && i < node->childCount(); ++i)
        if (node->child(i)->text(0) == text) next = node->child(i);
      node = next;
    }
    return node;
  }
  // Removes these table nodes as a user does: select, Ctrl+Del.
  void Prune(const QStringList& tables) {
    for (const QString& table : tables) {
      window().TreeView1->setCurrentItem(ResultNode(table));
      QTest::keyClick(window().TreeView1, Qt::Key_Delete, Qt::ControlModifier);
    }
  }
  // Queues the answers "Apply" starts with: no backup, Yes to restructuring.
  static ScriptedPrompter& Applying(ScriptedPrompter& p) {
    return p.no("Do You want to create backup copy?")
        .yes("Restructure all tables in accordance with result ?");
  }
  // Answers "Unknown field" for `table`: `field` chosen and "Modify", or "New".
  static ScriptedPrompter::DialogDriver Mapping(const QString& field) {
    return [field](QDialog& d) {
      auto& dialog = static_cast<TOperF&>(d);
      if (field.isEmpty()) {
        QTest::mouseClick(dialog.NewBtn, Qt::LeftButton);
      } else {
        dialog.ListBox1->findItems(field, Qt::MatchExactly).first()->setSelected(true);
        QTest::mouseClick(dialog.ModifyBtn, Qt::LeftButton);
      }
      return dialog.result();
    };
  }

  TParadoxfrm form;
};

}  // namespace

TEST_F(CompareWindow, ShowingNamesTheTargetAndFillsTheAliasMenusOnce) {
  TDifferentF& w = Open();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.windowTitle(), "Comparing two ailases");
  EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(w.TargetAliasName, "TGT");
  EXPECT_EQ(Headers(w.PGrid), (QStringList{"Property", "(TGT)", "(Alias not selected)"}));
  const QStringList aliases = Children(form.TreeView->topLevelItem(0));
  EXPECT_EQ(Captions(w.AliasMenu), aliases);
  EXPECT_EQ(Captions(w.Selectalias1), aliases);
  Open();
  EXPECT_EQ(Captions(w.AliasMenu), aliases) << "a second showing adds nothing";
  ChooseAlias("REF");
  EXPECT_EQ(w.ReferenceAliasName, "REF");
  EXPECT_EQ(Headers(w.PGrid)[2], "REF");
  w.close();
  EXPECT_TRUE(w.AliasMenu->isEmpty());
  Open();
  EXPECT_EQ(Captions(w.Selectalias1), aliases);

  // "Stay on top" and a double click on the status bar both toggle it.
  w.Stayontop1->trigger();
  EXPECT_FALSE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(w.Stayontop1->isChecked());
  QTest::mouseDClick(w.statusBar(), Qt::LeftButton);
  EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(w.Stayontop1->isChecked());

  // "Error Info" and its menu item are one switch.
  Click(w.ErrDebugBtn);
  EXPECT_FALSE(w.CollectErrorInfo);
  EXPECT_FALSE(w.Errorinfo1->isChecked());
  w.Errorinfo1->trigger();
  EXPECT_TRUE(w.CollectErrorInfo);
  EXPECT_TRUE(w.ErrDebugBtn->isChecked());
}

TEST_F(CompareWindow, ComparingWithAnAliasShowsTheDifferencesInRed) {
  ScriptedPrompter p;
  TDifferentF& w = Open();
  p.ok("Let's start ?").answer(Prompter::Button::Ok);  // no reference chosen yet
  Click(w.CompareBtn);
  EXPECT_TRUE(p.lastAsked().startsWith("Choose the alias to compare with")) << p.lastAsked().toStdString();

  ChooseAlias("REF");
  EXPECT_EQ(Compare(p), (QStringList{"RESULT", "  A.DB", "    FIELDS", "      Title", "      Name",
                                     "  B.DB", "    FIELDS", "      Code"}));
  EXPECT_EQ(ResultNode("A.DB/FIELDS")->data(0, Qt::UserRole + 1), 2);
  w.TreeView1->setCurrentItem(ResultNode("B.DB/FIELDS/Code"));
  EXPECT_EQ(Headers(w.PGrid), (QStringList{"Property", "(TGT)", "(REF)"}));
  EXPECT_EQ(w.PageControl1->currentWidget(), w.ResultPage);
  ASSERT_GE(w.PGrid->rowCount(), 3);
  bool sawRed = false, sawBlack = false;
  for (int r = 0; r < w.PGrid->rowCount(); ++r) {
    const GridRow row = Row(w.PGrid, r);
    EXPECT_EQ(row.red, row.texts[1] != row.texts[2]) << row.texts.join("|").toStdString();
    (row.red ? sawRed : sawBlack) = true;
  }
  EXPECT_TRUE(sawRed && sawBlack);
  // An item only the target has: its property names, current values only.
  w.TreeView1->setCurrentItem(ResultNode("A.DB/FIELDS/Title"));
  EXPECT_EQ(Row(w.PGrid, 0).texts.mid(0, 2), (QStringList{"Name", "Title"}));
  EXPECT_TRUE(Row(w.PGrid, 0).texts[2].isEmpty());
  EXPECT_TRUE(Row(w.PGrid, 0).red);

  // The same alias on both sides: nothing differs.
  ChooseAlias("TGT");
  p.ok("Let's start ?").ok("No difference was found.");
  Click(w.CompareBtn);
  EXPECT_EQ(Outline(w.TreeView1->topLevelItem(0)), QStringList{"RESULT"});
}

TEST_F(CompareWindow, AnEngineErrorStopsTheComparisonKeepingWhatWasFound) {
  std::ofstream(dir / "ref/ZZ.DB") << "not a table at all";
  ScriptedPrompter p;
  TDifferentF& w = Open();
  ChooseAlias("REF");
  p.ok("Let's start ?").ok();
  Click(w.CompareBtn);
  EXPECT_TRUE(p.lastAsked().startsWith("Proccess stopped. ")) << p.lastAsked().toStdString();
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), (QStringList{"A.DB", "B.DB"}));
}

TEST_F(CompareWindow, PrunedNodesAreNotAppliedAndAppliedTablesLeaveTheTree) {
  ScriptedPrompter p;
  TDifferentF& w = Open();
  ChooseAlias("REF");
  Compare(p);
  Prune({"B.DB"});
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), QStringList{"A.DB"});

  Applying(p).answer(Mapping("Title"), "A.DB: Name").ok("A.DB: has been rebuilded.");
  Click(w.ApplyBtn);
  EXPECT_EQ(Outline(w.TreeView1->topLevelItem(0)), QStringList{"RESULT"});
  EXPECT_EQ(w.ProgressBar1->value(), 0);
  EXPECT_EQ(FieldNames("tgt/A.DB"), (std::vector<std::string>{"Id", "Name"}));
  auto a = ptables::OpenOk(dir / "tgt/A.DB");
  EXPECT_EQ(ptables::AllRecords(*a)[0][1], engine::Value(std::string("first")));
  EXPECT_EQ(FieldNames("tgt/B.DB"), (std::vector<std::string>{"Id", "Code"}));
  auto b = ptables::OpenOk(dir / "tgt/B.DB");
  EXPECT_EQ(b->fields()[1].code, engine::paradox::fcAlpha) << "the pruned table is unchanged";

  // A backup first, then "Restructure all tables ...?" cancelled: nothing happens.
  Compare(p);
  QString backupAlias;
  p.yes("Do You want to create backup copy?")
      .answer(ScriptedPrompter::DialogDriver([&](QDialog&) {
                backupAlias = CurrentAliasName;
                return int(QDialog::Rejected);
              }),
              "Backup copies")
      .answer(Prompter::Button::Cancel, "Restructure all tables in accordance with result ?");
  Click(w.ApplyBtn);
  EXPECT_EQ(backupAlias, "TGT");
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), QStringList{"B.DB"});
}

TEST_F(CompareWindow, AFailedTableKeepsItsNodeAndShowsItsError) {
  ScriptedPrompter p;
  TDifferentF& w = Open();
  ChooseAlias("REF");
  Compare(p);
  Prune({"A.DB"});
  engine::hDBICur holder = 0;  // another open of B.DB keeps it from being restructured
  ASSERT_EQ(engine::OpenTablePath(dir / "tgt/B.DB", engine::OpenMode::ReadOnly, holder), engine::Ok);
  Applying(p).ok("B.DB: rebuild failed.\nError code: " + QString::number(engine::ErrTableInUse));
  Click(w.ApplyBtn);
  ASSERT_EQ(Children(w.TreeView1->topLevelItem(0)), QStringList{"B.DB"});
  EXPECT_EQ(ResultNode("B.DB")->data(0, Qt::UserRole + 1), 3);
  w.TreeView1->setCurrentItem(ResultNode("B.DB/FIELDS"));
  w.TreeView1->setCurrentItem(ResultNode("B.DB"));
  EXPECT_EQ(w.PageControl1->currentWidget(), w.ErrorPage);
  EXPECT_TRUE(w.ErrorMemo->toPlainText().startsWith("Table is in use")) << w.ErrorMemo->toPlainText().toStdString();

  // Without error collection and without messages the failure only marks the node.
  Click(w.ErrDebugBtn);
  MessagesOption = 1;
  Applying(p);
  Click(w.ApplyBtn);
  w.TreeView1->setCurrentItem(ResultNode("B.DB/FIELDS"));
  w.TreeView1->setCurrentItem(ResultNode("B.DB"));
  EXPECT_EQ(w.PageControl1->currentWidget(), w.ResultPage);
  engine::CloseCursor(holder);
}

TEST_F(CompareWindow, PreviewTellsThePlanAndChangesNothing) {
  Make("ref", Desc("NEW.DB", {Field("X", engine::pxAlpha, 5)}));
  ScriptedPrompter p;
  TDifferentF& w = Open();
  ChooseAlias("REF");
  Compare(p);
  p.answer(Mapping(""), "A.DB: Name");
  Click(w.PreviewBtn);
  EXPECT_EQ(w.PageControl1->currentWidget(), w.ErrorPage);
  const QString plan = w.ErrorMemo->toPlainText();
  EXPECT_TRUE(plan.contains("A.DB") && plan.contains("B.DB") &&
              plan.contains("NEW.DB: would be created."))
      << plan.toStdString();
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), (QStringList{"A.DB", "B.DB", "NEW.DB"}));
  EXPECT_EQ(FieldNames("tgt/A.DB"), (std::vector<std::string>{"Id", "Title"}));
  EXPECT_FALSE(fs::exists(dir / "tgt/NEW.DB"));
}

TEST_F(CompareWindow, AStructureFileIsChosenComparedAppliedAndEdited) {
  engine::TTable table(DMF().aSession);
  const QString file = QString::fromStdString(dir / "ref.ini");
  structure::SaveStructureToFile(DMF().aSession, table, "REF", file);
  ScriptedPrompter p;
  TDifferentF& w = Open();
  p.answer(Prompter::FileChoice{}, "Load from...");
  Click(w.LoadINIBtn);
  EXPECT_FALSE(w.LoadINIBtn->isChecked()) << "a cancelled choice stays in alias mode";
  EXPECT_EQ(w.windowTitle(), "Comparing two ailases");

  p.answer(Prompter::FileChoice{file, {}}, "Load from...");
  Click(w.LoadINIBtn);
  EXPECT_TRUE(w.LoadINIBtn->isChecked());
  EXPECT_EQ(w.windowTitle(), "TGT->" + file);
  EXPECT_EQ(Compare(p), (QStringList{"RESULT", "  A.DB", "    FIELDS", "      Title", "      Name",
                                     "  B.DB", "    FIELDS", "      Code"}));
  EXPECT_EQ(Headers(w.PGrid)[2], file);
  w.TreeView1->setCurrentItem(ResultNode("B.DB/FIELDS/Code"));
  EXPECT_EQ(Headers(w.PGrid)[2], file);

  // "View text" only in file mode; "Save" writes the edited text back.
  emit w.PopupMenu1->aboutToShow();
  EXPECT_TRUE(w.Viewtext1->isEnabled());
  w.Viewtext1->trigger();
  EXPECT_EQ(w.TreeStack->currentWidget(), w.IniTextMemo);
  EXPECT_TRUE(w.IniTextMemo->toPlainText().contains("[A.DB\\TBPROPS]"));
  w.IniTextMemo->appendPlainText("; checked");
  p.yes("Save All Change To " + file);
  w.Save1->trigger();
  EXPECT_EQ(w.TreeStack->currentWidget(), w.TreeView1);
  std::ifstream in(file.toStdString());
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(text.find("; checked"), std::string::npos);

  Applying(p)
      .answer(Mapping("Title"), "A.DB: Name")
      .ok(QString::fromStdString(dir / "tgt") + "/A.DB: has been rebuilded.")
      .ok(QString::fromStdString(dir / "tgt") + "/B.DB: has been rebuilded.");
  Click(w.ApplyBtn);
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), QStringList{});
  EXPECT_EQ(FieldNames("tgt/A.DB"), (std::vector<std::string>{"Id", "Name"}));
  auto a = ptables::OpenOk(dir / "tgt/A.DB");
  EXPECT_EQ(ptables::AllRecords(*a)[0][1], engine::Value(std::string("first")));
  p.ok("Let's start ?").ok("No difference was found.");
  Click(w.CompareBtn);

  // Releasing "Open INI" goes back to alias mode.
  Click(w.LoadINIBtn);
  EXPECT_EQ(w.windowTitle(), "Compare Utility");
  emit w.PopupMenu1->aboutToShow();
  EXPECT_FALSE(w.Viewtext1->isEnabled());
}

TEST_F(CompareWindow, OptionsDialogShowsStoresAndCancels) {
  ScriptedPrompter p;
  TDifferentF& w = Open();
  const auto choose = [](int deleting, bool ok) {
    return [=](QDialog& d) {
      auto& dialog = static_cast<TRestOptF&>(d);
      dialog.show();
      QAbstractButton* item = dialog.deleting->button(deleting);
      QTest::mouseClick(item, Qt::LeftButton, {}, QPoint(6, item->height() / 2));  // its circle
      QTest::mouseClick(dialog.findChild<QPushButton*>(ok ? "OKbtn" : "CancelBtn"), Qt::LeftButton);
      return dialog.result();
    };
  };
  QList<int> shown;
  const auto look = [&](QDialog& d) {
    auto& dialog = static_cast<TRestOptF&>(d);
    shown = {dialog.deleting->checkedId(), dialog.creating->checkedId(), dialog.messages->checkedId()};
    return int(QDialog::Rejected);
  };
  p.answer(ScriptedPrompter::DialogDriver(look), "Restructure options");
  Click(w.OptionsBtn);
  EXPECT_EQ(shown, (QList<int>{1, 2, 0}));
  EXPECT_EQ(w.RestOptF->deleting->checkedButton()->text(), "Ask before deleting ");

  p.answer(ScriptedPrompter::DialogDriver(choose(2, false)));
  Click(w.OptionsBtn);
  EXPECT_EQ(DeleteTablesOption, 1) << "Cancel stores nothing";
  p.answer(ScriptedPrompter::DialogDriver(choose(0, true)));
  w.Restructureoptions1->trigger();
  EXPECT_EQ(DeleteTablesOption, 0);
  p.answer(ScriptedPrompter::DialogDriver(look));
  Click(w.OptionsBtn);
  EXPECT_EQ(shown, (QList<int>{0, 2, 0}));
}

TEST_F(CompareWindow, CreateAskedAndDeletedTablesInFileMode) {
  Make("ref", Desc("NEW.DB", {Field("X", engine::pxAlpha, 5)}));
  engine::TTable table(DMF().aSession);
  const QString file = QString::fromStdString(dir / "ref.ini");
  structure::SaveStructureToFile(DMF().aSession, table, "REF", file);
  Make("tgt", Desc("OLD.DB", {Field("X", engine::pxAlpha, 5)}));
  ScriptedPrompter p;
  TDifferentF& w = Open();
  p.answer(Prompter::FileChoice{file, {}});
  Click(w.LoadINIBtn);
  Compare(p);
  Prune({"A.DB", "B.DB"});
  EXPECT_EQ(Children(w.TreeView1->topLevelItem(0)), (QStringList{"OLD.DB", "NEW.DB"}));
  const QString tgt = QString::fromStdString(dir / "tgt") + "/";
  Applying(p).no("Delete Table OLD.DB?").ok(tgt + "NEW.DB: has been created.");
  Click(w.ApplyBtn);
  EXPECT_TRUE(fs::exists(dir / "tgt/OLD.DB"));
  EXPECT_TRUE(fs::exists(dir / "tgt/NEW.DB"));

  Compare(p);
  Prune({"A.DB", "B.DB"});
  Applying(p).yes("Delete Table OLD.DB?").ok(tgt + "OLD.DB: has been deleted.");
  Click(w.ApplyBtn);
  EXPECT_FALSE(fs::exists(dir / "tgt/OLD.DB"));
}
