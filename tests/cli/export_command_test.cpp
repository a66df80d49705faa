// quarry export: the demo database into a SQLite file read back with the
// sqlite3 library (rows as `quarry dump` prints them, the schema, enforced
// links and checks), odd names, refusals and cancels that leave no file,
// and the PostgreSQL script (loaded into a throwaway server when one can
// be started).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/demodb.h"
#include "engine/dataset/csv.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"
#include "engine/sql/export.h"
#include "engine/valchecks.h"
#include "engine/valuetext.h"
#include "tests/cli/run_quarry.h"
#include "tests/support/ptables.h"
#include "tests/support/scratch_config.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace engine;

namespace {

const ScratchConfig kScratchConfig;

// A SQLite file opened for a test, closed at its end.
class Db {
 public:
  explicit Db(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK)
        << path;
  }
  ~Db() { sqlite3_close(db_); }
  sqlite3* get() const { return db_; }

  // The rows of a query, each value as text ("" for NULL, hex for blobs).
  std::vector<std::vector<std::string>> rows(const std::string& sql) const {
    std::vector<std::vector<std::string>> out;
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db_);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(s); ++i) row.push_back(Text(s, i));
      out.push_back(row);
    }
    sqlite3_finalize(s);
    return out;
  }
  std::string one(const std::string& sql) const {
    auto r = rows(sql);
    return r.empty() || r[0].empty() ? "(none)" : r[0][0];
  }
  int exec(const std::string& sql) const {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }

  // A table as `quarry dump` writes it: booleans true/false, numbers in
  // their shortest form.
  std::string dump(const std::string& table) const {
    std::map<std::string, std::string> types;
    for (const auto& c : rows("SELECT name, type FROM pragma_table_info('" + table + "')"))
      types[c[0]] = c[1];
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, ("SELECT * FROM \"" + table + "\"").c_str(), -1, &s, nullptr),
              SQLITE_OK);
    std::ostringstream out;
    std::vector<std::string> header;
    for (int i = 0; i < sqlite3_column_count(s); ++i) header.push_back(sqlite3_column_name(s, i));
    WriteCsvRow(out, header);
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::vector<std::string> line;
      for (int i = 0; i < sqlite3_column_count(s); ++i) {
        std::string v = Text(s, i);
        if (types[header[i]] == "BOOLEAN" && !v.empty()) v = v == "1" ? "true" : "false";
        line.push_back(v);
      }
      WriteCsvRow(out, line);
    }
    sqlite3_finalize(s);
    return out.str();
  }

 private:
  static std::string Text(sqlite3_stmt* s, int i) {
    switch (sqlite3_column_type(s, i)) {
      case SQLITE_NULL:
        return "";
      case SQLITE_INTEGER:
        return std::to_string(sqlite3_column_int64(s, i));
      case SQLITE_FLOAT:
        return FormatNumber(sqlite3_column_double(s, i));
      case SQLITE_BLOB: {
        const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(s, i));
        std::string hex;
        char buf[3];
        for (int k = 0; k < sqlite3_column_bytes(s, i); ++k) {
          std::snprintf(buf, sizeof buf, "%02x", p[k]);
          hex += buf;
        }
        return hex;
      }
      default:
        return reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    }
  }
  sqlite3* db_ = nullptr;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class QuarryExport : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CreateDemoDatabase(demo()), Ok) << LastErrorMessage();
    RemoveAllPasswords();
  }
  void TearDown() override { RemoveAllPasswords(); }

  std::string demo() const { return dir / "demo"; }
  std::string target() const { return dir / "out.sqlite"; }

  QuarryRun ExportDemo(std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"export", demo(), target(), "--password",
                                     kDemoMasterPassword};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunQuarryProcess(args);
  }

  // Leftovers of an export: the target or its work file.
  std::vector<std::string> OutputFiles() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path()))
      if (e.is_regular_file()) names.push_back(e.path().filename());
    return names;
  }

  TempDir dir;
};

TEST_F(QuarryExport, EveryTableReadsBackAsTheDumpPrintsIt) {
  QuarryRun run = ExportDemo();
  ASSERT_EQ(run.status, 0) << run.err;
  Db db(target());
  int tables = 0;
  for (const auto& t : db.rows("SELECT name FROM sqlite_master WHERE type = 'table'")) {
    std::string file = demo() + "/" + t[0] + ".DB";
    if (!fs::exists(file)) file = demo() + "/" + t[0] + ".DBF";
    QuarryRun dump = RunQuarryProcess({"dump", file, "--password", kDemoMasterPassword});
    ASSERT_EQ(dump.status, 0) << dump.err;
    EXPECT_EQ(db.dump(t[0]), dump.out) << t[0];
    EXPECT_NE(run.out.find("Exported " + t[0] + ": "), std::string::npos) << run.out;
    ++tables;
  }
  EXPECT_EQ(tables, 6);  // CUSTOMER ORDERS STATUS SECRETS NOTES PARTS
  EXPECT_NE(run.out.find("Wrote 6 table(s) to " + target()), std::string::npos) << run.out;
  EXPECT_EQ(OutputFiles(), std::vector<std::string>{"out.sqlite"});
}

TEST_F(QuarryExport, TheSchemaCarriesTypesKeysChecksIndexesAndLinks) {
  ASSERT_EQ(ExportDemo().status, 0);
  Db db(target());
  // name, type, notnull, pk
  EXPECT_EQ(db.rows("SELECT name, type, \"notnull\", pk FROM pragma_table_info('CUSTOMER')"),
            (std::vector<std::vector<std::string>>{{"CustNo", "INTEGER", "0", "1"},
                                                   {"Name", "TEXT", "1", "0"},
                                                   {"City", "TEXT", "0", "0"},
                                                   {"Phone", "TEXT", "0", "0"},
                                                   {"Since", "DATE", "0", "0"},
                                                   {"Credit", "REAL", "0", "0"},
                                                   {"Notes", "TEXT", "0", "0"},
                                                   {"Logo", "BLOB", "0", "0"}}));
  EXPECT_EQ(db.rows("SELECT name, type FROM pragma_table_info('ORDERS')"),
            (std::vector<std::vector<std::string>>{{"OrderNo", "INTEGER"},
                                                   {"CustNo", "INTEGER"},
                                                   {"Placed", "TIMESTAMP"},
                                                   {"Amount", "TEXT"},
                                                   {"Status", "TEXT"},
                                                   {"Paid", "BOOLEAN"}}));
  const std::string customer = db.one("SELECT sql FROM sqlite_master WHERE name = 'CUSTOMER'");
  EXPECT_NE(customer.find("CHECK (\"Credit\" >= 0 AND \"Credit\" <= "), std::string::npos)
      << customer;
  EXPECT_NE(customer.find("CHECK (\"Since\" >= '"), std::string::npos) << customer;
  EXPECT_EQ(db.rows("SELECT name, \"unique\" FROM pragma_index_list('CUSTOMER') "
                    "WHERE origin = 'c' ORDER BY name"),
            (std::vector<std::vector<std::string>>{{"CUSTOMER_ByName", "0"},
                                                   {"CUSTOMER_City", "0"}}));
  EXPECT_EQ(db.one("SELECT sql FROM sqlite_master WHERE name = 'CUSTOMER_ByName'"),
            "CREATE INDEX \"CUSTOMER_ByName\" ON \"CUSTOMER\" (\"Name\" COLLATE NOCASE)");
  EXPECT_EQ(db.rows("SELECT \"table\", \"from\", \"to\", on_update, on_delete "
                    "FROM pragma_foreign_key_list('ORDERS')"),
            (std::vector<std::vector<std::string>>{
                {"CUSTOMER", "CustNo", "CustNo", "CASCADE", "RESTRICT"}}));
  EXPECT_EQ(db.rows("SELECT name FROM pragma_index_list('PARTS') WHERE origin = 'c' ORDER BY name"),
            (std::vector<std::vector<std::string>>{{"PARTS_NAME"}, {"PARTS_PARTNO"}}));
  // Parents come before the tables that link to them.
  EXPECT_LT(std::stoi(db.one("SELECT rowid FROM sqlite_master WHERE name = 'CUSTOMER'")),
            std::stoi(db.one("SELECT rowid FROM sqlite_master WHERE name = 'ORDERS'")));
}

TEST_F(QuarryExport, LinksAndChecksAreEnforcedInTheNewFile) {
  ASSERT_EQ(ExportDemo().status, 0);
  Db db(target());
  ASSERT_EQ(db.exec("PRAGMA foreign_keys = ON"), SQLITE_OK);
  EXPECT_EQ(db.one("SELECT count(*) FROM pragma_foreign_key_check"), "0");
  const std::string customer = db.one("SELECT min(CustNo) FROM CUSTOMER");
  EXPECT_EQ(db.exec("INSERT INTO ORDERS (CustNo, Status) VALUES (987654, 'N')"),
            SQLITE_CONSTRAINT);
  EXPECT_EQ(db.exec("INSERT INTO ORDERS (CustNo, Status) VALUES (" + customer + ", 'N')"),
            SQLITE_OK);
  EXPECT_EQ(db.exec("DELETE FROM CUSTOMER WHERE CustNo = " + customer), SQLITE_CONSTRAINT);
  EXPECT_EQ(db.exec("UPDATE CUSTOMER SET Credit = -1 WHERE CustNo = " + customer),
            SQLITE_CONSTRAINT);
  EXPECT_EQ(db.exec("INSERT INTO CUSTOMER (CustNo) VALUES (424242)"), SQLITE_CONSTRAINT)
      << "Name is required";
}

TEST_F(QuarryExport, NamesWithSpacesAndQuotesAreQuoted) {
  const std::string path = demo() + "/Line Items.DB";
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(path, {ptables::Field("Item No", pxLong),
                                     ptables::Field("Say \"hi\"", pxAlpha, 20)},
                              1),
                false),
            Ok)
      << LastErrorMessage();
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
  EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{7}), Value(std::string("it's \"so\""))}), Ok);
  CloseCursor(cursor);

  QuarryRun run = ExportDemo({"--tables", "Line Items, STATUS"});
  ASSERT_EQ(run.status, 0) << run.err;
  Db db(target());
  EXPECT_EQ(db.rows("SELECT * FROM \"Line Items\""),
            (std::vector<std::vector<std::string>>{{"7", "it's \"so\""}}));
  EXPECT_EQ(db.rows("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            (std::vector<std::vector<std::string>>{{"Line Items"}, {"STATUS"}}));
}

// A blank key is kept: the SQLite column is INT (an INTEGER key column
// would number it), and PostgreSQL gets a UNIQUE key instead of a primary one.
TEST_F(QuarryExport, ABlankKeyIsKeptAsBlank) {
  const std::string path = demo() + "/KEYS.DB";
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(path, {ptables::Field("Id", pxLong), ptables::Field("Name", pxAlpha, 8)}, 1),
                false),
            Ok);
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok);
  ASSERT_EQ(InsertRecord(cursor, {Value(std::int64_t{5}), Value(std::string("five"))}), Ok);
  ASSERT_EQ(InsertRecord(cursor, {Value(), Value(std::string("blank"))}), Ok) << LastErrorMessage();
  CloseCursor(cursor);
  ASSERT_EQ(ExportDemo({"--tables", "KEYS"}).status, 0);
  Db db(target());
  EXPECT_EQ(db.rows("SELECT type, pk FROM pragma_table_info('KEYS') WHERE name = 'Id'"),
            (std::vector<std::vector<std::string>>{{"INT", "1"}}));
  EXPECT_EQ(db.rows("SELECT Id, Name FROM KEYS ORDER BY Name"),
            (std::vector<std::vector<std::string>>{{"", "blank"}, {"5", "five"}}));
  QuarryRun script =
      RunQuarryProcess({"export", demo(), "--postgres", dir / "keys.sql", "--tables", "KEYS"});
  ASSERT_EQ(script.status, 0) << script.err;
  EXPECT_NE(ReadFile(dir / "keys.sql").find("ALTER TABLE \"KEYS\" ADD UNIQUE (\"Id\");"),
            std::string::npos);
  EXPECT_NE(script.err.find("note: KEYS: the primary key is UNIQUE, some records leave it blank"),
            std::string::npos)
      << script.err;
}

TEST_F(QuarryExport, AnAliasNamesTheDatabase) {
  ASSERT_EQ(RunQuarryProcess({"alias", "add", "EXPORTDEMO", demo()}).status, 0);
  QuarryRun run = RunQuarryProcess({"export", "EXPORTDEMO", target(), "--tables", "status"});
  RunQuarryProcess({"alias", "delete", "EXPORTDEMO"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Exported STATUS: 3 record(s)\nWrote 1 table(s) to " + target() + "\n");
  EXPECT_EQ(Db(target()).one("SELECT group_concat(Code) FROM STATUS"), "N,P,S");
}

TEST_F(QuarryExport, ALinkToATableLeftOutIsLeftOutWithANote) {
  QuarryRun run = ExportDemo({"--tables", "orders"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("note: ORDERS: link OrderCustomer left out, its parent CUSTOMER.DB is "
                         "not exported"),
            std::string::npos)
      << run.err;
  Db db(target());
  EXPECT_EQ(db.one("SELECT count(*) FROM pragma_foreign_key_list('ORDERS')"), "0");
}

TEST_F(QuarryExport, FailuresLeaveNoFileAndKeepAnOldTarget) {
  {
    std::ofstream old(target());
    old << "old";
  }
  QuarryRun noPassword = RunQuarryProcess({"export", demo(), target()});
  EXPECT_EQ(noPassword.status, 1);
  EXPECT_NE(noPassword.err.find("SECRETS"), std::string::npos) << noPassword.err;
  QuarryRun unknown = ExportDemo({"--tables", "NOSUCH"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("The database has no table NOSUCH."), std::string::npos)
      << unknown.err;
  EXPECT_EQ(RunQuarryProcess({"export", demo()}).status, 2);
  EXPECT_EQ(OutputFiles(), std::vector<std::string>{"out.sqlite"});
  EXPECT_EQ(ReadFile(target()), "old");
}

TEST_F(QuarryExport, ACancelLeavesNoFile) {
  for (auto format : {sql::ExportFormat::Sqlite, sql::ExportFormat::PostgresScript}) {
    AddPassword(kDemoMasterPassword);
    sql::ExportRequest request;
    request.database = demo();
    request.target = target();
    request.format = format;
    std::vector<std::string> seen;
    request.progress = [&](const std::string& table, std::uint64_t rows) {
      seen.push_back(table + " " + std::to_string(rows));
      return seen.size() < 3;
    };
    EXPECT_EQ(sql::ExportDatabase(request), ErrQueryCancelled);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_TRUE(OutputFiles().empty());
  }
}

// ---- PostgreSQL ----

class PostgresScript : public QuarryExport {
 protected:
  std::string script() const { return dir / "out.sql"; }
  std::string Export(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"export", demo(), "--postgres", script(), "--password",
                                     kDemoMasterPassword};
    args.insert(args.end(), extra.begin(), extra.end());
    QuarryRun run = RunQuarryProcess(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return ReadFile(script());
  }
};

TEST_F(PostgresScript, CreatesLoadsThenConstrains) {
  const std::string text = Export();
  const auto at = [&](const std::string& part) {
    const std::size_t p = text.find(part);
    EXPECT_NE(p, std::string::npos) << part << "\n" << text;
    return p;
  };
  at("CREATE TABLE \"CUSTOMER\" (\n  \"CustNo\" integer,\n  \"Name\" text,");
  at("\"Since\" date,\n  \"Credit\" double precision,\n  \"Notes\" text,\n  \"Logo\" bytea\n);");
  at("\"Placed\" timestamp,\n  \"Amount\" numeric(32,2),\n  \"Status\" text,\n  \"Paid\" boolean\n");
  at("\"PRICE\" double precision");
  EXPECT_LT(at("COPY \"CUSTOMER\" (\"CustNo\", \"Name\""), at("ALTER TABLE \"CUSTOMER\" ADD PRIMARY KEY (\"CustNo\");"));
  at("ALTER TABLE \"CUSTOMER\" ALTER COLUMN \"Name\" SET NOT NULL;");
  at("ALTER TABLE \"CUSTOMER\" ADD CHECK (\"Credit\" >= 0 AND \"Credit\" <= ");
  at("CREATE INDEX \"CUSTOMER_ByName\" ON \"CUSTOMER\" (lower(\"Name\"));");
  at("CREATE INDEX \"PARTS_PARTNO\" ON \"PARTS\" (\"PARTNO\");");
  at("CREATE INDEX \"PARTS_NAME\" ON \"PARTS\" (lower(\"NAME\"));");
  EXPECT_LT(at("COMMIT;"), text.size());
  EXPECT_LT(at("ADD PRIMARY KEY (\"CustNo\")"),
            at("ALTER TABLE \"ORDERS\" ADD FOREIGN KEY (\"CustNo\") REFERENCES \"CUSTOMER\" "
               "(\"CustNo\") ON UPDATE CASCADE ON DELETE RESTRICT;"));
  at("\\\\x424d");  // the graphic: a bitmap, as bytea hex
}

TEST_F(PostgresScript, CopyTextEscapesWhatItMust) {
  const std::string path = demo() + "/ODD.DB";
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(path, {ptables::Field("Id", pxLong), ptables::Field("Text", pxMemo, 10),
                                     ptables::Field("Bin", pxBinary, 10),
                                     ptables::Field("X", pxNumber)},
                              1),
                false),
            Ok)
      << LastErrorMessage();
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok) << LastErrorMessage();
  EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{1}), Value(std::string("a\tb\nc\\d\re")),
                                  Value(BlobValue{std::string("\x00\x5c\xff", 3)}), Value(0.1)}),
            Ok);
  EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{2}), Value(), Value(), Value()}), Ok);
  CloseCursor(cursor);
  const std::string text = Export({"--tables", "ODD"});
  EXPECT_NE(text.find("COPY \"ODD\" (\"Id\", \"Text\", \"Bin\", \"X\") FROM stdin;\n"
                      "1\ta\\tb\\nc\\\\d\\re\t\\\\x005cff\t0.1\n"
                      "2\t\\N\t\\N\t\\N\n\\.\n"),
            std::string::npos)
      << text;
}

// A check added after the records (a restructure does not test them)
// would refuse the load: it is added NOT VALID, for new rows only.
TEST_F(PostgresScript, ACheckTheRecordsBreakHoldsForNewRowsOnly) {
  const std::string path = demo() + "/LOW.DB";
  ASSERT_EQ(paradox::CreateParadoxTable(
                ptables::Desc(path, {ptables::Field("Id", pxLong), ptables::Field("Qty", pxLong)}, 1),
                false),
            Ok);
  hDBICur cursor = 0;
  ASSERT_EQ(OpenTablePath(path, OpenMode::ReadWrite, cursor), Ok);
  EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{1}), Value(std::int64_t{5})}), Ok);
  EXPECT_EQ(InsertRecord(cursor, {Value(std::int64_t{2}), Value(std::int64_t{50})}), Ok);
  CloseCursor(cursor);
  TableDesc desc;
  desc.tableName = "LOW.DB";
  ValCheckDesc check;
  check.fieldNumber = 2;
  check.hasMin = 0xFFFF;
  ASSERT_EQ(ValueToCheckArea(pxLong, Value(std::int64_t{10}), 437, check.minValue), Ok);
  desc.checks = {check};
  desc.checkOps = {opAdd};
  hDBIDb db = 0;
  ASSERT_EQ(OpenDatabase(demo(), db), Ok);
  ASSERT_EQ(RestructureTable(db, desc), Ok) << LastErrorMessage();
  CloseDatabase(db);

  QuarryRun run = RunQuarryProcess({"export", demo(), "--postgres", script(), "--tables", "LOW"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(ReadFile(script()).find("ALTER TABLE \"LOW\" ADD CHECK (\"Qty\" >= 10) NOT VALID;\n"),
            std::string::npos)
      << ReadFile(script());
  EXPECT_NE(run.err.find("note: LOW: 1 record(s) break the check \"Qty\" >= 10, which holds for "
                         "new rows only"),
            std::string::npos)
      << run.err;
  run = RunQuarryProcess({"export", demo(), target(), "--tables", "LOW"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("note: LOW: 1 record(s) break the check \"Qty\" >= 10"), std::string::npos)
      << run.err;
}

// Where PostgreSQL's server programs are: on the PATH, or where Debian's
// package puts them (/usr/lib/postgresql/N/bin); "" when nowhere.
std::string ServerBin() {
  if (std::system("command -v initdb >/dev/null 2>&1 && command -v pg_ctl >/dev/null 2>&1") == 0)
    return "";
  std::error_code ec;
  for (const auto& version : fs::directory_iterator("/usr/lib/postgresql", ec))
    if (fs::exists(version.path() / "bin" / "initdb")) return (version.path() / "bin").string() + "/";
  return "none";
}

// A throwaway server in a folder of its own. The server refuses to run as
// root: root runs it as the user "postgres" (runuser).
class Server {
 public:
  explicit Server(const std::string& bin) {
    std::string t = (fs::temp_directory_path() / "quarry-pg-XXXXXX").string();
    dir_ = mkdtemp(t.data());
    if (geteuid() == 0) {
      const passwd* pw = getpwnam("postgres");
      if (!pw || chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) return;
      as_ = "runuser -u postgres -- ";
    }
    ctl_ = as_ + bin + "pg_ctl -s -D '" + dir_ + "/data' -o \"-k '" + dir_ +
           "' -c listen_addresses='' -p 54329\" -l '" + dir_ + "/log'";
    running_ = std::system((as_ + bin + "initdb -A trust -U quarry -D '" + dir_ + "/data' >/dev/null 2>&1").c_str()) == 0 &&
               std::system((ctl_ + " -w start").c_str()) == 0;
  }
  ~Server() {
    if (running_) std::system((ctl_ + " -m fast stop").c_str());
    fs::remove_all(dir_);
  }
  bool running() const { return running_; }
  // psql with these arguments; its output goes to `out`.
  int psql(const std::string& args, const std::string& out) const {
    return std::system(("psql -X -q -v ON_ERROR_STOP=1 -h '" + dir_ +
                        "' -p 54329 -U quarry -d postgres " + args + " >'" + out + "' 2>&1")
                           .c_str());
  }

 private:
  std::string dir_, as_, ctl_;
  bool running_ = false;
};

TEST_F(PostgresScript, LoadsIntoPostgres) {
  const std::string bin = ServerBin();
  if (bin == "none" || std::system("command -v psql >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs PostgreSQL (initdb, pg_ctl and psql)";
  const std::string text = Export();
  Server server(bin);
  if (!server.running()) GTEST_SKIP() << "no server could be started";
  EXPECT_EQ(server.psql("-f '" + script() + "'", dir / "load.out"), 0) << ReadFile(dir / "load.out");
  EXPECT_EQ(server.psql("-At -c 'SELECT count(*) FROM \"ORDERS\" o JOIN \"CUSTOMER\" c USING (\"CustNo\")'",
                        dir / "count.out"),
            0);
  QuarryRun dump = RunQuarryProcess({"dump", demo() + "/ORDERS.DB"});
  const long orders = std::count(dump.out.begin(), dump.out.end(), '\n') - 1;
  EXPECT_EQ(ReadFile(dir / "count.out"), std::to_string(orders) + "\n");
  // The foreign key holds: an order of no customer is refused.
  EXPECT_NE(server.psql("-c 'INSERT INTO \"ORDERS\" (\"CustNo\") VALUES (987654)'", dir / "bad.out"), 0);
}

}  // namespace
