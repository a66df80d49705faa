// `pxoracle dump`: every record of a table as CSV, in the format of
// `quarry dump`, with values decoded by pxlib.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "oracle.h"

namespace pxoracle {
namespace {

// pxlib day numbers count from this serial day number (0001-01-01 is 1).
constexpr long kSdnOffset = 1721425;
constexpr double kMsPerDay = 86400000.0;

struct Table {
  pxdoc_t* doc = nullptr;
  std::string encoding;
  bool blobs = true;
};

std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Hex(const char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    unsigned char b = static_cast<unsigned char>(data[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string FormatDouble(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string FormatDate(long dayNumber) {
  int year, month, day;
  PX_SdnToGregorian(dayNumber + kSdnOffset, &year, &month, &day);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", year, month, day);
  return buffer;
}

std::string FormatTime(long long ms) {
  char buffer[48];
  int n = std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld", ms / 3600000,
                        ms / 60000 % 60, ms / 1000 % 60);
  if (ms % 1000) std::snprintf(buffer + n, sizeof buffer - n, ".%03lld", ms % 1000);
  return buffer;
}

std::string FormatTimestamp(double ms) {
  double days = std::floor(ms / kMsPerDay);
  long long ofDay = std::llround(ms - days * kMsPerDay);
  if (ofDay >= 86400000) {
    days += 1;
    ofDay -= 86400000;
  }
  return FormatDate(static_cast<long>(days)) + " " + FormatTime(ofDay);
}

// pxlib writes "123." for a BCD without decimals; the dump has no dot.
// Digit nibbles above 9 (seen beyond the 17th digit) come out of pxlib as
// the characters after '9'; they are kept, with a warning.
std::string FormatBcd(const char* text, const pxfield_t& f, int record) {
  std::string s = text;
  if (!s.empty() && s.back() == '.') s.pop_back();
  if (s.find_first_not_of("-.0123456789") != std::string::npos) {
    std::fprintf(stderr, "record %d, field %s: BCD digits out of range: %s\n", record + 1,
                 f.px_fname, s.c_str());
  }
  return s;
}

// Reads a 4-byte integer field. pxlib's NULL test looks past the four
// bytes on 64-bit machines, so a NULL can come back as INT_MIN instead of
// "no value"; INT_MIN itself cannot be stored (its encoding is all zero).
bool ReadLong(Table& t, char* data, long& value) {
  if (PX_get_data_long(t.doc, data, 4, &value) <= 0) return false;
  return static_cast<int>(value) != INT_MIN;
}

// The stored bytes of a blob; empty for an empty (NULL) blob. Graphic and
// OLE blobs are read as plain blobs too: pxlib's graphic reader drops the
// 8-byte prefix only for blobs in blocks of their own.
std::string BlobContent(Table& t, const pxfield_t& f, char* data, int record) {
  int mod = 0, size = 0;
  char* blob = nullptr;
  if (PX_get_data_blob(t.doc, data, f.px_flen, &mod, &size, &blob) <= 0 || !blob) {
    if (size == 0) return "";
    std::fprintf(stderr, "record %d, field %s: pxlib cannot read the blob\n", record + 1,
                 f.px_fname);
    std::exit(3);
  }
  std::string content(blob, size);
  t.doc->free(t.doc, blob);
  return content;
}

std::string BlobValue(Table& t, const pxfield_t& f, char* data, int record) {
  if (!t.blobs) return "";
  std::string content = BlobContent(t, f, data, record);
  if (content.empty()) return "";
  switch (f.px_ftype) {
    case pxfMemoBLOb:
      return Recode(content, t.encoding, "UTF-8");
    case pxfOLE:
    case pxfGraphic:
      // Both carry an 8-byte prefix (kind and length) before the content.
      if (content.size() < 8) return Hex(content.data(), content.size());
      return Hex(content.data() + 8, content.size() - 8);
    default:
      return Hex(content.data(), content.size());
  }
}

std::string Value(Table& t, const pxfield_t& f, char* data, int record) {
  long l;
  short s;
  double d;
  char c;
  char* text = nullptr;
  switch (f.px_ftype) {
    case pxfAlpha: {
      if (PX_get_data_alpha(t.doc, data, f.px_flen, &text) <= 0 || !text) return "";
      std::string raw = text;
      t.doc->free(t.doc, text);
      return Recode(raw, t.encoding, "UTF-8");
    }
    case pxfShort:
      return PX_get_data_short(t.doc, data, 2, &s) > 0 ? std::to_string(s) : "";
    case pxfLong:
    case pxfAutoInc:
      return ReadLong(t, data, l) ? std::to_string(l) : "";
    case pxfNumber:
    case pxfCurrency:
      return PX_get_data_double(t.doc, data, 8, &d) > 0 ? FormatDouble(d) : "";
    case pxfDate:
      return ReadLong(t, data, l) ? FormatDate(l) : "";
    case pxfTime:
      return ReadLong(t, data, l) ? FormatTime(l) : "";
    case pxfTimestamp:
      return PX_get_data_double(t.doc, data, 8, &d) > 0 ? FormatTimestamp(d) : "";
    case pxfLogical:
      if (PX_get_data_byte(t.doc, data, 1, &c) <= 0) return "";
      return c ? "true" : "false";
    case pxfBCD: {
      if (PX_get_data_bcd(t.doc, reinterpret_cast<unsigned char*>(data), f.px_fdc, &text) <= 0 ||
          !text) {
        return "";
      }
      std::string out = FormatBcd(text, f, record);
      t.doc->free(t.doc, text);
      return out;
    }
    case pxfBytes: {
      // NULL when every byte is zero (pxlib only looks at the first).
      bool blank = true;
      for (int i = 0; i < f.px_flen; ++i) blank = blank && data[i] == 0;
      return blank ? "" : Hex(data, f.px_flen);
    }
    default:
      if (IsBlobType(f.px_ftype)) return BlobValue(t, f, data, record);
      std::fprintf(stderr, "field %s: type 0x%02x unknown to the oracle\n", f.px_fname, f.px_ftype);
      std::exit(3);
  }
}

bool HasBlobFields(pxdoc_t* doc) {
  for (int i = 0; i < PX_get_num_fields(doc); ++i) {
    if (IsBlobType(PX_get_field(doc, i)->px_ftype)) return true;
  }
  return false;
}

// Attaches the .MB file when there is one; without it pxlib still reads
// blobs that fit in the record.
void OpenBlobFile(Table& t, const std::string& path) {
  if (!t.blobs || !HasBlobFields(t.doc)) return;
  for (const char* ext : {".mb", ".MB", ".Mb", ".mB"}) {
    std::string mb = SiblingPath(path, ext);
    if (FILE* fp = std::fopen(mb.c_str(), "rb")) {
      if (!AttachBlobFile(t.doc, fp)) {
        std::fprintf(stderr, "%s: pxlib cannot open the blob file\n", mb.c_str());
        std::exit(2);
      }
      return;
    }
  }
}

void PrintHeader(Table& t) {
  int n = PX_get_num_fields(t.doc);
  std::string line;
  for (int i = 0; i < n; ++i) {
    if (i) line += ',';
    line += CsvField(Recode(PX_get_field(t.doc, i)->px_fname, t.encoding, "UTF-8"));
  }
  line += '\n';
  std::fputs(line.c_str(), stdout);
}

}  // namespace

int Dump(const std::string& path, bool blobs) {
  Table t;
  t.blobs = blobs;
  t.doc = NewDoc();
  if (!t.doc || PX_open_file(t.doc, path.c_str()) < 0) {
    std::fprintf(stderr, "%s: pxlib cannot open the table\n", path.c_str());
    return 2;
  }
  t.encoding = TableEncoding(t.doc, path);
  OpenBlobFile(t, path);
  PrintHeader(t);

  int fields = PX_get_num_fields(t.doc);
  int records = PX_get_num_records(t.doc);
  std::vector<char> record(PX_get_recordsize(t.doc));
  std::string line;
  for (int r = 0; r < records; ++r) {
    if (!PX_get_record(t.doc, r, record.data())) {
      std::fprintf(stderr, "%s: pxlib cannot read record %d\n", path.c_str(), r + 1);
      return 3;
    }
    line.clear();
    char* data = record.data();
    for (int i = 0; i < fields; ++i) {
      const pxfield_t& f = *PX_get_field(t.doc, i);
      if (i) line += ',';
      line += CsvField(Value(t, f, data, r));
      data += f.px_flen;
    }
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  PX_delete(t.doc);
  return 0;
}

}  // namespace pxoracle
