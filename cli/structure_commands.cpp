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
#include "compare/difference.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

std::string Shown(const std::optional<QString>& v) {
  return v ? v->toStdString() : "(none)";
}

void PrintNode(const compare::ResultNode& node, int depth, Streams& io) {
  io.out << std::string(2 * depth, ' ') << node.text.toStdString() << "\n";
  for (const compare::ResultRow& r : node.rows)
    io.out << std::string(2 * depth + 4, ' ') << r.name.toStdString() << ": " << Shown(r.current)
           << " -> " << Shown(r.reference) << "\n";
  for (const compare::ResultNode& c : node.children) PrintNode(c, depth + 1, io);
}

QJsonObject NodeJson(const compare::ResultNode& node) {
  QJsonObject o;
  o["text"] = node.text;
  QJsonArray rows, children;
  for (const compare::ResultRow& r : node.rows)
    rows.append(QJsonObject{{"name", r.name},
                            {"current", r.current ? QJsonValue(*r.current) : QJsonValue()},
                            {"reference", r.reference ? QJsonValue(*r.reference) : QJsonValue()}});
  for (const compare::ResultNode& c : node.children) children.append(NodeJson(c));
  if (!rows.isEmpty()) o["rows"] = rows;
  if (!children.isEmpty()) o["children"] = children;
  return o;
}

// Exit status: 0 equal, 3 differences found (as diff does), 1 failure.
int Compare(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(words, {"alias", "ini"}, {"json"});
  args.expectPositional(1);
  auto reference = args.value("alias");
  auto file = args.value("ini");
  if (!reference == !file) throw UsageError("give either --ini FILE or --alias REFERENCE");
  const QString target = QString::fromStdString(args.positional()[0]);
  engine::TSession& session = engine::Session();
  engine::TTable orig(session), ref(session);
  compare::ResultNode result;
  if (file) {
    if (!QFileInfo(QString::fromStdString(*file)).isFile())
      throw std::runtime_error(*file + ": no such structure file");
    compare::CompareWithFile(session, orig, target, QString::fromStdString(*file), result);
  } else {
    compare::CompareWithAlias(session, orig, ref, target, QString::fromStdString(*reference),
                              result);
  }
  if (args.flag("json")) {
    QJsonArray tables;
    for (const compare::ResultNode& t : result.children) tables.append(NodeJson(t));
    io.out << QJsonDocument(QJsonObject{{"tables", tables}}).toJson(QJsonDocument::Indented).toStdString();
    return result.children.empty() ? 0 : 3;
  }
  if (result.children.empty()) {
    io.out << "No difference was found.\n";
    return 0;
  }
  for (const compare::ResultNode& t : result.children) PrintNode(t, 0, io);
  return 3;
}

}  // namespace

std::vector<Command> StructureCommands() {
  return {
      {"save-structure", "DATABASE FILE.ini [--password PW]...",
       "save the structure of every Paradox table of an alias or directory to a file",
       SaveStructure},
      {"compare", "DATABASE (--ini FILE | --alias REFERENCE) [--json] [--password PW]...",
       "list how the Paradox tables of DATABASE differ from those of REFERENCE (exit 3 when "
       "they do)",
       Compare},
  };
}

}  // namespace cli
