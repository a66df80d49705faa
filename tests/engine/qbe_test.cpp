// Query-by-example texts: how they read, what they refuse, and what the SQL
// they give answers when run over small tables in SQLite.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "engine/errors.h"
#include "engine/sql/qbe.h"

using namespace engine;
using engine::qbe::Translation;

namespace {

Translation Translated(const std::string& text) {
  Translation t;
  Result r = qbe::Translate(text, t);
  EXPECT_EQ(r, engine::Ok) << LastErrorMessage() << "\n" << text;
  return t;
}

std::string Error(const std::string& text) {
  Translation t;
  if (qbe::Translate(text, t) != ErrQuerySyntax) return "(no syntax error)";
  return LastErrorMessage();
}

// A query text from its table blocks and header lines.
std::string Query(const std::string& body, const std::string& header = "") {
  return "Query\n" + header + "\n" + body + "\nEndQuery\n";
}

class QbeRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    Exec(R"(CREATE TABLE "customer.db" ("CustNo" INTEGER, "Name" TEXT, "City" TEXT, "Since" TEXT, "Credit" REAL);
      INSERT INTO "customer.db" VALUES (1, 'Alder', 'Bristol', '1994-03-01', 100),
        (2, 'Birch', 'Bath', '1996-07-15', 250), (3, 'Cedar', 'Bristol', '1998-11-30', NULL),
        (4, 'Dogwood', 'London', '2001-01-01', 50), (5, 'Elm', NULL, '1990-05-05', 300),
        (6, 'B_rk', '', '1996-07-15', 10);
      CREATE TABLE "orders.db" ("Order No" INTEGER, "CustNo" INTEGER, "Qty" INTEGER, "Price" REAL);
      INSERT INTO "orders.db" VALUES (10, 1, 2, 5), (11, 1, 1, 20), (12, 2, 3, 10), (13, 4, 1, 7.5);
      CREATE TABLE "archive.db" ("CustNo" INTEGER, "Name" TEXT);)");
  }
  void TearDown() override { sqlite3_close(db_); }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
    ASSERT_EQ(rc, SQLITE_OK) << (error ? error : "") << "\n" << sql;
  }

  // Rows of one statement, fields joined by "|", NULL as "-".
  std::vector<std::string> Fetch(const std::string& sql, std::vector<std::string>* names = nullptr) {
    sqlite3_stmt* stmt = nullptr;
    std::vector<std::string> rows;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sqlite3_errmsg(db_) << "\n" << sql;
      return rows;
    }
    for (int i = 0; names && i < sqlite3_column_count(stmt); ++i) names->push_back(sqlite3_column_name(stmt, i));
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row += (i ? "|" : "") + (text ? std::string(reinterpret_cast<const char*>(text)) : std::string("-"));
      }
      rows.push_back(row);
    }
    EXPECT_EQ(sqlite3_finalize(stmt), SQLITE_OK) << sqlite3_errmsg(db_) << "\n" << sql;
    return rows;
  }

  std::vector<std::string> Answer(const std::string& text, std::vector<std::string>* names = nullptr) {
    Translation t = Translated(text);
    EXPECT_FALSE(t.changes);
    EXPECT_EQ(t.statements.size(), 1u);
    return t.statements.empty() ? std::vector<std::string>{} : Fetch(t.statements[0], names);
  }

  void Change(const std::string& text) {
    Translation t = Translated(text);
    EXPECT_TRUE(t.changes);
    for (const std::string& sql : t.statements) Exec(sql);
  }

  sqlite3* db_ = nullptr;
};

using Rows = std::vector<std::string>;

}  // namespace

TEST(QbeErrors, EachFaultNamesItsLineAndToken) {
  EXPECT_EQ(Error(""), "No QBE statement available");
  EXPECT_EQ(Error("Q"), "No QBE statement available");
  EXPECT_EQ(Error("SELECT * FROM x"), "Line 1, \"SELECT\": a query begins with the line Query");
  EXPECT_EQ(Error("Query\n\ncustomer.db | Name |\n | Check |\n"), "Line 5: the query has no EndQuery line");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Chek _a * |\n")),
            "Line 4, \"Chek\": not a keyword or value");
  EXPECT_EQ(Error(Query("customer.db | Name | City |\n | Check | >_a |\n")),
            "Line 4, \"_a\": the example element stands alone in no field");
  EXPECT_EQ(Error(Query("customer.db | Since |\n | Check, 2/30/1999 |\n")),
            "Line 4, \"2/30/1999\": not a valid date (month/day/year)");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Check | Bath |\n")),
            "Line 4, \"Bath\": more cells than the table block has fields");
  EXPECT_EQ(Error(Query("customer.db | Name |\nFind | Check |\n")),
            "Line 4, \"Find\": not a keyword for the first column (Insert, Delete or a check mark)");
  EXPECT_EQ(Error(Query("customer.db | Name | City |\n | Check | |\n | Check | Check |\n")),
            "Line 5, \"customer.db\": the row chooses other answer fields than the row before it");
  EXPECT_EQ(Error(Query("customer.db | Name | City |\n | Check | Bath |\n\norders.db | Qty |\n | >2 |\n")),
            "Line 7, \"orders.db\": the row chooses no answer field and is linked to no row that does");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Check |\n", "SORT: customer.db->\"City\"\n")),
            "Line 2, \"customer.db->\"City\"\": the field is not in the answer");
  EXPECT_EQ(Error(Query("customer.db | Qty |\n | Check, calc _q * |\n")),
            "Line 4, \"end of cell\": unexpected in the expression");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Check, \"Bath |\n")),
            "Line 4, \"\"Bath |\": the quoted text is not closed");
  EXPECT_EQ(Error(Query("customer.db | Name | City |\n | Check | =  |\n")), "Line 4, \"=\": a value is missing after it");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Check, CheckPlus |\n")),
            "Line 4, \"CheckPlus\": the field is checked twice");
  EXPECT_EQ(Error(Query("customer.db | Name |\nInsert | >3 |\n")),
            "Line 4, \">3\": an inserted field takes one value or example element");
  EXPECT_EQ(Error(Query("customer.db | Name |\n | Check, calc (_n |\n")),
            "Line 4, \"end of cell\": unexpected in the expression");
  EXPECT_EQ(Error(Query("customer.db | Name |\nDelete | 3 |\nCheck | |\n")),
            "Line 5, \"customer.db\": a query that changes tables has no answer fields");
  EXPECT_EQ(Error(Query("customer.db | Name |\nDelete | Check |\n")),
            "Line 4, \"customer.db\": a query that changes tables has no answer fields");
}

TEST(QbeForm, AnswerTableAndHeaderLines) {
  EXPECT_EQ(Translated(Query("customer.db | Name |\n | Check |\n")).answerTable, ":PRIV:ANSWER.DB");
  Translation t = Translated(Query("customer.db | Name |\n | Check |\n", "ANSWER: :WORK:BATH.DB\nOPTIONS: NO AUXILIARY TABLES\n"));
  EXPECT_EQ(t.answerTable, ":WORK:BATH.DB");
  EXPECT_FALSE(t.changes);
  EXPECT_EQ(t.statements, std::vector<std::string>{
                              "SELECT DISTINCT t1.\"Name\" AS \"Name\" FROM \"customer.db\" AS t1 ORDER BY 1"});
  // Names with blanks and quotes are quoted as SQL names; text constants as SQL text.
  t = Translated(Query(":WORK:my \"old\" table.db | Cust No |\n | Check, O'Neil |\n"));
  EXPECT_EQ(t.statements[0],
            "SELECT DISTINCT t1.\"Cust No\" AS \"Cust No\" FROM \":WORK:my \"\"old\"\" table.db\" AS t1 "
            "WHERE t1.\"Cust No\" = 'O''Neil' ORDER BY 1");
}

TEST_F(QbeRun, SampleQueryFilesTranslate) {
  Exec(R"(CREATE TABLE "areacodes.db" ("AC" TEXT, "State" TEXT, "Cities" TEXT);
    INSERT INTO "areacodes.db" VALUES ('617', 'MA', 'Boston'), ('212', 'NY', 'New York'),
      ('617', 'MA', 'Boston'), ('201', 'NJ', 'Newark');)");
  std::string path = std::string(QUARRY_CORPUS_DIR) + "/paradox/db/AREAS.QBE";
  if (std::filesystem::exists(path)) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(Answer(text.str()), (Rows{"201|NJ|Newark", "212|NY|New York", "617|MA|Boston"}));
  }
  // The demo database's query file.
  std::vector<std::string> names;
  Rows rows = Answer("Query\nANSWER: :PRIV:ANSWER.DB\n\n"
                     "customer.db | CustNo | Name  | City  |\n"
                     "            | Check  | Check | Check |\n\nEndQuery\n",
                     &names);
  EXPECT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0], "1|Alder|Bristol");
  EXPECT_EQ(names, (std::vector<std::string>{"CustNo", "Name", "City"}));
}

TEST_F(QbeRun, CheckMarksChooseSortAndRename) {
  std::vector<std::string> names;
  // Plain check: no duplicates, sorted from the left.
  EXPECT_EQ(Answer(Query("customer.db | Since | City |\n | Check | Check as Town |\n"), &names),
            (Rows{"1990-05-05|-", "1994-03-01|Bristol", "1996-07-15|", "1996-07-15|Bath", "1998-11-30|Bristol",
                  "2001-01-01|London"}));
  EXPECT_EQ(names, (std::vector<std::string>{"Since", "Town"}));
  // A check mark may follow other items; a quoted name may hold a comma.
  names.clear();
  EXPECT_EQ(Answer(Query("customer.db | CustNo |\n | <3, Check as \"No, Id\" |\n"), &names), (Rows{"1", "2"}));
  EXPECT_EQ(names, (std::vector<std::string>{"No, Id"}));
  EXPECT_EQ(Answer(Query("customer.db | City |\n | Check, Bristol or Bath |\n")), (Rows{"Bath", "Bristol"}));
  // CheckPlus keeps duplicates.
  EXPECT_EQ(Answer(Query("customer.db | City |\n | CheckPlus, Bristol |\n")), (Rows{"Bristol", "Bristol"}));
  // Descending.
  EXPECT_EQ(Answer(Query("customer.db | CustNo | City |\n | CheckDescending | Bristol |\n")), (Rows{"3", "1"}));
  // A check mark under the table name checks every field of the row.
  EXPECT_EQ(Answer(Query("customer.db | CustNo | City |\nCheck | <3 | |\n")), (Rows{"1|Bristol", "2|Bath"}));
  // SORT and FIELDORDER.
  names.clear();
  EXPECT_EQ(Answer(Query("customer.db | CustNo | City |\n | Check | Check, Bristol or Bath |\n",
                         "FIELDORDER: customer.db->\"City\", customer.db->\"CustNo\"\n"
                         "SORT: customer.db->\"City\",\n   customer.db->\"CustNo\"\n"),
                   &names),
            (Rows{"Bath|2", "Bristol|1", "Bristol|3"}));
  EXPECT_EQ(names, (std::vector<std::string>{"City", "CustNo"}));
}

TEST_F(QbeRun, ConditionsInCellsAndRows) {
  auto names = [&](const std::string& cells) {
    return Answer(Query("customer.db | Name | City | Since | Credit |\n" + cells));
  };
  // Comma: all conditions of a cell; rows: any of them.
  EXPECT_EQ(names(" | Check | | >=1/1/1995, <= 12/31/1999 | |\n"), (Rows{"B_rk", "Birch", "Cedar"}));
  EXPECT_EQ(names(" | Check | Bath | | |\n | Check | | | >=300 |\n"), (Rows{"Birch", "Elm"}));
  EXPECT_EQ(names(" | Check | <>Bristol | | |\n"), (Rows{"B_rk", "Birch", "Dogwood"}));
  EXPECT_EQ(names(" | Check | | 7/15/96 | |\n"), (Rows{"B_rk", "Birch"}));
  // Wildcards: `..` any characters, `@` one; SQL's own are plain characters.
  EXPECT_EQ(names(" | Check, B.. | | | |\n"), (Rows{"B_rk", "Birch"}));
  EXPECT_EQ(names(" | Check, B@rk | | | |\n"), (Rows{"B_rk"}));
  EXPECT_EQ(names(" | Check, B_.. | | | |\n"), (Rows{"B_rk"}));
  EXPECT_EQ(names(" | Check, like b..h | | | |\n"), (Rows{"Birch"}));
  EXPECT_EQ(names(" | Check, \"B..\" | | | |\n"), (Rows{}));
  // Blank covers empty text as well as no value.
  EXPECT_EQ(names(" | Check | blank | | |\n"), (Rows{"B_rk", "Elm"}));
  EXPECT_EQ(names(" | Check | not blank | | blank |\n"), (Rows{"Cedar"}));
  EXPECT_EQ(names(" | Check | not Bristol, not blank | | |\n"), (Rows{"Birch", "Dogwood"}));
  EXPECT_EQ(names(" | Check | | <today | <= 100 |\n"), (Rows{"Alder", "B_rk", "Dogwood"}));
  EXPECT_EQ(names(" | Check | | >today - 36500 | >200 |\n"), (Rows{"Birch", "Elm"}));
  EXPECT_EQ(names(" | Check | | >=today | |\n"), (Rows{}));
}

TEST_F(QbeRun, ExampleElementsJoinTables) {
  const std::string orders = "\norders.db | Order No | CustNo |\n | Check | _c |\n";
  EXPECT_EQ(Answer(Query("customer.db | CustNo | Name |\n | _c | Check |\n" + orders)),
            (Rows{"Alder|10", "Alder|11", "Birch|12", "Dogwood|13"}));
  // `!` keeps the customers without orders.
  EXPECT_EQ(Answer(Query("customer.db | CustNo | Name |\n | _c! | Check, <D |\n" + orders)),
            (Rows{"Alder|10", "Alder|11", "B_rk|-", "Birch|12", "Cedar|-"}));
  // A condition on the kept table's partner limits the partner, not the answer.
  EXPECT_EQ(Answer(Query("customer.db | CustNo | Name |\n | _c! | Check, <C |\n"
                         "\norders.db | Order No | CustNo |\n | Check, >10 | _c |\n")),
            (Rows{"Alder|11", "B_rk|-", "Birch|12"}));
  // An element compared in another row; two rows of one table join each other.
  EXPECT_EQ(Answer(Query("customer.db | Name | Credit |\n | Birch | _cr |\n | Check | >_cr |\n")), (Rows{"Elm"}));
  EXPECT_EQ(Answer(Query("customer.db | Name | Since |\n | Check | _d |\n | Birch | _d |\n")),
            (Rows{"B_rk", "Birch"}));
  EXPECT_EQ(Answer(Query("customer.db | Name | Since |\n | Check, not Birch | _d |\n | Birch | _d |\n")),
            (Rows{"B_rk"}));
}

TEST_F(QbeRun, CalculatedFieldsAndSummaries) {
  std::vector<std::string> names;
  EXPECT_EQ(Answer(Query("orders.db | Order No | Qty | Price |\n | Check | _q | _p, calc _q * _p as Total |\n"), &names),
            (Rows{"10|10.0", "11|20.0", "12|30.0", "13|7.5"}));
  EXPECT_EQ(names, (std::vector<std::string>{"Order No", "Total"}));
  // Summaries group on the checked fields; their default names say what they are.
  names.clear();
  EXPECT_EQ(Answer(Query("orders.db | CustNo | Qty | Price |\n | Check | calc sum | calc max, calc count all |\n"),
                   &names),
            (Rows{"1|3|20.0|2", "2|3|10.0|1", "4|1|7.5|1"}));
  EXPECT_EQ(names, (std::vector<std::string>{"CustNo", "Sum of Qty", "Max of Price", "Count of Price"}));
  // Count counts different values unless told all; a summary with no check mark is one row.
  EXPECT_EQ(Answer(Query("customer.db | Since | Credit |\n | calc count | calc average as Mean |\n")),
            (Rows{"5|142.0"}));
  EXPECT_EQ(Answer(Query("customer.db | Since |\n | calc count all |\n")), (Rows{"6"}));
  // Text joins with +.
  EXPECT_EQ(Answer(Query("customer.db | Name | City |\n | _n | Bath, calc _n + \" of \" + _c as Who, _c |\n")),
            (Rows{"Birch of Bath"}));
}

TEST_F(QbeRun, InsertDeleteAndChangeto) {
  Change(Query("customer.db | CustNo | Name | City |\nInsert | 7 | \"Fir, Ltd\" | 3/4/2005 |\n"));
  EXPECT_EQ(Fetch("SELECT Name, City FROM \"customer.db\" WHERE CustNo = 7"), (Rows{"Fir, Ltd|2005-03-04"}));
  // Insert the rows another table gives.
  Change(Query("archive.db | CustNo | Name |\nInsert | _c | _n |\n\ncustomer.db | CustNo | Name | City |\n"
               " | _c | _n | Bristol |\n"));
  EXPECT_EQ(Fetch("SELECT * FROM \"archive.db\" ORDER BY 1"), (Rows{"1|Alder", "3|Cedar"}));
  // Changeto with a condition and an element of the same row.
  Change(Query("customer.db | City | Credit |\n | Bristol | _x, changeto _x * 2 |\n"));
  EXPECT_EQ(Fetch("SELECT Credit FROM \"customer.db\" WHERE City = 'Bristol' ORDER BY 1"), (Rows{"-", "200.0"}));
  // Changeto with a value from a linked table.
  Change(Query("customer.db | CustNo | Credit |\n | _c | changeto _q |\n\norders.db | CustNo | Qty |\n"
               " | _c | _q, >2 |\n"));
  EXPECT_EQ(Fetch("SELECT Credit FROM \"customer.db\" WHERE CustNo = 2"), (Rows{"3.0"}));
  // Delete the customers with an order of more than one item; a bare Delete row empties the table.
  Translation t = Translated(Query("customer.db | CustNo |\nDelete | _c |\n\norders.db | CustNo | Qty |\n | _c | >1 |\n"));
  EXPECT_TRUE(t.changes);
  for (const std::string& sql : t.statements) Exec(sql);
  EXPECT_EQ(Fetch("SELECT CustNo FROM \"customer.db\" ORDER BY 1"), (Rows{"3", "4", "5", "6", "7"}));
  // A condition of the deleted row may name another row's element: of the
  // customers left, only 4 (credit 50) has an order priced over a tenth of it.
  Change(Query("customer.db | CustNo | Credit |\n | _c | _k |\n\norders.db | CustNo | Price |\n"
               "Delete | _c | >_k / 10 |\n"));
  EXPECT_EQ(Fetch("SELECT \"Order No\" FROM \"orders.db\" ORDER BY 1"), (Rows{"10", "11", "12"}));
  Change(Query("archive.db | CustNo |\nDelete | |\n"));
  EXPECT_EQ(Fetch("SELECT COUNT(*) FROM \"archive.db\""), (Rows{"0"}));
}

TEST_F(QbeRun, WideTableBlocksContinueTheirRows) {
  std::string text = Query("customer.db | CustNo | Name |\n | Check | |\n | Check | Birch |\n\n"
                           "customer.db | City | Credit |\n | Bristol | >50 |\n | | |\n");
  EXPECT_EQ(Answer(text), (Rows{"1", "2"}));
  // The same table again with fields it names already is another use of it.
  EXPECT_EQ(Answer(Query("customer.db | Name | Since |\n | Check | _d |\n\ncustomer.db | Name | Since |\n"
                         " | Birch | _d |\n")),
            (Rows{"B_rk", "Birch"}));
}

TEST_F(QbeRun, UnlinkedRowsAreAlternatives) {
  // Duplicates stay across alternatives too when a row says CheckPlus.
  EXPECT_EQ(Answer(Query("customer.db | City | Credit |\n | CheckPlus | >=100 |\n | CheckPlus | <=100 |\n")),
            (Rows{"Bristol", "Bath", "-", "Bristol", "London", ""}));
  // Both sides marked: rows of either table without a partner are kept.
  Exec(R"(INSERT INTO "orders.db" VALUES (14, 9, 1, 1))");
  EXPECT_EQ(Answer(Query("customer.db | CustNo | Name |\n | _c! | Check, >C |\n\norders.db | Order No | CustNo |\n"
                         " | Check, >=13 | _c! |\n")),
            (Rows{"-|14", "Cedar|-", "Dogwood|13", "Elm|-"}));
  // Each unlinked change row is a statement of its own.
  Translation t = Translated(Query("archive.db | CustNo | Name |\nInsert | 1 | A |\nInsert | 2 | \"B\" |\n"));
  ASSERT_EQ(t.statements.size(), 2u);
  for (const std::string& sql : t.statements) Exec(sql);
  EXPECT_EQ(Fetch("SELECT * FROM \"archive.db\" ORDER BY 1"), (Rows{"1|A", "2|B"}));
  EXPECT_EQ(Error(Query("customer.db | CustNo |\nDelete | 1 |\n\norders.db | CustNo |\n | Check |\n")),
            "Line 7, \"orders.db\": a query that changes tables has no answer fields");
}
