// Creating dBASE tables from a table descriptor.
//
// The new .DBF (and .DBT, and the .MDX when the descriptor lists tags) are
// written beside their targets as NAME.new~ and swapped in with one
// replacement plan, so a table appears whole or not at all, and one it
// replaces stays whole until the swap.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include "engine/dbase/dbindex.h"
#include "engine/dbase/dbtable.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxtable.h"

namespace engine::dbase {

namespace {

constexpr char kStagedSuffix[] = ".new~";

char LetterOf(std::uint16_t type) {
  switch (type) {
    case dbChar:
      return 'C';
    case dbNumber:
      return 'N';
    case dbFloat:
      return 'F';
    case dbDate:
      return 'D';
    case dbLogical:
      return 'L';
    case dbMemo:
      return 'M';
    case dbOle:
      return 'G';
    case dbBinary:
      return 'B';
    case dbLong:
      return 'I';
    case dbAutoinc:
      return '+';
    case dbTimestamp:
      return '@';
    case dbDouble:
      return 'O';
    default:
      return 0;
  }
}

int FixedLength(char letter) {
  switch (letter) {
    case 'D':
    case 'O':
    case '@':
      return 8;
    case 'L':
      return 1;
    case 'M':
    case 'B':
    case 'G':
      return 10;
    case 'I':
    case '+':
      return 4;
    default:
      return 0;
  }
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Result InvalidField(Result code, const FieldDesc& d, std::size_t i, const std::string& what) {
  return Fail(code, "field " + std::to_string(i + 1) + " (" + d.name + "): " + what);
}

struct Planned {
  std::vector<std::uint8_t> header;
  bool memo = false;
};

// Checks the descriptor and lays out the header.
Result Plan(const TableDesc& desc, int level, const std::string& path, Planned& out) {
  if (level != 3 && level != 4 && level != 5 && level != 7)
    return Fail(
        ErrInvalidParameter,
        path + ": dBASE tables are created at level 3, 4, 5 or 7, not " + std::to_string(level));
  if (desc.fields.empty())
    return Fail(ErrInvalidFieldDesc, path + ": a table needs at least one field");
  std::string driverName = "DBWINUS0";
  for (const OptionalParam& p : desc.optionalParams)
    if (Upper(p.name) == "LANGDRIVER" && !p.value.empty()) driverName = p.value;
  const text::LanguageDriver* driver = text::FindDriver(driverName);
  if (!driver) return Fail(ErrInvalidParameter, path + ": unknown language driver " + driverName);
  if (level < 7 && driver->dbaseId == 0)
    return Fail(ErrInvalidParameter, path + ": the language driver " + driver->name +
                                         " has no ID a level " + std::to_string(level) +
                                         " table can carry");
  if (level == 7 && driver->name.size() > 32)
    return Fail(ErrInvalidParameter, path + ": the language driver name is too long");

  const bool l7 = level == 7;
  const std::size_t first = l7 ? 68 : 32, width = l7 ? 48 : 32;
  const std::size_t headerLength = first + width * desc.fields.size() + 1;
  if (headerLength > 0xFFFF)
    return Fail(ErrInvalidFieldDesc,
                path + ": too many fields (" + std::to_string(desc.fields.size()) + ")");
  std::vector<std::uint8_t>& h = out.header;
  h.assign(headerLength, 0);
  std::set<std::string> names;
  std::size_t recordLength = 1;
  const std::size_t longest = l7 ? 31 : 10;
  for (std::size_t i = 0; i < desc.fields.size(); ++i) {
    const FieldDesc& d = desc.fields[i];
    const char letter = LetterOf(d.type);
    if (!letter)
      return InvalidField(ErrInvalidFieldDesc, d, i,
                          "type " + std::to_string(d.type) + " is not a dBASE field type");
    // Names: a letter, then letters, digits and underscores.
    bool nameOk = !d.name.empty() && d.name.size() <= longest &&
                  std::isalpha(static_cast<unsigned char>(d.name[0]));
    for (char c : d.name)
      nameOk = nameOk && static_cast<unsigned char>(c) < 0x80 &&
               (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
    if (!nameOk)
      return InvalidField(ErrInvalidFieldName, d, i,
                          "a name is a letter followed by letters, digits and underscores, "
                          "at most " +
                              std::to_string(longest) + " of them");
    if (!names.insert(Upper(d.name)).second)
      return InvalidField(ErrInvalidFieldName, d, i, "the name is used twice");
    int length = d.units1, decimals = d.units2;
    if (const int fixed = FixedLength(letter)) {
      if ((length != 0 && length != fixed) || decimals != 0)
        return InvalidField(ErrInvalidFieldDesc, d, i,
                            std::string("type ") + letter + " takes " + std::to_string(fixed) +
                                " bytes and no decimals");
      length = fixed;
    }
    if (letter == 'C' && (length < 1 || length > 254))
      return InvalidField(ErrInvalidFieldDesc, d, i, "length must be 1 to 254");
    if ((letter == 'N' || letter == 'F') &&
        (length < 1 || length > 20 || decimals < 0 || decimals >= length))
      return InvalidField(ErrInvalidFieldDesc, d, i,
                          "length must be 1 to 20, with fewer decimals than the length");
    if (letter == 'F' && level < 4)
      return InvalidField(ErrInvalidFieldDesc, d, i, "type F needs level 4 or later");
    if ((letter == 'B' || letter == 'G') && level < 5)
      return InvalidField(ErrInvalidFieldDesc, d, i,
                          std::string("type ") + letter + " needs level 5 or later");
    if ((letter == 'I' || letter == '+' || letter == '@' || letter == 'O') && level < 7)
      return InvalidField(ErrInvalidFieldDesc, d, i,
                          std::string("type ") + letter + " needs level 7");
    out.memo = out.memo || letter == 'M' || letter == 'B' || letter == 'G';
    std::uint8_t* p = h.data() + first + i * width;
    std::memcpy(p, d.name.data(), d.name.size());
    if (l7) {
      p[32] = static_cast<std::uint8_t>(letter);
      p[33] = static_cast<std::uint8_t>(length);
      p[34] = static_cast<std::uint8_t>(decimals);
      if (letter == '+') p[42] = 1;  // the first number
    } else {
      p[11] = static_cast<std::uint8_t>(letter);
      p[16] = static_cast<std::uint8_t>(length);
      p[17] = static_cast<std::uint8_t>(decimals);
    }
    recordLength += static_cast<std::size_t>(length);
  }
  if (recordLength > 0xFFFF)
    return Fail(ErrInvalidFieldDesc, path + ": a record would take " +
                                         std::to_string(recordLength) + " bytes, more than 65535");
  h[headerLength - 1] = 0x0D;
  h[0] = l7           ? (out.memo ? 0x8C : 0x04)
         : level == 3 ? (out.memo ? 0x83 : 0x03)
                      : (out.memo ? 0x8B : 0x03);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  h[1] = static_cast<std::uint8_t>(local.tm_year);
  h[2] = static_cast<std::uint8_t>(local.tm_mon + 1);
  h[3] = static_cast<std::uint8_t>(local.tm_mday);
  h[8] = static_cast<std::uint8_t>(headerLength & 0xFF);
  h[9] = static_cast<std::uint8_t>(headerLength >> 8);
  h[10] = static_cast<std::uint8_t>(recordLength & 0xFF);
  h[11] = static_cast<std::uint8_t>(recordLength >> 8);
  if (l7)
    std::memcpy(h.data() + 32, driver->name.data(), driver->name.size());
  else
    h[29] = driver->dbaseId;
  return Ok;
}

Result WriteFile(const std::string& path, const void* data, std::size_t n) {
  io::File f;
  if (Result r = f.open(path, io::File::Mode::Create)) return r;
  return f.write(0, data, n);
}

std::string Stem(const std::string& path) {
  std::string file = path.substr(path.find_last_of('/') + 1);
  const std::size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

}  // namespace

Result DbaseTable::Create(const std::string& path, const TableDesc& desc, int level,
                          bool overwrite) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  const std::string dbf = ec ? path : absolute.lexically_normal().string();
  Planned plan;
  if (Result r = Plan(desc, level, dbf, plan)) return r;
  // Tags of the production index: their keys must compute over the fields.
  std::vector<MdxTagDef> tagDefs;
  TableTags tags;
  if (!desc.indexes.empty()) {
    if (level == 3)
      return Fail(ErrNotSupported, dbf + ": a level 3 table has no production index; "
                                         "tags need level 4, 5 or 7");
    std::vector<std::uint8_t> bytes = plan.header;
    bytes.push_back(0x1A);
    DbfHeader planned;
    if (Result r = planned.parse(dbf, bytes, bytes.size())) return r;
    const text::LanguageDriver* driver = nullptr;
    planned.decodeNames(text::SharedCodec(CodePageOf(planned, driver)));
    if (Result r = TagsOfIndexDescs(desc.indexes, planned.fields, tagDefs))
      return Fail(r, dbf + ": " + LastErrorMessage());
    if (Result r = tags.plan(tagDefs, planned.fields, true))
      return Fail(r, dbf + ": " + LastErrorMessage());
    plan.header[28] = 1;
    const std::vector<std::string> keyed = KeyedFields(tags.defs(), planned.fields);
    for (const DbfField& f : planned.fields) {
      const std::size_t flag = f.descriptor + (level == 7 ? 37 : 31);
      if (std::find(keyed.begin(), keyed.end(), f.name) != keyed.end() && flag < plan.header.size())
        plan.header[flag] = 1;
    }
  }

  // An existing table is replaced only when asked to, and only while no one
  // has it open; a change of it that was cut short is settled first, so
  // that its journal cannot reach the new files later.
  io::TableLock lock;
  const bool exists = io::FileExists(dbf);
  if (exists && !overwrite) return Fail(ErrFileExists, dbf + ": the table exists already");
  if (exists) {
    if (Result r = lock.acquire(dbf, io::TableLock::Kind::Exclusive)) return r;
    if (Result r = io::RecoverReplace(PlanPathOf(dbf))) return r;
    if (Result r = io::RecoverJournal(JournalPathOf(dbf))) return r;
  } else if (io::FileExists(JournalPathOf(dbf))) {
    // The journal of a table that is gone protects nothing.
    ::unlink(JournalPathOf(dbf).c_str());
  }

  std::vector<io::Replacement> swap;
  const std::string memoPath = paradox::FamilyPath(dbf, ".DBT");
  Result r = Ok;
  if (plan.memo) {
    const MemoFormat format = level == 3 ? MemoFormat::Dbt3 : MemoFormat::Dbt4;
    const std::string header = MemoFile::NewHeader(format, Stem(dbf));
    swap.push_back({memoPath + kStagedSuffix, memoPath});
    r = WriteFile(swap.back().staged, header.data(), header.size());
  } else if (io::FileExists(memoPath)) {
    swap.push_back({"", memoPath});
  }
  // The production index of a table that is replaced would describe fields
  // that are gone.
  const std::string mdx = paradox::FamilyPath(dbf, ".MDX");
  if (r == Ok && tags.size() > 0) {
    // Empty tags; the table's records go into them as they are added.
    struct NoRecords : KeySource {
      Result next(MdxRecordKeys&, bool& end) override {
        end = true;
        return Ok;
      }
    } none;
    swap.push_back({mdx + kStagedSuffix, mdx});
    r = WriteMdx(swap.back().staged, Stem(dbf), tags.defs(), none);
  } else if (exists && io::FileExists(mdx)) {
    swap.push_back({"", mdx});
  }
  if (r == Ok) {
    std::vector<std::uint8_t> bytes = plan.header;
    bytes.push_back(0x1A);
    swap.push_back({dbf + kStagedSuffix, dbf});
    r = WriteFile(swap.back().staged, bytes.data(), bytes.size());
  }
  if (r == Ok) r = io::ReplaceFiles(swap, PlanPathOf(dbf));
  if (r) {
    const std::string message = LastErrorMessage();
    for (const io::Replacement& e : swap)
      if (!e.staged.empty()) ::unlink(e.staged.c_str());
    return Fail(r, message);
  }
  return Ok;
}

}  // namespace engine::dbase
