// quarry_dbase_bench: how fast a whole dBASE table is read, against
// shapelib's DBF reader (Debian's libshp-dev) and python3's dbfread
// (python3-dbfread) reading the same files in the same run.
//
//   quarry_dbase_bench [--sizes N,N,...] [--runs N] [--dbfread-runs N]
//                      [--dbfread-max N] [--data DIR]
//
// Generates (once; later runs reuse them) dBASE III+ tables of 10,000,
// 100,000 and 1,000,000 records with the fields NAME C20, AMOUNT N10.2,
// DAY D, FLAG L, QTY N8, written by the engine (DbaseTable::Create and
// insertRows). Every reader then scans the same file in a process of its
// own, and the figures are the whole process's: wall time from fork to
// exit and peak resident memory (wait4's ru_maxrss), taken by the small
// program run_measured (bench/common.h, RunProgram).
//   quarry:   this program run again with --scan FILE: OpenTablePath, then
//             GetNextRecord into one std::vector<Value> until the end,
//             every field of every record decoded;
//   shapelib: shapelib_scan FILE (bench/shapelib_scan.c): DBFOpen, then
//             every field of every record read by the call its type
//             suggests;
//   dbfread:  python3 -c "for r in DBF(FILE, load=False): pass".
// The timed runs only read: none of them does anything with the values.
// That they all read the same values is checked apart, untimed: quarry and
// shapelib compute a checksum of every table (--checksum), dbfread of the
// smallest.
// The runs of the readers alternate, so that other work on the machine
// falls on all of them alike; the best of the runs is the figure, the
// median is shown beside it. Tables of up to 100,000 records take three
// times the runs (--runs, default 5; dbfread --dbfread-runs, default 3).
// The least processor time (user and system) of the runs is shown too: it
// varies less than wall time when other work shares the machine. The
// targets are judged on wall time. Files are read once before the timing,
// so all figures are warm-cache figures.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/common.h"
#include "engine/dbase/dbtable.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/records.h"
#include "engine/value.h"

using namespace engine;
using namespace bench;

namespace {

struct Options {
  std::vector<long> sizes = {10000, 100000, 1000000};
  int runs = 5;
  int dbfreadRuns = 3;
  long dbfreadMax = 1000000;
  std::string dataDir = QUARRY_BENCH_DATA;
  std::string scan;      // child mode: scan this table, print its record count
  std::string checksum;  // child mode: the same, with the checksum
};

bool ParseSizes(const std::string& text, std::vector<long>& out) {
  out.clear();
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const long n = std::atol(text.substr(at, comma - at).c_str());
    if (n <= 0) return false;
    out.push_back(n);
    at = comma + 1;
  }
  return !out.empty();
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return false;
    std::string v = argv[++i];
    if (a == "--sizes") {
      if (!ParseSizes(v, o.sizes)) return false;
    } else if (a == "--runs") {
      o.runs = std::atoi(v.c_str());
    } else if (a == "--dbfread-runs") {
      o.dbfreadRuns = std::atoi(v.c_str());
    } else if (a == "--dbfread-max") {
      o.dbfreadMax = std::atol(v.c_str());
    } else if (a == "--data") {
      o.dataDir = v;
    } else if (a == "--scan") {
      o.scan = v;
    } else if (a == "--checksum") {
      o.checksum = v;
    } else {
      return false;
    }
  }
  return o.runs > 0 && o.dbfreadRuns > 0;
}

// ------------------------------------------------------------ the tables

// 2-3% of every field left blank.
std::vector<Value> Row(Random& rng) {
  static const std::int32_t kFirstDay = DayNumber(1950, 1, 1);
  std::vector<Value> row(5);
  if (!rng.chance(3)) row[0] = RandomName(rng);
  // -999,999.99 .. 999,999.99: ten characters at most.
  if (!rng.chance(2)) row[1] = static_cast<double>(rng.below(199999999) - 99999999) / 100.0;
  if (!rng.chance(2)) row[2] = DateValue{kFirstDay + static_cast<std::int32_t>(rng.below(29200))};
  if (!rng.chance(2)) row[3] = rng.below(2) == 1;
  // -9,999,999 .. 99,999,999: eight characters at most.
  if (!rng.chance(2)) row[4] = static_cast<std::int64_t>(rng.below(109999999) - 9999999);
  return row;
}

bool HasRecords(const std::string& path, long rows) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  std::unique_ptr<dbase::DbaseTable> t;
  const bool complete = dbase::DbaseTable::Open(path, {}, t) == Ok &&
                        t->recordCount() == static_cast<std::uint32_t>(rows);
  ClearLastError();
  return complete;
}

// The table of `rows` records, generated through the engine unless a
// previous run left it complete.
std::string BenchTable(const Options& o, long rows) {
  std::filesystem::create_directories(o.dataDir);
  const std::string path = o.dataDir + "/dbf_" + std::to_string(rows) + ".dbf";
  if (HasRecords(path, rows)) return path;
  std::printf("generating %s (%ld records, once)...\n", path.c_str(), rows);
  std::fflush(stdout);
  const auto start = Clock::now();
  TableDesc d;
  d.tableName = path;
  FieldDesc amount = Field("AMOUNT", dbNumber, 10);
  amount.units2 = 2;
  d.fields = {Field("NAME", dbChar, 20), amount, Field("DAY", dbDate), Field("FLAG", dbLogical),
              Field("QTY", dbNumber, 8)};
  if (dbase::DbaseTable::Create(path, d, 3, true)) Die("cannot create " + path);
  std::unique_ptr<dbase::DbaseTable> t;
  dbase::OpenOptions writable;
  writable.writable = true;
  if (dbase::DbaseTable::Open(path, writable, t)) Die("cannot open " + path);
  Random rng;
  GeneratedRows source(rows, [&](long) { return Row(rng); });
  if (t->insertRows(source)) Die("cannot fill " + path);
  std::printf("generated in %.1f s\n", MsSince(start) / 1000.0);
  return path;
}

// Reads the whole file once, so that every reader finds it in the page cache.
void Warm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

// ------------------------------------------------------------ the scan

// The checksum shapelib_scan.c describes, from the engine's values.
std::uint64_t Fold(const Value& v) {
  switch (v.index()) {
    case 1:
      return std::get<bool>(v) ? 1 : 0;
    case 2:
      return static_cast<std::uint64_t>(std::get<std::int64_t>(v));
    case 3:
      return static_cast<std::uint64_t>(std::llround(std::get<double>(v) * 100.0));
    case 4: {
      std::uint64_t characters = 0;
      for (unsigned char c : std::get<std::string>(v)) characters += (c & 0xC0) != 0x80;
      return characters;
    }
    case 5: {
      int year, month, day;
      SplitDayNumber(std::get<DateValue>(v).day, year, month, day);
      return static_cast<std::uint64_t>(year * 10000 + month * 100 + day);
    }
    default:
      return 0;  // NULL
  }
}

// Child mode: the engine's full scan through the handle API. Prints
// "RECORDS CHECKSUM", the checksum 0 unless asked for.
int ScanWithEngine(const std::string& path, bool withChecksum) {
  hDBICur cursor = 0;
  if (OpenTablePath(path, OpenMode::ReadOnly, cursor)) Die("cannot open " + path);
  std::vector<Value> row;
  long records = 0;
  std::uint64_t checksum = 0;
  for (;;) {
    const Result r = GetNextRecord(cursor, &row);
    if (r == ErrEndOfList) break;
    if (r) Die("cannot read record " + std::to_string(records + 1));
    if (withChecksum)
      for (const Value& v : row) checksum += Fold(v);
    ++records;
  }
  CloseCursor(cursor);
  std::printf("%ld %llu\n", records, static_cast<unsigned long long>(checksum));
  return 0;
}

// ------------------------------------------------------------ the readers

const char kDbfreadScan[] =
    "import sys\n"
    "from dbfread import DBF\n"
    "for r in DBF(sys.argv[1], load=False): pass\n";

// The same checksum in Python (untimed: the oracle).
const char kDbfreadChecksum[] =
    "import sys, datetime\n"
    "from dbfread import DBF\n"
    "n = 0; s = 0\n"
    "for r in DBF(sys.argv[1], load=False):\n"
    "    n += 1\n"
    "    for v in r.values():\n"
    "        if v is None: continue\n"
    "        if isinstance(v, bool): s += 1 if v else 0\n"
    "        elif isinstance(v, int): s += v\n"
    "        elif isinstance(v, float): s += round(v * 100)\n"
    "        elif isinstance(v, str): s += len(v)\n"
    "        elif isinstance(v, datetime.date): s += v.year * 10000 + v.month * 100 + v.day\n"
    "print(n, s % (1 << 64))\n";

// A python3 that has dbfread: QUARRY_PYTHON, else Debian's, else the one
// on the PATH (which may be another installation without Debian's
// packages); "" when none has it.
std::string PythonWithDbfread() {
  std::vector<std::string> candidates;
  if (const char* e = std::getenv("QUARRY_PYTHON")) candidates.push_back(e);
  candidates.push_back("/usr/bin/python3");
  candidates.push_back("python3");
  for (const std::string& p : candidates)
    if (RunProgram({p, "-c", "import dbfread"}).status == 0) return p;
  return {};
}

struct Reader {
  std::string name;
  std::vector<std::string> argv;  // the table's path is appended
  std::vector<std::string> checksumArgv;  // the same with the checksum; {}: none
  bool counted;                   // prints "RECORDS CHECKSUM"
  int runs;
  long maxRows;
};

struct Figure {
  bool ran = false;
  double bestMs = 0, medianMs = 0;
  double cpuMs = 0;  // the least processor time of the runs
  long peakKb = 0;  // of the best run
  long records = 0;
  std::uint64_t checksum = 0;
  bool ok = true;
};

bool ReadOutput(const std::string& file, long& records, std::uint64_t& checksum) {
  std::FILE* f = std::fopen(file.c_str(), "r");
  if (!f) return false;
  unsigned long long sum = 0;
  const bool ok = std::fscanf(f, "%ld %llu", &records, &sum) == 2;
  std::fclose(f);
  checksum = sum;
  return ok;
}

std::string Thousands(double v) {
  char digits[64];
  std::snprintf(digits, sizeof digits, "%.0f", v);
  std::string s = digits, out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i > 0 && (s.size() - i) % 3 == 0) out += ',';
    out += s[i];
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  // Child mode that does nothing: what starting the process costs.
  if (argc == 2 && std::string(argv[1]) == "--start-only") return 0;
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fputs(
        "usage: quarry_dbase_bench [--sizes N,N,...] [--runs N] [--dbfread-runs N]\n"
        "                          [--dbfread-max N] [--data DIR]\n",
        stderr);
    return 2;
  }
  if (!o.scan.empty()) return ScanWithEngine(o.scan, false);
  if (!o.checksum.empty()) return ScanWithEngine(o.checksum, true);

  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<Reader> readers;
  readers.push_back({"quarry", {self, "--scan"}, {self, "--checksum"}, true, o.runs, 0});
#ifdef SHAPELIB_SCAN_BIN
  readers.push_back(
      {"shapelib", {SHAPELIB_SCAN_BIN}, {SHAPELIB_SCAN_BIN, "--checksum"}, true, o.runs, 0});
#else
  std::printf("shapelib (libshp-dev) not found at build time: its comparison is skipped\n");
#endif
  const std::string python = PythonWithDbfread();
  if (python.empty()) {
    std::printf("no python3 with dbfread (python3-dbfread): its comparison is skipped\n");
  } else {
    readers.push_back({"dbfread", {python, "-c", kDbfreadScan}, {}, false,
                       std::min(o.runs, o.dbfreadRuns), o.dbfreadMax});
  }

  std::vector<std::string> tables;
  for (long n : o.sizes) tables.push_back(BenchTable(o, n));
  const std::string out = o.dataDir + "/scan-output.txt";

  std::printf(
      "\nfull scan of a dBASE table (NAME C20, AMOUNT N10.2, DAY D, FLAG L, QTY N8), every "
      "field of\nevery record decoded; whole processes, warm page cache; seconds: best of "
      "the runs [median]\n");

  // What starting and ending each reader's process costs with no table.
  {
    std::vector<std::pair<std::string, std::vector<std::string>>> empty = {
        {"quarry", {self, "--start-only"}}};
#ifdef SHAPELIB_SCAN_BIN
    empty.push_back({"shapelib", {SHAPELIB_SCAN_BIN, "--start-only"}});
#endif
    if (!python.empty()) empty.push_back({"dbfread", {python, "-c", "import dbfread"}});
    std::printf("process start and exit with no table (best of %d):", 3 * o.runs);
    std::vector<Run> best(empty.size());
    std::vector<double> leastCpu(empty.size());
    for (int i = 0; i < 3 * o.runs; ++i) {
      for (std::size_t k = 0; k < empty.size(); ++k) {
        const Run r = RunProgram(empty[k].second, "", out);
        if (i == 0 || r.ms < best[k].ms) best[k] = r;
        if (i == 0 || r.cpuMs < leastCpu[k]) leastCpu[k] = r.cpuMs;
      }
    }
    for (std::size_t k = 0; k < empty.size(); ++k)
      std::printf("  %s %.1f ms (cpu %.1f ms), %s KB", empty[k].first.c_str(), best[k].ms,
                  leastCpu[k], Thousands(static_cast<double>(best[k].peakKb)).c_str());
    std::printf("\n");
  }

  std::printf("\n%10s  %-9s %9s %9s %9s %13s %11s %5s\n", "records", "reader", "seconds",
              "[median]", "cpu s", "records/s", "peak RSS", "runs");
  bool allMet = true;
  std::vector<long> oursPeak;
  for (std::size_t s = 0; s < tables.size(); ++s) {
    const long rows = o.sizes[s];
    const std::string& path = tables[s];
    Warm(path);
    std::vector<Figure> figures(readers.size());
    std::vector<std::vector<std::pair<double, long>>> runs(readers.size());
    std::vector<std::vector<double>> cpu(readers.size());
    // Small tables take three times the runs: their figures are short, and
    // the best of more runs shows them with less of the machine's other work.
    const int scale = rows <= 100000 ? 3 : 1;
    for (int run = 0; run < o.runs * scale; ++run) {
      for (std::size_t k = 0; k < readers.size(); ++k) {
        const Reader& reader = readers[k];
        if (run >= reader.runs * scale || (reader.maxRows > 0 && rows > reader.maxRows)) continue;
        std::vector<std::string> args = reader.argv;
        args.push_back(path);
        const Run r = RunProgram(args, "", out);
        Figure& f = figures[k];
        f.ran = true;
        if (r.status != 0) {
          f.ok = false;
          continue;
        }
        runs[k].push_back({r.ms, r.peakKb});
        cpu[k].push_back(r.cpuMs);
        if (reader.counted) {
          long records = 0;
          std::uint64_t unused = 0;
          if (!ReadOutput(out, records, unused)) f.ok = false;
          f.records = records;
        } else {
          f.records = rows;
        }
      }
    }
    for (std::size_t k = 0; k < readers.size(); ++k) {
      Figure& f = figures[k];
      auto& list = runs[k];
      if (!f.ran) {
        std::printf("%10s  %-9s  not run at this size (--dbfread-max %ld)\n",
                    Thousands(static_cast<double>(rows)).c_str(), readers[k].name.c_str(),
                    readers[k].maxRows);
        continue;
      }
      if (!f.ok || list.empty()) {
        std::printf("%10s  %-9s  FAILED\n", Thousands(static_cast<double>(rows)).c_str(),
                    readers[k].name.c_str());
        allMet = false;
        continue;
      }
      std::vector<double> ms;
      for (const auto& [m, kb] : list) ms.push_back(m);
      const Timing timing = Summary(ms);
      f.bestMs = timing.best;
      f.peakKb = std::min_element(list.begin(), list.end())->second;
      f.medianMs = timing.median;
      f.cpuMs = *std::min_element(cpu[k].begin(), cpu[k].end());
      std::printf("%10s  %-9s %9.3f %9.3f %9.3f %13s %8s KB %5zu",
                  Thousands(static_cast<double>(rows)).c_str(), readers[k].name.c_str(),
                  f.bestMs / 1000.0, f.medianMs / 1000.0, f.cpuMs / 1000.0,
                  Thousands(static_cast<double>(rows) / (f.bestMs / 1000.0)).c_str(),
                  Thousands(static_cast<double>(f.peakKb)).c_str(), list.size());
      std::printf("\n");
    }
    // The checksums, untimed: quarry's and shapelib's of this table.
    for (std::size_t k = 0; k < readers.size(); ++k) {
      if (!readers[k].checksumArgv.empty() && figures[k].ok) {
        std::vector<std::string> args = readers[k].checksumArgv;
        args.push_back(path);
        if (RunProgram(args, "", out).status != 0 ||
            !ReadOutput(out, figures[k].records, figures[k].checksum))
          figures[k].ok = false;
      }
    }
    const Figure& ours = figures[0];
    if (!ours.ok || ours.bestMs <= 0) continue;
    std::printf("            quarry's checksum: %ld records, %llu\n", ours.records,
                static_cast<unsigned long long>(ours.checksum));
    oursPeak.push_back(ours.peakKb);
    if (ours.records != rows) {
      std::printf("            quarry read %ld records, not %ld\n", ours.records, rows);
      allMet = false;
    }
    for (std::size_t k = 1; k < readers.size(); ++k) {
      const Figure& f = figures[k];
      if (!f.ran || !f.ok || f.bestMs <= 0) continue;
      const double ratio = f.bestMs / ours.bestMs;
      const double target = readers[k].name == "dbfread" ? 20.0 : 2.0;
      std::string agree;
      if (!readers[k].checksumArgv.empty())
        agree = f.records == ours.records && f.checksum == ours.checksum ? ", same checksum"
                                                                         : ", checksum DIFFERS";
      std::printf("            ours vs %s: %.2fx faster (target >= %.0fx: %s)%s; by cpu time %.2fx\n",
                  readers[k].name.c_str(), ratio, target, ratio >= target ? "met" : "MISSED",
                  agree.c_str(), ours.cpuMs > 0 ? f.cpuMs / ours.cpuMs : 0.0);
      allMet = allMet && ratio >= target && agree.find("DIFFERS") == std::string::npos;
    }
  }

  if (oursPeak.size() >= 2) {
    const double growth =
        static_cast<double>(oursPeak.back()) / static_cast<double>(oursPeak.front());
    const bool met = growth <= 1.1;
    std::printf(
        "\nquarry's peak RSS: %s KB at %s records, %s KB at %s records: %.2fx "
        "(target: no growth, <= 1.10x: %s)\n",
        Thousands(static_cast<double>(oursPeak.front())).c_str(),
        Thousands(static_cast<double>(o.sizes.front())).c_str(),
        Thousands(static_cast<double>(oursPeak.back())).c_str(),
        Thousands(static_cast<double>(o.sizes.back())).c_str(), growth, met ? "met" : "MISSED");
    allMet = allMet && met;
  }

  // The oracle: dbfread's values against the engine's, on the smallest table.
  if (!python.empty() && !tables.empty()) {
    const Run r = RunProgram({python, "-c", kDbfreadChecksum, tables.front()}, "", out);
    long records = 0;
    std::uint64_t checksum = 0;
    const Run e = RunProgram({self, "--checksum", tables.front()}, "", out + ".quarry");
    long ourRecords = 0;
    std::uint64_t ourChecksum = 0;
    const bool same = r.status == 0 && e.status == 0 && ReadOutput(out, records, checksum) &&
                      ReadOutput(out + ".quarry", ourRecords, ourChecksum) &&
                      records == ourRecords && checksum == ourChecksum;
    std::printf("\ndbfread's checksum of the %s-record table (untimed): %ld records, %llu: %s\n",
                Thousands(static_cast<double>(o.sizes.front())).c_str(), records,
                static_cast<unsigned long long>(checksum), same ? "same as quarry's" : "DIFFERS");
    allMet = allMet && same;
  }

  std::printf("\n%s\n", allMet ? "all targets met" : "some targets missed");
  return 0;
}
