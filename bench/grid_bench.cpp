// quarry_grid_bench: the data grid's model stays cheap as tables grow.
//
//   quarry_grid_bench [--sizes N,N,...] [--runs N] [--data DIR]
//
// Generates (once; later runs reuse them) a keyed Paradox table (ID I, the
// key, with 1..N in order; NAME A20; AMOUNT N; DAY D) and a dBASE III+ table
// (ID N8, NAME C20, AMOUNT N10.2, DAY D) of each size (default 1,000,
// 100,000 and 1,000,000 records) through the engine's bulk insert. The grid
// is the main window's model, TableGridModel over a TTable, read as a view
// reads it: a screen of 40 rows, every column through
// data(index, Qt::DisplayRole). Each table is measured by this program run
// again in processes of its own (bench/common.h, RunProgram), so that peak
// memory is per table:
//   --screens FILE: --runs rounds (default 21) of: open the table and fill
//     the first screen; jump to the last screen (TableGridModel::reach, as
//     the data page goes to a row); jump to the middle one. Medians (best
//     in brackets) of the rounds.
//   --scroll FILE: open, then every screen of the table from the first row
//     to the last (a full pass, no sampling); the process's wall time and
//     peak resident memory.
// Targets, against the smallest table: the opening screen and each jump
// cost at most 3x; the scroll's peak memory stays under 2x the smallest
// table's plus the table's page cache. A Paradox table is mapped into
// memory whole and read through the mapping (engine/paradox/pxtable.cpp), so
// the pages a full pass touches stay resident in the process: its page
// cache is the .DB file's size. A dBASE table is read through one window of
// 64 KB (engine/dbase/dbtable.cpp); its grid hides deleted records, so its
// rows are found by scanning (engine/dataset/tablerows.h) and the jump to
// the last screen scans the whole table. The grid's own cache (TableRows: 16
// blocks of 128 rows) is the same at every size. Warm-cache figures: each
// file is read once before it is measured.
#include <QCoreApplication>
#include <QString>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "bench/common.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/dbase/dbtable.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/value.h"
#include "explorer/datagrid.h"

using namespace engine;
using namespace bench;

namespace {

constexpr int kScreenRows = 40;

struct Options {
  std::vector<long> sizes = {1000, 100000, 1000000};
  int runs = 21;
  std::string dataDir = QUARRY_BENCH_DATA;
  std::string screens;  // child mode: the jumps on this table
  std::string scroll;   // child mode: the full pass over this table
};

bool ParseSizes(const std::string& text, std::vector<long>& out) {
  out.clear();
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    const long n = std::atol(text.substr(at, comma - at).c_str());
    if (n < kScreenRows) return false;
    out.push_back(n);
    at = comma + 1;
  }
  return !out.empty();
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--sizes") {
      if (!ParseSizes(v, o.sizes)) return false;
    } else if (a == "--runs") {
      o.runs = std::atoi(v.c_str());
    } else if (a == "--data") {
      o.dataDir = v;
    } else if (a == "--screens") {
      o.screens = v;
    } else if (a == "--scroll") {
      o.scroll = v;
    } else {
      return false;
    }
  }
  return argc % 2 == 1 && o.runs > 0;
}

// ------------------------------------------------------------ the tables

std::vector<Value> Row(Random& rng, long i, bool dbase) {
  static const std::int32_t kFirstDay = DayNumber(1950, 1, 1);
  std::vector<Value> row(4);
  if (dbase)
    row[0] = static_cast<double>(i + 1);
  else
    row[0] = static_cast<std::int64_t>(i + 1);
  if (!rng.chance(3)) row[1] = RandomName(rng);
  if (!rng.chance(2)) row[2] = static_cast<double>(rng.below(199999999) - 99999999) / 100.0;
  if (!rng.chance(2)) row[3] = DateValue{kFirstDay + static_cast<std::int32_t>(rng.below(29200))};
  return row;
}

bool HasRecords(const std::string& path, long rows, bool dbase) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  std::uint32_t count = 0;
  if (dbase) {
    std::unique_ptr<dbase::DbaseTable> t;
    if (dbase::DbaseTable::Open(path, {}, t) == Ok) count = t->recordCount();
  } else {
    std::unique_ptr<paradox::ParadoxTable> t;
    if (paradox::ParadoxTable::Open(path, {}, t) == Ok) count = t->recordCount();
  }
  ClearLastError();
  return count == static_cast<std::uint32_t>(rows);
}

void FillParadox(const std::string& path, RowSource& rows) {
  TableDesc d;
  d.tableName = path;
  d.fields = {Field("ID", pxLong), Field("NAME", pxAlpha, 20), Field("AMOUNT", pxNumber),
              Field("DAY", pxDate)};
  IndexDesc primary;
  primary.primary = primary.unique = primary.maintained = 1;
  primary.fieldsInKey = 1;
  primary.keyFields[0] = 1;
  d.indexes = {primary};
  d.optionalParams.push_back({"LEVEL", "7"});
  if (paradox::CreateParadoxTable(d, true)) Die("cannot create " + path);
  std::unique_ptr<paradox::ParadoxTable> t;
  paradox::OpenOptions writable;
  writable.writable = true;
  if (paradox::ParadoxTable::Open(path, writable, t)) Die("cannot open " + path);
  if (paradox::AttachSecondaryIndexes(*t)) Die("cannot attach the indexes of " + path);
  if (t->insertRows(rows)) Die("cannot fill " + path);
}

void FillDbase(const std::string& path, RowSource& rows) {
  TableDesc d;
  d.tableName = path;
  FieldDesc amount = Field("AMOUNT", dbNumber, 10);
  amount.units2 = 2;
  d.fields = {Field("ID", dbNumber, 8), Field("NAME", dbChar, 20), amount, Field("DAY", dbDate)};
  if (dbase::DbaseTable::Create(path, d, 3, true)) Die("cannot create " + path);
  std::unique_ptr<dbase::DbaseTable> t;
  dbase::OpenOptions writable;
  writable.writable = true;
  if (dbase::DbaseTable::Open(path, writable, t)) Die("cannot open " + path);
  if (t->insertRows(rows)) Die("cannot fill " + path);
}

std::string BenchTable(const Options& o, long rows, bool dbase) {
  std::filesystem::create_directories(o.dataDir);
  const std::string path =
      o.dataDir + "/grid_" + std::to_string(rows) + (dbase ? ".dbf" : ".db");
  if (HasRecords(path, rows, dbase)) return path;
  std::printf("generating %s (%ld records, once)...\n", path.c_str(), rows);
  std::fflush(stdout);
  const auto start = Clock::now();
  Random rng(rows);
  GeneratedRows source(rows, [&](long i) { return Row(rng, i, dbase); });
  dbase ? FillDbase(path, source) : FillParadox(path, source);
  std::printf("generated in %.1f s\n", MsSince(start) / 1000.0);
  return path;
}

void Warm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> buffer(1 << 20);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
  }
}

// ------------------------------------------------------------ child modes

// A table opened as the data page opens it, with the grid's model over it.
struct Grid {
  TTable table;
  TableGridModel model{table};
  explicit Grid(const std::string& path) {
    table.SetTableName(path);
    table.SetReadOnly(true);
    table.Open();
    model.reload();
  }
};

// The rows' ID column holds the row number + 1; a cell that reads otherwise
// (or as "#error") stops the benchmark.
void CheckRow(TableGridModel& m, int row) {
  const QString id = m.data(m.index(row, 0), Qt::DisplayRole).toString();
  if (id.toDouble() != row + 1)
    Die("row " + std::to_string(row) + " shows ID " + id.toStdString());
}

// One screen from `top`, every cell as the grid shows it; the characters read.
std::uint64_t ReadScreen(TableGridModel& m, int top) {
  const int end = std::min(m.rowCount(), top + kScreenRows);
  const int columns = m.columnCount();
  std::uint64_t characters = 0;
  for (int r = top; r < end; ++r)
    for (int c = 0; c < columns; ++c)
      characters += static_cast<std::uint64_t>(
          m.data(m.index(r, c), Qt::DisplayRole).toString().size());
  CheckRow(m, top);
  CheckRow(m, end - 1);
  return characters;
}

// Prints "FIRST LAST MIDDLE" medians, then the same bests (milliseconds).
int MeasureScreens(const std::string& path, int runs) {
  std::vector<double> first, last, middle;
  std::uint64_t sink = 0;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    Grid grid(path);
    sink += ReadScreen(grid.model, 0);
    first.push_back(MsSince(start));
    start = Clock::now();
    grid.model.reach(INT_MAX);  // as the data page goes to a row
    const int rows = grid.model.rowCount();
    sink += ReadScreen(grid.model, rows - kScreenRows);
    last.push_back(MsSince(start));
    start = Clock::now();
    sink += ReadScreen(grid.model, rows / 2 - kScreenRows / 2);
    middle.push_back(MsSince(start));
  }
  const Timing f = Summary(first), l = Summary(last), m = Summary(middle);
  std::printf("%.4f %.4f %.4f %.4f %.4f %.4f %llu\n", f.median, l.median, m.median, f.best, l.best,
              m.best, static_cast<unsigned long long>(sink));
  return 0;
}

// Prints "ROWS CHARACTERS".
int Scroll(const std::string& path) {
  Grid grid(path);
  std::uint64_t characters = 0;
  // Rows still to be found are fetched as a view fetches them, when the
  // screen reaches past the known ones.
  for (int top = 0;; top += kScreenRows) {
    grid.model.reach(top + kScreenRows - 1);
    if (top >= grid.model.rowCount()) break;
    characters += ReadScreen(grid.model, top);
  }
  std::printf("%d %llu\n", grid.model.rowCount(), static_cast<unsigned long long>(characters));
  return 0;
}

// ------------------------------------------------------------ the report

struct Figures {
  double first = 0, last = 0, middle = 0;
  double firstBest = 0, lastBest = 0, middleBest = 0;
  double scrollMs = 0;
  long peakKb = 0;
  long fileKb = 0;
};

std::string Slurp(const std::string& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

Figures Measure(const Options& o, const std::string& self, const std::string& path, long rows) {
  Warm(path);
  Figures f;
  f.fileKb = static_cast<long>(std::filesystem::file_size(path) / 1024);
  const std::string out = o.dataDir + "/grid-output.txt";
  Run run = RunProgram({self, "--screens", path, "--runs", std::to_string(o.runs)}, "", out);
  if (run.status != 0 || std::sscanf(Slurp(out).c_str(), "%lf %lf %lf %lf %lf %lf", &f.first,
                                     &f.last, &f.middle, &f.firstBest, &f.lastBest,
                                     &f.middleBest) != 6)
    Die("the screens of " + path + " failed");
  run = RunProgram({self, "--scroll", path}, "", out);
  long shown = 0;
  if (run.status != 0 || std::sscanf(Slurp(out).c_str(), "%ld", &shown) != 1 || shown != rows)
    Die("the full pass over " + path + " failed");
  f.scrollMs = run.ms;
  f.peakKb = run.peakKb;
  return f;
}

// The page cache a full pass keeps in the process: the mapped .DB file, or
// the dBASE table's read window.
long PageCacheKb(const Figures& f, bool dbase) { return dbase ? 64 : f.fileKb; }

bool Report(const std::vector<long>& sizes, const std::vector<Figures>& figures, bool dbase) {
  std::printf("\n%10s %18s %18s %18s %10s %10s %10s\n", "records", "open+screen ms",
              "last screen ms", "middle screen ms", "pass s", "peak KB", "file KB");
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const Figures& f = figures[i];
    std::printf("%10ld %8.3f [%7.3f] %8.3f [%7.3f] %8.3f [%7.3f] %10.2f %10ld %10ld\n", sizes[i],
                f.first, f.firstBest, f.last, f.lastBest, f.middle, f.middleBest,
                f.scrollMs / 1000.0, f.peakKb, f.fileKb);
  }
  const Figures& small = figures.front();
  bool met = true;
  for (std::size_t i = 1; i < sizes.size(); ++i) {
    const Figures& f = figures[i];
    const double open = f.first / small.first, last = f.last / small.last,
                 middle = f.middle / small.middle;
    const long limit = 2 * small.peakKb + PageCacheKb(f, dbase);
    const bool fast = open <= 3 && last <= 3 && middle <= 3, lean = f.peakKb < limit;
    met = met && fast && lean;
    std::printf("  %ld / %ld: open+screen %.2fx, last %.2fx, middle %.2fx (each <= 3x): %s\n",
                sizes[i], sizes.front(), open, last, middle, fast ? "MET" : "MISSED");
    std::printf("  %*s  peak %ld KB < 2 x %ld + %ld (page cache) = %ld KB: %s\n",
                static_cast<int>(std::to_string(sizes[i]).size() +
                                 std::to_string(sizes.front()).size() + 3),
                "", f.peakKb, small.peakKb, PageCacheKb(f, dbase), limit, lean ? "MET" : "MISSED");
  }
  return met;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fputs("usage: quarry_grid_bench [--sizes N,N,...] [--runs N] [--data DIR]\n", stderr);
    return 2;
  }
  try {
    if (!o.screens.empty()) return MeasureScreens(o.screens, o.runs);
    if (!o.scroll.empty()) return Scroll(o.scroll);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quarry_grid_bench: %s\n", e.what());
    return 1;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  bool allMet = true;
  for (bool dbase : {false, true}) {
    std::vector<Figures> figures;
    for (long rows : o.sizes) figures.push_back(Measure(o, self, BenchTable(o, rows, dbase), rows));
    std::printf(
        "\n%s: screens of %d rows x 4 columns through TableGridModel::data(DisplayRole); "
        "open+screen, last and\nmiddle: median of %d rounds [best], ms; pass: every screen, "
        "whole process; peak: its peak RSS\n",
        dbase ? "dBASE III+ (ID N8, NAME C20, AMOUNT N10.2, DAY D)"
              : "Paradox, keyed (ID I, NAME A20, AMOUNT N, DAY D)",
        kScreenRows, o.runs);
    allMet = Report(o.sizes, figures, dbase) && allMet;
  }
  std::printf("\n%s\n", allMet ? "all targets met" : "some targets missed");
  return 0;
}
