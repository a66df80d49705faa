#include "engine/text/codepage.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "engine/io/file.h"

namespace engine::text {
namespace {

// --- Codec -----------------------------------------------------------------

struct KnownText {
  int codePage;
  std::string bytes;
  std::string utf8;
};

class CodecKnownText : public ::testing::TestWithParam<KnownText> {};

// Expected characters checked against an independent decoder (Python's codecs).
TEST_P(CodecKnownText, ReadsAndWritesKnownCharacters) {
  const KnownText& t = GetParam();
  Codec codec(t.codePage);
  ASSERT_TRUE(codec.valid());
  EXPECT_EQ(codec.toUtf8(t.bytes), t.utf8);
  std::string back;
  EXPECT_TRUE(codec.fromUtf8(t.utf8, back));
  EXPECT_EQ(back, t.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    CodePages, CodecKnownText,
    ::testing::Values(KnownText{437, "M\x81ller \x9b\xe1", "Müller ¢ß"},
                      KnownText{850, "\x9b\xd5\xb5", "øıÁ"}, KnownText{861, "\x8b\x8c\x8d", "ÐðÞ"},
                      KnownText{862, "\x80\x9a", "את"}, KnownText{863, "\x84\x86", "Â¶"},
                      KnownText{865, "\x9b\x9d\xaf", "øØ¤"}, KnownText{866, "\x80\xa0\xf0", "АаЁ"},
                      KnownText{874, "\xa1\xe0", "กเ"}, KnownText{1251, "\xc0\xff\xa8", "АяЁ"},
                      KnownText{1252, "\x80\xe9\x9f", "€éŸ"}, KnownText{1255, "\xe0\xfa", "את"},
                      KnownText{0, "\xc0\xa1\xb4\xde", "âÀÇß"},
                      KnownText{0, "\xa9\xaf\xbb\xf6", "ˋ₤£—"},
                      KnownText{936, "ab\xd6\xd0\xce\xc4x", "ab中文x"}));

constexpr int kMultiByte = 936;

std::vector<int> DriverCodePages(bool singleByteOnly) {
  std::set<int> pages;
  for (const LanguageDriver& d : LanguageDrivers())
    if (!singleByteOnly || d.codePage != kMultiByte) pages.insert(d.codePage);
  return {pages.begin(), pages.end()};
}

class DriverCodePage : public ::testing::TestWithParam<int> {};

TEST_P(DriverCodePage, LowBytesAreAscii) {
  // ICU's IBM PC tables swap some controls (0x1A, 0x1C, 0x7F); table files
  // keep them as they are.
  std::string low;
  for (int b = 0; b < 0x80; ++b) low.push_back(static_cast<char>(b));
  const Codec& codec = SharedCodec(GetParam());
  ASSERT_TRUE(codec.valid());
  EXPECT_TRUE(codec.asciiCompatible());
  EXPECT_EQ(codec.toUtf8(low), low);
  // The same with a high byte, which leaves the pure-ASCII path.
  EXPECT_EQ(codec.toUtf8(low + "\xe0").substr(0, low.size()), low);
  std::string back;
  EXPECT_TRUE(codec.fromUtf8(low, back));
  EXPECT_EQ(back, low);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverCodePage, ::testing::ValuesIn(DriverCodePages(false)));

class SingleByteCodePage : public ::testing::TestWithParam<int> {};

TEST_P(SingleByteCodePage, EveryReadableHighByteIsWrittenBackAsItself) {
  const Codec& codec = SharedCodec(GetParam());
  for (int b = 0x80; b < 0x100; ++b) {
    std::string byte(1, static_cast<char>(b));
    std::string text = codec.toUtf8(byte);
    if (text == "\uFFFD") continue;
    std::string back;
    EXPECT_TRUE(codec.fromUtf8(text, back)) << std::hex << b;
    EXPECT_EQ(back, byte) << std::hex << b;
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, SingleByteCodePage, ::testing::ValuesIn(DriverCodePages(true)));

struct Unwritable {
  int codePage;
  std::string utf8;
  std::string written;
};

class CodecUnwritable : public ::testing::TestWithParam<Unwritable> {};

TEST_P(CodecUnwritable, ReplacesEachBadCharacterWithOneQuestionMark) {
  const Unwritable& t = GetParam();
  std::string out = "stale";
  EXPECT_FALSE(SharedCodec(t.codePage).fromUtf8(t.utf8, out));
  EXPECT_EQ(out, t.written);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CodecUnwritable,
    ::testing::Values(Unwritable{437, "5 €", "5 ?"}, Unwritable{866, "aüb", "a?b"},
                      Unwritable{1252, "x中y", "x?y"}, Unwritable{0, "Ωé", "?\xc5"},
                      Unwritable{936, "a😀กb", "a??b"},
                      // Malformed UTF-8: stray, truncated and overlong sequences.
                      Unwritable{1252, "a\xffz", "a?z"}, Unwritable{1252, "\xc3", "?"},
                      Unwritable{1252, "\xc0\xaf", "??"}, Unwritable{936, "a\xffz", "a?z"}));

TEST(CodecTest, UnreadableBytesBecomeReplacementCharacters) {
  // Roman-8 0xFF stands for nothing; in code page 936 a lead byte needs a
  // valid trail byte. The text keeps its length in characters.
  EXPECT_EQ(SharedCodec(0).toUtf8("a\xffz"), "a\uFFFDz");
  EXPECT_EQ(SharedCodec(936).toUtf8("a\x81 z"), "a\uFFFD z");
  EXPECT_EQ(SharedCodec(936).toUtf8("a\x81"), "a\uFFFD");
  // No converter at all: only ASCII survives.
  Codec unknown(12345);
  EXPECT_FALSE(unknown.valid());
  EXPECT_EQ(unknown.toUtf8("a\xe9"), "a\uFFFD");
  std::string out;
  EXPECT_TRUE(unknown.fromUtf8("abc", out));
  EXPECT_FALSE(unknown.fromUtf8("é", out));
  EXPECT_EQ(out, "?");
}

TEST(CodecTest, MultiByteCodecCanBeSharedBetweenThreads) {
  const Codec& codec = SharedCodec(936);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&codec, &failures, t] {
      std::string bytes = std::string("\xd6\xd0\xce\xc4", 4) + std::to_string(t);
      std::string utf8 = "中文" + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        std::string back;
        if (codec.toUtf8(bytes) != utf8 || !codec.fromUtf8(utf8, back) || back != bytes)
          ++failures[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

// --- Drivers ---------------------------------------------------------------

TEST(LanguageDriverTest, NamesAreUniqueAndFoundWhateverTheirCase) {
  std::set<std::string> seen;
  for (const LanguageDriver& d : LanguageDrivers()) {
    std::string lower = d.name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(lower).second) << d.name;
    EXPECT_EQ(FindDriver(lower), &d);
  }
  EXPECT_EQ(FindDriver("klingon"), nullptr);
}

TEST(LanguageDriverTest, KnownSortBytesIdentifyOneDriverPerCodePage) {
  std::set<std::pair<int, int>> seen;
  for (const LanguageDriver& d : LanguageDrivers()) {
    if (!d.sortByteKnown) {
      EXPECT_EQ(d.sortByte, 0) << d.name;
      continue;
    }
    EXPECT_TRUE(seen.insert({d.sortByte, d.codePage}).second) << d.name;
  }
}

struct HeaderCase {
  std::string sortOrderId;
  int codePage;
  int sortByte;
  const char* expected;  // nullptr: no driver
};

class DriverFromHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(DriverFromHeaderTest, FindsTheDriver) {
  const HeaderCase& t = GetParam();
  const LanguageDriver* d =
      DriverFromHeader(t.sortOrderId, t.codePage, static_cast<std::uint8_t>(t.sortByte));
  if (t.expected == nullptr) {
    EXPECT_EQ(d, nullptr) << d->name;
  } else {
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->name, t.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fallbacks, DriverFromHeaderTest,
    ::testing::Values(HeaderCase{"ascii", 850, 0, "ascii"},  // other code page
                      HeaderCase{"ASCII", 437, 0, "ascii"},  // other case
                      HeaderCase{"", 0, 0, "ascii"},         // level 3: no ID
                      HeaderCase{"", 0, 183, "intl"},        // level 3: no ID
                      HeaderCase{"renamed", 1252, 76, "DBWINUS0"},
                      HeaderCase{"", 1251, 143, "ancyrr"},
                      // 143 is also a driver we do not know, on another code page.
                      HeaderCase{"polish", 852, 143, nullptr},
                      // Bytes not established must not match anything.
                      HeaderCase{"unknown", 862, 0, nullptr}));

// The sort-order fields of a level 4+ .DB header.
struct SortFields {
  int sortByte = 0;
  int codePage = 0;
  std::string sortOrderId;
  std::string firstRecord;  // the first record of the first data block
};

std::string CorpusPath(const std::string& name) {
  return std::string(QUARRY_CORPUS_DIR) + "/paradox/" + name;
}

bool ReadSortFields(const std::string& path, SortFields& out) {
  std::string b;
  if (io::ReadWholeFile(path, b) != Ok || b.size() < 0x78) return false;
  auto u16 = [&b](std::size_t at) {
    return static_cast<int>(static_cast<unsigned char>(b[at]) |
                            static_cast<unsigned char>(b[at + 1]) << 8);
  };
  const int version = static_cast<unsigned char>(b[0x39]);
  const int fields = u16(0x21);
  if (version < 5) return false;
  out.sortByte = static_cast<unsigned char>(b[0x29]);
  out.codePage = u16(0x6A);
  // Field descriptors, table-name pointer, field-name pointers, table name.
  std::size_t at = 0x78 + fields * 2 + 4 + fields * 4 + (version >= 0x0C ? 261 : 79);
  for (int f = 0; f < fields; ++f) at = b.find('\0', at) + 1;  // field names
  at += fields * 2;                                            // field numbers
  out.sortOrderId = b.substr(at, b.find('\0', at) - at);
  const std::size_t headerSize = u16(2);
  out.firstRecord = b.substr(headerSize + 6, u16(0));
  return true;
}

struct CorpusCase {
  const char* file;
  const char* driver;
  int codePage;
};

class DriverOfCorpusFile : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(DriverOfCorpusFile, IsFoundFromTheHeader) {
  if (!std::filesystem::exists(QUARRY_CORPUS_DIR)) GTEST_SKIP() << "no corpus";
  const CorpusCase& t = GetParam();
  SortFields h;
  ASSERT_TRUE(ReadSortFields(CorpusPath(t.file), h));
  EXPECT_EQ(h.codePage, t.codePage);
  const LanguageDriver* d =
      DriverFromHeader(h.sortOrderId, h.codePage, static_cast<std::uint8_t>(h.sortByte));
  ASSERT_NE(d, nullptr) << h.sortOrderId;
  EXPECT_EQ(d->name, t.driver);
  // These files were written by other programs: the driver's byte must be
  // the one they wrote.
  EXPECT_TRUE(d->sortByteKnown);
  EXPECT_EQ(d->sortByte, h.sortByte);
  EXPECT_TRUE(SharedCodec(h.codePage).valid());
}

INSTANTIATE_TEST_SUITE_P(Corpus, DriverOfCorpusFile,
                         ::testing::Values(CorpusCase{"db/ROMAN8.db", "BLROM800", 0},
                                           CorpusCase{"db/GENERAL.DB", "china", 936},
                                           CorpusCase{"db/AREACODES.DB", "DBWINUS0", 1252},
                                           CorpusCase{"db/AREACODE.DB", "ascii", 437},
                                           CorpusCase{"fields/long.db", "ascii", 850},
                                           CorpusCase{"fields/time.db", "DBWINWE0", 1252},
                                           CorpusCase{"fields/logical.db", "ANSII850", 1252}));

TEST(CodecTest, ReadsTheRoman8CorpusTable) {
  if (!std::filesystem::exists(QUARRY_CORPUS_DIR)) GTEST_SKIP() << "no corpus";
  SortFields h;
  ASSERT_TRUE(ReadSortFields(CorpusPath("db/ROMAN8.db"), h));
  // One alpha field; its bytes EB F8 BE F4 read as below in any Roman-8
  // decoder.
  std::string text = h.firstRecord.substr(0, h.firstRecord.find('\0'));
  EXPECT_EQ(SharedCodec(h.codePage).toUtf8(text), "Š½ƒ¶");
}

// --- Order of text -----------------------------------------------------------

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(CompareTextTest, AsciiDriversCompareUnsignedBytes) {
  for (const LanguageDriver* d :
       {FindDriver("ascii"), FindDriver("DBWINUS0"), static_cast<const LanguageDriver*>(nullptr)}) {
    EXPECT_TRUE(ComparesBytes(d));
    EXPECT_LT(CompareText(d, "B", "a"), 0);
    EXPECT_LT(CompareText(d, "z", "\x81"), 0);
    EXPECT_LT(CompareText(d, "ab", "abc"), 0);
    EXPECT_EQ(CompareText(d, "ab", "ab"), 0);
  }
  // A copy of a driver orders like the driver.
  LanguageDriver copy = *FindDriver("intl");
  EXPECT_FALSE(ComparesBytes(&copy));
  EXPECT_LT(CompareText(&copy, "a", "B"), 0);
}

struct Ordered {
  const char* driver;
  std::vector<std::string> words;  // UTF-8, ascending
};

class CompareTextOrder : public ::testing::TestWithParam<Ordered> {};

TEST_P(CompareTextOrder, KeepsWordsInLanguageOrder) {
  const LanguageDriver* d = FindDriver(GetParam().driver);
  ASSERT_NE(d, nullptr);
  std::vector<std::string> stored;
  for (const std::string& w : GetParam().words) {
    std::string bytes;
    ASSERT_TRUE(SharedCodec(d->codePage).fromUtf8(w, bytes)) << w;
    stored.push_back(bytes);
  }
  for (std::size_t i = 0; i < stored.size(); ++i)
    for (std::size_t j = 0; j < stored.size(); ++j)
      EXPECT_EQ(Sign(CompareText(d, stored[i], stored[j])), Sign(int(i) - int(j)))
          << GetParam().words[i] << " vs " << GetParam().words[j];
}

INSTANTIATE_TEST_SUITE_P(
    Languages, CompareTextOrder,
    ::testing::Values(
        // Case after accents, both after the letters themselves.
        Ordered{"intl", {"a", "A", "á", "b", "B", "c", "cote", "côte", "e", "é", "f"}},
        Ordered{"ANSII850", {"a", "A", "Á", "b", "Mueller", "Muller", "Müller"}},
        Ordered{"BLROM800", {"a", "â", "B", "c"}},
        // French accents weigh from the end of the word.
        Ordered{"DB863CF1", {"cote", "côte", "coté", "côté"}},
        Ordered{"swedfin", {"z", "å", "ä", "ö"}}, Ordered{"nordan", {"z", "æ", "ø", "å"}},
        Ordered{"ANSISPAN", {"n", "nz", "ñ", "o"}},
        Ordered{"ancyrr", {"а", "Б", "в", "е", "ё", "ж", "я"}},
        Ordered{"cyrr", {"а", "Б", "в", "е", "ё", "ж", "я"}},
        // Pinyin: 丐 (gai) is a second-level ideograph, placed after 中 (zhong)
        // in byte order.
        Ordered{"china", {"啊", "波", "丐", "中"}}));

// Texts that exercise ties: case variants, ignorable and unmapped bytes.
std::vector<std::string> TiePool() {
  std::vector<std::string> pool = {"",    "a",   "A", "a\x81", "\x81", "ab",    "aB",   "Ab",
                                   "a b", "ab ", "b", "\xe9",  "\xc9", "e\xe9", "\xff", "\x7f"};
  std::mt19937 random(7);
  for (int n = 0; n < 8; ++n) {
    std::string s;
    for (int k = random() % 4; k >= 0; --k) s.push_back(static_cast<char>(random() % 256));
    pool.push_back(s);
  }
  return pool;
}

class CompareTextAnyDriver : public ::testing::TestWithParam<std::string> {};

TEST_P(CompareTextAnyDriver, IsATotalOrder) {
  const LanguageDriver* d = FindDriver(GetParam());
  const std::vector<std::string> pool = TiePool();
  const std::size_t n = pool.size();
  std::vector<std::vector<int>> cmp(n, std::vector<int>(n));
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) cmp[i][j] = Sign(CompareText(d, pool[i], pool[j]));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      ASSERT_EQ(cmp[i][j], -cmp[j][i]) << i << " " << j;
      // Only identical texts are equal keys.
      ASSERT_EQ(cmp[i][j] == 0, pool[i] == pool[j]) << i << " " << j;
      for (std::size_t k = 0; k < n && cmp[i][j] < 0; ++k)
        ASSERT_TRUE(cmp[j][k] >= 0 || cmp[i][k] < 0) << i << " " << j << " " << k;
    }
  }
}

std::vector<std::string> DriverNames() {
  std::vector<std::string> names;
  for (const LanguageDriver& d : LanguageDrivers()) names.push_back(d.name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Drivers, CompareTextAnyDriver, ::testing::ValuesIn(DriverNames()),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace engine::text
