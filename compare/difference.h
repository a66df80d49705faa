// The differences between the Paradox tables of a target database and a
// reference, as a tree of plain nodes that the comparison window shows and
// the command line prints: "RESULT", then a node per table that differs
// (its rows: table properties), under it a group per aspect ("FIELDS",
// "INDEXES", "VALIDITY CHECKS", "REFERENTIAL INTEGRITY", "SECURITY") and an
// item per differing field, index, check, link or password with its
// property rows. A row's current value is the target's, its reference value
// the reference's; an absent value means that side lacks the item.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>
#include <vector>

#include "structure/propertylist.h"

namespace engine {
class TSession;
class TTable;
}  // namespace engine

namespace compare {

struct ResultRow {
  QString name;
  std::optional<QString> current;
  std::optional<QString> reference;
};

struct ResultNode {
  QString text;
  int image = 1;  // tables and items 1, groups 2, failed tables 3
  std::vector<ResultRow> rows;
  std::vector<ResultNode> children;

  // The child with this text, made (with `image`) when there is none.
  ResultNode& child(const QString& text, int image = 1);
  const ResultNode* find(const QString& text) const;
};

// Where `name` is in `names`, letter case ignored; -1 when it is not.
int IndexOfName(const QStringList& names, const QString& name);
// Opens `table` on the table `name` of `database` (an alias or a directory),
// with no index; raises EDBEngineError.
void OpenTableIn(engine::TTable& table, const QString& database, const QString& name);

// Row i takes the name of line i and the value the list holds for that
// name (the first line of that name, letter case ignored); rows are added
// for further lines. Current values stay as they are.
void SetReferenceRows(const structure::PropertyList& list, std::vector<ResultRow>& rows);
// Row i takes the value the list holds for the name of line i, by position:
// rows are added (or named) from the list where they are missing.
void SetCurrentValues(const structure::PropertyList& list, std::vector<ResultRow>& rows);

// Compares every Paradox table of the reference database (an alias or a
// directory) with the table of that name in the target database. `orig`
// and `ref` are the table objects the comparison opens the tables with.
// Engine errors propagate (EDBEngineError); the nodes built so far stay in
// `result`, whose root is cleared first.
void CompareWithAlias(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                      const QString& target, const QString& reference, ResultNode& result);

// Compares the Paradox tables of the target database with the structure
// file at `path` (written by "save structure"): the file's tables in its
// order, and before them the target's tables the file lacks (with their
// current values only). A section missing from the file reads as empty.
void CompareWithFile(engine::TSession& session, engine::TTable& orig, const QString& target,
                     const QString& path, ResultNode& result);

}  // namespace compare
