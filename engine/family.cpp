#include "engine/family.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <ctime>

#include "engine/dbase/dbconvert.h"
#include "engine/dbase/dbfamily.h"
#include "engine/dbase/dbindex.h"
#include "engine/dbfcursor.h"
#include "engine/handles.h"
#include "engine/io/file.h"
#include "engine/lists.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxrestructure.h"
#include "engine/paradox/pxsecurity.h"
#include "engine/paradox/pxtable.h"

namespace engine {

namespace {

// Matches a name against a wildcard of '*' and '?', ignoring letter case.
bool Matches(const std::string& pattern, const std::string& name) {
  std::size_t p = 0, n = 0, star = std::string::npos, resume = 0;
  auto same = [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  };
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

void SplitName(const std::string& file, std::string& name, std::string& extension) {
  std::size_t dot = file.find_last_of('.');
  name = dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
  extension = dot == std::string::npos || dot == 0 ? "" : file.substr(dot + 1);
}

// The engine date and time of a moment, in local time.
void DateAndTime(std::time_t when, std::int32_t& date, std::int32_t& time) {
  std::tm local{};
  localtime_r(&when, &local);
  date = DayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  time = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000;
}

// The regular files of a directory that match a wildcard, sorted by name.
Result MatchingFiles(hDBIDb db, const std::string& wildcard, std::string& directory,
                     std::vector<std::pair<std::string, struct stat>>& out) {
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  DIR* d = ::opendir(directory.c_str());
  if (!d) return io::OsFailure(directory, "cannot list the directory");
  while (dirent* e = ::readdir(d)) {
    const std::string file = e->d_name;
    if (!wildcard.empty() && !Matches(wildcard, file)) continue;
    struct stat st {};
    if (::stat((directory + "/" + file).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out.emplace_back(file, st);
  }
  ::closedir(d);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return Ok;
}

// The path of a table of the database. A dBASE table's name without
// extension gets ".DBF" when the driver is named; a named driver and an
// extension that disagree are refused.
Result TableOfDatabase(hDBIDb db, const std::string& name, const std::string& driverType,
                       std::string& path) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  const std::string driver = Upper(driverType);
  if (!driver.empty() && driver != "PARADOX" && driver != "DBASE")
    return Fail(ErrNotSupported, "Driver " + driverType + " is not supported.");
  std::string file = name;
  if (driver == "DBASE" && BaseName(file).find('.') == std::string::npos) file += ".DBF";
  path = TablePath(directory, file);
  const bool dbase = dbf::IsDbfPath(path);
  if ((driver == "DBASE" && !dbase) || (driver == "PARADOX" && dbase))
    return Fail(ErrInvalidParameter, name + ": the name is that of a " +
                                         (dbase ? "dBASE" : "Paradox") + " table, not of a " +
                                         driverType + " one");
  return Ok;
}

void FillExtended(const std::string& path, TableListDesc& t) {
  std::string head;
  io::File f;
  std::uint64_t size = 0;
  if (f.open(path, io::File::Mode::Read) || f.size(size)) {
    ClearLastError();
    return;
  }
  head.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, 0x800)));
  if (f.read(0, head.data(), head.size())) {
    ClearLastError();
    return;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(head.data());
  if (t.driverType == "DBASE") {
    if (head.size() < 12) return;
    auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8)); };
    t.recordCount = u16(4) | (static_cast<std::uint32_t>(u16(6)) << 16);
    t.recordSize = u16(10);
    const bool level7 = (bytes[0] & 7) == 4;
    const std::size_t start = level7 ? 68 : 32, width = level7 ? 48 : 32;
    const std::size_t headerLength = u16(8);
    if (headerLength > start) t.fieldCount = static_cast<std::uint16_t>((headerLength - start) / width);
    return;
  }
  paradox::PxHeader h;
  if (paradox::ReadFileHeader(path, h)) {
    ClearLastError();
    return;
  }
  t.level = static_cast<std::uint16_t>(h.level());
  t.fieldCount = h.fieldCount();
  t.recordSize = h.recordSize();
  t.recordCount = h.recordCount();
  t.isProtected = h.encryption() ? 1 : 0;
  t.auxPasswordCount = h.auxPasswordCount();
}

}  // namespace

Result GetFieldRights(hDBICur h, std::vector<std::int32_t>& rights) {
  CURSOR_OR_FAIL(c, h);
  if (c->dbf) {  // no passwords: every field may be changed
    rights.assign(c->dbf->fields().size(), paradox::kRightsAll);
    return Ok;
  }
  const paradox::AccessRights& access = c->table->rights();
  rights.clear();
  for (std::size_t i = 0; i < c->table->fields().size(); ++i)
    rights.push_back(access.canChange(i) ? paradox::kRightsAll
                     : access.canRead(i) ? paradox::kRightsReadOnly
                                         : paradox::kRightsNone);
  return Ok;
}

Result OpenFileList(hDBIDb db, const std::string& wildcard, hDBICur& cursor) {
  std::string directory;
  std::vector<std::pair<std::string, struct stat>> files;
  if (Result r = MatchingFiles(db, wildcard, directory, files)) return r;
  std::vector<FileDesc> rows;
  for (const auto& [file, st] : files) {
    FileDesc d;
    SplitName(file, d.name, d.extension);
    d.size = static_cast<std::uint64_t>(st.st_size);
    DateAndTime(st.st_mtime, d.date, d.time);
    rows.push_back(std::move(d));
  }
  cursor = OpenList(rows);
  return Ok;
}

Result OpenTableList(hDBIDb db, bool extended, bool system, const std::string& wildcard,
                     hDBICur& cursor) {
  std::string directory;
  std::vector<std::pair<std::string, struct stat>> files;
  if (Result r = MatchingFiles(db, wildcard, directory, files)) return r;
  std::vector<TableListDesc> rows;
  for (const auto& [file, st] : files) {
    TableListDesc t;
    SplitName(file, t.name, t.extension);
    const std::string ext = Upper(t.extension);
    if (ext != "DB" && ext != "DBF") continue;
    if (!system && !t.name.empty() && t.name[0] == '$') continue;
    t.driverType = ext == "DB" ? "PARADOX" : "DBASE";
    t.size = static_cast<std::uint64_t>(st.st_size);
    DateAndTime(st.st_mtime, t.date, t.time);
    if (extended) FillExtended(directory + "/" + file, t);
    rows.push_back(std::move(t));
  }
  cursor = OpenList(rows);
  return Ok;
}

Result OpenFieldList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                     bool physicalTypes, hDBICur& cursor) {
  if (!physicalTypes)
    return Fail(ErrNotSupported, tableName + ": field lists give physical field types only");
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, driverType, path)) return r;
  hDBICur table = 0;
  if (Result r = OpenTablePath(path, OpenMode::ReadOnly, table)) return r;
  std::vector<FieldDesc> fields;
  Result r = GetFieldDescs(table, fields);
  CloseCursor(table);
  if (r) return r;
  cursor = OpenList(fields);
  return Ok;
}

Result OpenFamilyList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                      hDBICur& cursor) {
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, driverType, path)) return r;
  std::vector<FamilyDesc> rows;
  if (dbf::IsDbfPath(path)) {
    if (Result r = dbase::ListDbaseFamily(path, rows)) return r;
    cursor = OpenList(rows);
    return Ok;
  }
  std::vector<paradox::FamilyMember> members;
  if (Result r = paradox::ListFamily(path, members)) return r;
  for (const paradox::FamilyMember& m : members)
    rows.push_back({m.fileName, m.id, m.kind, m.path});
  cursor = OpenList(rows);
  return Ok;
}

Result OpenSecurityList(hDBIDb db, const std::string& tableName, const std::string& driverType,
                        hDBICur& cursor) {
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, driverType, path)) return r;
  if (dbf::IsDbfPath(path)) {
    // A dBASE table has no passwords; it must exist all the same.
    std::string found;
    if (Result r = dbase::FindDbaseTable(path, found)) return r;
    cursor = OpenList(std::vector<SecurityDesc>{});
    return Ok;
  }
  paradox::OpenOptions options;
  options.passwords = SessionPasswords();
  std::unique_ptr<paradox::ParadoxTable> table;
  if (Result r = paradox::ParadoxTable::Open(path, options, table)) return r;
  if (!table->rights().master)
    return Fail(ErrNoRights, table->path() + ": only the master password lists the auxiliary passwords");
  std::vector<paradox::AuxPassword> aux;
  if (table->isProtected())
    if (Result r = paradox::ReadAuxPasswords(table->path(), table->header(), aux)) return r;
  std::vector<SecurityDesc> rows;
  for (std::size_t i = 0; i < aux.size(); ++i) {
    SecurityDesc s;
    s.number = static_cast<std::uint16_t>(i + 1);
    s.tableRights = aux[i].tableRights;
    s.familyRights = aux[i].familyRights;
    s.password = aux[i].password;
    for (std::size_t f = 0; f < aux[i].fieldRights.size() && f < s.fieldRights.size(); ++f)
      s.fieldRights[f] = aux[i].fieldRights[f];
    rows.push_back(std::move(s));
  }
  cursor = OpenList(rows);
  return Ok;
}

Result CopyTable(hDBIDb db, bool overwrite, const std::string& source,
                 const std::string& driverType, const std::string& destination) {
  std::string from, directory;
  if (Result r = TableOfDatabase(db, source, driverType, from)) return r;
  if (Result r = GetDatabaseDirectory(db, directory)) return r;
  const bool fromDbase = dbf::IsDbfPath(from);
  // A destination without extension is a table of the source's driver.
  std::string to = destination;
  if (BaseName(to).find('.') == std::string::npos) to += fromDbase ? ".DBF" : ".DB";
  to = TablePath(directory, to);
  const bool toDbase = dbf::IsDbfPath(to);
  if (fromDbase && toDbase) return dbase::CopyDbaseTable(from, to, overwrite);
  if (fromDbase) {
    paradox::CreateDefaults defaults;
    if (Result r = GetCreateDefaults(defaults)) return r;
    return dbase::CopyDbaseToParadox(from, to, overwrite, SessionPasswords(), defaults);
  }
  if (toDbase) return dbase::CopyParadoxToDbase(from, to, overwrite, SessionPasswords());
  return paradox::CopyParadoxTable(from, to, overwrite, SessionPasswords());
}

Result DeleteTable(hDBIDb db, const std::string& tableName, const std::string& driverType) {
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, driverType, path)) return r;
  if (dbf::IsDbfPath(path)) return dbase::DeleteDbaseTable(path);
  return paradox::DeleteParadoxTable(path, SessionPasswords());
}

Result RenameTable(hDBIDb db, const std::string& oldName, const std::string& newName) {
  std::string path;
  if (Result r = TableOfDatabase(db, oldName, "", path)) return r;
  if (dbf::IsDbfPath(path)) return dbase::RenameDbaseTable(path, newName);
  return paradox::RenameParadoxTable(path, newName, SessionPasswords());
}

Result EmptyTable(hDBIDb db, const std::string& tableName) {
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, "", path)) return r;
  if (dbf::IsDbfPath(path)) return dbase::EmptyDbaseTable(path);
  return paradox::EmptyParadoxTable(path, SessionPasswords());
}

Result RestructureTable(hDBIDb db, const TableDesc& desc, bool analyzeOnly,
                        RestructureReport* report) {
  // Descriptors say "PARADOX" unless told else: a name's extension wins.
  const bool named = BaseName(desc.tableName).find('.') != std::string::npos;
  std::string path;
  if (Result r = TableOfDatabase(db, desc.tableName, named ? "" : desc.driverType, path)) return r;
  if (dbf::IsDbfPath(path))
    return dbase::RestructureDbaseTableWithIndex(path, desc, analyzeOnly, report);
  paradox::RestructureOptions options;
  options.dryRun = analyzeOnly;
  options.passwords = SessionPasswords();
  if (Result r = GetCreateDefaults(options.defaults)) return r;
  return paradox::RestructureParadoxTable(path, desc, options, report);
}

Result PackTable(hDBIDb db, const std::string& tableName) {
  std::string path;
  if (Result r = TableOfDatabase(db, tableName, "", path)) return r;
  if (dbf::IsDbfPath(path)) return dbase::DbaseTable::Pack(path);
  TableDesc desc;
  desc.tableName = tableName;
  desc.pack = 1;
  return RestructureTable(db, desc);
}

}  // namespace engine
