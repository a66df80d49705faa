#include "engine/dataset/query.h"

#include "engine/dataset/dberror.h"
#include "engine/errors.h"

namespace engine {

TQuery::TQuery(TSession& session, QueryLang language)
    : session_(&session), language_(language), answer_(session) {}

TQuery::~TQuery() {
  Close();
  Unprepare();
}

void TQuery::SetDatabaseName(const std::string& name) {
  if (name == databaseName_) return;
  Close();
  Unprepare();
  databaseName_ = name;
}

void TQuery::SetSQL(const std::string& text) {
  if (text == text_) return;
  Close();
  Unprepare();
  text_ = text;
}

void TQuery::Prepare() {
  if (Active()) throw EDBEngineError(ErrInvalidParameter, "Cannot perform this operation on an open dataset");
  if (stmt_) return;
  rowCount_ = -1;
  CheckText();
  session_->Open();
  TDatabase& db = session_->OpenDatabase(databaseName_);
  Check(QueryAlloc(db.Handle(), language_, stmt_));
  try {
    Check(SetStmtProp(stmt_, stmtLiveness, requestLive_ ? 1 : 0));
    Check(SetStmtProp(stmt_, stmtAuxTables, 1));
    session_->OpenWithPasswords([&] { return QueryPrepare(stmt_, text_); });
  } catch (...) {
    QueryFree(stmt_);
    throw;
  }
}

void TQuery::Unprepare() {
  if (!stmt_) return;
  std::int64_t rows = -1;
  if (GetStmtProp(stmt_, stmtRowCount, rows) == Ok) rowCount_ = rows;
  QueryFree(stmt_);
}

bool TQuery::Run() {
  Close();
  Prepare();
  if (!AnswerName.empty()) Check(SetStmtText(stmt_, stmtAnswerName, AnswerName));
  if (!AnswerType.empty()) Check(SetStmtText(stmt_, stmtAnswerType, AnswerType));
  hDBICur answer = 0;
  session_->OpenWithPasswords([&] { return QueryExec(stmt_, &answer); });
  std::int64_t rows = -1;
  if (GetStmtProp(stmt_, stmtRowCount, rows) == Ok) rowCount_ = rows;
  if (!answer) return false;
  answer_.OpenOnCursor(answer);
  return true;
}

void TQuery::Open() {
  if (text_.empty()) CheckText();
  if (!Run()) throw EDBEngineError(ErrInvalidParameter, "The statement answers no rows");
}

void TQuery::ExecSQL() { Run(); }

void TQuery::Close() { answer_.Close(); }

std::int64_t TQuery::RowCount() const {
  std::int64_t rows = -1;
  if (stmt_ && GetStmtProp(stmt_, stmtRowCount, rows) == Ok) return rows;
  return rowCount_;
}

void TQuery::SaveAnswer(const std::string& tableName, const std::string& driverType,
                        bool overwrite) {
  if (!stmt_ || !Active()) throw EDBEngineError(ErrInvalidParameter, "The query has no answer");
  hDBICur saved = 0;
  Check(InstantiateAnswer(stmt_, answer_.Handle(), tableName, driverType, overwrite, &saved));
  if (saved) CloseCursor(saved);
}

void TQBE::CheckText() const {
  if (QBE().size() < 2) throw EDBEngineError(ErrQuerySyntax, "No QBE statement available");
}

}  // namespace engine
