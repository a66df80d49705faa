#include "engine/paradox/pxcreate.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "engine/io/file.h"
#include "engine/io/lock.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/paradox/pxblob.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"
#include "engine/paradox/pxvalue.h"
#include "engine/text/codepage.h"

namespace engine::paradox {

namespace {

struct TypeInfo {
  std::uint16_t physical;
  std::uint8_t code;
  char letter;
  int minLevel;
};

constexpr TypeInfo kTypes[] = {
    {pxAlpha, fcAlpha, 'A', 3},     {pxNumber, fcNumber, 'N', 3},
    {pxMoney, fcMoney, '$', 3},     {pxDate, fcDate, 'D', 3},
    {pxShort, fcShort, 'S', 3},     {pxMemo, fcMemo, 'M', 4},
    {pxBinary, fcBinary, 'B', 4},   {pxFmtMemo, fcFmtMemo, 'F', 4},
    {pxOle, fcOle, 'O', 4},         {pxGraphic, fcGraphic, 'G', 4},
    {pxLong, fcLong, 'I', 5},       {pxTime, fcTime, 'T', 5},
    {pxTimestamp, fcTimestamp, '@', 5}, {pxLogical, fcLogical, 'L', 5},
    {pxAutoinc, fcAutoinc, '+', 5}, {pxBytes, fcBytes, 'Y', 5},
    {pxBcd, fcBcd, '#', 5},
};

const TypeInfo* ByPhysical(std::uint16_t t) {
  for (const auto& i : kTypes)
    if (i.physical == t) return &i;
  return nullptr;
}

const TypeInfo* ByCode(std::uint8_t c) {
  for (const auto& i : kTypes)
    if (i.code == c) return &i;
  return nullptr;
}

using io::Upper;

Result Bad(const TableDesc& d, const std::string& what) {
  return Fail(ErrInvalidFieldDesc, d.tableName + ": " + what);
}

const std::string* Param(const TableDesc& d, const std::string& name) {
  for (const auto& p : d.optionalParams)
    if (Upper(p.name) == name) return &p.value;
  return nullptr;
}

bool ParseNumber(const std::string& s, long& out) {
  try {
    std::size_t used = 0;
    out = std::stol(s, &used);
    return used == s.size();
  } catch (const std::exception&) {
    return false;
  }
}

// Size byte of a field in the header, from the descriptor's units.
Result FieldSize(const TableDesc& d, const FieldDesc& f, const TypeInfo& t, std::uint8_t& size) {
  auto range = [&](int lo, int hi, const char* what) -> Result {
    if (f.units1 < lo || f.units1 > hi)
      return Bad(d, "field " + f.name + ": " + what + " must be " + std::to_string(lo) + " to " +
                        std::to_string(hi));
    return Ok;
  };
  switch (t.code) {
    case fcAlpha:
    case fcBytes:
      if (Result r = range(1, 255, "size")) return r;
      size = static_cast<std::uint8_t>(f.units1);
      return Ok;
    case fcMemo:
      if (Result r = range(1, 240, "size")) return r;
      size = static_cast<std::uint8_t>(f.units1 + 10);
      return Ok;
    case fcBinary: case fcFmtMemo: case fcOle: case fcGraphic:
      if (Result r = range(0, 240, "size")) return r;
      size = static_cast<std::uint8_t>(f.units1 + 10);
      return Ok;
    case fcBcd:
      if (f.units2 < 0 || f.units2 > 32)
        return Bad(d, "field " + f.name + ": decimals must be 0 to 32");
      size = static_cast<std::uint8_t>(f.units2);
      return Ok;
    case fcShort: size = 2; return Ok;
    case fcLogical: size = 1; return Ok;
    case fcDate: case fcLong: case fcTime: case fcAutoinc: size = 4; return Ok;
    default: size = 8; return Ok;
  }
}

Result PrimaryKeyCount(const TableDesc& d, std::uint16_t& count) {
  count = 0;
  for (const IndexDesc& ix : d.indexes) {
    if (!ix.primary) continue;
    if (ix.fieldsInKey == 0 || ix.fieldsInKey > d.fields.size())
      return Bad(d, "the primary key names no fields");
    if (ix.fieldsInKey > kMaxKeyFields)
      return Bad(d, "a primary key has at most " + std::to_string(kMaxKeyFields) + " fields");
    for (std::uint16_t i = 0; i < ix.fieldsInKey; ++i)
      if (ix.keyFields[i] != i + 1)
        return Bad(d, "the primary key must consist of the leading fields, in order");
    count = ix.fieldsInKey;
  }
  return Ok;
}

using io::BaseName;

}  // namespace

std::uint8_t FieldCodeOf(std::uint16_t t) {
  const TypeInfo* i = ByPhysical(t);
  return i ? i->code : 0;
}

std::uint16_t PhysicalTypeOf(std::uint8_t c) {
  const TypeInfo* i = ByCode(c);
  return i ? i->physical : 0;
}

char TypeLetterOf(std::uint8_t c) {
  const TypeInfo* i = ByCode(c);
  return i ? i->letter : 0;
}

FieldDesc FieldDescOf(const PxField& f, const text::Codec& codec, std::uint16_t number) {
  FieldDesc d;
  d.number = number;
  d.name = codec.toUtf8(f.name);
  d.type = PhysicalTypeOf(f.code);
  if (f.code == fcAlpha || f.code == fcBytes) d.units1 = f.size;
  if (IsBlobCode(f.code)) d.units1 = static_cast<std::int16_t>(f.size - 10);
  if (f.code == fcBcd) {
    d.units1 = 32;
    d.units2 = f.size;
  }
  d.offset = f.offset;
  d.length = f.width();
  return d;
}

std::uint8_t FieldCodeOfLetter(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (const auto& i : kTypes)
    if (i.letter == letter) return i.code;
  return 0;
}

Result PlanParadoxTable(const TableDesc& d, const CreateDefaults& defaults,
                        NewTableLayout& l) {
  long level = defaults.level;
  if (const std::string* v = Param(d, "LEVEL"); v && !ParseNumber(*v, level))
    return Bad(d, "LEVEL \"" + *v + "\" is not a number");
  l.version = VersionForLevel(static_cast<int>(level));
  if (!l.version) return Bad(d, "table level " + std::to_string(level) + " is not 3, 4, 5 or 7");

  long blockSize = defaults.blockSize;
  if (const std::string* v = Param(d, "BLOCK SIZE"); v && !ParseNumber(*v, blockSize))
    return Bad(d, "BLOCK SIZE \"" + *v + "\" is not a number");
  bool bigBlocks = blockSize == 16384 || blockSize == 32768;
  if (!(blockSize == 1024 || blockSize == 2048 || blockSize == 3072 || blockSize == 4096 ||
        (bigBlocks && level >= 7)))
    return Bad(d, "block size " + std::to_string(blockSize) +
                      " is not 1024, 2048, 3072 or 4096 (16384 or 32768 for level 7)");
  l.blockSize = static_cast<std::uint32_t>(blockSize);

  // Accepted and checked; the files keep no place for either.
  if (const std::string* v = Param(d, "FILL FACTOR")) {
    long fill = 0;
    if (!ParseNumber(*v, fill) || fill < 1 || fill > 100)
      return Bad(d, "FILL FACTOR \"" + *v + "\" is not a percentage (1 to 100)");
  }
  if (const std::string* v = Param(d, "STRICTINTEGRTY"); v && Upper(*v) != "TRUE" && Upper(*v) != "FALSE")
    return Bad(d, "STRICTINTEGRTY \"" + *v + "\" is not TRUE or FALSE");

  std::string driverName = defaults.languageDriver;
  if (const std::string* v = Param(d, "LANGDRIVER"); v && !v->empty()) driverName = *v;
  const text::LanguageDriver* driver = text::FindDriver(driverName);
  if (!driver || driver->dbaseOnly)
    return Bad(d, "unknown language driver \"" + driverName + "\"");
  l.sortOrderId = driver->sortOrderId.empty() ? driver->name : driver->sortOrderId;
  l.sortByte = driver->sortByte;
  l.codePage = static_cast<std::uint16_t>(driver->codePage);

  if (d.fields.empty()) return Bad(d, "a table needs at least one field");
  if (d.fields.size() > 255) return Bad(d, "a table has at most 255 fields");
  text::Codec codec(driver->codePage);
  std::set<std::string> names;
  std::uint32_t recordSize = 0;
  l.fields.clear();
  for (const FieldDesc& f : d.fields) {
    const TypeInfo* t = ByPhysical(f.type);
    if (!t) return Bad(d, "field " + f.name + " has unknown type " + std::to_string(f.type));
    if (t->minLevel > level)
      return Bad(d, "field " + f.name + ": type " + std::string(1, t->letter) +
                        " needs table level " + std::to_string(t->minLevel) + " or higher");
    if (f.name.empty() || f.name.size() > 25)
      return Bad(d, "field name \"" + f.name + "\" must have 1 to 25 characters");
    if (!names.insert(Upper(f.name)).second) return Bad(d, "field name " + f.name + " is used twice");
    PxField pf;
    pf.code = t->code;
    if (Result r = FieldSize(d, f, *t, pf.size)) return r;
    if (!codec.fromUtf8(f.name, pf.name))
      return Bad(d, "field name " + f.name + " has characters the code page cannot hold");
    recordSize += pf.width();
    l.fields.push_back(pf);
  }
  if (recordSize > l.blockSize - 6)
    return Bad(d, "records of " + std::to_string(recordSize) + " bytes do not fit blocks of " +
                      std::to_string(l.blockSize) + " bytes");
  if (Result r = PrimaryKeyCount(d, l.keyFieldCount)) return r;
  // A BLOB field keeps only a leader in the record: keys on it would not
  // compare the values, and duplicates would go in.
  for (std::uint16_t i = 0; i < l.keyFieldCount; ++i)
    if (IsBlobCode(l.fields[i].code))
      return Fail(ErrInvalidIndex, d.tableName + ": field " + d.fields[i].name + " (type " +
                                       std::string(1, TypeLetterOf(l.fields[i].code)) +
                                       ") is a BLOB field and cannot be a key field");
  l.fileType = l.keyFieldCount ? ftKeyedDb : ftUnkeyedDb;
  l.tableName = BaseName(d.tableName);
  l.encryption = 0;
  if (d.isProtected) {
    if (d.password.empty()) return Bad(d, "a protected table needs a password");
    l.encryption = PasswordChecksum(d.password);
  }
  return Ok;
}

namespace {

// Removes the members of the table at `path` a table of scratch kind
// could have made: primary and secondary indexes, BLOB file, checks.
Result RemoveScratchMembers(const std::string& path) {
  const io::PathParts table = io::SplitPath(path);
  const auto names = io::DirectoryNames(table.dir);
  if (!names) return io::OsFailure(table.dir, "cannot list the directory");
  for (const std::string& name : *names) {
    const io::PathParts p = io::SplitPath(name);
    if (io::Upper(p.stem) != io::Upper(table.stem) || p.ext.empty()) continue;
    const std::int32_t kind = FamilyKindOf(p.ext);
    if (kind != famIndex && kind != famBlob && kind != famValChecks && kind != famSecIndex &&
        kind != famSecIndex2)
      continue;
    const std::string member = io::JoinPath(table.dir, name);
    if (::unlink(member.c_str()) != 0)
      return io::OsFailure(member, "cannot remove a member of the table replaced");
  }
  return Ok;
}

// The file of the new, empty table with header `db` holding `rows` as
// its records; `done` false for a table with a BLOB or Autoinc field.
Result FilledImage(const std::string& path, const PxHeader& db,
                   const std::vector<std::vector<Value>>& rows, std::vector<std::uint8_t>& out,
                   bool& done) {
  done = false;
  PxHeader h;
  if (Result r = h.parse(path, db.raw.data(), db.raw.size())) return r;
  for (const PxField& f : h.fields)
    if (IsBlobCode(f.code) || f.code == fcAutoinc) return Ok;
  const text::Codec codec(
      TableCodePage(h, text::DriverFromHeader(h.sortOrderId, h.codePage(), h.sortByte())));
  const std::size_t rs = h.recordSize(), bs = h.blockSize(), per = h.recordsPerBlock();
  const std::size_t blocks = (rows.size() + per - 1) / per;
  if (blocks > 0xFFFF) return Ok;
  out.assign(h.headerSize() + blocks * bs, 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].size() != h.fields.size())
      return Fail(ErrInvalidParameter, path + ": " + std::to_string(rows[i].size()) +
                                           " values given for " + std::to_string(h.fields.size()) +
                                           " fields");
    std::uint8_t* record = out.data() + h.headerSize() + (i / per) * bs + 6 + (i % per) * rs;
    for (std::size_t j = 0; j < h.fields.size(); ++j)
      if (Result r = EncodeField(h.fields[j], rows[i][j], codec, record + h.fields[j].offset))
        return Fail(r, "line " + std::to_string(i + 1) + ": " + LastErrorMessage());
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    std::uint8_t* block = out.data() + h.headerSize() + b * bs;
    const std::size_t count = std::min(per, rows.size() - b * per);
    const std::uint16_t next = b + 1 < blocks ? static_cast<std::uint16_t>(b + 2) : 0;
    const std::uint16_t prior = static_cast<std::uint16_t>(b);
    const auto added = static_cast<std::uint16_t>((count - 1) * rs);
    for (int k = 0; k < 2; ++k) {
      block[k] = static_cast<std::uint8_t>(next >> (8 * k));
      block[2 + k] = static_cast<std::uint8_t>(prior >> (8 * k));
      block[4 + k] = static_cast<std::uint8_t>(added >> (8 * k));
    }
  }
  h.setRecordCount(static_cast<std::uint32_t>(rows.size()));
  const auto n = static_cast<std::uint16_t>(blocks);
  h.setBlocks(n, n, n ? 1 : 0, n);
  std::copy(h.raw.begin(), h.raw.end(), out.begin());
  done = true;
  return Ok;
}

}  // namespace

Result CreateScratchTable(const TableDesc& d, const CreateDefaults& defaults,
                          const std::vector<std::vector<Value>>* rows, bool* filled) {
  if (filled) *filled = false;
  if (d.isProtected || !d.passwords.empty() || !d.checks.empty() || !d.refInts.empty() ||
      !d.indexes.empty())
    return CreateParadoxTable(d, true, defaults);
  NewTableLayout layout;
  if (Result r = PlanParadoxTable(d, defaults, layout)) return r;
  const std::string& path = d.tableName;
  io::TableLock lock;
  if (io::FileExists(path)) {
    if (Result r = lock.acquire(path, io::TableLock::Kind::Exclusive)) return r;
    if (Result r = RemoveScratchMembers(path)) return r;
  }
  const PxHeader db = BuildDbHeader(layout);
  std::vector<std::uint8_t> image;
  bool whole = false;
  if (rows)
    if (Result r = FilledImage(path, db, *rows, image, whole)) return r;
  if (!whole) image = db.raw;
  io::File f;
  // Cut to the new header's length, not to nothing first: a file emptied
  // and written again is flushed when closed by some file systems.
  if (Result r = f.open(path, lock.held() ? io::File::Mode::ReadWrite : io::File::Mode::Create))
    return r;
  if (Result r = f.write(0, image.data(), image.size())) return r;
  if (Result r = f.truncate(image.size())) return r;
  f.close();
  if (filled) *filled = whole;
  const bool blobs = std::any_of(layout.fields.begin(), layout.fields.end(),
                                 [](const PxField& pf) { return IsBlobCode(pf.code); });
  if (!blobs) return Ok;
  BlobFile mb;
  return mb.create(FamilyPath(path, ".MB"), layout.encryption);
}

Result CreateParadoxTable(const TableDesc& d, bool overwrite, const CreateDefaults& defaults) {
  NewTableLayout layout;
  if (Result r = PlanParadoxTable(d, defaults, layout)) return r;
  const std::string& path = d.tableName;
  // A table created over stays locked against every other open until its
  // files are swapped: they would change under the open.
  io::TableLock lock;
  if (io::FileExists(path)) {
    if (!overwrite) return Fail(ErrFileExists, path + ": the table exists already");
    if (Result r = lock.acquire(path, io::TableLock::Kind::Exclusive)) return r;
  }

  // Build the new family beside the old one, then swap it in.
  std::vector<io::Replacement> plan;
  auto stage = [&](const std::string& target) {
    plan.push_back({target + ".new~", target});
    return plan.back().staged;
  };
  PxHeader db = BuildDbHeader(layout);
  if (Result r = StageAuxPasswords(d, db, path, plan)) return r;  // pxsecurity.h
  io::File f;
  const std::string dbStaged = stage(path);
  if (Result r = f.open(dbStaged, io::File::Mode::Create)) return r;
  if (Result r = f.write(0, db.raw.data(), db.raw.size())) return r;
  if (Result r = f.sync()) return r;
  f.close();
  const std::string pxPath = FamilyPath(path, ".PX");
  if (db.isKeyed()) {
    PxHeader px = BuildPxHeader(db, BaseName(pxPath), std::min<std::uint32_t>(std::max<std::uint32_t>(layout.blockSize, 2048), 4096));
    if (Result r = f.open(stage(pxPath), io::File::Mode::Create)) return r;
    if (Result r = f.write(0, px.raw.data(), px.raw.size())) return r;
    if (Result r = f.sync()) return r;
    f.close();
  } else if (io::FileExists(pxPath)) {
    plan.push_back({"", pxPath});
  }
  const std::string mbPath = FamilyPath(path, ".MB");
  bool blobs = std::any_of(layout.fields.begin(), layout.fields.end(),
                           [](const PxField& pf) { return IsBlobCode(pf.code); });
  if (blobs) {
    BlobFile mb;
    if (Result r = mb.create(stage(mbPath), layout.encryption)) return r;
  } else if (io::FileExists(mbPath)) {
    plan.push_back({"", mbPath});
  }
  Result r = StageValidityFiles(d, db, plan);  // .VAL of the table and of its parents
  if (r == Ok) r = PlanCreatedIndexes(d, db, plan);  // secondary indexes, pxsecidx.h
  if (r == Ok) r = io::ReplaceFiles(plan, FamilyPath(path, ".QRP"));
  if (r) {
    for (const auto& p : plan)
      if (!p.staged.empty()) ::unlink(p.staged.c_str());
    return r;
  }
  // Files an earlier run cut short staged for members this table lacks.
  if (lock.acquire(path, io::TableLock::Kind::Exclusive) == Ok)
    RemoveStagedLeftovers(path, lock, true);
  else
    ClearLastError();
  return Ok;
}

}  // namespace engine::paradox
