// The header of Paradox data and index files (.DB, .PX, .Xnn, .Ynn).
//
// The header is kept as the raw bytes read from the file; the parsed values
// are a view of them. Writers change the counters through the setters,
// which patch the raw bytes, so bytes we do not understand survive.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/records.h"

namespace engine::paradox {

// Type codes of the field descriptors in the file.
enum FieldCode : std::uint8_t {
  fcAlpha = 0x01,
  fcDate = 0x02,
  fcShort = 0x03,
  fcLong = 0x04,
  fcMoney = 0x05,
  fcNumber = 0x06,
  fcLogical = 0x09,
  fcMemo = 0x0C,
  fcBinary = 0x0D,
  fcFmtMemo = 0x0E,
  fcOle = 0x0F,
  fcGraphic = 0x10,
  fcTime = 0x14,
  fcTimestamp = 0x15,
  fcAutoinc = 0x16,
  fcBcd = 0x17,
  fcBytes = 0x18,
};

enum FileType : std::uint8_t {
  ftKeyedDb = 0,
  ftPrimaryIndex = 1,
  ftUnkeyedDb = 2,
  ftSecondaryX = 3,
  ftSecondaryY = 4,
  ftSecondaryXInc = 5,
  ftSecondaryXG = 6,
  ftSecondaryYG = 7,
  ftSecondaryXGInc = 8,
};

struct PxField {
  std::uint8_t code = 0;
  std::uint8_t size = 0;     // bytes in the record; for BCD: the number of decimals
  std::string name;          // in the table's code page
  std::uint16_t number = 0;  // field number (level 4+), else position
  std::uint16_t offset = 0;  // offset in the record
  std::uint16_t width() const { return code == fcBcd ? 17 : size; }
};

// Known type code? And is it a BLOB type (stored partly in the .MB)?
bool IsKnownFieldCode(std::uint8_t code);
bool IsBlobCode(std::uint8_t code);
// What is wrong with a size byte for a field of a known type ("" when
// nothing): fixed-width types have their width, BCD 0 to 32 decimals,
// alpha and bytes 1 to 255, BLOBs their 10-byte reference after a leader
// of at most 240 bytes (at least 1 for memos).
std::string FieldSizeProblem(std::uint8_t code, std::uint8_t size);

// Most levels of an index tree (blocks of at least two entries and u16
// block numbers allow no more).
inline constexpr int kMaxIndexLevels = 16;

class PxHeader {
 public:
  // Parses a header from the first bytes of a file (at least the header
  // size, or the whole file when shorter) and checks every value that
  // drives a read against the format. `path` names the file in errors.
  Result parse(const std::string& path, const std::uint8_t* data, std::size_t size);
  // Checks the header against the size of its whole file: the header and
  // every block it counts must be there.
  Result checkFileSize(const std::string& path, std::uint64_t fileSize) const;
  // Blocks a file of `fileSize` bytes holds; a last block cut short counts.
  std::uint64_t blocksInFile(std::uint64_t fileSize) const;
  // Records (or index entries) a block holds at most.
  std::uint32_t recordsPerBlock() const { return (blockSize() - 6) / recordSize(); }

  std::vector<std::uint8_t> raw;  // exactly headerSize() bytes
  std::vector<PxField> fields;
  std::string tableName;
  std::string sortOrderId;  // level 4+ only
  std::string indexName;    // .X/.XG only

  std::uint16_t recordSize() const { return u16(0x00); }
  std::uint16_t headerSize() const { return u16(0x02); }
  std::uint8_t fileType() const { return raw[0x04]; }
  std::uint32_t blockSize() const { return raw[0x05] * 1024u; }
  std::uint32_t recordCount() const { return u32(0x06); }
  std::uint16_t blocksInUse() const { return u16(0x0A); }
  std::uint16_t totalBlocks() const { return u16(0x0C); }
  std::uint16_t firstBlock() const { return u16(0x0E); }
  std::uint16_t lastBlock() const { return u16(0x10); }
  std::uint16_t rootBlock() const { return u16(0x1E); }
  std::uint8_t indexLevels() const { return raw[0x20]; }
  std::uint16_t fieldCount() const { return u16(0x21); }
  std::uint16_t keyFieldCount() const { return u16(0x23); }
  std::uint8_t sortByte() const { return raw[0x29]; }
  std::uint8_t version() const { return raw[0x39]; }
  std::uint8_t auxPasswordCount() const { return raw[0x3D]; }
  std::uint32_t autoIncrement() const { return u32(0x49); }
  std::uint16_t firstFreeBlock() const { return u16(0x4D); }
  // The encryption value; 0 for a table without master password.
  std::uint32_t encryption() const;
  // Code page of text (level 4+ files); 0 when the header carries none.
  std::uint16_t codePage() const;

  bool isDataFile() const;  // .DB or .Xnn: carries field names
  bool hasLevel4Layout() const { return version() >= 5 && isDataFile(); }
  // The table level: 3, 4, 5 or 7 (3.5 files report 3).
  int level() const;
  bool isKeyed() const { return fileType() == ftKeyedDb; }

  void setRecordCount(std::uint32_t n) { put32(0x06, n); }
  void setBlocks(std::uint16_t inUse, std::uint16_t total, std::uint16_t first,
                 std::uint16_t last);
  void setRoot(std::uint16_t block, std::uint8_t levels);
  void setAutoIncrement(std::uint32_t v) { put32(0x49, v); }
  void setFirstFreeBlock(std::uint16_t b) { put16(0x4D, b); }
  void clearModifiedFlags();

  std::uint16_t u16(std::size_t at) const { return raw[at] | (raw[at + 1] << 8); }
  std::uint32_t u32(std::size_t at) const {
    return u16(at) | (static_cast<std::uint32_t>(u16(at + 2)) << 16);
  }
  void put16(std::size_t at, std::uint16_t v);
  void put32(std::size_t at, std::uint32_t v);

 private:
  Result parseVariablePart(const std::string& path);
  Result checkCounts(const std::string& path) const;
};

// Reads the header of the file at `path` (its header's bytes only), checked
// as parse() and checkFileSize() do.
Result ReadFileHeader(const std::string& path, PxHeader& header);

// Offset where the variable part (field descriptors) starts.
std::size_t VariablePartStart(std::uint8_t version, std::uint8_t fileType);
// Length of the table-name area for a file version.
std::size_t TableNameLength(std::uint8_t version);

}  // namespace engine::paradox

namespace engine::paradox {

// What a new table file needs to know to lay out its header.
struct NewTableLayout {
  std::uint8_t version = 0x0C;  // 4 (level 3), 9 (4), 0x0B (5), 0x0C (7)
  std::uint8_t fileType = ftUnkeyedDb;
  std::uint32_t blockSize = 2048;
  std::uint16_t keyFieldCount = 0;
  std::vector<PxField> fields;  // code, size and name (in the code page)
  std::string tableName;        // file name as stored, e.g. "ORDERS.DB"
  std::string sortOrderId = "ascii";
  std::uint8_t sortByte = 0;
  std::uint16_t codePage = 437;
  std::uint32_t encryption = 0;
};

// Builds the header of a new, empty .DB file: headerSize() is 0x800, or a
// multiple of it when many long field names need more.
PxHeader BuildDbHeader(const NewTableLayout& layout);
// Builds the header of a new, empty .PX file for a keyed table with this .DB header.
PxHeader BuildPxHeader(const PxHeader& db, const std::string& pxName, std::uint32_t blockSize);
// File version for a table level (3, 4, 5, 7); 0 for an unknown level.
std::uint8_t VersionForLevel(int level);

}  // namespace engine::paradox
