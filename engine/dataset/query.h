// Query components: an SQL statement (TQuery) or a query by example (TQBE)
// on a database of the session. Open runs a query that answers rows, which
// the answer table (Answer()) then holds like any open table; a change
// (INSERT, UPDATE, DELETE, CREATE, DROP) answers nothing and counts the
// records it changed.
#pragma once

#include <cstdint>
#include <string>

#include "engine/dataset/session.h"
#include "engine/dataset/table.h"
#include "engine/sql/query.h"

namespace engine {

class TQuery {
 public:
  explicit TQuery(TSession& session = Session(), QueryLang language = QueryLang::Sql);
  virtual ~TQuery();
  TQuery(const TQuery&) = delete;
  TQuery& operator=(const TQuery&) = delete;

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  // The statement's text; a new text closes and unprepares the query.
  const std::string& SQL() const { return text_; }
  void SetSQL(const std::string& text);
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool live) { requestLive_ = live; }
  // Where a kept answer goes: its table name and type ("PARADOX", "DBASE").
  std::string AnswerName, AnswerType;

  bool Prepared() const { return stmt_ != 0; }
  void Prepare();
  void Unprepare();
  // Runs the statement. True when it answered rows (then Active()).
  bool Run();
  // Runs a query that must answer rows.
  void Open();
  // Runs a statement that answers nothing.
  void ExecSQL();
  void Close();
  bool Active() const { return answer_.Active(); }
  TTable& Answer() { return answer_; }
  // Rows of the answer or records changed; -1 while not known.
  std::int64_t RowCount() const;
  // Keeps the answer as a table; ErrAnswerTableExists when it exists and
  // `overwrite` is false (raised as EDBEngineError).
  void SaveAnswer(const std::string& tableName, const std::string& driverType, bool overwrite);

 protected:
  // The text cannot be run (raises); "" otherwise.
  virtual void CheckText() const {}

 private:
  TSession* session_;
  QueryLang language_;
  std::string databaseName_, text_;
  bool requestLive_ = false;
  hDBIStmt stmt_ = 0;
  std::int64_t rowCount_ = -1;
  TTable answer_;
};

// A query by example, run the way TQuery runs SQL.
class TQBE : public TQuery {
 public:
  explicit TQBE(TSession& session = Session()) : TQuery(session, QueryLang::Qbe) {}
  const std::string& QBE() const { return SQL(); }
  void SetQBE(const std::string& text) { SetSQL(text); }

 protected:
  void CheckText() const override;
};

}  // namespace engine
