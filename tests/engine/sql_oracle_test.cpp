// The query engine against SQLite itself: the same random records in a
// native SQLite table, a Paradox table and a dBASE table, and a few hundred
// generated SELECTs (filters, joins, grouping, ordering, NULLs, LIKE,
// dates) whose answers must be the same on all three.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <random>

#include "engine/engine.h"
#include "engine/sql/query.h"
#include "engine/valuetext.h"
#include "tests/support/tempdir.h"

using namespace engine;

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string Number(double d) {
  char b[40];
  std::snprintf(b, sizeof b, "%.9g", d);
  return b;
}

std::string Canonical(const Value& v) {
  if (IsNull(v)) return "NULL";
  if (auto* b = std::get_if<bool>(&v)) return *b ? "1" : "0";
  if (auto* i = std::get_if<std::int64_t>(&v)) return Number(static_cast<double>(*i));
  if (auto* d = std::get_if<double>(&v)) return Number(*d);
  if (auto* s = std::get_if<std::string>(&v)) return *s;
  if (auto* d = std::get_if<DateValue>(&v)) return FormatDate(d->day);
  return "?";
}

std::string Canonical(sqlite3_stmt* st, int i) {
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_NULL: return "NULL";
    case SQLITE_INTEGER: case SQLITE_FLOAT: return Number(sqlite3_column_double(st, i));
    default: return reinterpret_cast<const char*>(sqlite3_column_text(st, i));
  }
}

class SqlOracle : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sqlite3_open(":memory:", &native_), SQLITE_OK);
    ASSERT_EQ(OpenDatabase(dir_.path(), db_), Ok);
    Exec("CREATE TABLE t (id INTEGER, k SMALLINT, n FLOAT, s CHAR(12), d DATE, PRIMARY KEY (id))");
    Exec("CREATE TABLE 'td.dbf' (id INTEGER, k INTEGER, n FLOAT, s CHAR(12), d DATE)");
    Native("CREATE TABLE t (id INTEGER, k INTEGER, n REAL, s TEXT, d TEXT)");
    std::mt19937 random(20240611);
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    static const char* const words[] = {"apple", "Apricot", "banana", "berry", "cherry", "date", "fig", "grape"};
    std::string values;
    for (int id = 1; id <= 300; ++id) {
      const std::string k = pick(10) == 0 ? "NULL" : std::to_string(pick(7));
      const std::string n = pick(8) == 0 ? "NULL" : Number((pick(200000) - 100000) / 100.0);
      const std::string s = pick(9) == 0 ? "NULL" : "'" + std::string(words[pick(8)]) + std::to_string(pick(30)) + "'";
      char d[16];
      std::snprintf(d, sizeof d, "'%04d-%02d-%02d'", 1995 + pick(30), 1 + pick(12), 1 + pick(28));
      values += (values.empty() ? "" : ", ") + std::string("(") + std::to_string(id) + ", " + k + ", " + n +
                ", " + s + ", " + (pick(10) == 0 ? "NULL" : d) + ")";
    }
    Exec("INSERT INTO t VALUES " + values);
    Exec("INSERT INTO 'td.dbf' VALUES " + values);
    Native("INSERT INTO t VALUES " + values);
  }
  void TearDown() override {
    sqlite3_close(native_);
    CloseDatabase(db_);
  }
  void Exec(const std::string& sql) {
    hDBIStmt stmt = 0;
    QueryAlloc(db_, QueryLang::Sql, stmt);
    ASSERT_EQ(QueryPrepare(stmt, sql), Ok) << LastErrorMessage();
    ASSERT_EQ(QueryExec(stmt, nullptr), Ok) << LastErrorMessage();
    QueryFree(stmt);
  }
  void Native(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(native_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(native_);
  }
  Rows Engine(const std::string& sql) {
    hDBIStmt stmt = 0;
    QueryAlloc(db_, QueryLang::Sql, stmt);
    hDBICur answer = 0;
    Rows rows;
    EXPECT_EQ(QueryPrepare(stmt, sql), Ok) << sql << ": " << LastErrorMessage();
    EXPECT_EQ(QueryExec(stmt, &answer), Ok) << sql << ": " << LastErrorMessage();
    std::vector<Value> values;
    while (answer && GetNextRecord(answer, &values) == Ok) {
      rows.emplace_back();
      for (const Value& v : values) rows.back().push_back(Canonical(v));
    }
    if (answer) CloseCursor(answer);
    QueryFree(stmt);
    return rows;
  }
  Rows Sqlite(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    Rows rows;
    EXPECT_EQ(sqlite3_prepare_v2(native_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      rows.emplace_back();
      for (int i = 0; i < sqlite3_column_count(st); ++i) rows.back().push_back(Canonical(st, i));
    }
    sqlite3_finalize(st);
    return rows;
  }

  TempDir dir_;
  hDBIDb db_ = 0;
  sqlite3* native_ = nullptr;
};

std::string Condition(std::mt19937& random) {
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  switch (pick(9)) {
    case 0: return "n > " + std::to_string(pick(2000) - 1000);
    case 1: return "n BETWEEN " + std::to_string(-pick(500)) + " AND " + std::to_string(pick(500));
    case 2: return "s LIKE '" + std::string(1, "abcdfg"[pick(6)]) + "%'";
    case 3: return "d >= '" + std::to_string(1995 + pick(30)) + "-06-15'";
    case 4: return "n IS NULL OR s IS NULL";
    case 5: return "k IN (" + std::to_string(pick(7)) + ", " + std::to_string(pick(7)) + ")";
    case 6: return "id <= " + std::to_string(pick(320));
    case 7: return "id > " + std::to_string(pick(300)) + " AND k < " + std::to_string(pick(7));
    default: return "d < '2005-01-01' AND n < 0";
  }
}

std::string Query(std::mt19937& random, const std::string& table) {
  const std::string where = Condition(random);
  switch (random() % 5) {
    case 0: return "SELECT id, k, n, s, d FROM " + table + " WHERE " + where + " ORDER BY id";
    case 1:
      return "SELECT k, count(*) AS c, sum(n) AS total, min(s) AS lo, max(d) AS hi FROM " + table +
             " WHERE " + where + " GROUP BY k ORDER BY k";
    case 2:
      return "SELECT a.id, b.id AS other, b.s FROM (SELECT * FROM " + table + " WHERE " + where +
             ") a JOIN " + table + " b ON a.k = b.k AND b.id < a.id ORDER BY 1, 2 LIMIT 40";
    case 3:
      return "SELECT s, n FROM " + table + " WHERE " + where + " ORDER BY s, n, id LIMIT 25";
    default:
      return "SELECT strftime('%Y', d) AS y, count(*) AS c, avg(n) AS mean FROM " + table + " WHERE " +
             where + " GROUP BY y ORDER BY y";
  }
}

TEST_F(SqlOracle, GeneratedSelectsAnswerAsSqliteDoes) {
  std::mt19937 random(7);
  int answered = 0;  // queries whose answer has records: the comparison is not idle
  for (int i = 0; i < 150; ++i) {
    const std::uint32_t seed = random();
    std::mt19937 a(seed), b(seed), c(seed);
    const std::string native = Query(a, "t"), paradox = Query(b, "t"), dbase = Query(c, "'td.dbf'");
    const Rows expected = Sqlite(native);
    answered += !expected.empty();
    EXPECT_EQ(Engine(paradox), expected) << paradox;
    EXPECT_EQ(Engine(dbase), expected) << dbase;
  }
  EXPECT_GT(answered, 120);
}

}  // namespace
