// Code pages and language drivers of table files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine::text {

// A language driver: the name users and create parameters use (e.g.
// "ascii", "DBWINUS0"), the sort-order ID string and sort byte a Paradox
// header carries, and the code page of its text.
struct LanguageDriver {
  std::string name;         // engine driver name ("ascii", "intl", "DBWINUS0", ...)
  std::string sortOrderId;  // ID string in a level-4+ .DB header
  std::uint8_t sortByte = 0;
  int codePage = 0;         // Windows/DOS code page number (0 = Roman-8)
  std::string description;  // "Paradox 'ascii'", ...
  // False when the sort byte of this driver is not established; sortByte is
  // then 0 and must not be taken for a real value.
  bool sortByteKnown = false;
  // Offered for new tables; the others are known so that existing files
  // can be read and kept in their order.
  bool offered = false;
  // The ID byte a .DBF header carries for this driver (offset 29); 0 when
  // the driver has none.
  std::uint8_t dbaseId = 0;
  // Only a code page that .DBF headers name by their ID byte: Paradox
  // tables cannot carry it.
  bool dbaseOnly = false;
};

// Every driver the engine knows.
const std::vector<LanguageDriver>& LanguageDrivers();
// By driver name (case-insensitive); nullptr when unknown.
const LanguageDriver* FindDriver(const std::string& name);
// The driver of a .DBF header's language driver ID byte; nullptr for 0 and
// for IDs the engine does not know.
const LanguageDriver* DriverFromDbaseId(std::uint8_t id);
// The driver a Paradox header names: by sort-order ID plus code page, then
// by sort-order ID, then by sort byte plus code page (by sort byte alone
// when the header has no ID string); nullptr when nothing matches.
const LanguageDriver* DriverFromHeader(const std::string& sortOrderId, int codePage,
                                       std::uint8_t sortByte);

// Converts text between a code page and UTF-8. Bytes the code page cannot
// express are replaced (never dropped silently: the result has the same
// character count). Code page 0 means HP Roman-8; 65001 is UTF-8 itself;
// 667 is the Polish Mazovia page and 895 the Czech Kamenicky page (DOS
// pages ICU lacks, built here from 437).
//
// A Codec may be shared between threads. Single-byte code pages convert
// through tables built once; multi-byte ones (936, ...) go through one ICU
// converter under a lock.
class Codec {
 public:
  explicit Codec(int codePage);
  ~Codec();
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;

  int codePage() const { return codePage_; }
  std::string toUtf8(const char* data, std::size_t size) const;
  std::string toUtf8(const std::string& bytes) const { return toUtf8(bytes.data(), bytes.size()); }
  // Like toUtf8, appending to out (lets callers reuse one buffer).
  void appendUtf8(const char* data, std::size_t size, std::string& out) const;
  // Returns false when some character has no byte in the code page (it is
  // then written as '?').
  bool fromUtf8(const std::string& utf8, std::string& out) const;

  // False when no converter exists for the code page: bytes above 0x7F then
  // read as U+FFFD and only ASCII can be written.
  bool valid() const { return valid_; }
  // True when bytes 0x00-0x7F are ASCII, so ASCII text passes unchanged.
  bool asciiCompatible() const { return plainAscii_; }

  struct Impl;  // conversion tables or the ICU converter; codepage.cpp

 private:
  int codePage_;
  void* converter_ = nullptr;  // UConverter*, multi-byte code pages only
  bool plainAscii_ = false;
  bool valid_ = false;
  std::unique_ptr<Impl> impl_;
};

// One Codec per code page for the whole process, created on first use.
const Codec& SharedCodec(int codePage);

// The offset of the first byte of `text` that does not begin a well-formed
// UTF-8 character (stray continuation bytes, overlong forms, surrogates,
// values past U+10FFFF, a sequence cut short), or npos when all are.
std::size_t InvalidUtf8At(const std::string& text);

}  // namespace engine::text

namespace engine::text {

// Compares two texts (in the table's code page, without padding) in the
// order of the language driver's sort order; <0, 0, >0. A null driver
// compares bytes. Used to keep keyed tables and indexes in order. Only
// identical texts compare equal: texts that differ only in case are
// distinct keys, ordered next to each other.
int CompareText(const LanguageDriver* driver, const std::string& a, const std::string& b);
// True when CompareText orders this driver's texts by byte value.
bool ComparesBytes(const LanguageDriver* driver);

}  // namespace engine::text
