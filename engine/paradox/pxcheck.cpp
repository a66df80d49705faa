#include "engine/paradox/pxcheck.h"

#include <sys/time.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>

#include "engine/paradox/pxpicture.h"
#include "engine/paradox/pxval.h"
#include "engine/paradox/pxvalue.h"
#include "engine/valuetext.h"

namespace engine::paradox {

namespace {

struct Rule {
  int field = 0;  // 0-based
  bool required = false;
  int minKind = chkNone, maxKind = chkNone, defaultKind = chkNone;
  std::string min, max, dflt;  // stored field form
  std::optional<Picture> picture;
  std::string lookupName, lookupPath;
};

struct Link {
  std::string name;
  std::string otherName, otherPath;
  std::int32_t updateRule = riRestrict;
  std::vector<int> mine, theirs;  // 0-based field positions, in link order
};

// A cascade waiting for the parent's change to be complete.
struct Cascade {
  Link link;
  std::vector<Value> oldKey, newKey;
};

// Key changes being cascaded on this thread: while a child takes its
// parent's new key, that key counts as existing although the parent's own
// change is not committed yet.
struct KeyInFlight {
  std::string parent;  // canonical path
  std::vector<Value> key;
};
thread_local std::vector<KeyInFlight> g_inFlight;

std::string Canonical(const std::string& path) {
  std::error_code ec;
  auto p = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : p.string();
}

std::string ShowNumber(double d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  return buf;
}

// A value as messages and pictures show it.
std::string Show(const Value& v) {
  if (auto s = std::get_if<std::string>(&v)) return *s;
  if (auto i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
  if (auto d = std::get_if<double>(&v)) return ShowNumber(*d);
  if (auto b = std::get_if<BcdValue>(&v)) return b->text;
  if (auto b = std::get_if<bool>(&v)) return *b ? "true" : "false";
  if (auto d = std::get_if<DateValue>(&v)) return FormatDate(d->day);
  if (auto t = std::get_if<TimeValue>(&v)) return FormatTime(t->ms);
  if (auto t = std::get_if<TimestampValue>(&v)) return FormatTimestamp(t->ms);
  return IsNull(v) ? "blank" : "a value";
}

// TODAY or NOW for a field, in the local time zone.
Value Current(int kind, std::uint8_t code) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const std::time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  const std::int32_t day = DayNumber(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  const std::int32_t ms = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 +
                          static_cast<std::int32_t>(tv.tv_usec / 1000);
  if (code == fcDate) return DateValue{day};
  if (code == fcTime) return TimeValue{ms};
  return TimestampValue{day * 86400000.0 + (kind == chkNow ? ms : 0)};
}

bool AllNull(const std::vector<Value>& values) {
  for (const Value& v : values)
    if (!IsNull(v)) return false;
  return true;
}

std::vector<Value> Pick(const std::vector<Value>& values, const std::vector<int>& fields) {
  std::vector<Value> out;
  for (int f : fields) out.push_back(values[f]);
  return out;
}

}  // namespace

std::string ShowKey(const std::vector<Value>& key) {
  std::string s;
  for (const Value& v : key) s += (s.empty() ? "" : ", ") + Show(v);
  return s;
}

struct ValidityParticipant::State {
  RelatedOpener opener;
  bool loaded = false;
  std::string valPath;
  std::vector<Rule> rules;
  std::vector<Link> parents;                                  // this table is their child
  std::vector<Link> children;                                 // tables that depend on this one
  std::map<std::string, std::unique_ptr<ParadoxTable>> open;  // read-only, for this change
  std::vector<Cascade> cascades;

  Result load(ParadoxTable& t);
  Result loadRule(ParadoxTable& t, const ValCheckDesc& c);
  Result related(const std::string& path, ParadoxTable*& out);
  Result find(ParadoxTable& t, const std::vector<int>& fields, const std::vector<Value>& key,
              bool& found, std::uint32_t& position);

  Result fillDefaults(ParadoxTable& t, std::vector<Value>& values);
  Result checkRule(ParadoxTable& t, const Rule& r, std::vector<Value>& values);
  Result checkRange(ParadoxTable& t, const Rule& r, const Value& v);
  Result checkLookup(ParadoxTable& t, const Rule& r, const Value& v);
  Result checkParent(ParadoxTable& t, const Link& l, const std::vector<Value>* oldValues,
                     const std::vector<Value>& values);
  Result checkChildren(ParadoxTable& t, const Link& l, const std::vector<Value>& oldValues,
                       const std::vector<Value>* newValues);
  Result cascade(ParadoxTable& t, const Cascade& c);

  std::string fieldName(ParadoxTable& t, int field) const {
    return t.codec().toUtf8(t.fields()[field].name);
  }
};

// ---------------------------------------------------------------- loading

Result ValidityParticipant::State::load(ParadoxTable& t) {
  TableValidity v;
  if (Result r = LoadValidity(t.path(), t.header(), t.codec(), v)) return r;
  valPath = FamilyPath(t.path(), ".VAL");
  for (const ValCheckDesc& c : v.checks)
    if (Result r = loadRule(t, c)) return r;
  for (const RefIntDesc& d : v.links) {
    Link l;
    l.name = d.name;
    l.otherName = d.otherTable;
    l.otherPath = RelatedTablePath(t.path(), d.otherTable);
    l.updateRule = d.updateRule;
    for (std::uint16_t i = 0; i < d.fieldCount; ++i) {
      if (d.thisFields[i] == 0 || d.thisFields[i] > t.fields().size() || d.otherFields[i] == 0)
        return Fail(ErrCorruptValidity,
                    valPath + ": link " + d.name + " names a field that does not exist");
      l.mine.push_back(d.thisFields[i] - 1);
      l.theirs.push_back(d.otherFields[i] - 1);
    }
    (d.kind == riDependent ? parents : children).push_back(std::move(l));
  }
  loaded = true;
  return Ok;
}

Result ValidityParticipant::State::loadRule(ParadoxTable& t, const ValCheckDesc& c) {
  if (c.fieldNumber == 0 || c.fieldNumber > t.fields().size())
    return Fail(ErrCorruptValidity, valPath + ": a check names field " +
                                        std::to_string(c.fieldNumber) + ", which does not exist");
  Rule r;
  r.field = c.fieldNumber - 1;
  const PxField& f = t.fields()[r.field];
  r.required = c.required != 0;
  r.minKind = HasKind(c.hasMin);
  r.maxKind = HasKind(c.hasMax);
  r.defaultKind = HasKind(c.hasDefault);
  if (IsBlobCode(f.code)) r.minKind = r.maxKind = r.defaultKind = chkNone;
  if (r.minKind == chkValue)
    if (Result e = AreaToStored(f, c.minValue, r.min)) return e;
  if (r.maxKind == chkValue)
    if (Result e = AreaToStored(f, c.maxValue, r.max)) return e;
  if (r.defaultKind == chkValue)
    if (Result e = AreaToStored(f, c.defaultValue, r.dflt)) return e;
  if (!c.picture.empty()) {
    Picture p;
    std::string error;
    if (!p.parse(c.picture, error))
      return Fail(ErrCorruptValidity, valPath + ": field " + fieldName(t, r.field) +
                                          ": picture \"" + c.picture + "\": " + error);
    r.picture = std::move(p);
  }
  if (!c.lookupTable.empty()) {
    r.lookupName = c.lookupTable;
    r.lookupPath = RelatedTablePath(t.path(), c.lookupTable);
  }
  rules.push_back(std::move(r));
  return Ok;
}

Result ValidityParticipant::State::related(const std::string& path, ParadoxTable*& out) {
  auto it = open.find(path);
  if (it == open.end()) {
    std::unique_ptr<ParadoxTable> t;
    if (Result r = opener(path, false, t)) return r;
    it = open.emplace(path, std::move(t)).first;
  }
  out = it->second.get();
  return Ok;
}

// Finds a record whose `fields` hold `key`: by binary search when the
// fields are the table's leading key fields, else by a scan.
Result ValidityParticipant::State::find(ParadoxTable& t, const std::vector<int>& fields,
                                        const std::vector<Value>& key, bool& found,
                                        std::uint32_t& position) {
  found = false;
  std::vector<std::string> stored(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const PxField& f = t.fields()[fields[i]];
    stored[i].assign(f.width(), '\0');
    // A value the field cannot hold is in no record of it.
    if (EncodeField(f, key[i], t.codec(), reinterpret_cast<std::uint8_t*>(stored[i].data())) !=
        Ok) {
      ClearLastError();
      return Ok;
    }
  }
  auto compare = [&](const std::uint8_t* rec) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const PxField& f = t.fields()[fields[i]];
      if (int c =
              CompareStored(f, rec + f.offset,
                            reinterpret_cast<const std::uint8_t*>(stored[i].data()), t.driver()))
        return c;
    }
    return 0;
  };
  bool leading = t.header().isKeyed() && fields.size() <= t.header().keyFieldCount();
  for (std::size_t i = 0; leading && i < fields.size(); ++i)
    leading = fields[i] == static_cast<int>(i);
  const std::uint8_t* rec;
  if (leading) {
    std::uint32_t lo = 0, hi = t.recordCount();
    while (lo < hi) {
      std::uint32_t mid = lo + (hi - lo) / 2;
      if (Result r = t.record(mid, rec)) return r;
      if (compare(rec) < 0)
        lo = mid + 1;
      else
        hi = mid;
    }
    if (lo < t.recordCount()) {
      if (Result r = t.record(lo, rec)) return r;
      found = compare(rec) == 0;
      position = lo;
    }
    return Ok;
  }
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    if (Result r = t.record(i, rec)) return r;
    if (compare(rec) == 0) {
      found = true;
      position = i;
      return Ok;
    }
  }
  return Ok;
}

// ---------------------------------------------------------------- checks

Result ValidityParticipant::State::fillDefaults(ParadoxTable& t, std::vector<Value>& values) {
  for (const Rule& r : rules) {
    if (r.defaultKind == chkNone || !IsNull(values[r.field])) continue;
    const PxField& f = t.fields()[r.field];
    values[r.field] =
        r.defaultKind == chkValue
            ? DecodeField(f, reinterpret_cast<const std::uint8_t*>(r.dflt.data()), t.codec())
            : Current(r.defaultKind, f.code);
  }
  return Ok;
}

Result ValidityParticipant::State::checkRule(ParadoxTable& t, const Rule& r,
                                             std::vector<Value>& values) {
  Value& v = values[r.field];
  const std::string where = t.path() + ": field " + fieldName(t, r.field);
  if (IsNull(v)) {
    if (r.required) return Fail(ErrRequiredField, where + " is required and was left blank");
    return Ok;
  }
  const bool text = std::holds_alternative<std::string>(v);
  const bool number = std::holds_alternative<std::int64_t>(v) ||
                      std::holds_alternative<double>(v) || std::holds_alternative<BcdValue>(v);
  if (r.picture && (text || number)) {
    std::string converted;
    if (!r.picture->match(Show(v), converted))
      return Fail(
          ErrPictureMismatch,
          where + ": \"" + Show(v) + "\" does not match the picture \"" + r.picture->text() + "\"");
    if (text) v = converted;
  }
  if (Result e = checkRange(t, r, v)) return e;
  return checkLookup(t, r, v);
}

Result ValidityParticipant::State::checkRange(ParadoxTable& t, const Rule& r, const Value& v) {
  if (r.minKind == chkNone && r.maxKind == chkNone) return Ok;
  const PxField& f = t.fields()[r.field];
  std::string mine(f.width(), '\0');
  auto bytes = [](const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); };
  if (Result e = EncodeField(f, v, t.codec(), reinterpret_cast<std::uint8_t*>(mine.data())))
    return e;
  auto limit = [&](int kind, const std::string& stored, std::string& out) -> Result {
    if (kind == chkValue) {
      out = stored;
      return Ok;
    }
    out.assign(f.width(), '\0');
    return EncodeField(f, Current(kind, f.code), t.codec(),
                       reinterpret_cast<std::uint8_t*>(out.data()));
  };
  const std::string where = t.path() + ": field " + fieldName(t, r.field) + ": " + Show(v);
  std::string bound;
  if (r.minKind != chkNone) {
    if (Result e = limit(r.minKind, r.min, bound)) return e;
    if (CompareStored(f, bytes(mine), bytes(bound), t.driver()) < 0)
      return Fail(ErrBelowMinimum,
                  where + " is below the minimum " + Show(DecodeField(f, bytes(bound), t.codec())));
  }
  if (r.maxKind != chkNone) {
    if (Result e = limit(r.maxKind, r.max, bound)) return e;
    if (CompareStored(f, bytes(mine), bytes(bound), t.driver()) > 0)
      return Fail(ErrAboveMaximum,
                  where + " is above the maximum " + Show(DecodeField(f, bytes(bound), t.codec())));
  }
  return Ok;
}

Result ValidityParticipant::State::checkLookup(ParadoxTable& t, const Rule& r, const Value& v) {
  if (r.lookupPath.empty()) return Ok;
  const std::string where = t.path() + ": field " + fieldName(t, r.field);
  ParadoxTable* lookup;
  if (Result e = related(r.lookupPath, lookup))
    return Fail(e, where + ": lookup table " + r.lookupName + ": " + LastErrorMessage());
  bool found = false;
  std::uint32_t at = 0;
  if (!lookup->fields().empty())
    if (Result e = find(*lookup, {0}, {v}, found, at)) return e;
  if (!found)
    return Fail(ErrLookupMismatch,
                where + ": " + Show(v) + " is not in lookup table " + r.lookupName);
  return Ok;
}

// A child's linked fields must name a parent record (or all be blank).
Result ValidityParticipant::State::checkParent(ParadoxTable& t, const Link& l,
                                               const std::vector<Value>* oldValues,
                                               const std::vector<Value>& values) {
  const std::vector<Value> key = Pick(values, l.mine);
  if (AllNull(key)) return Ok;
  if (oldValues && Pick(*oldValues, l.mine) == key) return Ok;
  const std::string parent = Canonical(l.otherPath);
  for (const KeyInFlight& k : g_inFlight)
    if (k.parent == parent && k.key == key) return Ok;
  ParadoxTable* p;
  if (Result e = related(l.otherPath, p))
    return Fail(e, t.path() + ": link " + l.name + ": parent table " + l.otherName + ": " +
                       LastErrorMessage());
  for (int f : l.theirs)
    if (f >= static_cast<int>(p->fields().size()))
      return Fail(ErrCorruptValidity, valPath + ": link " + l.name + " names a field " +
                                          l.otherName + " does not have");
  bool found = false;
  std::uint32_t at = 0;
  if (Result e = find(*p, l.theirs, key, found, at)) return e;
  if (!found)
    return Fail(ErrMasterMissing, t.path() + ": link " + l.name + ": " + l.otherName +
                                      " has no record with the key " + ShowKey(key));
  return Ok;
}

// A parent record whose key goes away (deleted, or changed) must have no
// children, unless the link cascades a key change to them.
Result ValidityParticipant::State::checkChildren(ParadoxTable& t, const Link& l,
                                                 const std::vector<Value>& oldValues,
                                                 const std::vector<Value>* newValues) {
  const std::vector<Value> oldKey = Pick(oldValues, l.mine);
  if (AllNull(oldKey)) return Ok;
  if (newValues && Pick(*newValues, l.mine) == oldKey) return Ok;
  if (!std::filesystem::exists(l.otherPath)) return Ok;  // a dependent that is gone has no records
  ParadoxTable* child;
  if (Result e = related(l.otherPath, child))
    return Fail(e, t.path() + ": link " + l.name + ": dependent table " + l.otherName + ": " +
                       LastErrorMessage());
  for (int f : l.theirs)
    if (f >= static_cast<int>(child->fields().size()))
      return Fail(ErrCorruptValidity, valPath + ": link " + l.name + " names a field " +
                                          l.otherName + " does not have");
  bool found = false;
  std::uint32_t at = 0;
  if (Result e = find(*child, l.theirs, oldKey, found, at)) return e;
  if (!found) return Ok;
  const std::string what = t.path() + ": the record with key " + ShowKey(oldKey) +
                           " has dependent records in " + l.otherName + " (link " + l.name + ")";
  if (!newValues) return Fail(ErrDetailsExist, what + "; it cannot be deleted");
  if (l.updateRule != riCascade)
    return Fail(ErrDetailsExist, what + "; the link prohibits changing its key");
  cascades.push_back({l, oldKey, Pick(*newValues, l.mine)});
  return Ok;
}

// Gives the children of a changed parent key the new key. Each child record
// is changed by a journaled change of the child table, committed before the
// parent's own change commits: the parent and child changes are separate,
// and an interruption between them leaves children that already carry the
// new key.
Result ValidityParticipant::State::cascade(ParadoxTable& t, const Cascade& c) {
  open.erase(c.link.otherPath);
  std::unique_ptr<ParadoxTable> child;
  if (Result e = opener(c.link.otherPath, true, child))
    return Fail(e, t.path() + ": link " + c.link.name +
                       ": cannot change the dependent records in " + c.link.otherName + ": " +
                       LastErrorMessage());
  g_inFlight.push_back({Canonical(t.path()), c.newKey});
  Result result = Ok;
  for (std::uint32_t guard = 0; guard <= child->recordCount() + 1; ++guard) {
    bool found = false;
    std::uint32_t at = 0;
    if ((result = find(*child, c.link.theirs, c.oldKey, found, at)) || !found) break;
    std::vector<Value> values;
    if ((result = child->readRecord(at, values))) break;
    for (std::size_t i = 0; i < c.link.theirs.size(); ++i) values[c.link.theirs[i]] = c.newKey[i];
    if ((result = child->update(at, values))) break;
  }
  g_inFlight.pop_back();
  return result;
}

// ---------------------------------------------------------------- participant

ValidityParticipant::ValidityParticipant(RelatedOpener opener) : s_(std::make_unique<State>()) {
  s_->opener = std::move(opener);
}

ValidityParticipant::~ValidityParticipant() = default;

Result ValidityParticipant::beforeChange(ParadoxTable& table, const std::vector<Value>* oldValues,
                                         std::vector<Value>* newValues) {
  State& s = *s_;
  // The .VAL file is read afresh for every change: a table created since
  // may have added itself to this table's dependents.
  if (!s.loaded)
    if (Result r = s.load(table)) return r;
  if (newValues && newValues->size() == table.fields().size()) {
    if (!oldValues)
      if (Result r = s.fillDefaults(table, *newValues)) return r;
    for (const Rule& r : s.rules)
      if (Result e = s.checkRule(table, r, *newValues)) return e;
    for (const Link& l : s.parents)
      if (Result e = s.checkParent(table, l, oldValues, *newValues)) return e;
  }
  if (oldValues)
    for (const Link& l : s.children)
      if (Result e = s.checkChildren(table, l, *oldValues, newValues)) return e;
  return Ok;
}

Result ValidityParticipant::beforeCommit(ParadoxTable& table, io::Transaction& tx) {
  (void)tx;
  for (const Cascade& c : s_->cascades)
    if (Result r = s_->cascade(table, c)) return r;
  s_->cascades.clear();
  return Ok;
}

void ValidityParticipant::afterChange(ParadoxTable& table, bool committed) {
  (void)table, (void)committed;
  s_->open.clear();
  s_->cascades.clear();
  s_->rules.clear();
  s_->parents.clear();
  s_->children.clear();
  s_->loaded = false;
}

}  // namespace engine::paradox
