// SQL statements over a database's own tables: tables made and filled by
// SQL, answers read as cursors, the dialect's table names, dates, changes
// that the engine refuses, the header comment, answers made permanent, and
// progress that cancels.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "engine/dataset/fieldtext.h"
#include "engine/engine.h"
#include "engine/family.h"
#include "engine/io/memo.h"
#include "engine/sql/query.h"
#include "engine/sql/vtab.h"
#include "tests/support/tempdir.h"

using namespace engine;
namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::vector<std::string>>;

class SqlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(OpenDatabase(dir_.path(), db_), Ok) << LastErrorMessage();
    Exec("CREATE TABLE customer (\"Cust No\" INTEGER, Name CHAR(20), City CHAR(15), "
         "Since DATE, Credit MONEY, PRIMARY KEY (\"Cust No\"))");
    Exec("CREATE TABLE orders (\"Order No\" INTEGER, \"Cust No\" INTEGER, Total DECIMAL(12,2), "
         "Placed TIMESTAMP, Paid BOOLEAN, PRIMARY KEY (\"Order No\"))");
    Exec("CREATE TABLE 'parts.dbf' (PartNo INTEGER, Descr CHAR(20), Price FLOAT)");
    EXPECT_EQ(Exec("INSERT INTO customer VALUES (1, 'Ada', 'Bristol', '2020-01-15', 100), "
                   "(2, 'Bob', 'Bath', '2021-06-01', 50), (3, 'Cy', 'Bristol', '2019-11-30', NULL), "
                   "(4, 'Di', NULL, '2022-02-28', 75)"),
              4);
    Exec("INSERT INTO orders VALUES (10, 1, 12.5, '2024-03-01 10:00:00', 1), "
         "(11, 1, 7.25, '2024-03-02 11:30:00', 0), (12, 2, 100, '2024-04-01 09:00:00', 1), "
         "(13, 3, 3.1, '2024-05-05 12:00:00', NULL)");
    Exec("INSERT INTO \"parts.dbf\" VALUES (1, 'bolt', 0.5), (2, 'nut', 0.25)");
  }
  void TearDown() override { CloseDatabase(db_); }

  // Runs a change; the number of records it changed.
  std::int64_t Exec(const std::string& sql) {
    hDBIStmt stmt = 0;
    EXPECT_EQ(QueryAlloc(db_, QueryLang::Sql, stmt), Ok);
    EXPECT_EQ(QueryPrepare(stmt, sql), Ok) << sql << ": " << LastErrorMessage();
    hDBICur answer = 0;
    EXPECT_EQ(QueryExec(stmt, &answer), Ok) << sql << ": " << LastErrorMessage();
    EXPECT_EQ(answer, 0u);
    std::int64_t count = -1;
    GetStmtProp(stmt, stmtRowCount, count);
    QueryFree(stmt);
    return count;
  }
  // The result code of a statement that should fail.
  Result Refused(const std::string& sql) {
    hDBIStmt stmt = 0;
    QueryAlloc(db_, QueryLang::Sql, stmt);
    Result r = QueryPrepare(stmt, sql);
    hDBICur answer = 0;
    if (!r) r = QueryExec(stmt, &answer);
    if (answer) CloseCursor(answer);
    QueryFree(stmt);
    return r;
  }
  Rows Select(const std::string& sql) {
    hDBIStmt stmt = 0;
    EXPECT_EQ(QueryAlloc(db_, QueryLang::Sql, stmt), Ok);
    EXPECT_EQ(QueryPrepare(stmt, sql), Ok) << sql << ": " << LastErrorMessage();
    hDBICur answer = 0;
    EXPECT_EQ(QueryExec(stmt, &answer), Ok) << sql << ": " << LastErrorMessage();
    Rows rows = Read(answer);
    CloseCursor(answer);
    QueryFree(stmt);
    return rows;
  }
  static Rows Read(hDBICur answer) {
    Rows rows;
    std::vector<Value> values;
    SetToBegin(answer);
    while (GetNextRecord(answer, &values) == Ok) {
      rows.emplace_back();
      for (const Value& v : values) rows.back().push_back(IsNull(v) ? "NULL" : FormatValue(v));
    }
    return rows;
  }

  TempDir dir_;
  hDBIDb db_ = 0;
};

TEST_F(SqlTest, JoinsGroupsOrdersAndSubqueries) {
  EXPECT_EQ(Select("SELECT c.Name, count(*) AS n, sum(o.Total) AS total FROM customer c "
                   "JOIN orders o ON o.\"Cust No\" = c.\"Cust No\" GROUP BY c.Name ORDER BY c.Name"),
            (Rows{{"Ada", "2", "19.75"}, {"Bob", "1", "100"}, {"Cy", "1", "3.1"}}));
  EXPECT_EQ(Select("SELECT Name FROM customer WHERE \"Cust No\" NOT IN "
                   "(SELECT \"Cust No\" FROM orders) ORDER BY 1"),
            (Rows{{"Di"}}));
  EXPECT_EQ(Select("SELECT Name, rank() OVER (ORDER BY Credit DESC) AS r FROM customer "
                   "WHERE Credit IS NOT NULL ORDER BY r"),
            (Rows{{"Ada", "1"}, {"Di", "2"}, {"Bob", "3"}}));
  EXPECT_EQ(Select("SELECT City, count(*) AS n FROM customer GROUP BY City HAVING count(*) > 1"),
            (Rows{{"Bristol", "2"}}));
}

TEST_F(SqlTest, TableNamesInEveryForm) {
  const Rows two = {{"2"}};
  EXPECT_EQ(Select("SELECT count(*) AS n FROM 'parts.dbf'"), two);
  EXPECT_EQ(Select("SELECT count(*) AS n FROM \"PARTS.DBF\""), two);
  EXPECT_EQ(Select("SELECT count(*) AS n FROM parts"), two);
  EXPECT_EQ(Select("SELECT count(*) AS n FROM \"Customer.db\" WHERE customer.\"Cust No\" < 3"), two);
  ASSERT_EQ(AddStandardAlias("SQLWORK", dir_.path(), "PARADOX"), Ok) << LastErrorMessage();
  EXPECT_EQ(Select("SELECT count(*) AS n FROM \":SQLWORK:customer.db\" c, ':SQLWORK:orders' o "
                   "WHERE c.\"Cust No\" = o.\"Cust No\""),
            (Rows{{"4"}}));
  DeleteAlias("SQLWORK");
}

TEST_F(SqlTest, DatesCompareWithQuotedLiterals) {
  EXPECT_EQ(Select("SELECT Name, Since FROM customer WHERE Since >= '2021-01-01' ORDER BY Since"),
            (Rows{{"Bob", FormatValue(DateValue{DayNumber(2021, 6, 1)})},
                  {"Di", FormatValue(DateValue{DayNumber(2022, 2, 28)})}}));
  EXPECT_EQ(Select("SELECT \"Order No\" FROM orders WHERE Placed BETWEEN '2024-03-02' AND '2024-04-30'"),
            (Rows{{"11"}, {"12"}}));
  EXPECT_EQ(Select("SELECT strftime('%Y', Since) AS y FROM customer WHERE \"Cust No\" = 3"),
            (Rows{{"2019"}}));
}

TEST_F(SqlTest, AnswerKeepsFieldTypes) {
  hDBIStmt stmt = 0;
  QueryAlloc(db_, QueryLang::Sql, stmt);
  ASSERT_EQ(QueryPrepare(stmt, "SELECT \"Cust No\", Name, Since, Credit, Name || '!' AS x FROM customer"), Ok);
  std::int64_t live = 0;
  EXPECT_EQ(GetStmtProp(stmt, stmtRowCount, live), Ok);
  EXPECT_EQ(live, -1);  // not known before the statement runs
  ASSERT_EQ(SetStmtProp(stmt, stmtLiveness, 1), Ok);
  hDBICur answer = 0;
  ASSERT_EQ(QueryExec(stmt, &answer), Ok) << LastErrorMessage();
  // A live answer was asked for; a query of some fields gets a canned one and says so.
  EXPECT_EQ(GetStmtProp(stmt, stmtLiveness, live), Ok);
  EXPECT_EQ(live, 0);
  std::vector<FieldDesc> fields;
  ASSERT_EQ(GetFieldDescs(answer, fields), Ok);
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0].type, pxLong);
  EXPECT_EQ(fields[1].type, pxAlpha);
  EXPECT_EQ(fields[1].units1, 20);
  EXPECT_EQ(fields[2].type, pxDate);
  EXPECT_EQ(fields[3].type, pxMoney);
  EXPECT_EQ(fields[4].type, pxAlpha);
  std::int64_t count = 0;
  EXPECT_EQ(GetStmtProp(stmt, stmtRowCount, count), Ok);
  EXPECT_EQ(count, 4);
  std::uint32_t records = 0;
  EXPECT_EQ(GetRecordCount(answer, records), Ok);
  EXPECT_EQ(records, 4u);
  EXPECT_EQ(SetToRecordNo(answer, 2), Ok);
  Value v;
  EXPECT_EQ(GetField(answer, 2, v), Ok);
  EXPECT_EQ(std::get<std::string>(v), "Bob");
  CloseCursor(answer);
  QueryFree(stmt);
}

TEST_F(SqlTest, ChangesGoThroughTheEngine) {
  EXPECT_EQ(Exec("UPDATE customer SET City = 'Wells' WHERE City IS NULL"), 1);
  EXPECT_EQ(Select("SELECT Name FROM customer WHERE City = 'Wells'"), (Rows{{"Di"}}));
  // A duplicate key is refused with the engine's code and message.
  EXPECT_EQ(Refused("INSERT INTO customer (\"Cust No\", Name) VALUES (2, 'Twin')"), ErrKeyViolation);
  EXPECT_NE(LastErrorMessage().find("exists already"), std::string::npos) << LastErrorMessage();
  // The rows of one INSERT are one change: a refused row keeps out the others.
  EXPECT_EQ(Refused("INSERT INTO customer (\"Cust No\", Name) VALUES (7, 'New'), (3, 'Twin')"),
            ErrKeyViolation);
  EXPECT_EQ(Select("SELECT count(*) AS n FROM customer"), (Rows{{"4"}}));
  EXPECT_EQ(Refused("INSERT INTO customer (\"Cust No\", Since) VALUES (9, 'not a date')"),
            ErrInvalidValue);
  EXPECT_EQ(Exec("DELETE FROM orders WHERE Total < 10"), 2);
  EXPECT_EQ(Select("SELECT \"Order No\" FROM orders ORDER BY 1"), (Rows{{"10"}, {"12"}}));
  // A key change moves the record in the key order.
  EXPECT_EQ(Exec("UPDATE orders SET \"Order No\" = 5 WHERE \"Order No\" = 12"), 1);
  EXPECT_EQ(Select("SELECT \"Order No\", Total FROM orders"), (Rows{{"5", "100.00"}, {"10", "12.50"}}));
  EXPECT_EQ(Exec("DELETE FROM 'parts.dbf'"), 2);
  EXPECT_EQ(Select("SELECT count(*) AS n FROM parts"), (Rows{{"0"}}));
}

// Every row a statement changes is part of one change of the table: a row
// refused late undoes the rows changed before it.
// Statements share connections whose tables stay declared between them:
// a later statement must see each table as it is now, never a table of an
// earlier statement under a name it cannot resolve, and no statement may
// leave a table open behind it.
TEST_F(SqlTest, StatementsSeeTheTablesAsTheyAreNow) {
  io::SetMemoSettling(0);  // so that declared tables are kept at all
  auto tick = [] { std::this_thread::sleep_for(std::chrono::milliseconds(30)); };
  auto exclusive = [&](const char* table) {
    hDBICur c = 0;
    const Result r = OpenTable(db_, table, "", OpenMode::ReadWrite, ShareMode::Exclusive, c);
    if (c) CloseCursor(c);
    return r;
  };
  tick();
  const Rows names = {{"Ada"}, {"Bob"}, {"Cy"}, {"Di"}};
  EXPECT_EQ(Select("SELECT Name FROM customer ORDER BY 1"), names);
  EXPECT_EQ(Select("SELECT Name FROM customer ORDER BY 1"), names);
  tick();
  EXPECT_EQ(Exec("INSERT INTO customer (\"Cust No\", Name) VALUES (5, 'Eve')"), 1);
  EXPECT_EQ(exclusive("customer.DB"), Ok) << LastErrorMessage();
  EXPECT_EQ(Select("SELECT count(*) FROM customer"), (Rows{{"5"}}));
  EXPECT_EQ(Refused("UPDATE customer SET \"Cust No\" = 1 WHERE \"Cust No\" = 2"), ErrKeyViolation);
  EXPECT_EQ(exclusive("customer.DB"), Ok) << LastErrorMessage();

  // Another table under the same name, with other fields.
  EXPECT_EQ(Select("SELECT count(*) FROM customer"), (Rows{{"5"}}));
  tick();
  Exec("DROP TABLE customer");
  Exec("CREATE TABLE customer (Code CHAR(4))");
  EXPECT_EQ(Select("SELECT * FROM customer"), Rows{});
  tick();
  EXPECT_EQ(Exec("INSERT INTO customer VALUES ('x')"), 1);
  EXPECT_EQ(Select("SELECT * FROM customer"), (Rows{{"x"}}));

  // A name of another database's table means nothing here.
  EXPECT_EQ(Select("SELECT count(*) FROM orders"), (Rows{{"4"}}));
  TempDir other;
  hDBIDb otherDb = 0;
  ASSERT_EQ(OpenDatabase(other.path(), otherDb), Ok);
  std::swap(db_, otherDb);
  EXPECT_EQ(Refused("SELECT * FROM orders"), ErrQuerySyntax);
  std::swap(db_, otherDb);
  CloseDatabase(otherDb);
  EXPECT_EQ(Select("SELECT count(*) FROM orders"), (Rows{{"4"}}));
  io::SetMemoSettling(2);
}

TEST_F(SqlTest, AStatementChangesAllItsRowsOrNone) {
  // An UPDATE whose second row takes the key the first took.
  EXPECT_EQ(Refused("UPDATE customer SET \"Cust No\" = 200 WHERE \"Cust No\" <= 2"), ErrKeyViolation);
  EXPECT_EQ(Select("SELECT \"Cust No\" FROM customer"), (Rows{{"1"}, {"2"}, {"3"}, {"4"}}));
  // A DELETE refused by a link at its second row: customer 4 has a visit.
  TableDesc visits;
  visits.tableName = "visits";
  visits.driverType = "PARADOX";
  FieldDesc no, who;
  no.number = 1, no.name = "No", no.type = pxLong;
  who.number = 2, who.name = "Who", who.type = pxLong;
  visits.fields = {no, who};
  IndexDesc key;
  key.primary = key.unique = key.maintained = 1;
  key.fieldsInKey = 1;
  key.keyFields[0] = 1;
  visits.indexes.push_back(key);
  RefIntDesc link;
  link.name = "Visitor";
  link.kind = riDependent;
  link.otherTable = "customer.db";
  link.fieldCount = 1;
  link.thisFields[0] = 2;
  link.otherFields[0] = 1;
  visits.refInts.push_back(link);
  ASSERT_EQ(CreateTable(db_, false, visits), Ok) << LastErrorMessage();
  EXPECT_EQ(Exec("INSERT INTO visits VALUES (1, 4)"), 1);
  EXPECT_NE(Refused("DELETE FROM customer WHERE \"Cust No\" >= 3"), Ok);
  EXPECT_EQ(Select("SELECT \"Cust No\" FROM customer"), (Rows{{"1"}, {"2"}, {"3"}, {"4"}}));
  // dBASE: the second row's value does not fit its field.
  EXPECT_EQ(Refused("UPDATE parts SET Price = CASE PartNo WHEN 1 THEN 9 ELSE 'lots' END"), ErrInvalidValue);
  EXPECT_EQ(Select("SELECT PartNo, Price FROM parts"), (Rows{{"1", "0.5"}, {"2", "0.25"}}));
  // A change the cursor's closing leaves unfinished is undone.
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(dir_.path() + "/customer.DB", OpenMode::ReadWrite, cursor), Ok);
  ASSERT_EQ(BeginChange(cursor), Ok);
  ASSERT_EQ(SetToBegin(cursor), Ok);
  ASSERT_EQ(GetNextRecord(cursor, nullptr), Ok);
  ASSERT_EQ(DeleteRecord(cursor), Ok);
  std::vector<Value> values;
  ASSERT_EQ(GetRecord(cursor, values), Ok);  // reads see the change: customer 2 is first now
  EXPECT_EQ(std::get<std::int64_t>(values[0]), 2);
  CloseCursor(cursor);
  EXPECT_EQ(Select("SELECT count(*) FROM customer"), (Rows{{"4"}}));
  // The tables take changes again afterwards, and no journal is left.
  EXPECT_EQ(Exec("UPDATE customer SET Name = 'A' WHERE \"Cust No\" < 3"), 2);
  EXPECT_EQ(Exec("DELETE FROM parts WHERE PartNo = 2"), 1);
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    const std::string ext = entry.path().extension().string();
    EXPECT_TRUE(ext != ".QJR" && ext != ".QJD") << entry.path();
  }
}

// A live answer is the table itself, seen through the query: what is
// changed through it is changed in the table, and it keeps the query's rows
// and order as they change.
TEST_F(SqlTest, LiveAnswersChangeTheTable) {
  auto run = [&](const std::string& sql, hDBICur& answer) {
    hDBIStmt stmt = 0;
    QueryAlloc(db_, QueryLang::Sql, stmt);
    EXPECT_EQ(QueryPrepare(stmt, sql), Ok) << LastErrorMessage();
    SetStmtProp(stmt, stmtLiveness, 1);
    EXPECT_EQ(QueryExec(stmt, &answer), Ok) << sql << ": " << LastErrorMessage();
    std::int64_t live = -1;
    GetStmtProp(stmt, stmtLiveness, live);
    QueryFree(stmt);
    return live;
  };
  hDBICur answer = 0;
  ASSERT_EQ(run("SELECT * FROM customer WHERE City = 'Bristol' OR City IS NULL ORDER BY Name DESC", answer), 1);
  EXPECT_EQ(Read(answer), (Rows{{"4", "Di", "NULL", "2022-02-28", "75"},
                                {"3", "Cy", "Bristol", "2019-11-30", "NULL"},
                                {"1", "Ada", "Bristol", "2020-01-15", "100"}}));
  std::vector<Value> values;
  // Changing Cy's key moves the record in the table; the answer keeps its place.
  ASSERT_EQ(SetToRecordNo(answer, 2), Ok);
  ASSERT_EQ(GetRecord(answer, values), Ok);
  values[0] = std::int64_t{30};
  ASSERT_EQ(ModifyRecord(answer, values), Ok) << LastErrorMessage();
  // Di goes; a new record joins the answer where the cursor is.
  ASSERT_EQ(SetToRecordNo(answer, 1), Ok);
  ASSERT_EQ(DeleteRecord(answer), Ok) << LastErrorMessage();
  ASSERT_EQ(InsertRecord(answer, {std::int64_t{0}, std::string("Eve"), std::string("Bristol"), Value{}, Value{}}), Ok)
      << LastErrorMessage();
  EXPECT_EQ(Read(answer), (Rows{{"0", "Eve", "Bristol", "NULL", "NULL"},
                                {"30", "Cy", "Bristol", "2019-11-30", "NULL"},
                                {"1", "Ada", "Bristol", "2020-01-15", "100"}}));
  // The engine's rules hold: a key that is there already is refused.
  ASSERT_EQ(SetToRecordNo(answer, 1), Ok);
  ASSERT_EQ(GetRecord(answer, values), Ok);
  values[0] = std::int64_t{2};
  EXPECT_EQ(ModifyRecord(answer, values), ErrKeyViolation);
  CloseCursor(answer);
  EXPECT_EQ(Select("SELECT \"Cust No\", Name FROM customer"),
            (Rows{{"0", "Eve"}, {"1", "Ada"}, {"2", "Bob"}, {"30", "Cy"}}));
  // Queries that cannot be live get canned answers.
  for (const char* canned : {"SELECT Name FROM customer", "SELECT DISTINCT * FROM customer",
                             "SELECT * FROM customer c JOIN orders o ON o.\"Cust No\" = c.\"Cust No\"",
                             "SELECT * FROM customer LIMIT 2"}) {
    EXPECT_EQ(run(canned, answer), 0) << canned;
    CloseCursor(answer);
  }
  // dBASE records keep their places: a deleted one is marked and leaves the answer.
  ASSERT_EQ(run("SELECT * FROM parts WHERE Price < 1 ORDER BY Descr DESC", answer), 1);
  EXPECT_EQ(Read(answer), (Rows{{"2", "nut", "0.25"}, {"1", "bolt", "0.5"}}));
  ASSERT_EQ(SetToRecordNo(answer, 2), Ok);
  ASSERT_EQ(GetRecord(answer, values), Ok);
  values[2] = 0.75;
  ASSERT_EQ(ModifyRecord(answer, values), Ok) << LastErrorMessage();
  ASSERT_EQ(SetToRecordNo(answer, 1), Ok);
  ASSERT_EQ(DeleteRecord(answer), Ok) << LastErrorMessage();
  ASSERT_EQ(InsertRecord(answer, {std::int64_t{3}, std::string("washer"), 0.1}), Ok) << LastErrorMessage();
  EXPECT_EQ(Read(answer), (Rows{{"3", "washer", "0.1"}, {"1", "bolt", "0.75"}}));
  Bookmark mark;
  ASSERT_EQ(SetToRecordNo(answer, 1), Ok);
  ASSERT_EQ(GetBookmark(answer, mark), Ok);
  ASSERT_EQ(SetToBegin(answer), Ok);
  ASSERT_EQ(SetToBookmark(answer, mark), Ok);
  ASSERT_EQ(GetRecord(answer, values), Ok);
  EXPECT_EQ(std::get<std::string>(values[1]), "washer");
  CloseCursor(answer);
  EXPECT_EQ(Select("SELECT PartNo, Descr, Price FROM parts"), (Rows{{"1", "bolt", "0.75"}, {"3", "washer", "0.1"}}));
}

TEST_F(SqlTest, DeletingManyRecordsFindsEachAgain) {
  Exec("CREATE TABLE many (k INTEGER, v CHAR(5), PRIMARY KEY (k))");
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
       "INSERT INTO many SELECT i, 'r' || i FROM n");
  EXPECT_EQ(Exec("DELETE FROM many WHERE k % 3 = 0"), 166);
  EXPECT_EQ(Select("SELECT count(*), sum(k) FROM many"), (Rows{{"334", std::to_string(125250 - 3 * 166 * 167 / 2)}}));
  EXPECT_EQ(Exec("UPDATE many SET v = 'x' WHERE k > 490"), 7);
  EXPECT_EQ(Select("SELECT count(*) FROM many WHERE v = 'x'"), (Rows{{"7"}}));
}

TEST_F(SqlTest, KeyLookupSeeksInsteadOfScanning) {
  Exec("CREATE TABLE big (k INTEGER, v CHAR(8), PRIMARY KEY (k))");
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
       "INSERT INTO big SELECT i, 'v' || i FROM n");
  const std::uint64_t before = sql::RecordsReadTotal();
  EXPECT_EQ(Select("SELECT v FROM big WHERE k = 4321"), (Rows{{"v4321"}}));
  EXPECT_LT(sql::RecordsReadTotal() - before, 40u);
  const std::uint64_t range = sql::RecordsReadTotal();
  EXPECT_EQ(Select("SELECT count(*) FROM big WHERE k > 4990 AND k <= 4995"), (Rows{{"5"}}));
  EXPECT_LT(sql::RecordsReadTotal() - range, 40u);
  EXPECT_EQ(Select("SELECT count(*) FROM big WHERE k < 3"), (Rows{{"2"}}));
  EXPECT_EQ(Select("SELECT count(*) FROM big WHERE k = 99999"), (Rows{{"0"}}));
}

TEST_F(SqlTest, SecondaryIndexLookupSeeks) {
  Exec("CREATE TABLE big (k INTEGER, w INTEGER, v CHAR(8), PRIMARY KEY (k))");
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
       "INSERT INTO big SELECT i, (i * 7919) % 3001, 'v' || i FROM n");
  Exec("CREATE INDEX w ON big (w)");
  const std::uint64_t before = sql::RecordsReadTotal();
  EXPECT_EQ(Select("SELECT k FROM big WHERE w = 7919 % 3001"), (Rows{{"1"}}));
  EXPECT_EQ(Select("SELECT count(*) FROM big WHERE w BETWEEN 10 AND 19"), (Rows{{"10"}}));
  EXPECT_LT(sql::RecordsReadTotal() - before, 80u);
  // Changes found through the index reach the right records.
  EXPECT_EQ(Exec("DELETE FROM big WHERE w < 100"), 99);
  EXPECT_EQ(Exec("UPDATE big SET v = 'x' WHERE w > 2990"), 10);
  EXPECT_EQ(Select("SELECT count(*), min(w) FROM big"), (Rows{{"2901", "100"}}));
  EXPECT_EQ(Select("SELECT count(*) FROM big WHERE v = 'x' AND w > 2990"), (Rows{{"10"}}));
}

TEST_F(SqlTest, SyntaxErrorsNameLineAndToken) {
  hDBIStmt stmt = 0;
  QueryAlloc(db_, QueryLang::Sql, stmt);
  EXPECT_EQ(QueryPrepare(stmt, "SELECT *\nFORM customer"), ErrQuerySyntax);
  EXPECT_NE(LastErrorMessage().find("Line 2"), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find("token FORM"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(QueryPrepare(stmt, "CREATE TABLE t (a WIBBLE)"), ErrQuerySyntax);
  EXPECT_NE(LastErrorMessage().find("WIBBLE"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(QueryPrepare(stmt, "   "), ErrQuerySyntax);
  QueryFree(stmt);
}

TEST_F(SqlTest, DefinitionsRoundTrip) {
  Exec("CREATE TABLE kinds (a SMALLINT, b NUMERIC(10,3), c VARCHAR(7), d TIME, e AUTOINC, "
       "f BYTES(4), g BLOB(20, 1), h BLOB(0, 2), i BLOB(0, 3), j BLOB(0, 4), k BLOB(0, 5), "
       "l FLOAT, m BOOLEAN, PRIMARY KEY (a))");
  hDBICur cur = 0;
  ASSERT_EQ(OpenTable(db_, "kinds.DB", "", OpenMode::ReadOnly, cur), Ok) << LastErrorMessage();
  std::vector<FieldDesc> fields;
  GetFieldDescs(cur, fields);
  CloseCursor(cur);
  const std::vector<std::uint16_t> types = {pxShort, pxBcd, pxAlpha, pxTime, pxAutoinc, pxBytes, pxMemo,
                                            pxBinary, pxFmtMemo, pxOle, pxGraphic, pxNumber, pxLogical};
  ASSERT_EQ(fields.size(), types.size());
  for (std::size_t i = 0; i < types.size(); ++i) EXPECT_EQ(fields[i].type, types[i]) << i;
  Exec("INSERT INTO kinds (a, b, c, d, g) VALUES (1, 2.5, 'seven', '12:34:56', 'a memo')");
  EXPECT_EQ(Select("SELECT b, c, d, g, e FROM kinds"),
            (Rows{{"2.500", "seven", FormatValue(TimeValue{(12 * 3600 + 34 * 60 + 56) * 1000}),
                   "a memo", "1"}}));
  Exec("CREATE INDEX ByC ON kinds (c)");
  Exec("CREATE UNIQUE INDEX CD ON kinds (c, d)");
  ASSERT_EQ(OpenTable(db_, "kinds.DB", "", OpenMode::ReadOnly, cur), Ok);
  std::vector<IndexDesc> indexes;
  GetIndexDescs(cur, indexes);
  CloseCursor(cur);
  EXPECT_EQ(indexes.size(), 3u);
  Exec("DROP INDEX kinds.CD");
  Exec("DROP TABLE kinds");
  EXPECT_FALSE(fs::exists(dir_ / "kinds.DB") || fs::exists(dir_ / "kinds.DB"));
  EXPECT_EQ(Refused("SELECT * FROM kinds"), ErrQuerySyntax);
}

TEST_F(SqlTest, HeaderCommentNamesAnswerAndAlias) {
  ASSERT_EQ(AddStandardAlias("SQLHEAD", dir_.path(), "PARADOX"), Ok);
  hDBIStmt stmt = 0;
  QueryAlloc(0, QueryLang::Sql, stmt);
  ASSERT_EQ(QueryPrepare(stmt, "/* Answer: " + (dir_ / "BRISTOL.DB") +
                                   "\n   AuxTables: FALSE\n   Alias: SQLHEAD\n   LiveAnswer: FALSE */\n"
                                   "SELECT Name FROM customer WHERE City = 'Bristol'"),
            Ok)
      << LastErrorMessage();
  hDBICur answer = 0;
  ASSERT_EQ(QueryExec(stmt, &answer), Ok) << LastErrorMessage();
  EXPECT_EQ(Read(answer), (Rows{{"Ada"}, {"Cy"}}));
  CursorProps props;
  GetCursorProps(answer, props);
  EXPECT_NE(props.tableName.find("BRISTOL"), std::string::npos) << props.tableName;
  CloseCursor(answer);
  QueryFree(stmt);
  DeleteAlias("SQLHEAD");
}

TEST_F(SqlTest, InstantiateAnswerRefusesAnExistingTable) {
  hDBIStmt stmt = 0;
  QueryAlloc(db_, QueryLang::Sql, stmt);
  ASSERT_EQ(QueryPrepare(stmt, "SELECT \"Cust No\", Name, Since, Credit FROM customer WHERE Credit > 60"), Ok);
  hDBICur answer = 0;
  ASSERT_EQ(QueryExec(stmt, &answer), Ok);
  hDBICur kept = 0;
  ASSERT_EQ(InstantiateAnswer(stmt, answer, "RICH", "PARADOX", false, &kept), Ok) << LastErrorMessage();
  EXPECT_EQ(Read(kept), Read(answer));
  CloseCursor(kept);
  EXPECT_EQ(InstantiateAnswer(stmt, answer, "RICH", "PARADOX", false, nullptr), ErrAnswerTableExists);
  EXPECT_EQ(ErrAnswerTableExists, 13060);
  EXPECT_EQ(InstantiateAnswer(stmt, answer, "customer", "PARADOX", false, nullptr), ErrAnswerTableExists);
  EXPECT_EQ(InstantiateAnswer(stmt, answer, "RICH", "PARADOX", true, nullptr), Ok) << LastErrorMessage();
  EXPECT_EQ(InstantiateAnswer(stmt, answer, "rich.dbf", "DBASE", false, nullptr), Ok) << LastErrorMessage();
  EXPECT_EQ(Select("SELECT Name FROM rich ORDER BY 1"), (Rows{{"Ada"}, {"Di"}}));
  EXPECT_EQ(Select("SELECT Name FROM 'rich.dbf' ORDER BY 1"), (Rows{{"Ada"}, {"Di"}}));
  CloseCursor(answer);
  QueryFree(stmt);
}

TEST_F(SqlTest, ProgressCallbackCancels) {
  Exec("CREATE TABLE big (k INTEGER, PRIMARY KEY (k))");
  Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
       "INSERT INTO big SELECT i FROM n");
  int calls = 0;
  RegisterGenProgress([&](std::int16_t percent, const std::string&) {
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
    return ++calls < 2 ? 1 : 0;
  });
  EXPECT_EQ(Refused("SELECT count(*) FROM big a, big b WHERE a.k < b.k"), ErrQueryCancelled);
  RegisterGenProgress({});
  EXPECT_GE(calls, 2);
  EXPECT_EQ(Select("SELECT count(*) FROM big"), (Rows{{"3000"}}));
}

}  // namespace
