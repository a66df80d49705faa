// Code pages and language drivers of table files.
#pragma once

#include <cstdint>
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
};

// Every driver the engine knows.
const std::vector<LanguageDriver>& LanguageDrivers();
// By driver name (case-insensitive); nullptr when unknown.
const LanguageDriver* FindDriver(const std::string& name);
// The driver a Paradox header names: by sort-order ID plus code page, then
// by sort-order ID, then by sort byte; nullptr when nothing matches.
const LanguageDriver* DriverFromHeader(const std::string& sortOrderId, int codePage,
                                       std::uint8_t sortByte);

// Converts text between a code page and UTF-8. Bytes the code page cannot
// express are replaced (never dropped silently: the result has the same
// character count). Code page 0 means HP Roman-8.
class Codec {
 public:
  explicit Codec(int codePage);
  ~Codec();
  Codec(const Codec&) = delete;
  Codec& operator=(const Codec&) = delete;

  int codePage() const { return codePage_; }
  std::string toUtf8(const char* data, std::size_t size) const;
  std::string toUtf8(const std::string& bytes) const { return toUtf8(bytes.data(), bytes.size()); }
  // Returns false when some character has no byte in the code page (it is
  // then written as '?').
  bool fromUtf8(const std::string& utf8, std::string& out) const;

 private:
  int codePage_;
  void* converter_ = nullptr;  // UConverter*
  bool plainAscii_ = false;
};

}  // namespace engine::text

namespace engine::text {

// Compares two texts (in the table's code page, without padding) in the
// order of the language driver's sort order; <0, 0, >0. A null driver
// compares bytes. Used to keep keyed tables and indexes in order.
int CompareText(const LanguageDriver* driver, const std::string& a, const std::string& b);

}  // namespace engine::text
