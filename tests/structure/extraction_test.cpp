// The structure texts of tables made through the engine and of corpus tables.
#include "structure/extraction.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <QDate>
#include <filesystem>
#include <fstream>

#include "engine/dataset/dberror.h"
#include "engine/paradox/pxcreate.h"
#include "tests/support/ptables.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace structure;
using engine::paradox::CreateParadoxTable;
using ptables::Desc;
using ptables::Field;

namespace {

std::array<std::uint8_t, 256> Area(std::uint16_t type, const Value& v) {
  std::array<std::uint8_t, 256> a{};
  EXPECT_EQ(ValueToCheckArea(type, v, 437, a), Ok) << LastErrorMessage();
  return a;
}

ValCheckDesc CheckOn(std::uint16_t field) {
  ValCheckDesc c;
  c.fieldNumber = field;
  return c;
}

IndexDesc Secondary(const std::string& name, std::vector<std::uint16_t> fields) {
  IndexDesc ix;
  ix.name = name;
  ix.maintained = 1;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) ix.keyFields[i] = fields[i];
  return ix;
}

SecurityDesc Aux(const std::string& password, std::int32_t table, std::vector<std::int32_t> fields) {
  SecurityDesc s;
  s.password = password;
  s.tableRights = table;
  for (std::size_t i = 0; i < fields.size(); ++i) s.fieldRights[i] = fields[i];
  return s;
}

// A 24-hour English locale keeps the date and time texts fixed.
struct FixedLocale {
  FixedLocale() { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
  ~FixedLocale() { QLocale::setDefault(QLocale::c()); }
};

// ORDERS: a field of every Paradox type, a key, checks of every kind, a
// lookup on CODES, a link to PARENT and two secondary indexes. STAFF: aux
// passwords.
class StructureTables : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateParadoxTable(Desc(dir / "CODES.DB", {Field("Code", pxAlpha, 3)}, 1), false), Ok)
        << LastErrorMessage();
    ASSERT_EQ(CreateParadoxTable(Desc(dir / "PARENT.DB",
                                      {Field("PId", pxLong), Field("PName", pxAlpha, 20)}, 1),
                                 false),
              Ok)
        << LastErrorMessage();
    TableDesc d = Desc(dir / "ORDERS.DB",
                       {Field("Id", pxLong), Field("Code", pxAlpha, 3), Field("Name", pxAlpha, 20),
                        Field("Num", pxNumber), Field("Price", pxMoney), Field("When", pxDate),
                        Field("Small", pxShort), Field("At", pxTime), Field("Stamp", pxTimestamp),
                        Field("Flag", pxLogical), Field("Flag2", pxLogical),
                        Field("Amount", pxBcd, 32, 2), Field("No", pxAutoinc),
                        Field("Memo", pxMemo, 10), Field("Bin", pxBinary, 10),
                        Field("Fmt", pxFmtMemo, 10), Field("Ole", pxOle, 10),
                        Field("Pic", pxGraphic, 10), Field("Raw", pxBytes, 8),
                        Field("Parent", pxLong)},
                       1);
    ValCheckDesc code = CheckOn(2);
    code.lookupType = lookupHelpCurrentField;
    code.lookupTable = "CODES.DB";
    ValCheckDesc name = CheckOn(3);
    name.required = 1;
    name.hasMin = name.hasMax = name.hasDefault = 0xFFFF;
    name.minValue = Area(pxAlpha, std::string("Aa"));
    name.maxValue = Area(pxAlpha, std::string("Zz=>"));
    name.defaultValue = Area(pxAlpha, std::string("Bob"));
    name.picture = "*&";
    ValCheckDesc num = CheckOn(4);
    num.hasMin = num.hasMax = 0xFFFF;
    num.minValue = Area(pxNumber, 1.5);
    num.maxValue = Area(pxNumber, 1234567.25);
    ValCheckDesc price = CheckOn(5);
    price.hasMax = 0xFFFF;
    price.maxValue = Area(pxMoney, 999.5);
    ValCheckDesc when = CheckOn(6);
    when.hasMin = 0xFFFF;
    when.minValue = Area(pxDate, DateValue{738945});
    when.hasDefault = chkToday;
    ValCheckDesc small = CheckOn(7);
    small.hasMin = small.hasMax = 0xFFFF;
    small.minValue = Area(pxShort, std::int64_t{-5});
    small.maxValue = Area(pxShort, std::int64_t{100});
    ValCheckDesc at = CheckOn(8);
    at.hasMin = 0xFFFF;
    at.minValue = Area(pxTime, TimeValue{(8 * 3600 + 30 * 60 + 5) * 1000});
    at.hasDefault = chkNow;
    ValCheckDesc stamp = CheckOn(9);
    stamp.hasMin = 0xFFFF;
    stamp.minValue = Area(pxTimestamp, TimestampValue{738945LL * 86400000 + 3600000});
    stamp.hasMax = chkNow;
    ValCheckDesc flag = CheckOn(10);
    flag.hasDefault = 0xFFFF;
    flag.defaultValue = Area(pxLogical, true);
    ValCheckDesc flag2 = CheckOn(11);
    flag2.required = 1;
    ValCheckDesc amount = CheckOn(12);
    amount.hasMin = 0xFFFF;
    amount.minValue = Area(pxBcd, BcdValue{"-12.25"});
    ValCheckDesc raw = CheckOn(19);
    raw.required = 1;
    d.checks = {code, name, num, price, when, small, at, stamp, flag, flag2, amount, raw};
    RefIntDesc link;
    link.name = "ToParent";
    link.kind = riDependent;
    link.otherTable = "PARENT.DB";
    link.updateRule = riCascade;
    link.fieldCount = 1;
    link.thisFields[0] = 20;
    link.otherFields[0] = 1;
    d.refInts = {link};
    ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    ASSERT_EQ(OpenDatabase(dir.path(), db), Ok) << LastErrorMessage();
    ASSERT_EQ(AddIndex(db, "ORDERS.DB", Secondary("Name", {3})), Ok) << LastErrorMessage();
    ASSERT_EQ(AddIndex(db, "ORDERS.DB", Secondary("ByWhen", {6, 3})), Ok) << LastErrorMessage();
  }

  void TearDown() override {
    for (hDBICur& c : cursors) CloseCursor(c);
    CloseDatabase(db);
    RemoveAllPasswords();
  }

  OpenTableRef Open(const std::string& name) {
    hDBICur c = 0;
    EXPECT_EQ(OpenTable(db, name, "", OpenMode::ReadOnly, c), Ok) << LastErrorMessage();
    cursors.push_back(c);
    return OpenTableRef::Of(db, c, QString::fromStdString(name));
  }

  void MakeStaff() {
    TableDesc d = Desc(dir / "STAFF.DB",
                       {Field("Id", pxLong), Field("Name", pxAlpha, 20), Field("Salary", pxMoney)}, 1);
    d.password = "boss";
    d.isProtected = 1;
    d.passwords = {Aux("reader", 1, {1, 1, 0}), Aux("clerk", 7, {31, 31, 0}),
                   Aux("owner", 31, {31, 1, 0})};
    ASSERT_EQ(CreateParadoxTable(d, false), Ok) << LastErrorMessage();
    AddPassword("boss");
  }

  FixedLocale locale;
  TempDir dir;
  hDBIDb db = 0;
  std::vector<hDBICur> cursors;
};

TEST_F(StructureTables, TableProps) {
  OpenTableRef t = Open("ORDERS.DB");
  PropertyList list{"kept"};
  ListTableProps(t.cursor, list);
  ASSERT_EQ(list.size(), 6);
  EXPECT_EQ(list[0], "kept");
  EXPECT_EQ(list[1], "TABLE LEVEL=7");
  EXPECT_TRUE(list[2].startsWith("LANGUAGE DRIVER=")) << list[2].toStdString();
  EXPECT_TRUE(list[3].startsWith("BLOCK SIZE=")) << list[3].toStdString();
  EXPECT_EQ(list.mid(4), (QStringList{"STRICT REFERENTIAL INTEGRITY=No", "PROTECTED=No"}));
}

TEST_F(StructureTables, FieldPropsOfEveryType) {
  OpenTableRef t = Open("ORDERS.DB");
  const QStringList types = {"LONGINT", "ALPHA", "ALPHA", "NUMBER", "MONEY", "DATE", "SHORT",
                             "TIME", "TIMESTAMP", "LOGICAL", "LOGICAL", "BCD", "AUTOINC", "MEMO",
                             "BINARY", "FORMATTED MEMO", "OLE", "GRAPHIC", "BYTES", "LONGINT"};
  ASSERT_EQ(t.fieldNames.size(), types.size());
  PropertyList list{"cleared"};
  for (int p = 0; p < types.size(); ++p) {
    ListFieldProps(t, p, list);
    ASSERT_EQ(list.size(), 5);
    EXPECT_EQ(list[0], "Name=" + t.fieldNames[p]);
    EXPECT_EQ(list[1], "Order=" + QString::number(p + 1));
    EXPECT_EQ(list[2], "Type=" + types[p]);
  }
  ListFieldProps(t, 2, list);
  EXPECT_EQ(list, (QStringList{"Name=Name", "Order=3", "Type=ALPHA", "Scale=0", "Size=20"}));
  ListFieldProps(t, 11, list);
  EXPECT_EQ(list.mid(3), (QStringList{"Scale=2", "Size=32"}));
}

TEST_F(StructureTables, IndexNamesAndKeyCounts) {
  OpenTableRef t = Open("ORDERS.DB");
  QStringList names{"old"}, counts;
  ListIndexNames(t, names);
  EXPECT_EQ(names, (QStringList{"", "Name", "ByWhen"}));
  names = {"old"};
  counts = {"kept"};
  ListIndexNamesAndKeyCounts(t, names, counts);
  EXPECT_EQ(names, (QStringList{"", "Name", "ByWhen"}));
  EXPECT_EQ(counts, (QStringList{"kept", "1", "1", "2"}));
}

TEST_F(StructureTables, IndexPropsUpperCase) {
  OpenTableRef t = Open("ORDERS.DB");
  PropertyList primary, composite;
  ListIndexProps(t, "<Primary>", primary);
  EXPECT_EQ(primary, (QStringList{"PRIMARY=Yes", "UNIQUE=Yes", "MAINTAINED=Yes",
                                  "CASE SENSITIVE=Yes", "DESCENDING=No", "SUBSET=No",
                                  "EXPRESSION INDEX=No", "FIELDS IN KEY=1", "FIELD(1)=Id"}));
  ListIndexProps(t, "ByWhen", composite);
  EXPECT_EQ(composite.mid(7), (QStringList{"FIELDS IN KEY=2", "FIELD(1)=When", "FIELD(2)=Name"}));
  EXPECT_EQ(composite[0], "PRIMARY=No");
  EXPECT_THROW(ListIndexProps(t, "Missing", composite), EDBEngineError);
}

TEST_F(StructureTables, IndexDisplayProps) {
  OpenTableRef t = Open("ORDERS.DB");
  PropertyList list;
  ListIndexDisplayProps(t, "ByWhen", "", 0, list);
  ASSERT_EQ(list.size(), 13);
  EXPECT_EQ(list.mid(0, 9),
            (QStringList{"Tag Name=", "Name=ByWhen", "Unique=No", "Maintained=Yes",
                         "Descending=No", "Expression index=No", "Expression=", "Subset index=No",
                         "Condition of subset="}));
  EXPECT_EQ(list.mid(9, 2), (QStringList{"Field=When", "Field=Name"}));
  EXPECT_TRUE(list[11].startsWith("Format="));
  EXPECT_TRUE(list[12].startsWith("Internal block size (b)="));
}

TEST_F(StructureTables, ValCheckFieldsAndUpperCaseForm) {
  OpenTableRef t = Open("ORDERS.DB");
  QStringList fields;
  ListValCheckFields(t, fields);
  EXPECT_EQ(fields, (QStringList{"Code", "Name", "Num", "Price", "When", "Small", "At", "Stamp",
                                 "Flag", "Flag2", "Amount", "Raw"}));
  auto props = [&](int v) {
    PropertyList l;
    ListValCheckProps(t, v, l);
    return l;
  };
  EXPECT_EQ(props(1), (QStringList{"FILED NUMBER=2", "REQUIRED=No", "MIN. VALUE=(NONE)",
                                   "MAX. VALUE=(NONE)", "DEF. VALUE=(NONE)", "PICTURE=(NONE)"}));
  EXPECT_EQ(props(2), (QStringList{"FILED NUMBER=3", "REQUIRED=Yes", "MIN. VALUE=Aa",
                                   "MAX. VALUE=Zz=>", "DEF. VALUE=Bob", "PICTURE=*&"}));
  EXPECT_EQ(props(3).mid(2, 3), (QStringList{"MIN. VALUE=1.5", "MAX. VALUE=1234567.25",
                                             "DEF. VALUE=(NONE)"}));
  EXPECT_EQ(props(4).mid(2, 3),
            (QStringList{"MIN. VALUE=(NONE)", "MAX. VALUE=999.5", "DEF. VALUE=(NONE)"}));
  EXPECT_EQ(props(5).mid(2, 3),
            (QStringList{"MIN. VALUE=2/29/24", "MAX. VALUE=(NONE)", "DEF. VALUE=TODAY"}));
  EXPECT_EQ(props(6).mid(2, 3),
            (QStringList{"MIN. VALUE=-5", "MAX. VALUE=100", "DEF. VALUE=(NONE)"}));
  EXPECT_EQ(props(7).mid(2, 3),
            (QStringList{"MIN. VALUE=8:30:05 AM", "MAX. VALUE=(NONE)", "DEF. VALUE=NOW"}));
  EXPECT_EQ(props(8).mid(2, 3),
            (QStringList{"MIN. VALUE=2/29/24 1:00:00 AM", "MAX. VALUE=NOW", "DEF. VALUE=(NONE)"}));
  EXPECT_EQ(props(9), (QStringList{"FILED NUMBER=10", "REQUIRED=No", "MIN. VALUE=(NOT AVIALABLE)",
                                   "MAX. VALUE=(NOT AVIALABLE)", "DEF. VALUE=TRUE",
                                   "PICTURE=(NONE)"}));
  // A boolean check without a default has no default line at all.
  EXPECT_EQ(props(10), (QStringList{"FILED NUMBER=11", "REQUIRED=Yes",
                                    "MIN. VALUE=(NOT AVIALABLE)", "MAX. VALUE=(NOT AVIALABLE)",
                                    "PICTURE=(NONE)"}));
  EXPECT_EQ(props(11).mid(2, 3),
            (QStringList{"MIN. VALUE=-12.25", "MAX. VALUE=(NONE)", "DEF. VALUE=(NONE)"}));
  // Bytes fields have no value lines.
  EXPECT_EQ(props(12), (QStringList{"FILED NUMBER=19", "REQUIRED=Yes", "PICTURE=(NONE)"}));
  PropertyList none;
  EXPECT_THROW(ListValCheckProps(t, 13, none), EDBEngineError);
}

TEST_F(StructureTables, ValCheckDisplayForm) {
  OpenTableRef t = Open("ORDERS.DB");
  PropertyList list;
  ListValCheckDisplayProps(t, list);
  auto block = [&](const QString& head) {
    qsizetype i = list.indexOf(head);
    EXPECT_GE(i, 0) << head.toStdString();
    return i < 0 ? QStringList() : list.mid(i + 1, 4);
  };
  EXPECT_EQ(block("2=Code"), (QStringList{"Required=No", "Min Value=(none)", "Max Value=(none)",
                                          "Default Value=(none)"}));
  EXPECT_EQ(list[list.indexOf("2=Code") + 5], "Picture=(none)");
  EXPECT_EQ(block("3=Name"), (QStringList{"Required=Yes", "Min Value=Aa", "Max Value=Zz=>",
                                          "Default Value=Bob"}));
  EXPECT_EQ(block("4=Num").mid(1), (QStringList{"Min Value=1.5", "Max Value=1234567.25",
                                                "Default Value=(None)"}));
  EXPECT_EQ(block("5=Price").mid(1),
            (QStringList{"Min Value=(none)", "Max Value=999.5", "Default Value=(None)"}));
  EXPECT_EQ(block("6=When").mid(1),
            (QStringList{"Min Value=2/29/24", "Max Value=(none)", "Default Value=TODAY"}));
  EXPECT_EQ(block("7=Small").mid(1),
            (QStringList{"Min Value=-5", "Max Value=100", "Default Value=(None)"}));
  EXPECT_EQ(block("9=Stamp").mid(1), (QStringList{"Min Value=2/29/24 1:00:00 AM",
                                                  "Max Value=NOW", "Default Value=(none)"}));
  EXPECT_EQ(block("10=Flag").mid(1), (QStringList{"Min Value=(not available)",
                                                  "Max Value=(not available)",
                                                  "Default Value=True"}));
  EXPECT_EQ(block("11=Flag2").mid(1), (QStringList{"Min Value=(not available)",
                                                   "Max Value=(not available)",
                                                   "Default Value=(none)"}));
  EXPECT_EQ(block("12=Amount").mid(1),
            (QStringList{"Min value=-12.25", "Max Value=(none)", "Default Value=(none)"}));
  EXPECT_EQ(block("19=Raw").mid(0, 2), (QStringList{"Required=Yes", "Picture=(none)"}));
  EXPECT_EQ(list.last(), "Picture=(none)");
}

TEST_F(StructureTables, LinkFromBothSides) {
  OpenTableRef orders = Open("ORDERS.DB");
  QStringList names;
  ListRefIntNames(orders, true, names);
  EXPECT_EQ(names, QStringList{"ToParent"});
  PropertyList props;
  ListRefIntProps(orders, 1, props);
  EXPECT_EQ(props, (QStringList{"Name=ToParent", "Type=DEPENDENT", "Master table=PARENT.DB",
                                "Modify Mode=CASCADE", "Delete Mode=RESTRICT",
                                "Fields in the linking key=1", "Field(1)=Parent>PId"}));
  QStringList a, b;
  ListRefIntFieldPairs(orders, 1, a, b);
  EXPECT_EQ(a, QStringList{"Field(1)=Parent"});
  EXPECT_EQ(b, QStringList{"Field(1)=PId"});

  OpenTableRef parent = Open("PARENT.DB");
  names.clear();
  ListRefIntNames(parent, false, names);
  EXPECT_TRUE(names.isEmpty());  // only links to parents without the all-links flag
  ListRefIntNames(parent, true, names);
  ASSERT_EQ(names.size(), 1);
  props.clear();
  ListRefIntProps(parent, 1, props);
  ASSERT_GE(props.size(), 7);
  EXPECT_EQ(props[1], "Type=MASTER");
  EXPECT_EQ(props[2], "Dependent table=ORDERS.DB");
  EXPECT_EQ(props[6], "Field(1)=PId>Parent");
}

TEST_F(StructureTables, PlainTableHasNoChecksLinksOrPasswords) {
  OpenTableRef t = Open("CODES.DB");
  QStringList checks, links, passwords;
  ListValCheckFields(t, checks);
  ListRefIntNames(t, true, links);
  ListPasswords(t, passwords);
  EXPECT_TRUE(checks.isEmpty());
  EXPECT_TRUE(links.isEmpty());
  EXPECT_TRUE(passwords.isEmpty());
  QStringList names;
  ListIndexNames(t, names);
  EXPECT_EQ(names, QStringList{""});
}

TEST_F(StructureTables, PasswordsAndRights) {
  MakeStaff();
  OpenTableRef t = Open("STAFF.DB");
  PropertyList table;
  ListTableProps(t.cursor, table);
  EXPECT_EQ(table.last(), "PROTECTED=Yes");
  QStringList passwords;
  ListPasswords(t, passwords);
  EXPECT_EQ(passwords, (QStringList{"reader", "clerk", "owner"}));
  auto props = [&](int s) {
    PropertyList l;
    ListSecurityProps(t, s, l);
    return l;
  };
  EXPECT_EQ(props(1), (QStringList{"Password= reader", "TABLE RIGHT=READ ONLY", "Id=READ ONLY",
                                   "Name=READ ONLY", "Salary=NO PREVILEGIES"}));
  EXPECT_EQ(props(2), (QStringList{"Password= clerk", "TABLE RIGHT=UPDATE", "Id=FULL RIGHTS",
                                   "Name=FULL RIGHTS", "Salary=NO PREVILEGIES"}));
  EXPECT_EQ(props(3), (QStringList{"Password= owner", "TABLE RIGHT=FULL RIGHTS", "Id=FULL RIGHTS",
                                   "Name=READ ONLY", "Salary=NO PREVILEGIES"}));
}

TEST_F(StructureTables, FamilyMembers) {
  OpenTableRef t = Open("ORDERS.DB");
  QStringList list;
  ListFamilyMembers(t, list);
  ASSERT_EQ(list.size() % 2, 0);
  QStringList kinds;
  for (int i = 1; i < list.size(); i += 2) kinds << list[i];
  EXPECT_EQ(list.value(0), "ORDERS.DB");
  EXPECT_EQ(list.value(1), "TABLE");
  EXPECT_TRUE(kinds.contains("INDEX"));
  EXPECT_TRUE(kinds.contains("VALIDITY CHECKS"));
  EXPECT_TRUE(kinds.contains("SECONDARY INDEX"));
  EXPECT_TRUE(kinds.contains("BLOB FILE"));
  EXPECT_FALSE(kinds.contains("UNKNOWN"));
}

TEST_F(StructureTables, DatabaseFilesByExtension) {
  for (const char* name : {"QUERY.Sql", "view.qbe", "ODD.Db", "notes.txt"})
    std::ofstream(dir / name) << "12345";
  QStringList list{"cleared"};
  ListDatabaseFiles(db, "*", list);
  // Three tables of five lines, two query files of four; ODD.Db and notes.txt left out.
  ASSERT_EQ(list.size(), 3 * 5 + 2 * 4);
  const QString orders = QString::number(std::filesystem::file_size(dir / "ORDERS.DB"));
  EXPECT_EQ(list[5], "ORDERS.DB");
  EXPECT_EQ(list[6], "PARADOX");
  EXPECT_EQ(list[9], orders);
  // Written just now, in local time.
  EXPECT_EQ(list[7], QLocale().toString(QDate::currentDate(), QLocale::ShortFormat));
  EXPECT_EQ(list.mid(15, 1), QStringList{"QUERY.Sql"});
  EXPECT_EQ(list[18], "5");
  EXPECT_EQ(list[19], "view.qbe");
  EXPECT_EQ(list[22], "5");
  ListDatabaseFiles(db, "*.sql", list);
  EXPECT_EQ(list.size(), 4);
  EXPECT_THROW(ListDatabaseFiles(999999, "*", list), EDBEngineError);
}

TEST_F(StructureTables, ParadoxTableFiles) {
  QStringList list;
  ListParadoxTableFiles(db, list);
  EXPECT_EQ(list, (QStringList{"CODES.DB", "ORDERS.DB", "PARENT.DB"}));
}

// Corpus tables with checks, links and secondary indexes.
class StructureCorpus : public testing::Test {
 protected:
  void SetUp() override {
    dir = CorpusDir("paradox/joins");
    if (dir.empty()) GTEST_SKIP() << "corpus absent";
    ASSERT_EQ(OpenDatabase(dir, db), Ok) << LastErrorMessage();
  }
  void TearDown() override {
    if (cursor) CloseCursor(cursor);
    if (db) CloseDatabase(db);
  }
  OpenTableRef Open(const std::string& name) {
    EXPECT_EQ(OpenTable(db, name, "", OpenMode::ReadOnly, cursor), Ok) << LastErrorMessage();
    return OpenTableRef::Of(db, cursor, QString::fromStdString(name));
  }

  FixedLocale locale;
  std::string dir;
  hDBIDb db = 0;
  hDBICur cursor = 0;
};

TEST_F(StructureCorpus, TableWithTwoParentsChecksAndIndexes) {
  OpenTableRef t = Open("C.DB");
  QStringList indexes, checks, links;
  ListIndexNames(t, indexes);
  ListValCheckFields(t, checks);
  ListRefIntNames(t, true, links);
  EXPECT_EQ(indexes, (QStringList{"", "A", "B"}));
  EXPECT_EQ(checks, (QStringList{"C", "A"}));
  EXPECT_EQ(links, (QStringList{"Reference A", "Reference B"}));
  PropertyList link, check, index;
  ListRefIntProps(t, 2, link);
  EXPECT_EQ(link, (QStringList{"Name=Reference B", "Type=DEPENDENT", "Master table=B.db",
                               "Modify Mode=CASCADE", "Delete Mode=RESTRICT",
                               "Fields in the linking key=1", "Field(1)=B>B"}));
  ListValCheckProps(t, 2, check);
  EXPECT_EQ(check, (QStringList{"FILED NUMBER=2", "REQUIRED=Yes", "MIN. VALUE=(NONE)",
                                "MAX. VALUE=(NONE)", "DEF. VALUE=(NONE)", "PICTURE=(NONE)"}));
  ListIndexProps(t, "B", index);
  EXPECT_EQ(index, (QStringList{"PRIMARY=No", "UNIQUE=No", "MAINTAINED=Yes", "CASE SENSITIVE=Yes",
                                "DESCENDING=No", "SUBSET=No", "EXPRESSION INDEX=No",
                                "FIELDS IN KEY=1", "FIELD(1)=B"}));
  QStringList family;
  ListFamilyMembers(t, family);
  EXPECT_EQ(family, (QStringList{"C.DB", "TABLE", "C.PX", "INDEX", "C.VAL", "VALIDITY CHECKS",
                                 "C.X02", "SECONDARY INDEX", "C.Y02", "SECONDARY INDEX", "C.X03",
                                 "SECONDARY INDEX", "C.Y03", "SECONDARY INDEX"}));
}

TEST_F(StructureCorpus, MasterAndDependentLinksAndAPicture) {
  OpenTableRef t = Open("multiple.db");
  QStringList links;
  ListRefIntNames(t, true, links);
  ASSERT_EQ(links, (QStringList{"fk2", "fk_multiple_primary", "to_multiple"}));
  QStringList parents;
  ListRefIntNames(t, false, parents);
  EXPECT_EQ(parents, (QStringList{"fk2", "fk_multiple_primary"}));
  PropertyList master, check;
  ListRefIntProps(t, 3, master);
  EXPECT_EQ(master, (QStringList{"Name=to_multiple", "Type=MASTER",
                                 "Dependent table=to_multiple.db", "Modify Mode=CASCADE",
                                 "Delete Mode=RESTRICT", "Fields in the linking key=1",
                                 "Field(1)=ID>FK"}));
  ListValCheckProps(t, 2, check);
  EXPECT_EQ(check.last(), "PICTURE=[(*3{#}) ]*3{#}-*4{#}");
  PropertyList display;
  ListValCheckDisplayProps(t, display);
  EXPECT_TRUE(display.contains("Picture=[(*3{#}) ]*3{#}-*4{#}"));
}

TEST_F(StructureCorpus, CompositeLinkAndIndex) {
  OpenTableRef t = Open("fk4.db");
  PropertyList link, index;
  ListRefIntProps(t, 1, link);
  EXPECT_EQ(link.mid(5), (QStringList{"Fields in the linking key=2", "Field(1)=FK1>ID1",
                                      "Field(2)=FK>ID2"}));
  QStringList a, b;
  ListRefIntFieldPairs(t, 1, a, b);
  EXPECT_EQ(a, (QStringList{"Field(1)=FK1", "Field(2)=FK"}));
  EXPECT_EQ(b, (QStringList{"Field(1)=ID1", "Field(2)=ID2"}));
  ListIndexProps(t, "reference", index);
  EXPECT_EQ(index.mid(7), (QStringList{"FIELDS IN KEY=2", "FIELD(1)=FK1", "FIELD(2)=FK"}));
  QStringList names, counts;
  ListIndexNamesAndKeyCounts(t, names, counts);
  EXPECT_EQ(names, (QStringList{"", "reference"}));
  EXPECT_EQ(counts, (QStringList{"1", "2"}));
}

}  // namespace
