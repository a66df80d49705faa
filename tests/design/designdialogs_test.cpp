// The sub-dialogs of the Paradox table design dialog, driven by clicks and
// keys: secondary indexes, a link to a parent table of the demo database,
// the master password and auxiliary passwords.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include "app/demodb.h"
#include "design/indexf.h"
#include "design/passwordsf.h"
#include "design/refintf.h"
#include "tests/support/design_drivers.h"
#include "tests/support/listtexts.h"
#include "tests/support/scripted_prompter.h"
#include "tests/support/tempdir.h"

namespace {

using Driver = ScriptedPrompter::DialogDriver;

// The fields of the demo's ORDERS.DB as the roster shows them.
design::RosterFields OrdersRoster() {
  design::RosterFields roster;
  roster.rows = {{"OrderNo", "+", "", true}, {"CustNo", "I", "", false},
                 {"Placed", "@", "", false}, {"Amount", "#", "2", false},
                 {"Status", "A", "1", false}, {"Paid", "L", "", false}};
  return roster;
}

std::vector<int> KeyFields(const engine::IndexDesc& index) {
  return std::vector<int>(index.keyFields.begin(), index.keyFields.begin() + index.fieldsInKey);
}

}  // namespace

TEST(DesignDialogsIndex, DefinesIndexesNamedByPromptOrByTheirField) {
  design::DesignState state;
  state.roster = OrdersRoster();
  TIndexF dialog(state);
  {
    ScriptedPrompter script;
    script.answer(Driver([&](QDialog&) {
            dialog.show();
            EXPECT_FALSE(dialog.MainCheck->isHidden());
            Click(dialog.FieldsListBox, "Placed");
            Click(dialog.ToIndexSpeedBtn);
            Click(dialog.FieldsListBox, "Placed");
            EXPECT_FALSE(dialog.ToIndexSpeedBtn->isEnabled());  // already in the index
            Click(dialog.FieldsListBox, "Status");
            Click(dialog.ToIndexSpeedBtn);
            dialog.IndexFieldsListBox->setCurrentRow(0);
            Click(dialog.SpeedButton1);  // the first line stays first
            dialog.IndexFieldsListBox->setCurrentRow(1);
            Click(dialog.SpeedButton1);
            EXPECT_EQ(Texts(dialog.IndexFieldsListBox), QStringList({"Status", "Placed"}));
            EXPECT_EQ(dialog.IndexFieldsListBox->currentRow(), 0);
            Click(dialog.MainCheck);
            EXPECT_FALSE(dialog.UniCheck->isEnabled());
            Click(dialog.MainCheck);
            Click(dialog.UniCheck);
            EXPECT_FALSE(dialog.MainCheck->isEnabled());
            Click(dialog.Button1);
            return dialog.result();
          }))
        .answer(Typed("ByStatus"), "Index name:");
    EXPECT_EQ(dialog.Open(), QDialog::Accepted);
  }
  ASSERT_EQ(state.indexes.count("ByStatus"), 1u);
  const design::IndexRow& row = state.indexes["ByStatus"];
  EXPECT_EQ(row.op, engine::opAdd);
  EXPECT_EQ(row.index.name, "ByStatus");
  EXPECT_EQ(KeyFields(row.index), std::vector<int>({5, 3}));
  EXPECT_EQ(row.index.unique, 1);
  EXPECT_EQ(row.index.maintained, 1);
  EXPECT_EQ(row.index.caseInsensitive, 1);

  {  // a taken name is refused and the dialog stays open
    ScriptedPrompter script;
    script.answer(IndexOf({"Paid"}))
        .answer(Typed("bystatus"), "Index name:")
        .ok("Index \"bystatus\" is already exist");
    EXPECT_EQ(dialog.Open(), QDialog::Rejected);
  }
  {  // a case-sensitive index of one field is named after it without asking
    ScriptedPrompter script;
    script.answer(IndexOf({"Paid"}, true));
    EXPECT_EQ(dialog.Open(), QDialog::Accepted);
  }
  EXPECT_EQ(design::ListedNames(state.indexes), QStringList({"ByStatus", "Paid"}));
  EXPECT_EQ(state.indexes["Paid"].index.caseInsensitive, 0);
}

TEST(DesignDialogsIndex, RestructureModifiesAddsAndErases) {
  design::DesignState state;
  state.restructure = true;
  state.roster = OrdersRoster();
  engine::IndexDesc loaded;
  loaded.name = "ByCust";
  loaded.maintained = 1;
  loaded.caseInsensitive = 1;
  loaded.fieldsInKey = 1;
  loaded.keyFields[0] = 2;
  state.indexes["ByCust"] = {loaded, loaded, engine::opNone};
  TIndexF dialog(state);
  {
    ScriptedPrompter script;
    script.answer(Driver([&](QDialog&) {
            dialog.show();
            EXPECT_EQ(Texts(dialog.IndexFieldsListBox), QStringList({"CustNo"}));
            EXPECT_FALSE(dialog.CaseCheck->isChecked());
            Click(dialog.FieldsListBox, "Amount");
            Click(dialog.ToIndexSpeedBtn);
            Click(dialog.Button1);
            return dialog.result();
          }))
        .answer(Typed("ByCust"), "Index name:")
        .answer(IndexOf({"Placed"}))
        .answer(Typed("ByPlaced"), "Index name:")
        .answer(IndexOf({"Paid"}))
        .answer(Typed("ByPlaced"), "Index name:");
    dialog.Open("ByCust");
    dialog.Open();
    dialog.Open("ByPlaced");
  }
  EXPECT_EQ(state.indexes["ByCust"].op, engine::opModify);
  EXPECT_EQ(KeyFields(state.indexes["ByCust"].index), std::vector<int>({2, 4}));
  EXPECT_EQ(state.indexes["ByCust"].loadedIndex.fieldsInKey, 1);
  EXPECT_EQ(state.indexes["ByPlaced"].op, engine::opAdd);  // changed, still an addition
  EXPECT_EQ(KeyFields(state.indexes["ByPlaced"].index), std::vector<int>({3, 6}));

  design::EraseEntry(state.indexes, "ByPlaced", true);  // the table never had it
  design::EraseEntry(state.indexes, "ByCust", true);
  EXPECT_EQ(state.indexes.count("ByPlaced"), 0u);
  EXPECT_EQ(state.indexes["ByCust"].op, engine::opDrop);
  EXPECT_TRUE(design::ListedNames(state.indexes).isEmpty());
}

class DesignDialogsRefInt : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDemoDatabase(dir.path()), engine::Ok) << engine::LastErrorMessage();
    state.database = QString::fromStdString(dir.path());
    state.roster = OrdersRoster();
  }
  TempDir dir;
  design::DesignState state;
  TRefIntF dialog{state};
};

TEST_F(DesignDialogsRefInt, LinksChildFieldsToTheParentKey) {
  ScriptedPrompter script;
  script.answer(Driver([&](QDialog&) {
          dialog.show();
          EXPECT_TRUE(Texts(dialog.TablesLB).contains("CUSTOMER.DB"));
          EXPECT_FALSE(Texts(dialog.TablesLB).contains("PARTS.DBF"));
          Click(dialog.TablesLB, "NOTES.DB");
          Click(dialog.TblToKeyBtn);
          EXPECT_EQ(dialog.ParentLB->count(), 0);
          Click(dialog.TablesLB, "CUSTOMER.DB");
          Click(dialog.TblToKeyBtn);
          EXPECT_EQ(Texts(dialog.ParentLB), QStringList({"CustNo[I]"}));
          Click(dialog.Button1);  // no child field yet
          EXPECT_TRUE(dialog.isVisible());
          Click(dialog.FldRefIntLB, "OrderNo[+]");
          Click(dialog.FldToChildBtn);  // an autoincrement field is refused
          Click(dialog.FldRefIntLB, "CustNo[I]");
          Click(dialog.FldToChildBtn);
          Click(dialog.FldRefIntLB, "Status[A1]");
          Click(dialog.FldToChildBtn);  // the parent key has one field only
          EXPECT_EQ(Texts(dialog.ChildLB), QStringList({"CustNo[I]"}));
          Click(dialog.ProhibitRB);
          Click(dialog.Button1);
          return dialog.result();
        }))
      .ok("Table is not indexed")
      .answer(Typed("CustLink"), "Referential integrity name:")
      .ok("Referential integrity not formed")
      .answer(Typed("CustLink"), "Referential integrity name:");
  EXPECT_EQ(dialog.Open(), QDialog::Accepted);

  ASSERT_EQ(state.links.count("CustLink"), 1u);
  const engine::RefIntDesc& link = state.links["CustLink"].link;
  EXPECT_EQ(link.name, "CustLink");
  EXPECT_EQ(link.kind, engine::riDependent);
  EXPECT_EQ(link.updateRule, engine::riRestrict);
  EXPECT_EQ(link.deleteRule, engine::riRestrict);
  EXPECT_EQ(link.fieldCount, 1);
  EXPECT_EQ(link.thisFields[0], 2);
  EXPECT_EQ(link.otherFields[0], 1);
  EXPECT_EQ(link.otherTable, dir.path() + "/CUSTOMER.DB");
  EXPECT_EQ(dialog.ChildLB->count(), 0);  // emptied on closing
}

TEST_F(DesignDialogsRefInt, RenamingALoadedLinkMakesItAnAddition) {
  state.restructure = true;
  engine::RefIntDesc loaded;
  loaded.name = "OrderCustomer";
  loaded.kind = engine::riDependent;
  loaded.otherTable = dir.path() + "/CUSTOMER.DB";
  loaded.updateRule = engine::riCascade;
  loaded.fieldCount = 1;
  loaded.thisFields[0] = 2;
  loaded.otherFields[0] = 1;
  state.links["OrderCustomer"] = {loaded, loaded, engine::opNone};
  auto keep = [&] {
    return Driver([&](QDialog&) {
      dialog.show();
      EXPECT_EQ(Texts(dialog.ChildLB), QStringList({"CustNo[I]"}));
      EXPECT_EQ(Texts(dialog.ParentLB), QStringList({"CustNo[I]"}));
      EXPECT_TRUE(dialog.CascadeRB->isChecked());
      EXPECT_EQ(dialog.TablesLB->currentItem()->text(), "CUSTOMER.DB");
      Click(dialog.Button1);
      return dialog.result();
    });
  };
  ScriptedPrompter script;
  script.answer(keep()).answer(Typed("OrderCustomer"), "Referential integrity name:");
  dialog.Open("OrderCustomer");
  EXPECT_EQ(state.links["OrderCustomer"].op, engine::opModify);

  script.answer(keep()).answer(Typed("Buyer"), "Referential integrity name:");
  dialog.Open("OrderCustomer");
  EXPECT_EQ(state.links.count("OrderCustomer"), 0u);
  const design::RefIntRow& row = state.links["Buyer"];
  EXPECT_EQ(row.op, engine::opAdd);
  EXPECT_EQ(row.link.name, "Buyer");
  EXPECT_EQ(row.loadedLink.name, "OrderCustomer");
}

TEST(DesignDialogsPasswords, MasterPasswordNeedsTheSameTextTwice) {
  design::DesignState state;
  TMasterPassF dialog(state);
  ScriptedPrompter script;
  script.answer(Driver([&](QDialog&) {
    dialog.show();
    EXPECT_FALSE(dialog.OKBtn->isEnabled());
    EXPECT_FALSE(dialog.DeleteBtn->isEnabled());
    QTest::keyClicks(dialog.MasterEdit, "secret");
    QTest::keyClicks(dialog.VerMasterEdit, "secreT");
    EXPECT_FALSE(dialog.OKBtn->isEnabled());
    EXPECT_FALSE(dialog.AuxBtn->isEnabled());
    QTest::keyClick(dialog.VerMasterEdit, Qt::Key_Backspace);
    QTest::keyClicks(dialog.VerMasterEdit, "t");
    EXPECT_TRUE(dialog.OKBtn->isEnabled());
    EXPECT_TRUE(dialog.AuxBtn->isEnabled());
    QTest::keyClicks(dialog.MasterEdit, "!");  // the first text changed after the second
    EXPECT_FALSE(dialog.OKBtn->isEnabled());
    QTest::keyClick(dialog.MasterEdit, Qt::Key_Backspace);
    Click(dialog.OKBtn);
    return dialog.result();
  }));
  EXPECT_EQ(dialog.Open(), QDialog::Accepted);
  EXPECT_TRUE(state.MasterPasswordSet);
  EXPECT_EQ(state.LastPassword, "secret");
}

TEST(DesignDialogsPasswords, DeletingAProtectedTablesPasswordRemovesProtection) {
  design::DesignState state;
  state.restructure = true;
  TMasterPassF dialog(state);
  ScriptedPrompter script;
  script.answer(Driver([&](QDialog&) {
    dialog.show();
    EXPECT_TRUE(state.MasterPasswordSet);
    EXPECT_FALSE(dialog.MasterEdit->isEnabled());
    EXPECT_TRUE(dialog.OKBtn->isEnabled());
    Click(dialog.DeleteBtn);
    EXPECT_TRUE(dialog.MasterEdit->isEnabled());
    EXPECT_FALSE(dialog.AuxBtn->isEnabled());
    Click(dialog.OKBtn);
    return dialog.result();
  }));
  dialog.Open(true);
  EXPECT_FALSE(state.MasterPasswordSet);
  EXPECT_TRUE(state.RemoveProtection);
}

TEST(DesignDialogsPasswords, AuxiliaryPasswordWithTableAndFieldRights) {
  design::DesignState state;
  state.restructure = true;
  state.roster.rows = {{"CustNo", "I", "", true}, {"Name", "A", "30", false}, {"City", "A", "20", false}};
  TMasterPassF master(state);
  ScriptedPrompter script;
  script
      .answer(Driver([&](QDialog&) {
        master.show();
        QTest::keyClicks(master.MasterEdit, "boss");
        QTest::keyClicks(master.VerMasterEdit, "boss");
        Click(master.AuxBtn);
        Click(master.OKBtn);
        return master.result();
      }))
      .answer(Driver([&](QDialog& d) {
        auto& aux = static_cast<TAuxPasswordsF&>(d);
        aux.show();
        EXPECT_FALSE(aux.AddBtn->isEnabled());
        EXPECT_EQ(aux.FieldRights(), QStringList({"Read only", "Read only", "Read only"}));
        QTest::keyClicks(aux.PassNameEdit, "clerk");
        EXPECT_TRUE(aux.AddBtn->isEnabled());
        Click(aux.TableRightsBG->button(1));  // "Insert + delete"
        EXPECT_EQ(aux.FieldRights(), QStringList({"All", "All", "All"}));
        Click(aux.TableRightsBG->button(0));  // "All"
        aux.FldRightsLV->setCurrentItem(aux.FldRightsLV->topLevelItem(1));
        aux.FldRightsLVClick();
        Click(aux.FldRightsBtn);  // All -> Read only
        EXPECT_EQ(aux.TableRights(), "Update");
        Click(aux.FldRightsBtn);  // -> No rights
        Click(aux.AddBtn);
        EXPECT_EQ(aux.AddBtn->text(), "&Add");
        EXPECT_EQ(Texts(aux.PasswordsLB), QStringList({"clerk"}));
        EXPECT_EQ(aux.TableRights(), "Read only");

        Click(aux.PasswordsLB, "clerk");
        EXPECT_EQ(aux.AddBtn->text(), "&Accept");
        EXPECT_FALSE(aux.PassNameEdit->isEnabled());
        EXPECT_EQ(aux.FieldRights(), QStringList({"All", "No rights", "All"}));
        Click(aux.DeleteBtn);
        EXPECT_TRUE(Texts(aux.PasswordsLB).isEmpty());
        EXPECT_TRUE(state.passwords.empty());
        Click(aux.RevertBtn);
        EXPECT_EQ(Texts(aux.PasswordsLB), QStringList({"clerk"}));
        Click(aux.OKBtn);
        return aux.result();
      }), "Auxiliary passwords");
  master.Open();

  EXPECT_EQ(state.LastPassword, "boss");
  ASSERT_EQ(state.passwords.count("clerk"), 1u);
  const design::PasswordRow& row = state.passwords["clerk"];
  EXPECT_EQ(row.op, engine::opAdd);
  EXPECT_EQ(row.security.password, "clerk");
  EXPECT_EQ(row.security.tableRights, engine::rightsUpdate);
  EXPECT_EQ(row.security.familyRights, 0);
  EXPECT_EQ(row.security.fieldRights[0], 31);
  EXPECT_EQ(row.security.fieldRights[1], 0);
  EXPECT_EQ(row.security.fieldRights[2], 31);
}
