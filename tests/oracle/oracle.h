// pxoracle: an independent reader and writer of Paradox tables built on
// pxlib. Tests compare its output with the engine's; none of this code is
// part of the engine.
#pragma once

// paradox.h has no C++ linkage block of its own.
extern "C" {
#include <paradox.h>
}

#include <string>
#include <vector>

namespace pxoracle {

// Opens pxlib documents with an error handler that reports on stderr.
pxdoc_t* NewDoc();

// Makes fp the blob file of an opened table (pxlib closes it).
bool AttachBlobFile(pxdoc_t* doc, FILE* fp);

// The letter users write for a pxlib field type ('A', 'N', '$', ...), and
// back; 0 when unknown.
char TypeLetter(int pxType);
int PxType(char letter);
bool IsBlobType(int pxType);

// The iconv name of a table's text encoding: the code page in the header of
// level-4+ tables, the Roman-8 driver by its sort-order name, else cp437.
std::string TableEncoding(pxdoc_t* doc, const std::string& path);

// Converts text with iconv; bytes the source cannot express become U+FFFD
// when converting to UTF-8, '?' otherwise.
std::string Recode(const std::string& text, const std::string& from, const std::string& to);

// The sibling of a table file with another extension, matching the case of
// the table's own extension ("T.db" -> "T.mb", "T.DB" -> "T.MB").
std::string SiblingPath(const std::string& path, const std::string& lowerExt);

// One field of a table to write. For BCD fields size is the number of
// decimals (the stored field is always 17 bytes).
struct FieldSpec {
  std::string name;
  int type = 0;  // pxlib type code
  int size = 0;
};

// A field list from "NAME TYPE [SIZE]; ..."; prints an error and returns
// false when the text is malformed or names a type the writer cannot fill.
bool ParseFields(const std::string& text, std::vector<FieldSpec>& fields);

int Dump(const std::string& path, bool blobs);
int Write(const std::string& path, unsigned long long seed, long rows,
          const std::vector<FieldSpec>& fields, int keyFields);
int GenBench(const std::string& path, long rows);

}  // namespace pxoracle
