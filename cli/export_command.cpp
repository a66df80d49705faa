// quarry export: a database's tables into a SQLite file or a PostgreSQL script.
#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/dberror.h"
#include "engine/sql/export.h"

namespace cli {

namespace {

std::vector<std::string> TableList(const std::string& list) {
  std::vector<std::string> tables;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    std::string name = list.substr(start, comma - start);
    name.erase(0, name.find_first_not_of(" \t"));
    name.erase(name.find_last_not_of(" \t") + 1);
    if (!name.empty()) tables.push_back(name);
    start = comma + 1;
  }
  if (tables.empty()) throw UsageError("--tables names no table");
  return tables;
}

int Export(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"tables", "postgres"}, {});
  engine::sql::ExportRequest request;
  const std::optional<std::string> script = args.value("postgres");
  args.expectPositional(script ? 1 : 2);
  request.database = args.positional()[0];
  request.target = script ? *script : args.positional()[1];
  if (request.target.empty()) throw UsageError("the target file name is empty");
  request.format = script ? engine::sql::ExportFormat::PostgresScript : engine::sql::ExportFormat::Sqlite;
  if (const std::optional<std::string> only = args.value("tables")) request.tables = TableList(*only);
  engine::sql::ExportSummary summary;
  engine::Check(engine::sql::ExportDatabase(request, &summary));
  for (const auto& t : summary.tables)
    io.out << "Exported " << t.name << ": " << t.rows << " record(s)\n";
  for (const std::string& note : summary.notes) io.err << "note: " << note << "\n";
  io.out << "Wrote " << summary.tables.size() << " table(s) to " << request.target << "\n";
  return 0;
}

}  // namespace

std::vector<Command> ExportCommands() {
  return {
      {"export", "DATABASE TARGET.sqlite | DATABASE --postgres FILE.sql [--tables T1,T2] [--password PW]...",
       "copy a database's tables (all, or those of --tables) with their keys, indexes, checks and "
       "links into a new SQLite file, or into a script that psql -f loads",
       Export},
  };
}

}  // namespace cli
