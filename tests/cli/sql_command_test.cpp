// quarry sql and quarry qbe on the demo database: answers printed as dump
// prints tables, changes counted, and the engine's refusals reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/cli/run_quarry.h"
#include "tests/support/tempdir.h"

// The demo database builder is plain engine code; the test builds its own copy.
#include "app/demodb.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class QuarrySql : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CreateDemoDatabase(dir_.path()), engine::Ok); }
  TempDir dir_;
};

TEST_F(QuarrySql, SavedQueryPrintsItsAnswerLikeDump) {
  auto r = RunQuarryProcess({"sql", dir_.path(), ReadFile(dir_ / "BRISTOL.SQL")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Name,City,Credit\nHarbour Supplies,Bristol,25000\nCafé Müller,Bristol,1000\n");
}

TEST_F(QuarrySql, AnswersOfARunGoWithTheProcess) {
  TempDir scratch;  // the temporary directory of the run
  const char* before = getenv("TMPDIR");
  const std::string saved = before ? before : "";
  setenv("TMPDIR", scratch.path().c_str(), 1);
  auto r = RunQuarryProcess({"sql", dir_.path(), "SELECT Name FROM customer"});
  before ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(scratch.path()));
}

TEST_F(QuarrySql, AnswerTableIsKeptWhereAsked) {
  auto r = RunQuarryProcess({"sql", dir_.path(),
                             "SELECT c.Name, count(o.OrderNo) AS Orders FROM customer c LEFT JOIN "
                             "\"orders.db\" o ON o.CustNo = c.CustNo GROUP BY c.Name ORDER BY 1",
                             "--answer", dir_ / "COUNTS.DB"});
  ASSERT_EQ(r.status, 0) << r.err;
  auto dump = RunQuarryProcess({"dump", dir_ / "COUNTS.DB"});
  EXPECT_EQ(dump.status, 0);
  EXPECT_EQ(dump.out, r.out);
}

TEST_F(QuarrySql, ChangesAreCountedAndChecked) {
  auto r = RunQuarryProcess({"sql", dir_.path(), "UPDATE customer SET City = 'Bath' WHERE CustNo = 2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "1 records changed\n");
  // The table's validity checks refuse a credit above its maximum.
  auto refused = RunQuarryProcess({"sql", dir_.path(), "UPDATE customer SET Credit = 500000"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_FALSE(refused.err.empty());
  auto dump = RunQuarryProcess({"sql", dir_.path(), "SELECT max(Credit) AS m FROM customer"});
  EXPECT_EQ(dump.out, "m\n25000\n");
  // A syntax error names its line and token.
  auto bad = RunQuarryProcess({"sql", dir_.path(), "SELECT Name\nFROM customer\nWHERE City =="});
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("Line 3"), std::string::npos) << bad.err;
}

TEST_F(QuarrySql, ChangesKeepTheTablesLinks) {
  // An order needs its customer; a customer with orders stays; a new
  // customer number carries over to the orders.
  auto orphan = RunQuarryProcess({"sql", dir_.path(),
                                  "INSERT INTO orders (CustNo, Placed, Amount, Status) "
                                  "VALUES (99, '2024-08-01 10:00:00', 5, 'N')"});
  EXPECT_EQ(orphan.status, 1);
  auto master = RunQuarryProcess({"sql", dir_.path(), "DELETE FROM customer WHERE CustNo = 1"});
  EXPECT_EQ(master.status, 1);
  auto moved = RunQuarryProcess({"sql", dir_.path(), "UPDATE customer SET CustNo = 10 WHERE CustNo = 3"});
  ASSERT_EQ(moved.status, 0) << moved.err;
  auto orders = RunQuarryProcess({"sql", dir_.path(), "SELECT OrderNo, CustNo FROM orders ORDER BY OrderNo"});
  EXPECT_EQ(orders.out, "OrderNo,CustNo\n1,1\n2,1\n3,10\n");
  // The autoincrement field numbers a new order itself.
  auto added = RunQuarryProcess({"sql", dir_.path(),
                                 "INSERT INTO orders (CustNo, Placed, Amount, Status) "
                                 "VALUES (2, '2024-08-01 10:00:00', 5, 'N')"});
  ASSERT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, "1 records changed\n");
  EXPECT_EQ(RunQuarryProcess({"sql", dir_.path(), "SELECT max(OrderNo) AS m FROM orders"}).out, "m\n4\n");
}

TEST_F(QuarrySql, UsageListsTheCommands) {
  auto r = RunQuarryProcess({"help"});
  const std::string all = r.out + r.err;
  EXPECT_NE(all.find("sql DATABASE"), std::string::npos) << all;
  EXPECT_NE(all.find("qbe DATABASE"), std::string::npos);
  EXPECT_EQ(RunQuarryProcess({"sql", dir_.path()}).status, 2);
}

}  // namespace
