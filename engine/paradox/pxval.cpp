#include "engine/paradox/pxval.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "engine/io/file.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/paradox/pxpicture.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"
#include "engine/valchecks.h"

namespace engine::paradox {

namespace {

// Offsets inside the records (docs/validity.md).
constexpr std::size_t kHdrChecks = 0x02, kHdrTime = 0x03, kHdrFieldsPlusOne = 0x07,
                      kHdrFooter = 0x09, kHdrLinks = 0x0D;
constexpr std::size_t kLinkName = 0x00, kLinkIndexName = 0x40, kLinkIndexId = 0xB2,
                      kLinkParent = 0xD4, kLinkRule = 0x19A, kLinkCount = 0x19E,
                      kLinkChildFields = 0x1A0, kLinkParentFields = 0x1C0;
constexpr std::size_t kDepName = 0x00, kDepChild = 0x40, kDepIndexName = 0x92,
                      kDepIndexId = 0x104, kDepRule = 0x106, kDepFields = 0x10A;
constexpr std::size_t kParentKeyCount = 0x94, kParentKeyFields = 0x96;
constexpr std::size_t kNameArea = 0x40, kFooterTableName = 0x4F;
constexpr std::size_t kTableNameLimit = 0x4E;  // longest table name we store
constexpr int kMaxPicture = 175;
constexpr std::uint16_t kHasValue = 0xFFFF;

std::uint16_t Get16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return Get16(p) | (static_cast<std::uint32_t>(Get16(p + 2)) << 16);
}
void Put16(std::uint8_t* p, std::uint16_t v) {
  p[0] = v & 0xFF;
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
void Append16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}

std::string CString(const std::uint8_t* p, std::size_t max) {
  return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), max));
}
// Writes a name and its terminator; bytes after it stay as they were, as
// other programs leave them.
void PutCString(std::uint8_t* p, std::size_t area, const std::string& s) {
  std::size_t n = std::min(s.size(), area - 1);
  std::memcpy(p, s.data(), n);
  p[n] = 0;
}

using io::Upper;

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::uint16_t FieldWidth(std::uint8_t code, std::uint8_t size) { return code == fcBcd ? 17 : size; }

Result Corrupt(const std::string& path, const std::string& what) {
  return Fail(ErrCorruptValidity, path + ": " + what);
}

// ---------------------------------------------------------------- reading

class Reader {
 public:
  Reader(const std::string& path, const std::string& bytes)
      : path_(path), p_(reinterpret_cast<const std::uint8_t*>(bytes.data())), n_(bytes.size()) {}

  bool has(std::size_t at, std::size_t len) const { return at <= n_ && len <= n_ - at; }
  const std::uint8_t* at(std::size_t off) const { return p_ + off; }

  Result footer(std::size_t pos, ValFile& out) {
    if (!has(pos, 6)) return Corrupt(path_, "the field list lies outside the file");
    const std::uint16_t count = Get16(at(pos));
    std::size_t q = pos + 6;
    if (!has(q, count * 4u + kFooterTableName))
      return Corrupt(path_, "the field list is cut short");
    out.fields.resize(count);
    for (auto& f : out.fields) {
      f.number = Get16(at(q));
      q += 2;
    }
    for (auto& f : out.fields) {
      f.code = *at(q);
      f.size = *at(q + 1);
      q += 2;
      const std::string problem = FieldSizeProblem(f.code, f.size);
      if (!problem.empty())
        return Corrupt(path_, "field " + std::to_string(&f - out.fields.data() + 1) +
                                  " of the field list: " + problem);
    }
    q += kFooterTableName;
    for (auto& f : out.fields) {
      const void* end = q < n_ ? std::memchr(at(q), 0, n_ - q) : nullptr;
      if (!end) return Corrupt(path_, "the field names are cut short");
      f.name = CString(at(q), n_ - q);
      q += f.name.size() + 1;
    }
    out.footer.assign(reinterpret_cast<const char*>(at(pos)), n_ - pos);
    return Ok;
  }

  Result check(std::size_t& pos, const ValFile& file, ValCheckRecord& c) {
    const std::string which = "check " + std::to_string(file.checks.size() + 1);
    if (!has(pos, kValCheckHeadSize)) return Corrupt(path_, which + " is cut short");
    std::memcpy(c.head.data(), at(pos), kValCheckHeadSize);
    pos += kValCheckHeadSize;
    if (c.field() >= file.fields.size())
      return Corrupt(path_, which + " names field " + std::to_string(c.field() + 1) +
                                " of a table with " + std::to_string(file.fields.size()));
    const ValFooterField& f = file.fields[c.field()];
    auto part = [&](std::string& out, std::size_t len) -> Result {
      if (!has(pos, len)) return Corrupt(path_, which + " is cut short");
      out.assign(reinterpret_cast<const char*>(at(pos)), len);
      pos += len;
      return Ok;
    };
    if (c.present(0))
      if (Result r = part(c.lookup, kValLookupSize)) return r;
    if (c.present(1))
      return Fail(ErrNotSupported, path_ + ": " + which + " holds a part of unknown layout");
    const std::uint16_t width = FieldWidth(f.code, f.size);
    if (c.present(2))
      if (Result r = part(c.min, width)) return r;
    if (c.present(3))
      if (Result r = part(c.max, width)) return r;
    if (c.present(4))
      if (Result r = part(c.dflt, width)) return r;
    if (c.present(5) && c.head[1] > 0) {
      if (Result r = part(c.picture, c.head[1])) return r;
      c.picture.resize(strnlen(c.picture.data(), c.picture.size()));
    }
    return Ok;
  }

  Result links(std::size_t pos, std::size_t end, ValFile& out) {
    out.hasLinkSection = true;
    if (!has(pos, 2)) return Corrupt(path_, "the links lie outside the file");
    const std::uint16_t count = Get16(at(pos));
    pos += 2;
    if (!has(pos, count * kValLinkSize)) return Corrupt(path_, "the links are cut short");
    for (std::uint16_t i = 0; i < count; ++i, pos += kValLinkSize) {
      ValLinkRecord link;
      std::memcpy(link.raw.data(), at(pos), kValLinkSize);
      if (Get16(link.raw.data() + kLinkCount) == 0 || Get16(link.raw.data() + kLinkCount) > kMaxKeyFields)
        return Corrupt(path_, "link " + std::to_string(i + 1) + " has an invalid field count");
      out.links.push_back(link);
    }
    if (pos == end) return Ok;  // no parent part
    if (!has(pos, 2)) return Corrupt(path_, "the parent part lies outside the file");
    const std::uint16_t parents = Get16(at(pos));
    pos += 2;
    if (parents > 1) return Corrupt(path_, "the file names " + std::to_string(parents) + " parent keys");
    if (parents == 1) {
      out.isParent = true;
      if (!has(pos, kValMasterSize + 2)) return Corrupt(path_, "the parent part is cut short");
      std::memcpy(out.parent.data(), at(pos), kValMasterSize);
      pos += kValMasterSize;
      if (Get16(out.parent.data() + kParentKeyCount) == 0 ||
          Get16(out.parent.data() + kParentKeyCount) > kMaxKeyFields)
        return Corrupt(path_, "the parent part has an invalid key field count");
      const std::uint16_t deps = Get16(at(pos));
      pos += 2;
      if (!has(pos, deps * kValDependentSize))
        return Corrupt(path_, "the list of dependent tables is cut short");
      for (std::uint16_t i = 0; i < deps; ++i, pos += kValDependentSize) {
        ValDependentRecord d;
        std::memcpy(d.raw.data(), at(pos), kValDependentSize);
        out.dependents.push_back(d);
      }
    }
    if (pos != end)
      return Corrupt(path_, "the links end at " + std::to_string(pos) +
                                " but the field list starts at " + std::to_string(end));
    return Ok;
  }

 private:
  std::string path_;
  const std::uint8_t* p_;
  std::size_t n_;
};

}  // namespace

bool ValCheckRecord::present(int word) const {
  return Get32(head.data() + 4 + 4 * word) != 0;
}

void ValCheckRecord::setPresent(int word, bool on) {
  // Other programs keep a memory address here; any non-zero word marks the part.
  if (present(word) != on) Put32(head.data() + 4 + 4 * word, on ? 1 : 0);
}

Result ParseValFile(const std::string& path, const std::string& bytes, ValFile& out) {
  out = ValFile{};
  Reader in(path, bytes);
  if (!in.has(0, kValHeaderSize)) return Corrupt(path, "the file is shorter than its header");
  std::memcpy(out.header.data(), in.at(0), kValHeaderSize);
  const std::uint8_t version = out.version();
  if (version < 0x09 || version > 0x0B)
    return Fail(ErrUnsupportedVersion, path + ": validity-check layout version " +
                                           std::to_string(version) +
                                           " is not supported (versions 9 to 11 are)");
  const std::uint32_t footerPos = Get32(in.at(kHdrFooter));
  const std::uint32_t linkPos = Get32(in.at(kHdrLinks));
  if (footerPos < kValHeaderSize || footerPos >= bytes.size() ||
      (linkPos && (linkPos < kValHeaderSize || linkPos > footerPos)))
    return Corrupt(path, "the header points outside the file");
  if (Result r = in.footer(footerPos, out)) return r;
  std::size_t pos = kValHeaderSize;
  for (int i = 0; i < out.header[kHdrChecks]; ++i) {
    ValCheckRecord c;
    if (Result r = in.check(pos, out, c)) return r;
    out.checks.push_back(std::move(c));
  }
  const std::size_t next = linkPos ? linkPos : footerPos;
  if (pos != next)
    return Corrupt(path, "the checks end at " + std::to_string(pos) + " but the next part starts at " +
                             std::to_string(next));
  if (linkPos)
    if (Result r = in.links(linkPos, footerPos, out)) return r;
  return Ok;
}

Result ReadValFile(const std::string& path, ValFile& out) {
  std::string bytes;
  if (Result r = io::ReadWholeFile(path, bytes)) return r;
  return ParseValFile(path, bytes, out);
}

std::string SerializeValFile(const ValFile& f) {
  std::string s(reinterpret_cast<const char*>(f.header.data()), kValHeaderSize);
  s[kHdrChecks] = static_cast<char>(f.checks.size());
  for (const ValCheckRecord& c : f.checks) {
    ValCheckRecord w = c;
    if (w.present(5)) w.head[1] = static_cast<std::uint8_t>(w.picture.size() + 1);
    s.append(reinterpret_cast<const char*>(w.head.data()), kValCheckHeadSize);
    if (w.present(0)) s += w.lookup;
    if (w.present(2)) s += w.min;
    if (w.present(3)) s += w.max;
    if (w.present(4)) s += w.dflt;
    if (w.present(5)) {
      s += w.picture;
      s += '\0';
    }
  }
  std::uint32_t linkPos = 0;
  if (f.hasLinkSection || !f.links.empty() || f.isParent) {
    linkPos = static_cast<std::uint32_t>(s.size());
    Append16(s, static_cast<std::uint16_t>(f.links.size()));
    for (const auto& l : f.links) s.append(reinterpret_cast<const char*>(l.raw.data()), kValLinkSize);
    Append16(s, f.isParent ? 1 : 0);
    if (f.isParent) {
      s.append(reinterpret_cast<const char*>(f.parent.data()), kValMasterSize);
      Append16(s, static_cast<std::uint16_t>(f.dependents.size()));
      for (const auto& d : f.dependents)
        s.append(reinterpret_cast<const char*>(d.raw.data()), kValDependentSize);
    }
  }
  const std::uint32_t footerPos = static_cast<std::uint32_t>(s.size());
  s += f.footer;
  Put32(reinterpret_cast<std::uint8_t*>(s.data()) + kHdrFooter, footerPos);
  Put32(reinterpret_cast<std::uint8_t*>(s.data()) + kHdrLinks, linkPos);
  return s;
}

ValFile NewValFile(const PxHeader& db) {
  ValFile f;
  f.header[0] = db.raw[0x2E];
  // Level 4 tables (file versions 5 to 9) carry layout 9, later ones 11.
  f.header[1] = db.version() <= 0x09 ? 0x09 : 0x0B;
  Put32(f.header.data() + kHdrTime, static_cast<std::uint32_t>(std::time(nullptr)));
  f.header[kHdrFieldsPlusOne] = static_cast<std::uint8_t>(db.fields.size() + 1);
  std::string names;
  for (const PxField& pf : db.fields) {
    names += pf.name;
    names += '\0';
  }
  std::string& s = f.footer;
  Append16(s, static_cast<std::uint16_t>(db.fields.size()));
  Append16(s, db.keyFieldCount());
  Append16(s, static_cast<std::uint16_t>(kFooterTableName + names.size()));
  for (std::size_t i = 0; i < db.fields.size(); ++i)
    Append16(s, db.fields[i].number ? db.fields[i].number : static_cast<std::uint16_t>(i + 1));
  for (const PxField& pf : db.fields) {
    s += static_cast<char>(pf.code);
    s += static_cast<char>(pf.size);
  }
  std::string table(kFooterTableName, '\0');
  table.replace(0, std::min(db.tableName.size(), kTableNameLimit),
                db.tableName.substr(0, kTableNameLimit));
  s += table;
  s += names;
  for (const PxField& pf : db.fields) f.fields.push_back({pf.number, pf.code, pf.size, pf.name});
  return f;
}

// ---------------------------------------------------------------- records

std::string LinkName(const ValLinkRecord& l) { return CString(l.raw.data() + kLinkName, kNameArea); }
std::string LinkParentTable(const ValLinkRecord& l) {
  return CString(l.raw.data() + kLinkParent, kLinkRule - kLinkParent);
}
std::int32_t LinkUpdateRule(const ValLinkRecord& l) {
  return l.raw[kLinkRule] ? riCascade : riRestrict;
}
namespace {
std::vector<std::uint16_t> FieldList(const std::uint8_t* p, std::uint16_t count) {
  std::vector<std::uint16_t> out;
  for (std::uint16_t i = 0; i < count && i < kMaxKeyFields; ++i) out.push_back(Get16(p + 2 * i));
  return out;
}
}  // namespace
std::vector<std::uint16_t> LinkChildFields(const ValLinkRecord& l) {
  return FieldList(l.raw.data() + kLinkChildFields, Get16(l.raw.data() + kLinkCount));
}
std::vector<std::uint16_t> LinkParentFields(const ValLinkRecord& l) {
  return FieldList(l.raw.data() + kLinkParentFields, Get16(l.raw.data() + kLinkCount));
}
std::string DependentName(const ValDependentRecord& d) {
  return CString(d.raw.data() + kDepName, kNameArea);
}
std::string DependentTable(const ValDependentRecord& d) {
  return CString(d.raw.data() + kDepChild, kDepIndexName - kDepChild);
}
std::int32_t DependentUpdateRule(const ValDependentRecord& d) {
  return Get16(d.raw.data() + kDepRule) ? riCascade : riRestrict;
}
std::vector<std::uint16_t> ParentKeyFields(const ValFile& f) {
  if (!f.isParent) return {};
  return FieldList(f.parent.data() + kParentKeyFields, Get16(f.parent.data() + kParentKeyCount));
}

// ---------------------------------------------------------------- value areas

int HasKind(std::uint16_t word) {
  if (word == chkNone) return chkNone;
  if (word == chkToday || word == chkNow) return word;
  return chkValue;
}

Result AreaToValue(std::uint8_t code, const std::array<std::uint8_t, 256>& a, Value& out) {
  auto i32 = [&] {
    std::int32_t v;
    std::memcpy(&v, a.data(), 4);
    return v;
  };
  double d;
  std::memcpy(&d, a.data(), 8);
  switch (code) {
    case fcNumber: case fcMoney: out = d; return Ok;
    case fcTimestamp: out = TimestampValue{d}; return Ok;
    case fcDate: out = DateValue{i32()}; return Ok;
    case fcTime: out = TimeValue{i32()}; return Ok;
    case fcLong: case fcAutoinc: out = static_cast<std::int64_t>(i32()); return Ok;
    case fcShort: {
      std::int16_t v;
      std::memcpy(&v, a.data(), 2);
      out = static_cast<std::int64_t>(v);
      return Ok;
    }
    case fcLogical: out = a[0] != 0; return Ok;
    case fcBcd: out = BcdValue{CString(a.data(), a.size())}; return Ok;
    default:
      return Fail(ErrInvalidParameter, "fields of this type take no minimum, maximum or default");
  }
}

void ValueToArea(const Value& v, std::array<std::uint8_t, 256>& a) {
  a.fill(0);
  auto put = [&](const void* p, std::size_t n) { std::memcpy(a.data(), p, n); };
  if (auto x = std::get_if<double>(&v)) put(x, 8);
  if (auto x = std::get_if<TimestampValue>(&v)) put(&x->ms, 8);
  if (auto x = std::get_if<DateValue>(&v)) put(&x->day, 4);
  if (auto x = std::get_if<TimeValue>(&v)) put(&x->ms, 4);
  if (auto x = std::get_if<std::int64_t>(&v)) {
    std::int32_t i = static_cast<std::int32_t>(*x);
    put(&i, 4);
  }
  if (auto x = std::get_if<bool>(&v)) a[0] = *x ? 1 : 0;
  if (auto x = std::get_if<BcdValue>(&v)) put(x->text.data(), std::min<std::size_t>(x->text.size(), 255));
}

namespace {

// Values other than text need no code page; any codec serves.
const text::Codec& AnyCodec() { return text::SharedCodec(437); }

}  // namespace

Result AreaToStored(const PxField& f, const std::array<std::uint8_t, 256>& area,
                    std::string& stored) {
  stored.assign(f.width(), '\0');
  auto* p = reinterpret_cast<std::uint8_t*>(stored.data());
  if (f.code == fcAlpha) {
    std::string text = CString(area.data(), area.size());
    if (text.size() > f.width())
      return Fail(ErrInvalidParameter, "Field " + f.name + ": check value \"" + text +
                                           "\" is longer than " + std::to_string(f.width()) +
                                           " characters");
    std::memcpy(p, text.data(), text.size());
    return Ok;
  }
  Value v;
  if (Result r = AreaToValue(f.code, area, v))
    return Fail(r, "Field " + f.name + ": " + LastErrorMessage());
  return EncodeField(f, v, AnyCodec(), p);
}

void StoredToArea(const PxField& f, const std::string& stored, std::array<std::uint8_t, 256>& area) {
  area.fill(0);
  if (stored.size() < f.width()) return;
  const auto* p = reinterpret_cast<const std::uint8_t*>(stored.data());
  if (f.code == fcAlpha) {
    std::memcpy(area.data(), p, strnlen(stored.data(), f.width()));
    return;
  }
  ValueToArea(DecodeField(f, p, AnyCodec()), area);
}

// ---------------------------------------------------------------- side file

namespace {

// The .QVC side file: TODAY and NOW values, which the .VAL layout has no
// documented place for. One line per value: "FIELD PART WORD", e.g.
// "3 default TODAY" (field number 1-based; part min, max or default).
struct Extra {
  std::uint16_t field;
  int part;  // 2 min, 3 max, 4 default
  std::uint16_t kind;
};

const char* kPartNames[] = {"", "", "min", "max", "default"};

Result ReadExtras(const std::string& path, std::vector<Extra>& out) {
  std::string text;
  if (Result r = io::ReadWholeFile(path, text)) return r;
  std::istringstream in(text);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    long field = 0;
    std::string part, word;
    Extra e{0, 0, 0};
    if (words >> field >> part >> word) {
      for (int i = 2; i <= 4; ++i)
        if (part == kPartNames[i]) e.part = i;
      e.kind = word == "TODAY" ? chkToday : word == "NOW" ? chkNow : 0;
    }
    if (field < 1 || field > 255 || !e.part || !e.kind)
      return Corrupt(path, "line " + std::to_string(n) + " is not \"FIELD min|max|default TODAY|NOW\"");
    e.field = static_cast<std::uint16_t>(field);
    out.push_back(e);
  }
  return Ok;
}

std::string WriteExtras(const std::vector<Extra>& extras) {
  std::string s = "# Validity-check values kept beside the .VAL file: FIELD min|max|default TODAY|NOW\n";
  for (const Extra& e : extras)
    s += std::to_string(e.field) + " " + kPartNames[e.part] + " " +
         (e.kind == chkToday ? "TODAY" : "NOW") + "\n";
  return s;
}

std::uint16_t* HasWord(ValCheckDesc& c, int part) {
  return part == 2 ? &c.hasMin : part == 3 ? &c.hasMax : &c.hasDefault;
}

std::int32_t LookupTypeOf(std::uint8_t flags) {
  return lookupCurrentField + (flags & 1) + ((flags & 2) ? 2 : 0);
}
std::uint8_t LookupFlagsOf(std::int32_t type) {
  const int t = type - lookupCurrentField;
  return static_cast<std::uint8_t>((t & 1) | ((t & 2) ? 2 : 0));
}

ValCheckDesc CheckFromRecord(const ValCheckRecord& c, const ValFooterField& ff,
                             const text::Codec& codec) {
  PxField f;
  f.code = ff.code;
  f.size = ff.size;
  ValCheckDesc d;
  d.fieldNumber = static_cast<std::uint16_t>(c.field() + 1);
  d.required = c.required() ? 1 : 0;
  if (c.present(2)) {
    d.hasMin = kHasValue;
    StoredToArea(f, c.min, d.minValue);
  }
  if (c.present(3)) {
    d.hasMax = kHasValue;
    StoredToArea(f, c.max, d.maxValue);
  }
  if (c.present(4)) {
    d.hasDefault = kHasValue;
    StoredToArea(f, c.dflt, d.defaultValue);
  }
  if (c.present(5)) d.picture = codec.toUtf8(c.picture);
  if (c.present(0)) {
    d.lookupType = LookupTypeOf(c.lookupFlags());
    d.lookupTable = codec.toUtf8(CString(reinterpret_cast<const std::uint8_t*>(c.lookup.data()),
                                         c.lookup.size()));
  }
  return d;
}

RefIntDesc LinkFromRecord(const ValLinkRecord& l, const text::Codec& codec) {
  RefIntDesc d;
  d.name = codec.toUtf8(LinkName(l));
  d.kind = riDependent;
  d.otherTable = codec.toUtf8(LinkParentTable(l));
  d.updateRule = LinkUpdateRule(l);
  d.deleteRule = riRestrict;
  auto mine = LinkChildFields(l), theirs = LinkParentFields(l);
  d.fieldCount = static_cast<std::uint16_t>(mine.size());
  std::copy(mine.begin(), mine.end(), d.thisFields.begin());
  std::copy(theirs.begin(), theirs.end(), d.otherFields.begin());
  return d;
}

RefIntDesc DependentFromRecord(const ValFile& file, const ValDependentRecord& dep,
                               const text::Codec& codec) {
  RefIntDesc d;
  d.name = codec.toUtf8(DependentName(dep));
  d.kind = riMaster;
  d.otherTable = codec.toUtf8(DependentTable(dep));
  d.updateRule = DependentUpdateRule(dep);
  d.deleteRule = riRestrict;
  auto key = ParentKeyFields(file);
  d.fieldCount = static_cast<std::uint16_t>(key.size());
  std::copy(key.begin(), key.end(), d.thisFields.begin());
  auto theirs = FieldList(dep.raw.data() + kDepFields, d.fieldCount);
  std::copy(theirs.begin(), theirs.end(), d.otherFields.begin());
  return d;
}

}  // namespace

Result LoadValidity(const std::string& tablePath, const PxHeader& db, const text::Codec& codec,
                    TableValidity& out) {
  out = TableValidity{};
  const std::string valPath = FamilyPath(tablePath, ".VAL");
  if (io::FileExists(valPath)) {
    ValFile file;
    if (Result r = ReadValFile(valPath, file)) return r;
    out.exists = true;
    out.outdated = file.changeCount() != db.raw[0x2E];
    for (const ValCheckRecord& c : file.checks)
      out.checks.push_back(CheckFromRecord(c, file.fields[c.field()], codec));
    for (const ValLinkRecord& l : file.links) out.links.push_back(LinkFromRecord(l, codec));
    for (const ValDependentRecord& d : file.dependents)
      out.links.push_back(DependentFromRecord(file, d, codec));
  }
  const std::string extraPath = FamilyPath(tablePath, ".QVC");
  if (io::FileExists(extraPath)) {
    std::vector<Extra> extras;
    if (Result r = ReadExtras(extraPath, extras)) return r;
    out.exists = true;
    for (const Extra& e : extras) {
      if (e.field > db.fields.size())
        return Corrupt(extraPath, "field " + std::to_string(e.field) + " does not exist");
      auto it = std::find_if(out.checks.begin(), out.checks.end(),
                             [&](const ValCheckDesc& c) { return c.fieldNumber == e.field; });
      if (it == out.checks.end()) {
        out.checks.emplace_back();
        it = out.checks.end() - 1;
        it->fieldNumber = e.field;
      }
      *HasWord(*it, e.part) = e.kind;
    }
  }
  std::stable_sort(out.checks.begin(), out.checks.end(),
                   [](const ValCheckDesc& a, const ValCheckDesc& b) { return a.fieldNumber < b.fieldNumber; });
  for (std::size_t i = 0; i < out.links.size(); ++i) out.links[i].number = static_cast<std::uint16_t>(i + 1);
  return Ok;
}

// ---------------------------------------------------------------- creating

std::string RelatedTablePath(const std::string& tablePath, const std::string& name) {
  const std::string dir = DirName(tablePath);
  const std::string wanted = BaseName(name);
  if (auto names = io::DirectoryNames(dir))
    for (const std::string& name : *names)
      if (Upper(name) == Upper(wanted)) return dir + "/" + name;
  return dir + "/" + wanted;
}

namespace {

bool Compatible(const PxField& child, const PxField& parent) {
  auto integer = [](std::uint8_t c) { return c == fcLong || c == fcAutoinc; };
  if (integer(child.code) && integer(parent.code)) return true;
  return child.code == parent.code && child.size == parent.size;
}

// Builds the check records of a new table, and the side-file lines.
class CheckBuilder {
 public:
  CheckBuilder(const TableDesc& d, const PxHeader& db, const text::Codec& codec)
      : d_(d), db_(db), codec_(codec) {}

  Result build(ValFile& file, std::vector<Extra>& extras) {
    std::vector<ValCheckDesc> checks = d_.checks;
    std::stable_sort(checks.begin(), checks.end(), [](const ValCheckDesc& a, const ValCheckDesc& b) {
      return a.fieldNumber < b.fieldNumber;
    });
    std::set<std::uint16_t> seen;
    for (const ValCheckDesc& c : checks) {
      if (c.fieldNumber == 0 || c.fieldNumber > db_.fields.size())
        return bad("a validity check names field " + std::to_string(c.fieldNumber) +
                   ", which does not exist");
      if (!seen.insert(c.fieldNumber).second)
        return bad("field " + std::to_string(c.fieldNumber) + " has two validity checks");
      ValCheckRecord rec;
      if (Result r = record(c, rec, extras)) return r;
      bool documented = rec.required();
      for (int w = 0; w <= 5; ++w) documented = documented || rec.present(w);
      if (documented) file.checks.push_back(std::move(rec));
    }
    return Ok;
  }

 private:
  Result bad(const std::string& what) { return Fail(ErrInvalidParameter, d_.tableName + ": " + what); }

  Result record(const ValCheckDesc& c, ValCheckRecord& rec, std::vector<Extra>& extras) {
    const PxField& f = db_.fields[c.fieldNumber - 1];
    const std::string name = codec_.toUtf8(f.name);
    const bool blob = IsBlobCode(f.code);
    rec.head[0] = static_cast<std::uint8_t>(c.fieldNumber - 1);
    rec.head[2] = c.required ? 1 : 0;
    const std::uint16_t* words[] = {nullptr, nullptr, &c.hasMin, &c.hasMax, &c.hasDefault};
    const std::array<std::uint8_t, 256>* areas[] = {nullptr, nullptr, &c.minValue, &c.maxValue,
                                                    &c.defaultValue};
    std::string* parts[] = {nullptr, nullptr, &rec.min, &rec.max, &rec.dflt};
    for (int part = 2; part <= 4; ++part) {
      const int kind = HasKind(*words[part]);
      if (kind == chkNone) continue;
      if (blob || (f.code == fcLogical && part != 4) || f.code == fcBytes)
        return bad("field " + name + ": a " + kPartNames[part] + " is not possible for its type");
      if (kind == chkValue) {
        if (Result r = AreaToStored(f, *areas[part], *parts[part]))
          return Fail(r, d_.tableName + ": " + LastErrorMessage());
        rec.setPresent(part, true);
        continue;
      }
      const bool today = kind == chkToday;
      const bool fits = f.code == fcTimestamp || (today ? f.code == fcDate : f.code == fcTime);
      if (!fits)
        return bad("field " + name + ": " + (today ? "TODAY" : "NOW") + " does not suit its type");
      extras.push_back({c.fieldNumber, part, static_cast<std::uint16_t>(kind)});
    }
    if (rec.present(2) && rec.present(3) &&
        CompareStored(f, reinterpret_cast<const std::uint8_t*>(rec.min.data()),
                      reinterpret_cast<const std::uint8_t*>(rec.max.data()), nullptr) > 0)
      return bad("field " + name + ": the minimum is larger than the maximum");
    if (!c.picture.empty()) {
      const bool textual = f.code == fcAlpha || f.code == fcNumber || f.code == fcMoney ||
                           f.code == fcShort || f.code == fcLong || f.code == fcAutoinc ||
                           f.code == fcBcd;
      if (!textual) return bad("field " + name + ": pictures apply to alpha and number fields");
      Picture pic;
      std::string error;
      if (!pic.parse(c.picture, error))
        return bad("field " + name + ": picture \"" + c.picture + "\": " + error);
      if (!codec_.fromUtf8(c.picture, rec.picture) || rec.picture.size() > kMaxPicture)
        return bad("field " + name + ": the picture is longer than 175 characters or has characters "
                   "the code page cannot hold");
      rec.setPresent(5, true);
    }
    if (c.lookupType != lookupNone || !c.lookupTable.empty()) {
      if (Result r = lookup(c, f, name, rec)) return r;
    }
    return Ok;
  }

  Result lookup(const ValCheckDesc& c, const PxField& f, const std::string& name,
                ValCheckRecord& rec) {
    if (c.lookupType < lookupNone || c.lookupType > lookupHelpAllFields)
      return bad("field " + name + ": unknown lookup type " + std::to_string(c.lookupType));
    if (c.lookupTable.empty()) return bad("field " + name + ": the lookup names no table");
    const std::string path = RelatedTablePath(d_.tableName, c.lookupTable);
    if (!io::FileExists(path))
      return bad("field " + name + ": lookup table " + c.lookupTable + " does not exist");
    PxHeader lk;
    if (Result r = ReadFileHeader(path, lk)) return r;
    if (lk.fields.empty() || !Compatible(f, lk.fields[0]))
      return bad("field " + name + ": the first field of lookup table " + c.lookupTable +
                 " has another type");
    std::string stored;
    if (!codec_.fromUtf8(BaseName(c.lookupTable), stored) || stored.size() > kTableNameLimit)
      return bad("field " + name + ": lookup table name " + c.lookupTable + " is too long");
    rec.lookup.assign(kValLookupSize, '\0');
    rec.lookup.replace(0, stored.size(), stored);
    rec.head[3] = LookupFlagsOf(c.lookupType == lookupNone ? lookupCurrentField : c.lookupType);
    rec.setPresent(0, true);
    return Ok;
  }

  const TableDesc& d_;
  const PxHeader& db_;
  const text::Codec& codec_;
};

struct ParentUpdate {
  std::string path;  // the parent's .DB
  std::vector<ValDependentRecord> added;
  std::vector<std::uint16_t> keyFields;
};

class LinkBuilder {
 public:
  LinkBuilder(const TableDesc& d, const PxHeader& db, const text::Codec& codec)
      : d_(d), db_(db), codec_(codec) {}

  Result build(ValFile& file, std::vector<ParentUpdate>& parents) {
    std::set<std::string> names;
    for (const RefIntDesc& ri : d_.refInts) {
      if (ri.kind != riDependent)
        return bad("link " + ri.name + ": a link is defined on the child table, naming its parent");
      if (ri.name.empty() || !names.insert(Upper(ri.name)).second)
        return bad("link names must be given and differ (\"" + ri.name + "\")");
      ValLinkRecord link;
      ValDependentRecord dep;
      std::string parentPath;
      if (Result r = one(ri, link, dep, parentPath)) return r;
      file.links.push_back(link);
      auto it = std::find_if(parents.begin(), parents.end(),
                             [&](const ParentUpdate& p) { return p.path == parentPath; });
      if (it == parents.end()) {
        parents.push_back({parentPath, {}, {}});
        it = parents.end() - 1;
      }
      it->added.push_back(dep);
      it->keyFields.assign(ri.otherFields.begin(), ri.otherFields.begin() + ri.fieldCount);
    }
    file.hasLinkSection = !file.links.empty();
    return Ok;
  }

 private:
  Result bad(const std::string& what) { return Fail(ErrInvalidParameter, d_.tableName + ": " + what); }

  Result one(const RefIntDesc& ri, ValLinkRecord& link, ValDependentRecord& dep,
             std::string& parentPath) {
    const std::string& n = ri.name;
    if (ri.updateRule != riCascade && ri.updateRule != riRestrict)
      return bad("link " + n + ": the update rule must be cascade (1) or prohibit (0)");
    if (ri.deleteRule != riRestrict)
      return Fail(ErrNotSupported, d_.tableName + ": link " + n +
                                       ": parent records with dependents can only be refused deletion");
    if (ri.fieldCount == 0 || ri.fieldCount > kMaxKeyFields)
      return bad("link " + n + ": a link has 1 to 16 fields");
    parentPath = RelatedTablePath(d_.tableName, ri.otherTable);
    if (ri.otherTable.empty() || !io::FileExists(parentPath))
      return bad("link " + n + ": parent table \"" + ri.otherTable + "\" does not exist");
    if (Upper(BaseName(parentPath)) == Upper(BaseName(d_.tableName)))
      return Fail(ErrNotSupported, d_.tableName + ": link " + n + ": a table cannot be its own parent");
    PxHeader parent;
    if (Result r = ReadFileHeader(parentPath, parent)) return r;
    if (!parent.isKeyed() || parent.keyFieldCount() != ri.fieldCount)
      return bad("link " + n + ": the fields must match the whole key of " + ri.otherTable + " (" +
                 std::to_string(parent.keyFieldCount()) + " field(s))");
    std::set<std::uint16_t> used;
    for (std::uint16_t i = 0; i < ri.fieldCount; ++i) {
      const std::uint16_t mine = ri.thisFields[i], theirs = ri.otherFields[i];
      if (theirs != i + 1)
        return bad("link " + n + ": the parent's fields must be its key fields, in order");
      if (mine == 0 || mine > db_.fields.size() || !used.insert(mine).second)
        return bad("link " + n + ": child field " + std::to_string(mine) + " is invalid or repeated");
      if (!Compatible(db_.fields[mine - 1], parent.fields[theirs - 1]))
        return bad("link " + n + ": field " + codec_.toUtf8(db_.fields[mine - 1].name) +
                   " does not have the type of the parent's key field " + std::to_string(theirs));
    }
    std::string name, parentName, childName, indexName;
    if (!codec_.fromUtf8(n, name) || name.size() >= kNameArea)
      return bad("link " + n + ": the name is longer than 63 characters");
    codec_.fromUtf8(BaseName(parentPath), parentName);
    codec_.fromUtf8(BaseName(d_.tableName), childName);
    if (parentName.size() > kTableNameLimit || childName.size() > kTableNameLimit)
      return bad("link " + n + ": table names are limited to 78 characters");
    // Other programs look a link up through an index of the child's fields:
    // a single-field index is named after its field, a composite one after the link.
    const bool single = ri.fieldCount == 1;
    indexName = single ? db_.fields[ri.thisFields[0] - 1].name : name;
    const std::uint16_t indexId = single ? ri.thisFields[0] : 0;

    std::uint8_t* l = link.raw.data();
    PutCString(l + kLinkName, kNameArea, name);
    PutCString(l + kLinkIndexName, kNameArea, indexName);
    Put16(l + kLinkIndexId, indexId);
    PutCString(l + kLinkParent, kLinkRule - kLinkParent, parentName);
    l[kLinkRule] = ri.updateRule == riCascade ? 1 : 0;
    Put16(l + kLinkCount, ri.fieldCount);
    std::uint8_t* p = dep.raw.data();
    PutCString(p + kDepName, kNameArea, name);
    PutCString(p + kDepChild, kDepIndexName - kDepChild, childName);
    PutCString(p + kDepIndexName, kDepIndexId - kDepIndexName, indexName);
    Put16(p + kDepIndexId, indexId);
    Put16(p + kDepRule, ri.updateRule == riCascade ? 1 : 0);
    for (std::uint16_t i = 0; i < ri.fieldCount; ++i) {
      Put16(l + kLinkChildFields + 2 * i, ri.thisFields[i]);
      Put16(l + kLinkParentFields + 2 * i, ri.otherFields[i]);
      Put16(p + kDepFields + 2 * i, ri.thisFields[i]);
    }
    return Ok;
  }

  const TableDesc& d_;
  const PxHeader& db_;
  const text::Codec& codec_;
};

Result StageFile(const std::string& target, const std::string& bytes,
                 std::vector<io::Replacement>& plan) {
  const std::string staged = target + ".new~";
  io::File f;
  if (Result r = f.open(staged, io::File::Mode::Create)) return r;
  plan.push_back({staged, target});
  if (Result r = f.write(0, bytes.data(), bytes.size())) return r;
  return f.sync();
}

bool Planned(const std::vector<io::Replacement>& plan, const std::string& target) {
  return std::any_of(plan.begin(), plan.end(),
                     [&](const io::Replacement& r) { return r.target == target; });
}

// Rewrites a parent's .VAL: entries of the new table replace those an older
// table of the same name left, and the new ones are added.
Result StageParent(const std::string& childName, const ParentUpdate& u,
                   std::vector<io::Replacement>& plan) {
  const std::string valPath = FamilyPath(u.path, ".VAL");
  ValFile file;
  const bool exists = io::FileExists(valPath);
  if (exists) {
    if (Result r = ReadValFile(valPath, file)) return r;
  } else if (u.added.empty()) {
    return Ok;
  } else {
    PxHeader parent;
    if (Result r = ReadFileHeader(u.path, parent)) return r;
    file = NewValFile(parent);
  }
  auto& deps = file.dependents;
  deps.erase(std::remove_if(deps.begin(), deps.end(),
                            [&](const ValDependentRecord& d) {
                              return Upper(DependentTable(d)) == Upper(childName);
                            }),
             deps.end());
  deps.insert(deps.end(), u.added.begin(), u.added.end());
  if (!deps.empty() && !file.isParent) {
    file.isParent = true;
    file.parent.fill(0);
    Put16(file.parent.data() + kParentKeyCount, static_cast<std::uint16_t>(u.keyFields.size()));
    for (std::size_t i = 0; i < u.keyFields.size(); ++i)
      Put16(file.parent.data() + kParentKeyFields + 2 * i, u.keyFields[i]);
  }
  if (deps.empty()) file.isParent = false;
  if (file.checks.empty() && file.links.empty() && !file.isParent) {
    if (exists) plan.push_back({"", valPath});
    return Ok;
  }
  return StageFile(valPath, SerializeValFile(file), plan);
}

// The parents the table being replaced named, so their lists forget it.
Result OldParents(const std::string& path, std::vector<ParentUpdate>& parents) {
  const std::string valPath = FamilyPath(path, ".VAL");
  if (!io::FileExists(valPath)) return Ok;
  ValFile old;
  if (ReadValFile(valPath, old) != Ok) return Ok;  // nothing we can read to undo
  for (const ValLinkRecord& l : old.links) {
    const std::string parentPath = RelatedTablePath(path, LinkParentTable(l));
    if (!io::FileExists(parentPath)) continue;
    bool known = std::any_of(parents.begin(), parents.end(),
                             [&](const ParentUpdate& p) { return p.path == parentPath; });
    if (!known) parents.push_back({parentPath, {}, {}});
  }
  return Ok;
}

// A table replaced by one of the same name keeps the list of tables that
// depend on it only when its key is unchanged; otherwise it is refused.
Result KeepDependents(const TableDesc& d, const PxHeader& db, ValFile& file) {
  const std::string valPath = FamilyPath(d.tableName, ".VAL");
  if (!io::FileExists(valPath) || !io::FileExists(d.tableName)) return Ok;
  ValFile old;
  if (ReadValFile(valPath, old) != Ok || !old.isParent || old.dependents.empty()) return Ok;
  PxHeader before;
  if (Result r = ReadFileHeader(d.tableName, before)) return r;
  bool same = before.keyFieldCount() == db.keyFieldCount();
  for (std::uint16_t i = 0; same && i < db.keyFieldCount(); ++i)
    same = before.fields[i].code == db.fields[i].code && before.fields[i].size == db.fields[i].size;
  if (!same)
    return Fail(ErrDetailsExist, d.tableName + ": other tables depend on its key (" +
                                     DependentTable(old.dependents[0]) +
                                     ", ...); the new table must keep the same key");
  file.isParent = true;
  file.parent = old.parent;
  file.dependents = old.dependents;
  return Ok;
}

}  // namespace

Result StageValidityFiles(const TableDesc& d, const PxHeader& db, std::vector<io::Replacement>& plan) {
  const text::Codec& codec = text::SharedCodec(db.codePage() ? db.codePage() : 437);
  if ((!d.checks.empty() || !d.refInts.empty()) && db.version() < 5)
    return Fail(ErrNotSupported, d.tableName +
                                     ": validity checks of level 3 tables are kept in a layout "
                                     "that is not supported");
  ValFile file = NewValFile(db);
  std::vector<Extra> extras;
  std::vector<ParentUpdate> parents;
  if (Result r = CheckBuilder(d, db, codec).build(file, extras)) return r;
  if (Result r = LinkBuilder(d, db, codec).build(file, parents)) return r;
  if (Result r = KeepDependents(d, db, file)) return r;
  if (Result r = OldParents(d.tableName, parents)) return r;

  const std::string valPath = FamilyPath(d.tableName, ".VAL");
  const std::string extraPath = FamilyPath(d.tableName, ".QVC");
  if (!file.checks.empty() || file.hasLinkSection || file.isParent) {
    if (Result r = StageFile(valPath, SerializeValFile(file), plan)) return r;
  } else if (io::FileExists(valPath) && !Planned(plan, valPath)) {
    plan.push_back({"", valPath});
  }
  if (!extras.empty()) {
    if (Result r = StageFile(extraPath, WriteExtras(extras), plan)) return r;
  } else if (io::FileExists(extraPath)) {
    plan.push_back({"", extraPath});
  }
  std::string childName;
  codec.fromUtf8(BaseName(d.tableName), childName);
  for (const ParentUpdate& u : parents)
    if (Result r = StageParent(childName, u, plan)) return r;
  return Ok;
}

}  // namespace engine::paradox
