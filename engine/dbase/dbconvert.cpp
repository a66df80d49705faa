#include "engine/dbase/dbconvert.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>

#include "engine/dbase/dbfamily.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/dbvalue.h"
#include "engine/io/file.h"
#include "engine/io/lock.h"
#include "engine/io/path.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"
#include "engine/valuetext.h"

namespace engine::dbase {

namespace {

constexpr int kNumberWidth = 20;      // the widest N and F field
constexpr int kDoubleWidth = 15;      // N and F fields a Paradox number goes back to
constexpr int kMostDecimals = 18;     // decimals of an N field made for a # field, at most
constexpr int kMemoLeader = 10;       // bytes of a Paradox memo kept in the record

using io::BaseName;
using io::Upper;

bool Writable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

Result Refuse(std::uint32_t record, const std::string& field, const std::string& why) {
  return Fail(ErrInvalidValue,
              "record " + std::to_string(record) + ": field " + field + ": " + why);
}

// The part of an encoder's message after its "field NAME: ".
std::string WithoutField(const std::string& message) {
  if (message.rfind("field ", 0) != 0) return message;
  const std::size_t colon = message.find(": ");
  return colon == std::string::npos ? message : message.substr(colon + 2);
}

// A message about the table built in the work directory, told of the
// destination.
std::string AtDestination(std::string message, const std::string& built,
                          const std::string& destination) {
  for (std::size_t at; (at = message.find(built)) != std::string::npos;)
    message.replace(at, built.size(), destination);
  return message;
}

// ---- Decimal text -------------------------------------------------------------
//
// Numbers are compared and carried as plain decimal text: an optional '-',
// the digits before the point without leading zeros (at least one), and the
// digits after it without trailing zeros (no point when there are none).

// Normalises text of the form [+-]digits[.digits]; false for anything else.
bool Normalise(std::string_view t, std::string& out) {
  bool negative;
  std::string whole, fraction;
  if (!SplitDecimal(t, negative, whole, fraction)) return false;
  if (whole.empty()) whole = "0";
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  out = (negative && (whole != "0" || !fraction.empty()) ? "-" : "") + whole +
        (fraction.empty() ? "" : "." + fraction);
  return true;
}

// The exact decimal text of a double: the shortest that reads back as it.
bool DoubleText(double d, std::string& out) {
  if (!std::isfinite(d)) return false;
  char buffer[512];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::fixed);
  if (r.ec != std::errc()) return false;
  return Normalise(std::string_view(buffer, static_cast<std::size_t>(r.ptr - buffer)), out);
}

// The decimal text of a number value (integer, double or BCD).
bool NumberText(const Value& v, std::string& out) {
  if (auto i = std::get_if<std::int64_t>(&v)) return Normalise(std::to_string(*i), out);
  if (auto d = std::get_if<double>(&v)) return DoubleText(*d, out);
  if (auto b = std::get_if<BcdValue>(&v)) return Normalise(b->text, out);
  return false;
}

// Characters before the point (the sign included) and digits after it.
void Measure(const std::string& text, int& whole, int& decimals) {
  const std::size_t point = text.find('.');
  whole = static_cast<int>(point == std::string::npos ? text.size() : point);
  decimals = point == std::string::npos ? 0 : static_cast<int>(text.size() - point - 1);
}

// A double that is exactly the number `text`, if there is one.
bool ExactDouble(const std::string& text, double& out) {
  const char* end = text.data() + text.size();
  const auto r = std::from_chars(text.data(), end, out);
  std::string back;
  return r.ec == std::errc() && r.ptr == end && DoubleText(out, back) && back == text;
}

// What a new field makes of a number's decimal text.
enum class NumberKind {
  Whole,    // an integer
  Double,   // a double, which must hold it exactly
  Decimal,  // decimal text with at most the field's decimals
};

// The number `text` (as Normalise writes it) as a value of the kind a new
// field holds; false with `why` when it would not be carried whole.
// `holder` names what holds a double in the messages.
bool NumberValue(const std::string& text, NumberKind kind, int decimals, const char* holder,
                 Value& out, std::string& why) {
  switch (kind) {
    case NumberKind::Whole: {
      std::int64_t v = 0;
      const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
      if (r.ec != std::errc() || r.ptr != text.data() + text.size()) {
        why = text + " is not a whole number";
        return false;
      }
      out = v;
      return true;
    }
    case NumberKind::Double: {
      double d;
      if (!ExactDouble(text, d)) {
        why = text + " has more digits than " + holder + " holds";
        return false;
      }
      out = d;
      return true;
    }
    case NumberKind::Decimal: {
      int whole, places;
      Measure(text, whole, places);
      if (places > decimals) {
        why = text + " has more than " + std::to_string(decimals) + " decimals";
        return false;
      }
      out = BcdValue{text};
      return true;
    }
  }
  return false;
}

bool Blank(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i] != ' ' && p[i] != 0) return false;
  return true;
}

// The number an N or F field holds, as decimal text; `blank` when it
// holds none. False for bytes that are no number.
bool FieldNumber(const std::uint8_t* p, std::size_t n, std::string& out, bool& blank) {
  std::string t(reinterpret_cast<const char*>(p), n);
  // dBASE II writes an empty number with decimals as its point alone.
  blank = t.find_first_not_of(std::string(" \0.", 3)) == std::string::npos;
  if (blank) return true;
  t.erase(0, t.find_first_not_of(std::string(" \0", 2)));
  t.erase(t.find_last_not_of(std::string(" \0", 2)) + 1);
  if (t.find(',') != std::string::npos) {
    if (t.find('.') != std::string::npos)
      std::erase(t, ',');
    else
      std::replace(t.begin(), t.end(), ',', '.');
  }
  if (Normalise(t, out)) return true;
  // An exponent: the double it reads as.
  double d;
  bool integral;
  std::int64_t whole;
  return ParseNumber(t.data(), t.size(), d, integral, whole) && DoubleText(d, out);
}

std::string Shown(const std::uint8_t* p, std::size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return "\"" + s + "\"";
}

// ---- Language drivers --------------------------------------------------------

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A dBASE driver (one with an ID byte) of the code page, the ones offered
// for new tables first.
const text::LanguageDriver& DbaseDriverFor(int codePage) {
  const text::LanguageDriver* found = nullptr;
  for (const text::LanguageDriver& d : text::LanguageDrivers()) {
    if (d.dbaseId == 0 || d.codePage != codePage) continue;
    if (d.offered) return d;
    if (!found) found = &d;
  }
  return found ? *found : *text::FindDriver("DBWINUS0");
}

// A Paradox driver of the code page: Paradox's own first, then those
// offered, then any; `fallback` when none has it.
const text::LanguageDriver* ParadoxDriverFor(int codePage, const std::string& fallback) {
  const text::LanguageDriver* best = nullptr;
  int bestRank = 99;
  for (const text::LanguageDriver& d : text::LanguageDrivers()) {
    if (d.codePage != codePage) continue;
    const bool own = StartsWith(d.description, "Paradox") || StartsWith(d.description, "Pdox") ||
                     StartsWith(d.description, "'ascii'");
    const int rank = own && d.offered ? 0 : own ? 1 : d.offered ? 2 : 3;
    if (rank < bestRank) {
      best = &d;
      bestRank = rank;
    }
  }
  return best ? best : text::FindDriver(fallback);
}

// ---- Field names ---------------------------------------------------------------

// `name` cut to `longest` characters and made unique (case-insensitively)
// among `used` by a number at its end.
std::string Unique(std::string name, std::size_t longest, std::set<std::string>& used) {
  if (name.size() > longest) name.resize(longest);
  std::string candidate = name;
  for (int n = 2; used.count(Upper(candidate)); ++n) {
    const std::string suffix = "_" + std::to_string(n);
    candidate = name.substr(0, std::min(name.size(), longest - suffix.size())) + suffix;
  }
  used.insert(Upper(candidate));
  return candidate;
}

// A dBASE field name for a Paradox one: a letter, then letters, digits and
// underscores.
std::string DbaseName(const std::string& utf8, std::size_t longest, bool upper,
                      std::set<std::string>& used) {
  std::string name;
  for (unsigned char c : utf8) {
    if (c >= 0x80 && c < 0xC0) continue;  // the rest of a non-ASCII character
    const char mapped = c < 0x80 && std::isalnum(c) ? static_cast<char>(c) : '_';
    if (mapped == '_' && !name.empty() && name.back() == '_') continue;
    name += mapped;
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) name = "F" + name;
  if (upper) name = Upper(name);
  return Unique(name, longest, used);
}

// ---- Swapping a Paradox destination in ---------------------------------------

// The new family built in `work` (its .DB at `workDb`) goes in for the
// family of `destDb`; `removals` lists the old members (from a prepared
// deletion), whose locks are held in `held`.
Result SwapParadox(const std::string& workDb, const std::string& destDb,
                   paradox::PreparedChange& old) {
  std::vector<paradox::FamilyMember> built;
  if (Result r = paradox::ListFamily(workDb, built)) return r;
  std::vector<io::Replacement> plan, table;
  std::set<std::string> targets;
  for (const paradox::FamilyMember& m : built) {
    const std::string ext = m.fileName.substr(m.fileName.find_last_of('.'));
    const std::string target = m.kind == famTable && Upper(ext) == ".DB"
                                   ? destDb
                                   : paradox::FamilyPath(destDb, Upper(ext));
    targets.insert(target);
    (target == destDb ? table : plan).push_back({m.path, target});
  }
  for (const io::Replacement& e : old.plan)
    if (!targets.count(e.target) && e.target != destDb) plan.push_back(e);
  plan.insert(plan.end(), table.begin(), table.end());
  Result r = io::ReplaceFiles(plan, paradox::FamilyPath(destDb, ".QRP"));
  old.plan.clear();
  old.locks.clear();
  return r;
}

// ==== Paradox -> dBASE ==========================================================

struct Stats {
  int whole = 1, decimals = 0;  // widest number seen
  bool milliseconds = false;
  std::size_t longest = 0;  // bytes of the longest text in the destination's code page
};

struct PxColumn {
  std::size_t field = 0;
  std::string name;   // the source field's name
  std::uint8_t code = 0;
  FieldDesc dest;
  int level = 4;      // the level this column needs
};

// Whether numbers as wide as `s` fit a field `width` wide; `decimals`
// receives the decimals it gets: at least `floor` where room is left.
bool FitNumber(const Stats& s, int floor, int width, int& decimals) {
  if (s.whole + (s.decimals ? s.decimals + 1 : 0) > width) return false;
  decimals = std::max(floor, s.decimals);
  if (s.whole + (decimals ? decimals + 1 : 0) > width)
    decimals = std::max(s.decimals, width - 1 - s.whole);
  decimals = std::max(decimals, 0);
  return true;
}

// The N, F or O field for numbers of a Paradox field: `width` when they
// fit (15 characters for doubles, which hold 15 digits exactly, so that a
// copy back gives a Paradox number again), else the widest, else level 7's
// double.
void PlanNumber(PxColumn& c, const Stats& s, int floor, std::uint16_t ascii, int width) {
  int decimals = 0;
  for (int w : {width, kNumberWidth}) {
    if (FitNumber(s, floor, w, decimals)) {
      c.dest.type = ascii;
      c.dest.units1 = static_cast<std::int16_t>(w);
      c.dest.units2 = static_cast<std::int16_t>(decimals);
      return;
    }
  }
  c.dest.type = dbDouble;
  c.level = 7;
}

bool NeedsScan(const paradox::PxField& f) {
  using namespace paradox;
  return f.code == fcNumber || f.code == fcMoney || f.code == fcBcd || f.code == fcTime ||
         (f.code == fcAlpha && f.size > 254);
}

// One pass over the source for the numbers, times and long texts the new
// fields must hold.
Result Scan(paradox::ParadoxTable& t, const text::Codec& destCodec, std::vector<Stats>& stats) {
  using namespace paradox;
  const auto& fields = t.fields();
  stats.assign(fields.size(), Stats{});
  std::vector<std::size_t> wanted;
  for (std::size_t i = 0; i < fields.size(); ++i)
    if (NeedsScan(fields[i])) wanted.push_back(i);
  if (wanted.empty()) return Ok;
  std::string text, bytes;
  for (std::uint32_t r = 0; r < t.recordCount(); ++r) {
    const std::uint8_t* p;
    if (Result e = t.record(r, p)) return e;
    for (std::size_t i : wanted) {
      const Value v = paradox::DecodeField(fields[i], p + fields[i].offset, t.codec());
      Stats& s = stats[i];
      if (IsNull(v)) continue;
      if (auto time = std::get_if<TimeValue>(&v)) {
        s.milliseconds = s.milliseconds || time->ms % 1000 != 0;
      } else if (auto str = std::get_if<std::string>(&v)) {
        destCodec.fromUtf8(*str, bytes);
        s.longest = std::max(s.longest, bytes.size());
      } else if (NumberText(v, text)) {
        int whole, decimals;
        Measure(text, whole, decimals);
        s.whole = std::max(s.whole, whole);
        s.decimals = std::max(s.decimals, decimals);
      }
    }
  }
  return Ok;
}

Result PlanDbaseFields(paradox::ParadoxTable& t, const std::vector<Stats>& stats,
                       std::vector<PxColumn>& cols, int& level) {
  using namespace paradox;
  const auto& fields = t.fields();
  cols.clear();
  level = 4;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const PxField& f = fields[i];
    PxColumn c;
    c.field = i;
    c.name = t.codec().toUtf8(f.name);
    c.code = f.code;
    FieldDesc& d = c.dest;
    switch (f.code) {
      case fcAlpha:
        if (f.size <= 254 || stats[i].longest <= 254) {
          d.type = dbChar;
          d.units1 = std::min<std::int16_t>(f.size, 254);
        } else {
          d.type = dbMemo;
        }
        break;
      case fcNumber: PlanNumber(c, stats[i], 2, dbFloat, kDoubleWidth); break;
      case fcMoney: PlanNumber(c, stats[i], 2, dbNumber, kDoubleWidth); break;
      case fcBcd:
        PlanNumber(c, stats[i], std::min<int>(f.size, kMostDecimals), dbNumber, kNumberWidth);
        break;
      case fcShort: d.type = dbNumber; d.units1 = 6; break;
      case fcLong: d.type = dbNumber; d.units1 = 11; break;
      case fcAutoinc: d.type = dbAutoinc; c.level = 7; break;
      case fcDate: d.type = dbDate; break;
      case fcLogical: d.type = dbLogical; break;
      case fcTimestamp: d.type = dbTimestamp; c.level = 7; break;
      case fcTime: d.type = dbChar; d.units1 = stats[i].milliseconds ? 12 : 8; break;
      case fcMemo: case fcFmtMemo: d.type = dbMemo; break;
      case fcBinary: case fcGraphic: case fcBytes: d.type = dbBinary; c.level = 5; break;
      case fcOle: d.type = dbOle; c.level = 5; break;
      default:
        return Fail(ErrNotSupported, t.path() + ": field " + c.name +
                                         " has a type that cannot be copied to a dBASE table");
    }
    level = std::max(level, c.level);
    cols.push_back(std::move(c));
  }
  std::set<std::string> used;
  for (PxColumn& c : cols) {
    // Level 7 has whole numbers of its own.
    if (level == 7 && (c.code == fcShort || c.code == fcLong)) {
      c.dest.type = dbLong;
      c.dest.units1 = 0;
    }
    c.dest.name = DbaseName(c.name, level == 7 ? 31 : 10, level < 7, used);
  }
  return Ok;
}

// A memo's text must go into the new table's code page whole (the
// writer would put '?' for what it cannot hold).
Result MemoTextFits(const Value& v, const text::Codec& codec) {
  std::string bytes;
  if (const std::string* s = std::get_if<std::string>(&v); s && !codec.fromUtf8(*s, bytes))
    return Fail(ErrInvalidValue, "the text has characters the table's code page cannot hold");
  return Ok;
}

// The records of a source table as values of the new table's fields,
// column by column. A value that would not be carried whole (convert), or
// that the new table's writer would refuse (check), fails naming the
// record and the source field.
template <typename Column>
class ColumnRows : public RowSource {
 public:
  std::string name(std::uint64_t label) const override { return "record " + std::to_string(label); }

 protected:
  explicit ColumnRows(const std::vector<Column>& cols) : cols_(cols) {}

  // The values of the record in in_, numbered `number`; `at_` moves on to
  // the next record.
  Result take(std::uint32_t number, std::vector<Value>& values, std::uint64_t& label) {
    values.assign(cols_.size(), Value{});
    for (std::size_t k = 0; k < cols_.size(); ++k) {
      std::string why;
      if (!convert(cols_[k], in_[cols_[k].field], values[k], why))
        return Refuse(number, cols_[k].name, why);
      if (check(k, values[k]) != Ok)
        return Refuse(number, cols_[k].name, WithoutField(LastErrorMessage()));
    }
    label = number;
    ++at_;
    return Ok;
  }

  virtual bool convert(const Column& c, const Value& in, Value& out, std::string& why) = 0;
  virtual Result check(std::size_t k, const Value& v) = 0;

  const std::vector<Column>& cols_;
  std::vector<Value> in_;  // the source record's values
  std::uint32_t at_ = 0;   // the next record of the source
};

// The records of the Paradox source as values of the new fields.
class ParadoxRows : public ColumnRows<PxColumn> {
 public:
  ParadoxRows(paradox::ParadoxTable& source, const std::vector<PxColumn>& cols, DbaseTable& dest)
      : ColumnRows(cols), source_(source), dest_(dest), scratch_(dest.recordLength(), ' ') {}

  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ >= source_.recordCount();
    if (end) return Ok;
    const std::uint32_t number = at_ + 1;
    if (Result r = source_.readRecord(at_, in_))
      return Fail(r, "record " + std::to_string(number) + ": " + LastErrorMessage());
    return take(number, values, label);
  }

 private:
  bool convert(const PxColumn& c, const Value& in, Value& out, std::string& why) override {
    using namespace paradox;
    out = Value{};
    if (IsNull(in)) return true;
    switch (c.code) {
      case fcNumber: case fcMoney: case fcBcd: {
        std::string text;
        if (!NumberText(in, text)) {
          why = "the number is not finite";
          return false;
        }
        return NumberValue(text, c.dest.type == dbDouble ? NumberKind::Double : NumberKind::Decimal,
                           c.dest.units2, "a double", out, why);
      }
      case fcTime: {
        const std::int32_t ms = std::get<TimeValue>(in).ms;
        char buffer[32];
        const int h = ms / 3600000, m = ms / 60000 % 60, s = ms / 1000 % 60;
        if (c.dest.units1 == 12)
          std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", h, m, s, ms % 1000);
        else
          std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", h, m, s);
        out = std::string(buffer);
        return true;
      }
      case fcFmtMemo:
        out = source_.codec().toUtf8(std::get<BlobValue>(in).bytes);
        return true;
      default:
        out = in;
        return true;
    }
  }

  // What the writer would refuse, found here so that the message can name
  // the source field.
  Result check(std::size_t k, const Value& v) override {
    const DbfField& f = dest_.fields()[k];
    if (f.isMemo()) return f.type == 'M' ? MemoTextFits(v, dest_.codec()) : Result{Ok};
    return EncodeField(f, v, dest_.codec(), scratch_.data());
  }

  paradox::ParadoxTable& source_;
  DbaseTable& dest_;
  std::vector<std::uint8_t> scratch_;
};

// Level 7's autoincrement counters of the new table go on from the
// source's.
Result CarryCounter(const std::string& dbf, std::uint32_t last) {
  DbfHeader h;
  io::File f;
  if (Result r = f.open(dbf, io::File::Mode::ReadWrite)) return r;
  std::uint64_t size = 0;
  if (Result r = f.size(size)) return r;
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, DbfHeader::kMaxLength)));
  if (Result r = f.read(0, head.data(), head.size())) return r;
  if (Result r = h.parse(dbf, head, size)) return r;
  bool changed = false;
  for (const DbfField& field : h.fields) {
    if (field.type != '+' || last >= 0x7FFFFFFF || h.nextAutoIncrement(field) > last) continue;
    h.setNextAutoIncrement(field, last + 1);
    changed = true;
  }
  return changed ? f.write(0, h.raw.data(), h.raw.size()) : Result{Ok};
}

// ==== dBASE -> Paradox ==========================================================

struct DbColumn {
  std::size_t field = 0;
  std::string name;  // the source field's name
  char letter = 'C';
  FieldDesc dest;
};

Result PlanParadoxFields(DbaseTable& t, std::vector<DbColumn>& cols, std::uint32_t& recordSize) {
  const std::vector<FieldDesc> descs = t.fieldDescs();
  cols.clear();
  recordSize = 0;
  std::set<std::string> used;
  for (std::size_t i = 0; i < t.fields().size(); ++i) {
    const DbfField& f = t.fields()[i];
    DbColumn c;
    c.field = i;
    c.name = f.name;
    c.letter = f.type;
    FieldDesc& d = c.dest;
    std::uint32_t width = 8;
    switch (descs[i].type) {
      case dbChar:
        d.type = pxAlpha;
        d.units1 = static_cast<std::int16_t>(std::clamp<int>(f.length, 1, 255));
        width = static_cast<std::uint32_t>(d.units1);
        break;
      case dbNumber:
      case dbFloat:
        if (f.type == 'Y') {
          d.type = pxMoney;
        } else if (f.type == 'N' && f.decimals == 0 && f.length <= 9) {
          d.type = pxLong;
          width = 4;
        } else if (f.type == 'F' || f.length <= 15) {
          d.type = pxNumber;
        } else {
          d.type = pxBcd;
          d.units1 = 32;
          d.units2 = f.decimals;
          width = 17;
        }
        break;
      case dbDouble: d.type = pxNumber; break;
      case dbDate: d.type = pxDate; width = 4; break;
      case dbLogical: d.type = pxLogical; width = 1; break;
      case dbMemo: d.type = pxMemo; d.units1 = kMemoLeader; width = kMemoLeader + 10; break;
      case dbBinary: d.type = pxBinary; width = 10; break;
      case dbOle: d.type = pxOle; width = 10; break;
      case dbLong: d.type = pxLong; width = 4; break;
      case dbAutoinc: d.type = pxAutoinc; width = 4; break;
      case dbTimestamp: d.type = pxTimestamp; break;
      default:
        return Fail(ErrNotSupported, t.path() + ": field " + f.name + " (type " +
                                         std::string(1, f.type) +
                                         ") cannot be copied to a Paradox table");
    }
    d.name = Unique(f.name, 25, used);
    recordSize += width;
    cols.push_back(std::move(c));
  }
  return Ok;
}

// The records of the dBASE source that are not marked deleted, as values
// of the new fields.
class DbaseRows : public ColumnRows<DbColumn> {
 public:
  DbaseRows(DbaseTable& source, const std::vector<DbColumn>& cols, paradox::ParadoxTable& dest)
      : ColumnRows(cols), source_(source), dest_(dest), scratch_(256) {}

  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    for (;; ++at_) {
      end = at_ >= source_.recordCount();
      if (end) return Ok;
      bool deleted = false;
      if (Result r = source_.isDeleted(at_, deleted)) return r;
      if (!deleted) break;
    }
    const std::uint32_t number = at_ + 1;
    const std::uint8_t* p;
    if (Result r = source_.record(at_, p)) return r;
    record_.assign(p, p + source_.recordLength());
    if (Result r = source_.readRecord(at_, in_)) return r;
    return take(number, values, label);
  }

 private:
  bool convert(const DbColumn& c, const Value& in, Value& out, std::string& why) override {
    const DbfField& f = source_.fields()[c.field];
    const std::uint8_t* p = record_.data() + f.offset;
    out = Value{};
    if ((f.type == 'N' || f.type == 'F') && c.dest.type != pxMoney) {
      std::string text;
      bool blank = false;
      if (!FieldNumber(p, f.length, text, blank)) {
        why = "holds " + Shown(p, f.length) + ", which is no number";
        return false;
      }
      if (blank) return true;
      if (c.dest.type == pxLong || c.dest.type == pxNumber)
        return NumberValue(text, c.dest.type == pxLong ? NumberKind::Whole : NumberKind::Double, 0,
                           "a Paradox number", out, why);
      // The BCD field has the source's decimals; what does not fit them
      // the writer refuses.
      out = BcdValue{text};
      return true;
    }
    if (f.type == 'D' && IsNull(in) && !Blank(p, f.length) &&
        std::string(reinterpret_cast<const char*>(p), f.length) != std::string(f.length, '0')) {
      why = "holds " + Shown(p, f.length) + ", which is no date";
      return false;
    }
    if (c.dest.type == pxNumber && !IsNull(in)) {
      const double* d = std::get_if<double>(&in);
      if (!d || !std::isfinite(*d)) {
        why = "the number is not finite";
        return false;
      }
    }
    out = in;
    return true;
  }

  Result check(std::size_t k, const Value& v) override {
    const paradox::PxField& f = dest_.fields()[k];
    if (paradox::IsBlobCode(f.code))
      return f.code == paradox::fcMemo ? MemoTextFits(v, dest_.codec()) : Result{Ok};
    return paradox::EncodeField(f, v, dest_.codec(), scratch_.data());
  }

  DbaseTable& source_;
  paradox::ParadoxTable& dest_;
  std::vector<std::uint8_t> scratch_;
  std::vector<std::uint8_t> record_;
};

// The last number the source's autoincrement fields gave.
std::uint32_t LastCounter(const std::string& dbf) {
  DbfHeader h;
  io::File f;
  std::uint64_t size = 0;
  if (f.open(dbf, io::File::Mode::Read) || f.size(size)) {
    ClearLastError();
    return 0;
  }
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, DbfHeader::kMaxLength)));
  if (f.read(0, head.data(), head.size()) || h.parse(dbf, head, size)) {
    ClearLastError();
    return 0;
  }
  std::uint32_t last = 0;
  for (const DbfField& field : h.fields)
    if (field.type == '+' && h.nextAutoIncrement(field) > 0)
      last = std::max(last, h.nextAutoIncrement(field) - 1);
  return last;
}

Result CarryParadoxCounter(const std::string& db, std::uint32_t last) {
  paradox::PxHeader h;
  if (Result r = paradox::ReadFileHeader(db, h)) return r;
  if (h.autoIncrement() >= last) return Ok;
  h.setAutoIncrement(last);
  io::File f;
  if (Result r = f.open(db, io::File::Mode::ReadWrite)) return r;
  return f.write(0x49, h.raw.data() + 0x49, 4);
}

template <typename Run>
Result Cleaned(const std::string& work, Run run) {
  Result r = run();
  const std::string message = r ? LastErrorMessage() : std::string();
  io::RemoveWorkDirectory(work);
  return r ? Fail(r, message) : Result{Ok};
}

// ==== Restructure ===============================================================

bool IsNumberLetter(char c) { return c == 'N' || c == 'F' || c == 'I' || c == '+' || c == 'O'; }

// Whether values of a field of type `from` (its letter) can become values
// of `to` (a DbaseType) at all.
bool Reshapes(char from, std::uint16_t to) {
  const bool number = to == dbNumber || to == dbFloat || to == dbLong || to == dbAutoinc ||
                      to == dbDouble;
  switch (from) {
    case 'C': return to == dbChar || number || to == dbDate || to == dbLogical || to == dbMemo;
    case 'N': case 'F': case 'I': case '+': case 'O': return to == dbChar || number;
    case 'D': return to == dbDate || to == dbChar || to == dbTimestamp;
    case '@': return to == dbTimestamp || to == dbDate;
    case 'L': return to == dbLogical || to == dbChar;
    case 'M': return to == dbMemo || to == dbChar;
    case 'B': case 'G': return to == dbBinary || to == dbOle;
    default: return false;
  }
}

std::string DateText(DateValue d) {
  int y, m, day;
  SplitDayNumber(d.day, y, m, day);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", y, m, day);
  return buffer;
}

// An old value in the shape of a new field; false with `why` when it would
// not be carried whole. Whether it fits the field's size the writer checks.
bool Reshape(const DbfField& from, const std::uint8_t* record, const Value& in,
             const FieldDesc& to, Value& out, std::string& why) {
  out = Value{};
  std::string text;  // a number's decimal text
  if (from.type == 'N' || from.type == 'F') {
    bool blank = false;
    if (!FieldNumber(record + from.offset, from.length, text, blank)) {
      why = "holds " + Shown(record + from.offset, from.length) + ", which is no number";
      return false;
    }
    if (blank) return true;
  } else if (IsNull(in)) {
    return true;
  } else if (IsNumberLetter(from.type) && !NumberText(in, text)) {
    why = "the number is not finite";
    return false;
  }
  const std::string* str = std::get_if<std::string>(&in);
  if (str && to.type != dbChar && to.type != dbMemo) {
    std::string t = *str;
    t.erase(0, t.find_first_not_of(' '));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    if (to.type == dbLogical) {
      const std::string u = Upper(t);
      if (u == "T" || u == "Y" || u == "TRUE" || u == "YES") out = true;
      else if (u == "F" || u == "N" || u == "FALSE" || u == "NO") out = false;
      else why = "\"" + *str + "\" is not a logical value";
      return why.empty();
    }
    if (to.type == dbDate) {
      int y = 0, m = 0, d = 0;
      char extra = 0;
      if ((std::sscanf(t.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &extra) == 3 ||
           (t.size() == 8 && std::sscanf(t.c_str(), "%4d%2d%2d%c", &y, &m, &d, &extra) == 3)) &&
          m >= 1 && m <= 12 && d >= 1 && d <= 31) {
        const DateValue date{DayNumber(y, m, d)};
        if (DateText(date) == (t.size() == 8 ? t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6) : t)) {
          out = date;
          return true;
        }
      }
      why = "\"" + *str + "\" is not a date (YYYY-MM-DD)";
      return false;
    }
    if (!Normalise(t, text)) {
      why = "\"" + *str + "\" is not a number";
      return false;
    }
  }
  switch (to.type) {
    case dbChar:
      if (!text.empty()) out = text;
      else if (auto d = std::get_if<DateValue>(&in)) out = DateText(*d);
      else if (auto b = std::get_if<bool>(&in)) out = std::string(*b ? "T" : "F");
      else out = in;
      return true;
    case dbNumber:
    case dbFloat:
      return NumberValue(text, NumberKind::Decimal, to.units2, "", out, why);
    case dbLong:
    case dbAutoinc:
      return NumberValue(text, NumberKind::Whole, 0, "", out, why);
    case dbDouble:
      return NumberValue(text, NumberKind::Double, 0, "a double", out, why);
    case dbDate:
      if (auto t = std::get_if<TimestampValue>(&in)) {
        const double day = std::floor(t->ms / 86400000.0);
        if (day * 86400000.0 != t->ms) {
          why = "the timestamp has a time of day, which a date would lose";
          return false;
        }
        out = DateValue{static_cast<std::int32_t>(day)};
        return true;
      }
      out = in;
      return true;
    case dbTimestamp:
      if (auto d = std::get_if<DateValue>(&in)) out = TimestampValue{d->day * 86400000.0};
      else out = in;
      return true;
    default:
      out = in;
      return true;
  }
}

struct Reshaped {
  FieldDesc def;   // the new field
  int source = -1; // index of the old field it takes its values from
};

// The new fields from a descriptor (as engine/paradox/pxrestructure.h
// reads it: change codes, old field numbers in kept, copied and modified
// entries).
Result PlanReshape(const DbaseTable& t, const TableDesc& desc, std::vector<Reshaped>& out,
                   RestructureReport& rep) {
  const std::vector<FieldDesc> old = t.fieldDescs();
  out.clear();
  std::vector<bool> used(old.size(), false);
  if (desc.fields.empty())
    for (std::size_t i = 0; i < old.size(); ++i) out.push_back({old[i], static_cast<int>(i)});
  for (std::size_t i = 0; i < desc.fields.size(); ++i) {
    const FieldDesc& f = desc.fields[i];
    const std::int32_t op = i < desc.fieldOps.size() ? desc.fieldOps[i]
                            : f.number                 ? opCopy
                                                       : opAdd;
    if (op == opDrop) continue;
    const std::string what = "field " + std::to_string(i + 1) + " (" + f.name + ")";
    if (op == opAdd) {
      if (f.type == 0)
        return Fail(ErrInvalidFieldDesc, t.path() + ": " + what + " needs a type");
      out.push_back({f, -1});
      continue;
    }
    if (op != opNone && op != opCopy && op != opModify)
      return Fail(ErrInvalidFieldDesc, t.path() + ": " + what + ": unknown change code " +
                                           std::to_string(op));
    if (f.number < 1 || f.number > old.size())
      return Fail(ErrInvalidFieldDesc, t.path() + ": " + what + ": the table has no field " +
                                           std::to_string(f.number));
    const FieldDesc& was = old[f.number - 1u];
    Reshaped r{f, f.number - 1};
    if (r.def.name.empty()) r.def.name = was.name;
    if (r.def.type == 0) r.def.type = was.type;
    if (r.def.type == was.type && r.def.units1 == 0) {
      r.def.units1 = was.units1;
      r.def.units2 = was.units2;
    }
    if (!Reshapes(t.fields()[f.number - 1u].type, r.def.type))
      return Fail(ErrInvalidFieldDesc, t.path() + ": " + what + ": values of field " + was.name +
                                           " cannot be carried into its new type");
    used[f.number - 1u] = true;
    out.push_back(std::move(r));
  }
  if (!desc.fields.empty())
    for (std::size_t i = 0; i < old.size(); ++i)
      if (!used[i]) rep.droppedFields.push_back(old[i].name);
  if (out.empty()) return Fail(ErrInvalidFieldDesc, t.path() + ": no field would be left");
  return Ok;
}

// The live records of the old table in the new shape.
class ReshapedRows : public RowSource {
 public:
  ReshapedRows(DbaseTable& old, const std::vector<Reshaped>& plan, DbaseTable& dest)
      : old_(old), plan_(plan), dest_(dest), scratch_(dest.recordLength(), ' ') {}

  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    for (;; ++at_) {
      end = at_ >= old_.recordCount();
      if (end) return Ok;
      bool deleted = false;
      if (Result r = old_.isDeleted(at_, deleted)) return r;
      if (!deleted) break;
    }
    label = ++at_;
    return convert(at_ - 1, values);
  }
  // Converts record `index`; fails naming it and the field.
  Result convert(std::uint32_t index, std::vector<Value>& values) {
    const std::uint32_t number = index + 1;
    const std::uint8_t* p;
    if (Result r = old_.record(index, p)) return r;
    record_.assign(p, p + old_.recordLength());
    if (Result r = old_.readRecord(index, in_)) return r;
    values.assign(plan_.size(), Value{});
    for (std::size_t k = 0; k < plan_.size(); ++k) {
      if (plan_[k].source < 0) continue;
      const DbfField& from = old_.fields()[static_cast<std::size_t>(plan_[k].source)];
      std::string why;
      if (!Reshape(from, record_.data(), in_[static_cast<std::size_t>(plan_[k].source)],
                   plan_[k].def, values[k], why))
        return Refuse(number, from.name, why);
      const DbfField& to = dest_.fields()[k];
      std::string bytes;
      if (to.isMemo()) {
        const std::string* s = std::get_if<std::string>(&values[k]);
        if (s && to.type == 'M' && !dest_.codec().fromUtf8(*s, bytes))
          return Refuse(number, from.name, "the text has characters the table's code page cannot hold");
      } else if (EncodeField(to, values[k], dest_.codec(), scratch_.data()) != Ok) {
        return Refuse(number, from.name, WithoutField(LastErrorMessage()));
      }
    }
    return Ok;
  }
  std::string name(std::uint64_t label) const override {
    return "record " + std::to_string(label);
  }

 private:
  DbaseTable& old_;
  const std::vector<Reshaped>& plan_;
  DbaseTable& dest_;
  std::vector<std::uint8_t> scratch_, record_;
  std::vector<Value> in_;
  std::uint32_t at_ = 0;
};

}  // namespace

Result CopyParadoxToDbase(const std::string& source, const std::string& destination,
                          bool overwrite, const std::vector<std::string>& passwords) {
  const std::string db = paradox::FamilyPath(source, ".DB");
  if (!io::FileExists(db)) return Fail(ErrNotFound, source + ": table does not exist");
  paradox::OpenOptions o;
  o.exclusive = Writable(db);
  o.passwords = passwords;
  std::unique_ptr<paradox::ParadoxTable> table;
  if (Result r = paradox::ParadoxTable::Open(db, o, table)) return r;
  if (table->isProtected() && !table->rights().master)
    return Fail(ErrNoRights, db + ": the copy would not be protected, so a protected table is "
                                  "copied to another driver only with its master password");
  std::string dbf;
  if (Result r = DbaseFileName(destination, dbf)) return r;
  DbaseDestination dest;
  if (Result r = dest.prepare(dbf, overwrite)) return r;

  const text::LanguageDriver& driver = DbaseDriverFor(table->codec().codePage());
  std::vector<Stats> stats;
  if (Result r = Scan(*table, text::SharedCodec(driver.codePage), stats)) return r;
  std::vector<PxColumn> cols;
  int level = 4;
  if (Result r = PlanDbaseFields(*table, stats, cols, level)) return r;
  TableDesc desc;
  desc.driverType = "DBASE";
  for (const PxColumn& c : cols) desc.fields.push_back(c.dest);
  desc.optionalParams.push_back({"LANGDRIVER", driver.name});
  const std::string staged = dest.staged("DBF");
  if (Result r = DbaseTable::Create(staged, desc, level, false))
    return Fail(r, AtDestination(LastErrorMessage(), staged, dest.path()));
  {
    OpenOptions wo;
    wo.writable = wo.exclusive = true;
    std::unique_ptr<DbaseTable> out;
    if (Result r = DbaseTable::Open(staged, wo, out)) return r;
    ParadoxRows rows(*table, cols, *out);
    if (Result r = out->insertRows(rows)) return r;
  }
  if (level == 7)
    if (Result r = CarryCounter(staged, table->header().autoIncrement())) return r;
  table.reset();
  return dest.commit();
}

Result CopyDbaseToParadox(const std::string& source, const std::string& destination,
                          bool overwrite, const std::vector<std::string>& passwords,
                          const paradox::CreateDefaults& defaults) {
  std::string dbf;
  if (Result r = FindDbaseTable(source, dbf)) return r;
  std::string destDb = destination;
  const std::size_t dot = BaseName(destDb).find_last_of('.');
  if (dot == std::string::npos)
    destDb += ".DB";
  else if (Upper(BaseName(destDb).substr(dot)) != ".DB")
    return Fail(ErrInvalidParameter, destination + ": a Paradox table's name ends in .DB");
  // A copy into this name that was cut short is settled first.
  if (!io::FileExists(paradox::FamilyPath(destDb, ".DB")))
    if (Result r = io::RecoverReplace(paradox::FamilyPath(destDb, ".QRP"))) return r;
  const std::string existing = paradox::FamilyPath(destDb, ".DB");

  OpenOptions o;
  o.exclusive = Writable(dbf);
  std::unique_ptr<DbaseTable> table;
  if (Result r = DbaseTable::Open(dbf, o, table)) return r;
  if (table->memoMissing())
    return Fail(ErrCorruptBlob, table->memoProblem() + "; the copy would lose the memo values");
  paradox::PreparedChange old;
  if (io::FileExists(existing)) {
    if (!overwrite)
      return Fail(ErrDestinationExists, existing + ": the destination table exists already");
    destDb = existing;
    if (Result r = paradox::PrepareDelete(destDb, passwords, old)) return r;
  }

  std::vector<DbColumn> cols;
  std::uint32_t recordSize = 0;
  if (Result r = PlanParadoxFields(*table, cols, recordSize)) return r;
  // The smallest block size of level 7 that holds a record, the default
  // at least.
  std::uint32_t blockSize = 32768;
  for (std::uint32_t size : {1024u, 2048u, 3072u, 4096u, 16384u, 32768u}) {
    if (size >= defaults.blockSize && size >= recordSize + 6) {
      blockSize = size;
      break;
    }
  }
  const text::LanguageDriver* driver =
      ParadoxDriverFor(table->codec().codePage(), defaults.languageDriver);
  if (driver) {
    const text::Codec& codec = text::SharedCodec(driver->codePage);
    std::string bytes;
    for (const DbColumn& c : cols)
      if (!codec.fromUtf8(c.dest.name, bytes))
        return Fail(ErrInvalidFieldDesc,
                    dbf + ": field " + c.name + ": its name has characters that a Paradox "
                    "table's code page (" + std::to_string(driver->codePage) + ") cannot hold");
  }
  TableDesc desc;
  desc.driverType = "PARADOX";
  for (const DbColumn& c : cols) desc.fields.push_back(c.dest);
  desc.optionalParams = {{"LEVEL", "7"}, {"BLOCK SIZE", std::to_string(blockSize)}};
  if (driver) desc.optionalParams.push_back({"LANGDRIVER", driver->name});

  const std::string work = io::WorkDirectoryOf(destDb);
  return Cleaned(work, [&]() -> Result {
    io::RemoveWorkDirectory(work);
    if (::mkdir(work.c_str(), 0777) != 0)
      return io::OsFailure(work, "creating the work directory");
    desc.tableName = work + "/" + BaseName(destDb);
    if (Result r = paradox::CreateParadoxTable(desc, false, defaults))
      return Fail(r, AtDestination(LastErrorMessage(), desc.tableName, destDb));
    {
      paradox::OpenOptions wo;
      wo.writable = wo.exclusive = true;
      std::unique_ptr<paradox::ParadoxTable> out;
      if (Result r = paradox::ParadoxTable::Open(desc.tableName, wo, out)) return r;
      DbaseRows rows(*table, cols, *out);
      if (Result r = out->insertRows(rows)) return r;
    }
    if (Result r = CarryParadoxCounter(desc.tableName, LastCounter(dbf))) return r;
    table.reset();
    return SwapParadox(desc.tableName, destDb, old);
  });
}

}  // namespace engine::dbase

namespace engine::dbase {

Result RestructureDbaseTable(const std::string& path, const TableDesc& desc, bool dryRun,
                             RestructureReport* report) {
  RestructureReport local;
  RestructureReport& rep = report ? *report : local;
  rep = RestructureReport{};
  std::string dbf;
  if (Result r = FindDbaseTable(path, dbf)) return r;
  OpenOptions o;
  o.writable = o.exclusive = true;
  std::unique_ptr<DbaseTable> t;
  if (Result r = DbaseTable::Open(dbf, o, t)) return r;
  std::string why;
  if (!t->canWrite(why)) return Fail(ErrReadOnly, why);
  if (!desc.indexes.empty() || !desc.checks.empty() || !desc.refInts.empty() ||
      !desc.passwords.empty() || desc.isProtected || !desc.problemsTable.empty())
    return Fail(ErrNotSupported,
                t->path() + ": a dBASE table has no primary key, validity checks, links or "
                            "passwords, and its restructure sets no records aside");
  std::vector<Reshaped> plan;
  if (Result r = PlanReshape(*t, desc, plan, rep)) return r;
  int level = t->level();
  std::string driver = t->languageDriverName();
  for (const OptionalParam& p : desc.optionalParams) {
    if (Upper(p.name) == "LEVEL") level = std::atoi(p.value.c_str());
    if (Upper(p.name) == "LANGDRIVER" && !p.value.empty()) driver = p.value;
  }
  TableDesc nd;
  nd.driverType = "DBASE";
  for (const Reshaped& r : plan) nd.fields.push_back(r.def);
  if (!driver.empty()) nd.optionalParams.push_back({"LANGDRIVER", driver});
  rep.records = t->recordCount();

  const std::string work = paradox::WorkDirectoryOf(t->path());
  return Cleaned(work, [&]() -> Result {
    paradox::RemoveWorkDirectory(work);  // an earlier run's, cut short
    if (::mkdir(work.c_str(), 0777) != 0)
      return io::OsFailure(work, "creating the work directory");
    const std::string staged = work + "/" + BaseName(t->path());
    if (Result r = DbaseTable::Create(staged, nd, level, false))
      return Fail(r, AtDestination(LastErrorMessage(), staged, t->path()));
    OpenOptions wo;
    wo.writable = wo.exclusive = true;
    std::unique_ptr<DbaseTable> out;
    if (Result r = DbaseTable::Open(staged, wo, out)) return r;
    ReshapedRows rows(*t, plan, *out);
    if (dryRun) {
      // Every record is tried; the first few problems are told.
      std::vector<Value> values;
      for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
        bool deleted = false;
        if (Result r = t->isDeleted(i, deleted)) return r;
        if (deleted) continue;
        if (rows.convert(i, values) == Ok) {
          ++rep.kept;
          continue;
        }
        ++rep.problems;
        if (rep.problemSamples.size() < 5) rep.problemSamples.push_back(LastErrorMessage());
        if (rep.refusal.empty()) rep.refusal = LastErrorMessage();
      }
      ClearLastError();
      return Ok;
    }
    std::uint64_t kept = 0;
    if (Result r = out->insertRows(rows, &kept)) {
      rep.refusal = LastErrorMessage();
      return Fail(r, rep.refusal);
    }
    rep.kept = static_cast<std::uint32_t>(kept);
    out.reset();
    if (level == 7)
      if (Result r = CarryCounter(staged, LastCounter(t->path()))) return r;
    // The new files over the old ones, the .DBF last; a memo file the new
    // table has no use for goes.
    std::vector<io::Replacement> swap;
    const std::string oldMemo = paradox::FamilyPath(t->path(), ".DBT");
    const std::string newMemo = paradox::FamilyPath(staged, ".DBT");
    if (io::FileExists(newMemo)) swap.push_back({newMemo, oldMemo});
    else if (io::FileExists(oldMemo)) swap.push_back({"", oldMemo});
    swap.push_back({staged, t->path()});
    return io::ReplaceFiles(swap, PlanPathOf(t->path()));
  });
}

}  // namespace engine::dbase
