// The data-set layer over real tables: the session (aliases, databases,
// passwords and the password event), table components (navigation,
// filters, editing, whole-table operations) and the query shell.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/config/config.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/engine.h"
#include "engine/indexes.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
namespace fs = std::filesystem;
using ptables::Field;

namespace {


// A directory with the alias Work, holding PEOPLE.DB (keyed by Id).
class DataSet : public testing::Test {
 protected:
  void SetUp() override {
    SetConfigFile(dir / "engine.cfg");
    ASSERT_EQ(AddStandardAlias("Work", dir.path(), ""), Ok);
    CreatePeople("PEOPLE", "");
  }
  void TearDown() override {
    Session().Close();
    Session().OnPassword = nullptr;
    Session().SetKeepConnections(true);
    RemoveAllPasswords();
    SetConfigFile("");
  }

  void CreatePeople(const std::string& name, const std::string& password) {
    hDBIDb db = 0;
    ASSERT_EQ(OpenDatabase(dir.path(), db), Ok);
    TableDesc d;
    d.tableName = name;
    d.fields = {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("City", pxAlpha, 20),
                Field("Score", pxNumber)};
    IndexDesc key;
    key.primary = 1;
    key.fieldsInKey = 1;
    key.keyFields[0] = 1;
    d.indexes = {key};
    if (!password.empty()) {
      d.password = password;
      d.isProtected = 1;
    }
    ASSERT_EQ(CreateTable(db, false, d), Ok) << LastErrorMessage();
    if (!password.empty()) AddPassword(password);
    hDBICur cur = 0;
    ASSERT_EQ(OpenTable(db, name, "", OpenMode::ReadWrite, cur), Ok) << LastErrorMessage();
    const char* names[] = {"Smith", "Jones", "Smythe", "Brown", "Smart"};
    const char* cities[] = {"Paris", "Rome", "Paris", "Oslo", "Paris"};
    for (int i = 0; i < 5; ++i)
      ASSERT_EQ(InsertRecord(cur, {std::int64_t{(i + 1) * 10}, std::string(names[i]),
                                   std::string(cities[i]), 1.5 * i}),
                Ok);
    CloseCursor(cur);
    CloseDatabase(db);
    RemoveAllPasswords();
  }

  // The Ids from the current record to the end.
  static std::vector<int> Walk(TTable& t) {
    std::vector<int> ids;
    for (; !t.Eof(); t.Next()) ids.push_back(static_cast<int>(t.FieldByName("id").AsInteger()));
    return ids;
  }

  TempDir dir;
};

}  // namespace

TEST_F(DataSet, NavigationHasEofAndBofAtTheEnds) {
  TTable t;
  t.SetDatabaseName("work");
  t.SetTableName("People");
  t.Open();
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecNo(), 1u);
  EXPECT_EQ(Walk(t), (std::vector<int>{10, 20, 30, 40, 50}));
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Smart") << "Eof stays on the last record";
  t.Prior();
  EXPECT_FALSE(t.Eof());
  EXPECT_EQ(t.RecNo(), 4u);
  t.First();
  t.Prior();
  EXPECT_TRUE(t.Bof());
  EXPECT_EQ(t.RecNo(), 1u);
  EXPECT_EQ(t.MoveBy(3), 3);
  EXPECT_EQ(t.Fields(0).AsInteger(), 40);
  EXPECT_EQ(t.MoveBy(5), 1);
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.MoveBy(-10), -4);
  EXPECT_TRUE(t.Bof());
  t.Last();
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.FieldByName("Score").AsFloat(), 6.0);
  EXPECT_EQ(t.RecordCount(), 5u);
  EXPECT_EQ(t.GetFieldNames(), (std::vector<std::string>{"Id", "Name", "City", "Score"}));
  EXPECT_EQ(t.FindField("nope"), nullptr);
  try {
    t.FieldByName("nope");
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrInvalidFieldName);
    EXPECT_NE(std::string(e.what()).find("no field \"nope\""), std::string::npos);
  }
}

TEST_F(DataSet, FilteredTablesSkipOtherRecords) {
  TTable t;
  t.SetTableName(dir / "PEOPLE.DB");
  t.SetFilter("City = 'Paris' and Name <> 'Smy*'");
  t.SetFiltered(true);
  t.Open();
  EXPECT_EQ(Walk(t), (std::vector<int>{10, 50}));
  t.Prior();
  EXPECT_EQ(t.Fields(0).AsInteger(), 10) << "the records between are skipped";
  EXPECT_EQ(t.RecNo(), 1u);
  t.Last();
  EXPECT_EQ(t.RecNo(), 5u);

  t.SetFilter("Score >= 3");  // the table moves to its first passing record
  EXPECT_EQ(Walk(t), (std::vector<int>{30, 40, 50}));
  EXPECT_THROW(t.SetFilter("Score >= 'x'"), EDBEngineError);
  EXPECT_EQ(t.Filter(), "Score >= 3") << "a refused filter leaves the old one";
  t.SetFilter("City = 'Nowhere'");
  EXPECT_TRUE(t.Eof() && t.Bof() && t.IsEmpty());
  EXPECT_TRUE(t.FieldByName("Name").IsNull());
  t.SetFiltered(false);
  EXPECT_EQ(Walk(t).size(), 5u);

  TTable bad;
  bad.SetTableName(dir / "PEOPLE.DB");
  bad.SetFilter("Town = 'x'");
  try {
    bad.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrInvalidFilter);
    EXPECT_NE(std::string(e.what()).find("no field \"Town\" at column 1"), std::string::npos);
  }
  EXPECT_FALSE(bad.Active());
}

TEST_F(DataSet, EditInsertDeleteAndCancel) {
  TTable t;
  t.SetDatabaseName("Work");
  t.SetTableName("PEOPLE.DB");
  t.Open();
  EXPECT_THROW(t.FieldByName("Name").SetValue(std::string("x")), EDBEngineError)
      << "browse mode refuses changes";

  t.MoveBy(1);
  t.Edit();
  t.FieldByName("Name").SetValue(std::string("Johnson"));
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Jones");

  t.Edit();
  t.FieldByName("Name").SetValue(std::string("Johnson"));
  t.FieldByName("Score").Clear();
  t.Post();
  EXPECT_EQ(t.GetState(), TTable::State::Browse);

  t.Append();
  EXPECT_EQ(t.RecNo(), 0u);
  t.FieldByName("Id").SetValue(std::int64_t{25});
  t.FieldByName("Name").SetValue(std::string("Green"));
  t.Next();  // moving posts the new record first
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 30) << "the record after the new one";

  t.Insert();
  t.FieldByName("Id").SetValue(std::int64_t{10});
  try {
    t.Post();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrKeyViolation);
  }
  EXPECT_EQ(t.GetState(), TTable::State::Insert) << "a refused post keeps the edit";
  t.Cancel();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 30);

  t.Delete();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 40) << "delete moves to the next record";
  t.Last();
  t.Delete();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 40) << "after the last, to the one before";
  EXPECT_TRUE(t.Eof());

  // A second component sees what the first wrote.
  TTable other;
  other.SetTableName("Work:PEOPLE");
  other.SetReadOnly(true);
  other.Open();
  std::vector<std::string> rows;
  for (; !other.Eof(); other.Next())
    rows.push_back(std::to_string(other.Fields(0).AsInteger()) + " " +
                   other.Fields(1).AsString() + (other.Fields(3).IsNull() ? " -" : ""));
  EXPECT_EQ(rows, (std::vector<std::string>{"10 Smith", "20 Johnson -", "25 Green -", "40 Brown"}));
  EXPECT_THROW(other.Edit(), EDBEngineError);
}

TEST_F(DataSet, DeletingUnderAFilterLandsOnPassingRecords) {
  TTable t;
  t.SetTableName(dir / "PEOPLE.DB");
  t.SetFilter("City = 'Paris'");
  t.SetFiltered(true);
  t.Open();
  t.Delete();  // 10
  EXPECT_EQ(t.Fields(0).AsInteger(), 30);
  t.Next();
  t.Delete();  // 50, the last passing record
  EXPECT_EQ(t.Fields(0).AsInteger(), 30);
  t.Delete();
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_THROW(t.Delete(), EDBEngineError);
  t.SetFiltered(false);
  EXPECT_EQ(Walk(t), (std::vector<int>{20, 40}));
}

TEST_F(DataSet, PasswordEventIsAskedUntilTheOpenSucceeds) {
  CreatePeople("SAFE", "secret");
  TTable t;
  t.SetDatabaseName("Work");
  t.SetTableName("SAFE");
  int asked = 0;
  Session().OnPassword = [&](TSession& s) {
    ++asked;
    s.AddPassword(asked == 1 ? "wrong" : "secret");
    return true;
  };
  t.Open();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(t.RecordCount(), 5u);
  t.Close();

  // Known now: no question.
  t.Open();
  EXPECT_EQ(asked, 2);
  t.Close();

  Session().RemoveAllPasswords();
  Session().OnPassword = [&](TSession&) {
    ++asked;
    return false;  // the user gave up
  };
  try {
    t.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrPasswordRequired);
    EXPECT_NE(std::string(e.what()).find("SAFE.DB: the table is protected by a password"),
              std::string::npos)
        << e.what();
  }
  EXPECT_EQ(asked, 3);
  EXPECT_FALSE(t.Active());
  Session().OnPassword = nullptr;
  Session().AddPassword("secret");
  Session().RemovePassword("secret");
  EXPECT_THROW(t.Open(), EDBEngineError);
}

TEST_F(DataSet, DatabasesOpenForTablesAndCloseWhenNotKept) {
  TSession& s = Session();
  EXPECT_EQ(s.SessionName(), "MainSession");
  {
    TTable t;
    t.SetDatabaseName("Work");
    t.SetTableName("PEOPLE");
    t.Open();
    ASSERT_EQ(s.DatabaseCount(), 1);
    TDatabase* db = s.FindDatabase("WORK");
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->Directory(), dir.path());
    EXPECT_TRUE(db->Connected());
    EXPECT_TRUE(db->Temporary());
    t.Close();
    EXPECT_EQ(s.DatabaseCount(), 1) << "KeepConnections keeps it";

    s.SetKeepConnections(false);
    EXPECT_EQ(s.DatabaseCount(), 0);
    t.Open();
    EXPECT_EQ(s.DatabaseCount(), 1);
    t.Close();
    EXPECT_EQ(s.DatabaseCount(), 0);

    TDatabase& kept = s.OpenDatabase(dir.path());
    EXPECT_FALSE(kept.Temporary());
    t.SetDatabaseName(dir.path());
    t.Open();
    t.Close();
    EXPECT_EQ(s.DatabaseCount(), 1) << "an explicitly opened database stays";
    t.Open();
    s.CloseDatabase(kept);
    EXPECT_FALSE(t.Active()) << "closing a database closes its tables";
    EXPECT_EQ(s.DatabaseCount(), 0);
  }
  EXPECT_THROW(s.OpenDatabase("NoSuchAlias"), EDBEngineError);
}

TEST_F(DataSet, SessionAliasesTablesAndDirectories) {
  TSession& s = Session();
  fs::create_directories(dir / "old");
  s.AddStandardAlias("Old", dir / "old", "DBASE");
  s.ModifyAlias("old", {{"ENABLE BCD", "TRUE"}});
  EXPECT_EQ(s.GetAliasNames(), (std::vector<std::string>{"Work", "Old"}));
  EXPECT_TRUE(s.IsAlias("WORK"));
  EXPECT_FALSE(s.IsAlias(dir.path()));
  EXPECT_EQ(s.GetAliasDriverName("Old"), "STANDARD");
  EXPECT_EQ(s.GetAliasParams("Old")[0].value, dir / "old");
  EXPECT_EQ(s.GetAliasParams("Old")[1].value, "TRUE");
  EXPECT_EQ(s.GetAliasParams("Old")[2].value, "DBASE");
  s.SaveConfigFile();
  ASSERT_EQ(ReloadConfig(), Ok);
  EXPECT_EQ(s.GetAliasNames().size(), 2u);
  s.DeleteAlias("Old");
  try {
    s.DeleteAlias("Old");
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrUnknownAlias);
  }

  for (const char* f : {"b.db", "A.DB", "$WORK.DB", "notes.txt", "C.DBF"})
    std::ofstream(dir / f) << "";
  EXPECT_EQ(s.GetTableNames("Work"),
            (std::vector<std::string>{"A.DB", "b.db", "C.DBF", "PEOPLE.DB"}));
  EXPECT_EQ(s.GetTableNames(dir.path(), "", false, true),
            (std::vector<std::string>{"$WORK", "A", "b", "C", "PEOPLE"}));
  EXPECT_EQ(s.GetTableNames("Work", "?.db"), (std::vector<std::string>{"A.DB", "b.db"}));
  EXPECT_THROW(s.GetTableNames(dir / "missing"), EDBEngineError);

  EXPECT_EQ(s.NetFileDir(), "");
  s.SetPrivateDir(dir / "old");
  EXPECT_EQ(s.PrivateDir(), dir / "old");
  EXPECT_THROW(s.SetNetFileDir(dir / "missing"), EDBEngineError);
}

TEST_F(DataSet, OpenEventsAndExclusiveUse) {
  TTable t;
  std::vector<std::string> events;
  t.BeforeOpen = [&](TTable& table) {
    events.push_back("before");
    table.SetTableName(dir / "PEOPLE.DB");  // still allowed: the table is not open yet
  };
  t.AfterOpen = [&](TTable& table) { events.push_back(table.Active() ? "after" : "?"); };
  t.SetExclusive(true);
  t.Open();
  EXPECT_EQ(events, (std::vector<std::string>{"before", "after"}));
  EXPECT_THROW(t.SetTableName("X"), EDBEngineError) << "an open table keeps its name";

  TTable second;
  second.SetTableName(dir / "PEOPLE.DB");
  try {
    second.Open();
    FAIL();
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrTableInUse);
  }
  t.Close();
  second.Open();

  TTable refused;
  refused.BeforeOpen = [](TTable&) { throw std::runtime_error("not now"); };
  EXPECT_THROW(refused.Open(), std::runtime_error);
  EXPECT_FALSE(refused.Active());
}

TEST_F(DataSet, WholeTableOperations) {
  TTable t;
  t.SetDatabaseName("Work");
  t.SetTableName("PEOPLE");
  EXPECT_EQ(t.GetFieldNames().size(), 4u) << "read from the closed table";
  t.Open();
  t.EmptyTable();
  EXPECT_TRUE(t.Active());
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_THROW(t.RenameTable("CLIENTS"), EDBEngineError);
  EXPECT_THROW(t.DeleteTable(), EDBEngineError);
  t.Close();

  t.RenameTable("CLIENTS");
  EXPECT_EQ(t.TableName(), "CLIENTS");
  EXPECT_FALSE(fs::exists(dir / "PEOPLE.DB"));
  EXPECT_TRUE(fs::exists(dir / "CLIENTS.DB"));
  TTable byPath;
  byPath.SetTableName(dir / "CLIENTS.DB");
  byPath.RenameTable("PATRONS");
  EXPECT_EQ(byPath.TableName(), dir / "PATRONS.DB");
  byPath.Open();
  EXPECT_EQ(byPath.RecordCount(), 0u);
  byPath.Close();
  byPath.DeleteTable();
  EXPECT_FALSE(fs::exists(dir / "PATRONS.DB"));
  EXPECT_THROW(byPath.Open(), EDBEngineError);
}

TEST_F(DataSet, IndexNameOrdersAndDeleteIndexRemovesIt) {
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase("Work", db), Ok);
  IndexDesc byName;
  byName.maintained = 1;
  byName.fieldsInKey = 1;
  byName.keyFields[0] = 2;
  ASSERT_EQ(AddIndex(db, "PEOPLE", byName), Ok) << LastErrorMessage();
  CloseDatabase(db);

  TTable t;
  t.SetDatabaseName("Work");
  t.SetTableName("PEOPLE");
  t.SetIndexName("Name");
  t.Open();
  std::vector<std::string> names;
  for (; !t.Eof(); t.Next()) names.push_back(t.FieldByName("Name").AsString());
  EXPECT_EQ(names, (std::vector<std::string>{"Brown", "Jones", "Smart", "Smith", "Smythe"}));
  t.Close();
  t.DeleteIndex("Name");
  EXPECT_THROW(t.Open(), EDBEngineError) << "the index is gone";
  t.SetIndexName("");
  t.Open();
  EXPECT_THROW(t.DeleteIndex("Name"), EDBEngineError);
}

