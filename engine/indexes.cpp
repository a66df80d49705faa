#include "engine/indexes.h"

#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/dbase/dbindex.h"
#include "engine/dbfcursor.h"
#include "engine/handles.h"
#include "engine/io/file.h"
#include "engine/io/lock.h"
#include "engine/lists.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"

namespace engine {

namespace {

using paradox::ParadoxTable;
using paradox::PxHeader;
using paradox::SecondaryIndex;

IndexDesc PrimaryDesc(const PxHeader& hd) {
  IndexDesc ix;
  ix.primary = 1;
  ix.unique = 1;
  ix.maintained = 1;
  ix.fieldsInKey = hd.keyFieldCount();
  for (std::uint16_t i = 0; i < ix.fieldsInKey; ++i) ix.keyFields[i] = i + 1;
  ix.blockSize = static_cast<std::uint16_t>(hd.blockSize());
  return ix;
}

Result Secondaries(ParadoxTable& t, std::vector<SecondaryIndex>& out) {
  return paradox::ReadSecondaryIndexes(t.path(), t.header(), out);
}

// Every index, primary first, as sequence numbers count them.
Result AllIndexes(const PxHeader& hd, const std::vector<SecondaryIndex>& secondaries,
                  std::vector<IndexDesc>& out) {
  out.clear();
  if (hd.isKeyed()) out.push_back(PrimaryDesc(hd));
  for (const SecondaryIndex& ix : secondaries) out.push_back(ix.desc);
  return Ok;
}

// The secondary index called `name` (or with this .X tag, e.g. "XG0").
const SecondaryIndex* FindByName(const std::vector<SecondaryIndex>& indexes,
                                 const std::string& name) {
  for (const SecondaryIndex& ix : indexes)
    if (Upper(ix.desc.name) == Upper(name)) return &ix;
  for (const SecondaryIndex& ix : indexes)
    if (ix.tag == Upper(name)) return &ix;
  return nullptr;
}

Result NoIndex(const ParadoxTable& t, const std::string& name) {
  return Fail(ErrInvalidIndex, t.path() + ": no index named \"" + name + "\"");
}

// Puts the cursor's order into effect again after the records changed;
// with `row` >= 0, on the record at that table position.
Result Reorder(Cursor& c, std::int64_t row) {
  if (c.restricted) {  // kept by FollowRestricted
    if (row >= 0) SetCursorRow(c, static_cast<std::uint32_t>(row));
    return Ok;
  }
  if (c.indexName.empty()) {
    c.order.clear();
    if (row >= 0) c.position = row;
    return Ok;
  }
  std::vector<SecondaryIndex> indexes;
  if (Result r = Secondaries(*c.table, indexes)) return r;
  const SecondaryIndex* ix = FindByName(indexes, c.indexName);
  if (!ix) {  // removed meanwhile: back to the table's order
    c.indexName.clear();
    return Reorder(c, row);
  }
  if (Result r = paradox::IndexOrder(*c.table, *ix, c.order)) return r;
  if (row >= 0) {
    auto it = std::find(c.order.begin(), c.order.end(), static_cast<std::uint32_t>(row));
    c.position = it - c.order.begin();
  }
  return Ok;
}

// Swaps in staged files; on failure the staged files are removed.
Result Apply(const std::string& tablePath, const std::vector<io::Replacement>& plan) {
  Result r = io::ReplaceFiles(plan, paradox::FamilyPath(tablePath, ".QRP"));
  if (r)
    for (const auto& p : plan)
      if (!p.staged.empty()) ::unlink(p.staged.c_str());
  return r;
}

Result AddTo(ParadoxTable& t, const IndexDesc& desc) {
  std::vector<SecondaryIndex> existing;
  if (Result r = Secondaries(t, existing)) return r;
  SecondaryIndex ix;
  if (Result r = paradox::PlanSecondaryIndex(t.path(), t.header(), existing, desc, ix)) return r;
  std::unique_ptr<paradox::RecordSource> records = paradox::RecordsOnDisk(t.path(), t.header());
  std::vector<io::Replacement> plan;
  Result r = paradox::StageSecondaryIndex(t.path(), t.header(), ix, *records, plan);
  if (r) {
    for (const auto& p : plan)
      if (!p.staged.empty()) ::unlink(p.staged.c_str());
    return r;
  }
  return Apply(t.path(), plan);
}

Result DeleteFrom(ParadoxTable& t, const std::string& name) {
  std::vector<SecondaryIndex> indexes;
  if (Result r = Secondaries(t, indexes)) return r;
  const SecondaryIndex* ix = FindByName(indexes, name);
  if (!ix) {
    if (name.empty() && t.header().isKeyed())
      return Fail(ErrNotSupported, t.path() + ": the primary index is removed by restructuring");
    return NoIndex(t, name);
  }
  std::vector<io::Replacement> plan;
  for (const std::string& path : {ix->xPath, ix->yPath})
    if (io::FileExists(path)) plan.push_back({"", path});
  std::vector<SecondaryIndex> rest;
  for (const SecondaryIndex& other : indexes)
    if (&other != ix) rest.push_back(other);
  if (Result r = paradox::StageIndexFlags(t.path(), rest, plan)) return r;
  return Apply(t.path(), plan);
}

// Opens a table of the database by itself for a change of its indexes.
Result OpenExclusive(hDBIDb db, const std::string& tableName,
                     std::unique_ptr<ParadoxTable>& table) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  paradox::OpenOptions options;
  options.exclusive = true;
  options.passwords = SessionPasswords();
  return ParadoxTable::Open(TablePath(directory, tableName), options, table);
}

}  // namespace

Result IndexDescOf(Cursor& c, std::uint16_t seqNo, IndexDesc& out) {
  if (c.dbf) {
    std::vector<IndexDesc> tags;
    if (Result r = dbf::IndexDescs(c.dbf->path(), tags)) return r;
    if (seqNo == 0) return Fail(ErrInvalidIndex, c.dbf->path() + ": the cursor follows no index");
    if (seqNo > tags.size())
      return Fail(ErrInvalidIndex, c.dbf->path() + ": no index number " + std::to_string(seqNo));
    out = tags[seqNo - 1];
    return Ok;
  }
  std::vector<SecondaryIndex> secondaries;
  if (Result r = Secondaries(*c.table, secondaries)) return r;
  const PxHeader& hd = c.table->header();
  if (seqNo == 0) {
    if (c.indexName.empty()) {
      if (!hd.isKeyed())
        return Fail(ErrInvalidIndex, c.table->path() + ": the cursor follows no index");
      out = PrimaryDesc(hd);
      return Ok;
    }
    const SecondaryIndex* ix = FindByName(secondaries, c.indexName);
    if (!ix) return NoIndex(*c.table, c.indexName);
    out = ix->desc;
    return Ok;
  }
  std::vector<IndexDesc> all;
  AllIndexes(hd, secondaries, all);
  if (seqNo > all.size())
    return Fail(ErrInvalidIndex, c.table->path() + ": no index number " + std::to_string(seqNo));
  out = all[seqNo - 1];
  return Ok;
}

std::uint16_t SecondaryIndexCount(Cursor& c) {
  std::vector<SecondaryIndex> secondaries;
  if (Secondaries(*c.table, secondaries) != Ok) return 0;
  return static_cast<std::uint16_t>(secondaries.size());
}

Result AttachIndexMaintenance(ParadoxTable& table) {
  return paradox::AttachSecondaryIndexes(table);
}

Result FollowChange(Cursor& c, std::int64_t row) { return Reorder(c, row); }

void SetCursorRow(Cursor& c, std::uint32_t row) {
  if (c.order.empty() && !c.restricted) {
    c.position = row;
    return;
  }
  c.position = std::find(c.order.begin(), c.order.end(), row) - c.order.begin();
}

Result RestrictCursor(hDBICur h, std::vector<std::uint32_t> rows) {
  CURSOR_OR_FAIL(c, h);
  const std::uint32_t count = c->dbf ? c->dbf->recordCount() : c->table->recordCount();
  for (std::uint32_t row : rows)
    if (row >= count)
      return Fail(ErrInvalidParameter, (c->dbf ? c->dbf->path() : c->table->path()) +
                                           ": no record at position " + std::to_string(row));
  c->indexName.clear();
  c->order = std::move(rows);
  c->restricted = true;
  c->position = -1;
  return Ok;
}

std::int64_t CursorRecords(const Cursor& c) {
  if (c.dbf && !c.restricted) return c.dbf->recordCount();
  return c.restricted ? static_cast<std::int64_t>(c.order.size()) : c.table->recordCount();
}

void FollowRestricted(Cursor& c, std::int64_t from, std::int64_t to) {
  const bool onRecord = c.position >= 0 && c.position < static_cast<std::int64_t>(c.order.size());
  const std::size_t self = from >= 0 && onRecord ? static_cast<std::size_t>(c.position) : c.order.size();
  for (std::size_t i = 0; i < c.order.size(); ++i) {
    if (i == self) continue;
    std::int64_t p = c.order[i];
    if (from >= 0 && p > from) --p;  // the record left its place,
    if (to >= 0 && p >= to) ++p;     // and took another
    c.order[i] = static_cast<std::uint32_t>(p);
  }
  if (self < c.order.size()) {
    if (to >= 0) c.order[self] = static_cast<std::uint32_t>(to);
    else c.order.erase(c.order.begin() + static_cast<std::ptrdiff_t>(self));
    return;
  }
  if (to < 0) return;
  // A new record joins at the cursor's place.
  const std::int64_t at = std::clamp<std::int64_t>(c.position, 0, static_cast<std::int64_t>(c.order.size()));
  c.order.insert(c.order.begin() + at, static_cast<std::uint32_t>(to));
  c.position = at;
}

Result GetIndexDescs(hDBICur h, std::vector<IndexDesc>& out) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return dbf::IndexDescs(c->dbf->path(), out);
  std::vector<SecondaryIndex> secondaries;
  if (Result r = Secondaries(*c->table, secondaries)) return r;
  return AllIndexes(c->table->header(), secondaries, out);
}

Result GetIndexSeqNo(hDBICur h, const std::string& indexName, const std::string& tagName,
                     std::uint16_t indexId, std::uint16_t& seqNo) {
  std::vector<IndexDesc> all;
  if (Result r = GetIndexDescs(h, all)) return r;
  const bool dbase = FindCursor(h)->dbf != nullptr;
  for (std::size_t i = 0; i < all.size(); ++i) {
    // dBASE: a tag of the index file; Paradox: an index by name, or by id.
    bool match = dbase ? Upper(all[i].tagName) == Upper(tagName) &&
                             (indexName.empty() || Upper(all[i].name) == Upper(indexName))
                 : indexName.empty() ? all[i].id == indexId
                                     : Upper(all[i].name) == Upper(indexName);
    // The primary index has no name: an empty name with id 0 finds it.
    if (match) {
      seqNo = static_cast<std::uint16_t>(i + 1);
      return Ok;
    }
  }
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) return Fail(ErrInvalidIndex, c->dbf->path() + ": no index tag named \"" + tagName + "\"");
  return indexName.empty()
             ? Fail(ErrInvalidIndex, c->table->path() + ": no index with id " + std::to_string(indexId))
             : NoIndex(*c->table, indexName);
}

Result OpenIndexList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                     hDBICur& list) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  const std::string path = TablePath(directory, tableName);
  if (!io::FileExists(path)) return Fail(ErrNotFound, path + ": the table does not exist");
  if (Upper(driverType) == "DBASE" || (driverType.empty() && dbf::IsDbfPath(path))) {
    std::vector<IndexDesc> tags;
    if (Result r = dbf::IndexDescs(path, tags)) return r;
    list = OpenList(tags);
    return Ok;
  }
  if (!driverType.empty() && Upper(driverType) != "PARADOX")
    return Fail(ErrNotSupported, "Driver " + driverType + " is not supported.");
  // The definitions are in the headers: no lock or password is needed.
  PxHeader hd;
  if (Result r = paradox::ReadFileHeader(path, hd)) return r;
  if (hd.fileType() != paradox::ftKeyedDb && hd.fileType() != paradox::ftUnkeyedDb)
    return Fail(ErrCorruptHeader, path + ": not a table file");
  std::vector<SecondaryIndex> secondaries;
  if (Result r = paradox::ReadSecondaryIndexes(path, hd, secondaries)) return r;
  std::vector<IndexDesc> all;
  AllIndexes(hd, secondaries, all);
  list = OpenList(all);
  return Ok;
}

Result SwitchToIndex(hDBICur h, const std::string& indexName) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf && indexName.empty()) return Ok;  // file order is the only one so far
  if (c->dbf) return NotForDbase(*c);
  if (c->restricted)
    return Fail(ErrNotSupported, c->table->path() + ": a live answer keeps the order of its query");
  const std::int64_t count = c->table->recordCount();
  const std::int64_t row = c->position >= 0 && c->position < count ? c->row() : -1;
  std::string name;
  if (!indexName.empty()) {
    std::vector<SecondaryIndex> secondaries;
    if (Result r = Secondaries(*c->table, secondaries)) return r;
    const SecondaryIndex* ix = FindByName(secondaries, indexName);
    if (!ix) return NoIndex(*c->table, indexName);
    name = ix->desc.name;
  }
  const std::string previous = c->indexName;
  c->indexName = name;
  if (Result r = Reorder(*c, row)) {
    c->indexName = previous;
    Reorder(*c, row);
    return r;
  }
  if (row < 0) c->position = -1;
  return Ok;
}

Result AddIndex(hDBICur h, const IndexDesc& index) {
  PARADOX_CURSOR_OR_FAIL(c, h);
  if (!c->table->writable())
    return Fail(ErrReadOnly, c->table->path() + ": the table is open read-only");
  return AddTo(*c->table, index);
}

Result AddIndex(hDBIDb db, const std::string& tableName, const IndexDesc& index) {
  // A dBASE table's new index is a tag of its production index.
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  const std::string path = TablePath(directory, tableName);
  if (dbf::IsDbfPath(path)) return dbase::AddIndexTag(path, index);
  std::unique_ptr<ParadoxTable> table;
  if (Result r = OpenExclusive(db, tableName, table)) return r;
  return AddTo(*table, index);
}

Result DeleteIndex(hDBICur h, const std::string& indexName) {
  PARADOX_CURSOR_OR_FAIL(c, h);
  if (!c->table->writable())
    return Fail(ErrReadOnly, c->table->path() + ": the table is open read-only");
  if (Result r = DeleteFrom(*c->table, indexName)) return r;
  const std::int64_t count = CursorRecords(*c);
  const std::int64_t row = c->position >= 0 && c->position < count ? c->row() : -1;
  return Reorder(*c, row);
}

Result DeleteIndex(hDBIDb db, const std::string& tableName, const std::string& indexName) {
  // A dBASE table's tags live in its production index: one is dropped by
  // its tag name, the whole index by its file name (T.MDX).
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  const std::string path = TablePath(directory, tableName);
  if (dbf::IsDbfPath(path)) return dbase::DropIndexTag(path, indexName);
  std::unique_ptr<ParadoxTable> table;
  if (Result r = OpenExclusive(db, tableName, table)) return r;
  return DeleteFrom(*table, indexName);
}

}  // namespace engine
