#include "engine/dataset/table.h"

#include <cmath>
#include <filesystem>

#include "engine/config/config.h"
#include "engine/family.h"
#include "engine/indexes.h"
#include "engine/paradox/pxfamily.h"

namespace engine {

namespace {

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

}  // namespace

// ------------------------------------------------------------ TField

Value TField::GetValue() const {
  const TTable& t = *table_;
  if (!t.hasCurrent_ && t.state_ != TTable::State::Insert) return Value{};
  return t.buffer_.at(static_cast<std::size_t>(desc_.number - 1));
}

void TField::SetValue(const Value& value) {
  TTable& t = *table_;
  if (t.state_ != TTable::State::Edit && t.state_ != TTable::State::Insert)
    t.raise(ErrInvalidParameter, "field " + desc_.name + ": the table is not in edit or insert mode");
  t.buffer_.at(static_cast<std::size_t>(desc_.number - 1)) = value;
}

std::string TField::AsString() const {
  Value v = GetValue();
  if (engine::IsNull(v)) return {};
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (const auto* b = std::get_if<BcdValue>(&v)) return b->text;
  if (const auto* l = std::get_if<bool>(&v)) return *l ? "True" : "False";
  table_->raise(ErrInvalidValue, "field " + desc_.name + " cannot be read as text");
}

std::int64_t TField::AsInteger() const {
  Value v = GetValue();
  if (engine::IsNull(v)) return 0;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(std::llround(*d));
  table_->raise(ErrInvalidValue, "field " + desc_.name + " does not hold a number");
}

double TField::AsFloat() const {
  Value v = GetValue();
  if (engine::IsNull(v)) return 0;
  if (const auto* d = std::get_if<double>(&v)) return *d;
  if (const auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
  if (const auto* b = std::get_if<BcdValue>(&v)) return std::strtod(b->text.c_str(), nullptr);
  table_->raise(ErrInvalidValue, "field " + desc_.name + " does not hold a number");
}

// ------------------------------------------------------------ properties

TTable::TTable(TSession& session) : session_(&session) {}

TTable::~TTable() { Close(); }

void TTable::raise(Result code, const std::string& what) const {
  const std::string message = (path_.empty() ? tableName_ : path_) + ": " + what;
  Fail(code, message);
  throw EDBEngineError(code, message);
}

void TTable::requireClosed(const char* what) const {
  if (Active()) raise(ErrTableInUse, std::string("cannot ") + what + " while the table is open");
}

void TTable::requireOpen() const {
  if (!Active()) raise(ErrInvalidHandle, "the table is not open");
}

void TTable::SetDatabaseName(const std::string& name) {
  requireClosed("change the database");
  databaseName_ = name;
}

void TTable::SetTableName(const std::string& name) {
  requireClosed("change the table name");
  tableName_ = name;
}

void TTable::SetExclusive(bool exclusive) {
  requireClosed("change the exclusive flag");
  exclusive_ = exclusive;
}

void TTable::SetReadOnly(bool readOnly) {
  requireClosed("change the read-only flag");
  readOnly_ = readOnly;
}

void TTable::SetIndexName(const std::string& name) {
  if (Active()) {
    browseMode();
    Check(SwitchToIndex(cursor_, name));
    indexName_ = name;
    First();
    return;
  }
  indexName_ = name;
}

void TTable::SetFilter(const std::string& text) {
  std::string old = filterText_;
  filterText_ = text;
  if (!Active()) return;
  try {
    compileFilter();
  } catch (...) {
    filterText_ = old;
    throw;
  }
  if (filtered_) First();
}

void TTable::SetFiltered(bool filtered) {
  if (filtered_ == filtered) return;
  filtered_ = filtered;
  if (Active()) First();
}

void TTable::SetFilterOptions(const engine::FilterOptions& options) {
  filterOptions_ = options;
  if (!Active()) return;
  compileFilter();
  if (filtered_) First();
}

// ------------------------------------------------------------ open, close

std::string TTable::resolvePath() {
  if (tableName_.empty()) raise(ErrInvalidParameter, "no table name");
  if (databaseName_.empty() || tableName_.find('/') != std::string::npos) {
    std::string path;
    Check(ResolveTableName(tableName_, path));
    return path;
  }
  std::string path = database_->Directory() + "/" + tableName_;
  if (std::filesystem::path(tableName_).extension().empty())
    path += database_->DriverName() == "DBASE" ? ".DBF" : ".DB";
  return MatchFileCase(path);
}

void TTable::openCursor() {
  const OpenMode mode = readOnly_ ? OpenMode::ReadOnly : OpenMode::ReadWrite;
  const ShareMode share = exclusive_ ? ShareMode::Exclusive : ShareMode::Shared;
  session_->OpenWithPasswords([&] { return OpenTablePath(path_, mode, share, cursor_); });
  if (!indexName_.empty()) Check(SwitchToIndex(cursor_, indexName_));
}

void TTable::compileFilter() {
  RecordFilter compiled;
  Check(RecordFilter::Compile(filterText_, fieldDescs_, filterOptions_, compiled));
  filter_ = compiled;
}

void TTable::Open() {
  if (Active()) return;
  if (BeforeOpen) BeforeOpen(*this);
  if (!databaseName_.empty()) database_ = &session_->acquireDatabase(databaseName_);
  try {
    path_ = resolvePath();
    openCursor();
    readFields();
  } catch (...) {
    if (cursor_) CloseCursor(cursor_);
    if (database_) session_->releaseDatabase(*database_);
    database_ = nullptr;
    throw;
  }
  browse();
}

void TTable::OpenOnCursor(hDBICur cursor) {
  Close();
  cursor_ = cursor;
  path_.clear();
  try {
    readFields();
  } catch (...) {
    CloseCursor(cursor_);
    throw;
  }
  browse();
}

void TTable::readFields() {
  Check(GetFieldDescs(cursor_, fieldDescs_));
  fields_.clear();
  for (const FieldDesc& f : fieldDescs_) fields_.emplace_back(new TField(*this, f));
  compileFilter();
}

void TTable::browse() {
  session_->registerTable(this);
  state_ = State::Browse;
  First();
  if (AfterOpen) AfterOpen(*this);
}

void TTable::Close() {
  if (!Active()) return;
  if (cursor_) CloseCursor(cursor_);
  session_->unregisterTable(this);
  if (database_) session_->releaseDatabase(*database_);
  database_ = nullptr;
  state_ = State::Inactive;
  fields_.clear();
  fieldDescs_.clear();
  buffer_.clear();
  hasCurrent_ = false;
  eof_ = bof_ = true;
}

// ------------------------------------------------------------ navigation

bool TTable::passes(const std::vector<Value>& values) const {
  return !filtered_ || filter_.matches(values);
}

// Moves the engine cursor to the next (or prior) record that passes the
// filter and reads it; false when there is none (the cursor is then past
// the end it moved to).
bool TTable::seek(bool forward) {
  std::vector<Value> values;
  while (true) {
    Result r = forward ? GetNextRecord(cursor_, &values) : GetPriorRecord(cursor_, &values);
    if (r == ErrEndOfList || r == ErrBeginOfList) return false;
    Check(r);
    if (passes(values)) {
      buffer_ = std::move(values);
      hasCurrent_ = true;
      return true;
    }
  }
}

void TTable::browseMode() {
  requireOpen();
  if (state_ == State::Edit || state_ == State::Insert) Post();
}

void TTable::First() {
  browseMode();
  Check(SetToBegin(cursor_));
  hasCurrent_ = seek(true);
  if (!hasCurrent_) buffer_.assign(fieldDescs_.size(), Value{});
  bof_ = true;
  eof_ = !hasCurrent_;
}

void TTable::Last() {
  browseMode();
  Check(SetToEnd(cursor_));
  hasCurrent_ = seek(false);
  if (!hasCurrent_) buffer_.assign(fieldDescs_.size(), Value{});
  eof_ = true;
  bof_ = !hasCurrent_;
}

void TTable::moveTo(bool forward) {
  browseMode();
  if (!hasCurrent_) {
    eof_ = bof_ = true;
    return;
  }
  if (forward ? eof_ : bof_) return;
  std::uint32_t here = 0;
  Check(GetRecordNo(cursor_, here));
  if (seek(forward)) {
    (forward ? bof_ : eof_) = false;
    return;
  }
  // No further record: stay where we were, at the end we ran into.
  (forward ? eof_ : bof_) = true;
  Check(SetToRecordNo(cursor_, here));
  readCurrent();
}

void TTable::Next() { moveTo(true); }
void TTable::Prior() { moveTo(false); }

int TTable::MoveBy(int distance) {
  browseMode();
  int moved = 0;
  for (; distance > 0 && !eof_; --distance) {
    std::uint32_t before = RecNo();
    Next();
    if (eof_ && RecNo() == before) break;
    ++moved;
  }
  for (; distance < 0 && !bof_; ++distance) {
    std::uint32_t before = RecNo();
    Prior();
    if (bof_ && RecNo() == before) break;
    --moved;
  }
  return moved;
}

std::uint32_t TTable::RecNo() const {
  if (!Active() || !hasCurrent_ || state_ == State::Insert) return 0;
  std::uint32_t n = 0;
  return GetRecordNo(cursor_, n) == Ok ? n : 0;
}

void TTable::SetRecNo(std::uint32_t recNo) {
  browseMode();
  Check(SetToRecordNo(cursor_, recNo));
  readCurrent();
  hasCurrent_ = true;
  eof_ = bof_ = false;
}

void TTable::Refresh() {
  browseMode();
  std::uint32_t here = 0;
  if (hasCurrent_ && GetRecordNo(cursor_, here) == Ok && GetRecord(cursor_, buffer_) == Ok &&
      passes(buffer_))
    return;
  ClearLastError();
  First();
}

std::uint32_t TTable::RecordCount() const {
  requireOpen();
  std::uint32_t count = 0;
  Check(GetRecordCount(cursor_, count));
  return count;
}

void TTable::readCurrent() { Check(GetRecord(cursor_, buffer_)); }

// ------------------------------------------------------------ fields

std::vector<std::string> TTable::GetFieldNames() const {
  std::vector<FieldDesc> descs = fieldDescs_;
  if (!Active()) {
    // The names are read from the table itself when it is closed.
    TTable probe(*session_);
    probe.databaseName_ = databaseName_;
    probe.tableName_ = tableName_;
    probe.readOnly_ = true;
    probe.Open();
    descs = probe.fieldDescs_;
  }
  std::vector<std::string> names;
  for (const FieldDesc& f : descs) names.push_back(f.name);
  return names;
}

TField& TTable::Fields(int index) {
  requireOpen();
  if (index < 0 || index >= FieldCount())
    raise(ErrInvalidParameter, "no field number " + std::to_string(index));
  return *fields_[static_cast<std::size_t>(index)];
}

TField* TTable::FindField(const std::string& name) {
  for (auto& f : fields_)
    if (Lower(f->FieldName()) == Lower(name)) return f.get();
  return nullptr;
}

TField& TTable::FieldByName(const std::string& name) {
  requireOpen();
  TField* f = FindField(name);
  if (!f) raise(ErrInvalidFieldName, "the table has no field \"" + name + "\"");
  return *f;
}

// ------------------------------------------------------------ editing

void TTable::Edit() {
  requireOpen();
  if (state_ == State::Edit || state_ == State::Insert) return;
  if (readOnly_) raise(ErrReadOnly, "the table is open read-only");
  if (!hasCurrent_) raise(ErrNoCurrentRecord, "no current record to edit");
  readCurrent();  // start from the stored record
  state_ = State::Edit;
}

void TTable::Insert() {
  browseMode();
  if (readOnly_) raise(ErrReadOnly, "the table is open read-only");
  buffer_.assign(fieldDescs_.size(), Value{});
  state_ = State::Insert;
}

// Records find their place by key (or at the end of an unkeyed table), so
// appending is inserting.
void TTable::Append() { Insert(); }

void TTable::Post() {
  requireOpen();
  if (state_ == State::Browse) return;
  if (state_ == State::Edit)
    Check(ModifyRecord(cursor_, buffer_));
  else
    Check(InsertRecord(cursor_, buffer_));
  state_ = State::Browse;
  hasCurrent_ = true;
  eof_ = bof_ = false;
  readCurrent();
}

void TTable::Cancel() {
  requireOpen();
  if (state_ == State::Browse) return;
  state_ = State::Browse;
  if (hasCurrent_)
    readCurrent();
  else
    buffer_.assign(fieldDescs_.size(), Value{});
}

void TTable::Delete() {
  requireOpen();
  if (state_ == State::Insert) return Cancel();
  state_ = State::Browse;
  if (readOnly_) raise(ErrReadOnly, "the table is open read-only");
  if (!hasCurrent_) raise(ErrNoCurrentRecord, "no current record to delete");
  Check(DeleteRecord(cursor_));
  settleAfterDelete();
}

// After a delete the engine cursor stands on the record that followed: the
// table moves to the first passing record from there, else to the last one
// before it.
void TTable::settleAfterDelete() {
  std::vector<Value> values;
  Result r = GetRelativeRecord(cursor_, 0, &values);
  eof_ = bof_ = false;
  if (r == Ok && passes(values)) {
    buffer_ = std::move(values);
    hasCurrent_ = true;
    return;
  }
  if (r != ErrEndOfList) Check(r);
  if (r == Ok && seek(true)) return;
  eof_ = true;
  hasCurrent_ = seek(false);
  if (!hasCurrent_) {
    bof_ = true;
    buffer_.assign(fieldDescs_.size(), Value{});
  }
}

// ------------------------------------------------------------ whole table

std::string TTable::closedPath() {
  if (!databaseName_.empty()) database_ = &session_->acquireDatabase(databaseName_);
  try {
    path_ = resolvePath();
  } catch (...) {
    if (database_) session_->releaseDatabase(*database_);
    database_ = nullptr;
    throw;
  }
  if (database_) session_->releaseDatabase(*database_);
  database_ = nullptr;
  return path_;
}

// The family's files cannot change while any open of the table lasts, this
// one included: an open table is closed for the change and opened again.
void TTable::EmptyTable() {
  const bool wasOpen = Active();
  if (wasOpen) {
    if (readOnly_) raise(ErrReadOnly, "the table is open read-only");
    Cancel();
    CloseCursor(cursor_);
  } else {
    closedPath();
  }
  Result emptied = Ok;
  std::string message;
  try {
    session_->OpenWithPasswords(
        [&] { return paradox::EmptyParadoxTable(path_, SessionPasswords()); });
  } catch (const EDBEngineError& e) {
    emptied = e.code();
    message = e.what();
  }
  if (wasOpen) {
    try {
      openCursor();
      First();
    } catch (...) {
      Close();
      throw;
    }
  }
  if (emptied) throw EDBEngineError(emptied, message);
}

void TTable::DeleteTable() {
  requireClosed("delete the table");
  const std::string path = closedPath();
  session_->OpenWithPasswords(
      [&] { return paradox::DeleteParadoxTable(path, SessionPasswords()); });
}

void TTable::RenameTable(const std::string& newName) {
  requireClosed("rename the table");
  const std::string path = closedPath();
  session_->OpenWithPasswords(
      [&] { return paradox::RenameParadoxTable(path, newName, SessionPasswords()); });
  // A table named by its path (or ALIAS:TABLE) keeps being named so.
  if (databaseName_.empty()) {
    std::string name = newName;
    if (std::filesystem::path(name).extension().empty()) name += ".DB";
    const std::size_t colon = tableName_.find(':');
    if (tableName_.find('/') != std::string::npos)
      tableName_ = std::filesystem::path(path).replace_filename(name).string();
    else if (colon != std::string::npos && path != tableName_)
      tableName_ = tableName_.substr(0, colon + 1) + newName;
    else
      tableName_ = name;
  } else {
    tableName_ = newName;
  }
}

void TTable::DeleteIndex(const std::string& name) {
  if (Active()) {
    browseMode();
    Check(engine::DeleteIndex(cursor_, name));
    return;
  }
  const std::string path = closedPath();
  hDBICur cursor = 0;
  session_->OpenWithPasswords(
      [&] { return OpenTablePath(path, OpenMode::ReadWrite, ShareMode::Exclusive, cursor); });
  Result r = engine::DeleteIndex(cursor, name);
  const std::string message = LastErrorMessage();
  CloseCursor(cursor);
  if (r) throw EDBEngineError(r, message);
}

}  // namespace engine
