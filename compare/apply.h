// Bringing a target database into line with a reference: each table node of
// a comparison's result tree is created, or restructured through the
// engine with a descriptor of what changes, keeping the data (records that
// cannot be carried go to the problems table "ErrorTB.db"). Questions and
// messages go through ApplyDialogue, so the window and the command line
// share this logic.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

#include "compare/difference.h"

namespace engine {
class TSession;
class TTable;
}  // namespace engine

namespace compare {

struct ApplyOptions {
  int deleteTables = 1;  // 0 not delete, 1 ask, 2 delete automatically (file mode)
  int createTables = 2;  // 0 not create, 1 ask, 2 create automatically
  int messages = 0;      // 0 a message after each table, 1 none
  bool collectErrors = true;
  // Change nothing: each table says what would happen (a restructure's
  // dry run), and the tree stays whole.
  bool dryRun = false;
};

class ApplyDialogue {
 public:
  virtual ~ApplyDialogue() = default;
  // A reference field the target lacks: -1 adds it, k turns the target's
  // field k (0-based) into it.
  virtual int askFieldMapping(const QStringList& targetFields, const QString& table,
                              const QString& field) = 0;
  virtual bool confirm(const QString& question) = 0;
  virtual void inform(const QString& message) = 0;
  // The password a protected table of a structure file is to be opened
  // with; empty for none.
  virtual QString askPassword(const QString& prompt) {
    (void)prompt;
    return {};
  }
  // Table `index` of `total` (from 0) is about to be handled.
  virtual void starting(const QString& table, int index, int total) {
    (void)table, (void)index, (void)total;
  }
};

// Applies `tree` (from CompareWithAlias) to the target. Tables handled or
// skipped leave the tree; failed ones stay with image 3 and, when errors
// are collected, a line "TABLE=engine message" in `errors`. Engine errors
// while a table is prepared end the walk (EDBEngineError).
void ApplyFromAlias(engine::TSession& session, engine::TTable& orig, engine::TTable& ref,
                    const QString& target, const QString& reference, ResultNode& tree,
                    const ApplyOptions& options, ApplyDialogue& dialogue, QStringList& errors);

// Applies `tree` (from CompareWithFile) to the target: tables the file
// lacks are deleted as options.deleteTables says, tables the target lacks
// are created from the file (fields, indexes, checks), the others
// restructured from the file's sections. No problems table is named: a
// record that cannot be kept fails its table and nothing of it changes.
void ApplyFromFile(engine::TSession& session, engine::TTable& orig, engine::TTable& other,
                   const QString& target, const QString& path, ResultNode& tree,
                   const ApplyOptions& options, ApplyDialogue& dialogue, QStringList& errors);

}  // namespace compare
