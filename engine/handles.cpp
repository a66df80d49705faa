#include "engine/handles.h"

#include "engine/lists.h"
#include "engine/valchecks.h"

namespace engine {

namespace {

struct Registry {
  std::uint32_t nextHandle = 1;
  std::map<hDBIDb, Database> databases;
  std::map<hDBICur, Cursor> cursors;
  std::map<hDBICur, ListCursor> lists;
};

Registry& registry() {
  static Registry r;
  return r;
}

}  // namespace

Database* FindDatabase(hDBIDb h) {
  auto it = registry().databases.find(h);
  return it == registry().databases.end() ? nullptr : &it->second;
}

Cursor* FindCursor(hDBICur h) {
  auto it = registry().cursors.find(h);
  return it == registry().cursors.end() ? nullptr : &it->second;
}

hDBICur AddCursor(Cursor cursor) {
  hDBICur h = registry().nextHandle++;
  registry().cursors.emplace(h, std::move(cursor));
  return h;
}

hDBIDb AddDatabase(Database database) {
  hDBIDb h = registry().nextHandle++;
  registry().databases.emplace(h, std::move(database));
  return h;
}

bool RemoveCursor(hDBICur h) {
  return registry().cursors.erase(h) != 0 || registry().lists.erase(h) != 0;
}

ListCursor* FindList(hDBICur h) {
  auto it = registry().lists.find(h);
  return it == registry().lists.end() ? nullptr : &it->second;
}

bool IsListCursor(hDBICur h) { return FindList(h) != nullptr; }

Result GetListCount(hDBICur h, std::uint32_t& count) {
  ListCursor* l = FindList(h);
  if (!l) return NoHandle("list cursor");
  count = static_cast<std::uint32_t>(l->rows.size());
  return Ok;
}

namespace detail {

hDBICur AddList(std::vector<std::any> rows) {
  hDBICur h = registry().nextHandle++;
  registry().lists.emplace(h, ListCursor{std::move(rows), -1});
  return h;
}

Result MoveList(hDBICur h, std::int64_t offset, const std::any*& row) {
  ListCursor* l = FindList(h);
  if (!l) return NoHandle("list cursor");
  const std::int64_t count = static_cast<std::int64_t>(l->rows.size());
  std::int64_t target = l->position + offset;
  if (target < 0) {
    l->position = -1;
    return ErrBeginOfList;
  }
  if (target >= count) {
    l->position = count;
    return ErrEndOfList;
  }
  l->position = target;
  row = &l->rows[static_cast<std::size_t>(target)];
  return Ok;
}

}  // namespace detail
bool RemoveDatabase(hDBIDb h) { return registry().databases.erase(h) != 0; }

Result NotForDbase(const Cursor& c) {
  return Fail(ErrNotSupported, c.dbf->path() + ": dBASE tables do not have this");
}

Result NoHandle(const char* what) {
  return Fail(ErrInvalidHandle, std::string("Invalid ") + what + " handle.");
}

std::string TablePath(const std::string& directory, const std::string& name) {
  std::string path = name.find('/') == std::string::npos ? directory + "/" + name : name;
  if (BaseName(path).find('.') == std::string::npos) path += ".DB";
  return path;
}

Result AttachParticipants(paradox::ParadoxTable& table) {
  (void)table;
  if (Result r = AttachValidity(table)) return r;
  if (Result r = AttachIndexMaintenance(table)) return r;  // indexes.h
  return Ok;
}

}  // namespace engine
