// A table component: one table of a database, opened through the session,
// read record by record (optionally through a filter) and edited through a
// record buffer. Failures raise EDBEngineError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/dataset/dberror.h"
#include "engine/dataset/filter.h"
#include "engine/dataset/session.h"
#include "engine/engine.h"

namespace engine {

class TTable;

// One field of the current record (or of the record being edited).
class TField {
 public:
  const std::string& FieldName() const { return desc_.name; }
  int FieldNo() const { return desc_.number; }  // 1-based
  std::uint16_t DataType() const { return desc_.type; }  // physical type
  int Size() const { return desc_.units1; }
  const FieldDesc& Desc() const { return desc_; }

  // NULL when there is no current record.
  Value GetValue() const;
  bool IsNull() const { return engine::IsNull(GetValue()); }
  // The table must be in edit or insert mode.
  void SetValue(const Value& value);
  void Clear() { SetValue(Value{}); }

  // Conversions; a value of another kind raises ErrInvalidValue.
  std::string AsString() const;
  std::int64_t AsInteger() const;
  double AsFloat() const;

 private:
  friend class TTable;
  TField(TTable& table, FieldDesc desc) : table_(&table), desc_(std::move(desc)) {}
  TTable* table_;
  FieldDesc desc_;
};

class TTable {
 public:
  enum class State { Inactive, Browse, Edit, Insert };

  explicit TTable(TSession& session = Session());
  ~TTable();
  TTable(const TTable&) = delete;
  TTable& operator=(const TTable&) = delete;

  // What to open; changed only while the table is closed. DatabaseName is an
  // alias or a directory; without it TableName is a path (or ALIAS:TABLE).
  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly);
  // "" (or the primary index) orders by the primary key. Changed while the
  // table is open, the table moves to its first record in the new order.
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);

  // The filter (engine/dataset/filter.h) applies while Filtered is set; it
  // may change while the table is open (the table moves to its first record).
  const std::string& Filter() const { return filterText_; }
  void SetFilter(const std::string& text);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool filtered);
  const engine::FilterOptions& FilterOptions() const { return filterOptions_; }
  void SetFilterOptions(const engine::FilterOptions& options);

  // Called before the table opens (it may still change what is opened, or
  // throw to stop the open), and after.
  std::function<void(TTable&)> BeforeOpen;
  std::function<void(TTable&)> AfterOpen;

  void Open();
  // Opens the table on a cursor that is open already (a query's answer),
  // which the table then owns and closes.
  void OpenOnCursor(hDBICur cursor);
  void Close();
  bool Active() const { return state_ != State::Inactive; }
  void SetActive(bool active) { active ? Open() : Close(); }
  State GetState() const { return state_; }
  // The table's file (valid once opened).
  const std::string& TablePath() const { return path_; }
  hDBICur Handle() const { return cursor_; }

  // Navigation over the records that pass the filter. Eof is set by Next at
  // the last record (and by Last), Bof by Prior at the first (and by First);
  // an empty table has both. Moving posts a pending edit first.
  void First();
  void Last();
  void Next();
  void Prior();
  // Moves up to `distance` records (negative: backwards); returns how far it went.
  int MoveBy(int distance);
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty() const { return !hasCurrent_ && state_ != State::Insert; }
  // 1-based number of the current record in the table's order; 0 without one.
  std::uint32_t RecNo() const;
  // The records of the table, filter or not.
  std::uint32_t RecordCount() const;
  // Makes the record with this number (as RecNo counts) the current one;
  // a pending edit is posted first.
  void SetRecNo(std::uint32_t recNo);
  // Reads the current record again (it may have been changed or removed
  // through another cursor); without it the table moves to its first record.
  void Refresh();
  // Whether a record with these values passes the filter (always, while
  // Filtered is off).
  bool Passes(const std::vector<Value>& values) const { return passes(values); }

  // Fields.
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  std::vector<std::string> GetFieldNames() const;
  TField& Fields(int index);  // 0-based
  TField& FieldByName(const std::string& name);
  TField* FindField(const std::string& name);

  // Editing. Edit changes the current record, Insert and Append add one;
  // Post writes it (the table then stands on it), Cancel drops the changes.
  // Delete removes the current record and moves to the next one.
  void Edit();
  void Insert();
  void Append();
  void Post();
  void Cancel();
  void Delete();

  // Whole-table operations (the family's files).
  void EmptyTable();                             // every record removed; open or closed
  void DeleteTable();                            // table closed
  void RenameTable(const std::string& newName);  // table closed; TableName follows
  void DeleteIndex(const std::string& name);     // secondary index by name

 private:
  friend class TField;
  friend class TSession;

  void requireClosed(const char* what) const;
  void requireOpen() const;
  [[noreturn]] void raise(Result code, const std::string& what) const;
  std::string resolvePath();
  void openCursor();
  void readFields();
  void browse();
  std::string closedPath();
  void compileFilter();
  bool passes(const std::vector<Value>& values) const;
  bool seek(bool forward);
  void moveTo(bool forward);
  void browseMode();
  void readCurrent();
  void settleAfterDelete();

  TSession* session_;
  TDatabase* database_ = nullptr;
  std::string databaseName_, tableName_, indexName_, filterText_, path_;
  bool exclusive_ = false, readOnly_ = false, filtered_ = false;
  engine::FilterOptions filterOptions_;
  RecordFilter filter_;

  hDBICur cursor_ = 0;
  State state_ = State::Inactive;
  std::vector<FieldDesc> fieldDescs_;
  std::vector<std::unique_ptr<TField>> fields_;
  std::vector<Value> buffer_;  // the current record, or the one being edited
  bool hasCurrent_ = false;
  bool eof_ = true, bof_ = true;
};

}  // namespace engine
