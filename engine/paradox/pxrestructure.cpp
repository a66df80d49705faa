#include "engine/paradox/pxrestructure.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <memory>
#include <set>

#include "engine/io/file.h"
#include "engine/io/lock.h"
#include "engine/paradox/pxconvert.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxsecurity.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxval.h"
#include "engine/paradox/pxvalue.h"
#include "engine/typenames.h"

namespace engine::paradox {

namespace {

constexpr std::size_t kSamples = 5;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool SameName(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

std::string BaseName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string ExtensionOf(const std::string& file) {
  std::size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? "" : Upper(file.substr(dot + 1));
}

// The change code of item i; without codes, `fallback`.
std::int32_t OpOf(const std::vector<std::int32_t>& ops, std::size_t i, std::int32_t fallback) {
  return i < ops.size() ? ops[i] : fallback;
}

const std::string* Param(const TableDesc& d, const std::string& name) {
  for (const auto& p : d.optionalParams)
    if (Upper(p.name) == name) return &p.value;
  return nullptr;
}

// The table as it is.
struct OldTable {
  std::unique_ptr<ParadoxTable> table;
  std::vector<FieldDesc> fields;
  std::vector<SecondaryIndex> indexes;
  TableValidity validity;
  std::vector<AuxPassword> aux;
  std::string master;  // the password that opened a protected table

  const std::string& path() const { return table->path(); }
  const PxHeader& header() const { return table->header(); }
};

Result OpenOld(const std::string& path, const RestructureOptions& options, OldTable& old) {
  OpenOptions o;
  o.exclusive = true;
  o.passwords = options.passwords;
  if (Result r = ParadoxTable::Open(path, o, old.table)) return r;
  if (!old.table->rights().master)
    return Fail(ErrNoRights,
                old.path() + ": changing the structure of a table needs its master password");
  const PxHeader& h = old.header();
  for (std::size_t i = 0; i < h.fields.size(); ++i)
    old.fields.push_back(FieldDescOf(h.fields[i], old.table->codec(), static_cast<std::uint16_t>(i + 1)));
  if (Result r = ReadSecondaryIndexes(old.path(), h, old.indexes)) return r;
  if (Result r = LoadValidity(old.path(), h, old.table->codec(), old.validity)) return r;
  if (old.table->isProtected()) {
    if (Result r = ReadAuxPasswords(old.path(), h, old.aux)) return r;
    for (const std::string& p : options.passwords)
      if (PasswordChecksum(p) == h.encryption()) old.master = p;
  }
  return Ok;
}

// The new table: its whole descriptor, and where each field's data comes from.
struct Plan {
  TableDesc full;
  std::vector<int> source;        // per new field: the old field (0-based), -1 for none
  std::vector<std::uint16_t> at;  // per old field: its new position (1-based), 0 when dropped
};

class Resolver {
 public:
  Resolver(const OldTable& old, const TableDesc& d, Plan& p, RestructureReport& rep)
      : old_(old), d_(d), p_(p), rep_(rep) {}

  Result run() {
    p_.full.tableName = old_.path();
    p_.full.driverType = "PARADOX";
    if (Result r = fields()) return r;
    if (Result r = key()) return r;
    if (Result r = indexes()) return r;
    if (Result r = checks()) return r;
    if (Result r = links()) return r;
    if (Result r = passwords()) return r;
    params();
    return Ok;
  }

 private:
  Result bad(const std::string& what) const {
    return Fail(ErrInvalidFieldDesc, old_.path() + ": " + what);
  }
  const std::string& oldName(std::size_t i) const { return old_.fields[i].name; }
  // The name of the new field made from old field number n (1-based).
  std::uint16_t moved(std::uint16_t n) const { return n >= 1 && n <= p_.at.size() ? p_.at[n - 1] : 0; }

  Result fields() {
    const auto& of = old_.fields;
    p_.at.assign(of.size(), 0);
    if (d_.fields.empty()) {
      p_.full.fields = of;
      for (std::size_t i = 0; i < of.size(); ++i) {
        p_.source.push_back(static_cast<int>(i));
        p_.at[i] = static_cast<std::uint16_t>(i + 1);
      }
      return Ok;
    }
    for (std::size_t i = 0; i < d_.fields.size(); ++i) {
      FieldDesc f = d_.fields[i];
      const std::int32_t op = OpOf(d_.fieldOps, i, f.number ? opCopy : opAdd);
      if (op == opDrop) continue;
      if (op < opNone || op > opDrop)
        return bad("field " + f.name + ": unknown change code " + std::to_string(op));
      int source = -1;
      if (op != opAdd) {
        if (f.number < 1 || f.number > of.size())
          return bad("field " + f.name + " names field " + std::to_string(f.number) +
                     ", which the table does not have");
        source = f.number - 1;
        const FieldDesc& o = of[source];
        if (f.type == 0) {  // only the number given: the field as it is
          std::string name = f.name.empty() ? o.name : f.name;
          f = o;
          f.name = name;
        }
        if (f.name.empty()) f.name = o.name;
        if (f.type != o.type && !TypesConvert(o.type, f.type))
          return Fail(ErrInvalidFieldDesc, old_.path() + ": field " + o.name + " (" +
                                               FieldTypeName(o.type) + ") cannot become " +
                                               FieldTypeName(f.type));
        if (!p_.at[source]) p_.at[source] = static_cast<std::uint16_t>(p_.full.fields.size() + 1);
      }
      f.number = static_cast<std::uint16_t>(p_.full.fields.size() + 1);
      f.offset = f.length = 0;
      f.spare = {};
      p_.full.fields.push_back(f);
      p_.source.push_back(source);
    }
    for (std::size_t i = 0; i < of.size(); ++i)
      if (!p_.at[i]) rep_.droppedFields.push_back(of[i].name);
    return Ok;
  }

  Result key() {
    int keep = old_.header().keyFieldCount();
    const IndexDesc* given = nullptr;
    for (std::size_t i = 0; i < d_.indexes.size(); ++i) {
      if (!d_.indexes[i].primary) continue;
      if (OpOf(d_.indexOps, i, opAdd) == opDrop)
        keep = 0;
      else
        given = &d_.indexes[i];
    }
    IndexDesc primary;
    if (given) {
      primary = *given;
    } else if (keep > 0) {
      if (static_cast<std::size_t>(keep) > p_.full.fields.size())
        return bad("the key of " + std::to_string(keep) + " fields needs as many fields");
      primary.primary = primary.unique = primary.maintained = 1;
      primary.fieldsInKey = static_cast<std::uint16_t>(keep);
      for (int i = 0; i < keep; ++i) primary.keyFields[i] = static_cast<std::uint16_t>(i + 1);
    } else {
      return Ok;
    }
    p_.full.indexes.push_back(primary);
    return Ok;
  }

  Result indexes() {
    std::vector<IndexDesc> list;
    std::vector<std::string> names;  // as the table knows them
    for (const SecondaryIndex& ix : old_.indexes) {
      IndexDesc x = ix.desc;
      bool whole = true;
      for (std::uint16_t k = 0; k < x.fieldsInKey && k < kMaxKeyFields; ++k) {
        x.keyFields[k] = moved(x.keyFields[k]);
        whole = whole && x.keyFields[k];
      }
      if (!whole) {
        rep_.lost.push_back("index " + ix.desc.name);
        continue;
      }
      if (!ix.composite()) x.name = p_.full.fields[x.keyFields[0] - 1].name;
      if (leadsKey(x)) {
        rep_.lost.push_back("index " + ix.desc.name + " (its field leads the primary key now)");
        continue;
      }
      list.push_back(x);
      names.push_back(ix.desc.name);
    }
    for (std::size_t i = 0; i < d_.indexes.size(); ++i) {
      const IndexDesc& x = d_.indexes[i];
      if (x.primary || OpOf(d_.indexOps, i, opAdd) != opDrop) continue;
      auto it = std::find_if(names.begin(), names.end(),
                             [&](const std::string& n) { return SameName(n, x.name); });
      if (it == names.end()) {
        bool existed = std::any_of(old_.indexes.begin(), old_.indexes.end(),
                                   [&](const SecondaryIndex& s) { return SameName(s.desc.name, x.name); });
        if (!existed) return bad("index " + x.name + " does not exist");
        continue;  // gone with its field already
      }
      list.erase(list.begin() + (it - names.begin()));
      names.erase(it);
    }
    for (std::size_t i = 0; i < d_.indexes.size(); ++i) {
      const IndexDesc& x = d_.indexes[i];
      if (x.primary || OpOf(d_.indexOps, i, opAdd) == opDrop) continue;
      for (std::size_t k = 0; k < list.size(); ++k)
        if (SameName(list[k].name, x.name)) {
          list.erase(list.begin() + k);
          break;
        }
      list.push_back(x);
    }
    p_.full.indexes.insert(p_.full.indexes.end(), list.begin(), list.end());
    return Ok;
  }

  // The primary key orders by its first field already.
  bool leadsKey(const IndexDesc& x) const {
    return !p_.full.indexes.empty() && p_.full.indexes[0].primary &&
           p_.full.indexes[0].fieldsInKey > 0 && x.fieldsInKey > 0 &&
           x.keyFields[0] == p_.full.indexes[0].keyFields[0];
  }

  Result checks() {
    std::vector<ValCheckDesc> list;
    for (const ValCheckDesc& c : old_.validity.checks) {
      const std::uint16_t n = moved(c.fieldNumber);
      if (!n) {
        rep_.lost.push_back("validity check of field " + oldName(c.fieldNumber - 1));
        continue;
      }
      ValCheckDesc x = c;
      x.fieldNumber = n;
      const FieldDesc& o = old_.fields[c.fieldNumber - 1];
      const FieldDesc& f = p_.full.fields[n - 1];
      if (f.type != o.type || f.units1 != o.units1 || f.units2 != o.units2) dropValues(x, f);
      list.push_back(x);
    }
    for (std::size_t i = 0; i < d_.checks.size(); ++i) {
      const ValCheckDesc& c = d_.checks[i];
      if (OpOf(d_.checkOps, i, opAdd) != opDrop) continue;
      const std::uint16_t n = moved(c.fieldNumber);
      std::erase_if(list, [&](const ValCheckDesc& x) { return n && x.fieldNumber == n; });
    }
    for (std::size_t i = 0; i < d_.checks.size(); ++i) {
      const ValCheckDesc& c = d_.checks[i];
      if (OpOf(d_.checkOps, i, opAdd) == opDrop) continue;
      std::erase_if(list, [&](const ValCheckDesc& x) { return x.fieldNumber == c.fieldNumber; });
      list.push_back(c);
    }
    p_.full.checks = std::move(list);
    return Ok;
  }

  // A field whose definition changed keeps whether it is required and its
  // lookup table; its limits, default and picture were written for the old
  // definition and go.
  void dropValues(ValCheckDesc& c, const FieldDesc& f) {
    const bool dated = f.type == pxDate || f.type == pxTime || f.type == pxTimestamp;
    bool dropped = !c.picture.empty();
    for (std::uint16_t* has : {&c.hasMin, &c.hasMax, &c.hasDefault}) {
      if (*has == chkNone || (dated && (*has == chkToday || *has == chkNow))) continue;
      *has = chkNone;
      dropped = true;
    }
    c.picture.clear();
    c.minValue = c.maxValue = c.defaultValue = {};
    if (dropped)
      rep_.lost.push_back("limits, default and picture of field " + f.name + " (its definition changed)");
  }

  Result links() {
    std::vector<RefIntDesc> list;
    for (const RefIntDesc& l : old_.validity.links) {
      if (l.kind != riDependent) continue;  // the tables depending on this one stay listed
      RefIntDesc x = l;
      bool whole = true;
      for (std::uint16_t k = 0; k < x.fieldCount && k < kMaxKeyFields; ++k) {
        x.thisFields[k] = moved(x.thisFields[k]);
        whole = whole && x.thisFields[k];
      }
      if (!whole) {
        rep_.lost.push_back("link " + l.name);
        continue;
      }
      list.push_back(x);
    }
    for (std::size_t i = 0; i < d_.refInts.size(); ++i)
      if (OpOf(d_.refIntOps, i, opAdd) == opDrop)
        std::erase_if(list, [&](const RefIntDesc& x) { return SameName(x.name, d_.refInts[i].name); });
    for (std::size_t i = 0; i < d_.refInts.size(); ++i) {
      const RefIntDesc& l = d_.refInts[i];
      if (OpOf(d_.refIntOps, i, opAdd) == opDrop) continue;
      std::erase_if(list, [&](const RefIntDesc& x) { return SameName(x.name, l.name); });
      list.push_back(l);
    }
    p_.full.refInts = std::move(list);
    return Ok;
  }

  Result passwords() {
    std::string master = old_.master;
    if (d_.removeProtection) master.clear();
    if (d_.isProtected) {
      if (d_.password.empty()) return bad("a protected table needs a password");
      master = d_.password;
    }
    std::vector<SecurityDesc> list;
    if (!d_.removeProtection) {
      for (const AuxPassword& a : old_.aux) {
        SecurityDesc s;
        s.tableRights = a.tableRights;
        s.familyRights = a.familyRights;
        s.password = a.password;
        // A new field is closed to an auxiliary password until its rights are given.
        for (std::size_t j = 0; j < p_.source.size() && j < s.fieldRights.size(); ++j) {
          const int from = p_.source[j];
          s.fieldRights[j] = from >= 0 && static_cast<std::size_t>(from) < a.fieldRights.size()
                                 ? a.fieldRights[from]
                                 : 0;
        }
        list.push_back(s);
      }
    } else if (!old_.aux.empty()) {
      rep_.lost.push_back("the auxiliary passwords (the master password was removed)");
    }
    for (std::size_t i = 0; i < d_.passwords.size(); ++i)
      if (OpOf(d_.securityOps, i, opAdd) == opDrop)
        std::erase_if(list, [&](const SecurityDesc& s) { return s.password == d_.passwords[i].password; });
    for (std::size_t i = 0; i < d_.passwords.size(); ++i) {
      const SecurityDesc& s = d_.passwords[i];
      if (OpOf(d_.securityOps, i, opAdd) == opDrop) continue;
      std::erase_if(list, [&](const SecurityDesc& x) { return x.password == s.password; });
      list.push_back(s);
    }
    if (!list.empty() && master.empty())
      return bad("auxiliary passwords need a master password");
    p_.full.isProtected = master.empty() ? 0 : -1;
    p_.full.password = master;
    p_.full.passwords = std::move(list);
    return Ok;
  }

  void params() {
    const PxHeader& h = old_.header();
    auto take = [&](const std::string& name, const std::string& current) {
      const std::string* v = Param(d_, name);
      p_.full.optionalParams.push_back({name, v ? *v : current});
    };
    take("LEVEL", std::to_string(h.level()));
    take("LANGDRIVER", old_.table->driver() ? old_.table->driver()->name : h.sortOrderId);
    take("BLOCK SIZE", std::to_string(h.blockSize()));
    for (const char* name : {"FILL FACTOR", "STRICTINTEGRTY"})
      if (const std::string* v = Param(d_, name)) p_.full.optionalParams.push_back({name, *v});
  }

  const OldTable& old_;
  const TableDesc& d_;
  Plan& p_;
  RestructureReport& rep_;
};

// Records that cannot be carried over: their positions in the old table,
// for the problems table, and the first reasons.
struct Problems {
  bool collect = false;  // go on after a problem (a problems table, or a dry run)
  std::vector<std::uint32_t> positions;
  Result firstCode = Ok;

  Result add(RestructureReport& rep, std::uint32_t position, Result code, const std::string& why) {
    ++rep.problems;
    if (rep.problemSamples.size() < kSamples) rep.problemSamples.push_back(why);
    if (firstCode == Ok) {
      firstCode = code;
      rep.refusal = why;
    }
    if (!collect) return Fail(code, why);
    positions.push_back(position);
    return Ok;
  }
};

// The old records, converted to the new fields, labelled by their record
// number (position + 1).
class ConvertedRows : public StoredRows {
 public:
  ConvertedRows(OldTable& old, const Plan& plan, RestructureReport& rep, Problems& problems)
      : old_(old), plan_(plan), rep_(rep), problems_(problems) {}

  // The rows may come as records of `target` when its text is in the old
  // code page: fields that stay as they are keep their stored bytes.
  void storeFor(const ParadoxTable& target) {
    target_ = &target;
    canStore_ = target.codec().codePage() == old_.table->codec().codePage();
  }
  bool canStore() const override { return canStore_; }

  Result nextStored(std::vector<std::uint8_t>& record, std::uint64_t& label, bool& end) override {
    return nextCarried(label, end, [&](std::uint32_t position, bool& carried) -> Result {
      const std::uint8_t* in;
      if (Result r = old_.table->record(position, in)) return r;
      oldRecord_.assign(in, in + old_.header().recordSize());  // a BLOB read may move `in`
      return convertStored(position, oldRecord_.data(), record, carried);
    });
  }

  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    return nextCarried(label, end, [&](std::uint32_t position, bool& carried) -> Result {
      if (Result r = old_.table->readRecord(position, in_)) return r;
      return convert(position, values, carried);
    });
  }
  std::string name(std::uint64_t label) const override {
    return "record " + std::to_string(label);
  }

 private:
  // The next old record that `convert` carries over (problems are passed by).
  template <typename Convert>
  Result nextCarried(std::uint64_t& label, bool& end, Convert convert) {
    const std::uint32_t count = old_.table->recordCount();
    while (at_ < count) {
      const std::uint32_t position = at_++;
      bool carried = false;
      if (Result r = convert(position, carried)) return r;
      if (!carried) continue;
      label = position + 1;
      end = false;
      return Ok;
    }
    end = true;
    return Ok;
  }

  Result convert(std::uint32_t position, std::vector<Value>& values, bool& carried) {
    const auto& fields = plan_.full.fields;
    values.resize(fields.size());
    for (std::size_t j = 0; j < fields.size(); ++j) {
      const int s = plan_.source[j];
      if (s < 0) {
        values[j] = Value{};
        continue;
      }
      const FieldDesc& from = old_.fields[s];
      // A field whose definition stays keeps its value as read.
      if (from.type == fields[j].type && from.units1 == fields[j].units1 &&
          from.units2 == fields[j].units2) {
        values[j] = std::move(in_[s]);
        continue;
      }
      const Conversion c = ConvertValue(from, fields[j], in_[s], values[j], note_);
      if (c == Conversion::Failed) return problem(position, s);
      if (c == Conversion::Shortened) shortened(position, s);
    }
    carried = true;
    return Ok;
  }

  Result convertStored(std::uint32_t position, const std::uint8_t* in,
                       std::vector<std::uint8_t>& record, bool& carried) {
    const auto& fields = plan_.full.fields;
    const std::vector<PxField>& from = old_.header().fields;
    const std::vector<PxField>& to = target_->fields();
    record.assign(target_->header().recordSize(), 0);
    for (std::size_t j = 0; j < fields.size(); ++j) {
      const int s = plan_.source[j];
      if (s < 0) continue;
      const PxField& a = from[s];
      const PxField& b = to[j];
      if (a.code == b.code && a.size == b.size) {
        std::memcpy(record.data() + b.offset, in + a.offset, b.width());
        continue;
      }
      Value value, out;
      if (Result r = old_.table->fieldValue(in, s, value)) return r;
      const Conversion c = ConvertValue(old_.fields[s], fields[j], value, out, note_);
      if (c == Conversion::Same || c == Conversion::Shortened) {
        if (EncodeField(b, out, target_->codec(), record.data() + b.offset) == Ok) {
          if (c == Conversion::Shortened) shortened(position, s);
          continue;
        }
        note_ = LastErrorMessage();
      }
      return problem(position, s);
    }
    carried = true;
    return Ok;
  }

  // "record 12: field NAME: " + the conversion's note.
  std::string where(std::uint32_t position, int field) const {
    return name(position + 1) + ": field " + old_.fields[field].name + ": " + note_;
  }
  Result problem(std::uint32_t position, int field) {
    return problems_.add(rep_, position, ErrInvalidValue, where(position, field));
  }
  void shortened(std::uint32_t position, int field) {
    ++rep_.shortened;
    if (rep_.shortenedRecords == 0 || lastShortened_ != position) ++rep_.shortenedRecords;
    lastShortened_ = position;  // records come in order
    if (rep_.shortenedSamples.size() < kSamples) rep_.shortenedSamples.push_back(where(position, field));
  }

  OldTable& old_;
  const Plan& plan_;
  RestructureReport& rep_;
  Problems& problems_;
  const ParadoxTable* target_ = nullptr;
  bool canStore_ = false;
  std::vector<std::uint8_t> oldRecord_;
  std::uint32_t at_ = 0;
  std::uint32_t lastShortened_ = 0;
  std::vector<Value> in_;
  std::string note_;
};

// Old records by position, as they are: what the problems table receives.
class OldRows : public RowSource {
 public:
  OldRows(ParadoxTable& table, const std::vector<std::uint32_t>& positions)
      : table_(table), positions_(positions) {}
  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ == positions_.size();
    if (end) return Ok;
    label = positions_[at_++] + 1;
    return table_.readRecord(static_cast<std::uint32_t>(label - 1), values);
  }
  std::string name(std::uint64_t label) const override {
    return "record " + std::to_string(label);
  }

 private:
  ParadoxTable& table_;
  const std::vector<std::uint32_t>& positions_;
  std::size_t at_ = 0;
};

// Everything a run made that is not (yet) the table's.
struct Scratch {
  std::string workDir;
  std::vector<io::Replacement> plan;

  void discard() {
    for (const io::Replacement& e : plan)
      if (!e.staged.empty() && e.staged.rfind(workDir + "/", 0) != 0) ::unlink(e.staged.c_str());
    plan.clear();
    RemoveWorkDirectory(workDir);
  }
};

Result CarryAutoIncrement(const OldTable& old, const std::string& workTable) {
  bool counted = std::any_of(old.header().fields.begin(), old.header().fields.end(),
                             [](const PxField& f) { return f.code == fcAutoinc; });
  if (!counted) return Ok;
  PxHeader h;
  if (Result r = ReadFileHeader(workTable, h)) return r;
  h.setAutoIncrement(std::max(h.autoIncrement(), old.header().autoIncrement()));
  io::File f;
  if (Result r = f.open(workTable, io::File::Mode::ReadWrite)) return r;
  return f.write(0x49, h.raw.data() + 0x49, 4);
}

// Whether the old records, read in their order, come in the new key's
// order: the key fields stay first, as they are, compared as before.
bool KeepsKeyOrder(const OldTable& old, const Plan& plan) {
  const std::uint16_t key = old.header().keyFieldCount();
  const auto& ix = plan.full.indexes;
  if (key == 0 || ix.empty() || !ix[0].primary || ix[0].fieldsInKey != key) return false;
  const std::string* driver = nullptr;
  for (const auto& p : plan.full.optionalParams)
    if (p.name == "LANGDRIVER") driver = &p.value;
  if (!driver || !old.table->driver() || *driver != old.table->driver()->name) return false;
  for (std::uint16_t i = 0; i < key; ++i) {
    const FieldDesc& from = old.fields[i];
    const FieldDesc& to = plan.full.fields[i];
    if (ix[0].keyFields[i] != i + 1 || plan.source[i] != i || from.type != to.type ||
        from.units1 != to.units1 || from.units2 != to.units2)
      return false;
  }
  return true;
}

// Builds the new table in the work directory and fills it.
Result BuildTable(OldTable& old, const Plan& plan, const RestructureOptions& options,
                  const std::string& workTable, RestructureReport& rep, Problems& problems) {
  TableDesc work = plan.full;
  work.tableName = workTable;
  work.checks.clear();  // written beside the table itself, once it is built
  work.refInts.clear();
  if (Result r = CreateParadoxTable(work, false, options.defaults)) return r;
  if (Result r = CarryAutoIncrement(old, workTable)) return r;
  OpenOptions o;
  o.writable = o.exclusive = true;
  if (!plan.full.password.empty()) o.passwords = {plan.full.password};
  std::unique_ptr<ParadoxTable> table;
  if (Result r = ParadoxTable::Open(workTable, o, table)) return r;
  if (Result r = AttachSecondaryIndexes(*table)) return r;
  ConvertedRows rows(old, plan, rep, problems);
  rows.storeFor(*table);
  std::uint64_t kept = 0;
  auto reject = [&](std::uint64_t label, Result code, const std::string& message) {
    return problems.add(rep, static_cast<std::uint32_t>(label - 1), code, message);
  };
  const RowChange kind = KeepsKeyOrder(old, plan) ? RowChange::InsertInOrder : RowChange::Insert;
  if (Result r = table->changeRows(rows, kind, nullptr, &kept, reject)) return r;
  rep.kept = static_cast<std::uint32_t>(kept);
  return Ok;
}

bool NameTaken(const std::string& dir, const std::string& file) {
  std::vector<FamilyMember> members;
  if (ListFamily(dir + "/" + file, members) == Ok) return true;
  ClearLastError();
  return false;
}

// The problems table: the old fields, no key, the old master password.
Result BuildProblemsTable(OldTable& old, const Problems& problems, const TableDesc& desc,
                          const RestructureOptions& options, Scratch& s, RestructureReport& rep,
                          std::string& workPath) {
  std::string name = BaseName(desc.problemsTable);
  if (ExtensionOf(name) != "DB") name += ".db";
  const std::string stem = name.substr(0, name.size() - 3), ext = name.substr(name.size() - 3);
  const std::string dir = DirOf(old.path());
  for (int n = 1; NameTaken(dir, name) || SameName(name, BaseName(old.path())); ++n)
    name = stem + std::to_string(n) + ext;
  TableDesc d;
  d.tableName = workPath = s.workDir + "/" + name;
  d.fields = old.fields;
  d.optionalParams = {{"LEVEL", std::to_string(old.header().level())},
                      {"LANGDRIVER", old.table->driver() ? old.table->driver()->name
                                                         : old.header().sortOrderId},
                      {"BLOCK SIZE", std::to_string(old.header().blockSize())}};
  if (!old.master.empty()) {
    d.isProtected = -1;
    d.password = old.master;
  }
  if (Result r = CreateParadoxTable(d, false, options.defaults)) return r;
  OpenOptions o;
  o.writable = o.exclusive = true;
  o.passwords = {old.master};
  std::unique_ptr<ParadoxTable> table;
  if (Result r = ParadoxTable::Open(workPath, o, table)) return r;
  OldRows rows(*old.table, problems.positions);
  if (Result r = table->insertRows(rows)) return r;
  rep.problemsTable = name;
  return Ok;
}

bool Replaced(const std::string& upperExt) {
  bool composite;
  int n;
  return upperExt == "DB" || upperExt == "PX" || upperExt == "MB" || upperExt == "QIX" ||
         upperExt == "QPW" || ParseIndexTag(upperExt, composite, n) ||
         (!upperExt.empty() && upperExt[0] == 'Y' &&
          ParseIndexTag("X" + upperExt.substr(1), composite, n));
}

// The swap: the new members over the old ones (the .DB last, so that it
// appears only with its family), old members the new table lacks removed.
Result PlanSwap(const OldTable& old, const std::string& workTable, const std::string& problemsPath,
                std::vector<io::Replacement>& plan) {
  std::vector<FamilyMember> before, after, extra;
  if (Result r = ListFamily(old.path(), before)) return r;
  if (Result r = ListFamily(workTable, after)) return r;
  if (!problemsPath.empty())
    if (Result r = ListFamily(problemsPath, extra)) return r;
  const std::string dir = DirOf(old.path());
  for (const FamilyMember& m : extra) plan.push_back({m.path, dir + "/" + m.fileName});
  std::vector<io::Replacement> table;
  std::set<std::string> targets;
  for (const FamilyMember& m : after) {
    const std::string ext = ExtensionOf(m.fileName);
    std::string target = dir + "/" + m.fileName;
    for (const FamilyMember& o : before)
      if (ExtensionOf(o.fileName) == ext) target = o.path;
    targets.insert(target);
    (ext == "DB" ? table : plan).push_back({m.path, target});
  }
  for (const FamilyMember& o : before)
    if (Replaced(ExtensionOf(o.fileName)) && !targets.count(o.path)) plan.push_back({"", o.path});
  plan.insert(plan.end(), table.begin(), table.end());
  return Ok;
}

Result Run(OldTable& old, const TableDesc& desc, const RestructureOptions& options,
           RestructureReport& rep, Scratch& s) {
  Plan plan;
  if (Result r = Resolver(old, desc, plan, rep).run()) return r;
  NewTableLayout layout;
  if (Result r = PlanParadoxTable(plan.full, options.defaults, layout)) return r;
  rep.records = old.table->recordCount();

  s.workDir = WorkDirectoryOf(old.path());
  RemoveWorkDirectory(s.workDir);  // an earlier run's, cut short
  if (::mkdir(s.workDir.c_str(), 0777) != 0) return io::OsFailure(s.workDir, "creating the work directory");
  const std::string workTable = s.workDir + "/" + BaseName(old.path());
  Problems problems;
  problems.collect = options.dryRun || !desc.problemsTable.empty();
  if (Result r = BuildTable(old, plan, options, workTable, rep, problems)) return r;
  if (options.dryRun) {
    if (!desc.problemsTable.empty()) rep.refusal.clear();
    return Ok;
  }
  std::string problemsPath;
  if (!problems.positions.empty())
    if (Result r = BuildProblemsTable(old, problems, desc, options, s, rep, problemsPath)) return r;
  rep.refusal.clear();

  PxHeader header;
  if (Result r = ReadFileHeader(workTable, header)) return r;
  if (Result r = PlanSwap(old, workTable, problemsPath, s.plan)) return r;
  if (Result r = StageValidityFiles(plan.full, header, s.plan)) return r;
  return io::ReplaceFiles(s.plan, FamilyPath(old.path(), ".QRP"));
}

}  // namespace

Result RestructureParadoxTable(const std::string& tablePath, const TableDesc& desc,
                               const RestructureOptions& options, RestructureReport* report) {
  RestructureReport local;
  RestructureReport& rep = report ? *report : local;
  rep = RestructureReport{};
  OldTable old;
  if (Result r = OpenOld(tablePath, options, old)) return r;
  Scratch scratch;
  Result r = Run(old, desc, options, rep, scratch);
  if (r) {
    const std::string message = LastErrorMessage();
    scratch.discard();
    return Fail(r, message);
  }
  scratch.plan.clear();  // swapped in, or a dry run's
  RemoveWorkDirectory(scratch.workDir);
  return Ok;
}

}  // namespace engine::paradox
