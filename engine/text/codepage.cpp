// Language drivers, code-page conversion over ICU, and the order of text
// keys.
#include "engine/text/codepage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucol.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string_view>
#include <utility>

namespace engine::text {

// ---------------------------------------------------------------------------
// The driver table
// ---------------------------------------------------------------------------

namespace {

constexpr int kUnknownByte = -1;

// One driver. The sort-order ID string a Paradox header carries is the
// driver name itself.
struct DriverRow {
  const char* name;
  int sortByte;  // kUnknownByte: not established, written as 0
  int codePage;  // 0 = HP Roman-8
  const char* description;
  bool offered;
  // ICU locale whose collation approximates the driver's order; nullptr
  // orders by byte value.
  const char* collation;
  // The language driver ID byte of a .DBF header (offset 29) that stands
  // for this driver; 0 for none.
  int dbaseId = 0;
  // A bare code page of .DBF headers, no driver of Paradox tables.
  bool dbaseOnly = false;
};

// Sort bytes: those of ascii, DBWINUS0, DBWINWE0, ANSII850 and BLROM800 are
// documented and also observed in real files; intl, intl850, nordan,
// nordan40, swedfin, ancyrr, ANSIINTL and ANSISPAN are documented only;
// china (3) is observed only (a real 936 table). Every other driver's byte
// is not established and stays kUnknownByte: writers must not pass it off
// as a real value.
//
// Collation: drivers whose order is byte order ("ascii" and the ANSI
// 'ascii' driver) get nullptr. The collation tables of the others are not
// known; they are approximated by the ICU collation of the language the
// driver serves (see CompareText).
constexpr DriverRow kDrivers[] = {
    // The drivers offered for new tables.
    {"DBWINUS0", 76, 1252, "'ascii' ANSI", true, nullptr, 0x57},
    {"BLLT1US0", kUnknownByte, 1252, "Latin-1 ENU", true, "en"},
    {"BLLT1CA0", kUnknownByte, 1252, "Latin-1 FRC", true, "fr_CA"},
    {"BLLT1IS0", kUnknownByte, 1252, "Latin-1 ISL", true, "is"},
    {"DB437US0", kUnknownByte, 437, "dBASE ENU cp437", true, "en", 0x1B},
    {"DB850US0", kUnknownByte, 850, "dBASE ENU cp850", true, "en", 0x37},
    {"DB850CF0", kUnknownByte, 850, "dBASE FRC cp850", true, "fr_CA"},
    {"DB863CF1", kUnknownByte, 863, "dBASE FRC cp863", true, "fr_CA"},
    {"DB850PT0", kUnknownByte, 850, "dBASE PTB cp850", true, "pt"},
    {"DB866ru0", kUnknownByte, 866, "dBASE RUS cp866", true, "ru", 0x26},
    {"DB874TH0", kUnknownByte, 874, "dBASE THA cp874", true, "th"},
    {"DBHEBREW", kUnknownByte, 862, "Hebrew dBASE", true, "he"},
    {"ORAWE850", kUnknownByte, 850, "Oracle SQL WE850", true, "en"},
    // Real files carry 437 or 850 here, whichever the creating machine
    // used; the header's code page governs their text.
    {"ascii", 0, 437, "Paradox 'ascii'", true, nullptr},
    {"hebrew", kUnknownByte, 862, "Paradox 'hebrew'", true, "he"},
    {"ANHEBREW", kUnknownByte, 1255, "Paradox ANSI HEBREW", true, "he"},
    {"cyrr", kUnknownByte, 866, "Paradox Cyrr 866", true, "ru"},
    {"iceland", kUnknownByte, 861, "Paradox ISL 861", true, "is"},
    {"thai", kUnknownByte, 874, "Paradox Thai 874", true, "th"},
    {"ancyrr", 143, 1251, "Pdox ANSI Cyrillic", true, "ru"},
    {"BLROM800", 20, 0, "SQL ROMAN8", true, "en"},
    {"SYDC437", kUnknownByte, 437, "Sybase SQL Dic437", true, "en"},
    {"SYDC850", kUnknownByte, 850, "Sybase SQL Dic850", true, "en"},
    // Drivers found in existing files.
    {"intl", 183, 437, "Paradox 'intl'", false, "en"},
    {"intl850", 84, 850, "Paradox 'intl' 850", false, "en"},
    {"nordan", 130, 865, "Paradox 'nordan'", false, "da"},
    {"nordan40", 230, 865, "Paradox 'nordan40'", false, "da"},
    {"swedfin", 240, 437, "Paradox 'swedfin'", false, "sv"},
    {"DBWINWE0", 64, 1252, "'WEurope' ANSI", false, "en", 0x58},
    {"ANSIINTL", 98, 1252, "Paradox ANSI INTL", false, "en"},
    {"ANSII850", 17, 1252, "Paradox ANSI INTL850", false, "en"},
    {"ANSISPAN", 93, 1252, "Paradox ANSI SPANISH", false, "es"},
    // GB2312 orders its first-level ideographs by pinyin, which the "zh"
    // collation follows.
    {"china", 3, 936, "Paradox China 936", false, "zh"},
    // Drivers of .DBF files: named ones, and the code pages that the ID byte
    // of a header names without a driver of its own (their order is not
    // known: byte order).
    {"DBWINES0", kUnknownByte, 1252, "'Spanish' ANSI", false, "es", 0x59},
    {"DB852HDC", kUnknownByte, 852, "dBASE HUN cp852", false, "hu", 0x22},
    {"DB867CZ0", kUnknownByte, 895, "dBASE CSY Kamenicky", false, "cs", 0x68, true},
    {"cp437", kUnknownByte, 437, "DOS code page 437", false, nullptr, 0x01, true},
    {"cp850", kUnknownByte, 850, "DOS code page 850", false, nullptr, 0x02, true},
    {"cp1252", kUnknownByte, 1252, "Windows code page 1252", false, nullptr, 0x03, true},
    {"cp852", kUnknownByte, 852, "DOS code page 852", false, nullptr, 0x64, true},
    {"cp866", kUnknownByte, 866, "DOS code page 866", false, nullptr, 0x65, true},
    {"cp865", kUnknownByte, 865, "DOS code page 865", false, nullptr, 0x66, true},
    {"mazovia", kUnknownByte, 667, "DOS Mazovia (Polish)", false, nullptr, 0x69, true},
    {"cp950", kUnknownByte, 950, "Big5 code page 950", false, nullptr, 0x78, true},
    {"cp949", kUnknownByte, 949, "Korean code page 949", false, nullptr, 0x79, true},
    {"cp936", kUnknownByte, 936, "GBK code page 936", false, nullptr, 0x7A, true},
    {"cp932", kUnknownByte, 932, "Shift-JIS code page 932", false, nullptr, 0x7B, true},
    {"cp874", kUnknownByte, 874, "Thai code page 874", false, nullptr, 0x7C, true},
    {"cp1255", kUnknownByte, 1255, "Windows code page 1255", false, nullptr, 0x7D, true},
    {"cp1256", kUnknownByte, 1256, "Windows code page 1256", false, nullptr, 0x7E, true},
    {"cp1250", kUnknownByte, 1250, "Windows code page 1250", false, nullptr, 0xC8, true},
    {"cp1251", kUnknownByte, 1251, "Windows code page 1251", false, nullptr, 0xC9, true},
    {"cp1254", kUnknownByte, 1254, "Windows code page 1254", false, nullptr, 0xCA, true},
    {"cp1253", kUnknownByte, 1253, "Windows code page 1253", false, nullptr, 0xCB, true},
};

constexpr std::size_t kDriverCount = sizeof(kDrivers) / sizeof(kDrivers[0]);

bool EqualsNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::vector<LanguageDriver> BuildDrivers() {
  std::vector<LanguageDriver> drivers;
  drivers.reserve(kDriverCount);
  for (const DriverRow& row : kDrivers) {
    LanguageDriver d;
    d.name = row.name;
    d.sortOrderId = row.name;
    d.sortByteKnown = row.sortByte != kUnknownByte;
    d.sortByte = d.sortByteKnown ? static_cast<std::uint8_t>(row.sortByte) : 0;
    d.codePage = row.codePage;
    d.description = row.description;
    d.offered = row.offered;
    d.dbaseId = static_cast<std::uint8_t>(row.dbaseId);
    d.dbaseOnly = row.dbaseOnly;
    drivers.push_back(std::move(d));
  }
  return drivers;
}

// Position of a driver in the table, or -1. Drivers handed in by callers
// may be copies: those are found by name.
int DriverIndex(const LanguageDriver* driver) {
  const std::vector<LanguageDriver>& all = LanguageDrivers();
  std::less<const LanguageDriver*> before;
  if (!before(driver, all.data()) && before(driver, all.data() + all.size()))
    return static_cast<int>(driver - all.data());
  const LanguageDriver* found = FindDriver(driver->name);
  return found ? static_cast<int>(found - all.data()) : -1;
}

}  // namespace

const std::vector<LanguageDriver>& LanguageDrivers() {
  static const std::vector<LanguageDriver> drivers = BuildDrivers();
  return drivers;
}

const LanguageDriver* FindDriver(const std::string& name) {
  for (const LanguageDriver& d : LanguageDrivers())
    if (EqualsNoCase(d.name, name)) return &d;
  return nullptr;
}

const LanguageDriver* DriverFromDbaseId(std::uint8_t id) {
  if (id == 0) return nullptr;
  for (const LanguageDriver& d : LanguageDrivers())
    if (d.dbaseId == id) return &d;
  return nullptr;
}

const LanguageDriver* DriverFromHeader(const std::string& sortOrderId, int codePage,
                                       std::uint8_t sortByte) {
  const LanguageDriver* byId = nullptr;
  if (!sortOrderId.empty()) {
    for (const LanguageDriver& d : LanguageDrivers()) {
      if (!EqualsNoCase(d.sortOrderId, sortOrderId)) continue;
      if (d.codePage == codePage) return &d;
      if (!byId) byId = &d;
    }
  }
  if (byId) return byId;
  // Sort bytes collide between drivers (143 is also a Polish order we do
  // not know), so the code page must agree as well. Only a header without
  // an ID string (level 3, which has no code page either) is taken by its
  // byte alone. Drivers whose byte is not established never match.
  const LanguageDriver* byByte = nullptr;
  for (const LanguageDriver& d : LanguageDrivers()) {
    if (!d.sortByteKnown || d.sortByte != sortByte) continue;
    if (d.codePage == codePage) return &d;
    if (!byByte && sortOrderId.empty()) byByte = &d;
  }
  return byByte;
}

// ---------------------------------------------------------------------------
// Codec
// ---------------------------------------------------------------------------

struct Codec::Impl {
  bool singleByte = true;
  // Single-byte pages: the UTF-8 form of every byte, and the reverse map
  // sorted by code point (ASCII excluded on ASCII-compatible pages).
  std::array<std::array<char, 4>, 256> utf8{};
  std::array<std::uint8_t, 256> utf8Length{};
  std::vector<std::pair<char32_t, unsigned char>> encode;
  // Multi-byte pages: the converter is not safe for concurrent use.
  std::mutex mutex;
  std::u16string units;
  bool lossy = false;  // set by the from-Unicode callback
  // ICU's IBM-derived multi-byte tables (932) read the controls 1A, 1C and
  // 7F as one another; table files store them as themselves.
  bool controlsSwapped = false;
};

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsAscii(const char* data, std::size_t size) {
  unsigned char any = 0;
  for (std::size_t i = 0; i < size; ++i) any |= static_cast<unsigned char>(data[i]);
  return any < 0x80;
}

std::uint8_t EncodeUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

// Decodes the character at s[i] and advances i past it. Malformed input
// (stray continuation bytes, overlong forms, surrogates, values beyond
// U+10FFFF, truncated sequences) advances by one byte and returns false.
bool DecodeUtf8(const std::string& s, std::size_t& i, char32_t& c) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(i);
  int extra;
  char32_t min;
  if (lead < 0x80) {
    c = lead;
    ++i;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, min = 0x80, c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, min = 0x800, c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, min = 0x10000, c = lead & 0x07;
  } else {
    ++i;
    return false;
  }
  if (i + extra >= s.size()) {
    ++i;
    return false;
  }
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      ++i;
      return false;
    }
    c = (c << 6) | (byte(i + k) & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++i;
    return false;
  }
  i += extra + 1;
  return true;
}

// DOS pages that ICU lacks, kept in files of the time: code page 437 with
// some bytes given to national letters. 667: Mazovia (Polish); 895:
// Kamenicky (Czech and Slovak).
constexpr int kMazovia = 667;
constexpr int kKamenicky = 895;
constexpr std::pair<int, char32_t> kMazoviaLetters[] = {
    {0x86, 0x0105}, {0x8D, 0x0107}, {0x8F, 0x0104}, {0x90, 0x0118}, {0x91, 0x0119},
    {0x92, 0x0142}, {0x95, 0x0106}, {0x98, 0x015A}, {0x9C, 0x0141}, {0x9E, 0x015B},
    {0xA0, 0x0179}, {0xA1, 0x017B}, {0xA2, 0x00F3}, {0xA3, 0x00D3}, {0xA4, 0x0144},
    {0xA5, 0x0143}, {0xA6, 0x017A}, {0xA7, 0x017C},
};
constexpr std::pair<int, char32_t> kKamenickyLetters[] = {
    {0x80, 0x010C}, {0x81, 0x00FC}, {0x82, 0x00E9}, {0x83, 0x010F}, {0x84, 0x00E4},
    {0x85, 0x010E}, {0x86, 0x0164}, {0x87, 0x010D}, {0x88, 0x011B}, {0x89, 0x011A},
    {0x8A, 0x0139}, {0x8B, 0x00CD}, {0x8C, 0x013E}, {0x8D, 0x013A}, {0x8E, 0x00C4},
    {0x8F, 0x00C1}, {0x90, 0x00C9}, {0x91, 0x017E}, {0x92, 0x017D}, {0x93, 0x00F4},
    {0x94, 0x00F6}, {0x95, 0x00D3}, {0x96, 0x016F}, {0x97, 0x00DA}, {0x98, 0x00FD},
    {0x99, 0x00D6}, {0x9A, 0x00DC}, {0x9B, 0x0160}, {0x9C, 0x013D}, {0x9D, 0x00DD},
    {0x9E, 0x0158}, {0x9F, 0x0165}, {0xA0, 0x00E1}, {0xA1, 0x00ED}, {0xA2, 0x00F3},
    {0xA3, 0x00FA}, {0xA4, 0x0148}, {0xA5, 0x0147}, {0xA6, 0x016E}, {0xA7, 0x00D4},
    {0xA8, 0x0161}, {0xA9, 0x0159}, {0xAA, 0x0155}, {0xAB, 0x0154}, {0xAC, 0x00BC},
    {0xAD, 0x00A7}, {0xAE, 0x00AB}, {0xAF, 0x00BB},
};

UConverter* OpenConverter(int codePage) {
  std::vector<std::string> names;
  if (codePage == 0) {
    names = {"hp-roman8"};
  } else if (codePage == kMazovia || codePage == kKamenicky) {
    names = {"ibm-437"};
  } else if (codePage == 65001) {
    names = {"UTF-8"};
  } else if (codePage > 0) {
    // ICU knows the Windows and DOS pages as "windows-N"; "ibm-N" covers
    // the few DOS pages without that alias (860, 863, 864, 865).
    names = {"windows-" + std::to_string(codePage), "ibm-" + std::to_string(codePage)};
  }
  for (const std::string& name : names) {
    UErrorCode err = U_ZERO_ERROR;
    UConverter* conv = ucnv_open(name.c_str(), &err);
    if (U_SUCCESS(err)) return conv;
  }
  return nullptr;
}

// The character of one byte of a single-byte page, U+FFFD when unmapped.
char32_t DecodeByte(UConverter* conv, int b) {
  char in = static_cast<char>(b);
  UChar out[4];
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(conv, out, 4, &in, 1, &err);
  if (U_FAILURE(err)) return kReplacement;
  if (n == 1 && !U16_IS_SURROGATE(out[0])) return out[0];
  if (n == 2 && U16_IS_LEAD(out[0]) && U16_IS_TRAIL(out[1]))
    return U16_GET_SUPPLEMENTARY(out[0], out[1]);
  return kReplacement;
}

// ICU's HP Roman-8 table reads 0xA9, 0xAF and 0xF6 as characters that
// other bytes stand for already ('`', '£', '-'), so such text would change
// when written back; it also lacks 0xA0. These bytes follow the mapping of
// RFC 1345 and the GNU C library instead.
constexpr std::pair<int, char32_t> kRoman8Corrections[] = {
    {0xA0, 0x00A0}, {0xA9, 0x02CB}, {0xAF, 0x20A4}, {0xB0, 0x00AF},
    {0xB3, 0x00B0}, {0xF3, 0x00B5}, {0xF6, 0x2014},
};

void BuildSingleByte(UConverter* conv, int codePage, Codec::Impl& impl, bool& asciiCompatible) {
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(conv, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &err);
  std::array<char32_t, 256> decoded;
  for (int b = 0; b < 256; ++b) decoded[b] = DecodeByte(conv, b);
  if (codePage == 0)
    for (const auto& [b, c] : kRoman8Corrections) decoded[b] = c;
  if (codePage == kMazovia)
    for (const auto& [b, c] : kMazoviaLetters) decoded[b] = c;
  if (codePage == kKamenicky)
    for (const auto& [b, c] : kKamenickyLetters) decoded[b] = c;
  asciiCompatible = true;
  for (int b = 0x20; b < 0x7F; ++b) asciiCompatible = asciiCompatible && decoded[b] == char32_t(b);
  // ICU's tables of the IBM PC pages swap the controls 0x1A, 0x1C and 0x7F;
  // table files store those bytes as themselves.
  if (asciiCompatible)
    for (int b = 0; b < 0x80; ++b) decoded[b] = static_cast<char32_t>(b);
  for (int b = 0; b < 256; ++b) {
    impl.utf8Length[b] = EncodeUtf8(decoded[b], impl.utf8[b].data());
    if (decoded[b] != kReplacement && !(asciiCompatible && b < 0x80))
      impl.encode.emplace_back(decoded[b], static_cast<unsigned char>(b));
  }
  // Where two bytes read as one character, writing uses the lower byte.
  std::stable_sort(impl.encode.begin(), impl.encode.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  impl.encode.erase(std::unique(impl.encode.begin(), impl.encode.end(),
                                [](const auto& x, const auto& y) { return x.first == y.first; }),
                    impl.encode.end());
}

void U_CALLCONV ReplaceUndecodable(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                                   UConverterCallbackReason reason, UErrorCode* err) {
  if (reason > UCNV_IRREGULAR) return;
  *err = U_ZERO_ERROR;
  const UChar replacement = static_cast<UChar>(kReplacement);
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, err);
}

void U_CALLCONV FlagUnencodable(const void* context, UConverterFromUnicodeArgs* args,
                                const UChar* units, int32_t length, UChar32 c,
                                UConverterCallbackReason reason, UErrorCode* err) {
  if (reason <= UCNV_IRREGULAR) *static_cast<bool*>(const_cast<void*>(context)) = true;
  UCNV_FROM_U_CALLBACK_SUBSTITUTE(nullptr, args, units, length, c, reason, err);
}

void PrepareMultiByte(UConverter* conv, Codec::Impl& impl, bool& asciiCompatible) {
  impl.singleByte = false;
  UErrorCode err = U_ZERO_ERROR;
  ucnv_setToUCallBack(conv, ReplaceUndecodable, nullptr, nullptr, nullptr, &err);
  ucnv_setFromUCallBack(conv, FlagUnencodable, &impl.lossy, nullptr, nullptr, &err);
  ucnv_setSubstChars(conv, "?", 1, &err);
  ucnv_setFallback(conv, false);
  const char controls[3] = {0x1A, 0x1C, 0x7F};
  UChar read[3];
  impl.controlsSwapped = ucnv_toUChars(conv, read, 3, controls, 3, &err) == 3 &&
                         U_SUCCESS(err) && read[0] == 0x1C && read[1] == 0x7F && read[2] == 0x1A;
  ucnv_reset(conv);
  err = U_ZERO_ERROR;
  char ascii[0x5F];
  for (int b = 0x20; b < 0x7F; ++b) ascii[b - 0x20] = static_cast<char>(b);
  UChar units[0x60];
  err = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(conv, units, 0x60, ascii, sizeof ascii, &err);
  asciiCompatible = U_SUCCESS(err) && n == int32_t(sizeof ascii);
  for (int32_t k = 0; asciiCompatible && k < n; ++k)
    asciiCompatible = units[k] == static_cast<UChar>(ascii[k]);
}

// Without a converter: ASCII stays, everything else is U+FFFD.
void BuildAsciiOnly(Codec::Impl& impl) {
  for (int b = 0; b < 256; ++b)
    impl.utf8Length[b] = EncodeUtf8(b < 0x80 ? char32_t(b) : kReplacement, impl.utf8[b].data());
}

}  // namespace

std::size_t InvalidUtf8At(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t at = i;
    char32_t c;
    if (!DecodeUtf8(text, i, c)) return at;
  }
  return std::string::npos;
}

namespace {

// The tables of single-byte pages built so far: every table opened builds
// a codec, and building one asks ICU about each of the 256 bytes.
struct SingleByteTables {
  std::array<std::array<char, 4>, 256> utf8{};
  std::array<std::uint8_t, 256> utf8Length{};
  std::vector<std::pair<char32_t, unsigned char>> encode;
  bool ascii = false;
};
std::mutex g_tablesMutex;
std::map<int, SingleByteTables> g_tables;

}  // namespace

Codec::Codec(int codePage) : codePage_(codePage), impl_(std::make_unique<Impl>()) {
  {
    std::lock_guard<std::mutex> lock(g_tablesMutex);
    auto it = g_tables.find(codePage);
    if (it != g_tables.end()) {
      valid_ = true;
      impl_->utf8 = it->second.utf8;
      impl_->utf8Length = it->second.utf8Length;
      impl_->encode = it->second.encode;
      plainAscii_ = it->second.ascii;
      return;
    }
  }
  UConverter* conv = OpenConverter(codePage);
  if (!conv) {
    BuildAsciiOnly(*impl_);
    plainAscii_ = true;
    return;
  }
  valid_ = true;
  if (ucnv_getMaxCharSize(conv) == 1) {
    BuildSingleByte(conv, codePage, *impl_, plainAscii_);
    ucnv_close(conv);
    std::lock_guard<std::mutex> lock(g_tablesMutex);
    g_tables[codePage] = {impl_->utf8, impl_->utf8Length, impl_->encode, plainAscii_};
  } else {
    PrepareMultiByte(conv, *impl_, plainAscii_);
    converter_ = conv;
  }
}

Codec::~Codec() {
  if (converter_) ucnv_close(static_cast<UConverter*>(converter_));
}

std::string Codec::toUtf8(const char* data, std::size_t size) const {
  std::string out;
  appendUtf8(data, size, out);
  return out;
}

void Codec::appendUtf8(const char* data, std::size_t size, std::string& out) const {
  if (plainAscii_ && IsAscii(data, size)) {
    out.append(data, size);
    return;
  }
  const Impl& t = *impl_;
  if (t.singleByte) {
    std::size_t length = 0;
    for (std::size_t i = 0; i < size; ++i)
      length += t.utf8Length[static_cast<unsigned char>(data[i])];
    std::size_t at = out.size();
    out.resize(at + length);
    char* p = out.data() + at;
    for (std::size_t i = 0; i < size; ++i) {
      unsigned char b = static_cast<unsigned char>(data[i]);
      std::memcpy(p, t.utf8[b].data(), t.utf8Length[b]);
      p += t.utf8Length[b];
    }
    return;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::u16string& units = impl_->units;
  units.resize(2 * size + 2);
  UErrorCode err = U_ZERO_ERROR;
  int32_t n =
      ucnv_toUChars(static_cast<UConverter*>(converter_), units.data(),
                    static_cast<int32_t>(units.size()), data, static_cast<int32_t>(size), &err);
  if (U_FAILURE(err)) n = 0;
  if (impl_->controlsSwapped)
    for (int32_t k = 0; k < n; ++k) {
      const char16_t u = units[static_cast<std::size_t>(k)];
      if (u == 0x1C || u == 0x7F || u == 0x1A)
        units[static_cast<std::size_t>(k)] = u == 0x1C ? 0x1A : u == 0x7F ? 0x1C : 0x7F;
    }
  int32_t length = 0;
  err = U_ZERO_ERROR;
  u_strToUTF8WithSub(nullptr, 0, &length, units.data(), n, static_cast<UChar32>(kReplacement),
                     nullptr, &err);
  std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(length));
  err = U_ZERO_ERROR;
  u_strToUTF8WithSub(out.data() + at, length, nullptr, units.data(), n,
                     static_cast<UChar32>(kReplacement), nullptr, &err);
}

bool Codec::fromUtf8(const std::string& utf8, std::string& out) const {
  out.clear();
  if (plainAscii_ && IsAscii(utf8.data(), utf8.size())) {
    out = utf8;
    return true;
  }
  if (impl_->singleByte) {
    const auto& encode = impl_->encode;
    bool exact = true;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
      unsigned char lead = static_cast<unsigned char>(utf8[i]);
      if (plainAscii_ && lead < 0x80) {
        out.push_back(static_cast<char>(lead));
        ++i;
        continue;
      }
      char32_t c = 0;
      if (DecodeUtf8(utf8, i, c)) {
        auto it = std::lower_bound(encode.begin(), encode.end(), c,
                                   [](const auto& e, char32_t key) { return e.first < key; });
        if (it != encode.end() && it->first == c) {
          out.push_back(static_cast<char>(it->second));
          continue;
        }
      }
      out.push_back('?');
      exact = false;
    }
    return exact;
  }
  std::lock_guard<std::mutex> lock(impl_->mutex);
  std::u16string& units = impl_->units;
  units.resize(utf8.size() + 1);  // never more UTF-16 units than UTF-8 bytes
  int32_t n = 0;
  int32_t malformed = 0;
  UErrorCode err = U_ZERO_ERROR;
  u_strFromUTF8WithSub(units.data(), static_cast<int32_t>(units.size()), &n, utf8.data(),
                       static_cast<int32_t>(utf8.size()), static_cast<UChar32>(kReplacement),
                       &malformed, &err);
  if (U_FAILURE(err)) return false;
  if (impl_->controlsSwapped)
    for (int32_t k = 0; k < n; ++k) {
      const char16_t u = units[static_cast<std::size_t>(k)];
      if (u == 0x1C || u == 0x7F || u == 0x1A)
        units[static_cast<std::size_t>(k)] = u == 0x1A ? 0x1C : u == 0x1C ? 0x7F : 0x1A;
    }
  impl_->lossy = false;
  UConverter* conv = static_cast<UConverter*>(converter_);
  out.resize(static_cast<std::size_t>(n) * ucnv_getMaxCharSize(conv) + 1);
  err = U_ZERO_ERROR;
  int32_t length =
      ucnv_fromUChars(conv, out.data(), static_cast<int32_t>(out.size()), units.data(), n, &err);
  out.resize(U_SUCCESS(err) ? static_cast<std::size_t>(length) : 0);
  return U_SUCCESS(err) && malformed == 0 && !impl_->lossy;
}

const Codec& SharedCodec(int codePage) {
  static std::mutex mutex;
  // Never destroyed: other threads may still convert while the process ends.
  static auto* codecs = new std::map<int, std::unique_ptr<Codec>>();
  std::lock_guard<std::mutex> lock(mutex);
  std::unique_ptr<Codec>& codec = (*codecs)[codePage];
  if (!codec) codec = std::make_unique<Codec>(codePage);
  return *codec;
}

// ---------------------------------------------------------------------------
// Order of text
// ---------------------------------------------------------------------------

namespace {

// The collation of one driver, opened on first use.
struct Collation {
  std::once_flag once;
  const Codec* codec = nullptr;
  UCollator* collator = nullptr;
};

// The order of the non-byte drivers is an approximation: the real
// collation tables are not known. We use the ICU collation of the driver's
// language at tertiary strength: letters first compare without regard to
// accents and case ('a' < 'B' < 'c'), then accents decide ("e" < "é" <
// "f"), then case ("a" < "A", next to each other). Texts that are still
// equal are ordered by their bytes, so only identical texts compare equal:
// keys that differ in case or in a byte the collation ignores remain
// distinct keys, as a case-sensitive primary index requires. Normalization
// is on so that the order stays consistent for decomposed accents too.
Collation* CollationFor(const LanguageDriver* driver) {
  if (driver == nullptr) return nullptr;
  int index = DriverIndex(driver);
  if (index < 0 || kDrivers[index].collation == nullptr) return nullptr;
  // Never destroyed, like the shared codecs.
  static auto* slots = new std::array<Collation, kDriverCount>();
  Collation& slot = (*slots)[static_cast<std::size_t>(index)];
  std::call_once(slot.once, [&slot, index] {
    UErrorCode err = U_ZERO_ERROR;
    UCollator* collator = ucol_open(kDrivers[index].collation, &err);
    if (U_FAILURE(err)) return;
    ucol_setStrength(collator, UCOL_TERTIARY);
    ucol_setAttribute(collator, UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
    slot.codec = &SharedCodec(kDrivers[index].codePage);
    slot.collator = collator;
  });
  return slot.collator ? &slot : nullptr;
}

std::string_view AsUtf8(const Codec& codec, const std::string& text, std::string& buffer) {
  if (codec.asciiCompatible() && IsAscii(text.data(), text.size())) return text;
  buffer.clear();
  codec.appendUtf8(text.data(), text.size(), buffer);
  return buffer;
}

int CompareBytes(const std::string& a, const std::string& b) {
  int r = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (r != 0) return r < 0 ? -1 : 1;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

}  // namespace

int CompareText(const LanguageDriver* driver, const std::string& a, const std::string& b) {
  const Collation* c = CollationFor(driver);
  if (c != nullptr) {
    thread_local std::string bufferA, bufferB;
    std::string_view x = AsUtf8(*c->codec, a, bufferA);
    std::string_view y = AsUtf8(*c->codec, b, bufferB);
    UErrorCode err = U_ZERO_ERROR;
    UCollationResult r = ucol_strcollUTF8(c->collator, x.data(), static_cast<int32_t>(x.size()),
                                          y.data(), static_cast<int32_t>(y.size()), &err);
    if (U_SUCCESS(err) && r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
  }
  return CompareBytes(a, b);
}

bool ComparesBytes(const LanguageDriver* driver) { return CollationFor(driver) == nullptr; }

}  // namespace engine::text
