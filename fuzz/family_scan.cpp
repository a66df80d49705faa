#include "fuzz/family_scan.h"

#include <cctype>
#include <filesystem>
#include <fstream>

#include "engine/engine.h"
#include "engine/lists.h"
#include "engine/paradox/pxindex.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"

namespace fuzz {

namespace {

using namespace engine;

constexpr std::size_t kExtensionBytes = 4;
constexpr std::size_t kMemberHead = kExtensionBytes + 4;

// "DB", "PX", "MB", "VAL", "Xnn"/"Ynn" (two hex digits), "XGn"/"YGn".
bool KnownExtension(const std::string& e) {
  if (e == "DB" || e == "PX" || e == "MB" || e == "VAL") return true;
  if (e.size() != 3 || (e[0] != 'X' && e[0] != 'Y')) return false;
  bool composite;
  int number;
  return paradox::ParseIndexTag("X" + e.substr(1), composite, number);
}

std::string ExtensionOf(const std::uint8_t* p) {
  std::string e;
  for (std::size_t i = 0; i < kExtensionBytes && p[i]; ++i)
    e += static_cast<char>(std::toupper(p[i]));
  return e;
}

// Reads every row of a list cursor and closes it.
template <typename Record>
void ReadList(Result opened, hDBICur list) {
  if (opened) return;
  Record row;
  while (GetNextRecord(list, row) == Ok) {
  }
  CloseCursor(list);
}

// Every record in the cursor's current order, all fields, BLOBs included.
std::uint32_t ReadRecords(hDBICur cursor) {
  std::uint32_t n = 0;
  std::vector<Value> values;
  if (SetToBegin(cursor)) return n;
  while (GetNextRecord(cursor, &values) == Ok) ++n;
  return n;
}

void ReadValidity(hDBICur cursor) {
  CursorProps props;
  if (GetCursorProps(cursor, props)) return;
  for (std::uint16_t n = 1; n <= props.valCheckCount; ++n) {
    ValCheckDesc check;
    if (GetValCheckDesc(cursor, n, check)) continue;
    Value v;
    for (CheckPart part : {CheckPart::Minimum, CheckPart::Maximum, CheckPart::Default})
      GetCheckValue(cursor, check, part, v);
  }
  for (std::uint16_t n = 1; n <= props.refIntCount; ++n) {
    RefIntDesc link;
    GetRefIntDesc(cursor, n, link);
  }
}

void ReadInIndexOrders(hDBICur cursor) {
  std::vector<IndexDesc> indexes;
  if (GetIndexDescs(cursor, indexes)) return;
  for (const IndexDesc& ix : indexes) {
    if (ix.name.empty() || SwitchToIndex(cursor, ix.name)) continue;
    ReadRecords(cursor);
  }
  SwitchToIndex(cursor, "");
}

// The index files read directly, as the checks of a table's indexes do.
void ReadIndexFiles(const std::string& tablePath) {
  paradox::PxHeader db;
  if (paradox::ReadFileHeader(tablePath, db)) return;
  std::vector<paradox::IndexEntry> leaves;
  paradox::ReadPrimaryIndex(paradox::FamilyPath(tablePath, ".PX"), leaves);
  std::vector<paradox::SecondaryIndex> secondaries;
  if (paradox::ReadSecondaryIndexes(tablePath, db, secondaries)) return;
  for (const paradox::SecondaryIndex& ix : secondaries) {
    std::vector<paradox::IndexEntry> blocks;
    std::vector<std::string> records;
    paradox::ReadIndexBlocks(ix, blocks, records);
    paradox::ReadIndexTree(ix, leaves);
  }
}

void ReadDatabaseLists(const std::string& directory) {
  hDBIDb db = 0;
  if (OpenDatabase(directory, db)) return;
  hDBICur list = 0;
  ReadList<TableListDesc>(OpenTableList(db, true, true, "", list), list);
  ReadList<FieldDesc>(OpenFieldList(db, "T.DB", "", true, list), list);
  ReadList<IndexDesc>(OpenIndexList(db, "T.DB", "", list), list);
  ReadList<FamilyDesc>(OpenFamilyList(db, "T.DB", "", list), list);
  ReadList<ValCheckDesc>(OpenValCheckList(db, "T.DB", "", list), list);
  ReadList<RefIntDesc>(OpenRefIntList(db, "T.DB", "", list), list);
  CloseDatabase(db);
}

// Changes through the write path, each its own change whose failure
// undoes it: a copy of the first record (a duplicate key refused, or one
// record more), a blank record (first in key order), the first record
// rewritten as it is, the first record deleted.
void ChangeRecords(const std::string& table) {
  hDBICur cursor = 0;
  if (OpenTablePath(table, OpenMode::ReadWrite, cursor)) return;
  std::vector<Value> first;
  const bool some = SetToBegin(cursor) == Ok && GetNextRecord(cursor, &first) == Ok;
  if (some) InsertRecord(cursor, first);
  std::vector<FieldDesc> fields;
  if (GetFieldDescs(cursor, fields) == Ok) InsertRecord(cursor, std::vector<Value>(fields.size()));
  if (some && SetToRecordNo(cursor, 1) == Ok) ModifyRecord(cursor, first);
  if (SetToRecordNo(cursor, 1) == Ok) DeleteRecord(cursor);
  CloseCursor(cursor);
}

}  // namespace

std::vector<Member> Unpack(const std::uint8_t* data, std::size_t size) {
  std::vector<Member> members;
  std::size_t at = 0;
  while (size - at >= kMemberHead) {
    const std::string extension = ExtensionOf(data + at);
    const std::uint8_t* n = data + at + kExtensionBytes;
    std::size_t length = n[0] | (n[1] << 8) | (n[2] << 16) | (std::size_t{n[3]} << 24);
    at += kMemberHead;
    length = std::min(length, size - at);
    if (KnownExtension(extension)) {
      std::erase_if(members, [&](const Member& m) { return m.extension == extension; });
      members.push_back({extension, std::string(reinterpret_cast<const char*>(data + at), length)});
    }
    at += length;
  }
  return members;
}

std::string Pack(const std::vector<Member>& members) {
  std::string out;
  for (const Member& m : members) {
    std::string head(kMemberHead, '\0');
    m.extension.copy(head.data(), std::min(m.extension.size(), kExtensionBytes));
    for (int i = 0; i < 4; ++i) head[kExtensionBytes + i] = static_cast<char>(m.bytes.size() >> (8 * i));
    out += head + m.bytes;
  }
  return out;
}

ScanResult ScanFamily(const std::string& directory, const std::vector<Member>& members) {
  for (const Member& m : members)
    std::ofstream(directory + "/T." + m.extension, std::ios::binary | std::ios::trunc) << m.bytes;
  const std::string table = directory + "/T.DB";
  ScanResult result;
  hDBICur cursor = 0;
  result.open = OpenTablePath(table, OpenMode::ReadOnly, cursor);
  if (result.open) {
    result.message = LastErrorMessage();
  } else {
    CursorProps props;
    GetCursorProps(cursor, props);
    std::vector<FieldDesc> fields;
    GetFieldDescs(cursor, fields);
    result.records = ReadRecords(cursor);
    ReadValidity(cursor);
    ReadInIndexOrders(cursor);
    CloseCursor(cursor);
  }
  ReadIndexFiles(table);
  ReadDatabaseLists(directory);
  if (result.open == Ok) ChangeRecords(table);
  // Whatever the engine left beside the files (lock files, say) goes too.
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(directory, ec))
    std::filesystem::remove(entry.path(), ec);
  return result;
}

}  // namespace fuzz
