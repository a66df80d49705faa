#include "engine/paradox/pxsecurity.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "engine/io/file.h"
#include "engine/io/journal.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxtable.h"

namespace engine::paradox {

namespace {

// Side-file layout (docs/side-file-passwords.md): a plain 16-byte prologue
// (magic, version, body length), then the body, padded with zeros to whole
// 256-byte chunks and encrypted like .MB data with the table's key.
constexpr char kMagic[8] = {'Q', 'R', 'Y', 'A', 'U', 'X', 'P', 'W'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kPrologue = 16;
constexpr std::size_t kChunk = 256;
constexpr std::size_t kMaxPasswordBytes = 31;

void Put8(std::string& s, std::uint32_t v) { s.push_back(static_cast<char>(v & 0xFF)); }
void Put16(std::string& s, std::uint32_t v) {
  Put8(s, v);
  Put8(s, v >> 8);
}
void Put32(std::string& s, std::uint32_t v) {
  Put16(s, v & 0xFFFF);
  Put16(s, v >> 16);
}

// Reads little-endian numbers from a byte string, noting when it runs out.
class Reader {
 public:
  Reader(const std::string& s, std::size_t from, std::size_t end) : s_(s), at_(from), end_(end) {}
  std::uint32_t get(int bytes) {
    std::uint32_t v = 0;
    if (end_ - at_ < static_cast<std::size_t>(bytes)) {
      short_ = true;
      return 0;
    }
    for (int i = 0; i < bytes; ++i)
      v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s_[at_ + i])) << (8 * i);
    at_ += bytes;
    return v;
  }
  std::string text(std::size_t n) {
    if (end_ - at_ < n) {
      short_ = true;
      return {};
    }
    std::string out = s_.substr(at_, n);
    at_ += n;
    return out;
  }
  bool ranShort() const { return short_; }
  std::size_t at() const { return at_; }

 private:
  const std::string& s_;
  std::size_t at_, end_;
  bool short_ = false;
};

bool KnownTableRights(std::int32_t code) {
  return code == kRightsNone || code == kRightsReadOnly || code == kRightsUpdate ||
         code == kRightsDataEntry || code == kRightsInsertDelete || code == kRightsAll;
}

bool KnownFieldRights(std::int32_t code) {
  return code == kRightsNone || code == kRightsReadOnly || code == kRightsAll;
}

Result Corrupt(const std::string& path, const std::string& what) {
  return Fail(ErrCorruptHeader, path + ": " + what);
}

Result CheckDescriptor(const TableDesc& d, std::size_t fieldCount) {
  auto bad = [&](const std::string& what) {
    return Fail(ErrInvalidParameter, d.tableName + ": " + what);
  };
  if (!d.isProtected || d.password.empty())
    return bad("auxiliary passwords need a master password");
  if (d.passwords.size() > 255) return bad("a table has at most 255 auxiliary passwords");
  std::set<std::string> seen;
  for (const SecurityDesc& s : d.passwords) {
    const std::string shown = "auxiliary password \"" + s.password + "\"";
    if (s.password.empty() || s.password.size() > kMaxPasswordBytes)
      return bad("an auxiliary password must have 1 to 31 characters");
    if (s.password == d.password) return bad(shown + " is the master password");
    if (!seen.insert(s.password).second) return bad(shown + " is given twice");
    if (!KnownTableRights(s.tableRights))
      return bad(shown + ": table rights " + std::to_string(s.tableRights) +
                 " are not 0, 1, 3, 7, 15 or 31");
    for (std::size_t i = 0; i < fieldCount; ++i)
      if (!KnownFieldRights(s.fieldRights[i]))
        return bad(shown + ": rights " + std::to_string(s.fieldRights[i]) + " of field " +
                   std::to_string(i + 1) + " are not 0, 1 or 31");
  }
  return Ok;
}

std::string FieldName(ParadoxTable& t, std::size_t i) {
  return t.codec().toUtf8(t.fields()[i].name);
}

class RightsGuard : public TableParticipant {
 public:
  bool checksValues() const override { return true; }
  Result beforeChange(ParadoxTable& t, const std::vector<Value>* oldValues,
                      std::vector<Value>* newValues) override {
    const AccessRights& r = t.rights();
    if (!oldValues) return checkInsert(t, r, *newValues);
    if (!newValues) {
      if (!r.allows(kRightsInsertDelete))
        return Fail(ErrNoRights, t.path() + ": the password does not allow deleting records");
      return Ok;
    }
    return checkUpdate(t, r, *oldValues, *newValues);
  }

 private:
  static Result checkInsert(ParadoxTable& t, const AccessRights& r, std::vector<Value>& values) {
    if (!r.allows(kRightsDataEntry))
      return Fail(ErrNoRights, t.path() + ": the password does not allow inserting records");
    for (std::size_t i = 0; i < values.size(); ++i) {
      // The engine numbers autoincrement fields itself.
      if (r.canChange(i) || IsNull(values[i]) || t.fields()[i].code == fcAutoinc) continue;
      return Fail(ErrNoRights, t.path() + ": field " + FieldName(t, i) +
                                   " cannot be given a value with this password");
    }
    return Ok;
  }

  static Result checkUpdate(ParadoxTable& t, const AccessRights& r,
                            const std::vector<Value>& before, std::vector<Value>& after) {
    if (!r.allows(kRightsUpdate))
      return Fail(ErrNoRights, t.path() + ": the password does not allow changing records");
    for (std::size_t i = 0; i < after.size() && i < before.size(); ++i) {
      if (r.canChange(i)) continue;
      // A field the password cannot read was handed out as NULL: NULL
      // given back keeps what is stored.
      if (!r.canRead(i) && IsNull(after[i])) after[i] = before[i];
      if (!(after[i] == before[i]))
        return Fail(ErrNoRights, t.path() + ": field " + FieldName(t, i) +
                                     " cannot be changed with this password");
    }
    return Ok;
  }
};

}  // namespace

std::string AuxPasswordPath(const std::string& tablePath) {
  return FamilyPath(tablePath, ".QPW");
}

std::string EncodeAuxPasswords(const std::vector<AuxPassword>& passwords, std::uint32_t key) {
  std::string body;
  Put32(body, static_cast<std::uint32_t>(passwords.size()));
  for (const AuxPassword& p : passwords) {
    Put8(body, static_cast<std::uint32_t>(p.password.size()));
    body += p.password;
    Put32(body, static_cast<std::uint32_t>(p.tableRights));
    Put16(body, p.familyRights);
    Put16(body, static_cast<std::uint32_t>(p.fieldRights.size()));
    for (std::int32_t f : p.fieldRights) Put8(body, static_cast<std::uint32_t>(f));
  }
  Put32(body, io::Crc32(body.data(), body.size()));
  std::string out(kMagic, sizeof kMagic);
  Put32(out, kVersion);
  Put32(out, static_cast<std::uint32_t>(body.size()));
  body.resize((body.size() + kChunk - 1) / kChunk * kChunk, '\0');
  EncryptMbData(reinterpret_cast<std::uint8_t*>(body.data()), body.size(), key, 0);
  return out + body;
}

Result DecodeAuxPasswords(const std::string& path, const std::string& bytes, std::uint32_t key,
                          std::vector<AuxPassword>& out) {
  out.clear();
  if (bytes.size() < kPrologue || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
    return Corrupt(path, "not a file of auxiliary passwords");
  Reader prologue(bytes, sizeof kMagic, kPrologue);
  if (prologue.get(4) != kVersion)
    return Fail(ErrUnsupportedVersion, path + ": unknown version of the auxiliary-password file");
  const std::size_t length = prologue.get(4);
  std::string body = bytes.substr(kPrologue);
  if (body.size() % kChunk != 0 || length < 8 || length > body.size())
    return Corrupt(path, "the auxiliary-password file is truncated");
  DecryptMbData(reinterpret_cast<std::uint8_t*>(body.data()), body.size(), key, 0);
  Reader crc(body, length - 4, length);
  const bool padded = std::all_of(body.begin() + length, body.end(), [](char c) { return c == 0; });
  if (crc.get(4) != io::Crc32(body.data(), length - 4) || !padded)
    return Corrupt(path, "cannot be read with this table's key, or is damaged");
  Reader r(body, 0, length - 4);
  std::uint32_t count = r.get(4);
  for (std::uint32_t i = 0; i < count && !r.ranShort(); ++i) {
    AuxPassword p;
    p.password = r.text(r.get(1));
    p.tableRights = static_cast<std::int32_t>(r.get(4));
    p.familyRights = static_cast<std::uint16_t>(r.get(2));
    p.fieldRights.resize(r.get(2));
    for (std::int32_t& f : p.fieldRights) f = static_cast<std::int32_t>(r.get(1));
    out.push_back(std::move(p));
  }
  if (r.ranShort() || r.at() != length - 4)
    return Corrupt(path, "the list of auxiliary passwords is malformed");
  return Ok;
}

Result ReadAuxPasswords(const std::string& tablePath, const PxHeader& header,
                        std::vector<AuxPassword>& out) {
  out.clear();
  const std::string path = AuxPasswordPath(tablePath);
  const unsigned counted = header.auxPasswordCount();
  if (!io::FileExists(path)) {
    if (counted == 0) return Ok;
    return Fail(ErrNotFound, tablePath + ": the header counts " + std::to_string(counted) +
                                 " auxiliary passwords, but they are not kept where this "
                                 "engine can read them");
  }
  std::string bytes;
  if (Result r = io::ReadWholeFile(path, bytes)) return r;
  if (Result r = DecodeAuxPasswords(path, bytes, header.encryption(), out)) return r;
  if (out.size() != counted)
    return Corrupt(path, "holds " + std::to_string(out.size()) +
                             " auxiliary passwords, but the table header counts " +
                             std::to_string(counted));
  return Ok;
}

Result StageAuxPasswords(const TableDesc& desc, PxHeader& db, const std::string& tablePath,
                         std::vector<io::Replacement>& plan) {
  const std::string target = AuxPasswordPath(tablePath);
  if (desc.passwords.empty()) {
    if (io::FileExists(target)) plan.push_back({"", target});
    return Ok;
  }
  if (Result r = CheckDescriptor(desc, db.fields.size())) return r;
  std::vector<AuxPassword> list;
  for (const SecurityDesc& s : desc.passwords) {
    AuxPassword p{s.password, s.tableRights, s.familyRights, {}};
    p.fieldRights.assign(s.fieldRights.begin(), s.fieldRights.begin() + db.fields.size());
    list.push_back(std::move(p));
  }
  const std::string staged = target + ".new~";
  const std::string bytes = EncodeAuxPasswords(list, db.encryption());
  io::File f;
  if (Result r = f.open(staged, io::File::Mode::Create)) return r;
  if (Result r = f.write(0, bytes.data(), bytes.size())) {
    f.close();
    ::unlink(staged.c_str());
    return r;
  }
  db.raw[0x3D] = static_cast<std::uint8_t>(list.size());
  plan.push_back({staged, target});
  return Ok;
}

Result ResolveRights(const std::string& tablePath, const PxHeader& header,
                     const std::vector<std::string>& passwords, AccessRights& out) {
  out = AccessRights{};
  const std::uint32_t key = header.encryption();
  if (key == 0) return Ok;
  for (const std::string& pw : passwords)
    if (PasswordChecksum(pw) == key) return Ok;
  auto locked = [&] {
    return Fail(ErrPasswordRequired, tablePath + ": the table is protected by a password");
  };
  if (header.auxPasswordCount() == 0 || passwords.empty()) return locked();
  std::vector<AuxPassword> aux;
  if (Result r = ReadAuxPasswords(tablePath, header, aux))
    return r == ErrNotFound ? Fail(ErrPasswordRequired, LastErrorMessage()) : r;
  for (const std::string& pw : passwords) {
    for (const AuxPassword& a : aux) {
      if (a.password != pw) continue;
      if (a.tableRights == kRightsNone)
        return Fail(ErrNoRights, tablePath + ": the password grants no rights to this table");
      // Codes this engine does not know grant no more than reading.
      out.master = false;
      out.table = KnownTableRights(a.tableRights) ? a.tableRights : kRightsReadOnly;
      out.fields = a.fieldRights;
      out.fields.resize(header.fields.size(), kRightsNone);
      for (std::int32_t& f : out.fields)
        if (!KnownFieldRights(f)) f = kRightsReadOnly;
      return Ok;
    }
  }
  return locked();
}

std::shared_ptr<TableParticipant> MakeRightsGuard() { return std::make_shared<RightsGuard>(); }

}  // namespace engine::paradox
