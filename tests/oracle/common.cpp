#include <errno.h>
#include <iconv.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "oracle.h"

namespace pxoracle {
namespace {

void ReportError(pxdoc_t*, int level, const char* msg, void*) {
  std::fprintf(stderr, "pxlib %s: %s\n", level == PX_Warning ? "warning" : "error", msg);
}

struct TypeName {
  char letter;
  int type;
  int defaultSize;  // 0: fixed by the type
};

const TypeName kTypes[] = {
    {'A', pxfAlpha, 20},   {'D', pxfDate, 0},         {'S', pxfShort, 0},   {'I', pxfLong, 0},
    {'$', pxfCurrency, 0}, {'N', pxfNumber, 0},       {'L', pxfLogical, 0}, {'M', pxfMemoBLOb, 20},
    {'B', pxfBLOb, 20},    {'F', pxfFmtMemoBLOb, 20}, {'O', pxfOLE, 20},    {'G', pxfGraphic, 20},
    {'T', pxfTime, 0},     {'@', pxfTimestamp, 0},    {'+', pxfAutoInc, 0}, {'#', pxfBCD, 2},
    {'Y', pxfBytes, 8},
};

const TypeName* FindType(char letter) {
  for (const TypeName& t : kTypes) {
    if (t.letter == letter) return &t;
  }
  return nullptr;
}

int FixedSize(int type) {
  switch (type) {
    case pxfShort:
      return 2;
    case pxfLogical:
      return 1;
    case pxfDate:
    case pxfLong:
    case pxfTime:
    case pxfAutoInc:
      return 4;
    case pxfCurrency:
    case pxfNumber:
    case pxfTimestamp:
      return 8;
    default:
      return 0;
  }
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool ParseField(const std::string& part, FieldSpec& field) {
  std::istringstream in(part);
  std::string type, size, extra;
  if (!(in >> field.name >> type) || type.size() != 1 || (in >> size && in >> extra)) return false;
  const TypeName* t = FindType(type[0]);
  if (!t) return false;
  field.type = t->type;
  field.size = t->defaultSize ? t->defaultSize : FixedSize(t->type);
  if (!size.empty()) {
    char* end = nullptr;
    int given = static_cast<int>(std::strtol(size.c_str(), &end, 10));
    // Fixed-size types accept their own size only.
    if (*end || (!t->defaultSize && given != field.size)) return false;
    field.size = given;
  }
  if (t->type == pxfBCD) return field.size >= 0 && field.size <= 32;
  if (IsBlobType(t->type)) return field.size >= 10 && field.size <= 240;
  return field.size >= 1 && field.size <= 255;
}

}  // namespace

// pxlib's own internals, exported by the shared library. PX_open_blob_fp
// cannot be used: Debian's build reads a 12-byte block header into a
// smaller buffer on the stack and aborts on every .MB file. The blob file
// is attached here the way that function does it, minus the block list
// (only writing into an existing .MB needs it).
extern "C" {
pxstream_t* px_stream_new_file(pxdoc_t* doc, int mode, int close, FILE* fp);
size_t px_mb_read(pxblob_t* blob, pxstream_t* stream, size_t size, void* buffer);
int px_mb_seek(pxblob_t* blob, pxstream_t* stream, long offset, int whence);
long px_mb_tell(pxblob_t* blob, pxstream_t* stream);
size_t px_mb_write(pxblob_t* blob, pxstream_t* stream, size_t size, void* buffer);
mbhead_t* get_mb_head(pxblob_t* blob, pxstream_t* stream);
}

bool AttachBlobFile(pxdoc_t* doc, FILE* fp) {
  pxblob_t* blob = PX_new_blob(doc);
  if (!blob) return false;
  blob->mb_stream = px_stream_new_file(doc, pxfFileRead, px_true, fp);
  if (!blob->mb_stream) return false;
  blob->read = px_mb_read;
  blob->seek = px_mb_seek;
  blob->tell = px_mb_tell;
  blob->write = px_mb_write;
  blob->mb_head = get_mb_head(blob, blob->mb_stream);
  return blob->mb_head != nullptr;
}

pxdoc_t* NewDoc() { return PX_new2(ReportError, nullptr, nullptr, nullptr); }

char TypeLetter(int pxType) {
  for (const TypeName& t : kTypes) {
    if (t.type == pxType) return t.letter;
  }
  return 0;
}

int PxType(char letter) {
  const TypeName* t = FindType(letter);
  return t ? t->type : 0;
}

bool IsBlobType(int pxType) {
  return pxType == pxfMemoBLOb || pxType == pxfBLOb || pxType == pxfFmtMemoBLOb ||
         pxType == pxfOLE || pxType == pxfGraphic;
}

std::string TableEncoding(pxdoc_t* doc, const std::string& path) {
  const pxhead_t* head = doc->px_head;
  // The driver for HP Roman-8 stores no code page number; it is known by
  // its sort-order name, which sits in the header after the field names.
  std::ifstream in(path, std::ios::binary);
  std::string header(head->px_headersize, '\0');
  in.read(header.data(), header.size());
  if (header.find("BLROM800") != std::string::npos) return "ROMAN8";
  // pxlib reads the code page only from level-4+ headers; older tables
  // are taken as cp437.
  int codePage = head->px_fileversion >= 40 ? head->px_doscodepage : 0;
  if (codePage <= 0) codePage = 437;
  std::string name = "CP" + std::to_string(codePage);
  iconv_t probe = iconv_open("UTF-8", name.c_str());
  if (probe == (iconv_t)-1) {
    std::fprintf(stderr, "%s: code page %d unknown to iconv, using cp437\n", path.c_str(),
                 codePage);
    return "CP437";
  }
  iconv_close(probe);
  return name;
}

std::string Recode(const std::string& text, const std::string& from, const std::string& to) {
  iconv_t cd = iconv_open(to.c_str(), from.c_str());
  if (cd == (iconv_t)-1) {
    std::fprintf(stderr, "iconv cannot convert %s to %s\n", from.c_str(), to.c_str());
    std::exit(2);
  }
  const std::string replacement = to == "UTF-8" ? "\xEF\xBF\xBD" : "?";
  std::string out;
  std::vector<char> buffer(4 * text.size() + 16);
  char* in = const_cast<char*>(text.data());
  size_t inLeft = text.size();
  while (inLeft > 0) {
    char* o = buffer.data();
    size_t oLeft = buffer.size();
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer.data(), o - buffer.data());
    if (r == (size_t)-1 && errno != E2BIG) {
      // A byte (or character) the source encoding does not define.
      out += replacement;
      if (from == "UTF-8") {
        do {
          ++in, --inLeft;
        } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
      } else {
        ++in, --inLeft;
      }
    }
  }
  iconv_close(cd);
  return out;
}

std::string SiblingPath(const std::string& path, const std::string& lowerExt) {
  size_t dot = path.find_last_of('.');
  size_t slash = path.find_last_of('/');
  bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  std::string stem = hasExt ? path.substr(0, dot) : path;
  bool upper = hasExt && dot + 1 < path.size() && std::isupper((unsigned char)path[dot + 1]);
  std::string ext = lowerExt;
  if (upper) {
    for (char& c : ext) c = std::toupper((unsigned char)c);
  }
  return stem + ext;
}

bool ParseFields(const std::string& text, std::vector<FieldSpec>& fields) {
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ';')) {
    part = Trim(part);
    if (part.empty()) continue;
    FieldSpec field;
    if (!ParseField(part, field)) {
      std::fprintf(stderr, "bad field \"%s\" (want NAME TYPE [SIZE])\n", part.c_str());
      return false;
    }
    fields.push_back(field);
  }
  if (fields.empty()) std::fprintf(stderr, "no fields given\n");
  return !fields.empty();
}

}  // namespace pxoracle
