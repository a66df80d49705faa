// quarry_sql_bench: SQL over a Paradox table through the query engine
// against the same query on a native SQLite table holding the same data,
// in the same run: a GROUP BY over every record, and key lookups (the
// Paradox primary key against SQLite's rowid; the Paradox side once with canned
// answers, once with live ones, which need no answer table).
//   quarry_sql_bench [RECORDS] [LOOKUPS]   (defaults 1,000,000 and 2,000)
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench/common.h"
#include "engine/engine.h"
#include "engine/sql/query.h"

using namespace engine;
namespace fs = std::filesystem;

namespace {

// id (key), k (one of 100 groups), x: the same for both tables.
class BenchRows : public RowSource {
 public:
  explicit BenchRows(std::uint64_t n) : n_(n) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ == n_;
    if (end) return Ok;
    ++at_;
    label = at_;
    values = {static_cast<std::int64_t>(at_), static_cast<std::int64_t>(random_.next() % 100),
              static_cast<double>(random_.next() % 100000) / 100.0};
    return Ok;
  }

 private:
  std::uint64_t n_, at_ = 0;
  bench::Random random_;
};

void MakeParadox(const std::string& dir, std::uint64_t n) {
  hDBIDb db = 0;
  if (OpenDatabase(dir, db)) bench::Die("open " + dir);
  TableDesc d;
  d.tableName = "BIG.DB";
  FieldDesc id, k, x;
  id.number = 1, id.name = "id", id.type = pxLong;
  k.number = 2, k.name = "k", k.type = pxLong;
  x.number = 3, x.name = "x", x.type = pxNumber;
  d.fields = {id, k, x};
  IndexDesc key;
  key.primary = 1, key.fieldsInKey = 1, key.keyFields[0] = 1;
  d.indexes = {key};
  if (CreateTable(db, true, d)) bench::Die("create BIG.DB");
  hDBICur cur = 0;
  if (OpenTable(db, "BIG.DB", "", OpenMode::ReadWrite, cur)) bench::Die("open BIG.DB");
  BenchRows rows(n);
  if (InsertRecordStream(cur, rows)) bench::Die("fill BIG.DB");
  CloseCursor(cur);
  CloseDatabase(db);
}

void MakeSqlite(sqlite3* db, std::uint64_t n) {
  sqlite3_exec(db, "CREATE TABLE big (id INTEGER PRIMARY KEY, k INTEGER, x REAL); BEGIN", 0, 0, 0);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO big VALUES (?, ?, ?)", -1, &st, nullptr);
  BenchRows rows(n);
  std::vector<Value> v;
  std::uint64_t label = 0;
  bool end = false;
  while (rows.next(v, label, end) == Ok && !end) {
    sqlite3_bind_int64(st, 1, std::get<std::int64_t>(v[0]));
    sqlite3_bind_int64(st, 2, std::get<std::int64_t>(v[1]));
    sqlite3_bind_double(st, 3, std::get<double>(v[2]));
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  sqlite3_exec(db, "COMMIT", 0, 0, 0);
}

// Runs a statement through the query engine; the answer's record count.
// `live`: the answer asked for is live (the table itself, no answer table).
std::uint32_t RunQuery(hDBIDb db, const std::string& sql, bool live = false) {
  hDBIStmt stmt = 0;
  hDBICur answer = 0;
  if (QueryAlloc(db, QueryLang::Sql, stmt) || QueryPrepare(stmt, sql) ||
      SetStmtProp(stmt, stmtLiveness, live ? 1 : 0) || QueryExec(stmt, &answer))
    bench::Die(sql);
  std::uint32_t count = 0;
  GetRecordCount(answer, count);
  CloseCursor(answer);
  QueryFree(stmt);
  return count;
}

std::uint32_t RunSqlite(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr)) bench::Die(sqlite3_errmsg(db));
  std::uint32_t rows = 0;
  while (sqlite3_step(st) == SQLITE_ROW) ++rows;
  sqlite3_finalize(st);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const int lookups = argc > 2 ? std::atoi(argv[2]) : 2000;
  const std::string dir = std::string(QUARRY_BENCH_DATA) + "/sql-" + std::to_string(n);
  fs::create_directories(dir);
  auto t = bench::Clock::now();
  if (!fs::exists(dir + "/BIG.DB")) MakeParadox(dir, n);
  std::printf("records %llu (Paradox table ready in %.0f ms)\n", static_cast<unsigned long long>(n),
              bench::MsSince(t));
  // SQLite's file in a directory of its own: the Paradox table's directory
  // stays as it was, as a database's does while it is only read.
  sqlite3* lite = nullptr;
  const std::string liteDir = dir + "-sqlite";
  fs::create_directories(liteDir);
  fs::remove(dir + "/big.sqlite");  // where earlier runs made it
  fs::remove(liteDir + "/big.sqlite");
  sqlite3_open((liteDir + "/big.sqlite").c_str(), &lite);
  MakeSqlite(lite, n);
  hDBIDb db = 0;
  if (OpenDatabase(dir, db)) bench::Die("open database");

  const std::string group = "SELECT k, count(*), sum(x) FROM big GROUP BY k";
  t = bench::Clock::now();
  const std::uint32_t a = RunQuery(db, group);
  const double paradoxGroup = bench::MsSince(t);
  t = bench::Clock::now();
  const std::uint32_t b = RunSqlite(lite, group);
  const double sqliteGroup = bench::MsSince(t);
  std::printf("GROUP BY k       Paradox %8.1f ms  SQLite %8.1f ms  ratio %.2f  (%u / %u groups)\n",
              paradoxGroup, sqliteGroup, paradoxGroup / sqliteGroup, a, b);

  bench::Random pick(7);
  t = bench::Clock::now();
  for (int i = 0; i < lookups; ++i)
    RunQuery(db, "SELECT * FROM big WHERE id = " + std::to_string(pick.next() % n + 1));
  const double paradoxLookup = bench::MsSince(t) / lookups;
  bench::Random pick2(7);
  t = bench::Clock::now();
  for (int i = 0; i < lookups; ++i)
    RunSqlite(lite, "SELECT * FROM big WHERE id = " + std::to_string(pick2.next() % n + 1));
  const double sqliteLookup = bench::MsSince(t) / lookups;
  std::printf("key lookup       Paradox %8.3f ms  SQLite %8.3f ms  ratio %.2f  (whole statements, "
              "%d each)\n",
              paradoxLookup, sqliteLookup, paradoxLookup / sqliteLookup, lookups);
  bench::Random pick3(7);
  t = bench::Clock::now();
  for (int i = 0; i < lookups; ++i)
    RunQuery(db, "SELECT * FROM big WHERE id = " + std::to_string(pick3.next() % n + 1), true);
  const double liveLookup = bench::MsSince(t) / lookups;
  std::printf("key lookup, live Paradox %8.3f ms  SQLite %8.3f ms  ratio %.2f  (no answer table)\n",
              liveLookup, sqliteLookup, liveLookup / sqliteLookup);
  CloseDatabase(db);
  sqlite3_close(lite);
  return 0;
}
