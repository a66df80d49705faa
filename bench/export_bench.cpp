// quarry_export_bench: `quarry export` of a keyed Paradox table into a new
// SQLite file, against the sqlite3 shell's .import of the same table's CSV
// dump into a table of the same key, whole processes (run_measured).
// Target: the export at least half as fast as the import (time <= 2x).
//
//   quarry_export_bench [--rows N] [--data DIR] [--keep 1]
// Sizes N/100, N/10 and N (default N = 1,000,000).
#include <cstring>
#include <filesystem>

#include "bench/common.h"
#include "engine/engine.h"
#include "engine/paradox/pxcreate.h"

using namespace bench;
using namespace engine;

namespace {

// ID I (key, ascending); NAME A20, VALUE N, DAY D, PRICE $, FLAG L; some blanks.
void MakeTable(const std::string& path, long rows) {
  TableDesc d;
  d.tableName = path;
  d.fields = {Field("ID", pxLong), Field("NAME", pxAlpha, 20), Field("VALUE", pxNumber),
              Field("DAY", pxDate), Field("PRICE", pxMoney), Field("FLAG", pxLogical)};
  IndexDesc key;
  key.primary = key.unique = key.maintained = 1;
  key.fieldsInKey = 1;
  key.keyFields[0] = 1;
  d.indexes = {key};
  if (paradox::CreateParadoxTable(d, true)) Die("create " + path);
  hDBICur cursor = 0;
  if (OpenTablePath(path, OpenMode::ReadWrite, cursor)) Die("open " + path);
  Random rng;
  GeneratedRows source(rows, [&](long i) {
    std::vector<Value> v(6);
    v[0] = std::int64_t{i + 1};
    if (!rng.chance(3)) v[1] = RandomName(rng);
    if (!rng.chance(3)) v[2] = static_cast<double>(rng.below(100000000)) / 100.0;
    if (!rng.chance(3)) v[3] = DateValue{DayNumber(2000, 1, 1) + static_cast<int>(rng.below(9000))};
    if (!rng.chance(3)) v[4] = static_cast<double>(rng.below(10000000)) / 100.0;
    if (!rng.chance(3)) v[5] = rng.chance(50);
    return v;
  });
  if (InsertRecordStream(cursor, source)) Die("fill " + path);
  CloseCursor(cursor);
}

}  // namespace

int main(int argc, char** argv) {
  long largest = 1000000;
  bool keep = false;  // --keep 1: the largest table and its files stay
  std::string data = QUARRY_BENCH_DATA;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rows")) largest = std::atol(argv[i + 1]);
    if (!std::strcmp(argv[i], "--data")) data = argv[i + 1];
    if (!std::strcmp(argv[i], "--keep")) keep = argv[i + 1][0] == '1';
  }
  const std::string dir = data + "/export";
  std::printf("quarry export vs sqlite3 .import of the CSV dump (whole processes)\n");
  for (long rows : {largest / 100, largest / 10, largest}) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string table = dir + "/ITEMS.DB", csv = dir + "/items.csv";
    setenv("QUARRY_CONFIG", (dir + "/engine.cfg").c_str(), 1);
    MakeTable(table, rows);
    Run dump = RunProgram({QUARRY_BIN, "dump", table}, "", csv);
    if (dump.status != 0) Die("quarry dump failed");
    Run q = RunProgram({QUARRY_BIN, "export", dir, dir + "/export.sqlite"});
    if (q.status != 0) Die("quarry export failed");
    Run s = RunProgram({"sqlite3", dir + "/import.sqlite",
                        "CREATE TABLE t(ID INTEGER PRIMARY KEY, NAME TEXT, VALUE REAL, DAY DATE, "
                        "PRICE REAL, FLAG BOOLEAN);",
                        ".import --csv --skip 1 " + csv + " t"});
    if (s.status != 0) std::printf("  (sqlite3 failed or is missing)\n");
    std::printf("  %8ld rows: quarry export %7.0f ms %7ld KB peak | sqlite3 .import %7.0f ms %7ld KB"
                " peak | export/import %.2fx %s | (quarry dump %.0f ms %ld KB peak)\n",
                rows, q.ms, q.peakKb, s.ms, s.peakKb, q.ms / s.ms, q.ms <= 2 * s.ms ? "MET" : "MISSED",
                dump.ms, dump.peakKb);
  }
  if (!keep) std::filesystem::remove_all(dir);
  return 0;
}
