// quarry save-structure: the structure of every Paradox table of a database
// into a structure file, the same file the desktop program writes.
#include <unistd.h>

#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "structure/structurefile.h"

namespace cli {

namespace {

int SaveStructure(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {}, {});
  args.expectPositional(2);
  const std::string& database = args.positional()[0];
  const std::string& file = args.positional()[1];
  engine::TSession& session = engine::Session();
  engine::TTable table(session);
  const QStringList tables =
      structure::SaveStructureToFile(session, table, QString::fromStdString(database),
                                     QString::fromStdString(file), [&](int done, int total) {
                                       if (!isatty(STDERR_FILENO))
                                         return;  // a counter only for a person watching
                                       io.err << "\r" << done << "/" << total << " tables"
                                              << (done == total ? "\n" : "") << std::flush;
                                     });
  if (tables.isEmpty())
    io.out << database << " has no Paradox tables; nothing written\n";
  else
    io.out << "Saved the structure of " << tables.size() << " table"
           << (tables.size() == 1 ? "" : "s") << " of " << database << " to " << file << "\n";
  return 0;
}

}  // namespace

std::vector<Command> StructureCommands() {
  return {
      {"save-structure", "DATABASE FILE.ini [--password PW]...",
       "save the structure of every Paradox table of an alias or directory to a file",
       SaveStructure},
  };
}

}  // namespace cli
