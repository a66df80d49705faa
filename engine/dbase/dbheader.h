// The header of a .DBF file and its field descriptors.
//
// Layouts read: dBASE II (16-byte descriptors from offset 8, fixed 521-byte
// header), dBASE III+, IV and 5 (32-byte descriptors from offset 32), level
// 7 (language driver name at 32..63, 48-byte descriptors from offset 68,
// field properties after the terminator) and the FoxPro variants (32-byte
// descriptors with field flags, a 263-byte tail after the terminator,
// _NullFlags). The header length and record length are taken as the file
// gives them; every value that steers a read is checked against the file.
//
// The header bytes are kept as read; writers patch the record count, the
// date of the last update and level 7's autoincrement counters in them, so
// bytes this code does not interpret survive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::dbase {

// Which family of programs wrote the file.
enum class Flavor : std::uint8_t {
  Dbase,   // dBASE III+, IV, 5, 7
  Dbase2,  // dBASE II: read only
  FoxPro,  // FoxBase, FoxPro, Visual FoxPro: read only
};

// The memo file a table keeps its memo, binary and OLE values in.
enum class MemoFormat : std::uint8_t {
  None,
  Dbt3,  // .DBT, 512-byte blocks, text ended by 1A 1A
  Dbt4,  // .DBT, block size in its header, each value behind FF FF 08 00 + length
  Fpt,   // .FPT, big-endian block size, each value behind type + length
};

struct DbfField {
  std::string name;     // UTF-8
  std::string rawName;  // as stored, in the table's code page, padding removed
  char type = 'C';
  std::uint16_t length = 0;  // bytes in the record
  std::uint8_t decimals = 0;
  std::uint16_t offset = 0;    // from the start of the record (byte 0 is the deletion flag)
  std::uint8_t flags = 0;      // FoxPro field flags (1 system, 2 nullable, 4 binary)
  bool hidden = false;         // FoxPro's _NullFlags: not shown as a field
  int nullBit = -1;            // FoxPro: bit in _NullFlags that marks NULL
  int lengthBit = -1;          // FoxPro varchar: bit that says the last byte holds the length
  std::size_t descriptor = 0;  // offset of the descriptor in the header

  // Memo, binary and OLE fields hold a pointer into the memo file.
  bool isMemo() const {
    switch (type) {
      case 'M':
      case 'G':
      case 'P':
      case 'W':
        return true;
      case 'B':
        return length != 8;  // FoxPro's B is a double
      default:
        return false;
    }
  }
};

// Types letters and sizes a field may have at a level; "" when fine.
std::string FieldShapeProblem(char type, int length, int decimals, int level);

class DbfHeader {
 public:
  // The most bytes a header can take (its length is a 16-bit number).
  static constexpr std::size_t kMaxLength = 65535;

  // Parses the header from `data`: the first bytes of the file, up to
  // kMaxLength of them. `fileSize` is the size of the whole file. Field
  // names stay raw until decodeNames() is given the table's code page.
  Result parse(const std::string& path, const std::vector<std::uint8_t>& data,
               std::uint64_t fileSize);
  void decodeNames(const text::Codec& codec);

  std::vector<std::uint8_t> raw;  // the header as read: [0, headerLength)
  std::vector<DbfField> fields;   // hidden ones included
  Flavor flavor = Flavor::Dbase;
  int level = 3;
  MemoFormat memo = MemoFormat::None;
  std::uint32_t headerLength = 0;
  std::uint32_t recordLength = 0;
  std::uint32_t storedCount = 0;  // the header's record count, as stored
  std::uint32_t recordCount = 0;  // what the file holds: storedCount clamped to the file size
  std::string driverName;         // level 7: the name at 32..63
  int nullFlagsField = -1;        // FoxPro: index of _NullFlags in fields

  std::uint8_t version() const { return raw.empty() ? 0 : raw[0]; }
  std::uint8_t languageId() const { return flavor == Flavor::Dbase2 ? 0 : raw[29]; }
  bool productionIndex() const { return flavor != Flavor::Dbase2 && (raw[28] & 1) != 0; }
  bool encrypted() const { return flavor != Flavor::Dbase2 && raw[15] == 1; }
  // The date of the last update; NULL day 0 when the bytes are no date.
  DateValue lastUpdate() const;

  // Changes written back by a writer.
  void setRecordCount(std::uint32_t n);
  void setLastUpdate(int year, int month, int day);
  // Level 7: the next value of an autoincrement field's counter.
  std::uint32_t nextAutoIncrement(const DbfField& f) const;
  void setNextAutoIncrement(const DbfField& f, std::uint32_t next);
};

// The code page of a table: the driver its header names (level 7's name,
// else the ID byte), else UTF-8 when the field names are UTF-8, else 437
// (1252 at level 7). `driver` receives the driver when one is named.
int CodePageOf(const DbfHeader& h, const text::LanguageDriver*& driver);

// Whether `rawName` (a field name as stored) holds non-ASCII bytes that
// are all well-formed UTF-8.
bool LooksLikeUtf8(const std::string& bytes);

}  // namespace engine::dbase
