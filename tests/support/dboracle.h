// Other programs' readings of .DBF files, for tests that hold ours against
// them: dbfread and the dbf module (Python) and GDAL's ogr2ogr. Each
// reading comes as rows of canonical texts, the same form Canonical() gives
// our values, so that rows compare as strings. Tests skip when a program is
// not installed.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "engine/dbase/dbtable.h"
#include "engine/value.h"

namespace dboracle {

using Rows = std::vector<std::vector<std::string>>;

inline std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Standard output of a shell command; nullopt when it fails.
inline std::optional<std::string> Run(const std::string& command) {
  FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return std::nullopt;
  std::string out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  const int status = ::pclose(p);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return out;
}

// A Python interpreter that can import `module` ("" when none can): the
// system's first, which is where the distribution's packages are.
inline std::string PythonWith(const std::string& module) {
  for (const char* python : {"/usr/bin/python3", "python3"})
    if (Run(std::string(python) + " -c " + Quote("import " + module))) return python;
  return "";
}

inline bool HaveOgr() { return Run("ogr2ogr --version").has_value(); }

// One JSON array of strings per line, as the scripts below print them.
inline Rows ParseJsonLines(const std::string& text) {
  Rows rows;
  std::size_t i = 0;
  auto utf8 = [](std::string& out, unsigned c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  while ((i = text.find('[', i)) != std::string::npos) {
    std::vector<std::string> row;
    ++i;
    while (i < text.size() && text[i] != ']') {
      if (text[i] != '"') {
        ++i;
        continue;
      }
      std::string s;
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
          s += text[i];
          continue;
        }
        const char e = text[++i];
        if (e == 'n') s += '\n';
        else if (e == 'r') s += '\r';
        else if (e == 't') s += '\t';
        else if (e == 'b') s += '\b';
        else if (e == 'f') s += '\f';
        else if (e == 'u') {
          unsigned c = std::stoul(text.substr(i + 1, 4), nullptr, 16);
          i += 4;
          if (c >= 0xD800 && c < 0xDC00 && text.compare(i + 1, 2, "\\u") == 0) {
            const unsigned low = std::stoul(text.substr(i + 3, 4), nullptr, 16);
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          }
          utf8(s, c);
        } else {
          s += e;
        }
      }
      ++i;
      row.push_back(s);
    }
    rows.push_back(row);
  }
  return rows;
}

// The canonical text of a value: "" for NULL (and empty text), T/F, whole
// numbers plainly, others with 15 significant digits, dates YYYY-MM-DD,
// timestamps with milliseconds, binary data as x: and hex digits.
inline std::string Canonical(const engine::Value& v) {
  using namespace engine;
  char b[64];
  if (IsNull(v)) return "";
  if (auto x = std::get_if<bool>(&v)) return *x ? "T" : "F";
  if (auto x = std::get_if<std::int64_t>(&v)) return std::to_string(*x);
  if (auto x = std::get_if<double>(&v)) {
    std::snprintf(b, sizeof b, "%.15g", *x);
    return b;
  }
  if (auto x = std::get_if<std::string>(&v)) {
    std::string s = *x;
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  }
  if (auto x = std::get_if<DateValue>(&v)) {
    int y, m, d;
    SplitDayNumber(x->day, y, m, d);
    std::snprintf(b, sizeof b, "%04d-%02d-%02d", y, m, d);
    return b;
  }
  if (auto x = std::get_if<TimestampValue>(&v)) {
    const auto ms = static_cast<std::int64_t>(x->ms + 0.5);
    int y, m, d;
    SplitDayNumber(static_cast<std::int32_t>(ms / 86400000), y, m, d);
    const std::int64_t t = ms % 86400000;
    std::snprintf(b, sizeof b, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d,
                  static_cast<int>(t / 3600000), static_cast<int>(t / 60000 % 60),
                  static_cast<int>(t / 1000 % 60), static_cast<int>(t % 1000));
    return b;
  }
  if (auto x = std::get_if<BlobValue>(&v)) {
    std::string s = "x:";
    for (unsigned char c : x->bytes) {
      std::snprintf(b, sizeof b, "%02x", c);
      s += b;
    }
    return s;
  }
  return "?";
}

// Our reading of the records not marked as deleted.
inline Rows OurRows(engine::dbase::DbaseTable& t) {
  Rows rows;
  std::vector<engine::Value> values;
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    bool deleted = false;
    if (t.isDeleted(i, deleted) != engine::Ok || t.readRecord(i, values) != engine::Ok)
      return {{"read failed"}};
    if (deleted) continue;
    std::vector<std::string> row;
    for (const auto& v : values) row.push_back(Canonical(v));
    rows.push_back(row);
  }
  return rows;
}

// The Python side of Canonical().
inline const char* kPythonCanonical = R"(
import datetime, decimal, json, sys
def canon(v):
    if v is None: return ''
    if isinstance(v, bool): return 'T' if v else 'F'
    if isinstance(v, int): return str(v)
    if isinstance(v, (float, decimal.Decimal)): return '%.15g' % float(v)
    if isinstance(v, datetime.datetime):
        return v.strftime('%Y-%m-%d %H:%M:%S') + '.%03d' % (v.microsecond // 1000)
    if isinstance(v, datetime.date): return '%04d-%02d-%02d' % (v.year, v.month, v.day)
    if isinstance(v, (bytes, bytearray)): return 'x:' + bytes(v).hex()
    return str(v).rstrip(' ')
def emit(values):
    print(json.dumps([canon(v) for v in values], ensure_ascii=False))
)";

inline std::optional<Rows> RunPython(const std::string& python, const std::string& body,
                                     const std::string& path) {
  char name[] = "/tmp/quarry-oracle-XXXXXX";
  const int fd = ::mkstemp(name);
  if (fd < 0) return std::nullopt;
  const std::string script = std::string(kPythonCanonical) + body;
  const bool written = ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size());
  ::close(fd);
  std::optional<std::string> out;
  if (written) out = Run(python + " " + name + " " + Quote(path));
  ::unlink(name);
  if (!out) return std::nullopt;
  return ParseJsonLines(*out);
}

// dbfread's reading (deleted records left out); nullopt when it fails.
inline std::optional<Rows> DbfreadRows(const std::string& python, const std::string& path) {
  return RunPython(python, R"(
import dbfread
for r in dbfread.DBF(sys.argv[1], char_decode_errors='strict'):
    emit(r.values())
)", path);
}

// The dbf module's reading (deleted records left out).
inline std::optional<Rows> DbfModuleRows(const std::string& python, const std::string& path) {
  return RunPython(python, R"(
import dbf
t = dbf.Table(sys.argv[1])
t.open(dbf.READ_ONLY)
for r in t:
    if dbf.is_deleted(r): continue
    emit([r[i] for i in range(len(t.field_names))])
t.close()
)", path);
}

// GDAL's reading through ogr2ogr, as CSV: the header row first.
inline std::optional<Rows> OgrRows(const std::string& path) {
  const auto out = Run("ogr2ogr -f CSV /vsistdout/ " + Quote(path));
  if (!out) return std::nullopt;
  Rows rows;
  std::vector<std::string> row;
  std::string cell;
  bool quoted = false, any = false;
  for (std::size_t i = 0; i < out->size(); ++i) {
    const char c = (*out)[i];
    if (quoted) {
      if (c == '"' && i + 1 < out->size() && (*out)[i + 1] == '"') cell += '"', ++i;
      else if (c == '"') quoted = false;
      else cell += c;
    } else if (c == '"') {
      quoted = any = true;
    } else if (c == ',') {
      row.push_back(cell), cell.clear();
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < out->size() && (*out)[i + 1] == '\n') ++i;
      row.push_back(cell), cell.clear();
      rows.push_back(row), row.clear();
    } else {
      cell += c;
    }
  }
  (void)any;
  if (!cell.empty() || !row.empty()) row.push_back(cell), rows.push_back(row);
  return rows;
}

}  // namespace dboracle
