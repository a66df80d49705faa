#include "engine/paradox/pxsecidx.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <tuple>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/io/sorter.h"
#include "engine/paradox/pxblocks.h"
#include "engine/paradox/pxchain.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"

namespace engine::paradox {

namespace {

constexpr char kSideExtension[] = ".QIX";
constexpr char kStagedSuffix[] = ".new~";
constexpr std::uint16_t kDescendingBit = 0x8000;
constexpr std::uint16_t kCompositeIdBase = 256;
constexpr std::size_t kMaxIndexNameLength = 31;
constexpr char kCompositeDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

using io::Upper;

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string FileNameOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StemOf(const std::string& path) {
  std::string file = FileNameOf(path);
  std::size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

std::string Hex2(int n) {
  const char* digits = "0123456789ABCDEF";
  return {digits[(n >> 4) & 0xF], digits[n & 0xF]};
}

// The .Y tag of an .X tag: "X02" -> "Y02", "XG0" -> "YG0".
std::string YTag(const std::string& xTag) { return "Y" + xTag.substr(1); }

// The code page the table's text is in (as the table itself reads it).
const text::Codec& TableCodec(const PxHeader& db) {
  int codePage = db.codePage();
  if (codePage == 0) {
    const text::LanguageDriver* d =
        text::DriverFromHeader(db.sortOrderId, db.codePage(), db.sortByte());
    codePage = d ? d->codePage : 437;
  }
  if (!db.hasLevel4Layout()) codePage = 437;
  return text::SharedCodec(codePage);
}

const text::LanguageDriver* TableDriver(const PxHeader& db) {
  return text::DriverFromHeader(db.sortOrderId, db.codePage(), db.sortByte());
}

// Reads the header of a Paradox file (only the header's bytes).
Result ReadHeader(const std::string& path, PxHeader& h) { return ReadFileHeader(path, h); }

// ---------------------------------------------------------------------------
// The side file: NAME.QIX
// ---------------------------------------------------------------------------

using FlagMap = std::map<std::string, IndexFlags>;  // by .X tag

std::string SidePath(const std::string& tablePath) { return FamilyPath(tablePath, kSideExtension); }

Result ReadFlags(const std::string& tablePath, FlagMap& out) {
  out.clear();
  const std::string path = SidePath(tablePath);
  if (!io::FileExists(path)) return Ok;
  std::string text;
  if (Result r = io::ReadWholeFile(path, text)) return r;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    std::istringstream words(line);
    std::string tag;
    if (!(words >> tag) || tag[0] == '#') continue;
    bool composite;
    int n;
    if (!ParseIndexTag(Upper(tag), composite, n))
      return Fail(ErrCorruptIndex, path + ": line " + std::to_string(number) + ": \"" + tag +
                                       "\" names no index file");
    IndexFlags& flags = out[Upper(tag)];
    for (std::string word; words >> word;) {
      std::size_t eq = word.find('=');
      std::string key = word.substr(0, eq);
      std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
      if (value != "0" && value != "1")
        return Fail(ErrCorruptIndex, path + ": line " + std::to_string(number) + ": \"" + word +
                                         "\" is not NAME=0 or NAME=1");
      bool on = value == "1";
      if (key == "unique")
        flags.unique = on;
      else if (key == "case-insensitive")
        flags.caseInsensitive = on;
      else if (key == "maintained")
        flags.maintained = on;
      // Unknown properties are left to newer versions.
    }
  }
  return Ok;
}

std::string FlagsText(const std::vector<SecondaryIndex>& indexes) {
  std::ostringstream s;
  s << "# Secondary-index properties the index files cannot hold (docs/side-file-indexes.md).\n";
  for (const SecondaryIndex& ix : indexes)
    s << ix.tag << " unique=" << (ix.desc.unique ? 1 : 0)
      << " case-insensitive=" << (ix.desc.caseInsensitive ? 1 : 0)
      << " maintained=" << (ix.desc.maintained ? 1 : 0) << "\n";
  return s.str();
}

// ---------------------------------------------------------------------------
// The layout of an index's .X records
// ---------------------------------------------------------------------------

enum class Source { TableField, BlockNumber, TupleNumber, TupleOffset };

struct Column {
  PxField field;  // code, size, name (in the code page) and offset in the .X record
  Source source = Source::TableField;
  int tableField = -1;  // 0-based, for TableField
  bool descending = false;
  bool caseInsensitive = false;  // Alpha index fields of a case-insensitive index
};

struct Layout {
  std::vector<Column> columns;
  int indexFields = 0;
  std::uint16_t recordSize = 0;
  // Bytes of the .X key: every field but the last.
  std::size_t keySize() const { return columns.back().field.offset; }
};

PxField MakeField(std::uint8_t code, std::uint8_t size, const std::string& name) {
  PxField f;
  f.code = code;
  f.size = size;
  f.name = name;
  return f;
}

void AddColumn(Layout& l, Column c) {
  c.field.offset = l.recordSize;
  c.field.number = static_cast<std::uint16_t>(l.columns.size() + 1);
  l.recordSize = static_cast<std::uint16_t>(l.recordSize + c.field.width());
  l.columns.push_back(std::move(c));
}

Layout MakeLayout(const PxHeader& db, const IndexDesc& desc) {
  Layout l;
  std::set<int> used;
  for (int i = 0; i < desc.fieldsInKey; ++i) {
    Column c;
    c.tableField = desc.keyFields[i] - 1;
    const PxField& tf = db.fields[c.tableField];
    c.field = MakeField(tf.code, tf.size, tf.name);
    c.descending = desc.fieldDescending[i] != 0;
    c.caseInsensitive = desc.caseInsensitive && tf.code == fcAlpha;
    used.insert(c.tableField);
    AddColumn(l, c);
  }
  l.indexFields = desc.fieldsInKey;
  if (db.isKeyed()) {
    for (int k = 0; k < db.keyFieldCount(); ++k) {
      if (used.count(k)) continue;
      Column c;
      c.tableField = k;
      c.field = MakeField(db.fields[k].code, db.fields[k].size, db.fields[k].name);
      AddColumn(l, c);
    }
    Column blk;
    blk.source = Source::BlockNumber;
    blk.field = MakeField(fcShort, 2, "Blk Num");
    AddColumn(l, blk);
  } else {
    Column tup, blk, off;
    tup.source = Source::TupleNumber;
    tup.field = MakeField(fcLong, 4, "Tup No");
    blk.source = Source::BlockNumber;
    blk.field = MakeField(fcShort, 2, "Blk Num");
    off.source = Source::TupleOffset;
    off.field = MakeField(fcShort, 2, "Tup Offset");
    AddColumn(l, tup);
    AddColumn(l, blk);
    AddColumn(l, off);
  }
  return l;
}

// ---------------------------------------------------------------------------
// Reading an index definition from its .X header
// ---------------------------------------------------------------------------

bool SameType(const PxField& a, const PxField& b) { return a.code == b.code && a.size == b.size; }

// Does an .X header with `m` index fields fit the table? The index fields
// must name distinct table fields of the same type; the fields after them
// must be those the layout adds (primary-key fields not in the index, by
// name and type, or the tuple fields of an unkeyed table).
bool FitsIndexFieldCount(const PxHeader& db, const PxHeader& x, int m, IndexDesc& desc) {
  const int n = x.fieldCount();
  desc.fieldsInKey = static_cast<std::uint16_t>(m);
  std::set<int> used;
  for (int i = 0; i < m; ++i) {
    std::uint16_t number = x.fields[i].number & ~kDescendingBit;
    if (number == 0 || number > db.fieldCount() || !used.insert(number).second) return false;
    if (!SameType(x.fields[i], db.fields[number - 1])) return false;
    desc.keyFields[i] = number;
    desc.fieldDescending[i] = (x.fields[i].number & kDescendingBit) ? 1 : 0;
  }
  Layout expected = MakeLayout(db, desc);
  if (static_cast<int>(expected.columns.size()) != n) return false;
  for (int i = m; i < n; ++i) {
    const PxField& want = expected.columns[i].field;
    if (!SameType(x.fields[i], want) || Upper(x.fields[i].name) != Upper(want.name)) return false;
  }
  return true;
}

Result IndexFields(const PxHeader& db, const PxHeader& x, const SecondaryIndex& ix,
                   IndexDesc& desc) {
  const std::string& path = ix.xPath;
  if (x.hasLevel4Layout()) {
    for (int m = 1; m < x.fieldCount() && m <= kMaxKeyFields; ++m)
      if (FitsIndexFieldCount(db, x, m, desc)) return Ok;
    return Fail(ErrCorruptIndex, path + ": the index fields do not match the table's fields");
  }
  // Level-3 files list no field numbers: the file name names the field.
  bool composite;
  int number;
  ParseIndexTag(ix.tag, composite, number);
  if (composite || number < 1 || number > db.fieldCount())
    return Fail(ErrCorruptIndex, path + ": cannot tell the indexed field of a level-3 index");
  desc.fieldsInKey = 1;
  desc.keyFields[0] = static_cast<std::uint16_t>(number);
  Layout expected = MakeLayout(db, desc);
  if (expected.columns.size() != x.fields.size() || !SameType(x.fields[0], db.fields[number - 1]))
    return Fail(ErrCorruptIndex, path + ": the index fields do not match the table's fields");
  return Ok;
}

// ---------------------------------------------------------------------------
// Index entries: the .X records of a table's records, in index order
// ---------------------------------------------------------------------------

struct Entry {
  std::vector<std::uint8_t> bytes;  // the .X record
  std::uint32_t position = 0;       // the record's position in table order
  std::vector<std::string> folded;  // upper-cased text of case-insensitive columns
};

// Upper-cases text in a code page, character by character, so that texts
// differing only in case compare equal.
std::string FoldCase(const std::string& text, const text::Codec& codec) {
  bool ascii = std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii && codec.asciiCompatible()) return Upper(text);
  auto utf8Of = [](UChar32 c) {
    char buffer[U8_MAX_LENGTH];
    std::int32_t length = 0;
    UBool error = false;
    U8_APPEND(buffer, length, U8_MAX_LENGTH, c, error);
    (void)error;  // a single code point always fits the buffer
    return std::string(buffer, static_cast<std::size_t>(length));
  };
  std::string utf8 = codec.toUtf8(text), upper, unused;
  upper.reserve(utf8.size());
  for (std::int32_t i = 0, n = static_cast<std::int32_t>(utf8.size()); i < n;) {
    UChar32 c;
    U8_NEXT(utf8.data(), i, n, c);
    if (c < 0) c = 0xFFFD;
    // A capital the code page lacks would turn into '?': keep the letter.
    std::string capital = utf8Of(u_toupper(c));
    upper += codec.fromUtf8(capital, unused) ? capital : utf8Of(c);
  }
  std::string out;
  codec.fromUtf8(upper, out);
  return out;
}

std::string StoredText(const std::uint8_t* p, std::size_t width) {
  return std::string(reinterpret_cast<const char*>(p),
                     strnlen(reinterpret_cast<const char*>(p), width));
}

class EntryBuilder {
 public:
  EntryBuilder(const PxHeader& db, const Layout& layout)
      : db_(db), layout_(layout), codec_(TableCodec(db)), driver_(TableDriver(db)) {}

  // The .X record of a table record at `place`.
  void makeBytes(const RecordPlace& place, const std::uint8_t* record, std::uint8_t* out) const {
    std::memset(out, 0, layout_.recordSize);
    for (const Column& c : layout_.columns) {
      std::uint8_t* p = out + c.field.offset;
      switch (c.source) {
        case Source::TableField: {
          const PxField& tf = db_.fields[c.tableField];
          std::memcpy(p, record + tf.offset, tf.width());
          break;
        }
        case Source::BlockNumber:
          EncodeInt(place.block, 2, p);
          break;
        case Source::TupleNumber:
          EncodeInt(static_cast<std::int64_t>(place.position) + 1, 4, p);
          break;
        case Source::TupleOffset:
          EncodeInt(static_cast<std::int64_t>(place.slot) * db_.recordSize(), 2, p);
          break;
      }
    }
  }

  Entry make(const RecordPlace& place, const std::uint8_t* record) const {
    Entry e;
    e.bytes.resize(layout_.recordSize);
    makeBytes(place, record, e.bytes.data());
    e.position = place.position;
    for (const Column& c : layout_.columns)
      if (c.caseInsensitive) e.folded.push_back(folded(c, e.bytes.data()));
    return e;
  }

  std::string folded(const Column& c, const std::uint8_t* entry) const {
    return FoldCase(StoredText(entry + c.field.offset, c.field.width()), codec_);
  }

  // Order of two .X records over their first `columns` columns. The folded
  // text of case-insensitive columns is taken from `af`/`bf` when given.
  int compare(const std::uint8_t* a, const std::uint8_t* b, std::size_t columns,
              const std::vector<std::string>* af = nullptr,
              const std::vector<std::string>* bf = nullptr) const {
    std::size_t fold = 0;
    for (std::size_t i = 0; i < columns; ++i) {
      const Column& c = layout_.columns[i];
      int r;
      if (c.caseInsensitive) {
        const std::string x = af ? (*af)[fold] : folded(c, a);
        const std::string y = bf ? (*bf)[fold] : folded(c, b);
        ++fold;
        if (x.empty() || y.empty())
          r = static_cast<int>(!x.empty()) - static_cast<int>(!y.empty());
        else
          r = text::CompareText(driver_, x, y);
      } else {
        r = CompareStored(c.field, a + c.field.offset, b + c.field.offset, driver_);
      }
      if (r != 0) return c.descending ? -r : r;
    }
    return 0;
  }

  int compare(const Entry& a, const Entry& b, std::size_t columns) const {
    return compare(a.bytes.data(), b.bytes.data(), columns, &a.folded, &b.folded);
  }

  // Sorts entries by the .X key: every column but the last.
  void sort(std::vector<Entry>& entries) const {
    const std::size_t keyColumns = layout_.columns.size() - 1;
    std::stable_sort(entries.begin(), entries.end(),
                     [&](const Entry& a, const Entry& b) { return compare(a, b, keyColumns) < 0; });
  }

  bool blankKey(const std::uint8_t* e) const {
    for (int i = 0; i < layout_.indexFields; ++i) {
      const PxField& f = layout_.columns[i].field;
      if (!IsZero(e + f.offset, f.width())) return false;
    }
    return true;
  }

  std::string describeKey(const std::uint8_t* e) const {
    std::string out;
    for (int i = 0; i < layout_.indexFields; ++i) {
      const PxField& f = layout_.columns[i].field;
      Value v = DecodeField(f, e + f.offset, codec_);
      std::string text = "blank";
      if (auto s = std::get_if<std::string>(&v))
        text = "\"" + *s + "\"";
      else if (auto n = std::get_if<std::int64_t>(&v))
        text = std::to_string(*n);
      else if (auto d = std::get_if<double>(&v))
        text = std::to_string(*d);
      else if (!IsNull(v))
        text = "(a value)";
      out += (i ? ", " : "") + text;
    }
    return out;
  }

 private:
  const PxHeader& db_;
  const Layout& layout_;
  const text::Codec& codec_;
  const text::LanguageDriver* driver_;
};

// ---------------------------------------------------------------------------
// Building the files
// ---------------------------------------------------------------------------

void PutU16(std::uint8_t* p, std::uint16_t v) {
  p[0] = v & 0xFF;
  p[1] = v >> 8;
}

void SetBlockHeader(std::uint8_t* b, std::uint16_t next, std::uint16_t prev, std::size_t count,
                    std::size_t recordSize) {
  PutU16(b, next);
  PutU16(b + 2, prev);
  PutU16(b + 4,
         static_cast<std::uint16_t>((static_cast<int>(count) - 1) * static_cast<int>(recordSize)));
}

// What the header of a rebuilt or new index file records about its content.
void SetContent(PxHeader& h, std::uint32_t records, std::uint16_t blocks) {
  h.setRecordCount(records);
  h.setBlocks(blocks, blocks, blocks ? 1 : 0, blocks);
  h.setFirstFreeBlock(0);
  h.clearModifiedFlags();
  // Real index files carry 1 here exactly when they hold blocks.
  h.raw[0x3A] = blocks ? 1 : 0;
}

struct Leaf {
  std::string key;
  std::uint16_t block = 0;
  std::uint32_t count = 0;
};

void PutCount(std::uint32_t v, std::uint8_t* p) {
  EncodeInt(std::min<std::uint32_t>(v, 0x7FFF), 2, p);
}

// The .Y file: a tree over the .X blocks, as a .PX is over .DB blocks.
// Level by level from the leaves up, each level's entries packed into full
// blocks; the root is the last block, and one chain runs through all.
std::string YFileBytes(PxHeader h, const std::vector<Leaf>& leaves) {
  const std::size_t bs = h.blockSize(), rs = h.recordSize(), perBlock = (bs - 6) / rs;
  std::vector<std::vector<std::uint8_t>> blocks;
  std::vector<Leaf> level = leaves;
  std::uint32_t entries = 0;
  std::uint8_t levels = 0;
  while (!level.empty()) {
    ++levels;
    entries += static_cast<std::uint32_t>(level.size());
    std::vector<Leaf> upper;
    for (std::size_t i = 0; i < level.size(); i += perBlock) {
      const std::size_t n = std::min(perBlock, level.size() - i);
      std::vector<std::uint8_t> b(bs, 0);
      PutU16(b.data() + 4,
             static_cast<std::uint16_t>((static_cast<int>(n) - 1) * static_cast<int>(rs)));
      std::uint32_t sum = 0;
      for (std::size_t k = 0; k < n; ++k) {
        std::uint8_t* e = b.data() + 6 + k * rs;
        std::memcpy(e, level[i + k].key.data(), rs - 6);
        EncodeInt(level[i + k].block, 2, e + rs - 6);
        PutCount(level[i + k].count, e + rs - 4);
        EncodeInt(0, 2, e + rs - 2);
        sum += level[i + k].count;
      }
      blocks.push_back(std::move(b));
      upper.push_back({level[i].key, static_cast<std::uint16_t>(blocks.size()), sum});
    }
    if (upper.size() == 1) break;
    level = std::move(upper);
  }
  const std::uint16_t total = static_cast<std::uint16_t>(blocks.size());
  for (std::uint16_t n = 1; n <= total; ++n) {
    PutU16(blocks[n - 1].data(), n < total ? n + 1 : 0);
    PutU16(blocks[n - 1].data() + 2, n - 1);
  }
  SetContent(h, entries, total);
  h.setRoot(total ? total : 1, levels);
  std::string out(h.raw.begin(), h.raw.end());
  for (const auto& b : blocks) out.append(reinterpret_cast<const char*>(b.data()), b.size());
  return out;
}

// Counters that tie an index to the rest of its family.
struct FamilyCounters {
  std::uint8_t tableChange = 0;        // .DB[0x2E]; the .X repeats it at 0x2E
  std::uint8_t primaryChange = 0;      // .PX[0x2C]; a keyed table's .X repeats it at 0x2F
  std::uint16_t lastFileNumber = 0;    // the largest file number (0x12) in the family
  std::uint32_t primaryBlockSize = 0;  // of the .PX; 0 without one
};

FamilyCounters CountersOf(const std::string& tablePath, const PxHeader& db) {
  FamilyCounters c;
  c.tableChange = db.raw[0x2E];
  c.primaryChange = db.raw[0x2D];
  c.lastFileNumber = db.u16(0x12);
  PxHeader h;
  const std::string px = FamilyPath(tablePath, ".PX");
  if (db.isKeyed() && io::FileExists(px) && ReadHeader(px, h) == Ok) {
    c.primaryChange = h.raw[0x2C];
    c.primaryBlockSize = h.blockSize();
    c.lastFileNumber = std::max(c.lastFileNumber, h.u16(0x12));
  }
  return c;
}

// The header of a new .X file.
PxHeader NewXHeader(const PxHeader& db, const Layout& layout, const SecondaryIndex& ix,
                    const FamilyCounters& counters, std::uint16_t fileNumber) {
  NewTableLayout nl;
  nl.version = db.version();
  nl.fileType = db.isKeyed() ? (ix.composite() ? ftSecondaryXGInc : ftSecondaryXInc)
                             : (ix.composite() ? ftSecondaryXG : ftSecondaryX);
  nl.blockSize = db.blockSize();
  nl.keyFieldCount = static_cast<std::uint16_t>(layout.columns.size() - 1);
  for (const Column& c : layout.columns) nl.fields.push_back(c.field);
  nl.tableName = FileNameOf(ix.xPath);
  nl.sortOrderId = db.sortOrderId;
  nl.sortByte = db.sortByte();
  nl.codePage = db.codePage();
  PxHeader h = BuildDbHeader(nl);
  h.raw[0x15] = static_cast<std::uint8_t>(ix.desc.keyFields[0]);
  h.put16(0x12, fileNumber);
  h.raw[0x2C] = 0xFF;
  h.raw[0x2D] = 2;  // as a new table's: the index has its .Y
  h.raw[0x2E] = counters.tableChange;
  h.raw[0x2F] = db.isKeyed() ? counters.primaryChange : 0;
  if (!h.hasLevel4Layout()) return h;
  bool descending = false;
  for (int i = 0; i < ix.desc.fieldsInKey; ++i) descending |= ix.desc.fieldDescending[i] != 0;
  // Level-7 index files mark the direction here: 0x01, or 0x11 when descending.
  if (db.version() >= 0x0C) h.raw[0x55] = descending ? 0x11 : 0x01;
  // After the field names: the field numbers (see the file comment), the
  // sort order and the index name.
  std::size_t at = VariablePartStart(h.version(), h.fileType()) + 6 * layout.columns.size() + 4 +
                   TableNameLength(h.version());
  for (const Column& c : layout.columns) at += c.field.name.size() + 1;
  for (std::size_t i = 0; i < layout.columns.size(); ++i) {
    const Column& c = layout.columns[i];
    std::uint16_t number = static_cast<int>(i) < layout.indexFields
                               ? static_cast<std::uint16_t>(c.tableField + 1)
                               : static_cast<std::uint16_t>(i + 1);
    if (c.descending) number |= kDescendingBit;
    h.put16(at, number);
    at += 2;
  }
  at += db.sortOrderId.size() + 1;
  std::string name;
  if (ix.composite()) TableCodec(db).fromUtf8(ix.desc.name, name);
  std::memcpy(&h.raw[at], name.data(), name.size());
  // The bytes in use end after the sort order, or after a composite
  // index's name.
  if (!name.empty()) at += name.size() + 1;
  h.put16(0x51, static_cast<std::uint16_t>(at));
  h.parse(ix.xPath, h.raw.data(), h.raw.size());
  return h;
}

// The header of a new .Y file over an .X file with header `x`.
PxHeader NewYHeader(const PxHeader& x, const SecondaryIndex& ix, const FamilyCounters& counters,
                    std::uint16_t fileNumber) {
  std::uint32_t bs = counters.primaryBlockSize;
  if (bs == 0) bs = std::min<std::uint32_t>(std::max<std::uint32_t>(x.blockSize(), 2048), 4096);
  PxHeader h = BuildPxHeader(x, FileNameOf(ix.yPath), bs);
  h.raw[0x04] = ix.composite() ? ftSecondaryYG : ftSecondaryY;
  h.put16(0x12, fileNumber);
  h.parse(ix.yPath, h.raw.data(), h.raw.size());
  return h;
}

// Does a .Y header fit the .X?
bool FitsY(const PxHeader& x, const PxHeader& y) {
  std::size_t keySize = 0;
  for (int i = 0; i + 1 < x.fieldCount(); ++i) keySize += x.fields[i].width();
  return (y.fileType() == ftSecondaryY || y.fileType() == ftSecondaryYG) &&
         y.recordSize() == keySize + 6;
}

// An existing .Y header that fits the .X, whose unknown bytes a rebuild keeps.
bool ReusableY(const std::string& path, const PxHeader& x, PxHeader& y) {
  return io::FileExists(path) && ReadHeader(path, y) == Ok && FitsY(x, y);
}

// Writes `bytes` as the new content of `path` through the transaction:
// only the regions that differ are journaled and written.
Result WriteThrough(const std::string& path, const std::string& bytes, io::Transaction& tx) {
  io::File f;
  std::string old;
  if (io::FileExists(path)) {
    if (Result r = io::ReadWholeFile(path, old)) return r;
    if (Result r = f.open(path, io::File::Mode::ReadWrite)) return r;
  } else if (Result r = tx.create(f, path)) {
    return r;
  }
  if (old.size() != bytes.size())
    if (Result r = tx.resize(f, bytes.size())) return r;
  // Each write flushes the journal once: runs of changed chunks go in one.
  constexpr std::size_t kChunk = 1024;
  auto changed = [&](std::size_t at) {
    const std::size_t n = std::min(kChunk, bytes.size() - at);
    return at + n > old.size() || std::memcmp(old.data() + at, bytes.data() + at, n) != 0;
  };
  for (std::size_t at = 0; at < bytes.size();) {
    if (!changed(at)) {
      at += kChunk;
      continue;
    }
    std::size_t end = at;
    while (end < bytes.size() && changed(end)) end += kChunk;
    end = std::min(end, bytes.size());
    if (Result r = tx.write(f, at, bytes.data() + at, end - at)) return r;
    at = end;
  }
  return Ok;
}

Result WriteStaged(const std::string& target, const std::string& bytes,
                   std::vector<io::Replacement>& plan) {
  const std::string staged = target + kStagedSuffix;
  plan.push_back({staged, target});
  io::File f;
  if (Result r = f.open(staged, io::File::Mode::Create)) return r;
  if (Result r = f.write(0, bytes.data(), bytes.size())) return r;
  return f.sync();
}

// The headers of an index built whole: those of its files, whose bytes we
// do not set are kept (`reuse`), or new ones.
Result IndexHeaders(const PxHeader& db, const SecondaryIndex& ix, const Layout& layout,
                    const FamilyCounters& counters, bool reuse, std::uint16_t& fileNumber,
                    PxHeader& x, PxHeader& y) {
  if (reuse && io::FileExists(ix.xPath)) {
    if (Result r = ReadHeader(ix.xPath, x)) return r;
    if (x.recordSize() != layout.recordSize)
      return Fail(ErrCorruptIndex, ix.xPath + ": the records do not fit the index's fields");
    x.raw[0x2E] = counters.tableChange;
    if (db.isKeyed()) x.raw[0x2F] = counters.primaryChange;
  } else {
    x = NewXHeader(db, layout, ix, counters, ++fileNumber);
  }
  if (!(reuse && ReusableY(ix.yPath, x, y))) {
    y = NewYHeader(x, ix, counters, ++fileNumber);
    y.raw[0x2C] = x.raw[0x2D];
  }
  if ((x.blockSize() - 6) / layout.recordSize < 1 || (y.blockSize() - 6) / y.recordSize() < 2)
    return Fail(ErrInvalidIndex, ix.xPath + ": the index key is too long for the file's blocks");
  return Ok;
}

// Where the bytes of an .X file built whole go.
using Sink = std::function<Result(std::uint64_t offset, const std::uint8_t* data, std::size_t n)>;

// Writes an .X file from entries in index order: full blocks, one at a
// time, each linked to the next; the header last, with the counts.
class XFileWriter {
 public:
  XFileWriter(PxHeader h, std::size_t recordSize, std::size_t keySize, Sink sink)
      : h_(std::move(h)),
        rs_(recordSize),
        keySize_(keySize),
        perBlock_((h_.blockSize() - 6) / recordSize),
        sink_(std::move(sink)),
        block_(h_.blockSize(), 0) {}

  Result add(const std::uint8_t* entry) {
    if (inBlock_ == perBlock_)
      if (Result r = writeBlock(static_cast<std::uint16_t>(blocks_ + 2))) return r;
    if (inBlock_ == 0)
      leaves.push_back({std::string(reinterpret_cast<const char*>(entry), keySize_),
                        static_cast<std::uint16_t>(blocks_ + 1), 0});
    std::memcpy(block_.data() + 6 + inBlock_ * rs_, entry, rs_);
    ++inBlock_;
    ++leaves.back().count;
    ++entries_;
    return Ok;
  }

  // Writes the last block and the header; `size` is the file's length.
  Result finish(std::uint64_t& size) {
    if (inBlock_ > 0)
      if (Result r = writeBlock(0)) return r;
    SetContent(h_, entries_, blocks_);
    size = h_.raw.size() + static_cast<std::uint64_t>(blocks_) * h_.blockSize();
    return sink_(0, h_.raw.data(), h_.raw.size());
  }

  std::vector<Leaf> leaves;  // per block its first key, number and count

 private:
  Result writeBlock(std::uint16_t next) {
    if (blocks_ == 0xFFFF) return Fail(ErrTableFull, "the index has no room for another block");
    SetBlockHeader(block_.data(), next, blocks_, inBlock_, rs_);
    const std::uint64_t at = h_.raw.size() + static_cast<std::uint64_t>(blocks_) * h_.blockSize();
    if (Result r = sink_(at, block_.data(), block_.size())) return r;
    std::fill(block_.begin(), block_.end(), 0);
    ++blocks_;
    inBlock_ = 0;
    return Ok;
  }

  PxHeader h_;
  const std::size_t rs_, keySize_, perBlock_;
  Sink sink_;
  std::vector<std::uint8_t> block_;
  std::size_t inBlock_ = 0;
  std::uint16_t blocks_ = 0;
  std::uint32_t entries_ = 0;
};

// Builds an index's files whole from the table's records: the entries are
// sorted in bounded memory, the .X written block by block through `xOut`
// (`xSize`: its length), the .Y made from the blocks' first keys. A unique
// index that would hold a key twice refuses (ErrKeyViolation).
Result BuildIndex(const std::string& tablePath, const PxHeader& db, const SecondaryIndex& ix,
                  RecordSource& records, const PxHeader& x, const PxHeader& y, const Sink& xOut,
                  std::uint64_t& xSize, std::string& yBytes) {
  const Layout layout = MakeLayout(db, ix.desc);
  const EntryBuilder builder(db, layout);
  const std::size_t keyColumns = layout.columns.size() - 1;
  io::ExternalSorter sorter(
      layout.recordSize,
      [&](const std::uint8_t* a, const std::uint8_t* b) {
        return builder.compare(a, b, keyColumns);
      },
      DirectoryOf(tablePath));
  std::vector<std::uint8_t> entry(layout.recordSize);
  Result r = records.visit([&](const RecordPlace& place, const std::uint8_t* record) {
    builder.makeBytes(place, record, entry.data());
    return sorter.add(entry.data());
  });
  if (r) return r;
  XFileWriter writer(x, layout.recordSize, layout.keySize(), xOut);
  std::vector<std::uint8_t> previous;
  for (;;) {
    const std::uint8_t* e;
    bool end = false;
    if (Result e2 = sorter.next(e, end)) return e2;
    if (end) break;
    if (ix.desc.unique && !previous.empty() && !builder.blankKey(e) &&
        builder.compare(previous.data(), e, static_cast<std::size_t>(layout.indexFields)) == 0)
      return Fail(ErrKeyViolation, tablePath + ": the unique index " + ix.desc.name +
                                       " would hold the key " + builder.describeKey(e) + " twice");
    previous.assign(e, e + layout.recordSize);
    if (Result w = writer.add(e)) return w;
  }
  if (Result w = writer.finish(xSize)) return w;
  yBytes = YFileBytes(y, writer.leaves);
  return Ok;
}

// Builds an index whole into staged files of `plan`.
Result StageIndexFiles(const std::string& tablePath, const PxHeader& db, const SecondaryIndex& ix,
                       RecordSource& records, const PxHeader& x, const PxHeader& y,
                       std::vector<io::Replacement>& plan) {
  const std::string staged = ix.xPath + kStagedSuffix;
  plan.push_back({staged, ix.xPath});
  io::File f;
  if (Result r = f.open(staged, io::File::Mode::Create)) return r;
  std::uint64_t size = 0;
  std::string yBytes;
  Result r = BuildIndex(
      tablePath, db, ix, records, x, y,
      [&f](std::uint64_t at, const std::uint8_t* data, std::size_t n) {
        return f.write(at, data, n);
      },
      size, yBytes);
  if (r == Ok) r = f.sync();
  if (r == Ok) r = WriteStaged(ix.yPath, yBytes, plan);
  return r;
}

// The largest file number among the index files of the table.
std::uint16_t LastFileNumber(const std::vector<SecondaryIndex>& indexes, std::uint16_t start) {
  std::uint16_t last = start;
  for (const SecondaryIndex& ix : indexes) {
    for (const std::string& path : {ix.xPath, ix.yPath}) {
      PxHeader h;
      if (io::FileExists(path) && ReadHeader(path, h) == Ok) last = std::max(last, h.u16(0x12));
    }
  }
  return last;
}

// The records of a .DB file, read block by block along its chain.
class DiskRecords : public RecordSource {
 public:
  DiskRecords(std::string path, PxHeader db) : path_(std::move(path)), db_(std::move(db)) {}
  std::uint32_t count() const override { return db_.recordCount(); }

  Result visit(const Visitor& visitor) override {
    io::File f;
    if (Result r = f.open(path_, io::File::Mode::Read)) return r;
    std::uint64_t size = 0;
    if (Result r = f.size(size)) return r;
    const std::size_t bs = db_.blockSize(), rs = db_.recordSize();
    std::vector<std::uint8_t> block(bs);
    RecordPlace place;
    std::size_t seen = 0;
    for (std::uint16_t number = db_.firstBlock(); number != 0;) {
      const std::uint64_t at = db_.headerSize() + static_cast<std::uint64_t>(number - 1) * bs;
      if (at + 6 > size || ++seen > 0xFFFF)
        return Fail(ErrCorruptBlock,
                    path_ + ": the block chain leaves the file at block " + std::to_string(number));
      std::fill(block.begin(), block.end(), 0);
      if (Result r = f.read(at, block.data(), std::min<std::uint64_t>(bs, size - at))) return r;
      if (std::uint32_t key = db_.encryption()) DecryptDbBlock(block.data(), bs, key, number);
      const int add = static_cast<std::int16_t>(block[4] | (block[5] << 8));
      const long count = (add + static_cast<long>(rs)) / static_cast<long>(rs);
      if (count < 0 || 6 + count * rs > bs)
        return Fail(ErrCorruptBlock,
                    path_ + ": block " + std::to_string(number) + " has an invalid record count");
      for (long slot = 0; slot < count; ++slot) {
        place.block = number;
        place.slot = static_cast<std::uint16_t>(slot);
        if (Result r = visitor(place, block.data() + 6 + slot * rs)) return r;
        ++place.position;
      }
      number = static_cast<std::uint16_t>(block[0] | (block[1] << 8));
    }
    return Ok;
  }

 private:
  std::string path_;
  PxHeader db_;
};

// Collects and sorts the entries of several indexes in one pass over the records.
Result SortedEntries(const PxHeader& db, const std::vector<Layout>& layouts, RecordSource& records,
                     std::vector<std::vector<Entry>>& out) {
  std::vector<EntryBuilder> builders;
  for (const Layout& l : layouts) builders.emplace_back(db, l);
  out.assign(layouts.size(), {});
  for (auto& v : out) v.reserve(records.count());
  Result r = records.visit([&](const RecordPlace& place, const std::uint8_t* record) -> Result {
    for (std::size_t i = 0; i < builders.size(); ++i)
      out[i].push_back(builders[i].make(place, record));
    return Ok;
  });
  if (r) return r;
  for (std::size_t i = 0; i < builders.size(); ++i) builders[i].sort(out[i]);
  return Ok;
}

// Rebuilds one index's files whole from the table's records on disk,
// through `tx`: for an index whose files cannot be used as they are.
Result RebuildIndexFiles(const std::string& tablePath, const PxHeader& db, const SecondaryIndex& ix,
                         io::Transaction& tx) {
  std::vector<SecondaryIndex> all;
  if (Result r = ReadSecondaryIndexes(tablePath, db, all)) return r;
  FamilyCounters counters = CountersOf(tablePath, db);
  std::uint16_t fileNumber = LastFileNumber(all, counters.lastFileNumber);
  PxHeader x, y;
  if (Result r = IndexHeaders(db, ix, MakeLayout(db, ix.desc), counters, true, fileNumber, x, y))
    return r;
  io::File f;
  Result r = io::FileExists(ix.xPath) ? f.open(ix.xPath, io::File::Mode::ReadWrite)
                                      : tx.create(f, ix.xPath);
  if (r) return r;
  DiskRecords records(tablePath, db);
  std::uint64_t size = 0;
  std::string yBytes;
  r = BuildIndex(
      tablePath, db, ix, records, x, y,
      [&](std::uint64_t at, const std::uint8_t* data, std::size_t n) {
        return tx.write(f, at, data, n);
      },
      size, yBytes);
  if (r == Ok) r = tx.resize(f, size);
  if (r == Ok) r = WriteThrough(ix.yPath, yBytes, tx);
  return r;
}

// One index kept current through a change: its .X as a sorted file over
// its .Y tree.
struct LiveIndex {
  LiveIndex(const PxHeader& table, const SecondaryIndex& ix)
      : db(table), index(ix), layout(MakeLayout(db, ix.desc)), builder(db, layout) {}

  PxHeader db;
  SecondaryIndex index;
  Layout layout;
  EntryBuilder builder;
  io::File xFile, yFile;
  std::optional<BlockFile> x, y;
  std::optional<SortedFile> sorted;
  // Entries of an append-only change, placed in order at its end.
  std::unique_ptr<io::ExternalSorter> deferred;
  std::vector<std::uint8_t> entry;

  std::size_t keyColumns() const { return layout.columns.size() - 1; }
  int compareKeys(const std::uint8_t* a, const std::uint8_t* b) const {
    return builder.compare(a, b, keyColumns());
  }

  Result open(io::Transaction& tx) {
    if (Result r = xFile.open(index.xPath, io::File::Mode::ReadWrite)) return r;
    if (Result r = yFile.open(index.yPath, io::File::Mode::ReadWrite)) return r;
    PxHeader xh, yh;
    if (Result r = ReadHeaderThrough(xFile, tx, xh)) return r;
    if (Result r = ReadHeaderThrough(yFile, tx, yh)) return r;
    if (xh.recordSize() != layout.recordSize || !FitsY(xh, yh))
      return Fail(ErrCorruptIndex, index.xPath + ": the index files do not fit its fields");
    // Every record has its entry: an index that counts otherwise is out of date.
    if (xh.recordCount() != db.recordCount())
      return Fail(ErrCorruptIndex, index.xPath + ": the index is out of date");
    x.emplace(xFile, tx, xh);
    y.emplace(yFile, tx, yh);
    if (Result r = x->open()) return r;
    if (Result r = y->open()) return r;
    sorted.emplace(
        *x, *y, [this](const std::uint8_t* a, const std::uint8_t* b) { return compareKeys(a, b); },
        nullptr);
    return sorted->open();
  }

  // Puts an entry in place; a unique index refuses a second entry with the
  // same index fields (unless they are all blank).
  Result insert(const std::string& tablePath, const std::uint8_t* e) {
    if (index.desc.unique && !builder.blankKey(e)) {
      const auto fields = static_cast<std::size_t>(layout.indexFields);
      SortedFile::Compare byFields = [this, fields](const std::uint8_t* a, const std::uint8_t* b) {
        return builder.compare(a, b, fields);
      };
      Slot at, match;
      bool exact;
      if (Result r = sorted->find(e, at, exact, match, &byFields)) return r;
      if (exact)
        return Fail(ErrKeyViolation, tablePath + ": the unique index " + index.desc.name +
                                         " would hold the key " + builder.describeKey(e) +
                                         " twice");
    }
    Slot placed;
    bool duplicate;
    if (Result r = sorted->insert(e, placed, duplicate)) return r;
    if (duplicate)
      return Fail(ErrCorruptIndex,
                  index.xPath + ": the index holds an entry for this record already");
    return Ok;
  }

  // Where the entry equal to `e` (by its key) is.
  Result find(const std::uint8_t* e, Slot& match) {
    Slot at;
    bool exact;
    if (Result r = sorted->find(e, at, exact, match)) return r;
    if (!exact)
      return Fail(ErrCorruptIndex,
                  index.xPath + ": the index has no entry for a record of the table");
    return Ok;
  }

  Result remove(const std::uint8_t* e) {
    Slot match;
    if (Result r = find(e, match)) return r;
    return sorted->remove(match);
  }

  // The records of an unkeyed table after the one taken from `place` moved
  // up by one: entries name them by number (all after it) and by offset in
  // their block (those after it in the same block). Every entry is looked
  // at, and the tree's keys, which hold the numbers too.
  Result renumber(const RecordPlace& place) {
    const Column& tup = layout.columns[layout.columns.size() - 3];
    const Column& blk = layout.columns[layout.columns.size() - 2];
    const Column& off = layout.columns[layout.columns.size() - 1];
    const std::int64_t gone = static_cast<std::int64_t>(place.position) + 1;
    const std::int64_t offset = static_cast<std::int64_t>(place.slot) * db.recordSize();
    auto shift = [&](std::uint8_t* e, bool withOffset) {
      bool changed = false;
      const std::int64_t number = DecodeInt(e + tup.field.offset, 4);
      if (number > gone) {
        EncodeInt(number - 1, 4, e + tup.field.offset);
        changed = true;
      }
      if (withOffset && DecodeInt(e + blk.field.offset, 2) == place.block) {
        const std::int64_t at = DecodeInt(e + off.field.offset, 2);
        if (at > offset) {
          EncodeInt(at - db.recordSize(), 2, e + off.field.offset);
          changed = true;
        }
      }
      return changed;
    };
    if (Result r = shiftAll(*x, [&](std::uint8_t* e) { return shift(e, true); })) return r;
    return shiftAll(*y, [&](std::uint8_t* e) { return shift(e, false); });
  }

  template <typename Shift>
  static Result shiftAll(BlockFile& file, Shift shift) {
    std::uint32_t seen = 0;
    for (std::uint16_t n = file.header().firstBlock(); n != 0; ++seen) {
      if (seen > 0xFFFF) return Fail(ErrCorruptIndex, file.path() + ": the block chain loops");
      std::uint8_t* block;
      std::uint16_t count;
      if (Result r = file.read(n, block)) return r;
      if (Result r = file.count(n, block, count)) return r;
      bool changed = false;
      for (std::uint16_t i = 0; i < count; ++i) changed |= shift(file.record(block, i));
      if (changed)
        if (Result r = file.change(n, block)) return r;
      n = BlockFile::Next(block);
      if (seen % 256 == 255)
        if (Result r = file.flush()) return r;
    }
    return Ok;
  }

  Result flush() {
    // Real index files carry 1 here exactly when they hold blocks.
    x->header().raw[0x3A] = x->header().blocksInUse() ? 1 : 0;
    y->header().raw[0x3A] = y->header().blocksInUse() ? 1 : 0;
    if (Result r = x->flush()) return r;
    return y->flush();
  }
};

// Keeps every secondary index of a table current through its changes,
// entry by entry.
class IndexMaintainer : public TableParticipant {
 public:
  Result beginChange(ParadoxTable& table, io::Transaction& tx, bool appendOnly) override {
    live_.clear();
    keyed_ = table.header().isKeyed();
    std::vector<SecondaryIndex> indexes;
    if (Result r = ReadSecondaryIndexes(table.path(), table.header(), indexes)) return r;
    for (const SecondaryIndex& ix : indexes) {
      auto live = std::make_unique<LiveIndex>(table.header(), ix);
      Result r = live->open(tx);
      if (r == ErrCorruptIndex || r == ErrCorruptHeader || r == ErrCorruptBlock ||
          r == ErrNotFound) {
        // An index that cannot be kept as it is, is rebuilt first.
        ClearLastError();
        live = std::make_unique<LiveIndex>(table.header(), ix);
        r = RebuildIndexFiles(table.path(), table.header(), ix, tx);
        if (r == Ok) r = live->open(tx);
      }
      if (r) return r;
      if (appendOnly)
        live->deferred = std::make_unique<io::ExternalSorter>(
            live->layout.recordSize,
            [l = live.get()](const std::uint8_t* a, const std::uint8_t* b) {
              return l->compareKeys(a, b);
            },
            DirectoryOf(table.path()));
      live_.push_back(std::move(live));
    }
    return Ok;
  }

  Result recordAdded(ParadoxTable& table, const RecordPlace& place,
                     const std::uint8_t* record) override {
    for (auto& l : live_) {
      l->entry.resize(l->layout.recordSize);
      l->builder.makeBytes(place, record, l->entry.data());
      Result r = l->deferred ? l->deferred->add(l->entry.data())
                             : l->insert(table.path(), l->entry.data());
      if (r) return r;
    }
    return Ok;
  }

  Result recordRemoved(ParadoxTable& table, const RecordPlace& place,
                       const std::uint8_t* record) override {
    (void)table;
    for (auto& l : live_) {
      if (Result r = removeEntry(*l, place, record)) return r;
      if (!keyed_)
        if (Result r = l->renumber(place)) return r;
    }
    return Ok;
  }

  Result recordReplaced(ParadoxTable& table, const RecordPlace& place, const std::uint8_t* before,
                        const std::uint8_t* after) override {
    for (auto& l : live_) {
      std::vector<std::uint8_t> old(l->layout.recordSize);
      l->builder.makeBytes(place, before, old.data());
      l->entry.resize(l->layout.recordSize);
      l->builder.makeBytes(place, after, l->entry.data());
      if (old == l->entry) continue;
      if (Result r = l->remove(old.data())) return r;
      if (Result r = l->insert(table.path(), l->entry.data())) return r;
    }
    return Ok;
  }

  // A keyed table's entries name the block of their record ("Blk Num").
  Result recordsMoved(ParadoxTable& table, std::uint16_t from, std::uint16_t to,
                      const std::uint8_t* records, std::uint16_t count) override {
    const std::size_t rs = table.header().recordSize();
    for (auto& l : live_) {
      const Column& blk = l->layout.columns.back();
      l->entry.resize(l->layout.recordSize);
      for (std::uint16_t i = 0; i < count; ++i) {
        l->builder.makeBytes({0, from, 0}, records + i * rs, l->entry.data());
        Slot match;
        if (Result r = l->find(l->entry.data(), match)) return r;
        EncodeInt(to, 2, l->entry.data() + blk.field.offset);
        if (Result r = l->sorted->chain().replace(match, l->entry.data())) return r;
      }
    }
    return Ok;
  }

  Result flush(ParadoxTable& table) override {
    (void)table;
    for (auto& l : live_)
      if (Result r = l->flush()) return r;
    return Ok;
  }

  Result beforeCommit(ParadoxTable& table, io::Transaction& tx) override {
    (void)tx;
    for (auto& l : live_) {
      if (!l->deferred) continue;
      std::unique_ptr<io::ExternalSorter> entries = std::move(l->deferred);
      for (;;) {
        const std::uint8_t* e;
        bool end = false;
        if (Result r = entries->next(e, end)) return r;
        if (end) break;
        if (Result r = l->insert(table.path(), e)) return r;
        if (l->x->cachedBytes() + l->y->cachedBytes() > (4u << 20))
          if (Result r = l->flush()) return r;
      }
    }
    return flush(table);
  }

  void afterChange(ParadoxTable& table, bool committed) override {
    (void)table, (void)committed;
    live_.clear();
  }

 private:
  static Result removeEntry(LiveIndex& l, const RecordPlace& place, const std::uint8_t* record) {
    l.entry.resize(l.layout.recordSize);
    l.builder.makeBytes(place, record, l.entry.data());
    return l.remove(l.entry.data());
  }

  std::vector<std::unique_ptr<LiveIndex>> live_;
  bool keyed_ = false;
};

bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxIndexNameLength) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\';
  });
}

}  // namespace

// ---------------------------------------------------------------------------

bool ParseIndexTag(const std::string& ext, bool& composite, int& number) {
  auto hexValue = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (ext.size() != 3 || ext[0] != 'X') return false;
  if (ext[1] == 'G') {
    const char* at = std::strchr(kCompositeDigits, ext[2]);
    if (!at || ext[2] == '\0') return false;
    composite = true;
    number = static_cast<int>(at - kCompositeDigits);
    return true;
  }
  int hi = hexValue(ext[1]), lo = hexValue(ext[2]);
  if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) return false;
  composite = false;
  number = hi * 16 + lo;
  return true;
}

Result ReadIndexDefinition(const std::string& xPath, const PxHeader& db, const IndexFlags* flags,
                           SecondaryIndex& out) {
  out.xPath = xPath;
  std::string file = FileNameOf(xPath);
  out.tag = Upper(file.substr(file.find_last_of('.') + 1));
  bool composite;
  int number;
  if (!ParseIndexTag(out.tag, composite, number))
    return Fail(ErrInvalidIndex, xPath + ": not the name of a secondary index file");
  out.yPath = FamilyPath(xPath, "." + YTag(out.tag));
  PxHeader x;
  if (Result r = ReadHeader(xPath, x)) return r;
  const std::uint8_t type = x.fileType();
  if (type != ftSecondaryX && type != ftSecondaryXInc && type != ftSecondaryXG &&
      type != ftSecondaryXGInc)
    return Fail(ErrCorruptIndex,
                xPath + ": not a secondary index file (file type " + std::to_string(type) + ")");
  IndexDesc& d = out.desc;
  d = IndexDesc{};
  if (Result r = IndexFields(db, x, out, d)) return r;
  const text::Codec& codec = TableCodec(db);
  d.name = composite ? codec.toUtf8(x.indexName) : codec.toUtf8(db.fields[d.keyFields[0] - 1].name);
  d.id = static_cast<std::uint16_t>(composite ? kCompositeIdBase + number : number);
  d.blockSize = static_cast<std::uint16_t>(x.blockSize());
  bool all = true;
  for (int i = 0; i < d.fieldsInKey; ++i) all &= d.fieldDescending[i] != 0;
  d.descending = all ? 1 : 0;
  IndexFlags f;
  f.maintained = type == ftSecondaryXInc || type == ftSecondaryXGInc;
  if (flags) f = *flags;
  d.unique = f.unique;
  d.caseInsensitive = f.caseInsensitive;
  d.maintained = f.maintained;
  return Ok;
}

Result ReadSecondaryIndexes(const std::string& tablePath, const PxHeader& db,
                            std::vector<SecondaryIndex>& out) {
  out.clear();
  const std::string dir = DirectoryOf(tablePath), stem = Upper(StemOf(tablePath));
  struct Found {
    bool composite;
    int number;
    std::string path;
  };
  std::vector<Found> found;
  if (auto names = io::DirectoryNames(dir)) {
    for (const std::string& name : *names) {
      std::size_t dot = name.find_last_of('.');
      if (dot == std::string::npos || Upper(name.substr(0, dot)) != stem) continue;
      Found f;
      if (ParseIndexTag(Upper(name.substr(dot + 1)), f.composite, f.number)) {
        f.path = dir + "/" + name;
        found.push_back(f);
      }
    }
  }
  std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
    return std::tie(a.composite, a.number, a.path) < std::tie(b.composite, b.number, b.path);
  });
  FlagMap flags;
  if (!found.empty())
    if (Result r = ReadFlags(tablePath, flags)) return r;
  for (const Found& f : found) {
    SecondaryIndex ix;
    std::string tag = Upper(FileNameOf(f.path).substr(FileNameOf(f.path).find_last_of('.') + 1));
    auto it = flags.find(tag);
    if (Result r = ReadIndexDefinition(f.path, db, it == flags.end() ? nullptr : &it->second, ix))
      return r;
    out.push_back(std::move(ix));
  }
  return Ok;
}

Result PlanSecondaryIndex(const std::string& tablePath, const PxHeader& db,
                          const std::vector<SecondaryIndex>& existing, const IndexDesc& desc,
                          SecondaryIndex& out) {
  auto bad = [&](Result code, const std::string& what) {
    return Fail(code, tablePath + ": " + what);
  };
  if (desc.primary)
    return bad(ErrNotSupported, "the primary index cannot be added as a secondary index");
  if (desc.expression || desc.subset)
    return bad(ErrNotSupported, "Paradox indexes have no expressions or conditions");
  if (desc.fieldsInKey == 0 || desc.fieldsInKey > kMaxKeyFields)
    return bad(ErrInvalidIndex, "an index has 1 to " + std::to_string(kMaxKeyFields) + " fields");
  out = SecondaryIndex{};
  IndexDesc& d = out.desc;
  d = desc;
  std::set<int> used;
  bool anyDescending = false;
  for (int i = 0; i < d.fieldsInKey; ++i) {
    const int number = d.keyFields[i];
    if (number < 1 || number > db.fieldCount())
      return bad(ErrInvalidIndex, "the table has no field number " + std::to_string(number));
    if (!used.insert(number).second)
      return bad(ErrInvalidIndex, "field number " + std::to_string(number) + " is indexed twice");
    if (IsBlobCode(db.fields[number - 1].code))
      return bad(ErrInvalidIndex, "BLOB fields cannot be indexed");
    if (d.descending) d.fieldDescending[i] = 1;
    anyDescending |= d.fieldDescending[i] != 0;
  }
  for (int i = d.fieldsInKey; i < kMaxKeyFields; ++i) {
    d.keyFields[i] = 0;
    d.fieldDescending[i] = 0;
  }
  if (db.isKeyed() && d.keyFields[0] == 1)
    return bad(ErrInvalidIndex, "the first field of the primary key cannot lead a secondary index");
  if (anyDescending && db.version() < 0x0C)
    return bad(ErrNotSupported, "descending indexes need table level 7");
  const text::Codec& codec = TableCodec(db);
  const std::string fieldName = codec.toUtf8(db.fields[d.keyFields[0] - 1].name);
  const bool single = d.fieldsInKey == 1 && !d.caseInsensitive && !anyDescending &&
                      (d.name.empty() || Upper(d.name) == Upper(fieldName));
  if (!single && !db.hasLevel4Layout())
    return bad(ErrNotSupported, "level-3 tables have single-field, case-sensitive indexes only");
  int number = 0;
  if (single) {
    d.name = fieldName;
    number = d.keyFields[0];
    out.tag = "X" + Hex2(number);
  } else {
    if (!ValidName(d.name))
      return bad(ErrInvalidIndex, "index name \"" + d.name + "\" must have 1 to " +
                                      std::to_string(kMaxIndexNameLength) +
                                      " characters and no control characters or slashes");
    std::string stored;
    if (!codec.fromUtf8(d.name, stored))
      return bad(ErrInvalidIndex,
                 "index name " + d.name + " has characters the code page cannot hold");
    std::set<int> taken;
    for (const SecondaryIndex& ix : existing) {
      bool composite;
      int n;
      if (ParseIndexTag(ix.tag, composite, n) && composite) taken.insert(n);
    }
    while (taken.count(number)) ++number;
    if (number >= static_cast<int>(std::strlen(kCompositeDigits)))
      return bad(ErrInvalidIndex, "the table has no room for another composite index");
    out.tag = std::string("XG") + kCompositeDigits[number];
  }
  for (const SecondaryIndex& ix : existing) {
    if (Upper(ix.desc.name) == Upper(d.name))
      return bad(ErrInvalidIndex, "an index named " + d.name + " exists already");
    if (ix.tag == out.tag)
      return bad(ErrInvalidIndex, "field " + fieldName + " has a single-field index already");
  }
  d.id = static_cast<std::uint16_t>(single ? number : kCompositeIdBase + number);
  d.primary = 0;
  d.descending = anyDescending &&
                 std::all_of(d.fieldDescending.begin(), d.fieldDescending.begin() + d.fieldsInKey,
                             [](std::int16_t v) { return v != 0; });
  d.blockSize = static_cast<std::uint16_t>(db.blockSize());
  d.tagName.clear();
  d.format.clear();
  out.xPath = FamilyPath(tablePath, "." + out.tag);
  out.yPath = FamilyPath(tablePath, "." + YTag(out.tag));
  return Ok;
}

Result StageSecondaryIndex(const std::string& tablePath, const PxHeader& db,
                           const SecondaryIndex& index, RecordSource& records,
                           std::vector<io::Replacement>& plan) {
  std::vector<SecondaryIndex> existing;
  if (Result r = ReadSecondaryIndexes(tablePath, db, existing)) return r;
  FamilyCounters counters = CountersOf(tablePath, db);
  std::uint16_t fileNumber = LastFileNumber(existing, counters.lastFileNumber);
  PxHeader x, y;
  if (Result r =
          IndexHeaders(db, index, MakeLayout(db, index.desc), counters, false, fileNumber, x, y))
    return r;
  if (Result r = StageIndexFiles(tablePath, db, index, records, x, y, plan)) return r;
  existing.push_back(index);
  return StageIndexFlags(tablePath, existing, plan);
}

Result StageIndexFlags(const std::string& tablePath, const std::vector<SecondaryIndex>& indexes,
                       std::vector<io::Replacement>& plan) {
  const std::string path = SidePath(tablePath);
  if (indexes.empty()) {
    if (io::FileExists(path)) plan.push_back({"", path});
    return Ok;
  }
  return WriteStaged(path, FlagsText(indexes), plan);
}

namespace {

// The positions of the records in the order of a current .X: its chain
// holds the entries in index order, and each names its record - by number
// in an unkeyed table, by block and primary key in a keyed one. False when
// the file cannot tell (out of date, or an entry names no record).
bool OrderFromIndexFile(ParadoxTable& table, const SecondaryIndex& index,
                        std::vector<std::uint32_t>& positions) {
  const PxHeader& db = table.header();
  const Layout layout = MakeLayout(db, index.desc);
  PxHeader x;
  io::File f;
  std::uint64_t size = 0;
  if (ReadHeader(index.xPath, x) != Ok || x.recordSize() != layout.recordSize ||
      x.recordCount() != table.recordCount() || f.open(index.xPath, io::File::Mode::Read) != Ok ||
      f.size(size) != Ok)
    return false;
  const std::size_t bs = x.blockSize(), rs = layout.recordSize;
  const std::size_t n = layout.columns.size();
  std::vector<std::uint8_t> block(bs), key(db.recordSize());
  positions.clear();
  positions.reserve(table.recordCount());
  std::uint32_t seen = 0;
  for (std::uint16_t b = x.firstBlock(); b != 0;
       b = static_cast<std::uint16_t>(block[0] | (block[1] << 8))) {
    const std::uint64_t at = x.headerSize() + static_cast<std::uint64_t>(b - 1) * bs;
    if (++seen > 0xFFFF || at + bs > size || f.read(at, block.data(), bs) != Ok) return false;
    const long count =
        (static_cast<std::int16_t>(block[4] | (block[5] << 8)) + static_cast<long>(rs)) /
        static_cast<long>(rs);
    if (count < 0 || 6 + count * rs > bs) return false;
    for (long i = 0; i < count; ++i) {
      const std::uint8_t* e = block.data() + 6 + i * rs;
      std::uint32_t position = 0;
      if (!db.isKeyed()) {
        const std::int64_t number = DecodeInt(e + layout.columns[n - 3].field.offset, 4);
        if (number < 1 || number > table.recordCount()) return false;
        position = static_cast<std::uint32_t>(number - 1);
      } else {
        for (const Column& c : layout.columns)
          if (c.source == Source::TableField && c.tableField < db.keyFieldCount())
            std::memcpy(key.data() + db.fields[c.tableField].offset, e + c.field.offset,
                        c.field.width());
        const auto blk =
            static_cast<std::uint16_t>(DecodeInt(e + layout.columns[n - 1].field.offset, 2));
        if (table.findInBlock(blk, key.data(), position) != Ok) return false;
      }
      positions.push_back(position);
    }
  }
  return positions.size() == table.recordCount();
}

}  // namespace

Result IndexOrder(ParadoxTable& table, const SecondaryIndex& index,
                  std::vector<std::uint32_t>& positions) {
  if (OrderFromIndexFile(table, index, positions)) return Ok;
  ClearLastError();
  // An index that cannot tell: the records sorted afresh.
  DiskRecords records(table.path(), table.header());
  std::vector<std::vector<Entry>> entries;
  if (Result r =
          SortedEntries(table.header(), {MakeLayout(table.header(), index.desc)}, records, entries))
    return r;
  positions.clear();
  positions.reserve(entries[0].size());
  for (const Entry& e : entries[0]) positions.push_back(e.position);
  return Ok;
}

namespace {

// One index file read whole, for the readers below.
struct IndexFile {
  std::string bytes;
  PxHeader header;
  std::vector<bool> visited;  // by block number, for walks that reach each block once
  std::size_t offset(std::uint16_t n) const {
    return header.headerSize() + static_cast<std::size_t>(n - 1) * header.blockSize();
  }
  const std::uint8_t* block(std::uint16_t n) const {
    return reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset(n);
  }
  // A block the header counts whose 6-byte head lies in the file (a last
  // block may be cut short after its records).
  bool holds(std::uint16_t n) const {
    return n > 0 && n <= header.totalBlocks() && offset(n) + 6 <= bytes.size();
  }
  // Records in block n; -1 when the count is invalid or they run past the file.
  long count(std::uint16_t n) const {
    const std::uint8_t* p = block(n);
    const long rs = header.recordSize();
    const long c = (static_cast<std::int16_t>(p[4] | (p[5] << 8)) + rs) / rs;
    if (c < 0 || 6 + c * rs > static_cast<long>(header.blockSize())) return -1;
    return offset(n) + 6 + static_cast<std::size_t>(c * rs) > bytes.size() ? -1 : c;
  }
  bool firstVisit(std::uint16_t n) {
    if (visited.size() <= n) visited.resize(header.totalBlocks() + 1u, false);
    if (visited[n]) return false;
    visited[n] = true;
    return true;
  }
};

Result LoadIndexFile(const std::string& path, IndexFile& f) {
  if (Result r = io::ReadWholeFile(path, f.bytes)) return r;
  if (Result r = f.header.parse(path, reinterpret_cast<const std::uint8_t*>(f.bytes.data()),
                                f.bytes.size()))
    return r;
  return f.header.checkFileSize(path, f.bytes.size());
}

Result BadBlock(const std::string& path, std::uint16_t n, const std::string& what) {
  return Fail(ErrCorruptIndex, path + ": block " + std::to_string(n) + " " + what);
}

Result ReadTreeLevel(IndexFile& y, const std::string& path, std::uint16_t n, int level,
                     std::vector<IndexEntry>& out) {
  if (!y.holds(n)) return BadBlock(path, n, "lies outside the file");
  if (!y.firstVisit(n)) return BadBlock(path, n, "is reached twice");
  const long count = y.count(n);
  if (count < 0) return BadBlock(path, n, "has an invalid entry count");
  const std::size_t rs = y.header.recordSize();
  for (long i = 0; i < count; ++i) {
    const std::uint8_t* e = y.block(n) + 6 + i * rs;
    IndexEntry entry{std::string(reinterpret_cast<const char*>(e), rs - 6),
                     static_cast<std::uint16_t>(DecodeInt(e + rs - 6, 2)),
                     static_cast<std::uint32_t>(DecodeInt(e + rs - 4, 2))};
    if (level > 1) {
      if (Result r = ReadTreeLevel(y, path, entry.block, level - 1, out)) return r;
    } else {
      out.push_back(std::move(entry));
    }
  }
  return Ok;
}

}  // namespace

Result ReadIndexBlocks(const SecondaryIndex& index, std::vector<IndexEntry>& blocks,
                       std::vector<std::string>& records) {
  IndexFile x;
  if (Result r = LoadIndexFile(index.xPath, x)) return r;
  blocks.clear();
  records.clear();
  const std::size_t rs = x.header.recordSize();
  const std::size_t keySize = rs - x.header.fields.back().width();
  for (std::uint16_t n = x.header.firstBlock(); n != 0;) {
    if (!x.holds(n) || !x.firstVisit(n)) return BadBlock(index.xPath, n, "breaks the block chain");
    const long count = x.count(n);
    if (count < 0) return BadBlock(index.xPath, n, "has an invalid record count");
    const std::uint8_t* p = x.block(n);
    for (long i = 0; i < count; ++i)
      records.emplace_back(reinterpret_cast<const char*>(p + 6 + i * rs), rs);
    if (count > 0)
      blocks.push_back({std::string(reinterpret_cast<const char*>(p + 6), keySize), n,
                        static_cast<std::uint32_t>(count)});
    n = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
  }
  if (records.size() != x.header.recordCount())
    return Fail(ErrCorruptIndex, index.xPath + ": the header counts " +
                                     std::to_string(x.header.recordCount()) +
                                     " records, the blocks hold " + std::to_string(records.size()));
  return Ok;
}

Result ReadIndexTree(const SecondaryIndex& index, std::vector<IndexEntry>& leaves) {
  IndexFile y;
  if (Result r = LoadIndexFile(index.yPath, y)) return r;
  if (y.header.fileType() != ftSecondaryY && y.header.fileType() != ftSecondaryYG)
    return Fail(ErrCorruptIndex, index.yPath + ": not the tree of a secondary index");
  leaves.clear();
  if (y.header.indexLevels() == 0) return Ok;
  return ReadTreeLevel(y, index.yPath, y.header.rootBlock(), y.header.indexLevels(), leaves);
}

Result ExpectedIndexRecords(const std::string& tablePath, const PxHeader& db,
                            const SecondaryIndex& index, std::vector<std::string>& records) {
  DiskRecords source(tablePath, db);
  std::vector<std::vector<Entry>> entries;
  if (Result r = SortedEntries(db, {MakeLayout(db, index.desc)}, source, entries)) return r;
  records.clear();
  for (const Entry& e : entries[0])
    records.emplace_back(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size());
  return Ok;
}

std::unique_ptr<RecordSource> RecordsOnDisk(const std::string& tablePath, const PxHeader& db) {
  return std::make_unique<DiskRecords>(tablePath, db);
}

Result AttachSecondaryIndexes(ParadoxTable& table) {
  table.addParticipant(std::make_shared<IndexMaintainer>());
  return Ok;
}

Result PlanCreatedIndexes(const TableDesc& desc, const PxHeader& db,
                          std::vector<io::Replacement>& plan) {
  const std::string& tablePath = desc.tableName;
  std::vector<SecondaryIndex> planned;
  for (const IndexDesc& d : desc.indexes) {
    if (d.primary) continue;
    SecondaryIndex ix;
    if (Result r = PlanSecondaryIndex(tablePath, db, planned, d, ix)) return r;
    planned.push_back(std::move(ix));
  }
  // Index files of a table this one replaces go with it.
  std::set<std::string> kept;
  for (const SecondaryIndex& ix : planned) {
    kept.insert(Upper(FileNameOf(ix.xPath)));
    kept.insert(Upper(FileNameOf(ix.yPath)));
  }
  const std::string dir = DirectoryOf(tablePath), stem = Upper(StemOf(tablePath));
  if (auto names = io::DirectoryNames(dir)) {
    for (const std::string& name : *names) {
      std::size_t dot = name.find_last_of('.');
      if (dot == std::string::npos || Upper(name.substr(0, dot)) != stem) continue;
      std::string ext = Upper(name.substr(dot + 1));
      bool composite;
      int n;
      bool indexFile =
          ParseIndexTag(ext, composite, n) ||
          (!ext.empty() && ext[0] == 'Y' && ParseIndexTag("X" + ext.substr(1), composite, n));
      if (indexFile && !kept.count(Upper(name))) plan.push_back({"", dir + "/" + name});
    }
  }
  FamilyCounters counters;
  counters.tableChange = db.raw[0x2E];
  counters.primaryChange = db.raw[0x2D];
  std::uint16_t fileNumber = db.u16(0x12);
  struct NoRecords : RecordSource {
    std::uint32_t count() const override { return 0; }
    Result visit(const Visitor&) override { return Ok; }
  } none;
  for (const SecondaryIndex& ix : planned) {
    PxHeader x, y;
    if (Result r = IndexHeaders(db, ix, MakeLayout(db, ix.desc), counters, false, fileNumber, x, y))
      return r;
    if (Result r = StageIndexFiles(tablePath, db, ix, none, x, y, plan)) return r;
  }
  return StageIndexFlags(tablePath, planned, plan);
}

}  // namespace engine::paradox
