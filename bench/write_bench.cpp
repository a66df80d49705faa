// quarry_write_bench: what changes cost as tables grow.
//
//   quarry_write_bench [--small N] [--large N] [--changes N] [--data DIR]
//                      [--only changes|bulk|dump|restructure]
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
// 4. Restructure and add index, on copies of the unkeyed tables of 3. and of
//    keyed tables like those of 1. without their secondary indexes, of
//    --small, --large / 10 and --large records. Restructuring (one field
//    converted, one added) is set against copying the table's files (write
//    and fsync) plus one full scan (readRecord); adding an index on NAME
//    against one full scan plus an ExternalSorter sort of the NAME key bytes
//    with the record numbers. All in the same run, on the same table, runs
//    interleaved; medians (targets: at most 3x each).
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>

#include "bench/common.h"
#include "engine/engine.h"
#include "engine/indexes.h"
#include "engine/io/file.h"
#include "engine/io/sorter.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxrestructure.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"
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

// With `secondary` false the table has its primary key only.
std::string KeyedTable(const Options& o, long rows, bool secondary = true) {
  const std::string path =
      o.dataDir + (secondary ? "/keyed_" : "/keyonly_") + std::to_string(rows) + ".db";
  if (HasRecords(path, rows)) return path;
  TableDesc d;
  d.tableName = path;
  d.fields = {Field("ID", pxLong),      Field("NAME", pxAlpha, 20), Field("CITY", pxAlpha, 16),
              Field("VALUE", pxNumber), Field("DAY", pxDate),       Field("PRICE", pxMoney)};
  IndexDesc primary;
  primary.primary = primary.unique = primary.maintained = 1;
  primary.fieldsInKey = 1;
  primary.keyFields[0] = 1;
  d.indexes = {primary};
  if (secondary) d.indexes.insert(d.indexes.end(), {Index("", {2}), Index("CityDay", {3, 5})});
  d.optionalParams.push_back({"LEVEL", "7"});
  if (CreateParadoxTable(d, true)) Die("cannot create " + path);
  const auto start = Clock::now();
  Random rng(rows);
  GeneratedRows source(rows, [&](long i) { return KeyedRow(rng, ScatteredKey(i, rows)); });
  if (OpenForChanges(path)->insertRows(source)) Die("cannot fill " + path);
  std::printf("  generated %s: %ld records in scattered key order, %s, in %.1f s\n", path.c_str(),
              rows, secondary ? "two indexes" : "no secondary index", MsSince(start) / 1000.0);
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

// ------------------------------------------------------------ 4. restructure and add index

// Copies every file of the table's family into `dir` under the same names,
// each written in 1 MiB pieces and flushed: what a plain backup copy costs.
void CopyFamily(const std::string& table, const std::string& dir) {
  std::vector<FamilyMember> members;
  if (ListFamily(table, members)) Die("cannot list the family of " + table);
  std::vector<char> buffer(1 << 20);
  for (const FamilyMember& m : members) {
    const std::string to = dir + "/" + m.fileName;
    const int in = ::open(m.path.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) Die("cannot copy " + m.path);
    for (;;) {
      const ssize_t got = ::read(in, buffer.data(), buffer.size());
      if (got < 0) Die("cannot read " + m.path);
      if (got == 0) break;
      if (::write(out, buffer.data(), static_cast<std::size_t>(got)) != got)
        Die("cannot write " + to);
    }
    if (::fsync(out) != 0) Die("cannot flush " + to);
    ::close(in);
    ::close(out);
  }
}

// Lets the disk work a step left behind (writeback, freeing the blocks of
// removed files) finish before the next step is timed.
void Settle() { ::sync(); }

// An empty directory for one run's copy.
std::string FreshDirectory(const std::string& dir) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

// Open, then every record through readRecord(), as quarry_bench scans.
double ScanMs(const std::string& path, std::uint64_t& sink) {
  const auto start = Clock::now();
  std::unique_ptr<ParadoxTable> t;
  if (ParadoxTable::Open(path, {}, t)) Die("cannot open " + path);
  std::vector<Value> row;
  for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
    if (t->readRecord(i, row)) Die("cannot read record " + std::to_string(i + 1));
    sink += row.size() + static_cast<std::uint64_t>(IsNull(row[0]));
  }
  return MsSince(start);
}

// The stored bytes of field `field` (0-based) of every record, each followed
// by the record's number (4 bytes, big-endian): what the sort sorts.
struct Keys {
  PxField field;
  const text::LanguageDriver* driver = nullptr;
  std::size_t size = 0;  // bytes per entry
  std::vector<std::uint8_t> bytes;
  std::unique_ptr<ParadoxTable> table;  // keeps the driver alive
};

void ReadKeys(const std::string& path, int field, Keys& keys) {
  if (ParadoxTable::Open(path, {}, keys.table)) Die("cannot open " + path);
  keys.field = keys.table->header().fields[field];
  keys.driver = keys.table->driver();
  const std::size_t width = keys.field.width();
  keys.size = width + 4;
  const std::uint32_t n = keys.table->recordCount();
  keys.bytes.resize(n * keys.size);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint8_t* rec;
    if (keys.table->record(i, rec)) Die("cannot read record " + std::to_string(i + 1));
    std::uint8_t* e = keys.bytes.data() + i * keys.size;
    std::memcpy(e, rec + keys.field.offset, width);
    for (int b = 0; b < 4; ++b) e[width + b] = static_cast<std::uint8_t>((i + 1) >> (24 - 8 * b));
  }
}

// Sorts the keys in the index's order (the table's collation), then by
// record number, with the sorter and memory the index build uses; every
// entry is read back.
double SortMs(const Keys& keys, const std::string& tempDir, std::uint64_t& sink) {
  const std::size_t width = keys.field.width();
  const auto start = Clock::now();
  io::ExternalSorter sorter(
      keys.size,
      [&](const std::uint8_t* a, const std::uint8_t* b) {
        if (int c = CompareStored(keys.field, a, b, keys.driver)) return c;
        return std::memcmp(a + width, b + width, 4);
      },
      tempDir);
  for (std::size_t at = 0; at < keys.bytes.size(); at += keys.size)
    if (sorter.add(keys.bytes.data() + at)) Die("cannot sort");
  for (;;) {
    const std::uint8_t* e;
    bool end = false;
    if (sorter.next(e, end)) Die("cannot sort");
    if (end) break;
    sink += e[width + 3];
  }
  return MsSince(start);
}

// A table to restructure and index, and the changes made to it.
struct Subject {
  std::string path;    // the generated table, never changed itself
  TableDesc change;    // the restructure
  IndexDesc index;     // the index added
  int indexField = 0;  // its field, 0-based
};

FieldDesc Kept(std::uint16_t number) {
  FieldDesc f;
  f.number = number;
  return f;
}

// Keeps fields 1..n, turns field `modified` into `type`, adds NOTE A10.
TableDesc Change(int n, int modified, std::uint16_t type) {
  TableDesc d;
  for (int i = 1; i <= n; ++i) {
    FieldDesc f = Kept(static_cast<std::uint16_t>(i));
    std::int32_t op = opCopy;
    if (i == modified) {
      f.type = type;
      op = opModify;
    }
    d.fields.push_back(f);
    d.fieldOps.push_back(op);
  }
  d.fields.push_back(Field("NOTE", pxAlpha, 10));
  d.fieldOps.push_back(opAdd);
  return d;
}

struct RunFigures {
  std::vector<double> copy, scan, restructure, sort, addIndex, copyTable;
  std::uint64_t restructureFlushes = 0, addIndexFlushes = 0;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void MeasureSubject(const Options& o, const Subject& s, long rows, int runs) {
  const std::string base = o.dataDir + "/restructure";
  const std::string file = std::filesystem::path(s.path).filename().string();
  Keys keys;
  ReadKeys(s.path, s.indexField, keys);
  hDBIDb db = 0;
  RunFigures f;
  std::uint64_t sink = 0;
  for (int run = 0; run < runs; ++run) {
    // The copy a plain backup makes.
    const std::string copyDir = FreshDirectory(base + "/copy");
    Settle();
    auto start = Clock::now();
    CopyFamily(s.path, copyDir);
    f.copy.push_back(MsSince(start));
    Settle();
    f.scan.push_back(ScanMs(s.path, sink));
    // Restructuring a fresh, flushed copy; only the restructure is timed.
    const std::string work = FreshDirectory(base + "/work");
    CopyFamily(s.path, work);
    Settle();
    TableDesc change = s.change;
    change.tableName = work + "/" + file;
    RestructureOptions options;
    RestructureReport report;
    io::IoCounters before = io::Counters();
    start = Clock::now();
    if (RestructureParadoxTable(change.tableName, change, options, &report)) Die("restructure");
    f.restructure.push_back(MsSince(start));
    f.restructureFlushes += io::Counters().flushes - before.flushes;
    if (report.kept != static_cast<std::uint32_t>(rows) || report.problems || report.shortened)
      Die("the restructure did not keep every value of " + s.path);
    Settle();
    f.sort.push_back(SortMs(keys, base, sink));
    // Adding the index to another fresh copy.
    FreshDirectory(work);
    CopyFamily(s.path, work);
    if (OpenDatabase(work, db)) Die("cannot open the database " + work);
    Settle();
    before = io::Counters();
    start = Clock::now();
    if (AddIndex(db, file, s.index)) Die("cannot add the index to " + work);
    f.addIndex.push_back(MsSince(start));
    f.addIndexFlushes += io::Counters().flushes - before.flushes;
    CloseDatabase(db);
    // The engine's own copy of the table, for comparison.
    FreshDirectory(copyDir);
    Settle();
    start = Clock::now();
    if (CopyParadoxTable(s.path, copyDir + "/" + file, false, {})) Die("cannot copy " + s.path);
    f.copyTable.push_back(MsSince(start));
  }
  std::filesystem::remove_all(base);
  const double copy = Median(f.copy), scan = Median(f.scan), restructure = Median(f.restructure);
  const double sort = Median(f.sort), addIndex = Median(f.addIndex);
  const double r1 = restructure / (copy + scan), r2 = addIndex / (scan + sort);
  std::printf("  %8ld records, median of %d%s\n", rows, runs, sink == 0 ? " (nothing read)" : "");
  std::printf(
      "    restructure %8.1f ms | copy files %7.1f ms + scan %7.1f ms = %8.1f ms | %5.2fx  %s"
      "   (%llu flushes; engine copy %.1f ms)\n",
      restructure, copy, scan, copy + scan, r1, r1 <= 3 ? "met" : "NOT met",
      static_cast<unsigned long long>(f.restructureFlushes / runs), Median(f.copyTable));
  std::printf(
      "    add index   %8.1f ms | scan %7.1f ms + sort keys %7.1f ms   = %8.1f ms | %5.2fx  %s"
      "   (%llu flushes)\n",
      addIndex, scan, sort, scan + sort, r2, r2 <= 3 ? "met" : "NOT met",
      static_cast<unsigned long long>(f.addIndexFlushes / runs));
}

void RestructureAndIndex(const Options& o) {
  std::printf("4. restructure and add index, each on a fresh copy of the table\n");
  for (int kind = 0; kind < 2; ++kind) {
    if (kind == 0)
      std::printf(
          "  unkeyed tables of 3. (NAME A20, VALUE N, COUNT I, DAY D, PRICE $):\n"
          "  restructure COUNT I -> N and add NOTE A10; add an index on NAME\n");
    else
      std::printf(
          "  keyed tables like those of 1. without secondary indexes (ID I key, NAME A20,\n"
          "  CITY A16, VALUE N, DAY D, PRICE $): restructure VALUE N -> $ and add NOTE A10;\n"
          "  add an index on NAME\n");
    for (long rows : {o.small, o.large / 10, o.large}) {
      Subject s;
      IndexDesc name = Index("", {static_cast<std::uint16_t>(kind == 0 ? 1 : 2)});
      if (kind == 0) {
        s = {UnkeyedTable(o, rows), Change(5, 3, pxNumber), name, 0};
      } else {
        s = {KeyedTable(o, rows, false), Change(6, 4, pxMoney), name, 1};
      }
      MeasureSubject(o, s, rows, rows >= 1000000 ? 3 : 5);
    }
  }
  std::printf(
      "  (targets: restructure within 3x of copy + scan, add index within 3x of scan + sort)\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fputs(
        "usage: quarry_write_bench [--small N] [--large N] [--changes N] [--data DIR] "
        "[--only changes|bulk|dump|restructure]\n",
        stderr);
    return 2;
  }
  std::filesystem::create_directories(o.dataDir);
  if (Wanted(o, "changes")) SingleChanges(o);
  if (Wanted(o, "bulk")) BulkLoad(o);
  if (Wanted(o, "dump")) Dumps(o);
  if (Wanted(o, "restructure")) RestructureAndIndex(o);
  return 0;
}
