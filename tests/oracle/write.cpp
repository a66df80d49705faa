// `pxoracle write` and `pxoracle gen-bench`: tables written by pxlib with
// pseudo-random content that depends only on the seed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "oracle.h"

namespace pxoracle {
namespace {

constexpr long kSdnOffset = 1721425;

// std::mt19937_64's sequence is fixed by the standard; the distributions
// of <random> are not, so values are drawn with plain arithmetic.
class Random {
 public:
  explicit Random(unsigned long long seed) : engine_(seed) {}
  std::uint64_t Bits() { return engine_(); }
  long long Below(long long n) { return static_cast<long long>(engine_() % n); }
  long long Between(long long lo, long long hi) { return lo + Below(hi - lo + 1); }
  bool Chance(int percent) { return Below(100) < percent; }

 private:
  std::mt19937_64 engine_;
};

// Text characters in cp1252 (the code page pxlib gives new tables): mostly
// letters and digits, some punctuation the CSV output must quote, and a
// few characters outside ASCII.
const char kPlain[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
const char kPunctuation[] = " ,\".-'/;:()&%!?";
const unsigned char kExtended[] = {0xE9, 0xFC, 0xDF, 0x80, 0x84, 0x96, 0xF1, 0xD8,
                                   0xE6, 0xC4, 0x93, 0x94, 0xA3, 0xB0, 0xE7, 0xC5};

char TextChar(Random& rng) {
  int kind = static_cast<int>(rng.Below(20));
  if (kind < 15) return kPlain[rng.Below(sizeof kPlain - 1)];
  if (kind < 18) return kPunctuation[rng.Below(sizeof kPunctuation - 1)];
  return static_cast<char>(kExtended[rng.Below(sizeof kExtended)]);
}

// Alpha text of 1..size characters without leading or trailing blanks.
std::string AlphaText(Random& rng, int size) {
  std::string s(rng.Between(1, size), ' ');
  for (char& c : s) c = TextChar(rng);
  if (s.front() == ' ') s.front() = 'x';
  if (s.back() == ' ') s.back() = 'y';
  return s;
}

// Key text sorts the same in every collation: upper-case letters and digits.
std::string KeyText(Random& rng, int size) {
  static const char kKey[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string s(rng.Between(1, size), ' ');
  for (char& c : s) c = kKey[rng.Below(sizeof kKey - 1)];
  return s;
}

double NumberValue(Random& rng) {
  switch (rng.Below(6)) {
    case 0:
      return static_cast<double>(rng.Between(-1000, 1000));
    case 1:
      return rng.Between(-99999999, 99999999) / 100.0;
    case 2: {
      double mantissa = rng.Between(-999999999, 999999999) / 1e4;
      return mantissa * std::pow(10.0, static_cast<double>(rng.Between(-12, 12)));
    }
    case 3: {  // any finite double
      double d;
      do {
        std::uint64_t bits = rng.Bits();
        std::memcpy(&d, &bits, sizeof d);
      } while (!std::isfinite(d) || d == 0.0);
      return d;
    }
    case 4: {
      static const double kRound[] = {0.0, 1.0, -1.0, 100000.0, 1e8, 0.1, 1e-7, 1e21};
      return kRound[rng.Below(8)];
    }
    default:
      return rng.Between(-2000000000, 2000000000) / 7.0;
  }
}

double MoneyValue(Random& rng) {
  long long cents =
      rng.Chance(70) ? rng.Between(-1000000, 1000000) : rng.Between(-99999999999LL, 99999999999LL);
  return cents / 100.0;
}

long DayNumber(Random& rng) {
  static const int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int year = rng.Chance(80) ? static_cast<int>(rng.Between(1900, 2100))
                            : static_cast<int>(rng.Between(1, 9999));
  int month = static_cast<int>(rng.Between(1, 12));
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int days = kMonthDays[month - 1] + (month == 2 && leap ? 1 : 0);
  int day = static_cast<int>(rng.Between(1, days));
  return PX_GregorianToSdn(year, month, day) - kSdnOffset;
}

long TimeValue(Random& rng) {
  long ms = static_cast<long>(rng.Below(86400000));
  return rng.Chance(50) ? ms - ms % 1000 : ms;
}

std::string BcdText(Random& rng, int decimals) {
  int maxDigits = std::min(15, 32 - decimals);
  int digits = static_cast<int>(rng.Between(0, maxDigits));
  std::string s;
  for (int i = 0; i < digits; ++i) {
    s += static_cast<char>('0' + (i == 0 ? rng.Between(1, 9) : rng.Below(10)));
  }
  if (s.empty()) s.push_back('0');
  // Always with a point: without one pxlib places the point `decimals`
  // characters into the text, which drops every digit when there are none.
  s += '.';
  for (int i = 0; i < decimals; ++i) s += static_cast<char>('0' + rng.Below(10));
  bool zero = s.find_first_of("123456789") == std::string::npos;
  if (!zero && rng.Chance(35)) s.insert(s.begin(), '-');
  return s;
}

// Blob lengths cover all three places a blob can live: inside the record,
// a shared 4 KiB block (up to 2 KiB), and blocks of its own.
int BlobLength(Random& rng, int leader) {
  int kind = static_cast<int>(rng.Below(10));
  int length;
  if (kind < 3) {
    length = static_cast<int>(rng.Between(1, std::max(1, leader)));
  } else if (kind < 7) {
    length = static_cast<int>(rng.Between(leader + 1, 2048));
  } else {
    length = static_cast<int>(rng.Between(2049, 9000));
  }
  // pxlib sizes a single-blob block by length + 6 while its header takes 9
  // bytes; lengths just under a 4 KiB multiple would spill into the next
  // block, so they are avoided.
  int rest = length % 4096;
  if (rest >= 4088 && rest <= 4090) length -= 8;
  return length;
}

std::string BlobContent(Random& rng, int type, int length) {
  std::string s(length, '\0');
  if (type == pxfMemoBLOb) {
    for (size_t i = 0; i < s.size(); ++i) {
      if (i + 1 < s.size() && rng.Chance(3)) {
        s[i++] = '\r';
        s[i] = '\n';
      } else {
        s[i] = TextChar(rng);
      }
    }
    return s;
  }
  for (char& c : s) c = static_cast<char>(rng.Bits());
  if ((type == pxfOLE || type == pxfGraphic) && length >= 8) {
    // The kind-and-length prefix these blobs carry.
    std::uint32_t rest = static_cast<std::uint32_t>(length - 8);
    s[0] = 1, s[1] = 0, s[2] = 0, s[3] = type == pxfGraphic ? 1 : 2;
    for (int i = 0; i < 4; ++i) s[4 + i] = static_cast<char>(rest >> (8 * i));
  }
  return s;
}

// pxlib rewrites the whole header after every record and moves the file
// position several times per record, each a system call on a FILE; a
// million-row table took minutes. The table is built in memory instead,
// through pxlib's own I/O hooks, and saved once.
struct MemoryFile {
  std::string bytes;
  size_t pos = 0;
};

MemoryFile& Memory(pxstream_t* stream) { return *static_cast<MemoryFile*>(stream->s.stream); }

size_t MemoryRead(pxdoc_t*, pxstream_t* stream, size_t size, void* buffer) {
  MemoryFile& m = Memory(stream);
  size_t n = m.pos < m.bytes.size() ? std::min(size, m.bytes.size() - m.pos) : 0;
  std::memcpy(buffer, m.bytes.data() + m.pos, n);
  m.pos += n;
  return n;
}

int MemorySeek(pxdoc_t*, pxstream_t* stream, long offset, int whence) {
  MemoryFile& m = Memory(stream);
  long base = whence == SEEK_CUR   ? static_cast<long>(m.pos)
              : whence == SEEK_END ? static_cast<long>(m.bytes.size())
                                   : 0;
  if (base + offset < 0) return -1;
  m.pos = static_cast<size_t>(base + offset);
  return 0;
}

long MemoryTell(pxdoc_t*, pxstream_t* stream) { return static_cast<long>(Memory(stream).pos); }

size_t MemoryWrite(pxdoc_t*, pxstream_t* stream, size_t size, void* buffer) {
  MemoryFile& m = Memory(stream);
  if (m.bytes.size() < m.pos + size) m.bytes.resize(m.pos + size, '\0');
  std::memcpy(m.bytes.data() + m.pos, buffer, size);
  m.pos += size;
  return size;
}

// Moves a freshly created table (its header is in fp) into memory.
void UseMemory(pxdoc_t* doc, FILE* fp, MemoryFile& memory) {
  std::fflush(fp);
  std::fseek(fp, 0, SEEK_END);
  memory.bytes.resize(std::ftell(fp));
  std::rewind(fp);
  memory.bytes.resize(std::fread(memory.bytes.data(), 1, memory.bytes.size(), fp));
  doc->px_stream->s.stream = &memory;
  doc->read = MemoryRead;
  doc->seek = MemorySeek;
  doc->tell = MemoryTell;
  doc->write = MemoryWrite;
}

bool SaveMemory(const MemoryFile& memory, FILE* fp) {
  std::rewind(fp);
  return std::fwrite(memory.bytes.data(), 1, memory.bytes.size(), fp) == memory.bytes.size() &&
         std::fflush(fp) == 0;
}

struct Writer {
  pxdoc_t* doc = nullptr;
  Random rng;
  std::vector<FieldSpec> fields;
  std::vector<int> offsets;  // of each field in the record
  int recordSize = 0;
  long nextAutoInc = 1;
  explicit Writer(unsigned long long seed) : rng(seed) {}
};

void PutBlob(Writer& w, const FieldSpec& f, char* data) {
  int minimum = (f.type == pxfOLE || f.type == pxfGraphic) ? 9 : 1;
  int length = std::max(minimum, BlobLength(w.rng, f.size - 10));
  std::string content = BlobContent(w.rng, f.type, length);
  if (PX_put_data_blob(w.doc, data, f.size, content.data(), length) < 0) {
    std::fprintf(stderr, "pxlib cannot write a blob of %d bytes\n", length);
    std::exit(3);
  }
}

// Fills one field; key fields are never NULL.
void PutValue(Writer& w, const FieldSpec& f, char* data, bool key) {
  Random& rng = w.rng;
  int len = f.type == pxfBCD ? 17 : f.size;
  if (f.type == pxfAutoInc) {
    PX_put_data_long(w.doc, data, 4, static_cast<int>(w.nextAutoInc++));
    return;
  }
  if (!key && rng.Chance(10)) {
    std::memset(data, 0, len);  // NULL
    return;
  }
  switch (f.type) {
    case pxfAlpha: {
      std::string text = key ? KeyText(rng, f.size) : AlphaText(rng, f.size);
      PX_put_data_alpha(w.doc, data, f.size, text.data());
      break;
    }
    case pxfShort:
      PX_put_data_short(w.doc, data, 2, static_cast<short>(rng.Between(-32767, 32767)));
      break;
    case pxfLong:
      PX_put_data_long(w.doc, data, 4, static_cast<int>(rng.Between(-2147483647LL, 2147483647LL)));
      break;
    case pxfNumber:
      PX_put_data_double(w.doc, data, 8, NumberValue(rng));
      break;
    case pxfCurrency:
      PX_put_data_double(w.doc, data, 8, MoneyValue(rng));
      break;
    case pxfDate:
      PX_put_data_long(w.doc, data, 4, DayNumber(rng));
      break;
    case pxfTime:
      PX_put_data_long(w.doc, data, 4, TimeValue(rng));
      break;
    case pxfTimestamp:
      PX_put_data_double(w.doc, data, 8, DayNumber(rng) * 86400000.0 + TimeValue(rng));
      break;
    case pxfLogical:
      PX_put_data_byte(w.doc, data, 1, rng.Chance(50) ? 1 : 0);
      break;
    case pxfBCD: {
      std::string text = BcdText(rng, f.size);
      PX_put_data_bcd(w.doc, data, f.size, text.data());
      break;
    }
    case pxfBytes:
      for (int i = 0; i < len; ++i) data[i] = static_cast<char>(rng.Bits());
      if (data[0] == 0) data[0] = 1;  // a leading zero byte reads as NULL in pxlib
      break;
    default:
      PutBlob(w, f, data);
  }
}

// Records of a keyed table, sorted by key and unique: the key fields'
// stored bytes compare like their values (alpha keys use plain ASCII).
std::vector<std::vector<char>> MakeRecords(Writer& w, long rows, int keyFields) {
  std::vector<std::vector<char>> records;
  std::set<std::string> keys;
  int keySize = keyFields ? w.offsets[keyFields] : 0;
  long attempts = 0;
  while (static_cast<long>(records.size()) < rows) {
    if (++attempts > 20 * rows + 1000) {
      std::fprintf(stderr, "too few distinct keys for %ld rows\n", rows);
      std::exit(2);
    }
    std::vector<char> record(w.recordSize, 0);
    for (int i = 0; i < keyFields; ++i) {
      PutValue(w, w.fields[i], record.data() + w.offsets[i], true);
    }
    if (keyFields && !keys.insert(std::string(record.data(), keySize)).second) continue;
    for (size_t i = keyFields; i < w.fields.size(); ++i) {
      PutValue(w, w.fields[i], record.data() + w.offsets[i], false);
    }
    records.push_back(std::move(record));
  }
  if (keyFields) {
    std::sort(records.begin(), records.end(), [keySize](const auto& a, const auto& b) {
      return std::memcmp(a.data(), b.data(), keySize) < 0;
    });
  }
  return records;
}

// pxlib frees the field list it is given, so it gets a malloc'd copy.
pxfield_t* PxFields(const std::vector<FieldSpec>& fields, size_t count) {
  pxfield_t* px = static_cast<pxfield_t*>(std::calloc(count, sizeof(pxfield_t)));
  for (size_t i = 0; i < count; ++i) {
    px[i].px_fname = strdup(fields[i].name.c_str());
    px[i].px_ftype = static_cast<char>(fields[i].type);
    px[i].px_flen = fields[i].type == pxfBCD ? 17 : fields[i].size;
    px[i].px_fdc = fields[i].type == pxfBCD ? fields[i].size : 0;
  }
  return px;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool WritePrimaryIndex(pxdoc_t* doc, const std::vector<FieldSpec>& fields, int keyFields,
                       const std::string& path) {
  std::string pxPath = SiblingPath(path, ".px");
  FILE* fp = std::fopen(pxPath.c_str(), "w+b");
  if (!fp) return false;
  pxdoc_t* index = NewDoc();
  bool ok =
      PX_create_fp(index, PxFields(fields, keyFields), keyFields, fp, pxfFileTypPrimIndex) >= 0 &&
      PX_write_primary_index(doc, index) >= 0;
  PX_delete(index);
  std::fclose(fp);
  return ok;
}

// pxlib leaves the last single-blob block of a .MB short; other readers
// expect whole 4 KiB blocks.
void PadBlobFile(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  if (!error && size % 4096) std::filesystem::resize_file(path, (size / 4096 + 1) * 4096, error);
}

bool HasType(const std::vector<FieldSpec>& fields, bool (*test)(int)) {
  return std::any_of(fields.begin(), fields.end(),
                     [test](const FieldSpec& f) { return test(f.type); });
}

bool CheckKey(const std::vector<FieldSpec>& fields, int keyFields) {
  if (keyFields < 0 || keyFields > static_cast<int>(fields.size())) return false;
  for (int i = 0; i < keyFields; ++i) {
    int t = fields[i].type;
    if (IsBlobType(t) || t == pxfLogical || t == pxfBCD || t == pxfBytes) return false;
  }
  return true;
}

}  // namespace

int Write(const std::string& path, unsigned long long seed, long rows,
          const std::vector<FieldSpec>& fields, int keyFields) {
  if (!CheckKey(fields, keyFields)) {
    std::fprintf(stderr, "--key %d: the key must be the first fields, of types A S I + N $ D T @\n",
                 keyFields);
    return 2;
  }
  Writer w(seed);
  w.fields = fields;
  for (const FieldSpec& f : fields) {
    w.offsets.push_back(w.recordSize);
    w.recordSize += f.type == pxfBCD ? 17 : f.size;
  }
  w.offsets.push_back(w.recordSize);

  FILE* fp = std::fopen(path.c_str(), "w+b");
  if (!fp) {
    std::perror(path.c_str());
    return 2;
  }
  w.doc = NewDoc();
  int type = keyFields ? pxfFileTypIndexDB : pxfFileTypNonIndexDB;
  if (PX_create_fp(w.doc, PxFields(fields, fields.size()), static_cast<int>(fields.size()), fp,
                   type) < 0 ||
      PX_set_tablename(w.doc, BaseName(path).c_str()) < 0 ||
      (keyFields && PX_set_value(w.doc, "numprimkeys", static_cast<float>(keyFields)) < 0)) {
    std::fprintf(stderr, "%s: pxlib cannot create the table\n", path.c_str());
    return 3;
  }
  MemoryFile memory;
  UseMemory(w.doc, fp, memory);
  if (HasType(fields, IsBlobType)) {
    std::string mb = SiblingPath(path, ".mb");
    if (PX_create_blob_file(PX_new_blob(w.doc), mb.c_str()) < 0) {
      std::fprintf(stderr, "%s: pxlib cannot create the blob file\n", mb.c_str());
      return 3;
    }
  }

  for (std::vector<char>& record : MakeRecords(w, rows, keyFields)) {
    if (PX_put_record(w.doc, record.data()) < 0) {
      std::fprintf(stderr, "%s: pxlib cannot write a record\n", path.c_str());
      return 3;
    }
  }
  if (w.nextAutoInc > 1) {
    // The header keeps the last number given out; writing the table name
    // again rewrites the header.
    w.doc->px_head->px_autoinc = static_cast<int>(w.nextAutoInc - 1);
    PX_set_tablename(w.doc, BaseName(path).c_str());
  }
  if (keyFields && !WritePrimaryIndex(w.doc, fields, keyFields, path)) {
    std::fprintf(stderr, "%s: pxlib cannot write the primary index\n", path.c_str());
    return 3;
  }
  bool saved = SaveMemory(memory, fp);
  PX_delete(w.doc);
  std::fclose(fp);
  if (!saved) {
    std::fprintf(stderr, "%s: cannot save the table\n", path.c_str());
    return 3;
  }
  if (HasType(fields, IsBlobType)) PadBlobFile(SiblingPath(path, ".mb"));
  return 0;
}

int GenBench(const std::string& path, long rows) {
  std::vector<FieldSpec> fields;
  ParseFields("NAME A 20; VALUE N; COUNT I; DAY D; PRICE $; FLAG L", fields);
  return Write(path, 20240601, rows, fields, 0);
}

}  // namespace pxoracle
