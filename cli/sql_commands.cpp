// quarry sql / qbe: run a statement on a database and print its answer as
// `quarry dump` does, or the number of records it changed.
#include <fstream>
#include <sstream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/csv.h"
#include "engine/dataset/dberror.h"
#include "engine/engine.h"
#include "engine/sql/query.h"

namespace cli {

using namespace engine;

namespace {

// The database, the statement and the answer cursor, released on every path.
class Query {
 public:
  Query(const std::string& database, QueryLang language) {
    std::string name, directory;
    Check(ResolveDatabaseName(database, name, directory));
    Check(OpenDatabase(name, db_));
    Check(QueryAlloc(db_, language, stmt_));
  }
  ~Query() {
    if (answer_) CloseCursor(answer_);
    if (stmt_) QueryFree(stmt_);
    if (db_) CloseDatabase(db_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  int run(const std::string& text, const std::optional<std::string>& answerName, Streams& io) {
    if (answerName) Check(SetStmtText(stmt_, stmtAnswerName, *answerName));
    Check(QueryPrepare(stmt_, text));
    Check(QueryExec(stmt_, &answer_));
    if (!answer_) {
      std::int64_t changed = 0;
      Check(GetStmtProp(stmt_, stmtRowCount, changed));
      io.out << (changed < 0 ? 0 : changed) << " records changed\n";
      return 0;
    }
    std::vector<FieldDesc> fields;
    Check(GetFieldDescs(answer_, fields));
    const DumpColumns columns{fields, std::vector<bool>(fields.size(), true), false};
    WriteDumpHeader(io.out, columns);
    std::vector<Value> values;
    Check(SetToBegin(answer_));
    while (true) {
      Result r = GetNextRecord(answer_, &values);
      if (r == ErrEndOfList) break;
      Check(r);
      WriteDumpRecord(io.out, columns, values, false);
    }
    return 0;
  }

 private:
  hDBIDb db_ = 0;
  hDBIStmt stmt_ = 0;
  hDBICur answer_ = 0;
};

int Sql(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"answer"});
  args.expectPositional(2);
  Query query(args.positional()[0], QueryLang::Sql);
  return query.run(args.positional()[1], args.value("answer"), io);
}

int Qbe(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"answer"});
  args.expectPositional(2);
  std::ifstream file(args.positional()[1], std::ios::binary);
  if (!file) throw UsageError("cannot read " + args.positional()[1]);
  std::ostringstream text;
  text << file.rdbuf();
  Query query(args.positional()[0], QueryLang::Qbe);
  return query.run(text.str(), args.value("answer"), io);
}

}  // namespace

std::vector<Command> SqlCommands() {
  return {
      {"sql", "DATABASE \"STATEMENT\" [--answer TABLE]",
       "run an SQL statement on the database (an alias or a directory) and print its answer "
       "as dump does, or the number of records it changed",
       Sql},
      {"qbe", "DATABASE FILE.qbe [--answer TABLE]", "run a QBE query file the same way", Qbe},
  };
}

}  // namespace cli
