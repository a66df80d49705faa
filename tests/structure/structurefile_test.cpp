// The structure file of a database: section order, names and values, saving
// over an existing file, failures that keep what was written.
#include "structure/structurefile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLocale>
#include <filesystem>

#include "engine/config/config.h"
#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/paradox/pxcreate.h"
#include "structure/inifile.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using engine::paradox::CreateParadoxTable;
using ptables::Desc;
using ptables::Field;

namespace {

namespace fs = std::filesystem;

QString Read(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<missing>");
}

class StructureFile : public testing::Test {
 protected:
  void SetUp() override {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    SetConfigFile(dir / "engine.cfg");
    ASSERT_EQ(ReloadConfig(), Ok) << LastErrorMessage();
    fs::create_directories(db());
  }
  void TearDown() override {
    table.Close();
    session.Close();
    session.RemoveAllPasswords();
    SetConfigFile("");
    QLocale::setDefault(QLocale::c());
  }
  std::string db() const { return dir / "db"; }
  std::string ini() const { return dir / "s.ini"; }
  QStringList Save(const std::string& database) {
    return structure::SaveStructureToFile(session, table, QString::fromStdString(database),
                                          QString::fromStdString(ini()));
  }
  void Make(const TableDesc& d) { ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage(); }

  TempDir dir;
  TSession session;
  TTable table{session};
};

TEST_F(StructureFile, AKeyedTableWritesExactlyTheseLines) {
  TableDesc d = Desc(db() + "/CUSTOMER.DB", {Field("CUSTNO", pxLong), Field("NAME", pxAlpha, 30)}, 1);
  d.optionalParams.push_back({"LANGDRIVER", "ancyrr"});
  d.optionalParams.push_back({"BLOCK SIZE", "2048"});
  Make(d);
  EXPECT_EQ(Save(db()), QStringList{"CUSTOMER.DB"});
  EXPECT_EQ(Read(ini()).split("\r\n"),
            (QStringList{"[TABLES]", "0=CUSTOMER.DB", "[CUSTOMER.DB\\TBPROPS]", "TABLE LEVEL=7",
                         "LANGUAGE DRIVER=ancyrr", "BLOCK SIZE=2",
                         // The table files have no documented place for the
                         // strict-integrity flag: the engine reports it off.
                         "STRICT REFERENTIAL INTEGRITY=No", "PROTECTED=No",
                         "[CUSTOMER.DB\\TBPROPS\\FLIST]", "CUSTNO=0", "NAME=0",
                         "[CUSTOMER.DB\\FIELDS\\CUSTNO]", "Name=CUSTNO", "Order=1", "Type=LONGINT",
                         "Scale=0", "Size=0", "[CUSTOMER.DB\\FIELDS\\NAME]", "Name=NAME", "Order=2",
                         "Type=ALPHA", "Scale=0", "Size=30", "[CUSTOMER.DB\\TBPROPS\\ILIST]",
                         "<Primary>=1", "[CUSTOMER.DB\\INDEXES\\<Primary>]", "PRIMARY=Yes",
                         "UNIQUE=Yes", "MAINTAINED=Yes", "CASE SENSITIVE=Yes", "DESCENDING=No",
                         "SUBSET=No", "EXPRESSION INDEX=No", "FIELDS IN KEY=1", "FIELD(1)=CUSTNO",
                         ""}));
}

// Two tables: ITEMS (a check on a logical field without default, a
// secondary index, a link to its parent) and STAFF (auxiliary passwords).
class TwoTables : public StructureFile {
 protected:
  void SetUp() override {
    StructureFile::SetUp();
    TableDesc staff = Desc(db() + "/STAFF.DB", {Field("Id", pxLong), Field("Name", pxAlpha, 20)}, 1);
    staff.isProtected = 1;
    staff.password = "boss";
    SecurityDesc reader, clerk;
    reader.password = "reader";
    reader.tableRights = rightsReadOnly;
    reader.fieldRights[0] = 1;
    reader.fieldRights[1] = 0;
    clerk.password = "clerk";
    clerk.tableRights = rightsUpdate;
    clerk.fieldRights[0] = 31;
    clerk.fieldRights[1] = 31;
    staff.passwords = {reader, clerk};
    Make(staff);
    TableDesc items = Desc(db() + "/ITEMS.DB",
                           {Field("No", pxLong), Field("Done", pxLogical), Field("Owner", pxLong)}, 1);
    ValCheckDesc done;
    done.fieldNumber = 2;
    done.required = 1;
    items.checks = {done};
    IndexDesc byOwner;
    byOwner.name = "ByOwner";
    byOwner.maintained = 1;
    byOwner.fieldsInKey = 1;
    byOwner.keyFields[0] = 3;
    items.indexes.push_back(byOwner);
    RefIntDesc link;
    link.name = "OwnerLink";
    link.kind = riDependent;
    link.otherTable = "STAFF.DB";
    link.fieldCount = 1;
    link.thisFields[0] = 3;
    link.otherFields[0] = 1;
    items.refInts = {link};
    session.AddPassword("boss");
    Make(items);
  }
};

TEST_F(TwoTables, SectionsComeTableByTableInTheirOrder) {
  Save(db());
  const structure::IniFile file(QString::fromStdString(ini()));
  EXPECT_EQ(file.ReadSections(),
            (QStringList{"TABLES", "ITEMS.DB\\TBPROPS", "ITEMS.DB\\TBPROPS\\FLIST",
                         "ITEMS.DB\\FIELDS\\No", "ITEMS.DB\\FIELDS\\Done", "ITEMS.DB\\FIELDS\\Owner",
                         "ITEMS.DB\\TBPROPS\\ILIST", "ITEMS.DB\\INDEXES\\<Primary>",
                         "ITEMS.DB\\INDEXES\\ByOwner", "ITEMS.DB\\TBPROPS\\VLIST",
                         "ITEMS.DB\\VCHECKS\\Done", "ITEMS.DB\\TBPROPS\\RLIST",
                         "ITEMS.DB\\RINTS\\OwnerLink", "STAFF.DB\\TBPROPS",
                         "STAFF.DB\\TBPROPS\\FLIST", "STAFF.DB\\FIELDS\\Id", "STAFF.DB\\FIELDS\\Name",
                         "STAFF.DB\\TBPROPS\\ILIST", "STAFF.DB\\INDEXES\\<Primary>",
                         "STAFF.DB\\TBPROPS\\RLIST", "STAFF.DB\\RINTS\\OwnerLink",
                         "STAFF.DB\\TBPROPS\\SLIST", "STAFF.DB\\SECURITIES\\0",
                         "STAFF.DB\\SECURITIES\\1"}));
  EXPECT_EQ(file.ReadSectionValues("TABLES"), (QStringList{"0=ITEMS.DB", "1=STAFF.DB"}));
  EXPECT_EQ(file.ReadSectionValues("ITEMS.DB\\TBPROPS\\FLIST"),
            (QStringList{"No=0", "Done=0", "Owner=0"}));
  EXPECT_EQ(file.ReadSectionValues("STAFF.DB\\TBPROPS\\FLIST"), (QStringList{"Id=1", "Name=1"}));
  EXPECT_EQ(file.ReadSectionValues("ITEMS.DB\\TBPROPS\\ILIST"),
            (QStringList{"<Primary>=1", "ByOwner=2"}));
  EXPECT_EQ(file.ReadSectionValues("ITEMS.DB\\TBPROPS\\VLIST"), QStringList{"0=DONE"});
  // A logical field's check without a default has no default entry.
  EXPECT_EQ(file.ReadSection("ITEMS.DB\\VCHECKS\\DONE"),
            (QStringList{"FILED NUMBER", "REQUIRED", "MIN. VALUE", "MAX. VALUE", "PICTURE"}));
  EXPECT_EQ(file.ReadString("ITEMS.DB\\RINTS\\OwnerLink", "Field(1)"), "Owner>Id");
  EXPECT_EQ(file.ReadSectionValues("STAFF.DB\\TBPROPS\\SLIST"), (QStringList{"0=reader", "1=clerk"}));
  EXPECT_EQ(file.ReadSectionValues("STAFF.DB\\SECURITIES\\0"),
            (QStringList{"Password=reader", "TABLE RIGHT=READ ONLY", "Id=READ ONLY",
                         "Name=NO PREVILEGIES"}));
  EXPECT_TRUE(Read(ini()).contains("Password= clerk\r\n"));  // written with its blank
}

TEST_F(TwoTables, SavingTwiceGivesTheSameFileAndAnotherDatabaseOverwritesOnlyItsOwn) {
  Save(db());
  const QString first = Read(ini());
  Save(db());
  EXPECT_EQ(Read(ini()), first);

  fs::create_directories(dir / "other");
  Make(Desc(dir / "other/ZONES.DB", {Field("Zone", pxAlpha, 4)}, 1));
  Save(dir / "other");
  const structure::IniFile file(QString::fromStdString(ini()));
  EXPECT_EQ(file.ReadSectionValues("TABLES"), (QStringList{"0=ZONES.DB", "1=STAFF.DB"}));
  EXPECT_TRUE(file.SectionExists("ITEMS.DB\\TBPROPS"));
  EXPECT_EQ(file.ReadSections().last(), "ZONES.DB\\INDEXES\\<Primary>");
}

TEST_F(TwoTables, AFailureEndsTheSaveAndKeepsWhatWasWritten) {
  session.RemoveAllPasswords();  // STAFF.DB no longer opens
  try {
    Save(db());
    FAIL() << "the save went through";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrPasswordRequired);
  }
  const structure::IniFile file(QString::fromStdString(ini()));
  EXPECT_EQ(file.ReadSectionValues("TABLES"), (QStringList{"0=ITEMS.DB", "1=STAFF.DB"}));
  EXPECT_TRUE(file.SectionExists("ITEMS.DB\\VCHECKS\\Done"));
  EXPECT_TRUE(file.SectionExists("ITEMS.DB\\TBPROPS\\RLIST"));
  EXPECT_FALSE(file.SectionExists("STAFF.DB\\TBPROPS"));
}

TEST_F(StructureFile, ADatabaseWithoutParadoxTablesWritesNoFile) {
  EXPECT_TRUE(Save(db()).isEmpty());
  EXPECT_FALSE(fs::exists(ini()));
}

TEST_F(StructureFile, CorpusTablesWithChecksLinksAndIndexes) {
  const std::string corpus = CorpusDir("paradox/joins");
  if (corpus.empty()) GTEST_SKIP() << "corpus absent";
  for (const char* stem : {"A", "B", "C"}) ptables::CopyFamily(corpus, stem, db());
  EXPECT_EQ(Save(db()), (QStringList{"A.db", "B.db", "C.DB"}));
  const structure::IniFile file(QString::fromStdString(ini()));
  EXPECT_EQ(file.ReadSectionValues("C.DB\\TBPROPS\\ILIST"),
            (QStringList{"<Primary>=1", "A=2", "B=3"}));
  EXPECT_EQ(file.ReadString("C.DB\\INDEXES\\B", "FIELD(1)"), "B");
  EXPECT_EQ(file.ReadSectionValues("C.DB\\TBPROPS\\VLIST"), (QStringList{"0=C", "1=A"}));
  EXPECT_EQ(file.ReadString("C.DB\\VCHECKS\\A", "REQUIRED"), "Yes");
  EXPECT_EQ(file.ReadSectionValues("C.DB\\TBPROPS\\RLIST"),
            (QStringList{"0=Reference A", "1=Reference B"}));
  EXPECT_EQ(file.ReadSectionValues("C.DB\\RINTS\\Reference B"),
            (QStringList{"Name=Reference B", "Type=DEPENDENT", "Master table=B.db",
                         "Modify Mode=CASCADE", "Delete Mode=RESTRICT",
                         "Fields in the linking key=1", "Field(1)=B>B"}));
  EXPECT_EQ(file.ReadString("B.db\\RINTS\\Reference B", "Type"), "MASTER");
}

}  // namespace
