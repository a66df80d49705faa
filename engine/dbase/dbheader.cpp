#include "engine/dbase/dbheader.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace engine::dbase {

namespace {

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void PutU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::string Hex(unsigned v) {
  static const char digits[] = "0123456789ABCDEF";
  return std::string("0x") + digits[(v >> 4) & 15] + digits[v & 15];
}

std::string Shown(char type) {
  if (type >= 0x21 && type < 0x7F) return std::string("'") + type + "'";
  return Hex(static_cast<unsigned char>(type));
}

// A stored name: up to the first NUL, trailing blanks removed.
std::string StoredName(const std::uint8_t* p, std::size_t width) {
  std::size_t n = 0;
  while (n < width && p[n] != 0) ++n;
  while (n > 0 && p[n - 1] == ' ') --n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

bool IsFoxProVersion(std::uint8_t v) {
  return v == 0x30 || v == 0x31 || v == 0x32 || v == 0xF5 || v == 0xFB;
}

// Version bytes of dBASE III+ to 7 tables (the SQL variants of dBASE IV
// included), FoxPro's aside.
bool IsDbaseVersion(std::uint8_t v) { return (v & 7) == 3 || (v & 7) == 4 || v == 0x8E; }

// The memo-pointer width a field type takes: 10 digits, or a 4-byte number
// in newer FoxPro tables.
bool MemoWidthOk(int length) { return length == 10 || length == 4; }

}  // namespace

std::string FieldShapeProblem(char type, int length, int decimals, int level) {
  auto exactly = [&](int n) {
    return length == n
               ? std::string()
               : "must be " + std::to_string(n) + " bytes long, not " + std::to_string(length);
  };
  switch (type) {
    case 'C':
      if (length < 1 || length > 254)
        return "length must be 1 to 254, not " + std::to_string(length);
      return "";
    case 'N':
    case 'F': {
      const int most = level >= 4 ? 20 : 19;
      if (length < 1 || length > most)
        return "length must be 1 to " + std::to_string(most) + ", not " + std::to_string(length);
      if (decimals < 0 || (decimals > 0 && decimals > length - 2))
        return std::to_string(decimals) + " decimals do not fit a width of " +
               std::to_string(length) + " (a point and a digit before it are needed)";
      if (level < 4 && type == 'F') return "type F needs level 4 or later";
      return "";
    }
    case 'D':
      return exactly(8);
    case 'L':
      return exactly(1);
    case 'M':
      return exactly(10);
    case 'B':
    case 'G':
      if (level < 5) return std::string("type ") + type + " needs level 5 or later";
      return exactly(10);
    case 'I':
    case '+':
      if (level < 7) return std::string("type ") + type + " needs level 7";
      return exactly(4);
    case 'O':
    case '@':
      if (level < 7) return std::string("type ") + type + " needs level 7";
      return exactly(8);
    default:
      return "type " + Shown(type) + " is not a dBASE field type";
  }
}

DateValue DbfHeader::lastUpdate() const {
  if (raw.size() < 4 || flavor == Flavor::Dbase2) return {};
  int year = raw[1], month = raw[2], day = raw[3];
  // Years since 1900 per the format; some writers keep two digits only.
  year += year >= 100 || year >= 80 ? 1900 : 2000;
  if (month < 1 || month > 12 || day < 1 || day > 31) return {};
  return DateValue{DayNumber(year, month, day)};
}

void DbfHeader::setRecordCount(std::uint32_t n) {
  storedCount = recordCount = n;
  PutU32(raw.data() + 4, n);
}

void DbfHeader::setLastUpdate(int year, int month, int day) {
  raw[1] = static_cast<std::uint8_t>(std::clamp(year - 1900, 0, 255));
  raw[2] = static_cast<std::uint8_t>(month);
  raw[3] = static_cast<std::uint8_t>(day);
}

std::uint32_t DbfHeader::nextAutoIncrement(const DbfField& f) const {
  return U32(raw.data() + f.descriptor + 42);
}

void DbfHeader::setNextAutoIncrement(const DbfField& f, std::uint32_t next) {
  PutU32(raw.data() + f.descriptor + 42, next);
}

namespace {

// dBASE II: record count u16 at 1, record length u16 at 6, 16-byte
// descriptors (name 0-10, type 11, length 12, decimals 15) from offset 8,
// a 521-byte header. False when the bytes do not hold such a header.
bool ParseDbase2(const std::vector<std::uint8_t>& d, std::uint64_t fileSize, DbfHeader& h) {
  constexpr std::size_t kLength = 521;
  if (d.size() < 9) return false;
  std::vector<DbfField> fields;
  std::size_t pos = 8;
  std::uint32_t offset = 1;
  for (; pos + 16 <= kLength && pos < d.size() && d[pos] != 0x0D; pos += 16) {
    if (pos + 16 > d.size()) return false;
    DbfField f;
    f.rawName = StoredName(&d[pos], 11);
    f.type = static_cast<char>(d[pos + 11]);
    f.length = d[pos + 12];
    f.decimals = d[pos + 15];
    f.offset = static_cast<std::uint16_t>(offset);
    f.descriptor = pos;
    if ((f.type != 'C' && f.type != 'N' && f.type != 'L') || f.length == 0 || f.rawName.empty())
      return false;
    if (f.type == 'L' && f.length != 1) return false;
    offset += f.length;
    fields.push_back(std::move(f));
  }
  const std::uint32_t recordLength = U16(&d[6]);
  if (fields.empty() || recordLength != offset) return false;
  h.flavor = Flavor::Dbase2;
  h.level = 2;
  h.memo = MemoFormat::None;
  h.headerLength = static_cast<std::uint32_t>(std::min<std::uint64_t>(kLength, fileSize));
  h.recordLength = recordLength;
  h.storedCount = U16(&d[1]);
  h.fields = std::move(fields);
  h.raw.assign(d.begin(), d.begin() + std::min<std::size_t>(d.size(), h.headerLength));
  return true;
}

}  // namespace

Result DbfHeader::parse(const std::string& path, const std::vector<std::uint8_t>& d,
                        std::uint64_t fileSize) {
  *this = DbfHeader{};
  if (d.empty()) return Fail(ErrCorruptHeader, path + ": the file is empty");
  const std::uint8_t v = d[0];
  if (v == 0x02 && ParseDbase2(d, fileSize, *this)) {
    if (headerLength < 521 && storedCount > 0)
      return Fail(ErrCorruptHeader, path + ": the file ends inside its header");
  } else {
    if (!IsDbaseVersion(v) && !IsFoxProVersion(v) && v != 0x02)
      return Fail(ErrCorruptHeader,
                  path + ": not a dBASE table (its first byte is " + Hex(v) + ")");
    if (d.size() < 32)
      return Fail(ErrCorruptHeader, path + ": the file ends inside its header (" +
                                        std::to_string(d.size()) + " bytes)");
    flavor = IsDbaseVersion(v) ? Flavor::Dbase : Flavor::FoxPro;
    const bool level7 = flavor == Flavor::Dbase && (v & 7) == 4;
    headerLength = U16(&d[8]);
    recordLength = U16(&d[10]);
    storedCount = U32(&d[4]);
    const std::size_t first = level7 ? 68 : 32;
    const std::size_t width = level7 ? 48 : 32;
    if (headerLength < first + 1 || headerLength > d.size())
      return Fail(ErrCorruptHeader,
                  path + ": the header length " + std::to_string(headerLength) +
                      (headerLength > d.size() ? " runs past the end of the file"
                                               : " is too small for a table header"));
    if (recordLength == 0) return Fail(ErrCorruptHeader, path + ": the record length is 0");
    if (d[15] == 1)
      return Fail(ErrNotSupported,
                  path + ": the table is encrypted; this program cannot read encrypted tables");
    raw.assign(d.begin(), d.begin() + headerLength);
    if (level7) driverName = StoredName(&d[32], 32);
    // Descriptors up to the terminator (0x0D; a zeroed one occurs, and a
    // missing one leaves the header length to end them).
    std::uint32_t offset = 1;
    for (std::size_t pos = first; pos + width <= headerLength; pos += width) {
      const std::uint8_t* p = &d[pos];
      if (p[0] == 0x0D || p[0] == 0x00) break;
      DbfField f;
      f.descriptor = pos;
      if (level7) {
        f.rawName = StoredName(p, 32);
        f.type = static_cast<char>(p[32]);
        f.length = p[33];
        f.decimals = p[34];
      } else {
        f.rawName = StoredName(p, 11);
        f.type = static_cast<char>(p[11]);
        f.length = p[16];
        f.decimals = p[17];
        if (flavor == Flavor::FoxPro) f.flags = p[18];
      }
      // Long character fields keep their high length byte in the decimals.
      if (f.type == 'C' && f.decimals != 0 && !level7) {
        f.length = static_cast<std::uint16_t>(f.length | f.decimals << 8);
        f.decimals = 0;
      }
      f.offset = static_cast<std::uint16_t>(std::min<std::uint32_t>(offset, 0xFFFF));
      offset += f.length;
      fields.push_back(std::move(f));
    }
    level = 3;
    if (level7) {
      level = 7;
    } else if (flavor == Flavor::Dbase) {
      const bool ivMemo = (v & 0x08) != 0 || v == 0x43 || v == 0x63;
      bool fields5 = false, fields4 = false;
      for (const DbfField& f : fields) {
        fields5 = fields5 || f.type == 'B' || f.type == 'G';
        fields4 = fields4 || f.type == 'F';
      }
      level = fields5 ? 5 : (ivMemo || fields4) ? 4 : 3;
    }
    if (offset > recordLength)
      return Fail(ErrCorruptHeader, path + ": the fields take " + std::to_string(offset) +
                                        " bytes, more than the record length " +
                                        std::to_string(recordLength));
  }

  // Each field's type and size, as far as reading needs them.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    DbfField& f = fields[i];
    std::string problem;
    switch (f.type) {
      case 'C':
      case 'N':
      case 'F':
        break;
      case 'D':
        if (f.length != 8) problem = "must be 8 bytes long";
        break;
      case 'L':
        if (f.length != 1) problem = "must be 1 byte long";
        break;
      case 'M':
      case 'G':
        if (!MemoWidthOk(f.length)) problem = "must be 10 (or 4) bytes long";
        break;
      case 'B':
        if (!MemoWidthOk(f.length) && f.length != 8) problem = "must be 10 (or 4 or 8) bytes long";
        break;
      case 'I':
      case '+':
        if (f.length != 4) problem = "must be 4 bytes long";
        break;
      case 'O':
      case '@':
        if (f.length != 8) problem = "must be 8 bytes long";
        break;
      case 'T':
      case 'Y':
        if (flavor != Flavor::FoxPro)
          problem = "is a FoxPro type";
        else if (f.length != 8)
          problem = "must be 8 bytes long";
        break;
      case 'P':
      case 'W':
        if (flavor != Flavor::FoxPro)
          problem = "is a FoxPro type";
        else if (!MemoWidthOk(f.length))
          problem = "must be 10 (or 4) bytes long";
        break;
      case 'V':
      case 'Q':
      case '0':
        if (flavor != Flavor::FoxPro) problem = "is a FoxPro type";
        break;
      default:
        return Fail(ErrUnknownFieldType, path + ": field " + std::to_string(i + 1) + " (" +
                                             f.rawName + ") has the unknown type " + Shown(f.type));
    }
    if (!problem.empty())
      return Fail(ErrCorruptHeader, path + ": field " + std::to_string(i + 1) + " (" + f.rawName +
                                        ") of type " + Shown(f.type) + " " + problem +
                                        ", its header says " + std::to_string(f.length));
  }

  // FoxPro's NULL and varchar-length bits: one per nullable field and one
  // per variable-length field, in field order.
  if (flavor == Flavor::FoxPro) {
    for (std::size_t i = 0; i < fields.size(); ++i)
      if (fields[i].type == '0' && (fields[i].flags & 1)) nullFlagsField = static_cast<int>(i);
    int bit = 0;
    for (DbfField& f : fields) {
      if (f.type == '0') {
        f.hidden = true;
        continue;
      }
      if (f.type == 'V' || f.type == 'Q') f.lengthBit = bit++;
      if (f.flags & 2) f.nullBit = bit++;
    }
    if (nullFlagsField >= 0 && bit > fields[nullFlagsField].length * 8)
      return Fail(ErrCorruptHeader, path + ": the _NullFlags field is too short for " +
                                        std::to_string(bit) + " flags");
  }

  // The memo file the fields need.
  bool memoFields = false;
  for (const DbfField& f : fields) memoFields = memoFields || f.isMemo();
  if (memoFields) {
    if (flavor == Flavor::FoxPro)
      memo = MemoFormat::Fpt;
    else
      memo = (version() & 0x08) != 0 || level >= 4 ? MemoFormat::Dbt4 : MemoFormat::Dbt3;
  }

  // The records the file holds: the count is clamped to what the file
  // size allows (a count past the end, a record cut short).
  const std::uint64_t room = fileSize > headerLength ? (fileSize - headerLength) / recordLength : 0;
  recordCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(storedCount, room));
  return Ok;
}

void DbfHeader::decodeNames(const text::Codec& codec) {
  for (DbfField& f : fields) f.name = codec.toUtf8(f.rawName);
}

bool LooksLikeUtf8(const std::string& bytes) {
  bool high = false;
  for (char c : bytes) high = high || static_cast<unsigned char>(c) >= 0x80;
  return high && text::InvalidUtf8At(bytes) == std::string::npos;
}

int CodePageOf(const DbfHeader& h, const text::LanguageDriver*& driver) {
  driver = nullptr;
  if (!h.driverName.empty()) {
    driver = text::FindDriver(h.driverName);
    if (driver) return driver->codePage;
    // A name the engine does not know: "DBnnnXX0" names its DOS page,
    // "DBWIN..." the Windows one.
    std::string upper = h.driverName;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("DBWIN", 0) == 0) return 1252;
    if (upper.size() >= 5 && upper.rfind("DB", 0) == 0 && std::isdigit((unsigned char)upper[2]) &&
        std::isdigit((unsigned char)upper[3]) && std::isdigit((unsigned char)upper[4])) {
      const int page = std::stoi(upper.substr(2, 3));
      return page == 867 ? 895 : page;  // 867: the Kamenicky page
    }
  }
  driver = text::DriverFromDbaseId(h.languageId());
  if (driver) return driver->codePage;
  std::string names;
  for (const DbfField& f : h.fields) names += f.rawName;
  if (LooksLikeUtf8(names)) return 65001;
  return h.level == 7 ? 1252 : 437;
}

}  // namespace engine::dbase
