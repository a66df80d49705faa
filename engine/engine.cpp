#include "engine/engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "engine/config/config.h"
#include "engine/dbfcursor.h"
#include "engine/handles.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxtable.h"

namespace engine {

namespace {

std::vector<std::string>& passwords() {
  static std::vector<std::string> list;
  return list;
}

Result ReadCurrent(Cursor& c, std::vector<Value>* values) {
  if (c.position < 0 || c.position >= CursorRecords(c))
    return Fail(ErrNoCurrentRecord, c.table->path() + ": no current record");
  if (!values) return Ok;
  return c.table->readRecord(c.row(), *values);
}

Result MoveBy(Cursor& c, std::int64_t delta, std::vector<Value>* values) {
  const std::int64_t count = CursorRecords(c);
  std::int64_t target = c.position + delta;
  if (target < 0) {
    c.position = -1;
    return ErrBeginOfList;
  }
  if (target >= count) {
    c.position = count;
    return ErrEndOfList;
  }
  c.position = target;
  return ReadCurrent(c, values);
}

// Rows inserted together do not say where each went: a live answer takes
// them one at a time.
Result OneAtATime(const Cursor& c) {
  if (!c.restricted) return Ok;
  return Fail(ErrNotSupported, (c.dbf ? c.dbf->path() : c.table->path()) +
                                   ": a live answer takes new records one at a time");
}

}  // namespace

void AddPassword(const std::string& password) {
  auto& pw = passwords();
  if (std::find(pw.begin(), pw.end(), password) == pw.end()) pw.push_back(password);
}

void RemovePassword(const std::string& password) {
  auto& pw = passwords();
  pw.erase(std::remove(pw.begin(), pw.end(), password), pw.end());
}

void RemoveAllPasswords() { passwords().clear(); }

const std::vector<std::string>& SessionPasswords() { return passwords(); }

Result OpenDatabase(const std::string& name, hDBIDb& db) {
  std::string databaseName, directory;  // an alias gives its PATH
  if (Result r = ResolveDatabaseName(name, databaseName, directory)) return r;
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return Fail(ErrNotFound, directory + ": directory does not exist");
  db = AddDatabase({databaseName, directory});
  return Ok;
}

Result CloseDatabase(hDBIDb& db) {
  if (!RemoveDatabase(db)) return NoHandle("database");
  db = 0;
  return Ok;
}

Result GetDatabaseDirectory(hDBIDb db, std::string& directory) {
  Database* d = FindDatabase(db);
  if (!d) return NoHandle("database");
  directory = d->directory;
  return Ok;
}

Result OpenTablePath(const std::string& path, OpenMode mode, hDBICur& cursor) {
  return OpenTablePath(path, mode, ShareMode::Shared, cursor);
}

Result OpenTablePath(const std::string& path, OpenMode mode, ShareMode share, hDBICur& cursor) {
  if (dbf::IsDbfPath(path)) {
    Cursor c;
    if (Result r = dbf::Open(path, mode, share, c)) return r;
    cursor = AddCursor(std::move(c));
    return Ok;
  }
  paradox::OpenOptions options;
  options.writable = mode == OpenMode::ReadWrite;
  options.exclusive = share == ShareMode::Exclusive;
  options.passwords = passwords();
  std::unique_ptr<paradox::ParadoxTable> table = paradox::TakeParkedTable(path, options);
  if (!table) {
    if (Result r = paradox::ParadoxTable::Open(path, options, table)) return r;
    if (Result r = AttachParticipants(*table)) return r;
  }
  Cursor c;
  c.table = std::move(table);
  c.name = BaseName(path);
  cursor = AddCursor(std::move(c));
  return Ok;
}

Result OpenTable(hDBIDb db, const std::string& name, const std::string& driverType,
                 OpenMode mode, hDBICur& cursor) {
  return OpenTable(db, name, driverType, mode, ShareMode::Shared, cursor);
}

Result OpenTable(hDBIDb db, const std::string& name, const std::string& driverType,
                 OpenMode mode, ShareMode share, hDBICur& cursor) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  if (!driverType.empty() && Upper(driverType) != "PARADOX" && Upper(driverType) != "DBASE")
    return Fail(ErrNotSupported, "Driver " + driverType + " is not supported.");
  return OpenTablePath(TablePath(directory, name), mode, share, cursor);
}

Result CloseCursor(hDBICur& cursor) {
  if (Cursor* c = FindCursor(cursor)) paradox::ParkTable(std::move(c->table));
  if (!RemoveCursor(cursor)) return NoHandle("cursor");
  cursor = 0;
  return Ok;
}

Result CreateTable(hDBIDb db, bool overwrite, const TableDesc& desc) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  TableDesc d = desc;
  d.tableName = TablePath(directory, desc.tableName);
  if (Upper(desc.driverType) == "DBASE" || (desc.driverType.empty() && dbf::IsDbfPath(d.tableName)))
    return dbf::Create(d.tableName, overwrite, d);
  paradox::CreateDefaults defaults;
  if (Result r = GetCreateDefaults(defaults)) return r;
  return paradox::CreateParadoxTable(d, overwrite, defaults);
}

Result GetCursorProps(hDBICur h, CursorProps& p) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::Props(*c, p);
  const paradox::PxHeader& hd = c->table->header();
  p = CursorProps{};
  p.tableName = c->name;
  p.driverType = "PARADOX";
  p.fieldCount = hd.fieldCount();
  p.recordBufferSize = hd.recordSize();
  p.indexCount = static_cast<std::uint16_t>((hd.isKeyed() ? 1 : 0) + SecondaryIndexCount(*c));
  p.restructureVersion = hd.raw[0x2E];
  p.auxPasswordCount = hd.auxPasswordCount();
  p.isProtected = c->table->isProtected() ? 1 : 0;
  p.tableLevel = static_cast<std::uint16_t>(hd.level());
  p.languageDriver = c->table->driver() ? c->table->driver()->name : hd.sortOrderId;
  p.blockSize = static_cast<std::uint16_t>(hd.blockSize() / 1024);
  AddValidityCounts(h, p);
  return Ok;
}

Result GetFieldDescs(hDBICur h, std::vector<FieldDesc>& out) {
  CURSOR_OR_FAIL(c, h);
  out = c->dbf ? c->dbf->fieldDescs() : FieldDescsOf(*c->table);
  return Ok;
}

std::vector<FieldDesc> FieldDescsOf(const paradox::ParadoxTable& table) {
  std::vector<FieldDesc> out;
  const auto& fields = table.fields();
  for (std::size_t i = 0; i < fields.size(); ++i)
    out.push_back(paradox::FieldDescOf(fields[i], table.codec(), static_cast<std::uint16_t>(i + 1)));
  return out;
}

Result GetIndexDesc(hDBICur h, std::uint16_t seqNo, IndexDesc& ix) {
  CURSOR_OR_FAIL(c, h);
  return IndexDescOf(*c, seqNo, ix);  // indexes.h: primary first, then secondaries
}

Result GetRecordCount(hDBICur h, std::uint32_t& count) {
  CURSOR_OR_FAIL(c, h);
  count = static_cast<std::uint32_t>(CursorRecords(*c));
  return Ok;
}

Result SetToBegin(hDBICur h) {
  if (ListCursor* l = FindList(h)) {
    l->position = -1;
    return Ok;
  }
  CURSOR_OR_FAIL(c, h);
  c->position = -1;
  return Ok;
}

Result SetToEnd(hDBICur h) {
  CURSOR_OR_FAIL(c, h);
  c->position = CursorRecords(*c);
  return Ok;
}

Result GetNextRecord(hDBICur h, std::vector<Value>* values) {
  CURSOR_OR_FAIL(c, h);
  return c->dbf ? dbf::Move(*c, 1, values) : MoveBy(*c, 1, values);
}

Result GetPriorRecord(hDBICur h, std::vector<Value>* values) {
  CURSOR_OR_FAIL(c, h);
  return c->dbf ? dbf::Move(*c, -1, values) : MoveBy(*c, -1, values);
}

Result GetRelativeRecord(hDBICur h, std::int32_t offset, std::vector<Value>* values) {
  CURSOR_OR_FAIL(c, h);
  return c->dbf ? dbf::Move(*c, offset, values) : MoveBy(*c, offset, values);
}

Result SetToRecordNo(hDBICur h, std::uint32_t recordNo) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::SetToRecordNo(*c, recordNo);
  if (recordNo == 0 || recordNo > CursorRecords(*c))
    return Fail(ErrEndOfList, c->table->path() + ": no record number " + std::to_string(recordNo));
  c->position = recordNo - 1;
  return Ok;
}

Result GetRecordNo(hDBICur h, std::uint32_t& recordNo) {
  CURSOR_OR_FAIL(c, h);
  if (Result r = c->dbf ? dbf::ReadCurrent(*c, nullptr) : ReadCurrent(*c, nullptr)) return r;
  recordNo = static_cast<std::uint32_t>(c->position + 1);
  return Ok;
}

Result GetRecord(hDBICur h, std::vector<Value>& values) {
  CURSOR_OR_FAIL(c, h);
  return c->dbf ? dbf::ReadCurrent(*c, &values) : ReadCurrent(*c, &values);
}

Result GetField(hDBICur h, std::uint16_t fieldNo, Value& value) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::Field(*c, fieldNo, value);
  if (Result r = ReadCurrent(*c, nullptr)) return r;
  if (fieldNo == 0 || fieldNo > c->table->fields().size())
    return Fail(ErrInvalidParameter, c->table->path() + ": no field number " + std::to_string(fieldNo));
  if (!c->table->rights().canRead(fieldNo - 1))
    return Fail(ErrNoRights, c->table->path() + ": field " +
                                 c->table->codec().toUtf8(c->table->fields()[fieldNo - 1].name) +
                                 " cannot be read with this password");
  const std::uint8_t* rec;
  if (Result r = c->table->record(c->row(), rec)) return r;
  std::vector<std::uint8_t> copy(rec, rec + c->table->header().recordSize());
  return c->table->fieldValue(copy.data(), fieldNo - 1, value);
}

// A bookmark holds the record's position and its stored bytes; when the
// record has moved, it is found again by its bytes.
Result GetBookmark(hDBICur h, Bookmark& bookmark) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::GetBookmark(*c, bookmark);
  if (Result r = ReadCurrent(*c, nullptr)) return r;
  const std::uint8_t* rec;
  if (Result r = c->table->record(c->row(), rec)) return r;
  std::uint32_t pos = c->row();
  bookmark.assign(reinterpret_cast<std::uint8_t*>(&pos), reinterpret_cast<std::uint8_t*>(&pos) + 4);
  bookmark.insert(bookmark.end(), rec, rec + c->table->header().recordSize());
  return Ok;
}

Result SetToBookmark(hDBICur h, const Bookmark& bookmark) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::SetToBookmark(*c, bookmark);
  const std::size_t rs = c->table->header().recordSize();
  if (bookmark.size() != 4 + rs) return Fail(ErrInvalidParameter, "Invalid bookmark.");
  std::uint32_t pos;
  std::memcpy(&pos, bookmark.data(), 4);
  auto matches = [&](std::uint32_t i) {
    const std::uint8_t* rec;
    return c->table->record(i, rec) == Ok && std::memcmp(rec, bookmark.data() + 4, rs) == 0;
  };
  const std::uint32_t count = c->table->recordCount();
  if (pos < count && matches(pos)) {
    SetCursorRow(*c, pos);
    return Ok;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    if (matches(i)) {
      SetCursorRow(*c, i);
      return Ok;
    }
  }
  return Fail(ErrNoCurrentRecord, c->table->path() + ": the bookmarked record no longer exists");
}

Result InsertRecord(hDBICur h, const std::vector<Value>& values) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::Insert(*c, values);
  std::uint32_t at = 0;
  if (Result r = c->table->insert(values, &at)) return r;
  if (c->restricted) {
    FollowRestricted(*c, -1, at);
    return Ok;
  }
  return FollowChange(*c, at);
}


Result InsertRecords(hDBICur h, const std::vector<std::vector<Value>>& rows) {
  CURSOR_OR_FAIL(c, h);
  if (Result r = OneAtATime(*c)) return r;
  if (c->dbf) {
    VectorRows source(rows);
    return dbf::InsertStream(*c, source, nullptr);
  }
  if (Result r = c->table->insertMany(rows)) return r;
  return FollowChange(*c, -1);
}

Result InsertRecordStream(hDBICur h, RowSource& rows, std::uint64_t* inserted) {
  CURSOR_OR_FAIL(c, h);
  if (Result r = OneAtATime(*c)) return r;
  if (c->dbf) return dbf::InsertStream(*c, rows, inserted);
  if (Result r = c->table->insertRows(rows, inserted)) return r;
  return FollowChange(*c, -1);
}

Result ModifyRecord(hDBICur h, const std::vector<Value>& values) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::Modify(*c, values);
  if (Result r = ReadCurrent(*c, nullptr)) return r;
  const std::uint32_t from = c->row();
  std::uint32_t at = 0;
  if (Result r = c->table->update(from, values, &at)) return r;
  if (c->restricted) {
    FollowRestricted(*c, from, at);
    return Ok;
  }
  return FollowChange(*c, at);
}

Result DeleteRecord(hDBICur h) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::Delete(*c);
  if (Result r = ReadCurrent(*c, nullptr)) return r;
  const std::uint32_t from = c->row();
  if (Result r = c->table->remove(from)) return r;
  if (c->restricted) {
    FollowRestricted(*c, from, -1);
    return Ok;
  }
  return FollowChange(*c, -1);
}

Result BeginChange(hDBICur h) {
  CURSOR_OR_FAIL(c, h);
  return c->dbf ? c->dbf->beginChange() : c->table->beginChange();
}

Result EndChange(hDBICur h, bool commit) {
  CURSOR_OR_FAIL(c, h);
  Result r = c->dbf ? c->dbf->endChange(commit) : c->table->endChange(commit);
  // The cursor's place may have moved with the change, or back with its undoing.
  const std::int64_t count = CursorRecords(*c);
  if (c->position > count) c->position = count;
  return r;
}

Result UndeleteRecord(hDBICur h) {
  CURSOR_OR_FAIL(c, h);
  if (!c->dbf) return Fail(ErrNotSupported, c->table->path() + ": only dBASE records are recalled");
  return dbf::Undelete(*c);
}

Result IsRecordDeleted(hDBICur h, bool& deleted) {
  CURSOR_OR_FAIL(c, h);
  deleted = false;
  if (!c->dbf) return ReadCurrent(*c, nullptr);
  if (Result r = dbf::ReadCurrent(*c, nullptr)) return r;
  return c->dbf->isDeleted(c->row(), deleted);
}

Result ValidateProp(hDBICur h, std::uint32_t property, std::int64_t value) {
  CURSOR_OR_FAIL(c, h);
  switch (property) {
    case kPropTranslateMode:
      return value == 0 ? Ok : Fail(ErrNotSupported, "Only physical field types are offered.");
    case kPropShowDeleted:
      return c->dbf ? Ok : Fail(ErrNotSupported, c->table->path() + ": only dBASE tables keep deleted records");
    default:
      return Fail(ErrNotSupported, "Unknown cursor property " + std::to_string(property) + ".");
  }
}

Result SetProp(hDBICur h, std::uint32_t property, std::int64_t value) {
  if (Result r = ValidateProp(h, property, value)) return r;
  Cursor* c = FindCursor(h);
  if (property == kPropShowDeleted) c->showDeleted = value != 0;
  return Ok;
}

Result GetProp(hDBICur h, std::uint32_t property, std::int64_t& value) {
  if (Result r = ValidateProp(h, property, 0)) return r;
  value = property == kPropShowDeleted && FindCursor(h)->showDeleted ? 1 : 0;
  return Ok;
}

}  // namespace engine
