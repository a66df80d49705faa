#include "engine/sql/sqlvalue.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/valuetext.h"

namespace engine::sql {

namespace {

constexpr double kDayMs = 86400000.0;

bool IsMemoType(std::uint16_t t) {
  return t == pxMemo || t == pxFmtMemo || t == dbMemo;
}

bool IsTextType(std::uint16_t t) { return t == pxAlpha || t == dbChar || IsMemoType(t); }

const char* Affinity(std::uint16_t answerType) {
  switch (answerType) {
    case pxAlpha: case pxMemo: case pxFmtMemo: case pxDate: case pxTime: case pxTimestamp:
      return "TEXT";
    case pxShort: case pxLong: case pxAutoinc: case pxLogical:
      return "INTEGER";
    case pxNumber: case pxMoney: case pxBcd:
      return "REAL";
    default:
      return "BLOB";
  }
}

// Digits of `text` from `at`, exactly `n` of them.
bool Digits(const std::string& text, std::size_t at, std::size_t n, int& out) {
  if (at + n > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + n; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + (text[i] - '0');
  }
  return true;
}

bool NumberOf(sqlite3_value* in, double& out) {
  switch (sqlite3_value_type(in)) {
    case SQLITE_INTEGER: out = static_cast<double>(sqlite3_value_int64(in)); return true;
    case SQLITE_FLOAT: out = sqlite3_value_double(in); return true;
    case SQLITE_TEXT: {
      const char* s = reinterpret_cast<const char*>(sqlite3_value_text(in));
      char* end = nullptr;
      out = std::strtod(s, &end);
      return end != s && *end == '\0';
    }
    default: return false;
  }
}

std::string TextOf(sqlite3_value* in) {
  const unsigned char* s = sqlite3_value_text(in);
  return s ? std::string(reinterpret_cast<const char*>(s), sqlite3_value_bytes(in)) : "";
}

}  // namespace

std::uint16_t AnswerTypeOf(const FieldDesc& f) {
  switch (f.type) {
    case pxAutoinc: return pxLong;
    case dbChar: return f.units1 > 255 ? pxMemo : pxAlpha;
    case dbNumber: case dbFloat: case dbDouble: return pxNumber;
    case dbMemo: return pxMemo;
    case dbLogical: return pxLogical;
    case dbDate: return pxDate;
    case dbLong: case dbAutoinc: return pxLong;
    case dbTimestamp: return pxTimestamp;
    case dbOle: return pxOle;
    case dbBinary: return pxBinary;
    default: return f.type >= pxAlpha && f.type <= pxBcd ? f.type : std::uint16_t{pxBinary};
  }
}

std::string DeclaredType(const FieldDesc& f) {
  const std::uint16_t t = AnswerTypeOf(f);
  int u1 = 0, u2 = 0;
  if (t == pxAlpha || t == pxBytes) u1 = f.units1;
  if (t == pxBcd) u1 = 32, u2 = f.units2;
  if (t == pxMemo || t == pxFmtMemo || t == pxBinary || t == pxOle || t == pxGraphic) u1 = 10;
  return std::string(Affinity(t)) + "_PX" + std::to_string(t) + "_" + std::to_string(u1) + "_" +
         std::to_string(u2);
}

bool ParseDeclaredType(const char* decl, FieldDesc& f) {
  if (!decl) return false;
  const char* px = std::strstr(decl, "_PX");
  int t = 0, u1 = 0, u2 = 0;
  if (!px || std::sscanf(px, "_PX%d_%d_%d", &t, &u1, &u2) != 3) return false;
  if (t < pxAlpha || t > pxBcd) return false;
  f.type = static_cast<std::uint16_t>(t);
  f.units1 = static_cast<std::int16_t>(u1);
  f.units2 = static_cast<std::int16_t>(u2);
  return true;
}

bool ParseDate(const std::string& s, std::int32_t& day) {
  int y = 0, m = 0, d = 0;
  if (s.size() != 10 || s[4] != '-' || s[7] != '-' || !Digits(s, 0, 4, y) || !Digits(s, 5, 2, m) ||
      !Digits(s, 8, 2, d))
    return false;
  static const int lengths[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > lengths[m - 1]) return false;
  if (m == 2 && d == 29 && !(y % 4 == 0 && (y % 100 != 0 || y % 400 == 0))) return false;
  day = DayNumber(y, m, d);
  return true;
}

bool ParseTime(const std::string& s, std::int32_t& ms) {
  int h = 0, m = 0, sec = 0, frac = 0;
  if (s.size() < 8 || s[2] != ':' || s[5] != ':' || !Digits(s, 0, 2, h) || !Digits(s, 3, 2, m) ||
      !Digits(s, 6, 2, sec))
    return false;
  if (s.size() > 8) {
    if (s[8] != '.' || s.size() > 12) return false;
    std::string digits = s.substr(9);
    digits.resize(3, '0');
    if (!Digits(digits, 0, 3, frac)) return false;
  }
  if (h > 23 || m > 59 || sec > 59) return false;
  ms = ((h * 60 + m) * 60 + sec) * 1000 + frac;
  return true;
}

bool ParseTimestamp(const std::string& s, double& ms) {
  std::int32_t day = 0, t = 0;
  if (!ParseDate(s.substr(0, 10), day)) return false;
  if (s.size() > 10 && ((s[10] != ' ' && s[10] != 'T') || !ParseTime(s.substr(11), t))) return false;
  ms = day * kDayMs + t;
  return true;
}

void ResultValue(sqlite3_context* ctx, const Value& v, const FieldDesc& f) {
  if (IsNull(v)) return sqlite3_result_null(ctx);
  if (auto* b = std::get_if<bool>(&v)) return sqlite3_result_int(ctx, *b ? 1 : 0);
  if (auto* i = std::get_if<std::int64_t>(&v)) return sqlite3_result_int64(ctx, *i);
  if (auto* d = std::get_if<double>(&v)) return sqlite3_result_double(ctx, *d);
  auto text = [&](const std::string& s) {
    sqlite3_result_text(ctx, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
  };
  if (auto* s = std::get_if<std::string>(&v)) return text(*s);
  if (auto* d = std::get_if<DateValue>(&v)) return text(FormatDate(d->day));
  if (auto* t = std::get_if<TimeValue>(&v)) return text(FormatTime(t->ms));
  if (auto* ts = std::get_if<TimestampValue>(&v)) return text(FormatTimestamp(ts->ms));
  if (auto* n = std::get_if<BcdValue>(&v)) return sqlite3_result_double(ctx, std::strtod(n->text.c_str(), nullptr));
  const auto& blob = std::get<BlobValue>(v).bytes;
  if (IsMemoType(f.type)) return text(blob);
  sqlite3_result_blob(ctx, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
}

bool ToEngineValue(sqlite3_value* in, const FieldDesc& f, Value& out, std::string& error) {
  out = Value{};
  if (sqlite3_value_type(in) == SQLITE_NULL) return true;
  auto bad = [&](const char* what) {
    error = "field " + f.name + ": \"" + TextOf(in) + "\" is not " + what;
    return false;
  };
  const std::uint16_t t = f.type;
  if (IsTextType(t)) {
    out = TextOf(in);
    return true;
  }
  double n = 0;
  switch (t) {
    case pxNumber: case pxMoney: case dbNumber: case dbFloat: case dbDouble:
      if (!NumberOf(in, n)) return bad("a number");
      out = n;
      return true;
    case pxShort: case pxLong: case pxAutoinc: case dbLong: case dbAutoinc:
      if (!NumberOf(in, n) || n != std::floor(n) || std::fabs(n) > 9.2e18) return bad("a whole number");
      out = static_cast<std::int64_t>(n);
      return true;
    case pxLogical: case dbLogical: {
      const std::string s = TextOf(in);
      if (s == "true" || s == "TRUE" || s == "True") out = true;
      else if (s == "false" || s == "FALSE" || s == "False") out = false;
      else if (NumberOf(in, n)) out = n != 0;
      else return bad("a logical value");
      return true;
    }
    case pxBcd: {
      if (!NumberOf(in, n)) return bad("a number");
      char b[80];
      std::snprintf(b, sizeof b, "%.*f", static_cast<int>(f.units2), n);
      out = BcdValue{b};
      return true;
    }
    case pxDate: case dbDate: {
      std::int32_t day = 0;
      if (!ParseDate(TextOf(in), day)) return bad("a date (YYYY-MM-DD)");
      out = DateValue{day};
      return true;
    }
    case pxTime: {
      std::int32_t ms = 0;
      if (!ParseTime(TextOf(in), ms)) return bad("a time (HH:MM:SS)");
      out = TimeValue{ms};
      return true;
    }
    case pxTimestamp: case dbTimestamp: {
      double ms = 0;
      if (!ParseTimestamp(TextOf(in), ms)) return bad("a timestamp (YYYY-MM-DD HH:MM:SS)");
      out = TimestampValue{ms};
      return true;
    }
    default: {
      const void* p = sqlite3_value_blob(in);
      out = BlobValue{std::string(static_cast<const char*>(p ? p : ""), sqlite3_value_bytes(in))};
      return true;
    }
  }
}

Result StepFailure(sqlite3* db, int rc) {
  if (rc == SQLITE_INTERRUPT) return Fail(ErrQueryCancelled, "The query was cancelled.");
  const Result code = LastErrorCode();
  return Fail(code ? code : Result{ErrInvalidParameter}, sqlite3_errmsg(db));
}

}  // namespace engine::sql
