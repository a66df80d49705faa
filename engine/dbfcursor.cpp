#include "engine/dbfcursor.h"

#include <algorithm>
#include <cstring>

#include "engine/dbase/dbtable.h"
#include "engine/dbase/mdx.h"
#include "engine/io/file.h"

namespace engine::dbf {

namespace {

// The places the cursor goes through: the table's records, or those a
// restricted cursor (a live answer) holds.
std::uint32_t Count(const Cursor& c) {
  return c.restricted ? static_cast<std::uint32_t>(c.order.size()) : c.dbf->recordCount();
}

// The record at place `i` (< Count(c)).
std::uint32_t RecordAt(const Cursor& c, std::int64_t i) {
  return c.restricted ? c.order[static_cast<std::size_t>(i)] : static_cast<std::uint32_t>(i);
}

// Whether the cursor shows the record at place `i` (< Count(c)).
Result Shown(Cursor& c, std::uint32_t i, bool& shown) {
  if (c.showDeleted) {
    shown = true;
    return Ok;
  }
  bool deleted = false;
  if (Result r = c.dbf->isDeleted(RecordAt(c, i), deleted)) return r;
  shown = !deleted;
  return Ok;
}

// The first record from `from` on (in steps of `step`) that the cursor
// shows; -1 or Count(c) when there is none.
Result NextShown(Cursor& c, std::int64_t from, int step, std::int64_t& at) {
  const std::int64_t count = Count(c);
  for (at = from; at >= 0 && at < count; at += step) {
    bool shown = false;
    if (Result r = Shown(c, static_cast<std::uint32_t>(at), shown)) return r;
    if (shown) return Ok;
  }
  at = at < 0 ? -1 : count;
  return Ok;
}

std::string Stem(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::size_t dot = path.find_last_of('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash) ? path.substr(0, dot)
                                                                                  : path;
}

// The production index beside the table, its extension in either case; ""
// when there is none.
std::string MdxPathOf(const std::string& dbf) {
  for (const char* ext : {".MDX", ".mdx", ".Mdx"})
    if (io::FileExists(Stem(dbf) + ext)) return Stem(dbf) + ext;
  return {};
}

}  // namespace

bool IsDbfPath(const std::string& path) {
  const std::string name = BaseName(path);
  return name.size() > 4 && Upper(name.substr(name.size() - 4)) == ".DBF";
}

Result Open(const std::string& path, OpenMode mode, ShareMode share, Cursor& c) {
  dbase::OpenOptions options;
  options.writable = mode == OpenMode::ReadWrite;
  options.exclusive = share == ShareMode::Exclusive;
  if (Result r = dbase::DbaseTable::Open(path, options, c.dbf)) return r;
  c.name = BaseName(path);
  return Ok;
}

Result Create(const std::string& path, bool overwrite, const TableDesc& desc) {
  int level = 4;
  for (const auto& [name, value] : desc.optionalParams)
    if (Upper(name) == "LEVEL") level = std::atoi(value.c_str());
  if (level == 25) level = 7;  // the table-type choice "Visual dBASE"
  if (level != 3 && level != 4 && level != 5 && level != 7)
    return Fail(ErrInvalidParameter, path + ": a dBASE table has level 3, 4, 5 or 7, not " +
                                         std::to_string(level));
  return dbase::DbaseTable::Create(path, desc, level, overwrite);
}

Result Props(Cursor& c, CursorProps& p) {
  p = CursorProps{};
  p.tableName = c.name;
  p.driverType = "DBASE";
  p.fieldCount = static_cast<std::uint16_t>(c.dbf->fields().size());
  p.recordBufferSize = static_cast<std::uint16_t>(c.dbf->recordLength());
  std::vector<IndexDesc> tags;
  if (IndexDescs(c.dbf->path(), tags) == Ok) p.indexCount = static_cast<std::uint16_t>(tags.size());
  ClearLastError();
  p.tableLevel = static_cast<std::uint16_t>(c.dbf->level());
  p.languageDriver = c.dbf->languageDriverName();
  return Ok;
}

Result ReadCurrent(Cursor& c, std::vector<Value>* values) {
  bool shown = false;
  if (c.position >= 0 && c.position < Count(c)) {
    if (Result r = Shown(c, static_cast<std::uint32_t>(c.position), shown)) return r;
  }
  if (!shown) return Fail(ErrNoCurrentRecord, c.dbf->path() + ": no current record");
  if (!values) return Ok;
  return c.dbf->readRecord(RecordAt(c, c.position), *values);
}

Result Move(Cursor& c, std::int64_t delta, std::vector<Value>* values) {
  const int step = delta < 0 ? -1 : 1;
  for (std::int64_t left = delta < 0 ? -delta : delta; left > 0; --left) {
    std::int64_t at = 0;
    if (Result r = NextShown(c, c.position + step, step, at)) return r;
    c.position = at;
    if (at < 0) return ErrBeginOfList;
    if (at >= Count(c)) return ErrEndOfList;
  }
  if (delta == 0) return ReadCurrent(c, values);
  // The cursor stopped on a record it shows.
  if (!values) return Ok;
  return c.dbf->readRecord(RecordAt(c, c.position), *values);
}

Result Field(Cursor& c, std::uint16_t fieldNo, Value& value) {
  if (Result r = ReadCurrent(c, nullptr)) return r;
  if (fieldNo == 0 || fieldNo > c.dbf->fields().size())
    return Fail(ErrInvalidParameter, c.dbf->path() + ": no field number " + std::to_string(fieldNo));
  const std::uint8_t* rec = nullptr;
  if (Result r = c.dbf->record(RecordAt(c, c.position), rec)) return r;
  std::vector<std::uint8_t> copy(rec, rec + c.dbf->recordLength());
  return c.dbf->fieldValue(copy.data(), fieldNo - 1u, value);
}

Result SetToRecordNo(Cursor& c, std::uint32_t recordNo) {
  if (recordNo == 0 || recordNo > Count(c))
    return Fail(ErrEndOfList, c.dbf->path() + ": no record number " + std::to_string(recordNo));
  c.position = recordNo - 1;
  return Ok;
}

// A record of a dBASE table keeps its place until a pack: its number is
// its bookmark.
Result GetBookmark(Cursor& c, Bookmark& bookmark) {
  if (Result r = ReadCurrent(c, nullptr)) return r;
  const std::uint32_t pos = RecordAt(c, c.position);
  bookmark.resize(4);
  std::memcpy(bookmark.data(), &pos, 4);
  return Ok;
}

Result SetToBookmark(Cursor& c, const Bookmark& bookmark) {
  std::uint32_t pos = 0;
  if (bookmark.size() != 4) return Fail(ErrInvalidParameter, "Invalid bookmark.");
  std::memcpy(&pos, bookmark.data(), 4);
  if (c.restricted) {  // the record's place among the cursor's
    const auto at = std::find(c.order.begin(), c.order.end(), pos);
    pos = static_cast<std::uint32_t>(at - c.order.begin());
  }
  bool shown = false;
  if (pos < Count(c)) {
    if (Result r = Shown(c, pos, shown)) return r;
  }
  if (!shown)
    return Fail(ErrNoCurrentRecord, c.dbf->path() + ": the bookmarked record no longer exists");
  c.position = pos;
  return Ok;
}

Result Insert(Cursor& c, const std::vector<Value>& values) {
  std::uint32_t at = 0;
  if (Result r = c.dbf->insert(values, at)) return r;
  if (!c.restricted) {
    c.position = at;
    return Ok;
  }
  // A new record joins a live answer at the cursor's place.
  const std::int64_t place = std::clamp<std::int64_t>(c.position, 0, static_cast<std::int64_t>(c.order.size()));
  c.order.insert(c.order.begin() + place, at);
  c.position = place;
  return Ok;
}

Result InsertStream(Cursor& c, RowSource& rows, std::uint64_t* inserted) {
  return c.dbf->insertRows(rows, inserted);
}

Result Modify(Cursor& c, const std::vector<Value>& values) {
  if (Result r = ReadCurrent(c, nullptr)) return r;
  return c.dbf->update(RecordAt(c, c.position), values);
}

Result Delete(Cursor& c) {
  if (Result r = ReadCurrent(c, nullptr)) return r;
  if (Result r = c.dbf->setDeleted(RecordAt(c, c.position), true)) return r;
  if (c.restricted) {  // it leaves a live answer; the cursor is on the next one
    c.order.erase(c.order.begin() + c.position);
    return Ok;
  }
  if (c.showDeleted) return Ok;
  std::int64_t at = 0;
  if (Result r = NextShown(c, c.position + 1, 1, at)) return r;
  c.position = at;
  return Ok;
}

Result Undelete(Cursor& c) {
  if (c.position < 0 || c.position >= Count(c))
    return Fail(ErrNoCurrentRecord, c.dbf->path() + ": no current record");
  return c.dbf->setDeleted(RecordAt(c, c.position), false);
}

Result IndexDescs(const std::string& path, std::vector<IndexDesc>& out) {
  out.clear();
  const std::string mdx = MdxPathOf(path);
  if (mdx.empty()) return Ok;
  dbase::MdxFile file;
  if (Result r = dbase::ReadMdx(mdx, file)) return r;
  std::unique_ptr<dbase::DbaseTable> table;
  std::vector<std::string> fields;
  if (dbase::DbaseTable::Open(path, {}, table) == Ok)
    for (const auto& f : table->fields()) fields.push_back(Upper(f.name));
  ClearLastError();
  for (std::size_t i = 0; i < file.tags.size(); ++i) {
    const dbase::MdxTag& tag = file.tags[i];
    IndexDesc ix;
    ix.name = BaseName(mdx);
    ix.tagName = tag.name;
    ix.id = static_cast<std::uint16_t>(i + 1);
    ix.keyExpression = tag.keyExpression;
    ix.subsetCondition = tag.forExpression;
    ix.subset = tag.forExpression.empty() ? 0 : 1;
    ix.unique = tag.unique ? 1 : 0;
    ix.descending = tag.descending ? 1 : 0;
    ix.maintained = 1;
    ix.keyExprType = tag.keyType;
    // A key of one field names it; any other expression has no key fields.
    const auto at = std::find(fields.begin(), fields.end(), Upper(tag.keyExpression));
    if (at != fields.end()) {
      ix.fieldsInKey = 1;
      ix.keyFields[0] = static_cast<std::uint16_t>(at - fields.begin() + 1);
    } else {
      ix.expression = 1;
    }
    out.push_back(ix);
  }
  return Ok;
}

}  // namespace engine::dbf
