#include "engine/sql/vtab.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>

#include "engine/dbfcursor.h"
#include "engine/engine.h"
#include "engine/sql/sqlvalue.h"

namespace engine::sql {

namespace {

std::atomic<std::uint64_t> g_recordsRead{0};

// idxNum bits of a key seek.
constexpr int kSeekEq = 1, kLowGt = 2, kLowGe = 4, kHighLt = 8, kHighLe = 16;

struct Table : sqlite3_vtab {
  TableSources* sources = nullptr;
  std::string path;
  std::vector<FieldDesc> fields;
  std::uint32_t records = 0;
  // Orders a scan can seek in: the primary key's (index "") and single-field
  // secondary indexes, each on a field whose values order as numbers.
  struct Order {
    int column = -1;  // 0-based
    std::string index;
  };
  std::vector<Order> orders;
  bool paradox = false;
  hDBICur writer = 0;
  bool changing = false;  // the writer's change of this statement is running
  std::map<sqlite3_int64, Bookmark> marks;   // rowids of this statement's rows to change
  std::vector<std::uint32_t> deletedPositions;  // sorted, 0-based, of this statement
  std::vector<std::vector<Value>> pending;  // inserted rows not yet written
};

// Everything one statement changes in a table is one change of the
// engine, committed when the statement ends. Rows it inserts are handed
// over together, kInsertChunk at a time.
constexpr std::size_t kInsertChunk = 50000;

struct Scan : sqlite3_vtab_cursor {
  hDBICur cursor = 0;
  std::vector<Value> row;
  std::uint32_t position = 0;  // 1-based position of `row` in the table's order
  bool eof = true;
  bool hasHigh = false, highInclusive = false;
  double high = 0;
  int column = -1;    // of the order the scan seeks in
  std::string index;  // the secondary index the cursor follows ("" its own order)
};

Table* TableOf(sqlite3_vtab_cursor* c) { return static_cast<Table*>(c->pVtab); }

int Error(sqlite3_vtab* tab, const std::string& message, int code = SQLITE_ERROR) {
  sqlite3_free(tab->zErrMsg);
  tab->zErrMsg = sqlite3_mprintf("%s", message.c_str());
  return code;
}

std::string EngineMessage(Result r) {
  std::string m = LastErrorMessage();
  return m.empty() ? GetErrorString(r) : m;
}

std::string QuoteIdent(const std::string& name) {
  std::string out = "\"";
  for (char ch : name) out += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  return out + "\"";
}

// A key value as a number that orders like the key (numbers, dates, times).
bool KeyNumber(const Value& v, double& out) {
  if (auto* d = std::get_if<DateValue>(&v)) return out = d->day, true;
  if (auto* t = std::get_if<TimeValue>(&v)) return out = t->ms, true;
  if (auto* ts = std::get_if<TimestampValue>(&v)) return out = ts->ms, true;
  if (auto* b = std::get_if<BcdValue>(&v)) return out = std::strtod(b->text.c_str(), nullptr), true;
  return AsNumber(v, out);
}

bool SeekableType(std::uint16_t t) {
  switch (t) {
    case pxNumber: case pxMoney: case pxShort: case pxLong: case pxAutoinc: case pxDate:
    case pxTime: case pxTimestamp: case pxBcd:
      return true;
    default:
      return false;
  }
}

int Connect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out,
            char** err) {
  auto* sources = static_cast<TableSources*>(aux);
  const long n = argc > 3 ? std::strtol(argv[3], nullptr, 10) : -1;
  if (n < 0 || static_cast<std::size_t>(n) >= sources->paths.size()) {
    *err = sqlite3_mprintf("no such table source");
    return SQLITE_ERROR;
  }
  auto tab = std::make_unique<Table>();
  tab->sources = sources;
  tab->path = sources->paths[n];
  hDBICur cursor = 0;
  Result r = OpenTablePath(tab->path, OpenMode::ReadOnly, cursor);
  if (!r) r = GetFieldDescs(cursor, tab->fields);
  if (!r) r = GetRecordCount(cursor, tab->records);
  if (r) {
    *err = sqlite3_mprintf("%s", EngineMessage(r).c_str());
    if (cursor) CloseCursor(cursor);
    return SQLITE_ERROR;
  }
  tab->paradox = !dbf::IsDbfPath(tab->path);
  std::vector<IndexDesc> indexes;
  if (tab->paradox && GetIndexDescs(cursor, indexes) == Ok) {
    for (const IndexDesc& ix : indexes) {
      const int column = ix.keyFields[0] - 1;
      const bool usable = ix.fieldsInKey > 0 && (ix.primary || (ix.fieldsInKey == 1 && !ix.descending &&
                                                                !ix.fieldDescending[0]));
      if (usable && column >= 0 && column < static_cast<int>(tab->fields.size()) &&
          SeekableType(tab->fields[column].type))
        tab->orders.push_back({column, ix.primary ? std::string() : ix.name});
    }
    // The primary key's order comes first when there is one.
    std::stable_partition(tab->orders.begin(), tab->orders.end(),
                          [](const Table::Order& o) { return o.index.empty(); });
  }
  ClearLastError();
  CloseCursor(cursor);  // each scan opens its own: a table closed lately opens again quickly
  if (sources->records.size() <= static_cast<std::size_t>(n)) sources->records.resize(n + 1);
  sources->records[n] = tab->records;
  std::string schema = "CREATE TABLE x(";
  for (std::size_t i = 0; i < tab->fields.size(); ++i)
    schema += (i ? ", " : "") + QuoteIdent(tab->fields[i].name) + " " + DeclaredType(tab->fields[i]);
  // Hidden: the table position of each row, for live answers.
  schema += ", " + QuoteIdent(kRowColumn) + " INTEGER HIDDEN)";
  if (int rc = sqlite3_declare_vtab(db, schema.c_str())) {
    *err = sqlite3_mprintf("cannot declare %s: %s", tab->path.c_str(), sqlite3_errmsg(db));
    return rc;
  }
  *out = tab.release();
  return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* v) {
  auto* tab = static_cast<Table*>(v);
  if (tab->writer) CloseCursor(tab->writer);  // a change still running is undone
  delete tab;
  return SQLITE_OK;
}

// The seek bits the usable constraints on `column` allow.
int SeekBits(const sqlite3_index_info* info, int column) {
  int idx = 0;
  for (int i = 0; i < info->nConstraint; ++i) {
    const auto& c = info->aConstraint[i];
    if (!c.usable || c.iColumn != column) continue;
    switch (c.op) {
      case SQLITE_INDEX_CONSTRAINT_EQ: idx |= kSeekEq; break;
      case SQLITE_INDEX_CONSTRAINT_GT: if (!(idx & kLowGe)) idx |= kLowGt; break;
      case SQLITE_INDEX_CONSTRAINT_GE: if (!(idx & kLowGt)) idx |= kLowGe; break;
      case SQLITE_INDEX_CONSTRAINT_LT: if (!(idx & kHighLe)) idx |= kHighLt; break;
      case SQLITE_INDEX_CONSTRAINT_LE: if (!(idx & kHighLt)) idx |= kHighLe; break;
      default: break;
    }
  }
  return (idx & kSeekEq) ? kSeekEq : idx;
}

// Chooses the order to seek in (an equality first, the primary key before
// secondary indexes) and hands SQLite the constraints' values in a fixed
// order: equality or lower bound, then upper bound. idxNum holds the seek
// bits and, from bit 8 on, the number of the order in Table::orders.
int BestIndex(sqlite3_vtab* v, sqlite3_index_info* info) {
  auto* tab = static_cast<Table*>(v);
  const double rows = std::max<double>(tab->records, 1);
  int chosen = -1, idx = 0;
  for (std::size_t o = 0; o < tab->orders.size(); ++o) {
    const int bits = SeekBits(info, tab->orders[o].column);
    if (bits && (chosen < 0 || (bits == kSeekEq && idx != kSeekEq))) {
      chosen = static_cast<int>(o);
      idx = bits;
    }
  }
  if (chosen >= 0) {
    const int column = tab->orders[chosen].column;
    int next = 1;
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (!c.usable || c.iColumn != column || info->aConstraintUsage[i].argvIndex) continue;
        const bool first = (c.op == SQLITE_INDEX_CONSTRAINT_EQ && (idx & kSeekEq)) ||
                           (c.op == SQLITE_INDEX_CONSTRAINT_GT && (idx & kLowGt)) ||
                           (c.op == SQLITE_INDEX_CONSTRAINT_GE && (idx & kLowGe));
        const bool second = (c.op == SQLITE_INDEX_CONSTRAINT_LT && (idx & kHighLt)) ||
                            (c.op == SQLITE_INDEX_CONSTRAINT_LE && (idx & kHighLe));
        if ((pass == 0 && first) || (pass == 1 && second)) {
          // Each bound is used once: a second equal bound stays with SQLite.
          const int role = first ? 1 : 2;
          if (next > role) continue;
          info->aConstraintUsage[i].argvIndex = next++;
        }
      }
    }
    idx |= chosen << 8;
  }
  info->idxNum = idx;
  if (idx & kSeekEq) {
    info->estimatedCost = std::log2(rows) + (chosen > 0 ? rows / 50 : 1);
    info->estimatedRows = 1;
  } else if (idx) {
    info->estimatedCost = std::log2(rows) + rows / 4;
    info->estimatedRows = static_cast<sqlite3_int64>(rows / 4) + 1;
  } else {
    info->estimatedCost = rows;
    info->estimatedRows = static_cast<sqlite3_int64>(rows);
  }
  return SQLITE_OK;
}

int Open(sqlite3_vtab* v, sqlite3_vtab_cursor** out) {
  auto* tab = static_cast<Table*>(v);
  auto scan = std::make_unique<Scan>();
  if (Result r = OpenTablePath(tab->path, OpenMode::ReadOnly, scan->cursor))
    return Error(v, EngineMessage(r));
  *out = scan.release();
  return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* c) {
  auto* scan = static_cast<Scan*>(c);
  if (scan->cursor) CloseCursor(scan->cursor);
  delete scan;
  return SQLITE_OK;
}

// Reads the record at the cursor's place, or the next one.
int Read(Scan* scan, bool next) {
  Result r = next ? GetNextRecord(scan->cursor, &scan->row) : GetRecord(scan->cursor, scan->row);
  if (r == ErrEndOfList || r == ErrBeginOfList) {
    scan->eof = true;
    return SQLITE_OK;
  }
  if (r) return Error(scan->pVtab, EngineMessage(r));
  ++scan->position;
  ++g_recordsRead;
  ++TableOf(scan)->sources->recordsRead;
  if (scan->hasHigh) {
    double key = 0;
    const int column = scan->column;
    if (KeyNumber(scan->row[column], key) &&
        (key > scan->high || (!scan->highInclusive && key == scan->high)))
      scan->eof = true;
  }
  return SQLITE_OK;
}

// The key value of the argument as a number that orders like the key
// field's values; false when it cannot be compared (the scan then reads all).
bool ArgumentKey(Table* tab, int column, sqlite3_value* arg, double& out) {
  Value v;
  std::string error;
  if (!ToEngineValue(arg, tab->fields[column], v, error) || IsNull(v)) return false;
  return KeyNumber(v, out);
}

// The 1-based position of the first record whose key is at least `low`
// (greater than it when not inclusive); records + 1 when none is.
Result LowerBound(Scan* scan, Table* tab, double low, bool inclusive, std::uint32_t& at) {
  std::uint32_t lo = 1, hi = tab->records + 1;
  Value key;
  while (lo < hi) {
    const std::uint32_t mid = lo + (hi - lo) / 2;
    if (Result r = SetToRecordNo(scan->cursor, mid)) return r;
    if (Result r = GetField(scan->cursor, static_cast<std::uint16_t>(scan->column + 1), key)) return r;
    ++g_recordsRead;
    double k = 0;
    const bool below = !KeyNumber(key, k) || k < low || (!inclusive && k == low);
    if (below) lo = mid + 1;
    else hi = mid;
  }
  at = lo;
  return Ok;
}

int Filter(sqlite3_vtab_cursor* c, int idx, const char*, int argc, sqlite3_value** argv) {
  auto* scan = static_cast<Scan*>(c);
  Table* tab = TableOf(c);
  scan->eof = false;
  scan->hasHigh = false;
  scan->position = 0;
  double low = 0;
  bool hasLow = false, lowInclusive = true;
  int a = 0;
  const std::size_t order = static_cast<std::size_t>(idx >> 8);
  idx &= 0xFF;
  if (idx && order < tab->orders.size()) {
    scan->column = tab->orders[order].column;
    if (scan->index != tab->orders[order].index) {
      if (Result r = SwitchToIndex(scan->cursor, tab->orders[order].index))
        return Error(c->pVtab, EngineMessage(r));
      scan->index = tab->orders[order].index;
    }
  } else {
    idx = 0;
  }
  if ((idx & (kSeekEq | kLowGt | kLowGe)) && a < argc) {
    hasLow = ArgumentKey(tab, scan->column, argv[a++], low);
    lowInclusive = !(idx & kLowGt);
    if (idx & kSeekEq) {
      scan->hasHigh = hasLow;
      scan->high = low;
      scan->highInclusive = true;
    }
  }
  if ((idx & (kHighLt | kHighLe)) && a < argc) {
    scan->hasHigh = ArgumentKey(tab, scan->column, argv[a++], scan->high);
    scan->highInclusive = (idx & kHighLe) != 0;
  }
  std::uint32_t records = 0;
  if (Result r = GetRecordCount(scan->cursor, records)) return Error(c->pVtab, EngineMessage(r));
  tab->records = records;
  if (hasLow) {
    std::uint32_t at = 1;
    if (Result r = LowerBound(scan, tab, low, lowInclusive, at)) return Error(c->pVtab, EngineMessage(r));
    if (at > records) {
      scan->eof = true;
      return SQLITE_OK;
    }
    if (Result r = SetToRecordNo(scan->cursor, at)) return Error(c->pVtab, EngineMessage(r));
    scan->position = at - 1;
    return Read(scan, false);
  }
  if (Result r = SetToBegin(scan->cursor)) return Error(c->pVtab, EngineMessage(r));
  return Read(scan, true);
}

int Next(sqlite3_vtab_cursor* c) { return Read(static_cast<Scan*>(c), true); }

int Eof(sqlite3_vtab_cursor* c) { return static_cast<Scan*>(c)->eof; }

// The hidden column: the record's table position, which a bookmark starts with.
int RowColumn(Scan* scan, sqlite3_context* ctx) {
  Bookmark mark;
  if (GetBookmark(scan->cursor, mark) == Ok && mark.size() >= 4) {
    std::uint32_t position = 0;
    std::memcpy(&position, mark.data(), 4);
    sqlite3_result_int64(ctx, position);
  } else {
    sqlite3_result_null(ctx);
  }
  return SQLITE_OK;
}

int Column(sqlite3_vtab_cursor* c, sqlite3_context* ctx, int i) {
  auto* scan = static_cast<Scan*>(c);
  Table* tab = TableOf(c);
  if (i == static_cast<int>(tab->fields.size())) return RowColumn(scan, ctx);
  if (i < 0 || i >= static_cast<int>(scan->row.size())) {
    sqlite3_result_null(ctx);
    return SQLITE_OK;
  }
  ResultValue(ctx, scan->row[i], tab->fields[i]);
  return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* c, sqlite3_int64* rowid) {
  auto* scan = static_cast<Scan*>(c);
  *rowid = scan->position;
  // Rows a statement may change are found again by bookmark.
  Bookmark mark;
  if (GetBookmark(scan->cursor, mark) == Ok) TableOf(c)->marks[scan->position] = std::move(mark);
  return SQLITE_OK;
}

// The cursor the statement changes the table through, in its change.
int Writer(Table* tab) {
  if (!tab->writer)
    if (Result r = OpenTablePath(tab->path, OpenMode::ReadWrite, tab->writer))
      return Error(tab, EngineMessage(r));
  if (!tab->changing) {
    if (Result r = BeginChange(tab->writer)) return Error(tab, EngineMessage(r));
    tab->changing = true;
  }
  return SQLITE_OK;
}

// Ends the statement's change: commits it, or undoes all of it.
int EndStatementChange(Table* tab, bool commit) {
  if (!tab->changing) return SQLITE_OK;
  tab->changing = false;
  if (Result r = EndChange(tab->writer, commit)) return Error(tab, EngineMessage(r));
  return SQLITE_OK;
}

// Goes to the row of this statement's scan with the rowid.
int FindRow(Table* tab, sqlite3_int64 rowid) {
  auto it = tab->marks.find(rowid);
  if (it == tab->marks.end()) return Error(tab, tab->path + ": the row to change was not read");
  Bookmark mark = it->second;
  if (tab->paradox && mark.size() >= 4) {
    // Records after a deleted one moved up: correct the position first.
    std::uint32_t pos = 0;
    std::memcpy(&pos, mark.data(), 4);
    const auto before = std::lower_bound(tab->deletedPositions.begin(), tab->deletedPositions.end(), pos);
    pos -= static_cast<std::uint32_t>(before - tab->deletedPositions.begin());
    std::memcpy(mark.data(), &pos, 4);
  }
  if (Result r = SetToBookmark(tab->writer, mark)) return Error(tab, EngineMessage(r));
  return SQLITE_OK;
}

int RowValues(Table* tab, int argc, sqlite3_value** argv, std::vector<Value>& values) {
  values.assign(tab->fields.size(), Value{});
  for (std::size_t i = 0; i < tab->fields.size() && static_cast<int>(i) + 2 < argc; ++i) {
    std::string error;
    if (!ToEngineValue(argv[i + 2], tab->fields[i], values[i], error)) {
      Fail(ErrInvalidValue, tab->path + ": " + error);
      return Error(tab, tab->path + ": " + error, SQLITE_CONSTRAINT);
    }
  }
  return SQLITE_OK;
}

// Writes the pending inserted rows, all or none.
int Flush(Table* tab) {
  if (tab->pending.empty()) return SQLITE_OK;
  VectorRows rows(tab->pending);
  const Result r = InsertRecordStream(tab->writer, rows);
  tab->pending.clear();
  if (r) return Error(tab, EngineMessage(r), SQLITE_CONSTRAINT);
  return SQLITE_OK;
}

int Begin(sqlite3_vtab*) { return SQLITE_OK; }
int Sync(sqlite3_vtab* v) {
  auto* tab = static_cast<Table*>(v);
  if (int rc = Flush(tab)) {
    EndStatementChange(tab, false);
    return rc;
  }
  return EndStatementChange(tab, true);
}
int Commit(sqlite3_vtab* v) {
  auto* tab = static_cast<Table*>(v);
  tab->marks.clear();
  tab->deletedPositions.clear();
  return SQLITE_OK;
}
int Rollback(sqlite3_vtab* v) {
  auto* tab = static_cast<Table*>(v);
  tab->pending.clear();
  EndStatementChange(tab, false);
  return Commit(v);
}

int Update(sqlite3_vtab* v, int argc, sqlite3_value** argv, sqlite3_int64* rowid) {
  auto* tab = static_cast<Table*>(v);
  if (int rc = Writer(tab)) return rc;
  std::vector<Value> values;
  if (argc == 1) {  // DELETE
    const sqlite3_int64 id = sqlite3_value_int64(argv[0]);
    if (int rc = FindRow(tab, id)) return rc;
    std::uint32_t original = 0;  // the table position the scan saw the record at
    const Bookmark& mark = tab->marks[id];
    if (mark.size() >= 4) std::memcpy(&original, mark.data(), 4);
    if (Result r = DeleteRecord(tab->writer)) return Error(v, EngineMessage(r), SQLITE_CONSTRAINT);
    if (tab->paradox && mark.size() >= 4) {
      tab->deletedPositions.insert(
          std::upper_bound(tab->deletedPositions.begin(), tab->deletedPositions.end(), original),
          original);
    }
    tab->marks.erase(id);
    return SQLITE_OK;
  }
  if (int rc = RowValues(tab, argc, argv, values)) return rc;
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) {  // INSERT
    tab->pending.push_back(std::move(values));
    *rowid = static_cast<sqlite3_int64>(tab->records + tab->pending.size());
    return tab->pending.size() >= kInsertChunk ? Flush(tab) : SQLITE_OK;
  }
  if (int rc = FindRow(tab, sqlite3_value_int64(argv[0]))) return rc;  // UPDATE
  if (Result r = ModifyRecord(tab->writer, values)) return Error(v, EngineMessage(r), SQLITE_CONSTRAINT);
  return SQLITE_OK;
}

sqlite3_module g_module = {
    /* iVersion */ 0,
    /* xCreate */ Connect,
    /* xConnect */ Connect,
    /* xBestIndex */ BestIndex,
    /* xDisconnect */ Disconnect,
    /* xDestroy */ Disconnect,
    /* xOpen */ Open,
    /* xClose */ Close,
    /* xFilter */ Filter,
    /* xNext */ Next,
    /* xEof */ Eof,
    /* xColumn */ Column,
    /* xRowid */ Rowid,
    /* xUpdate */ Update,
    /* xBegin */ Begin,
    /* xSync */ Sync,
    /* xCommit */ Commit,
    /* xRollback */ Rollback,
    /* xFindFunction */ nullptr,
    /* xRename */ nullptr,
    /* xSavepoint */ nullptr,
    /* xRelease */ nullptr,
    /* xRollbackTo */ nullptr,
    /* xShadowName */ nullptr,
};

}  // namespace

int RegisterModule(sqlite3* db, TableSources* sources) {
  return sqlite3_create_module(db, "quarry", &g_module, sources);
}

std::uint64_t RecordsReadTotal() { return g_recordsRead.load(); }

}  // namespace engine::sql
