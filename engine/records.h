// Records exchanged with the engine: descriptors of fields, indexes,
// validity checks, referential links, passwords and tables, and a few
// property records. Texts are UTF-8 std::strings; the widths below are the
// largest lengths (in bytes, without terminator) each text may have.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace engine {

constexpr std::size_t kNameWidth = 31;      // "text 32"
constexpr std::size_t kPathWidth = 260;     // "text 261"
constexpr std::size_t kPictureWidth = 175;  // "text 176"
constexpr std::size_t kExprWidth = 220;     // "text 221"
constexpr int kMaxKeyFields = 16;

// Physical field types of Paradox tables.
enum ParadoxType : std::uint16_t {
  pxAlpha = 257,
  pxNumber = 258,
  pxMoney = 259,
  pxDate = 260,
  pxShort = 261,
  pxMemo = 262,
  pxBinary = 263,
  pxFmtMemo = 264,
  pxOle = 265,
  pxGraphic = 266,
  pxLong = 267,
  pxTime = 268,
  pxTimestamp = 269,
  pxLogical = 270,
  pxAutoinc = 271,
  pxBytes = 272,
  pxBcd = 273,
};

// Physical field types of dBASE tables.
enum DbaseType : std::uint16_t {
  dbChar = 513,
  dbNumber = 514,
  dbMemo = 515,
  dbLogical = 516,
  dbDate = 517,
  dbFloat = 518,
  dbLock = 519,
  dbOle = 520,
  dbBinary = 521,
  // Level 7 types (the letters in the file: I, +, @, O).
  dbLong = 522,
  dbAutoinc = 523,
  dbTimestamp = 524,
  dbDouble = 525,
};

// Change code of one item of a TableDesc array (restructure only).
enum ChangeOp : std::int32_t {
  opNone = 0,
  opAdd = 1,
  opCopy = 2,
  opModify = 3,
  opDrop = 4,
};

struct FieldDesc {
  std::uint16_t number = 0;  // 1-based; 0 for a field a restructure adds
  std::string name;
  std::uint16_t type = 0;     // physical type (ParadoxType / DbaseType)
  std::uint16_t subtype = 0;
  std::int16_t units1 = 0;    // size, length or precision
  std::int16_t units2 = 0;    // decimal places
  std::uint16_t offset = 0;   // offset in the record buffer
  std::uint16_t length = 0;   // length in the record buffer
  std::array<std::uint16_t, 2> spare{};
};

struct IndexDesc {
  std::string name;  // empty for the Paradox primary index
  std::uint16_t id = 0;
  std::string tagName;
  std::string format;
  std::int16_t primary = 0;
  std::int16_t unique = 0;
  std::int16_t descending = 0;
  std::int16_t maintained = 0;
  std::int16_t subset = 0;
  std::int16_t expression = 0;
  std::int16_t cost = 0;
  std::uint16_t fieldsInKey = 0;
  std::int16_t keyExprType = 0;
  std::array<std::uint16_t, kMaxKeyFields> keyFields{};  // 1-based
  std::string keyExpression;
  std::string subsetCondition;
  std::int16_t caseInsensitive = 0;
  std::uint16_t blockSize = 0;
  std::array<std::int16_t, kMaxKeyFields> fieldDescending{};
};

// Value flags of a validity check's minimum, maximum and default.
enum CheckValueFlag : std::uint16_t {
  chkNone = 0,
  chkValue = 1,
  chkToday = 2,
  chkNow = 3,
};

struct ValCheckDesc {
  std::uint16_t fieldNumber = 0;
  std::int16_t required = 0;
  std::uint16_t hasMin = chkNone;
  std::uint16_t hasMax = chkNone;
  std::uint16_t hasDefault = chkNone;
  std::array<std::uint8_t, 256> minValue{};
  std::array<std::uint8_t, 256> maxValue{};
  std::array<std::uint8_t, 256> defaultValue{};
  std::string picture;
  std::int32_t lookupType = 0;
  std::string lookupTable;
};

enum RefIntKind : std::int32_t { riMaster = 0, riDependent = 1 };
enum RefIntRule : std::int32_t { riRestrict = 0, riCascade = 1 };

struct RefIntDesc {
  std::uint16_t number = 0;
  std::string name;
  std::int32_t kind = riMaster;
  std::string otherTable;
  std::int32_t updateRule = riRestrict;
  std::int32_t deleteRule = riRestrict;
  std::uint16_t fieldCount = 0;
  std::array<std::uint16_t, kMaxKeyFields> thisFields{};
  std::array<std::uint16_t, kMaxKeyFields> otherFields{};
};

// Table and field rights of an auxiliary password.
enum TableRights : std::int32_t {
  rightsNone = 0,
  rightsReadOnly = 1,
  rightsUpdate = 3,         // change existing records
  rightsDataEntry = 7,      // and insert
  rightsInsertDelete = 15,  // and delete, empty
  rightsFull = 31,
  rightsUnknown = 255,
};

struct SecurityDesc {
  std::uint16_t number = 0;
  std::int32_t tableRights = rightsFull;
  std::uint16_t familyRights = 0;
  std::string password;
  std::array<std::int32_t, 256> fieldRights{};
};

// An optional create parameter such as LEVEL or BLOCK SIZE.
struct OptionalParam {
  std::string name;
  std::string value;
};

struct TableDesc {
  std::string tableName;
  std::string driverType = "PARADOX";
  std::string problemsTable;
  std::string password;
  std::int16_t isProtected = 0;
  std::int16_t pack = 0;
  // Restructure only: the table loses its master password (and with it its
  // auxiliary passwords). A restructure without isProtected keeps it.
  std::int16_t removeProtection = 0;
  // Change codes are empty for a create; for a restructure they run
  // parallel to the descriptor arrays.
  std::vector<std::int32_t> fieldOps;
  std::vector<FieldDesc> fields;
  std::vector<std::int32_t> indexOps;
  std::vector<IndexDesc> indexes;
  std::vector<std::int32_t> securityOps;
  std::vector<SecurityDesc> passwords;
  std::vector<std::int32_t> checkOps;
  std::vector<ValCheckDesc> checks;
  std::vector<std::int32_t> refIntOps;
  std::vector<RefIntDesc> refInts;
  std::vector<OptionalParam> optionalParams;
};

// What a restructure did, or with a dry run would do.
struct RestructureReport {
  std::uint32_t records = 0;    // records of the table before
  std::uint32_t kept = 0;       // records the new table holds
  std::uint32_t problems = 0;   // records that could not be carried over
  std::uint32_t shortened = 0;  // values carried over with a loss (text cut, decimals rounded)
  std::uint32_t shortenedRecords = 0;  // records holding such values
  std::vector<std::string> droppedFields;
  std::vector<std::string> lost;              // indexes, checks, links and rights that went with them
  std::vector<std::string> problemSamples;    // the first few, "record 12: field X: why"
  std::vector<std::string> shortenedSamples;  // the first few
  std::string problemsTable;  // the table that received the problem records ("" none)
  std::string refusal;        // why the restructure fails (a dry run: would fail); "" when it does not
};

struct CursorProps {
  std::string tableName;
  std::string driverType;
  std::uint16_t fieldCount = 0;
  std::uint16_t recordBufferSize = 0;
  std::uint16_t indexCount = 0;
  std::uint16_t valCheckCount = 0;
  std::uint16_t refIntCount = 0;
  std::uint16_t restructureVersion = 0;
  std::uint16_t auxPasswordCount = 0;
  std::int16_t isProtected = 0;
  std::uint16_t tableLevel = 0;
  std::string languageDriver;
  std::uint16_t blockSize = 0;  // in kilobytes
  std::int16_t strictRefInt = 0;
};

enum FamilyKind : std::int32_t {
  famTable = 1,
  famIndex = 2,
  famForm = 3,
  famReport = 4,
  famValChecks = 5,
  famSecIndex = 6,
  famSecIndex2 = 7,
  famBlob = 8,
};

struct FamilyDesc {
  std::string name;
  std::uint16_t id = 0;
  std::int32_t kind = famTable;
  std::string fileName;
};

struct ConfigEntry {
  std::string name;
  std::string value;
};

struct SystemConfig {
  std::int16_t localShare = 0;
  std::string netType;
  std::string userName;
  std::string configFile;
  std::string langDriver;
};

struct DatabaseDesc {
  std::string name;
  std::string physicalPath;
  std::string driverType;
};

}  // namespace engine
