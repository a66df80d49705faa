// quarry save-structure: the structure of every Paradox table of a database
// into a structure file, the same file the desktop program writes.
#include <unistd.h>

#include <iostream>
#include <string>
#include <utility>

#include "cli/args.h"
#include "cli/commands.h"
#include "cli/session_options.h"
#include "engine/dataset/dberror.h"
#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "structure/backup.h"
#include "structure/structurefile.h"
#include "compare/apply.h"
#include "compare/difference.h"

#include <QDir>
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

// Questions asked on the terminal; without one, an option must answer them.
class TerminalDialogue : public compare::ApplyDialogue {
 public:
  TerminalDialogue(const Args& args, Streams& io) : args_(args), io_(io) {
    for (const std::string& m : args.values("map")) {
      const std::size_t eq = m.find('=');
      if (eq == std::string::npos || m.find('.') > eq)
        throw UsageError("--map takes TABLE.FIELD=new|EXISTINGFIELD, not \"" + m + "\"");
      maps_.emplace_back(QString::fromStdString(m.substr(0, eq)),
                         QString::fromStdString(m.substr(eq + 1)));
    }
  }

  int askFieldMapping(const QStringList& targetFields, const QString& table,
                      const QString& field) override {
    const QString key = table + "." + field;
    const QString stem = table.section('.', 0, 0) + "." + field;  // "ORDERS.Qty" for ORDERS.DB
    for (const auto& [k, answer] : maps_) {
      if (k.compare(key, Qt::CaseInsensitive) != 0 && k.compare(stem, Qt::CaseInsensitive) != 0)
        continue;
      if (answer.compare("new", Qt::CaseInsensitive) == 0) return -1;
      const int at = targetFields.indexOf(answer);
      if (at < 0) throw std::runtime_error("--map " + key.toStdString() + ": " + table.toStdString() +
                                           " has no field " + answer.toStdString());
      return at;
    }
    const std::string question = table.toStdString() + ": field " + field.toStdString() +
                                 " is unknown there; new, or which field becomes it (" +
                                 targetFields.join(", ").toStdString() + ")? ";
    if (!isatty(STDIN_FILENO))
      throw std::runtime_error(question.substr(0, question.size() - 2) +
                               ": answer it with --map " + stem.toStdString() + "=new|FIELD");
    for (;;) {
      const QString answer = QString::fromStdString(ask(question)).trimmed();
      if (answer.compare("new", Qt::CaseInsensitive) == 0) return -1;
      const int at = targetFields.indexOf(answer);
      if (at >= 0) return at;
    }
  }

  bool confirm(const QString& question) override {
    if (args_.flag("yes")) return true;
    if (!isatty(STDIN_FILENO))
      throw std::runtime_error(question.toStdString() +
                               " - answer it with --yes, or with --create never|always");
    const std::string a = ask(question.toStdString() + " [y/n] ");
    return !a.empty() && (a[0] == 'y' || a[0] == 'Y');
  }

  QString askPassword(const QString& prompt) override {
    if (!isatty(STDIN_FILENO)) return {};  // --password gives it
    return QString::fromStdString(ask(prompt.toStdString() + ": "));
  }

  void inform(const QString& message) override {
    QString line = message;
    line.replace('\r', ' ');
    io_.out << line.toStdString() << "\n";
  }

 private:
  std::string ask(const std::string& question) {
    io_.err << question << std::flush;
    std::string line;
    if (!std::getline(io_.in, line)) throw std::runtime_error("no answer on standard input");
    return line;
  }

  const Args& args_;
  Streams& io_;
  std::vector<std::pair<QString, QString>> maps_;
};

int Choice(const Args& args, const std::string& option, const std::vector<std::string>& words,
           int fallback) {
  auto v = args.value(option);
  if (!v) return fallback;
  for (std::size_t i = 0; i < words.size(); ++i)
    if (*v == words[i]) return static_cast<int>(i);
  throw UsageError("--" + option + " takes " + words[0] + ", " + words[1] +
                   (words.size() > 2 ? " or " + words[2] : ""));
}

// Copies of the target's tables that the result would change, into
// `folder` (made when missing), before anything changes. A table copied
// there before is not replaced: the run stops with the engine's message.
void BackupChanged(const QString& target, const compare::ResultNode& tree, const QString& folder,
                   Streams& io) {
  if (folder.isEmpty()) throw UsageError("--backup names no folder");
  const QStringList existing = structure::BackupCandidates(target);
  QStringList tables;
  for (const compare::ResultNode& t : tree.children)
    if (const int at = compare::IndexOfName(existing, t.text); at >= 0) tables << existing[at];
  if (tables.isEmpty()) return;
  if (!QDir().mkpath(folder)) throw std::runtime_error("cannot make folder " + folder.toStdString());
  structure::BackupHooks hooks;
  hooks.copied = [&](int index, const QString& destination) {
    io.out << "Backed up " << tables[index].toStdString() << " to " << destination.toStdString()
           << "\n";
  };
  structure::BackupTables(target, tables, folder, false, hooks);
}

// Exit status: 0 when every table was brought into line, 1 when one failed.
int Apply(const std::vector<std::string>& words, Streams& io) {
  Args args = ParseCommandArgs(
      words, {"alias", "ini", "create", "delete", "messages", "map", "backup"}, {"yes", "dry-run"});
  args.expectPositional(1);
  auto reference = args.value("alias");
  auto file = args.value("ini");
  if (!reference == !file) throw UsageError("give either --ini FILE or --alias REFERENCE");
  if (file && !QFileInfo(QString::fromStdString(*file)).isFile())
    throw std::runtime_error(*file + ": no such structure file");
  compare::ApplyOptions options;
  options.createTables = Choice(args, "create", {"never", "ask", "always"}, 2);
  options.deleteTables = Choice(args, "delete", {"never", "ask", "always"}, 1);
  options.messages = Choice(args, "messages", {"each", "end"}, 0);
  options.dryRun = args.flag("dry-run");
  TerminalDialogue dialogue(args, io);
  const QString target = QString::fromStdString(args.positional()[0]);
  engine::TSession& session = engine::Session();
  engine::TTable orig(session), ref(session);
  compare::ResultNode tree;
  if (file)
    compare::CompareWithFile(session, orig, target, QString::fromStdString(*file), tree);
  else
    compare::CompareWithAlias(session, orig, ref, target, QString::fromStdString(*reference), tree);
  if (tree.children.empty()) {
    io.out << "No difference was found.\n";
    return 0;
  }
  if (auto backup = args.value("backup"); backup && !options.dryRun)
    BackupChanged(target, tree, QString::fromStdString(*backup), io);
  QStringList errors;
  if (file)
    compare::ApplyFromFile(session, orig, ref, target, QString::fromStdString(*file), tree,
                           options, dialogue, errors);
  else
    compare::ApplyFromAlias(session, orig, ref, target, QString::fromStdString(*reference), tree,
                            options, dialogue, errors);
  if (tree.children.empty() || options.dryRun) return 0;
  io.err << "quarry: " << tree.children.size() << " table(s) failed:\n";
  for (const QString& e : errors) io.err << "  " << e.toStdString() << "\n";
  return 1;
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
      {"apply",
       "DATABASE (--ini FILE | --alias REFERENCE) [--create never|ask|always] "
       "[--delete never|ask|always] [--messages each|end] [--backup DIR] "
       "[--map TABLE.FIELD=new|EXISTINGFIELD]... [--yes] [--dry-run] [--password PW]...",
       "bring DATABASE's Paradox tables into line with REFERENCE's, keeping the data "
       "(records that cannot be kept go to ErrorTB.db; --backup copies the tables it changes "
       "first)",
       Apply},
  };
}

}  // namespace cli
