#include "engine/dbase/mdx.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/io/sorter.h"

namespace engine::dbase {

namespace {

// ---- Layout constants ----

constexpr std::size_t kHeaderPages = 4;          // header and tag table
constexpr std::size_t kTagTableOffset = 544;     // first tag entry
constexpr std::size_t kTagEntrySize = 32;
constexpr std::uint8_t kTagSlots = 48;           // as the header announces
constexpr std::uint16_t kWritePagesPerBlock = 2;
constexpr std::size_t kNodeHeader = 8;           // key count, link
constexpr std::size_t kKeyExprOffset = 24;
constexpr std::size_t kForFlagOffset = 246;
constexpr std::size_t kForExprOffset = 248;
constexpr std::size_t kExprField = 220;          // bytes reserved for each expression
constexpr std::uint8_t kFormatDescending = 0x08;
constexpr std::uint8_t kFormatField = 0x10;
constexpr std::uint8_t kFormatUnique = 0x40;
constexpr int kMaxDepth = 48;  // no real tree comes near; deeper means damage
constexpr int kNumericBias = 0x34;
constexpr std::size_t kMaxDigits = 20;
constexpr std::int32_t kJulianOfDayZero = 1721425;  // Julian day number of day 0 (0000-12-31)

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t ItemLengthFor(std::size_t keyLength) { return 4 + ((keyLength + 3) & ~std::size_t{3}); }

std::string CString(const std::uint8_t* p, std::size_t n) {
  std::size_t len = 0;
  while (len < n && p[len] != 0) ++len;
  std::string s(reinterpret_cast<const char*>(p), len);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

DateValue HeaderDate(const std::uint8_t* p) {
  const int year = 1900 + p[0], month = p[1], day = p[2];
  if (month < 1 || month > 12 || day < 1 || day > 31) return DateValue{};
  return DateValue{DayNumber(year, month, day)};
}

void PutHeaderDate(std::uint8_t* p, DateValue d) {
  int y = 0, m = 0, day = 0;
  SplitDayNumber(d.day, y, m, day);
  p[0] = static_cast<std::uint8_t>(std::clamp(y - 1900, 0, 255));
  p[1] = static_cast<std::uint8_t>(m);
  p[2] = static_cast<std::uint8_t>(day);
}

DateValue Today() {
  using namespace std::chrono;
  const auto days = floor<std::chrono::days>(system_clock::now()).time_since_epoch().count();
  return DateValue{DayNumber(1970, 1, 1) + static_cast<std::int32_t>(days)};
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// ---- Numeric keys ----

struct Decimal {
  bool negative = false;
  int exponent = 0;     // value = 0.digits x 10^exponent
  std::string digits;   // significant digits, no leading or trailing zeros; "" = zero
};

bool ParseDecimal(std::string_view text, Decimal& out) {
  std::size_t i = 0, n = text.size();
  while (i < n && (text[i] == ' ' || text[i] == '\0')) ++i;
  while (n > i && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  out = Decimal{};
  if (i == n) return true;  // blank is zero
  if (text[i] == '+' || text[i] == '-') {
    out.negative = text[i] == '-';
    ++i;
  }
  std::string all;
  int pointAt = -1;
  for (; i < n; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      all.push_back(c);
    } else if (c == '.' && pointAt < 0) {
      pointAt = static_cast<int>(all.size());
    } else {
      return false;
    }
  }
  if (all.empty()) return false;
  int before = pointAt < 0 ? static_cast<int>(all.size()) : pointAt;
  std::size_t lead = 0;
  while (lead < all.size() && all[lead] == '0') ++lead;
  before -= static_cast<int>(lead);
  all.erase(0, lead);
  while (!all.empty() && all.back() == '0') all.pop_back();
  if (all.empty()) {
    out = Decimal{};
    return true;
  }
  out.exponent = before;
  out.digits = std::move(all);
  return true;
}

// The numeric key's fields, read leniently (damaged keys still order).
struct NumericParts {
  bool negative = false;
  bool zero = true;
  int exponent = 0;
  std::uint8_t nibbles[kMaxDigits] = {};
};

NumericParts SplitNumeric(std::string_view key) {
  NumericParts p;
  if (key.size() < kMdxNumericKeyLength) return p;
  const auto* b = reinterpret_cast<const std::uint8_t*>(key.data());
  const std::size_t count = std::min<std::size_t>((b[1] >> 2) & 0x1F, kMaxDigits);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = b[2 + i / 2];
    p.nibbles[i] = (i % 2 == 0) ? byte >> 4 : byte & 0x0F;
  }
  bool any = false;
  for (std::size_t i = 0; i < count; ++i) any = any || p.nibbles[i] != 0;
  if (!any) return NumericParts{};
  p.zero = false;
  p.negative = (b[1] & 0x80) != 0;
  p.exponent = static_cast<int>(b[0]) - kNumericBias;
  return p;
}

int CompareNumeric(std::string_view a, std::string_view b) {
  const NumericParts x = SplitNumeric(a), y = SplitNumeric(b);
  const int sx = x.zero ? 0 : (x.negative ? -1 : 1);
  const int sy = y.zero ? 0 : (y.negative ? -1 : 1);
  if (sx != sy) return sx < sy ? -1 : 1;
  if (sx == 0) return 0;
  int magnitude = 0;
  if (x.exponent != y.exponent) {
    magnitude = x.exponent < y.exponent ? -1 : 1;
  } else {
    for (std::size_t i = 0; i < kMaxDigits && magnitude == 0; ++i)
      if (x.nibbles[i] != y.nibbles[i]) magnitude = x.nibbles[i] < y.nibbles[i] ? -1 : 1;
  }
  return sx < 0 ? -magnitude : magnitude;
}

// Date keys order as doubles; the bits are mapped so that every byte string
// has its place (no NaN breaks the order).
std::uint64_t DateOrder(std::string_view key) {
  std::uint64_t bits = 0;
  for (std::size_t i = 0; i < 8 && i < key.size(); ++i)
    bits |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(key[i])) << (8 * i);
  return (bits >> 63) ? ~bits : bits | (std::uint64_t{1} << 63);
}

bool ValidKeyType(char t) { return t == 'C' || t == 'N' || t == 'D'; }

std::size_t FixedKeyLength(char type, std::size_t given) {
  if (type == 'N') return kMdxNumericKeyLength;
  if (type == 'D') return kMdxDateKeyLength;
  return given;
}

// ---- Nodes ----

struct Geometry {
  char type = 'C';
  bool descending = false;
  std::size_t keyLength = 0;
  std::size_t itemLength = 0;
  std::size_t maxKeys = 0;
  std::size_t blockBytes = 0;

  int compareKeys(std::string_view a, std::string_view b) const {
    const int c = CompareKeys(type, a, b);
    return descending ? -c : c;
  }
  int compareEntries(std::string_view ka, std::uint32_t ra, std::string_view kb,
                     std::uint32_t rb) const {
    const int c = compareKeys(ka, kb);
    if (c != 0) return c;
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
  }
};

Geometry GeometryOf(const MdxTag& tag, std::size_t blockBytes) {
  Geometry g;
  g.type = tag.keyType;
  g.descending = tag.descending;
  g.keyLength = tag.keyLength;
  g.itemLength = tag.itemLength;
  g.maxKeys = tag.maxKeys;
  g.blockBytes = blockBytes;
  return g;
}

// A node in memory. Leaf: ptrs are record numbers, one per key. Interior:
// ptrs are child pages, one more than keys (keys[i] bounds child i).
struct Node {
  bool leaf = true;
  std::vector<std::uint32_t> ptrs;
  std::vector<std::string> keys;
};

void EncodeNode(const Geometry& g, const Node& node, std::vector<std::uint8_t>& block) {
  block.assign(g.blockBytes, 0);
  Put32(block.data(), static_cast<std::uint32_t>(node.keys.size()));
  for (std::size_t i = 0; i < node.keys.size(); ++i) {
    std::uint8_t* item = block.data() + kNodeHeader + i * g.itemLength;
    Put32(item, node.ptrs[i]);
    std::memcpy(item + 4, node.keys[i].data(), std::min(node.keys[i].size(), g.keyLength));
  }
  std::uint8_t* last = block.data() + kNodeHeader + node.keys.size() * g.itemLength;
  Put32(last, node.leaf ? 0 : node.ptrs.back());
}

// Where the file's pages end for the reader: blocks must lie inside.
struct Bounds {
  std::uint32_t pages = 0;  // usable pages (header's count, within the file's size)
  std::uint16_t pagesPerBlock = 0;
  bool blockInside(std::uint32_t page) const {
    return page >= kHeaderPages && static_cast<std::uint64_t>(page) + pagesPerBlock <= pages;
  }
};

// Reads blocks straight from the file or as a transaction left them.
struct BlockReader {
  const io::File* file = nullptr;
  const io::Transaction* tx = nullptr;
  Result read(std::uint64_t offset, void* buf, std::size_t n) const {
    return tx ? tx->read(*file, offset, buf, n) : file->read(offset, buf, n);
  }
};

Result Corrupt(const std::string& path, const std::string& what) {
  return Fail(ErrCorruptIndex, path + ": " + what);
}

Result LoadNode(const BlockReader& in, const std::string& path, const Bounds& bounds,
                const Geometry& g, const std::string& tagName, std::uint32_t page, Node& node,
                std::vector<std::uint8_t>& block) {
  if (!bounds.blockInside(page))
    return Corrupt(path, "tag " + tagName + ": page " + std::to_string(page) +
                             " lies outside the file");
  block.resize(g.blockBytes);
  if (Result r = in.read(static_cast<std::uint64_t>(page) * kMdxPageSize, block.data(),
                         g.blockBytes))
    return r;
  const std::uint32_t count = Get32(block.data());
  if (count > g.maxKeys)
    return Corrupt(path, "tag " + tagName + ": page " + std::to_string(page) + " claims " +
                             std::to_string(count) + " keys, more than the " +
                             std::to_string(g.maxKeys) + " a node holds");
  const std::uint8_t* items = block.data() + kNodeHeader;
  const std::uint32_t trailing = Get32(items + count * g.itemLength);
  node.leaf = trailing == 0;
  node.keys.resize(count);
  node.ptrs.resize(node.leaf ? count : count + 1);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* item = items + i * g.itemLength;
    node.ptrs[i] = Get32(item);
    node.keys[i].assign(reinterpret_cast<const char*>(item + 4), g.keyLength);
    if (node.ptrs[i] == 0)
      return Corrupt(path, "tag " + tagName + ": page " + std::to_string(page) +
                               " has an entry pointing nowhere");
  }
  if (!node.leaf) node.ptrs[count] = trailing;
  return Ok;
}

// ---- Reading the header ----

Result ReadHeaderFrom(const BlockReader& in, const std::string& path, std::uint64_t fileSize,
                      MdxFile& out) {
  out = MdxFile{};
  out.path = path;
  out.fileSize = fileSize;
  auto bad = [&](const std::string& what) {
    return Fail(ErrCorruptHeader, path + ": " + what);
  };
  if (fileSize < kHeaderPages * kMdxPageSize) return bad("the file is too short for an index header");
  std::vector<std::uint8_t> head(kHeaderPages * kMdxPageSize);
  if (Result r = in.read(0, head.data(), head.size())) return r;
  const std::uint8_t* h = head.data();
  out.version = h[0];
  out.created = HeaderDate(h + 1);
  out.dbfName = CString(h + 4, 16);
  out.pagesPerBlock = Get16(h + 20);
  out.blockSize = Get16(h + 22);
  out.production = h[24] != 0;
  out.pages = Get32(h + 32);
  out.firstFreePage = Get32(h + 36);
  out.freeBlocks = Get32(h + 40);
  out.updated = HeaderDate(h + 44);
  if (out.pagesPerBlock < 1 || out.pagesPerBlock > 64 ||
      out.blockSize != out.pagesPerBlock * kMdxPageSize)
    return bad("block size " + std::to_string(out.blockSize) + " with " +
               std::to_string(out.pagesPerBlock) + " pages per block is not an index's");
  if (h[26] != kTagEntrySize) return bad("tag entries are not 32 bytes");
  const std::uint16_t inUse = Get16(h + 28);
  if (inUse > std::min<std::size_t>(kMdxMaxTags, h[25]))
    return bad(std::to_string(inUse) + " tags in use, more than the tag table holds");
  if (out.pages < kHeaderPages) return bad("the header counts fewer pages than it occupies");
  if (static_cast<std::uint64_t>(out.pages) * kMdxPageSize > fileSize)
    return bad("the file is shorter than its header says (" + std::to_string(out.pages) +
               " pages): truncated");
  Bounds bounds{out.pages, out.pagesPerBlock};
  if (out.firstFreePage != 0 && !bounds.blockInside(out.firstFreePage))
    return bad("the first free page lies outside the file");

  std::vector<std::uint8_t> tagHead(kMdxPageSize);
  for (std::uint16_t t = 0; t < inUse; ++t) {
    const std::uint8_t* e = h + kTagTableOffset + t * kTagEntrySize;
    MdxTag tag;
    tag.headerPage = Get32(e);
    tag.name = CString(e + 4, 11);
    const std::string which = "tag " + std::to_string(t + 1);
    if (tag.name.empty()) return bad(which + " has no name");
    if (!bounds.blockInside(tag.headerPage))
      return bad(which + " (" + tag.name + "): its header page lies outside the file");
    if (Result r = in.read(static_cast<std::uint64_t>(tag.headerPage) * kMdxPageSize,
                           tagHead.data(), tagHead.size()))
      return r;
    const std::uint8_t* th = tagHead.data();
    tag.rootPage = Get32(th);
    tag.format = th[8];
    tag.keyType = static_cast<char>(th[9]);
    tag.keyLength = Get16(th + 12);
    tag.maxKeys = Get16(th + 14);
    tag.itemLength = Get16(th + 18);
    tag.unique = th[23] != 0 || (tag.format & kFormatUnique) != 0;
    tag.descending = (tag.format & kFormatDescending) != 0;
    tag.keyExpression = CString(th + kKeyExprOffset, kExprField);
    if (th[kForFlagOffset] != 0) tag.forExpression = CString(th + kForExprOffset, kExprField);
    const std::string named = "tag " + tag.name;
    if (!ValidKeyType(tag.keyType))
      return Fail(ErrCorruptIndex, path + ": " + named + ": unknown key type");
    const bool lengthOk = tag.keyType == 'C'
                              ? tag.keyLength >= 1 && tag.keyLength <= kMdxMaxCharKey
                              : tag.keyLength == FixedKeyLength(tag.keyType, 0);
    if (!lengthOk)
      return Fail(ErrCorruptIndex, path + ": " + named + ": key length " +
                                       std::to_string(tag.keyLength) + " does not fit its type");
    if (tag.itemLength < 4 + tag.keyLength || tag.maxKeys < 2 ||
        kNodeHeader + 4 + static_cast<std::size_t>(tag.maxKeys) * tag.itemLength > out.blockSize)
      return Fail(ErrCorruptIndex, path + ": " + named + ": " + std::to_string(tag.maxKeys) +
                                       " keys of " + std::to_string(tag.itemLength) +
                                       " bytes do not fit a block");
    if (!bounds.blockInside(tag.rootPage))
      return Fail(ErrCorruptIndex, path + ": " + named + ": root page " +
                                       std::to_string(tag.rootPage) + " lies outside the file");
    out.tags.push_back(std::move(tag));
  }
  return Ok;
}

// ---- Walking a tree ----

// Visits every node of a tag's tree depth first, in key order, checking
// pages, loops and depths. `onLeafEntry` sees the entries in order; `onNode`
// (optional) sees each node with its depth and the key bounds implied by the
// separators above it.
struct WalkHooks {
  std::function<bool(std::string_view key, std::uint32_t record)> onLeafEntry;
  std::function<Result(std::uint32_t page, const Node& node)> onNode;
};

Result WalkTag(const BlockReader& in, const MdxFile& file, const MdxTag& tag,
               std::vector<std::uint8_t>& seen, const WalkHooks& hooks) {
  const Geometry g = GeometryOf(tag, file.blockSize);
  const Bounds bounds{file.pages, file.pagesPerBlock};
  struct Level {
    Node node;
    std::size_t next = 0;
  };
  std::vector<Level> stack;
  std::vector<std::uint8_t> block;
  int leafDepth = -1;
  auto enter = [&](std::uint32_t page) -> Result {
    if (stack.size() >= static_cast<std::size_t>(kMaxDepth))
      return Corrupt(file.path, "tag " + tag.name + ": the tree is deeper than any index");
    if (bounds.blockInside(page)) {
      for (std::uint16_t i = 0; i < file.pagesPerBlock; ++i) {
        if (seen[page + i])
          return Corrupt(file.path, "tag " + tag.name + ": page " + std::to_string(page) +
                                        " is reached twice");
        seen[page + i] = 1;
      }
    }
    Level level;
    if (Result r = LoadNode(in, file.path, bounds, g, tag.name, page, level.node, block)) return r;
    if (hooks.onNode)
      if (Result r = hooks.onNode(page, level.node)) return r;
    if (level.node.leaf) {
      const int depth = static_cast<int>(stack.size());
      if (leafDepth < 0) leafDepth = depth;
      if (depth != leafDepth)
        return Corrupt(file.path, "tag " + tag.name + ": leaves at different depths");
    } else if (static_cast<int>(stack.size()) + 1 > leafDepth && leafDepth >= 0) {
      return Corrupt(file.path, "tag " + tag.name + ": leaves at different depths");
    }
    stack.push_back(std::move(level));
    return Ok;
  };
  if (Result r = enter(tag.rootPage)) return r;
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.node.leaf) {
      for (std::size_t i = 0; i < top.node.keys.size(); ++i)
        if (!hooks.onLeafEntry(top.node.keys[i], top.node.ptrs[i])) return Ok;
      stack.pop_back();
      continue;
    }
    if (top.next >= top.node.ptrs.size()) {
      stack.pop_back();
      continue;
    }
    const std::uint32_t child = top.node.ptrs[top.next++];
    if (Result r = enter(child)) return r;
  }
  return Ok;
}

Result OpenForReading(const std::string& path, io::File& file, std::uint64_t& size) {
  if (Result r = file.open(path, io::File::Mode::Read)) return r;
  return file.size(size);
}

}  // namespace

// ---- Public: keys ----

std::string CharKey(std::string_view encoded, std::size_t keyLength) {
  std::string key(encoded.substr(0, std::min(encoded.size(), keyLength)));
  key.resize(keyLength, ' ');
  return key;
}

std::string DateKey(DateValue date) {
  const double julian = date.day == 0 ? 0.0 : static_cast<double>(date.day) + kJulianOfDayZero;
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(julian);
  std::string key(kMdxDateKeyLength, '\0');
  for (int i = 0; i < 8; ++i) key[i] = static_cast<char>(bits >> (8 * i));
  return key;
}

Result DateKeyValue(std::string_view key, DateValue& out) {
  if (key.size() != kMdxDateKeyLength) return Fail(ErrInvalidValue, "a date key is 8 bytes");
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i)
    bits |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(key[i])) << (8 * i);
  const double julian = std::bit_cast<double>(bits);
  if (julian == 0.0) {
    out = DateValue{};
    return Ok;
  }
  const double lo = DayNumber(1, 1, 1) + kJulianOfDayZero;
  const double hi = DayNumber(9999, 12, 31) + kJulianOfDayZero;
  if (!(julian >= lo && julian <= hi) || julian != std::floor(julian))
    return Fail(ErrInvalidValue, "the date key holds no date");
  out = DateValue{static_cast<std::int32_t>(julian) - kJulianOfDayZero};
  return Ok;
}

Result NumericKey(std::string_view decimalText, std::string& out) {
  Decimal d;
  if (!ParseDecimal(decimalText, d))
    return Fail(ErrInvalidValue, "\"" + std::string(decimalText) + "\" is not a number");
  if (d.digits.size() > kMaxDigits)
    return Fail(ErrInvalidValue, "\"" + std::string(decimalText) +
                                     "\" has more than 20 significant digits");
  if (d.exponent + kNumericBias < 0 || d.exponent + kNumericBias > 255)
    return Fail(ErrInvalidValue, "\"" + std::string(decimalText) + "\" is out of range");
  out.assign(kMdxNumericKeyLength, '\0');
  out[0] = static_cast<char>(kNumericBias + d.exponent);
  out[1] = static_cast<char>((d.negative && !d.digits.empty() ? 0x80 : 0) |
                             (d.digits.size() << 2) | 0x01);
  for (std::size_t i = 0; i < d.digits.size(); ++i) {
    const std::uint8_t digit = static_cast<std::uint8_t>(d.digits[i] - '0');
    char& byte = out[2 + i / 2];
    byte = static_cast<char>(static_cast<std::uint8_t>(byte) | (i % 2 == 0 ? digit << 4 : digit));
  }
  return Ok;
}

Result NumericKeyText(std::string_view key, std::string& out) {
  if (key.size() != kMdxNumericKeyLength) return Fail(ErrInvalidValue, "a numeric key is 12 bytes");
  const auto* b = reinterpret_cast<const std::uint8_t*>(key.data());
  const std::size_t count = (b[1] >> 2) & 0x1F;
  if (count > kMaxDigits) return Fail(ErrInvalidValue, "the numeric key is damaged");
  std::string digits;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t nibble = (i % 2 == 0) ? b[2 + i / 2] >> 4 : b[2 + i / 2] & 0x0F;
    if (nibble > 9) return Fail(ErrInvalidValue, "the numeric key is damaged");
    digits.push_back(static_cast<char>('0' + nibble));
  }
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (digits.empty()) {
    out = "0";
    return Ok;
  }
  const int e = static_cast<int>(b[0]) - kNumericBias;
  const int len = static_cast<int>(digits.size());
  std::string text;
  if (e <= 0) {
    text = "0." + std::string(static_cast<std::size_t>(-e), '0') + digits;
  } else if (e >= len) {
    text = digits + std::string(static_cast<std::size_t>(e - len), '0');
  } else {
    text = digits.substr(0, static_cast<std::size_t>(e)) + "." +
           digits.substr(static_cast<std::size_t>(e));
  }
  out = (b[1] & 0x80) ? "-" + text : text;
  return Ok;
}

Result EncodeKey(char keyType, std::size_t keyLength, const Value& value, std::string& out) {
  switch (keyType) {
    case 'C': {
      if (keyLength < 1 || keyLength > kMdxMaxCharKey)
        return Fail(ErrInvalidParameter, "a character key is 1 to 100 bytes");
      if (IsNull(value)) {
        out.assign(keyLength, ' ');
        return Ok;
      }
      if (const auto* s = std::get_if<std::string>(&value)) {
        out = CharKey(*s, keyLength);
        return Ok;
      }
      return Fail(ErrInvalidValue, "a character key takes text");
    }
    case 'N': {
      if (IsNull(value)) return NumericKey("", out);
      if (const auto* i = std::get_if<std::int64_t>(&value)) return NumericKey(std::to_string(*i), out);
      if (const auto* d = std::get_if<double>(&value)) {
        if (!std::isfinite(*d)) return Fail(ErrInvalidValue, "a numeric key takes a finite number");
        char buf[400];
        const auto res = std::to_chars(buf, buf + sizeof buf, *d, std::chars_format::fixed);
        if (res.ec != std::errc()) return Fail(ErrInvalidValue, "the number is out of range");
        return NumericKey(std::string_view(buf, static_cast<std::size_t>(res.ptr - buf)), out);
      }
      if (const auto* b = std::get_if<BcdValue>(&value)) return NumericKey(b->text, out);
      if (const auto* s = std::get_if<std::string>(&value)) return NumericKey(*s, out);
      return Fail(ErrInvalidValue, "a numeric key takes a number");
    }
    case 'D': {
      if (IsNull(value)) {
        out = DateKey(DateValue{});
        return Ok;
      }
      if (const auto* d = std::get_if<DateValue>(&value)) {
        out = DateKey(*d);
        return Ok;
      }
      return Fail(ErrInvalidValue, "a date key takes a date");
    }
    default:
      return Fail(ErrInvalidParameter, std::string("unknown key type ") + keyType);
  }
}

int CompareKeys(char keyType, std::string_view a, std::string_view b) {
  if (keyType == 'N') return CompareNumeric(a, b);
  if (keyType == 'D') {
    const std::uint64_t x = DateOrder(a), y = DateOrder(b);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c != 0) return c < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// ---- Public: reading ----

const MdxTag* MdxFile::findTag(std::string_view name) const {
  const std::string wanted = Upper(name);
  for (const MdxTag& t : tags)
    if (Upper(t.name) == wanted) return &t;
  return nullptr;
}

Result ReadMdx(const std::string& path, MdxFile& out) {
  io::File file;
  std::uint64_t size = 0;
  if (Result r = OpenForReading(path, file, size)) return r;
  return ReadHeaderFrom(BlockReader{&file, nullptr}, path, size, out);
}

Result ScanTag(const MdxFile& mdx, const MdxTag& tag, const MdxVisitor& visit) {
  io::File file;
  std::uint64_t size = 0;
  if (Result r = OpenForReading(mdx.path, file, size)) return r;
  if (static_cast<std::uint64_t>(mdx.pages) * kMdxPageSize > size)
    return Fail(ErrCorruptHeader, mdx.path + ": the file is shorter than its header says: truncated");
  std::vector<std::uint8_t> seen(mdx.pages, 0);
  WalkHooks hooks;
  hooks.onLeafEntry = [&](std::string_view key, std::uint32_t record) { return visit(key, record); };
  return WalkTag(BlockReader{&file, nullptr}, mdx, tag, seen, hooks);
}

Result ScanTag(const std::string& path, std::string_view tagName, const MdxVisitor& visit) {
  MdxFile mdx;
  if (Result r = ReadMdx(path, mdx)) return r;
  const MdxTag* tag = mdx.findTag(tagName);
  if (!tag) return Fail(ErrInvalidIndex, path + ": no tag " + std::string(tagName));
  return ScanTag(mdx, *tag, visit);
}

Result CheckMdx(const std::string& path) {
  MdxFile mdx;
  if (Result r = ReadMdx(path, mdx)) return r;
  io::File file;
  std::uint64_t size = 0;
  if (Result r = OpenForReading(path, file, size)) return r;
  const BlockReader in{&file, nullptr};
  const Bounds bounds{mdx.pages, mdx.pagesPerBlock};
  std::vector<std::uint8_t> seen(mdx.pages, 0);
  auto claim = [&](std::uint32_t page, const std::string& what) -> Result {
    for (std::uint16_t i = 0; i < mdx.pagesPerBlock; ++i) {
      if (seen[page + i]) return Corrupt(path, what + ": page " + std::to_string(page) + " is used twice");
      seen[page + i] = 1;
    }
    return Ok;
  };
  for (const MdxTag& tag : mdx.tags)
    if (Result r = claim(tag.headerPage, "tag " + tag.name + " header")) return r;
  // The free list: in the file, not looping, as long as the header says.
  std::uint32_t freeCount = 0;
  std::vector<std::uint8_t> link(8);
  for (std::uint32_t page = mdx.firstFreePage; page != 0;) {
    if (!bounds.blockInside(page)) return Corrupt(path, "the free list leaves the file");
    if (Result r = claim(page, "the free list")) return r;
    ++freeCount;
    if (Result r = in.read(static_cast<std::uint64_t>(page) * kMdxPageSize, link.data(), 8)) return r;
    page = Get32(link.data() + 4);
  }
  if (freeCount != mdx.freeBlocks)
    return Corrupt(path, "the free list holds " + std::to_string(freeCount) + " blocks, the header says " +
                             std::to_string(mdx.freeBlocks));
  for (const MdxTag& tag : mdx.tags) {
    const Geometry g = GeometryOf(tag, mdx.blockSize);
    std::string previous;
    std::uint32_t previousRecord = 0;
    bool first = true;
    Result fault = Ok;
    WalkHooks hooks;
    hooks.onLeafEntry = [&](std::string_view key, std::uint32_t record) {
      if (!first) {
        const int c = g.compareKeys(previous, key);
        if (c > 0 || (c == 0 && previousRecord >= record)) {
          fault = Corrupt(path, "tag " + tag.name + ": keys out of order at record " + std::to_string(record));
          return false;
        }
        if (c == 0 && tag.unique) {
          fault = Corrupt(path, "tag " + tag.name + ": unique tag holds a key twice");
          return false;
        }
      }
      previous.assign(key);
      previousRecord = record;
      first = false;
      return true;
    };
    // Separators: every key under child i lies at or below keys[i], and at or
    // above keys[i-1]. Checked per node against its children's extremes.
    std::vector<std::uint8_t> block;
    hooks.onNode = [&](std::uint32_t page, const Node& node) -> Result {
      if (node.leaf) return Ok;
      for (std::size_t i = 0; i < node.ptrs.size(); ++i) {
        // The smallest and largest key under child i: follow the leftmost
        // and rightmost paths (bounded by the depth check of the walk).
        std::string lo, hi;
        for (int side = 0; side < 2; ++side) {
          std::uint32_t p = node.ptrs[i];
          Node n;
          bool found = false;
          for (int depth = 0; depth < kMaxDepth; ++depth) {
            if (Result r = LoadNode(in, path, bounds, g, tag.name, p, n, block)) return r;
            if (n.leaf) {
              if (!n.keys.empty()) (side == 0 ? lo : hi) = side == 0 ? n.keys.front() : n.keys.back();
              found = !n.keys.empty();
              break;
            }
            p = side == 0 ? n.ptrs.front() : n.ptrs.back();
          }
          if (!found) return Corrupt(path, "tag " + tag.name + ": page " + std::to_string(page) + " has an empty subtree");
        }
        if (i < node.keys.size() && g.compareKeys(hi, node.keys[i]) > 0)
          return Corrupt(path, "tag " + tag.name + ": page " + std::to_string(page) + " separator below its subtree");
        if (i > 0 && g.compareKeys(lo, node.keys[i - 1]) < 0)
          return Corrupt(path, "tag " + tag.name + ": page " + std::to_string(page) + " separator above the next subtree");
      }
      return Ok;
    };
    if (Result r = WalkTag(in, mdx, tag, seen, hooks)) return r;
    if (fault) return fault;
  }
  return Ok;
}

// ---- Building a whole file ----

namespace {

struct TagPlan {
  MdxTagDef def;
  Geometry g;
  std::uint32_t headerPage = 0;
  std::uint32_t rootPage = 0;
};

bool PlainFieldName(std::string_view expr) {
  std::size_t i = 0, n = expr.size();
  while (i < n && expr[i] == ' ') ++i;
  while (n > i && expr[n - 1] == ' ') --n;
  if (i == n) return false;
  for (std::size_t k = i; k < n; ++k) {
    const char c = expr[k];
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return true;
}

Result PlanTags(const std::vector<MdxTagDef>& tags, std::size_t blockBytes,
                std::vector<TagPlan>& plans) {
  if (tags.empty() || tags.size() > kMdxMaxTags)
    return Fail(ErrInvalidParameter, "an index holds 1 to 47 tags");
  plans.clear();
  for (const MdxTagDef& def : tags) {
    const std::string named = "tag " + def.name;
    if (def.name.empty() || def.name.size() > 10)
      return Fail(ErrInvalidParameter, named + ": a tag name has 1 to 10 characters");
    for (std::size_t i = 0; i < def.name.size(); ++i) {
      const char c = def.name[i];
      const bool letter = c >= 'A' && c <= 'Z';
      if (!(letter || (i > 0 && ((c >= '0' && c <= '9') || c == '_'))))
        return Fail(ErrInvalidParameter,
                    named + ": a tag name is upper-case letters, digits and _, a letter first");
    }
    for (const TagPlan& p : plans)
      if (p.def.name == def.name) return Fail(ErrInvalidParameter, named + " is defined twice");
    if (!ValidKeyType(def.keyType))
      return Fail(ErrInvalidParameter, named + ": the key type is C, N or D");
    const std::size_t length = FixedKeyLength(def.keyType, def.keyLength);
    if (def.keyType == 'C' ? (length < 1 || length > kMdxMaxCharKey)
                           : (def.keyLength != 0 && def.keyLength != length))
      return Fail(ErrInvalidParameter, named + ": key length " + std::to_string(def.keyLength) +
                                           " does not fit key type " + def.keyType);
    if (def.keyExpression.empty() || def.keyExpression.size() > kMdxMaxExpression ||
        def.forExpression.size() > kMdxMaxExpression ||
        def.keyExpression.find('\0') != std::string::npos ||
        def.forExpression.find('\0') != std::string::npos)
      return Fail(ErrInvalidParameter,
                  named + ": expressions have 1 to 219 characters (the FOR expression may be empty)");
    TagPlan p;
    p.def = def;
    p.def.keyLength = static_cast<std::uint16_t>(length);
    p.g.type = def.keyType;
    p.g.descending = def.descending;
    p.g.keyLength = length;
    p.g.itemLength = ItemLengthFor(length);
    p.g.blockBytes = blockBytes;
    p.g.maxKeys = (blockBytes - kNodeHeader - 4) / p.g.itemLength;
    plans.push_back(std::move(p));
  }
  return Ok;
}

std::uint8_t FormatOf(const MdxTagDef& def) {
  return static_cast<std::uint8_t>((PlainFieldName(def.keyExpression) ? kFormatField : 0) |
                                   (def.descending ? kFormatDescending : 0) |
                                   (def.unique ? kFormatUnique : 0));
}

void EncodeTagHeader(const TagPlan& p, std::uint32_t filePages, std::vector<std::uint8_t>& block) {
  block.assign(p.g.blockBytes, 0);
  std::uint8_t* b = block.data();
  Put32(b, p.rootPage);
  Put32(b + 4, filePages);
  b[8] = FormatOf(p.def);
  b[9] = static_cast<std::uint8_t>(p.def.keyType);
  Put16(b + 12, static_cast<std::uint32_t>(p.g.keyLength));
  Put16(b + 14, static_cast<std::uint32_t>(p.g.maxKeys));
  Put16(b + 16, p.def.keyType == 'D' ? 1 : 0);
  Put16(b + 18, static_cast<std::uint32_t>(p.g.itemLength));
  b[23] = p.def.unique ? kFormatUnique : 0;
  std::memcpy(b + kKeyExprOffset, p.def.keyExpression.data(), p.def.keyExpression.size());
  if (!p.def.forExpression.empty()) {
    b[kForFlagOffset] = 1;
    std::memcpy(b + kForExprOffset, p.def.forExpression.data(), p.def.forExpression.size());
  }
}

// The first four pages: file header and tag table. The thread bytes of the
// table entries link the tags as a binary search tree by name (less, greater,
// parent), numbered from 1 in table order.
void EncodeFileHeader(const std::vector<TagPlan>& plans, const std::string& dbfBaseName,
                      std::uint32_t filePages, DateValue today, std::vector<std::uint8_t>& head) {
  head.assign(kHeaderPages * kMdxPageSize, 0);
  std::uint8_t* h = head.data();
  h[0] = 2;
  PutHeaderDate(h + 1, today);
  std::memcpy(h + 4, dbfBaseName.data(), std::min<std::size_t>(dbfBaseName.size(), 16));
  Put16(h + 20, kWritePagesPerBlock);
  Put16(h + 22, kWritePagesPerBlock * kMdxPageSize);
  h[24] = 1;
  h[25] = kTagSlots;
  h[26] = kTagEntrySize;
  Put16(h + 28, static_cast<std::uint32_t>(plans.size()));
  Put32(h + 32, filePages);
  PutHeaderDate(h + 44, today);
  std::vector<std::uint8_t> less(plans.size(), 0), greater(plans.size(), 0), parent(plans.size(), 0);
  for (std::size_t t = 1; t < plans.size(); ++t) {
    std::size_t at = 0;
    for (;;) {
      auto& side = plans[t].def.name < plans[at].def.name ? less : greater;
      if (side[at] == 0) {
        side[at] = static_cast<std::uint8_t>(t + 1);
        parent[t] = static_cast<std::uint8_t>(at + 1);
        break;
      }
      at = side[at] - 1u;
    }
  }
  for (std::size_t t = 0; t < plans.size(); ++t) {
    std::uint8_t* e = h + kTagTableOffset + t * kTagEntrySize;
    Put32(e, plans[t].headerPage);
    std::memcpy(e + 4, plans[t].def.name.data(), plans[t].def.name.size());
    e[15] = PlainFieldName(plans[t].def.keyExpression) ? kFormatField : 0;
    e[16] = less[t];
    e[17] = greater[t];
    e[18] = parent[t];
    e[19] = 0x02;
    e[20] = static_cast<std::uint8_t>(plans[t].def.keyType);
  }
}

// Writes blocks at increasing pages, gathering runs of them into larger writes.
class BlockSink {
 public:
  explicit BlockSink(io::File& file) : file_(file) {}
  Result put(std::uint32_t page, const std::vector<std::uint8_t>& block) {
    const std::uint64_t offset = static_cast<std::uint64_t>(page) * kMdxPageSize;
    if (offset != start_ + buffer_.size() || buffer_.size() >= (256u << 10))
      if (Result r = flush()) return r;
    if (buffer_.empty()) start_ = offset;
    buffer_.insert(buffer_.end(), block.begin(), block.end());
    return Ok;
  }
  Result flush() {
    if (!buffer_.empty())
      if (Result r = file_.write(start_, buffer_.data(), buffer_.size())) return r;
    start_ += buffer_.size();
    buffer_.clear();
    return Ok;
  }

 private:
  io::File& file_;
  std::vector<std::uint8_t> buffer_;
  std::uint64_t start_ = 0;
};

// Builds one tag's tree bottom-up from entries in order. Each level holds
// the node being filled and the full one before it; a full node is written
// only when the next one starts, so that at the end the last two nodes of a
// level can share their items and no node but the root is less than half full.
class TreeBuilder {
 public:
  TreeBuilder(const Geometry& g, BlockSink& sink, std::uint32_t& nextPage)
      : g_(g), sink_(sink), nextPage_(nextPage) {}

  Result add(std::string_view key, std::uint32_t record) {
    return addItem(0, Item{record, std::string(key)});
  }

  Result finish(std::uint32_t& root) {
    if (levels_.empty()) return write(0, {}, root);  // an empty tag: one empty leaf
    for (std::size_t l = 0; l < levels_.size(); ++l) {
      if (!levels_[l].hasPrev) return write(l, levels_[l].cur, root);  // the top: the root
      std::vector<Item> prev = std::move(levels_[l].prev), cur = std::move(levels_[l].cur);
      if (cur.size() < capacity(l) / 2) {
        const std::size_t total = prev.size() + cur.size();
        const std::size_t keep = (total + 1) / 2;
        cur.insert(cur.begin(), std::make_move_iterator(prev.begin() + static_cast<std::ptrdiff_t>(keep)),
                   std::make_move_iterator(prev.end()));
        prev.resize(keep);
      }
      if (Result r = push(l, prev)) return r;
      if (Result r = push(l, cur)) return r;
    }
    return Fail(ErrCorruptIndex, "index build lost its root");  // not reached
  }

 private:
  struct Item {
    std::uint32_t ptr;
    std::string key;  // leaf: the entry's key; interior: the largest key under the child
  };
  struct Level {
    std::vector<Item> prev, cur;
    bool hasPrev = false;
  };

  // Items a node holds: keys of a leaf, children of an interior node.
  std::size_t capacity(std::size_t level) const { return level == 0 ? g_.maxKeys : g_.maxKeys + 1; }

  Result addItem(std::size_t level, Item item) {
    if (levels_.size() <= level) levels_.resize(level + 1);
    if (levels_[level].cur.size() == capacity(level)) {
      if (levels_[level].hasPrev) {
        std::vector<Item> full = std::move(levels_[level].prev);
        if (Result r = push(level, full)) return r;
      }
      levels_[level].prev = std::move(levels_[level].cur);
      levels_[level].cur.clear();
      levels_[level].hasPrev = true;
    }
    levels_[level].cur.push_back(std::move(item));
    return Ok;
  }

  Result write(std::size_t level, const std::vector<Item>& items, std::uint32_t& page) {
    Node node;
    node.leaf = level == 0;
    for (const Item& it : items) node.ptrs.push_back(it.ptr);
    for (std::size_t i = 0; i + (node.leaf ? 0 : 1) < items.size(); ++i) node.keys.push_back(items[i].key);
    EncodeNode(g_, node, block_);
    page = nextPage_;
    nextPage_ += kWritePagesPerBlock;
    return sink_.put(page, block_);
  }

  Result push(std::size_t level, const std::vector<Item>& items) {
    std::uint32_t page = 0;
    if (Result r = write(level, items, page)) return r;
    return addItem(level + 1, Item{page, items.back().key});
  }

  const Geometry& g_;
  BlockSink& sink_;
  std::uint32_t& nextPage_;
  std::vector<Level> levels_;
  std::vector<std::uint8_t> block_;
};

}  // namespace

Result WriteMdx(const std::string& path, const std::string& dbfBaseName,
                const std::vector<MdxTagDef>& tags, KeySource& source) {
  const std::size_t blockBytes = kWritePagesPerBlock * kMdxPageSize;
  std::vector<TagPlan> plans;
  if (Result r = PlanTags(tags, blockBytes, plans)) return r;

  // One pass over the records, each tag's entries into its own sorter:
  // key, then the record number (little-endian).
  const std::string tempDir = DirectoryOf(path);
  const std::size_t memory = std::max<std::size_t>(256u << 10, (32u << 20) / plans.size());
  std::vector<std::unique_ptr<io::ExternalSorter>> sorters;
  for (const TagPlan& p : plans) {
    const Geometry* g = &p.g;
    sorters.push_back(std::make_unique<io::ExternalSorter>(
        g->keyLength + 4,
        [g](const std::uint8_t* a, const std::uint8_t* b) {
          const std::string_view ka(reinterpret_cast<const char*>(a), g->keyLength);
          const std::string_view kb(reinterpret_cast<const char*>(b), g->keyLength);
          return g->compareEntries(ka, Get32(a + g->keyLength), kb, Get32(b + g->keyLength));
        },
        tempDir, memory));
  }
  MdxRecordKeys rec;
  std::vector<std::uint8_t> entry;
  for (;;) {
    bool end = false;
    if (Result r = source.next(rec, end)) return r;
    if (end) break;
    if (rec.record == 0) return Fail(ErrInvalidParameter, "record numbers start at 1");
    if (rec.keys.size() != plans.size() || (!rec.included.empty() && rec.included.size() != plans.size()))
      return Fail(ErrInvalidParameter, "record " + std::to_string(rec.record) + ": " +
                                           std::to_string(rec.keys.size()) + " keys for " +
                                           std::to_string(plans.size()) + " tags");
    for (std::size_t t = 0; t < plans.size(); ++t) {
      if (!rec.included.empty() && !rec.included[t]) continue;
      const Geometry& g = plans[t].g;
      if (rec.keys[t].size() != g.keyLength)
        return Fail(ErrInvalidParameter, "record " + std::to_string(rec.record) + ": the key of tag " +
                                             plans[t].def.name + " is not " + std::to_string(g.keyLength) +
                                             " bytes");
      entry.resize(g.keyLength + 4);
      std::memcpy(entry.data(), rec.keys[t].data(), g.keyLength);
      Put32(entry.data() + g.keyLength, rec.record);
      if (Result r = sorters[t]->add(entry.data())) return r;
    }
  }

  io::File file;
  if (Result r = file.open(path, io::File::Mode::Create)) return r;
  auto failed = [&](Result r) {
    file.close();
    std::remove(path.c_str());
    return r;
  };
  std::uint32_t nextPage = kHeaderPages;
  for (TagPlan& p : plans) {
    p.headerPage = nextPage;
    nextPage += kWritePagesPerBlock;
  }
  BlockSink sink(file);
  for (std::size_t t = 0; t < plans.size(); ++t) {
    TagPlan& p = plans[t];
    if (Result r = sorters[t]->finish()) return failed(r);
    TreeBuilder builder(p.g, sink, nextPage);
    std::string lastKey;
    bool any = false;
    for (;;) {
      const std::uint8_t* e = nullptr;
      bool end = false;
      if (Result r = sorters[t]->next(e, end)) return failed(r);
      if (end) break;
      const std::string_view key(reinterpret_cast<const char*>(e), p.g.keyLength);
      if (p.def.unique && any && p.g.compareKeys(lastKey, key) == 0) continue;  // first record wins
      if (p.def.unique) lastKey.assign(key);
      any = true;
      if (Result r = builder.add(key, Get32(e + p.g.keyLength))) return failed(r);
    }
    if (Result r = builder.finish(p.rootPage)) return failed(r);
    sorters[t].reset();
  }
  if (Result r = sink.flush()) return failed(r);
  std::vector<std::uint8_t> block;
  for (const TagPlan& p : plans) {
    EncodeTagHeader(p, nextPage, block);
    if (Result r = file.write(static_cast<std::uint64_t>(p.headerPage) * kMdxPageSize, block.data(),
                              block.size()))
      return failed(r);
  }
  EncodeFileHeader(plans, dbfBaseName, nextPage, Today(), block);
  if (Result r = file.write(0, block.data(), block.size())) return failed(r);
  if (Result r = file.sync()) return failed(r);
  return Ok;
}

// ---- Changing an existing file ----

struct MdxWriter::Impl {
  struct Frame {
    std::uint32_t page = 0;
    Node node;
    std::size_t index = 0;  // entry (leaf) or child (interior) the path goes through
    bool dirty = false;
  };
  using Path = std::vector<Frame>;

  io::Transaction* tx = nullptr;
  io::File file;
  MdxFile mdx;
  std::vector<Geometry> geoms;
  std::vector<std::uint8_t> block;
  std::uint8_t savedHeader[16] = {};  // bytes 32-47 as on disk
  NextHolder nextHolder;
  std::uint64_t seekLoads = 0;  // nodes the current search has read

  BlockReader reader() const { return BlockReader{&file, tx}; }
  Bounds bounds() const { return Bounds{mdx.pages, mdx.pagesPerBlock}; }
  const std::string& tagName(std::size_t t) const { return mdx.tags[t].name; }
  std::size_t minKeys(std::size_t t) const { return geoms[t].maxKeys / 2; }

  Result load(std::size_t t, std::uint32_t page, Node& node) {
    return LoadNode(reader(), mdx.path, bounds(), geoms[t], tagName(t), page, node, block);
  }
  Result store(std::size_t t, std::uint32_t page, const Node& node) {
    EncodeNode(geoms[t], node, block);
    return tx->write(file, static_cast<std::uint64_t>(page) * kMdxPageSize, block.data(), block.size());
  }

  Result allocate(std::uint32_t& page) {
    if (mdx.firstFreePage != 0) {
      page = mdx.firstFreePage;
      std::uint8_t head[8];
      if (Result r = tx->read(file, static_cast<std::uint64_t>(page) * kMdxPageSize, head, 8)) return r;
      const std::uint32_t next = Get32(head + 4);
      if (next != 0 && !bounds().blockInside(next))
        return Corrupt(mdx.path, "the free list leaves the file");
      mdx.firstFreePage = next;
      if (mdx.freeBlocks > 0) --mdx.freeBlocks;
      return Ok;
    }
    if (static_cast<std::uint64_t>(mdx.pages) + mdx.pagesPerBlock > UINT32_MAX)
      return Fail(ErrTableFull, mdx.path + ": the index has no room for another block");
    page = mdx.pages;
    mdx.pages += mdx.pagesPerBlock;
    return Ok;
  }

  Result release(std::uint32_t page) {
    block.assign(mdx.blockSize, 0);
    Put32(block.data() + 4, mdx.firstFreePage);
    if (Result r = tx->write(file, static_cast<std::uint64_t>(page) * kMdxPageSize, block.data(), block.size()))
      return r;
    mdx.firstFreePage = page;
    ++mdx.freeBlocks;
    return Ok;
  }

  Result setRoot(std::size_t t, std::uint32_t page) {
    std::uint8_t bytes[4];
    Put32(bytes, page);
    if (Result r = tx->write(file, static_cast<std::uint64_t>(mdx.tags[t].headerPage) * kMdxPageSize, bytes, 4))
      return r;
    mdx.tags[t].rootPage = page;
    return Ok;
  }

  // The path to the first entry at or after (key, record): `found` is false
  // when every entry comes before it, and the path then ends after the last
  // entry of the last leaf. Equal keys may span leaves under several
  // children: a child whose entries all come before moves the search on to
  // the next one.
  Result seek(std::size_t t, std::uint32_t page, int depth, std::string_view key, std::uint32_t record,
              Path& path, bool& found) {
    if (depth >= kMaxDepth) return Corrupt(mdx.path, "tag " + tagName(t) + ": the tree is deeper than any index");
    // A sound tree shows each block once to a search; more means pages shared
    // or looping, which could otherwise make a search walk on and on.
    if (++seekLoads > mdx.pages / mdx.pagesPerBlock + 1)
      return Corrupt(mdx.path, "tag " + tagName(t) + ": the tree reaches pages more than once");
    const Geometry& g = geoms[t];
    Frame f;
    f.page = page;
    if (Result r = load(t, page, f.node)) return r;
    const std::vector<std::string>& keys = f.node.keys;
    if (f.node.leaf) {
      std::size_t lo = 0, hi = keys.size();
      while (lo < hi) {
        const std::size_t mid = (lo + hi) / 2;
        if (g.compareEntries(keys[mid], f.node.ptrs[mid], key, record) < 0)
          lo = mid + 1;
        else
          hi = mid;
      }
      f.index = lo;
      found = lo < keys.size();
      path.push_back(std::move(f));
      return Ok;
    }
    std::size_t lo = 0, hi = keys.size();
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (g.compareKeys(keys[mid], key) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    const std::size_t at = path.size();
    path.push_back(std::move(f));
    for (std::size_t i = lo; i < path[at].node.ptrs.size(); ++i) {
      path.resize(at + 1);
      path[at].index = i;
      if (Result r = seek(t, path[at].node.ptrs[i], depth + 1, key, record, path, found)) return r;
      if (found) return Ok;
    }
    return Ok;
  }

  Result seekRoot(std::size_t t, std::string_view key, std::uint32_t record, Path& path, bool& found) {
    path.clear();
    found = false;
    seekLoads = 0;
    return seek(t, mdx.tags[t].rootPage, 0, key, record, path, found);
  }

  Result flush(std::size_t t, Path& path) {
    for (Frame& f : path)
      if (f.dirty) {
        if (Result r = store(t, f.page, f.node)) return r;
        f.dirty = false;
      }
    return Ok;
  }

  // The largest key under path[level] changed to `key`: the separator that
  // bounds it sits in the nearest ancestor that has it as a child other than
  // the last.
  static void setMaxUpward(Path& path, std::size_t level, const std::string& key) {
    for (std::size_t l = level; l-- > 0;) {
      Frame& p = path[l];
      if (p.index < p.node.keys.size()) {
        p.node.keys[p.index] = key;
        p.dirty = true;
        return;
      }
    }
  }

  Result insertAt(std::size_t t, Path& path, std::string_view key, std::uint32_t record) {
    const Geometry& g = geoms[t];
    Frame& leaf = path.back();
    leaf.node.keys.insert(leaf.node.keys.begin() + static_cast<std::ptrdiff_t>(leaf.index), std::string(key));
    leaf.node.ptrs.insert(leaf.node.ptrs.begin() + static_cast<std::ptrdiff_t>(leaf.index), record);
    leaf.dirty = true;
    for (std::size_t level = path.size(); level-- > 0;) {
      Frame& f = path[level];
      if (f.node.keys.size() <= g.maxKeys) break;
      Node right;
      right.leaf = f.node.leaf;
      std::string up;
      const std::size_t n = f.node.keys.size();
      if (f.node.leaf) {
        const std::size_t keep = (n + 1) / 2;
        right.keys.assign(f.node.keys.begin() + static_cast<std::ptrdiff_t>(keep), f.node.keys.end());
        right.ptrs.assign(f.node.ptrs.begin() + static_cast<std::ptrdiff_t>(keep), f.node.ptrs.end());
        f.node.keys.resize(keep);
        f.node.ptrs.resize(keep);
        up = f.node.keys.back();
      } else {
        const std::size_t m = n / 2;
        up = f.node.keys[m];
        right.keys.assign(f.node.keys.begin() + static_cast<std::ptrdiff_t>(m + 1), f.node.keys.end());
        right.ptrs.assign(f.node.ptrs.begin() + static_cast<std::ptrdiff_t>(m + 1), f.node.ptrs.end());
        f.node.keys.resize(m);
        f.node.ptrs.resize(m + 1);
      }
      std::uint32_t rightPage = 0;
      if (Result r = allocate(rightPage)) return r;
      if (Result r = store(t, rightPage, right)) return r;
      if (level == 0) {
        Node root;
        root.leaf = false;
        root.keys.push_back(up);
        root.ptrs = {f.page, rightPage};
        std::uint32_t rootPage = 0;
        if (Result r = allocate(rootPage)) return r;
        if (Result r = store(t, rootPage, root)) return r;
        if (Result r = setRoot(t, rootPage)) return r;
        break;
      }
      Frame& p = path[level - 1];
      p.node.keys.insert(p.node.keys.begin() + static_cast<std::ptrdiff_t>(p.index), up);
      p.node.ptrs.insert(p.node.ptrs.begin() + static_cast<std::ptrdiff_t>(p.index + 1), rightPage);
      p.dirty = true;
    }
    return flush(t, path);
  }

  Result removeAt(std::size_t t, Path& path) {
    Frame& leaf = path.back();
    const bool wasLast = leaf.index + 1 == leaf.node.keys.size();
    leaf.node.keys.erase(leaf.node.keys.begin() + static_cast<std::ptrdiff_t>(leaf.index));
    leaf.node.ptrs.erase(leaf.node.ptrs.begin() + static_cast<std::ptrdiff_t>(leaf.index));
    leaf.dirty = true;
    if (wasLast && !leaf.node.keys.empty()) setMaxUpward(path, path.size() - 1, leaf.node.keys.back());
    if (Result r = rebalance(t, path, path.size() - 1)) return r;
    return flush(t, path);
  }

  // Restores the fill of path[level] after a removal: a root interior node
  // left with one child gives way to it; another node under half full takes
  // items from a neighbour, or merges with it when both fit one node.
  Result rebalance(std::size_t t, Path& path, std::size_t level) {
    const Geometry& g = geoms[t];
    for (;;) {
      Frame& f = path[level];
      if (level == 0) {
        if (!f.node.leaf && f.node.keys.empty()) {
          if (Result r = setRoot(t, f.node.ptrs[0])) return r;
          if (Result r = release(f.page)) return r;
          f.dirty = false;
        }
        return Ok;
      }
      if (f.node.keys.size() >= minKeys(t) && !f.node.keys.empty()) return Ok;
      Frame& p = path[level - 1];
      const bool withLeft = p.index > 0;
      const std::size_t j = withLeft ? p.index - 1 : p.index;  // the left one's place in the parent
      if (!withLeft && p.node.ptrs.size() < 2)
        return Corrupt(mdx.path, "tag " + tagName(t) + ": page " + std::to_string(p.page) + " has one child");
      const std::uint32_t siblingPage = p.node.ptrs[withLeft ? j : j + 1];
      Node sibling;
      if (Result r = load(t, siblingPage, sibling)) return r;
      if (sibling.leaf != f.node.leaf)
        return Corrupt(mdx.path, "tag " + tagName(t) + ": leaves at different depths");
      Node left = withLeft ? std::move(sibling) : std::move(f.node);
      Node right = withLeft ? std::move(f.node) : std::move(sibling);
      const std::uint32_t leftPage = withLeft ? siblingPage : f.page;
      const std::uint32_t rightPage = withLeft ? f.page : siblingPage;
      f.dirty = false;  // what it held is in left/right now and is written from there
      std::vector<std::string> keys = std::move(left.keys);
      std::vector<std::uint32_t> ptrs = std::move(left.ptrs);
      const bool leaf = left.leaf;
      if (!leaf) keys.push_back(p.node.keys[j]);
      keys.insert(keys.end(), std::make_move_iterator(right.keys.begin()), std::make_move_iterator(right.keys.end()));
      ptrs.insert(ptrs.end(), right.ptrs.begin(), right.ptrs.end());
      if (keys.size() <= g.maxKeys) {
        // Merge into the left node; the right one goes to the free list.
        Node merged;
        merged.leaf = leaf;
        merged.keys = std::move(keys);
        merged.ptrs = std::move(ptrs);
        p.node.keys.erase(p.node.keys.begin() + static_cast<std::ptrdiff_t>(j));
        p.node.ptrs.erase(p.node.ptrs.begin() + static_cast<std::ptrdiff_t>(j + 1));
        p.index = j;
        p.dirty = true;
        if (leaf && !merged.keys.empty()) {
          // The right node may have been emptied before its separator moved.
          if (j < p.node.keys.size()) {
            p.node.keys[j] = merged.keys.back();
          } else {
            setMaxUpward(path, level - 1, merged.keys.back());
          }
        }
        if (Result r = store(t, leftPage, merged)) return r;
        if (Result r = release(rightPage)) return r;
        --level;
        continue;
      }
      // Share the items out evenly.
      Node l, r;
      l.leaf = r.leaf = leaf;
      if (leaf) {
        const std::size_t keep = (keys.size() + 1) / 2;
        l.keys.assign(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(keep));
        l.ptrs.assign(ptrs.begin(), ptrs.begin() + static_cast<std::ptrdiff_t>(keep));
        r.keys.assign(keys.begin() + static_cast<std::ptrdiff_t>(keep), keys.end());
        r.ptrs.assign(ptrs.begin() + static_cast<std::ptrdiff_t>(keep), ptrs.end());
        p.node.keys[j] = l.keys.back();
      } else {
        const std::size_t m = keys.size() / 2;
        l.keys.assign(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(m));
        l.ptrs.assign(ptrs.begin(), ptrs.begin() + static_cast<std::ptrdiff_t>(m + 1));
        p.node.keys[j] = keys[m];
        r.keys.assign(keys.begin() + static_cast<std::ptrdiff_t>(m + 1), keys.end());
        r.ptrs.assign(ptrs.begin() + static_cast<std::ptrdiff_t>(m + 1), ptrs.end());
      }
      p.dirty = true;
      if (Result res = store(t, leftPage, l)) return res;
      if (Result res = store(t, rightPage, r)) return res;
      return Ok;  // the pair's largest key stayed in the right node: nothing above changes
    }
  }

  Result finishChange() {
    std::uint8_t now[16] = {};
    Put32(now, mdx.pages);
    Put32(now + 4, mdx.firstFreePage);
    Put32(now + 8, mdx.freeBlocks);
    mdx.updated = Today();
    PutHeaderDate(now + 12, mdx.updated);
    now[15] = savedHeader[15];
    if (std::memcmp(now, savedHeader, sizeof now) == 0) return Ok;
    if (Result r = tx->write(file, 32, now, sizeof now)) return r;
    std::memcpy(savedHeader, now, sizeof now);
    return Ok;
  }

  Result checkKey(std::size_t t, std::string_view key, std::uint32_t record) const {
    if (t >= mdx.tags.size()) return Fail(ErrInvalidParameter, mdx.path + ": no tag number " + std::to_string(t));
    if (key.size() != geoms[t].keyLength)
      return Fail(ErrInvalidParameter, mdx.path + ": the key of tag " + tagName(t) + " is not " +
                                           std::to_string(geoms[t].keyLength) + " bytes");
    if (record == 0) return Fail(ErrInvalidParameter, "record numbers start at 1");
    return Ok;
  }

  Result insertKey(std::size_t t, std::string_view key, std::uint32_t record) {
    if (Result r = checkKey(t, key, record)) return r;
    const Geometry& g = geoms[t];
    Path path;
    bool found = false;
    if (mdx.tags[t].unique) {
      if (Result r = seekRoot(t, key, 0, path, found)) return r;
      const Frame& leaf = path.back();
      if (found && g.compareKeys(leaf.node.keys[leaf.index], key) == 0) {
        if (leaf.node.ptrs[leaf.index] <= record) return finishChange();  // an earlier record holds the key
        if (Result r = removeAt(t, path)) return r;
        if (Result r = seekRoot(t, key, record, path, found)) return r;
      }
    } else {
      if (Result r = seekRoot(t, key, record, path, found)) return r;
      const Frame& leaf = path.back();
      if (found && leaf.node.ptrs[leaf.index] == record && g.compareKeys(leaf.node.keys[leaf.index], key) == 0)
        return finishChange();  // present already
    }
    if (Result r = insertAt(t, path, key, record)) return r;
    return finishChange();
  }

  Result removeKey(std::size_t t, std::string_view key, std::uint32_t record) {
    if (Result r = checkKey(t, key, record)) return r;
    Path path;
    bool found = false;
    if (Result r = seekRoot(t, key, record, path, found)) return r;
    const Frame& leaf = path.back();
    if (!found || leaf.node.ptrs[leaf.index] != record ||
        geoms[t].compareKeys(leaf.node.keys[leaf.index], key) != 0) {
      if (mdx.tags[t].unique) return finishChange();
      return Corrupt(mdx.path, "tag " + tagName(t) + " has no entry for record " + std::to_string(record) +
                                   ": the index is out of step with the table");
    }
    if (Result r = removeAt(t, path)) return r;
    if (mdx.tags[t].unique && nextHolder) {
      std::uint32_t next = 0;
      if (Result r = nextHolder(t, key, record, next)) return r;
      if (next != 0 && next != record) return insertKey(t, key, next);
    }
    return finishChange();
  }

  Result checkRecord(const MdxRecordKeys& keys) const {
    if (keys.keys.size() != mdx.tags.size() || (!keys.included.empty() && keys.included.size() != mdx.tags.size()))
      return Fail(ErrInvalidParameter, mdx.path + ": " + std::to_string(keys.keys.size()) + " keys for " +
                                           std::to_string(mdx.tags.size()) + " tags");
    return Ok;
  }
};

MdxWriter::MdxWriter() = default;
MdxWriter::~MdxWriter() { delete impl_; }

Result MdxWriter::open(io::Transaction& tx, const std::string& path) {
  delete impl_;
  impl_ = nullptr;
  if (!tx.active()) return Fail(ErrInvalidParameter, path + ": changes to an index need a transaction");
  auto impl = std::make_unique<Impl>();
  impl->tx = &tx;
  impl->nextHolder = nextHolder_;
  if (Result r = impl->file.open(path, io::File::Mode::ReadWrite)) return r;
  std::uint64_t size = 0;
  if (Result r = tx.size(impl->file, size)) return r;
  if (Result r = ReadHeaderFrom(impl->reader(), path, size, impl->mdx)) return r;
  std::uint8_t head[48];
  if (Result r = tx.read(impl->file, 0, head, sizeof head)) return r;
  std::memcpy(impl->savedHeader, head + 32, 16);
  for (const MdxTag& tag : impl->mdx.tags) impl->geoms.push_back(GeometryOf(tag, impl->mdx.blockSize));
  // The free list is taken from as the index grows: it must be sound.
  const Bounds bounds = impl->bounds();
  std::vector<std::uint8_t> seen(impl->mdx.pages, 0);
  std::uint32_t count = 0;
  for (std::uint32_t page = impl->mdx.firstFreePage; page != 0;) {
    if (!bounds.blockInside(page) || seen[page]) return Corrupt(path, "the free list is damaged");
    seen[page] = 1;
    ++count;
    std::uint8_t link[8];
    if (Result r = tx.read(impl->file, static_cast<std::uint64_t>(page) * kMdxPageSize, link, 8)) return r;
    page = Get32(link + 4);
  }
  impl->mdx.freeBlocks = count;
  impl_ = impl.release();
  return Ok;
}

const MdxFile& MdxWriter::file() const {
  static const MdxFile none;
  return impl_ ? impl_->mdx : none;
}

void MdxWriter::setNextHolder(NextHolder find) {
  nextHolder_ = std::move(find);
  if (impl_) impl_->nextHolder = nextHolder_;
}

Result MdxWriter::insertKey(std::size_t tag, std::string_view key, std::uint32_t record) {
  if (!impl_) return Fail(ErrInvalidHandle, "the index is not open");
  return impl_->insertKey(tag, key, record);
}

Result MdxWriter::removeKey(std::size_t tag, std::string_view key, std::uint32_t record) {
  if (!impl_) return Fail(ErrInvalidHandle, "the index is not open");
  return impl_->removeKey(tag, key, record);
}

Result MdxWriter::insert(const MdxRecordKeys& keys) {
  if (!impl_) return Fail(ErrInvalidHandle, "the index is not open");
  if (Result r = impl_->checkRecord(keys)) return r;
  for (std::size_t t = 0; t < keys.keys.size(); ++t)
    if (keys.included.empty() || keys.included[t])
      if (Result r = impl_->insertKey(t, keys.keys[t], keys.record)) return r;
  return Ok;
}

Result MdxWriter::remove(const MdxRecordKeys& keys) {
  if (!impl_) return Fail(ErrInvalidHandle, "the index is not open");
  if (Result r = impl_->checkRecord(keys)) return r;
  for (std::size_t t = 0; t < keys.keys.size(); ++t)
    if (keys.included.empty() || keys.included[t])
      if (Result r = impl_->removeKey(t, keys.keys[t], keys.record)) return r;
  return Ok;
}

Result MdxWriter::replace(const MdxRecordKeys& oldKeys, const MdxRecordKeys& newKeys) {
  if (!impl_) return Fail(ErrInvalidHandle, "the index is not open");
  if (Result r = impl_->checkRecord(oldKeys)) return r;
  if (Result r = impl_->checkRecord(newKeys)) return r;
  if (oldKeys.record != newKeys.record)
    return Fail(ErrInvalidParameter, "a replace keeps the record number");
  for (std::size_t t = 0; t < newKeys.keys.size(); ++t) {
    const bool wasIn = oldKeys.included.empty() || oldKeys.included[t];
    const bool isIn = newKeys.included.empty() || newKeys.included[t];
    if (wasIn == isIn && (!wasIn || oldKeys.keys[t] == newKeys.keys[t])) continue;
    if (wasIn)
      if (Result r = impl_->removeKey(t, oldKeys.keys[t], oldKeys.record)) return r;
    if (isIn)
      if (Result r = impl_->insertKey(t, newKeys.keys[t], newKeys.record)) return r;
  }
  return Ok;
}

// ---- Key expressions ----

namespace {

class ExprParser {
 public:
  ExprParser(std::string_view text, const std::vector<MdxField>& fields) : s_(text), fields_(fields) {}

  Result parse(std::vector<KeyExpression::Part>& parts) {
    if (Result r = expr(parts, false)) return r;
    skip();
    if (i_ != s_.size()) return unsupported();
    return Ok;
  }

  Result unsupported() const {
    return Fail(ErrNotSupported, "key expression \"" + std::string(s_) + "\" is not supported");
  }

 private:
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
  }
  bool eat(char c) {
    skip();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  static bool NameChar(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  }
  bool name(std::string& out) {
    skip();
    const std::size_t start = i_;
    while (i_ < s_.size() && NameChar(s_[i_])) ++i_;
    out = Upper(s_.substr(start, i_ - start));
    return !out.empty() && !(out[0] >= '0' && out[0] <= '9');
  }
  bool number(int& out) {
    skip();
    const std::size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && i_ - start < 4) ++i_;
    if (i_ == start) return false;
    out = std::stoi(std::string(s_.substr(start, i_ - start)));
    return true;
  }
  Result field(const std::string& n, MdxField& out) const {
    for (const MdxField& f : fields_)
      if (Upper(f.name) == n) {
        out = f;
        out.type = static_cast<char>(Upper(std::string(1, f.type))[0]);
        return Ok;
      }
    return Fail(ErrInvalidFieldName, "key expression \"" + std::string(s_) + "\": no field " + n);
  }

  Result expr(std::vector<KeyExpression::Part>& parts, bool upper) {
    for (;;) {
      if (Result r = term(parts, upper)) return r;
      if (!eat('+')) return Ok;
    }
  }

  Result term(std::vector<KeyExpression::Part>& parts, bool upper) {
    std::string n;
    if (!name(n)) return unsupported();
    if (!eat('(')) {
      KeyExpression::Part p;
      if (Result r = field(n, p.field)) return r;
      p.upper = upper;
      parts.push_back(std::move(p));
      return Ok;
    }
    if (n == "UPPER") {
      if (Result r = expr(parts, true)) return r;
      if (!eat(')')) return unsupported();
      return Ok;
    }
    KeyExpression::Part p;
    std::string arg;
    if ((n != "DTOS" && n != "STR") || !name(arg)) return unsupported();
    if (Result r = field(arg, p.field)) return r;
    p.upper = upper;
    if (n == "DTOS") {
      if (p.field.type != 'D') return unsupported();
      p.kind = KeyExpression::Part::Dtos;
      p.width = 8;
    } else {
      if (p.field.type != 'N' && p.field.type != 'F') return unsupported();
      p.kind = KeyExpression::Part::Str;
      int width = 10, decimals = 0;
      if (eat(',')) {
        if (!number(width)) return unsupported();
        if (eat(',') && !number(decimals)) return unsupported();
      }
      if (width < 1 || width > static_cast<int>(kMdxMaxCharKey) || decimals < 0 || decimals >= width)
        return unsupported();
      p.width = static_cast<std::uint16_t>(width);
      p.decimals = static_cast<std::uint8_t>(decimals);
    }
    if (!eat(')')) return unsupported();
    parts.push_back(std::move(p));
    return Ok;
  }

  std::string_view s_;
  const std::vector<MdxField>& fields_;
  std::size_t i_ = 0;
};

bool Blank(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// STR(): the number rounded half away from zero to `decimals`, right-aligned
// in `width`; asterisks when it does not fit.
std::string FormatStr(const Decimal& d, std::size_t width, std::size_t decimals) {
  std::string whole, frac;
  const int len = static_cast<int>(d.digits.size());
  if (d.exponent > 0) {
    whole = d.digits.substr(0, static_cast<std::size_t>(std::min(d.exponent, len)));
    if (d.exponent > len) whole.append(static_cast<std::size_t>(d.exponent - len), '0');
    if (d.exponent < len) frac = d.digits.substr(static_cast<std::size_t>(d.exponent));
  } else {
    frac = std::string(static_cast<std::size_t>(-d.exponent), '0') + d.digits;
  }
  if (whole.empty()) whole = "0";
  bool roundUp = frac.size() > decimals && frac[decimals] >= '5';
  frac.resize(decimals, '0');
  std::string all = whole + frac;
  for (std::size_t k = all.size(); roundUp && k-- > 0;) {
    if (all[k] == '9') {
      all[k] = '0';
    } else {
      ++all[k];
      roundUp = false;
    }
  }
  if (roundUp) all.insert(all.begin(), '1');
  const bool nonzero = all.find_first_not_of('0') != std::string::npos;
  std::string text = (d.negative && nonzero ? "-" : "") + all.substr(0, all.size() - decimals);
  if (decimals > 0) text += "." + all.substr(all.size() - decimals);
  if (text.size() > width) return std::string(width, '*');
  return std::string(width - text.size(), ' ') + text;
}

}  // namespace

Result KeyExpression::Parse(std::string_view text, const std::vector<MdxField>& fields, KeyExpression& out) {
  out = KeyExpression{};
  out.text_ = std::string(text);
  ExprParser parser(text, fields);
  std::vector<Part> parts;
  if (Result r = parser.parse(parts)) return r;
  if (parts.size() == 1 && parts[0].kind == Part::Field && parts[0].field.type != 'C') {
    const char t = parts[0].field.type;
    if (parts[0].upper || (t != 'N' && t != 'F' && t != 'D')) return parser.unsupported();
    out.type_ = t == 'D' ? 'D' : 'N';
    out.length_ = static_cast<std::uint16_t>(FixedKeyLength(out.type_, 0));
    out.parts_ = std::move(parts);
    return Ok;
  }
  std::size_t length = 0;
  for (Part& p : parts) {
    if (p.kind == Part::Field) {
      if (p.field.type != 'C') return parser.unsupported();
      p.width = p.field.length;
    }
    length += p.width;
  }
  if (length < 1 || length > kMdxMaxCharKey)
    return Fail(ErrNotSupported, "key expression \"" + std::string(text) + "\" gives " + std::to_string(length) +
                                     " bytes; a key holds 1 to 100");
  out.type_ = 'C';
  out.length_ = static_cast<std::uint16_t>(length);
  out.parts_ = std::move(parts);
  return Ok;
}

Result KeyExpression::evaluate(std::string_view bytes, std::string& key) const {
  key.clear();
  if (parts_.empty()) return Fail(ErrInvalidParameter, "the key expression was not parsed");
  for (const Part& p : parts_)
    if (static_cast<std::size_t>(p.field.offset) + p.field.length > bytes.size())
      return Fail(ErrInvalidParameter, "key expression \"" + text_ + "\": field " + p.field.name +
                                           " lies beyond the record's " + std::to_string(bytes.size()) + " bytes");
  const auto* record = reinterpret_cast<const std::uint8_t*>(bytes.data());
  auto bad = [&](const Part& p, const std::string& raw, const char* what) {
    return Fail(ErrInvalidValue, "key expression \"" + text_ + "\": field " + p.field.name + " holds \"" + raw +
                                     "\", " + what);
  };
  const Part& first = parts_[0];
  if (type_ == 'N') {
    const std::string raw(reinterpret_cast<const char*>(record + first.field.offset), first.field.length);
    if (NumericKey(raw, key) != Ok) return bad(first, raw, "not a number");
    return Ok;
  }
  if (type_ == 'D') {
    const std::uint8_t* p = record + first.field.offset;
    if (Blank(p, 8)) {
      key = DateKey(DateValue{});
      return Ok;
    }
    int v[3] = {0, 0, 0};
    const int widths[3] = {4, 2, 2};
    std::size_t at = 0;
    for (int k = 0; k < 3; ++k)
      for (int w = 0; w < widths[k]; ++w, ++at) {
        if (p[at] < '0' || p[at] > '9') return bad(first, std::string(reinterpret_cast<const char*>(p), 8), "not a date");
        v[k] = v[k] * 10 + (p[at] - '0');
      }
    int y = 0, m = 0, d = 0;
    const std::int32_t day = DayNumber(v[0], v[1], v[2]);
    SplitDayNumber(day, y, m, d);
    if (v[0] < 1 || y != v[0] || m != v[1] || d != v[2])
      return bad(first, std::string(reinterpret_cast<const char*>(p), 8), "not a date");
    key = DateKey(DateValue{day});
    return Ok;
  }
  for (const Part& p : parts_) {
    const std::uint8_t* f = record + p.field.offset;
    const std::size_t start = key.size();
    switch (p.kind) {
      case Part::Field:
        key.append(reinterpret_cast<const char*>(f), p.field.length);
        break;
      case Part::Dtos:
        if (Blank(f, 8))
          key.append(8, ' ');
        else
          key.append(reinterpret_cast<const char*>(f), 8);
        break;
      case Part::Str: {
        const std::string raw(reinterpret_cast<const char*>(f), p.field.length);
        Decimal d;
        if (!ParseDecimal(raw, d)) return bad(p, raw, "not a number");
        key += FormatStr(d, p.width, p.decimals);
        break;
      }
    }
    if (p.upper)
      for (std::size_t k = start; k < key.size(); ++k)
        if (key[k] >= 'a' && key[k] <= 'z') key[k] = static_cast<char>(key[k] - 'a' + 'A');
  }
  return Ok;
}
}  // namespace engine::dbase
