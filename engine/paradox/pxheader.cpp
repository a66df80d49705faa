#include "engine/paradox/pxheader.h"

#include <algorithm>
#include <cstring>

#include "engine/io/file.h"

namespace engine::paradox {

namespace {

constexpr std::size_t kFixedPart = 0x58;

std::string Bad(const std::string& path, const std::string& what) {
  return path + ": " + what;
}

}  // namespace

bool IsKnownFieldCode(std::uint8_t code) {
  switch (code) {
    case fcAlpha: case fcDate: case fcShort: case fcLong: case fcMoney: case fcNumber:
    case fcLogical: case fcMemo: case fcBinary: case fcFmtMemo: case fcOle: case fcGraphic:
    case fcTime: case fcTimestamp: case fcAutoinc: case fcBcd: case fcBytes:
      return true;
    default:
      return false;
  }
}

bool IsBlobCode(std::uint8_t code) {
  return code == fcMemo || code == fcBinary || code == fcFmtMemo || code == fcOle ||
         code == fcGraphic;
}

std::string FieldSizeProblem(std::uint8_t code, std::uint8_t size) {
  auto within = [&](int lo, int hi) {
    if (size >= lo && size <= hi) return std::string();
    return "size " + std::to_string(size) + " is not " + std::to_string(lo) + " to " +
           std::to_string(hi);
  };
  int fixed = 0;
  switch (code) {
    case fcAlpha: case fcBytes: return within(1, 255);
    case fcBcd: return within(0, 32);
    case fcMemo: return within(11, 250);
    case fcBinary: case fcFmtMemo: case fcOle: case fcGraphic: return within(10, 250);
    case fcLogical: fixed = 1; break;
    case fcShort: fixed = 2; break;
    case fcDate: case fcLong: case fcTime: case fcAutoinc: fixed = 4; break;
    case fcMoney: case fcNumber: case fcTimestamp: fixed = 8; break;
    default: return "type code " + std::to_string(code) + " is unknown";
  }
  if (size == fixed) return {};
  return "size " + std::to_string(size) + " is not " + std::to_string(fixed);
}

std::size_t VariablePartStart(std::uint8_t version, std::uint8_t fileType) {
  bool dataFile = fileType == ftKeyedDb || fileType == ftUnkeyedDb || fileType == ftSecondaryX ||
                  fileType == ftSecondaryXInc || fileType == ftSecondaryXG ||
                  fileType == ftSecondaryXGInc;
  return (version >= 5 && dataFile) ? 0x78 : kFixedPart;
}

std::size_t TableNameLength(std::uint8_t version) { return version >= 0x0C ? 261 : 79; }

bool PxHeader::isDataFile() const {
  std::uint8_t t = fileType();
  return t != ftPrimaryIndex && t != ftSecondaryY && t != ftSecondaryYG;
}

int PxHeader::level() const {
  std::uint8_t v = version();
  if (v <= 4) return 3;
  if (v <= 9) return 4;
  if (v <= 0x0B) return 5;
  return 7;
}

std::uint32_t PxHeader::encryption() const {
  if (hasLevel4Layout()) return u32(0x5C);
  std::uint32_t v = u32(0x25);
  return v == 0xFF00FF00u ? 0 : v;
}

std::uint16_t PxHeader::codePage() const { return hasLevel4Layout() ? u16(0x6A) : 0; }

void PxHeader::put16(std::size_t at, std::uint16_t v) {
  raw[at] = v & 0xFF;
  raw[at + 1] = v >> 8;
}

void PxHeader::put32(std::size_t at, std::uint32_t v) {
  put16(at, v & 0xFFFF);
  put16(at + 2, v >> 16);
}

void PxHeader::setBlocks(std::uint16_t inUse, std::uint16_t total, std::uint16_t first,
                         std::uint16_t last) {
  put16(0x0A, inUse);
  put16(0x0C, total);
  put16(0x0E, first);
  put16(0x10, last);
}

void PxHeader::setRoot(std::uint16_t block, std::uint8_t levels) {
  put16(0x1E, block);
  raw[0x20] = levels;
}

void PxHeader::clearModifiedFlags() {
  raw[0x14] = 0;
  raw[0x2A] = 0;
}

Result PxHeader::parse(const std::string& path, const std::uint8_t* data, std::size_t size) {
  if (size < kFixedPart) return Fail(ErrCorruptHeader, Bad(path, "file is too short for a table header"));
  std::uint16_t hsize = data[2] | (data[3] << 8);
  std::uint8_t type = data[4];
  std::uint8_t version = data[0x39];
  if (type > ftSecondaryXGInc)
    return Fail(ErrCorruptHeader, Bad(path, "unknown file type " + std::to_string(type)));
  if (version < 3 || version > 0x0C)
    return Fail(ErrUnsupportedVersion, Bad(path, "unknown file version " + std::to_string(version)));
  if (hsize < VariablePartStart(version, type) || hsize > size)
    return Fail(ErrCorruptHeader, Bad(path, "header size " + std::to_string(hsize) +
                                                " does not fit the file"));
  std::uint8_t bs = data[5];
  if (bs != 1 && bs != 2 && bs != 3 && bs != 4 && bs != 8 && bs != 16 && bs != 32)
    return Fail(ErrCorruptHeader, Bad(path, "unknown block size code " + std::to_string(bs)));
  raw.assign(data, data + hsize);
  if (Result r = parseVariablePart(path)) return r;
  return checkCounts(path);
}

// The counts and block numbers of the fixed part, against each other and
// the record layout.
Result PxHeader::checkCounts(const std::string& path) const {
  auto bad = [&](const std::string& what) { return Fail(ErrCorruptHeader, Bad(path, what)); };
  if (recordSize() > blockSize() - 6)
    return bad("record size " + std::to_string(recordSize()) + " does not fit a block of " +
               std::to_string(blockSize()) + " bytes");
  const int keys = keyFieldCount();
  if (fileType() == ftKeyedDb && (keys == 0 || keys > kMaxKeyFields))
    return bad("key field count " + std::to_string(keys) + " is not 1 to " +
               std::to_string(kMaxKeyFields));
  if (fileType() == ftUnkeyedDb && keys != 0)
    return bad("a table without a key counts " + std::to_string(keys) + " key fields");
  const std::uint16_t total = totalBlocks();
  auto beyond = [&](const char* what, std::uint16_t block) {
    return bad(std::string(what) + " " + std::to_string(block) + " is beyond the " +
               std::to_string(total) + " blocks of the file");
  };
  if (blocksInUse() > total) return beyond("the count of blocks in use", blocksInUse());
  if (firstBlock() > total) return beyond("first block", firstBlock());
  if (lastBlock() > total) return beyond("last block", lastBlock());
  if (firstFreeBlock() > total) return beyond("first free block", firstFreeBlock());
  if (recordCount() > std::uint64_t{total} * recordsPerBlock())
    return bad("record count " + std::to_string(recordCount()) + " exceeds what " +
               std::to_string(total) + " blocks hold");
  const bool tree = fileType() == ftPrimaryIndex || fileType() == ftSecondaryY ||
                    fileType() == ftSecondaryYG;
  if (tree && indexLevels() > 0) {
    if (indexLevels() > kMaxIndexLevels || indexLevels() > total)
      return bad("index levels " + std::to_string(indexLevels()) + " are more than the blocks allow");
    if (rootBlock() == 0 || rootBlock() > total) return beyond("index root block", rootBlock());
  }
  return Ok;
}

std::uint64_t PxHeader::blocksInFile(std::uint64_t fileSize) const {
  if (fileSize <= headerSize()) return 0;
  return (fileSize - headerSize() + blockSize() - 1) / blockSize();
}

Result PxHeader::checkFileSize(const std::string& path, std::uint64_t fileSize) const {
  if (fileSize < headerSize())
    return Fail(ErrCorruptHeader, Bad(path, "header size " + std::to_string(headerSize()) +
                                                " does not fit the file"));
  if (totalBlocks() > blocksInFile(fileSize))
    return Fail(ErrCorruptHeader, Bad(path, "the header counts " + std::to_string(totalBlocks()) +
                                                " blocks, the file holds " +
                                                std::to_string(blocksInFile(fileSize))));
  return Ok;
}

Result ReadFileHeader(const std::string& path, PxHeader& h) {
  io::File f;
  if (Result r = f.open(path, io::File::Mode::Read)) return r;
  std::uint64_t size = 0;
  if (Result r = f.size(size)) return r;
  std::uint8_t start[4] = {};
  if (size >= 4)
    if (Result r = f.read(0, start, 4)) return r;
  std::size_t want = std::max<std::size_t>(start[2] | (start[3] << 8), kFixedPart);
  std::vector<std::uint8_t> bytes(std::min<std::uint64_t>(want, size));
  if (Result r = f.read(0, bytes.data(), bytes.size())) return r;
  if (Result r = h.parse(path, bytes.data(), bytes.size())) return r;
  return h.checkFileSize(path, size);
}

Result PxHeader::parseVariablePart(const std::string& path) {
  const std::size_t n = raw.size();
  const std::uint16_t count = fieldCount();
  if (count == 0 || count > 255)
    return Fail(ErrCorruptHeader, Bad(path, "field count " + std::to_string(count) + " is invalid"));
  if (keyFieldCount() > count)
    return Fail(ErrCorruptHeader, Bad(path, "more key fields than fields"));
  if (fileType() == ftPrimaryIndex && count > kMaxKeyFields)
    return Fail(ErrCorruptHeader, Bad(path, "the primary index has " + std::to_string(count) +
                                                " fields"));
  std::size_t at = VariablePartStart(version(), fileType());
  auto need = [&](std::size_t bytes) { return at + bytes <= n; };
  auto truncated = [&] {
    return Fail(ErrCorruptHeader, Bad(path, "header is truncated"));
  };

  if (!need(2u * count)) return truncated();
  fields.assign(count, {});
  std::uint32_t offset = 0;
  for (std::uint16_t i = 0; i < count; ++i) {
    PxField& f = fields[i];
    f.code = raw[at++];
    f.size = raw[at++];
    f.number = i + 1;
    if (!IsKnownFieldCode(f.code))
      return Fail(ErrUnknownFieldType, Bad(path, "field " + std::to_string(i + 1) +
                                                     " has unknown type code " +
                                                     std::to_string(f.code)));
    const std::string problem = FieldSizeProblem(f.code, f.size);
    if (!problem.empty())
      return Fail(ErrCorruptHeader, Bad(path, "field " + std::to_string(i + 1) + ": " + problem));
    f.offset = static_cast<std::uint16_t>(offset);
    offset += f.width();
  }
  // Index files (.PX, .Ynn) add a block number, a count and a spare word.
  if (!isDataFile()) offset += 6;
  if (offset != recordSize())
    return Fail(ErrCorruptHeader, Bad(path, "record size " + std::to_string(recordSize()) +
                                                " does not match the fields (" +
                                                std::to_string(offset) + ")"));
  at += 4;  // table-name pointer
  if (isDataFile()) at += 4u * count;  // field-name pointers
  std::size_t nameLen = TableNameLength(version());
  if (!need(nameLen)) return truncated();
  tableName.assign(reinterpret_cast<const char*>(&raw[at]),
                   strnlen(reinterpret_cast<const char*>(&raw[at]), nameLen));
  at += nameLen;

  auto readString = [&](std::string& out) {
    std::size_t end = at;
    while (end < n && raw[end] != 0) ++end;
    if (end >= n) return false;
    out.assign(reinterpret_cast<const char*>(&raw[at]), end - at);
    at = end + 1;
    return true;
  };
  if (isDataFile()) {
    for (PxField& f : fields)
      if (!readString(f.name)) return truncated();
  }
  if (!hasLevel4Layout()) return Ok;
  if (!need(2u * count)) return truncated();
  for (PxField& f : fields) {
    f.number = u16(at);
    at += 2;
  }
  if (!readString(sortOrderId)) return truncated();
  if (fileType() != ftKeyedDb && fileType() != ftUnkeyedDb) readString(indexName);
  return Ok;
}

}  // namespace engine::paradox

namespace engine::paradox {

namespace {

constexpr std::size_t kNewHeaderSize = 0x800;

void PutString(std::vector<std::uint8_t>& raw, std::size_t& at, const std::string& s,
               std::size_t width) {
  std::size_t n = std::min(s.size(), width - 1);
  std::memcpy(&raw[at], s.data(), n);
  at += width;
}

void PutCString(std::vector<std::uint8_t>& raw, std::size_t& at, const std::string& s) {
  std::memcpy(&raw[at], s.data(), s.size());
  at += s.size() + 1;
}

}  // namespace

std::uint8_t VersionForLevel(int level) {
  switch (level) {
    case 3: return 4;
    case 4: return 9;
    case 5: return 0x0B;
    case 7: return 0x0C;
    default: return 0;
  }
}

PxHeader BuildDbHeader(const NewTableLayout& l) {
  PxHeader h;
  const bool level4 = l.version >= 5;
  // Many fields with long names outgrow the usual 2 KiB: the header takes
  // as many 2 KiB steps as its variable part needs.
  std::size_t need = VariablePartStart(l.version, l.fileType) + 6 * l.fields.size() + 4 +
                     TableNameLength(l.version);
  for (const PxField& f : l.fields) need += f.name.size() + 1;
  if (level4) need += 2 * l.fields.size() + l.sortOrderId.size() + 1;
  const std::size_t headerSize = (need + kNewHeaderSize - 1) / kNewHeaderSize * kNewHeaderSize;
  h.raw.assign(headerSize, 0);
  std::uint16_t recordSize = 0;
  for (const PxField& f : l.fields) recordSize += f.width();
  h.put16(0x00, recordSize);
  h.put16(0x02, static_cast<std::uint16_t>(headerSize));
  h.raw[0x04] = l.fileType;
  h.raw[0x05] = static_cast<std::uint8_t>(l.blockSize / 1024);
  h.put16(0x21, static_cast<std::uint16_t>(l.fields.size()));
  h.put16(0x23, l.keyFieldCount);
  h.raw[0x29] = l.sortByte;
  // A keyed table's change counter is at least 2 once it has a primary index.
  h.raw[0x2D] = l.fileType == ftKeyedDb ? 2 : 1;
  h.raw[0x39] = l.version;
  h.raw[0x3A] = 1;
  h.raw[0x3E] = 0x1F;
  h.raw[0x3F] = 0x0F;
  if (level4) {
    h.put32(0x25, 0xFF00FF00u);
    h.put32(0x5C, l.encryption);
    h.raw[0x56] = 0x20;
    h.put16(0x58, 0x0100 | l.version);
    h.put16(0x5A, 0x0100 | l.version);
    h.put16(0x64, static_cast<std::uint16_t>(l.fields.size() + 1));
    h.put16(0x6A, l.codePage);
    h.raw[0x6C] = 1;
    h.raw[0x6D] = 1;
  } else {
    h.put32(0x25, l.encryption);
  }
  std::size_t at = VariablePartStart(l.version, l.fileType);
  for (const PxField& f : l.fields) {
    h.raw[at++] = f.code;
    h.raw[at++] = f.size;
  }
  at += 4 + 4 * l.fields.size();  // table- and field-name pointers (memory addresses; left 0)
  PutString(h.raw, at, l.tableName, TableNameLength(l.version));
  for (const PxField& f : l.fields) PutCString(h.raw, at, f.name);
  if (level4) {
    for (std::size_t i = 0; i < l.fields.size(); ++i) {
      h.put16(at, static_cast<std::uint16_t>(i + 1));
      at += 2;
    }
    PutCString(h.raw, at, l.sortOrderId);
  }
  h.put16(0x51, static_cast<std::uint16_t>(at));  // bytes of the header in use
  h.parse("", h.raw.data(), h.raw.size());
  return h;
}

PxHeader BuildPxHeader(const PxHeader& db, const std::string& pxName, std::uint32_t blockSize) {
  PxHeader h;
  h.raw.assign(kNewHeaderSize, 0);
  std::uint16_t keySize = 0;
  for (int i = 0; i < db.keyFieldCount(); ++i) keySize += db.fields[i].width();
  h.put16(0x00, keySize + 6);
  h.put16(0x02, kNewHeaderSize);
  h.raw[0x04] = ftPrimaryIndex;
  h.raw[0x05] = static_cast<std::uint8_t>(blockSize / 1024);
  h.put16(0x1E, 1);  // an empty index: root 1, no levels, no blocks
  h.put16(0x21, db.keyFieldCount());
  h.raw[0x29] = db.sortByte();
  h.raw[0x2C] = db.raw[0x2D];
  h.raw[0x39] = db.version();
  h.raw[0x3A] = 1;
  h.raw[0x49] = 1;
  std::size_t at = VariablePartStart(db.version(), ftPrimaryIndex);
  for (int i = 0; i < db.keyFieldCount(); ++i) {
    h.raw[at++] = db.fields[i].code;
    h.raw[at++] = db.fields[i].size;
  }
  at += 4;
  PutString(h.raw, at, pxName, TableNameLength(db.version()));
  h.put16(0x51, static_cast<std::uint16_t>(at));
  h.parse("", h.raw.data(), h.raw.size());
  return h;
}

}  // namespace engine::paradox
