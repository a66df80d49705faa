// quarry_write_bench: what changes cost as tables grow.
//
//   quarry_write_bench [--small N] [--large N] [--changes N] [--data DIR]
//                      [--only changes|bulk|dump]
//
// 1. Single changes. Two keyed tables with two secondary indexes (NAME, and
//    CITY+DAY), of --small (10,000) and --large (1,000,000) records, are
//    generated through the engine (timed, once; later runs reuse them).
//    On each, --changes (25) rounds of: insert one record (a key between
//    existing ones), update one (new NAME and CITY: both indexes change),
//    delete the inserted one. Printed: the median time of each change, the
//    bytes written and the flushes it made, and the large/small ratio
//    (target: at most 3x; bytes and flushes must not grow with the table).
// 2. Bulk load, whole processes: `quarry insert` of 100,000 and 1,000,000
//    CSV rows in random key order into an empty keyed table, against the
//    sqlite3 shell importing the same CSV into a table with the same primary
//    key; wall time and peak memory (targets: quarry within 3x of sqlite3;
//    the 1,000,000-row load's peak memory under 2x the 100,000-row one's).
// 3. Dump, whole processes: `quarry dump` against a pxlib-based dump of
//    unkeyed tables of 10,000, 100,000 and 1,000,000 records.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>

#include "bench/common.h"
#include "engine/io/file.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/rows.h"

using namespace engine;
using namespace engine::paradox;
using namespace bench;

namespace {

struct Options {
  long small = 10000;
  long large = 1000000;
  int changes = 25;
  std::string dataDir = QUARRY_BENCH_DATA;
  std::string only;
};

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--small")
      o.small = std::atol(v.c_str());
    else if (a == "--large")
      o.large = std::atol(v.c_str());
    else if (a == "--changes")
      o.changes = std::atoi(v.c_str());
    else if (a == "--data")
      o.dataDir = v;
    else if (a == "--only")
      o.only = v;
    else
      return false;
  }
  return argc % 2 == 1 && o.small > 0 && o.large > 0 && o.changes > 0;
}

bool Wanted(const Options& o, const char* part) { return o.only.empty() || o.only == part; }

// ------------------------------------------------------------ tables

// The keys 2, 4, ..., 2n in a scattered order: a step coprime with n walks
// every index once.
long ScatteredKey(long i, long n) {
  long step = 7919;
  while (std::gcd(step, n) != 1) step += 2;
  return 2 * ((i * step) % n) + 2;
}

std::vector<Value> KeyedRow(Random& rng, long key) {
  static const std::int32_t kFirstDay = DayNumber(1990, 1, 1);
  return {static_cast<std::int64_t>(key),
          "Name " + std::to_string(rng.below(50000)),
          "City " + std::to_string(rng.below(400)),
          static_cast<double>(rng.below(1000000)) / 100.0,
          DateValue{kFirstDay + static_cast<std::int32_t>(rng.below(12000))},
          static_cast<double>(rng.below(10000000)) / 100.0};
}

IndexDesc Index(const std::string& name, std::vector<std::uint16_t> fields) {
  IndexDesc ix;
  ix.name = name;
  ix.maintained = 1;
  ix.fieldsInKey = static_cast<std::uint16_t>(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) ix.keyFields[i] = fields[i];
  return ix;
}

std::unique_ptr<ParadoxTable> OpenForChanges(const std::string& path) {
  std::unique_ptr<ParadoxTable> t;
  OpenOptions o;
  o.writable = true;
  if (ParadoxTable::Open(path, o, t)) Die("cannot open " + path);
  if (AttachSecondaryIndexes(*t)) Die("cannot attach the indexes of " + path);
  return t;
}

bool HasRecords(const std::string& path, long rows) {
  std::unique_ptr<ParadoxTable> t;
  return std::filesystem::exists(path) && ParadoxTable::Open(path, {}, t) == Ok &&
         t->recordCount() == static_cast<std::uint32_t>(rows);
}

std::string KeyedTable(const Options& o, long rows) {
  const std::string path = o.dataDir + "/keyed_" + std::to_string(rows) + ".db";
  if (HasRecords(path, rows)) return path;
  TableDesc d;
  d.tableName = path;
  d.fields = {Field("ID", pxLong),      Field("NAME", pxAlpha, 20), Field("CITY", pxAlpha, 16),
              Field("VALUE", pxNumber), Field("DAY", pxDate),       Field("PRICE", pxMoney)};
  IndexDesc primary;
  primary.primary = primary.unique = primary.maintained = 1;
  primary.fieldsInKey = 1;
  primary.keyFields[0] = 1;
  d.indexes = {primary, Index("", {2}), Index("CityDay", {3, 5})};
  d.optionalParams.push_back({"LEVEL", "7"});
  if (CreateParadoxTable(d, true)) Die("cannot create " + path);
  const auto start = Clock::now();
  Random rng(rows);
  GeneratedRows source(rows, [&](long i) { return KeyedRow(rng, ScatteredKey(i, rows)); });
  if (OpenForChanges(path)->insertRows(source)) Die("cannot fill " + path);
  std::printf("  generated %s: %ld records in scattered key order, two indexes, in %.1f s\n",
              path.c_str(), rows, MsSince(start) / 1000.0);
  return path;
}

// ------------------------------------------------------------ 1. changes

struct Cost {
  std::vector<double> ms;
  std::uint64_t bytes = 0, flushes = 0, writes = 0;
  int count = 0;
  double median() {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
  }
};

template <typename F>
void Timed(Cost& cost, F change) {
  const io::IoCounters before = io::Counters();
  const auto start = Clock::now();
  if (change()) Die("a change failed");
  cost.ms.push_back(MsSince(start));
  const io::IoCounters& after = io::Counters();
  cost.bytes += after.bytesWritten - before.bytesWritten;
  cost.flushes += after.flushes - before.flushes;
  cost.writes += after.writes - before.writes;
  ++cost.count;
}

struct Changes {
  Cost insert, update, remove;
};

Changes MeasureChanges(const std::string& path, long rows, int rounds) {
  auto t = OpenForChanges(path);
  Random rng(99);
  Changes c;
  for (int i = 0; i < rounds; ++i) {
    const long key = 2 * rng.below(rows) + 1;  // between two existing keys
    std::uint32_t at = 0;
    Timed(c.insert, [&] { return t->insert(KeyedRow(rng, key), &at); });
    const auto other = static_cast<std::uint32_t>(rng.below(rows));
    std::vector<Value> values;
    if (t->readRecord(other, values)) Die("cannot read");
    // New values in every run: the tables are kept between runs.
    values[1] = "New " + std::to_string(getpid()) + "-" + std::to_string(i);
    values[2] = "Town " + std::to_string(rng.below(400));
    Timed(c.update, [&] { return t->update(other, values); });
    Timed(c.remove, [&] { return t->remove(at); });
  }
  return c;
}

void PrintCost(const char* what, Cost& small, Cost& large) {
  const double s = small.median(), l = large.median();
  std::printf("  %-7s %8.3f ms %8.3f ms %6.2fx   %7.0f B  %7.0f B   %4.1f  %4.1f  %s\n", what, s, l,
              l / s, double(small.bytes) / small.count, double(large.bytes) / large.count,
              double(small.flushes) / small.count, double(large.flushes) / large.count,
              l <= 3 * s ? "MET" : "MISSED");
}

// Peak memory of a whole `quarry insert` of one row into a copy of the
// table: what a one-row change costs in memory, open included.
long OneRowProcessKb(const Options& o, const std::string& table) {
#ifdef QUARRY_BIN
  const std::string dir = o.dataDir + "/one-row";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string stem = std::filesystem::path(table).stem().string();
  for (const auto& e : std::filesystem::directory_iterator(o.dataDir))
    if (e.is_regular_file() && e.path().stem() == stem)
      std::filesystem::copy_file(e.path(), dir + "/" + e.path().filename().string());
  const std::string csv = dir + "/row.csv";
  std::ofstream(csv) << "ID,NAME,CITY\n3,One,Row\n";
  setenv("QUARRY_CONFIG", (dir + "/engine.cfg").c_str(), 1);
  Run run = RunProgram(
      {QUARRY_BIN, "insert", dir + "/" + std::filesystem::path(table).filename().string()}, csv);
  std::filesystem::remove_all(dir);
  if (run.status != 0) Die("quarry insert of one row failed");
  return run.peakKb;
#else
  (void)o, (void)table;
  return 0;
#endif
}

void SingleChanges(const Options& o) {
  std::printf("1. single changes on keyed tables with two secondary indexes\n");
  const std::string small = KeyedTable(o, o.small), large = KeyedTable(o, o.large);
  Changes s = MeasureChanges(small, o.small, o.changes);
  Changes l = MeasureChanges(large, o.large, o.changes);
  std::printf(
      "\n  median of %d each    %ld rec    %ld rec  ratio   bytes/change (both)   flushes\n",
      o.changes, o.small, o.large);
  PrintCost("insert", s.insert, l.insert);
  PrintCost("update", s.update, l.update);
  PrintCost("delete", s.remove, l.remove);
  std::printf("  (target: each change on the large table within 3x of the small one)\n");
  const long smallKb = OneRowProcessKb(o, small), largeKb = OneRowProcessKb(o, large);
  if (smallKb > 0)
    std::printf(
        "  whole `quarry insert` of one row: peak %ld KB (%ld rec), %ld KB (%ld rec): %.2fx\n",
        smallKb, o.small, largeKb, o.large, double(largeKb) / double(smallKb));
  std::printf("\n");
}

// ------------------------------------------------------------ 2. bulk load

std::string CsvRows(const Options& o, long rows) {
  const std::string path = o.dataDir + "/rows_" + std::to_string(rows) + ".csv";
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return path;
  std::ofstream out(path);
  out << "ID,NAME,CITY,VALUE,DAY,PRICE\n";
  Random rng(rows + 1);
  for (long i = 0; i < rows; ++i) {
    const long key = ScatteredKey(i, rows) / 2;
    out << key << ",Name " << rng.below(50000) << ",City " << rng.below(400) << ","
        << rng.below(1000000) / 100.0 << ",20" << 10 + rng.below(10) << "-0" << 1 + rng.below(9)
        << "-1" << rng.below(9) << "," << rng.below(10000000) / 100.0 << "\n";
  }
  return path;
}

void BulkLoad(const Options& o) {
#ifdef QUARRY_BIN
  std::printf("2. bulk load of CSV rows in random key order, whole processes\n");
  const std::string dir = o.dataDir + "/bulk";
  std::map<long, Run> ours;
  for (long rows : {o.large / 10, o.large}) {
    const std::string csv = CsvRows(o, rows);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string table = dir + "/LOAD.DB", config = dir + "/engine.cfg";
    setenv("QUARRY_CONFIG", config.c_str(), 1);
    Run created = RunProgram({QUARRY_BIN, "create", table, "--fields",
                              "ID I; NAME A 20; CITY A 16; VALUE N; DAY D; PRICE $", "--key", "1"});
    if (created.status != 0) Die("quarry create failed");
    Run q = RunProgram({QUARRY_BIN, "insert", table}, csv);
    if (q.status != 0) Die("quarry insert failed");
    Run s = RunProgram({"sqlite3", dir + "/load.sqlite",
                        "CREATE TABLE t(ID INTEGER PRIMARY KEY, NAME TEXT, CITY TEXT, VALUE REAL, "
                        "DAY TEXT, PRICE REAL);",
                        ".import --csv --skip 1 " + csv + " t"});
    if (s.status != 0) std::printf("  (sqlite3 failed or is missing)\n");
    std::printf(
        "  %8ld rows: quarry insert %8.0f ms %7ld KB peak | sqlite3 %8.0f ms %7ld KB peak"
        " | quarry/sqlite3 %.2fx %s\n",
        rows, q.ms, q.peakKb, s.ms, s.peakKb, q.ms / s.ms, q.ms <= 3 * s.ms ? "MET" : "MISSED");
    ours[rows] = q;
  }
  const double memory = double(ours[o.large].peakKb) / double(ours[o.large / 10].peakKb);
  std::printf("  peak memory of quarry, %ld rows / %ld rows: %.2fx (target < 2x) %s\n\n", o.large,
              o.large / 10, memory, memory < 2 ? "MET" : "MISSED");
  std::filesystem::remove_all(dir);
#else
  (void)o;
  std::printf("2. bulk load: skipped (built without the quarry command line)\n\n");
#endif
}

// ------------------------------------------------------------ 3. dump

std::string UnkeyedTable(const Options& o, long rows) {
  const std::string path = o.dataDir + "/plain_" + std::to_string(rows) + ".db";
  if (HasRecords(path, rows)) return path;
  TableDesc d;
  d.tableName = path;
  d.fields = {Field("NAME", pxAlpha, 20), Field("VALUE", pxNumber), Field("COUNT", pxLong),
              Field("DAY", pxDate), Field("PRICE", pxMoney)};
  d.optionalParams.push_back({"LEVEL", "7"});
  if (CreateParadoxTable(d, true)) Die("cannot create " + path);
  Random rng(rows);
  GeneratedRows source(rows, [&](long i) {
    std::vector<Value> r = KeyedRow(rng, i);
    return std::vector<Value>{r[1], r[3], static_cast<std::int64_t>(i), r[4], r[5]};
  });
  const auto start = Clock::now();
  if (OpenForChanges(path)->insertRows(source)) Die("cannot fill " + path);
  std::printf("  generated %s: %ld records in %.1f s\n", path.c_str(), rows,
              MsSince(start) / 1000.0);
  return path;
}

void Dumps(const Options& o) {
#if defined(QUARRY_BIN) && defined(PXLIB_DUMP_BIN)
  std::printf("3. dump of unkeyed tables, whole processes (output to /dev/null)\n");
  for (long rows : {o.small, o.large / 10, o.large}) {
    const std::string table = UnkeyedTable(o, rows);
    Run q = RunProgram({QUARRY_BIN, "dump", table});
    Run p = RunProgram({PXLIB_DUMP_BIN, table});
    if (q.status != 0 || p.status != 0) Die("a dump failed");
    std::printf("  %8ld records: quarry dump %9.0f ms | pxlib dump %9.0f ms | pxlib/quarry %.1fx\n",
                rows, q.ms, p.ms, p.ms / q.ms);
  }
  std::printf("\n");
#else
  (void)o;
  std::printf("3. dump: skipped (needs the quarry command line and pxlib)\n\n");
#endif
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fputs(
        "usage: quarry_write_bench [--small N] [--large N] [--changes N] [--data DIR] "
        "[--only changes|bulk|dump]\n",
        stderr);
    return 2;
  }
  std::filesystem::create_directories(o.dataDir);
  if (Wanted(o, "changes")) SingleChanges(o);
  if (Wanted(o, "bulk")) BulkLoad(o);
  if (Wanted(o, "dump")) Dumps(o);
  return 0;
}
