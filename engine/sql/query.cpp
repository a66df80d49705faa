// Statements: the text is read for its header comment and its table
// references, DDL is carried out by the engine, and everything else runs in
// a private SQLite connection whose virtual tables are the referenced
// files. A SELECT's answer streams into a Paradox table in the private
// directory; the answer cursor is an ordinary read-only cursor on it.
#include "engine/sql/query.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "engine/dbfcursor.h"
#include "engine/io/file.h"
#include "engine/io/memo.h"
#include "engine/sql/ddl.h"
#include "engine/sql/live.h"
#include "engine/sql/qbe.h"
#include "engine/sql/sqltext.h"
#include "engine/sql/sqlvalue.h"
#include "engine/sql/vtab.h"
#include "engine/valuetext.h"

namespace engine {

namespace {

namespace fs = std::filesystem;
using namespace sql;

class Connection;

// A connection of the pool (ConnectionPool), given back when let go.
struct GiveBack {
  void operator()(Connection* c) const;
};
using Lease = std::unique_ptr<Connection, GiveBack>;

struct Statement {
  hDBIDb db = 0;
  bool ownsDb = false;
  QueryLang language = QueryLang::Sql;
  std::vector<std::string> texts;  // the statements to run, as written
  Header header;
  std::string answerType = "PARADOX";
  std::string answerName;
  std::int64_t liveness = 0, auxTables = 0, constrained = 0, rowCount = -1;
  std::string answerPath;  // of the last answer
  Lease prepared;  // of QueryPrepare, for the first QueryExec
};

std::mutex g_mutex;
std::map<hDBIStmt, std::unique_ptr<Statement>> g_statements;
hDBIStmt g_next = 1;
GenProgressCallback g_progress;

Statement* Find(hDBIStmt h) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_statements.find(h);
  return it == g_statements.end() ? nullptr : it->second.get();
}

Result NoStatement() { return Fail(ErrInvalidHandle, "Invalid statement handle."); }

std::string UpperText(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// The private directory: the configuration's PRIVATE DIR, else one of this
// process under the system's temporary directory.
// The directory made for this process goes, with the answers in it, when
// the process ends.
struct ScratchDirectory {
  fs::path path;
  ~ScratchDirectory() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

std::string PrivateDirectory() {
  std::string dir;
  if (GetConfigValue("\\system\\init", "PRIVATE DIR", dir) == Ok && !dir.empty()) return dir;
  static ScratchDirectory scratch;
  if (scratch.path.empty())
    scratch.path = fs::temp_directory_path() / ("quarry-private-" + std::to_string(getpid()));
  static std::once_flag made;  // an answer's directory is made again when it is written
  std::call_once(made, [] {
    std::error_code ec;
    fs::create_directories(scratch.path, ec);
  });
  return scratch.path.string();
}

std::string DatabaseDirectory(const Statement& s) {
  std::string dir;
  if (s.db && GetDatabaseDirectory(s.db, dir) == Ok) return dir;
  return fs::current_path().string();
}

// The file a table reference names: ALIAS:TABLE forms through the
// configuration, others in the database's directory; without an extension
// the Paradox table is preferred, then the dBASE one.
bool ResolveReference(const Statement& s, const std::string& name, std::string& path) {
  std::string n = name;
  if (!n.empty() && n[0] == ':') {
    const auto colon = n.find(':', 1);
    if (colon == std::string::npos) return false;
    const std::string alias = UpperText(n.substr(1, colon - 1));
    if (alias == "PRIV") {
      n = (fs::path(PrivateDirectory()) / n.substr(colon + 1)).string();
    } else {
      n = alias + ":" + n.substr(colon + 1);
      std::string found;
      if (ResolveTableName(n, found) == Ok && fs::exists(found)) {
        path = found;
        return true;
      }
      for (const char* ext : {".DB", ".DBF"}) {
        if (ResolveTableName(n + ext, found) == Ok && fs::exists(found)) {
          path = found;
          return true;
        }
      }
      ClearLastError();
      return false;
    }
  }
  fs::path base = fs::path(n).is_absolute() ? fs::path(n) : fs::path(DatabaseDirectory(s)) / n;
  std::vector<std::string> tries = {base.string()};
  if (!base.has_extension()) tries = {base.string() + ".DB", base.string() + ".DBF"};
  for (const std::string& t : tries) {
    const std::string found = MatchFileCase(t);
    std::error_code ec;
    if (fs::is_regular_file(found, ec)) {
      path = found;
      return true;
    }
  }
  return false;
}

std::string AnswerPath(const Statement& s, const std::string& requested);

// Whether a statement other than `s` has its answer at `path`.
bool AnswerInUse(const Statement& s, const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const auto& [h, other] : g_statements)
    if (other.get() != &s && other->answerPath == path) return true;
  return false;
}

// The answer table's path: a name of the statement, else ANSWER.DB in the
// private directory.
std::string AnswerPath(const Statement& s, const std::string& requested) {
  std::string name = requested.empty() ? s.answerName : requested;
  if (name.empty()) name = s.header.answer;
  if (name.empty()) {
    // ANSWER.DB, unless another statement's answer is there still.
    name = ":PRIV:ANSWER.DB";
    for (int n = 2; AnswerInUse(s, AnswerPath(s, name)); ++n)
      name = ":PRIV:ANSWER" + std::to_string(n) + ".DB";
  }
  std::string ext = UpperText(fs::path(name).extension().string());
  if (ext.empty()) name += UpperText(s.answerType) == "DBASE" ? ".DBF" : ".DB";
  if (name[0] == ':') {
    const auto colon = name.find(':', 1);
    const std::string alias = UpperText(name.substr(1, colon == std::string::npos ? 0 : colon - 1));
    if (alias == "PRIV" || colon == std::string::npos)
      return (fs::path(PrivateDirectory()) / name.substr(colon + 1)).string();
    std::string found;
    if (ResolveTableName(alias + ":" + name.substr(colon + 1), found) == Ok) return found;
    ClearLastError();
  }
  if (fs::path(name).is_absolute()) return name;
  if (fs::path(name).has_parent_path()) return name;
  return (fs::path(PrivateDirectory()) / name).string();
}

// The records of a cursor as values of the target's fields.
class CursorRows : public RowSource {
 public:
  CursorRows(hDBICur cursor, const std::vector<FieldDesc>& target) : cursor_(cursor), target_(target) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    Result r = GetNextRecord(cursor_, &values);
    end = r == ErrEndOfList;
    if (end) return Ok;
    if (r) return r;
    label = ++rows_;
    for (std::size_t i = 0; i < values.size() && i < target_.size(); ++i) values[i] = Convert(values[i], target_[i]);
    return Ok;
  }

 private:
  static Value Convert(const Value& v, const FieldDesc& f) {
    if (f.type == dbChar || f.type == dbMemo) {
      if (auto* t = std::get_if<TimeValue>(&v)) return FormatTime(t->ms);
      if (auto* t = std::get_if<TimestampValue>(&v)) return FormatTimestamp(t->ms);
      if (auto* b = std::get_if<BlobValue>(&v)) return b->bytes;
    }
    if (f.type == dbNumber) {
      double d = 0;
      if (AsNumber(v, d)) return d;
      if (auto* b = std::get_if<BcdValue>(&v)) return std::strtod(b->text.c_str(), nullptr);
    }
    return v;
  }
  hDBICur cursor_;
  const std::vector<FieldDesc>& target_;
  std::uint64_t rows_ = 0;
};

// A connection with the virtual tables of the statements it ran. Between
// statements it waits in a pool (ConnectionPool) with its tables declared:
// declaring one costs more than a key lookup. A table is declared again
// when its file or directory changed, or had not settled when it was
// declared (io/memo.h).
class Connection {
 public:
  ~Connection() {
    if (stmt_) sqlite3_finalize(stmt_);
    if (db_) sqlite3_close(db_);
  }
  Result open() {
    if (sqlite3_open_v2(":memory:", &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr))
      return Fail(ErrIo, "cannot open the query engine");
    RegisterModule(db_, &sources_);
    return Ok;
  }
  // Readies the connection for a new statement.
  void reset() {
    if (stmt_) sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    text_.clear();
    used_.clear();
    sources_.recordsRead = sources_.recordsTotal = 0;
  }
  // The name of a virtual table over the file at `path`, declared now
  // unless it is declared already and its file has not changed.
  Result attach(const std::string& path, std::string& name) {
    auto it = tables_.find(path);
    if (it != tables_.end() && !it->second.stamps.hold(path)) {
      if (Result r = exec("DROP TABLE temp." + QuoteIdentifier(it->second.name), path)) return r;
      names_.erase(UpperText(it->second.name));
      tables_.erase(it);
      it = tables_.end();
    }
    if (it == tables_.end()) {
      Declared d;
      // A table declared again takes the source it had.
      d.source = std::find(sources_.paths.begin(), sources_.paths.end(), path) - sources_.paths.begin();
      if (d.source == sources_.paths.size()) sources_.paths.push_back(path);
      d.name = fs::path(path).stem().string();
      for (int n = 2; names_.count(UpperText(d.name)); ++n)
        d.name = fs::path(path).stem().string() + "_" + std::to_string(n);
      d.stamps.take(path);
      if (Result r = exec("CREATE VIRTUAL TABLE temp." + QuoteIdentifier(d.name) + " USING quarry(" +
                              std::to_string(d.source) + ")",
                          path))
        return r;
      names_.insert(UpperText(d.name));
      it = tables_.emplace(path, d).first;
    }
    if (std::find(used_.begin(), used_.end(), path) == used_.end()) {
      used_.push_back(path);
      sources_.recordsTotal += sources_.records[it->second.source];
    }
    name = it->second.name;
    return Ok;
  }
  // Drops the tables the statement does not name: no name of an earlier
  // statement may stand for a table this one cannot find.
  Result dropUnused() {
    for (auto it = tables_.begin(); it != tables_.end();) {
      if (std::find(used_.begin(), used_.end(), it->first) != used_.end()) {
        ++it;
        continue;
      }
      if (Result r = exec("DROP TABLE temp." + QuoteIdentifier(it->second.name), it->first)) return r;
      names_.erase(UpperText(it->second.name));
      it = tables_.erase(it);
    }
    return Ok;
  }
  // Whether exactly these tables are declared.
  bool declares(const std::set<std::string>& paths) const {
    if (paths.size() != tables_.size()) return false;
    for (const std::string& p : paths)
      if (!tables_.count(p)) return false;
    return true;
  }
  // The tables the statement reads or changes.
  const std::vector<std::string>& used() const { return used_; }
  std::size_t declared() const { return tables_.size(); }
  Result prepare(const std::string& text, int lineOffset) {
    text_ = text;
    if (sqlite3_prepare_v2(db_, text.c_str(), -1, &stmt_, nullptr) == SQLITE_OK) {
      if (!stmt_) return Fail(ErrQuerySyntax, "No SQL statement available");
      return Ok;
    }
    int offset = sqlite3_error_offset(db_);
    std::string message = sqlite3_errmsg(db_);
    // A statement cut short is wrong at its end.
    if (offset < 0 && message.find("incomplete input") != std::string::npos)
      offset = static_cast<int>(text.find_last_not_of(" \t\r\n;") + 1);
    int line = 1 + lineOffset;
    std::string token;
    if (offset >= 0 && offset <= static_cast<int>(text.size())) {
      line += static_cast<int>(std::count(text.begin(), text.begin() + offset, '\n'));
      token = TokenAt(text, static_cast<std::size_t>(offset));
    }
    return Fail(ErrQuerySyntax, "Line " + std::to_string(line) +
                                    (token.empty() ? "" : ", token " + token) + ": " + message);
  }
  sqlite3* db() const { return db_; }
  sqlite3_stmt* stmt() const { return stmt_; }
  // The statement as prepared: its tables named as virtual tables.
  const std::string& text() const { return text_; }
  TableSources& sources() { return sources_; }

 private:
  struct Declared {
    std::string name;
    std::size_t source = 0;  // in sources_.paths
    io::FileStamps stamps;
  };
  Result exec(const std::string& sql, const std::string& path) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
      std::string m = err ? err : "cannot read " + path;
      sqlite3_free(err);
      return Fail(LastErrorCode() ? LastErrorCode() : Result{ErrIo}, m);
    }
    return Ok;
  }

  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
  std::string text_;
  TableSources sources_;
  std::map<std::string, Declared> tables_;  // by path
  std::set<std::string> names_;             // upper case
  std::vector<std::string> used_;
};

// Connections between statements. A connection whose statement changed a
// table is not kept: its tables are declared again anyway.
class ConnectionPool {
 public:
  // A connection, one that declares exactly `paths` when there is one.
  Result take(const std::set<std::string>& paths, Lease& out) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!idle_.empty()) {
        auto it = std::find_if(idle_.begin(), idle_.end(),
                               [&](const auto& c) { return c->declares(paths); });
        if (it == idle_.end()) --it;
        out.reset(it->release());
        idle_.erase(it);
        return Ok;
      }
    }
    auto c = std::make_unique<Connection>();
    if (Result r = c->open()) return r;
    out.reset(c.release());
    return Ok;
  }
  void give(std::unique_ptr<Connection> c) {
    // A statement that changes tables may leave them open for its changes.
    if (!c || (c->stmt() && !sqlite3_stmt_readonly(c->stmt())) ||
        sqlite3_total_changes(c->db()) > 0 || c->declared() > kTables)
      return;
    c->reset();
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < kIdle) idle_.push_back(std::move(c));
  }

 private:
  static constexpr std::size_t kIdle = 4, kTables = 32;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
};

ConnectionPool& Pool() {
  static auto* pool = new ConnectionPool;  // never destroyed: statements may outlive statics
  return *pool;
}

void GiveBack::operator()(Connection* c) const { Pool().give(std::unique_ptr<Connection>(c)); }

// Cancels through the progress callback; calls it every 64k VM steps.
int ProgressHandler(void* arg) {
  auto* sources = static_cast<TableSources*>(arg);
  if (!g_progress) return 0;
  std::int16_t percent = 0;
  if (sources->recordsTotal)
    percent = static_cast<std::int16_t>(
        std::min<std::uint64_t>(99, sources->recordsRead * 100 / sources->recordsTotal));
  return g_progress(percent, "Reading records") == 1 ? 0 : 1;
}

// Binds the references of `text` to virtual tables of a connection of the
// pool and prepares it there.
Result PrepareSql(Statement& s, const std::string& text, Lease& conn) {
  std::vector<TableRef> refs = FindTableRefs(text);
  std::vector<std::string> paths(refs.size());  // "" for a CTE, a view or an unknown table
  for (std::size_t i = 0; i < refs.size(); ++i)
    if (!ResolveReference(s, refs[i].name, paths[i])) paths[i].clear();
  std::set<std::string> tables(paths.begin(), paths.end());
  tables.erase("");
  if (Result r = Pool().take(tables, conn)) return r;
  std::string rewritten;
  std::size_t at = 0;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    std::string name;
    if (paths[i].empty()) continue;
    if (Result r = conn->attach(paths[i], name)) return r;
    rewritten += text.substr(at, refs[i].begin - at) + QuoteIdentifier(name);
    at = refs[i].end;
  }
  rewritten += text.substr(at);
  if (Result r = conn->dropUnused()) return r;
  return conn->prepare(rewritten, s.header.lines);
}

// Answer fields from the statement's columns: a column that is a field
// keeps its type; an expression takes the type of its first value.
std::vector<FieldDesc> AnswerFields(sqlite3_stmt* st, bool haveRow) {
  std::vector<FieldDesc> fields;
  std::set<std::string> names;
  const int n = sqlite3_column_count(st);
  for (int i = 0; i < n; ++i) {
    FieldDesc f;
    f.number = static_cast<std::uint16_t>(i + 1);
    f.name = AnswerFieldName(sqlite3_column_name(st, i), i + 1, names);
    if (!ParseDeclaredType(sqlite3_column_decltype(st, i), f)) {
      const int t = haveRow ? sqlite3_column_type(st, i) : SQLITE_NULL;
      if (t == SQLITE_INTEGER || t == SQLITE_FLOAT) {
        f.type = pxNumber;
      } else if (t == SQLITE_BLOB) {
        f.type = pxBinary;
        f.units1 = 10;
      } else {
        f.type = pxAlpha;
        f.units1 = 255;
      }
    }
    if (f.type == pxMemo || f.type == pxFmtMemo || f.type == pxBinary || f.type == pxOle ||
        f.type == pxGraphic)
      f.units1 = std::max<std::int16_t>(f.units1, 1);
    fields.push_back(f);
  }
  return fields;
}

// The rows of a running statement, for the answer table's bulk insert.
class StatementRows : public RowSource {
 public:
  StatementRows(sqlite3* db, sqlite3_stmt* st, const std::vector<FieldDesc>& fields, bool haveRow)
      : db_(db), st_(st), fields_(fields), pending_(haveRow) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    if (!pending_) {
      const int rc = sqlite3_step(st_);
      if (rc == SQLITE_DONE) {
        end = true;
        return Ok;
      }
      if (rc != SQLITE_ROW) return StepFailure(db_, rc);
    }
    pending_ = false;
    end = false;
    label = ++rows_;
    values.assign(fields_.size(), Value{});
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      std::string error;
      if (!ToEngineValue(sqlite3_column_value(st_, static_cast<int>(i)), fields_[i], values[i], error)) {
        if (fields_[i].type != pxAlpha) return Fail(ErrInvalidValue, "answer row " + std::to_string(rows_) + ": " + error);
        values[i] = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st_, static_cast<int>(i))));
      }
    }
    return Ok;
  }
  std::uint64_t rows() const { return rows_; }

 private:
  sqlite3* db_;
  sqlite3_stmt* st_;
  const std::vector<FieldDesc>& fields_;
  bool pending_;
  std::uint64_t rows_ = 0;
};

// A statement's rows for its answer table: the first up to kSmallAnswer
// of them read ahead, so that a small answer can be written at once.
class AnswerRows : public RowSource {
 public:
  static constexpr std::size_t kSmallAnswer = 256;
  explicit AnswerRows(StatementRows& statement) : statement_(statement) {}
  Result readSmall() {
    std::vector<Value> values;
    std::uint64_t label = 0;
    bool end = false;
    while (head_.size() <= kSmallAnswer) {
      if (Result r = statement_.next(values, label, end)) return r;
      if (end) break;
      head_.push_back(std::move(values));
    }
    ended_ = end;
    return Ok;
  }
  // The rows, when they are all read ahead.
  const std::vector<std::vector<Value>>* small() const { return ended_ ? &head_ : nullptr; }
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    if (at_ < head_.size()) {
      values = std::move(head_[at_++]);
      label = at_;
      end = false;
      return Ok;
    }
    end = ended_;  // stepped again, a finished statement would start over
    if (end) return Ok;
    return statement_.next(values, label, end);
  }

 private:
  StatementRows& statement_;
  std::vector<std::vector<Value>> head_;
  std::size_t at_ = 0;
  bool ended_ = false;
};

Result MakeAnswer(Statement& s, Connection& conn, const std::string& path, hDBICur* answer) {
  sqlite3_stmt* st = conn.stmt();
  int rc = sqlite3_step(st);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) return StepFailure(conn.db(), rc);
  const bool haveRow = rc == SQLITE_ROW;
  TableDesc desc;
  desc.tableName = path;
  desc.driverType = dbf::IsDbfPath(path) ? "DBASE" : "PARADOX";
  desc.fields = AnswerFields(st, haveRow);
  if (desc.driverType == "DBASE") desc.fields = DbaseFieldsFor(desc.fields);
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  // An answer in the private directory is scratch: no flushes for it.
  std::optional<io::SkipFlushes> scratch;
  if (fs::path(path).parent_path() == fs::path(PrivateDirectory())) scratch.emplace();
  // A small scratch answer is written with its records at once.
  StatementRows statement(conn.db(), st, desc.fields, haveRow);
  AnswerRows rows(statement);
  if (scratch)
    if (Result r = rows.readSmall()) return r;
  bool filled = false;
  if (Result r = scratch ? CreateScratchTableAtPath(desc, rows.small(), &filled)
                         : CreateTableAtPath(desc, true))
    return r;
  std::uint64_t inserted = rows.small() ? rows.small()->size() : 0;
  if (!filled) {
    hDBICur cur = 0;
    if (Result r = OpenTablePath(path, OpenMode::ReadWrite, cur)) return r;
    Result r = InsertRecordStream(cur, rows, &inserted);
    CloseCursor(cur);
    if (r) return r;
  }
  s.rowCount = static_cast<std::int64_t>(inserted);
  s.answerPath = path;
  s.liveness = 0;  // answers are canned: a live answer was asked for, a canned one given
  if (!answer) return Ok;
  if (Result o = OpenTablePath(path, OpenMode::ReadOnly, *answer)) return o;
  return Ok;
}

// A live answer when one was asked for and the query allows it (live.h);
// `live` says whether it was given.
Result MakeLiveAnswer(Statement& s, Connection& conn, hDBICur* answer, bool& live) {
  live = false;
  if (s.liveness != 1 || conn.used().size() != 1) return Ok;
  hDBICur cursor = 0;
  std::uint64_t rows = 0;
  if (Result r = LiveAnswer(conn.db(), conn.stmt(), conn.text(), conn.used()[0], cursor, live, rows))
    return r;
  if (!live) return Ok;
  s.rowCount = static_cast<std::int64_t>(rows);
  s.answerPath.clear();
  if (answer) *answer = cursor;
  else CloseCursor(cursor);
  return Ok;
}

Result RunChange(Statement& s, Connection& conn) {
  const int rc = sqlite3_step(conn.stmt());
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) return StepFailure(conn.db(), rc);
  s.rowCount += sqlite3_changes(conn.db());
  return Ok;
}

Result RunOne(Statement& s, const std::string& text, hDBICur* answer, bool last) {
  ClearLastError();
  DdlStatement ddl;
  bool isDdl = false;
  if (Result r = ParseDdl(text, ddl, isDdl)) return r;
  if (isDdl) {
    auto resolve = [&](const std::string& name, std::string& path) {
      if (ResolveReference(s, name, path)) return true;
      if (!name.empty() && name[0] == ':') return false;
      path = (fs::path(DatabaseDirectory(s)) / name).string();
      if (!fs::path(path).has_extension()) path += ".DB";
      return true;
    };
    if (Result r = RunDdl(ddl, resolve)) return r;
    s.rowCount = std::max<std::int64_t>(s.rowCount, 0);
    return Ok;
  }
  Lease owned = std::move(s.prepared);
  if (!owned)
    if (Result r = PrepareSql(s, text, owned)) return r;
  Connection& conn = *owned;
  sqlite3_progress_handler(conn.db(), 65536, ProgressHandler, &conn.sources());
  if (sqlite3_stmt_readonly(conn.stmt()) && sqlite3_column_count(conn.stmt()) > 0) {
    if (!last) return Ok;
    bool live = false;
    if (Result r = MakeLiveAnswer(s, conn, answer, live)) return r;
    if (live) return Ok;
    return MakeAnswer(s, conn, AnswerPath(s, ""), answer);
  }
  if (s.rowCount < 0) s.rowCount = 0;
  return RunChange(s, conn);
}

}  // namespace

Result QueryAlloc(hDBIDb db, QueryLang language, hDBIStmt& stmt) {
  auto s = std::make_unique<Statement>();
  s->db = db;
  s->language = language;
  std::lock_guard<std::mutex> lock(g_mutex);
  stmt = g_next++;
  g_statements[stmt] = std::move(s);
  return Ok;
}

Result QueryPrepare(hDBIStmt h, const std::string& text) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  s->texts.clear();
  s->rowCount = -1;
  if (s->language == QueryLang::Qbe) {
    qbe::Translation t;
    if (Result r = qbe::Translate(text, t)) return r;
    s->texts = t.statements;
    if (s->answerName.empty()) s->header.answer = t.answerTable;
    return Ok;
  }
  std::string body;
  s->header = ParseHeader(text, body);
  if (!s->header.alias.empty() && !s->db) {
    if (Result r = OpenDatabase(s->header.alias, s->db)) return r;
    s->ownsDb = true;
  }
  if (s->header.live) s->liveness = 1;
  if (s->header.auxTables) s->auxTables = 1;
  if (TrimmedEmpty(body)) return Fail(ErrQuerySyntax, "No SQL statement available");
  // A syntax error shows now: DDL by its own parser, the rest by SQLite.
  DdlStatement ddl;
  bool isDdl = false;
  if (Result r = ParseDdl(body, ddl, isDdl)) return r;
  s->prepared.reset();
  if (!isDdl) {
    Lease conn;
    if (Result r = PrepareSql(*s, body, conn)) return r;
    s->prepared = std::move(conn);
  }
  s->texts = {body};
  return Ok;
}

Result QueryExec(hDBIStmt h, hDBICur* answer) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  if (answer) *answer = 0;
  if (s->texts.empty()) return Fail(ErrQuerySyntax, "No SQL statement available");
  s->rowCount = -1;
  for (std::size_t i = 0; i < s->texts.size(); ++i)
    if (Result r = RunOne(*s, s->texts[i], answer, i + 1 == s->texts.size())) return r;
  return Ok;
}

Result QueryFree(hDBIStmt& h) {
  std::unique_ptr<Statement> s;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_statements.find(h);
    if (it == g_statements.end()) return NoStatement();
    s = std::move(it->second);
    g_statements.erase(it);
  }
  if (s->ownsDb) CloseDatabase(s->db);
  h = 0;
  return Ok;
}

Result GetStmtProp(hDBIStmt h, std::uint32_t property, std::int64_t& value) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  switch (property) {
    case stmtLiveness: value = s->liveness; return Ok;
    case stmtAuxTables: value = s->auxTables; return Ok;
    case stmtRowCount: value = s->rowCount; return Ok;
    case stmtConstrained: value = s->constrained; return Ok;
    default: return Fail(ErrNotSupported, "Statement property " + std::to_string(property) + " is not a number.");
  }
}

Result SetStmtProp(hDBIStmt h, std::uint32_t property, std::int64_t value) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  switch (property) {
    case stmtLiveness: s->liveness = value; return Ok;
    case stmtAuxTables: s->auxTables = value; return Ok;
    case stmtConstrained: s->constrained = value; return Ok;
    default: return Fail(ErrNotSupported, "Statement property " + std::to_string(property) + " cannot be set.");
  }
}

Result SetStmtText(hDBIStmt h, std::uint32_t property, const std::string& value) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  if (property == stmtAnswerName) {
    s->answerName = value;
    return Ok;
  }
  if (property == stmtAnswerType) {
    const std::string t = UpperText(value);
    if (t != "PARADOX" && t != "DBASE") return Fail(ErrInvalidParameter, "Answer type " + value + " is not PARADOX or DBASE.");
    s->answerType = t;
    return Ok;
  }
  return Fail(ErrNotSupported, "Statement property " + std::to_string(property) + " is not a text.");
}

Result InstantiateAnswer(hDBIStmt h, hDBICur answer, const std::string& tableName,
                         const std::string& driverType, bool overwrite, hDBICur* out) {
  Statement* s = Find(h);
  if (!s) return NoStatement();
  std::string path = tableName;
  const bool dbase = UpperText(driverType) == "DBASE";
  if (!fs::path(path).has_extension()) path += dbase ? ".DBF" : ".DB";
  if (!fs::path(path).is_absolute() && path[0] != ':') path = (fs::path(DatabaseDirectory(*s)) / path).string();
  else if (path[0] == ':') path = AnswerPath(*s, path);
  path = MatchFileCase(path);
  if (fs::exists(path) && !overwrite)
    return Fail(ErrAnswerTableExists, path + ": the table exists already");
  if (fs::path(path).parent_path() == fs::path(PrivateDirectory())) {
    std::error_code ec;
    fs::create_directories(PrivateDirectory(), ec);
  }
  std::vector<FieldDesc> fields;
  if (Result r = GetFieldDescs(answer, fields)) return r;
  TableDesc desc;
  desc.tableName = path;
  desc.driverType = dbase ? "DBASE" : "PARADOX";
  for (FieldDesc& f : fields) f.offset = f.length = 0;
  desc.fields = dbase ? DbaseFieldsFor(fields) : fields;
  if (Result r = CreateTableAtPath(desc, overwrite)) return r;
  hDBICur target = 0;
  if (Result r = OpenTablePath(path, OpenMode::ReadWrite, target)) return r;
  CursorRows rows(answer, desc.fields);
  Result r = SetToBegin(answer);
  if (!r) r = InsertRecordStream(target, rows);
  if (r || !out) {
    CloseCursor(target);
    return r;
  }
  *out = target;
  return Ok;
}

void RegisterGenProgress(GenProgressCallback callback) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_progress = std::move(callback);
}

}  // namespace engine
