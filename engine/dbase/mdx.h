// The production index (.MDX) of a dBASE IV, 5 or 7 table: one file holding
// up to 47 tags, each a B-tree of keys computed from the table's records.
//
// Layout as this module reads and writes it (docs/dbase-mdx.md has more):
// 512-byte pages, grouped into blocks of `pagesPerBlock` pages (2 when we
// write, so 1024-byte blocks); every page number in the file names the first
// page of a block. Pages 0-3 hold the file header (bytes 0-47) and the tag
// table (32-byte entries from byte 544). Each tag has a header block (root
// page, key type and length, flags, key and FOR expressions) and a tree of
// node blocks: u32 key count, u32 link (the next free block on the free
// list, else 0), then items of `itemLength` bytes [u32 pointer][key], where
// the pointer is a record number in a leaf and a child page in an interior
// node. The pointer of the item after the last key is 0 in a leaf and the
// rightmost child in an interior node; the key of an interior item is the
// largest key under its child.
//
// Keys (each tag's entries are ordered by key, then by record number):
//   C  the key expression's bytes in the table's code page, blank-padded to
//      the key length (1..100); compared byte by byte (no collation of the
//      language driver).
//   D  8-byte little-endian double: the Julian day number of the date
//      (2000-01-01 is 2451545; day number d of engine::DateValue is
//      d + 1721425); a blank date is 0.
//   N  12 bytes of packed decimal, a normalised fraction 0.d1d2... x 10^e:
//        byte 0      0x34 + e (e: digits before the decimal point; negative
//                    for leading zeros after it: 20.5 -> 0x36, 0.05 -> 0x33)
//        byte 1      0x80 when negative | significant digits << 2 | 0x01
//        bytes 2-11  up to 20 digits, two per byte, high nibble first, the
//                    first significant digit first, no trailing zeros
//                    counted, unused nibbles 0
//      Zero is 34 01 00...; 20.50 is 36 0D 20 50 00.... Keys compare by value.
//      This reading of the format is kept to NumericKey / NumericKeyText and
//      the comparison; nothing else depends on it.
// Descending tags reverse the key order; equal keys stay in record order.
// A unique tag holds only the first record (lowest number) of each key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"
#include "engine/value.h"

namespace engine::io {
class Transaction;
class File;
}  // namespace engine::io

namespace engine::dbase {

constexpr std::size_t kMdxPageSize = 512;
constexpr std::size_t kMdxMaxTags = 47;
constexpr std::size_t kMdxMaxCharKey = 100;
constexpr std::size_t kMdxNumericKeyLength = 12;
constexpr std::size_t kMdxDateKeyLength = 8;
constexpr std::size_t kMdxMaxExpression = 219;  // bytes, without the terminating NUL

// A tag as it is defined.
struct MdxTagDef {
  std::string name;           // 1..10 characters, upper case
  std::string keyExpression;  // stored as written
  std::string forExpression;  // "" when the tag holds every record
  char keyType = 'C';         // 'C', 'N' or 'D'
  std::uint16_t keyLength = 0;  // C: 1..100; N and D: 0 or their fixed length
  bool unique = false;
  bool descending = false;
};

// A tag as it was read.
struct MdxTag : MdxTagDef {
  std::uint32_t headerPage = 0;
  std::uint32_t rootPage = 0;
  std::uint16_t maxKeys = 0;     // keys a node holds at most
  std::uint16_t itemLength = 0;  // bytes of one node item
  std::uint8_t format = 0;       // 0x08 descending, 0x10 field key, 0x40 unique
};

struct MdxFile {
  std::string path;
  std::uint8_t version = 0;
  DateValue created;  // day 0 when the stored date is not a date
  DateValue updated;
  std::string dbfName;  // base name of the table, no extension
  std::uint16_t pagesPerBlock = 0;
  std::uint16_t blockSize = 0;
  bool production = false;
  std::uint32_t pages = 0;          // pages in the file, as the header says
  std::uint32_t firstFreePage = 0;  // 0: no free block
  std::uint32_t freeBlocks = 0;
  std::uint64_t fileSize = 0;
  std::vector<MdxTag> tags;  // the tags in use, in table order

  // The tag of that name (case-insensitive), or null.
  const MdxTag* findTag(std::string_view name) const;
};

// Reads the header, the tag table and every tag header. Damaged files fail
// with ErrCorruptHeader / ErrCorruptIndex naming the file and what is wrong.
Result ReadMdx(const std::string& path, MdxFile& out);

// Walks a tag's keys in index order. The visitor gets each key (keyLength
// bytes) with its record number and returns false to stop early. Page
// numbers, key counts and the tree's shape are checked on the way: a page
// outside the file, a page reached twice, a node with more keys than fit or
// leaves at different depths fail with ErrCorruptIndex.
using MdxVisitor = std::function<bool(std::string_view key, std::uint32_t record)>;
Result ScanTag(const MdxFile& file, const MdxTag& tag, const MdxVisitor& visit);
Result ScanTag(const std::string& path, std::string_view tagName, const MdxVisitor& visit);

// Checks the whole file beyond what a scan needs: every tag's keys in order
// (by this module's comparison), separators that bound their subtrees,
// unique tags without a repeated key, no page used twice across tags and
// the free list, and the free list itself. ErrCorruptIndex on the first fault.
Result CheckMdx(const std::string& path);

// ---- Keys ----

// Blank-padded (or cut) to keyLength; `encoded` is in the table's code page.
std::string CharKey(std::string_view encoded, std::size_t keyLength);
// A date key; a default (day 0) DateValue is the blank date.
std::string DateKey(DateValue date);
// The date of a date key (day 0 for the blank date); ErrInvalidValue when
// the key is not a whole day in 0001-01-01..9999-12-31.
Result DateKeyValue(std::string_view key, DateValue& out);
// A numeric key from decimal text ("-12.30", " 7", "", blank = 0).
// ErrInvalidValue for text that is no number or has more than 20
// significant digits.
Result NumericKey(std::string_view decimalText, std::string& out);
// The plain decimal text of a numeric key ("-12.3", "0"); ErrInvalidValue
// when the key is damaged.
Result NumericKeyText(std::string_view key, std::string& out);
// A key of type C, N or D from an engine value: C takes a string of
// already-encoded bytes, N an integer, double, BcdValue or decimal string,
// D a DateValue; NULL gives blanks, zero or the blank date.
Result EncodeKey(char keyType, std::size_t keyLength, const Value& value, std::string& out);
// Orders two keys of one type (ascending; the caller reverses for a
// descending tag). Total for any bytes, damaged ones included.
int CompareKeys(char keyType, std::string_view a, std::string_view b);

// ---- Building a whole file ----

// One record's keys, one per tag in the order of the definitions, each of
// the tag's key length. A tag whose FOR condition leaves the record out
// has included[t] == 0 (an empty `included` includes the record in all).
struct MdxRecordKeys {
  std::uint32_t record = 0;  // 1-based
  std::vector<std::string> keys;
  std::vector<std::uint8_t> included;
};

class KeySource {
 public:
  virtual ~KeySource() = default;
  // Fills `keys` with the next record's keys, or sets `end`.
  virtual Result next(MdxRecordKeys& keys, bool& end) = 0;
};

// Writes a complete production index at `path` (created or overwritten):
// header, tag table and one balanced tree per tag, no free blocks. The
// source is read once; each tag's entries are sorted in bounded memory
// (temporary runs beside `path`). To replace the index of an open table,
// build at a staged path and hand it to io::ReplaceFiles with the table's
// other files. On failure the partial file is removed.
Result WriteMdx(const std::string& path, const std::string& dbfBaseName,
                const std::vector<MdxTagDef>& tags, KeySource& source);

// ---- Changing an existing file ----

// Keeps every tag of an index in step with one record's changes. All
// writes go through the caller's transaction, page by page, touching only
// the pages a change needs; the caller commits (or rolls back) together
// with the table's own changes. Nodes split when full and merge with or
// borrow from a neighbour when less than half full; freed blocks go to the
// free list and are reused before the file grows.
class MdxWriter {
 public:
  MdxWriter();
  ~MdxWriter();
  MdxWriter(const MdxWriter&) = delete;
  MdxWriter& operator=(const MdxWriter&) = delete;

  // Opens the index at `path` for changes through `tx` (begun by the
  // caller, which keeps it and this writer alive together).
  Result open(io::Transaction& tx, const std::string& path);
  const MdxFile& file() const;

  // A record's keys in every tag (MdxRecordKeys as for WriteMdx).
  Result insert(const MdxRecordKeys& keys);
  // Removes them. In a tag that is not unique a missing entry means the
  // index is out of step with the table: ErrCorruptIndex.
  Result remove(const MdxRecordKeys& keys);
  // Moves a record from its old keys to its new ones; tags whose key and
  // inclusion did not change are not touched.
  Result replace(const MdxRecordKeys& oldKeys, const MdxRecordKeys& newKeys);

  // One tag (index into file().tags). In a unique tag an insert whose key is
  // present already keeps the lower record number, and a remove of a record
  // the tag does not hold changes nothing.
  Result insertKey(std::size_t tag, std::string_view key, std::uint32_t record);
  Result removeKey(std::size_t tag, std::string_view key, std::uint32_t record);

  // When a record leaves a unique tag, other records may have the same key;
  // the lowest of them takes its place. `find` names it: the lowest record
  // other than `leaving` whose key in tag `tag` is `key` (and that the tag's
  // FOR condition includes), or 0 when there is none - usually found with a
  // scan of the table. Without it such a key stays out of the tag until the
  // next whole build.
  using NextHolder = std::function<Result(std::size_t tag, std::string_view key,
                                          std::uint32_t leaving, std::uint32_t& record)>;
  void setNextHolder(NextHolder find);

 private:
  struct Impl;
  Impl* impl_ = nullptr;
  NextHolder nextHolder_;
};

// ---- Key expressions ----

// A field of the table as key expressions see it.
struct MdxField {
  std::string name;
  char type = 'C';  // C, N, F, D (others cannot be keys here)
  std::uint16_t length = 0;
  std::uint8_t decimals = 0;
  std::uint16_t offset = 0;  // of the field in the record bytes handed to evaluate()
};

// What tags commonly use: a field, UPPER(char expression), char + char,
// DTOS(date field), STR(numeric field [, width [, decimals]]). A lone N or F
// field gives an N key, a lone D field a D key, everything else a C key.
class KeyExpression {
 public:
  // ErrNotSupported naming the expression for anything else;
  // ErrInvalidFieldName for an unknown field.
  static Result Parse(std::string_view text, const std::vector<MdxField>& fields,
                      KeyExpression& out);

  char keyType() const { return type_; }
  std::uint16_t keyLength() const { return length_; }
  // The key of a record as stored in the .DBF (fields at their offsets);
  // ErrInvalidParameter when a field lies beyond the record's bytes.
  Result evaluate(std::string_view record, std::string& key) const;

  struct Part {
    enum Kind { Field, Dtos, Str } kind = Field;
    MdxField field;
    std::uint16_t width = 0;
    std::uint8_t decimals = 0;
    bool upper = false;
  };

 private:
  std::string text_;
  char type_ = 'C';
  std::uint16_t length_ = 0;
  std::vector<Part> parts_;
};

}  // namespace engine::dbase
