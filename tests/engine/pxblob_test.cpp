#include "engine/paradox/pxblob.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine/io/journal.h"
#include "engine/paradox/pxcrypt.h"

using namespace engine;
using namespace engine::paradox;
namespace fs = std::filesystem;

namespace {

std::string CorpusPath(const std::string& rel) {
#ifdef QUARRY_CORPUS_DIR
  fs::path p = fs::path(QUARRY_CORPUS_DIR) / "paradox" / rel;
  if (fs::exists(p)) return p.string();
#endif
  return {};
}

std::uint16_t U16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) |
                                    static_cast<std::uint8_t>(s[at + 1]) << 8);
}
std::uint32_t U32(const std::string& s, std::size_t at) {
  return U16(s, at) | static_cast<std::uint32_t>(U16(s, at + 2)) << 16;
}

// A blob field of a record: the leader kept in the .DB and the reference.
struct BlobField {
  std::uint8_t type = 0;
  std::string leader;
  BlobRef ref;
};

// Reads the blob fields of every record of a .DB file: field descriptors
// after the fixed header, records in the chain of data blocks (decrypted
// when the table is protected).
::testing::AssertionResult ReadBlobFields(const std::string& path, std::vector<BlobField>& out,
                                          std::uint32_t& key) {
  std::string db;
  if (io::ReadWholeFile(path, db) != Ok) return ::testing::AssertionFailure() << "cannot read";
  const std::size_t recordSize = U16(db, 0), headerSize = U16(db, 2);
  const std::size_t blockSize = static_cast<std::uint8_t>(db[5]) * 1024u;
  const unsigned fields = U16(db, 0x21);
  const bool level4 = static_cast<std::uint8_t>(db[0x39]) >= 5;
  key = level4 ? U32(db, 0x5C) : U32(db, 0x25);
  const std::size_t descriptors = level4 ? 0x78 : 0x58;
  unsigned block = U16(db, 0x0E);
  for (int guard = 0; block != 0; ++guard) {
    const std::size_t at = headerSize + (block - 1) * blockSize;
    if (guard > 1000 || at + blockSize > db.size())
      return ::testing::AssertionFailure() << "bad block chain";
    auto* data = reinterpret_cast<std::uint8_t*>(db.data() + at);
    if (key != 0) DecryptDbBlock(data, blockSize, key, block);
    const int records =
        static_cast<std::int16_t>(U16(db, at + 4)) / static_cast<int>(recordSize) + 1;
    for (int r = 0; r < records; ++r) {
      std::size_t pos = at + 6 + r * recordSize;
      for (unsigned f = 0; f < fields; ++f) {
        const auto type = static_cast<std::uint8_t>(db[descriptors + 2 * f]);
        const auto size = static_cast<std::uint8_t>(db[descriptors + 2 * f + 1]);
        if (type >= 0x0C && type <= 0x10) {
          BlobField field{type, db.substr(pos, size - kBlobRefSize), {}};
          field.ref = ParseBlobRef(reinterpret_cast<std::uint8_t*>(db.data() + pos + size - 10));
          out.push_back(field);
        }
        pos += size;
      }
    }
    block = U16(db, at);
  }
  return ::testing::AssertionSuccess();
}

bool Printable(const std::string& s) {
  return std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
  });
}

// Checks a value against its leader and the 8-byte graphic / OLE prefix.
void CheckValue(const BlobField& field, const std::string& value) {
  ASSERT_EQ(value.size(), field.ref.length);
  const std::uint8_t prefixKind = field.type == 0x10 ? 1 : field.type == 0x0F ? 2 : 0;
  const std::size_t skip = prefixKind ? 8 : 0;
  EXPECT_EQ(value.substr(skip, field.leader.size()), field.leader);
  if (prefixKind) {
    EXPECT_EQ(value.substr(0, 4), std::string("\1\0\0", 3) + char(prefixKind));
    EXPECT_EQ(U32(value, 4), value.size() - 8);
  }
  if (field.type == 0x10) {
    EXPECT_EQ(value.substr(8, 2), "BM");
    EXPECT_EQ(U32(value, 10), value.size() - 8) << "BMP file size";
  }
  if (field.type == 0x0C) {
    EXPECT_TRUE(Printable(value));
  }
  if (field.type == 0x0E) {
    EXPECT_NE(value.find("123"), std::string::npos) << "formatted memo text";
  }
}

struct CorpusCase {
  const char* table;  // path without extension, under the corpus's paradox folder
  int storedValues;   // values too long for their leader
};

class BlobCorpus : public ::testing::TestWithParam<CorpusCase> {};

TEST_P(BlobCorpus, ReadsEveryValueItsRecordsReferTo) {
  const std::string db = CorpusPath(std::string(GetParam().table) + ".db");
  const std::string mb = CorpusPath(std::string(GetParam().table) + ".mb");
  if (db.empty() || mb.empty()) GTEST_SKIP() << "corpus not available";
  std::vector<BlobField> fields;
  std::uint32_t key = 0;
  ASSERT_TRUE(ReadBlobFields(db, fields, key));
  BlobFile file;
  ASSERT_EQ(file.open(mb, false, key), Ok) << LastErrorMessage();
  int stored = 0;
  for (const BlobField& field : fields) {
    if (field.ref.length <= field.leader.size()) continue;
    ++stored;
    std::string value;
    ASSERT_EQ(file.read(field.ref, value), Ok) << LastErrorMessage();
    CheckValue(field, value);
  }
  EXPECT_EQ(stored, GetParam().storedValues);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, BlobCorpus,
    ::testing::Values(CorpusCase{"fields/memo", 1}, CorpusCase{"fields/fmemo", 2},
                      CorpusCase{"fields/graphic", 3}, CorpusCase{"fields/graphic240", 1},
                      CorpusCase{"fields/ole", 1}, CorpusCase{"encrypt/encryptedmemo", 2}),
    [](const auto& info) {
      std::string name = info.param.table;
      return name.substr(name.find('/') + 1);
    });

struct BadRef {
  const char* name;
  const char* file;
  std::uint32_t offset;
  std::uint32_t length;
};

class BlobBadReference : public ::testing::TestWithParam<BadRef> {};

TEST_P(BlobBadReference, IsReportedAsCorrupt) {
  const std::string mb = CorpusPath(std::string("fields/") + GetParam().file);
  if (mb.empty()) GTEST_SKIP() << "corpus not available";
  BlobFile file;
  ASSERT_EQ(file.open(mb, false, 0), Ok);
  std::string value = "stale";
  EXPECT_EQ(file.read({GetParam().offset, GetParam().length, 1}, value), ErrCorruptBlob);
  EXPECT_TRUE(value.empty());
  EXPECT_NE(LastErrorMessage().find(mb + ": "), std::string::npos) << LastErrorMessage();
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, BlobBadReference,
    ::testing::Values(BadRef{"BeyondTheEnd", "graphic.mb", 0x10000000 | 0xFF, 100},
                      BadRef{"NotOnABlockBoundary", "graphic.mb", 0x18FF, 100},
                      BadRef{"IntoTheHeader", "graphic.mb", 0xFF, 100},
                      BadRef{"NoOffset", "graphic.mb", 0, 100},
                      BadRef{"FreeBlock", "graphic.mb", 0x60FF, 20086},
                      BadRef{"SingleBlockAsEntry", "graphic.mb", 0x1001, 20086},
                      BadRef{"SingleLengthDiffers", "graphic.mb", 0x10FF, 20087},
                      BadRef{"SubAllocatedAsSingle", "memo.mb", 0x10FF, 555},
                      BadRef{"EntryIndexOutOfRange", "memo.mb", 0x1040, 555},
                      BadRef{"UnusedEntry", "memo.mb", 0x1000, 555},
                      BadRef{"EntryLengthDiffers", "memo.mb", 0x103F, 554}),
    [](const auto& info) { return std::string(info.param.name); });

// A scratch directory per test.
class BlobScratch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised names hold a '/'
    dir_ = fs::temp_directory_path() / ("pxblob_" + std::to_string(::getpid()) + "_" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::uint64_t size(const std::string& name) const { return fs::file_size(dir_ / name); }

  // Copies a corpus file into the scratch directory (empty when absent).
  std::string copy(const std::string& rel) const {
    const std::string from = CorpusPath(rel);
    if (from.empty()) return {};
    const std::string to = path(fs::path(rel).filename().string());
    fs::copy_file(from, to);
    fs::permissions(to, fs::perms::owner_read | fs::perms::owner_write);
    return to;
  }

  std::string bytesAt(const std::string& file, std::uint64_t offset, std::size_t n) const {
    std::string all;
    EXPECT_EQ(io::ReadWholeFile(file, all), Ok);
    return all.substr(offset, n);
  }
  void patch(const std::string& file, std::uint64_t offset, const std::string& bytes) const {
    io::File f;
    ASSERT_EQ(f.open(file, io::File::Mode::ReadWrite), Ok);
    ASSERT_EQ(f.write(offset, bytes.data(), bytes.size()), Ok);
  }

  fs::path dir_;
};

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 131 + seed * 17 + i / 7) & 0xFF);
  return s;
}

struct RoundTrip {
  std::size_t size;
  std::uint32_t key;
};

class BlobRoundTrip : public BlobScratch, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(BlobRoundTrip, ValueReadsBackAfterReopening) {
  const std::string mb = path("t.mb");
  const std::size_t n = GetParam().size;
  const std::uint32_t key = GetParam().key;
  BlobFile file;
  ASSERT_EQ(file.create(mb, key), Ok) << LastErrorMessage();
  // A neighbour on each side, so that the value shares its block with others.
  BlobRef before, ref, after;
  ASSERT_EQ(file.write(Pattern(100, 1), 1, before, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(n, 2), 7, ref, nullptr), Ok) << LastErrorMessage();
  ASSERT_EQ(file.write(Pattern(3000, 3), 1, after, nullptr), Ok);
  EXPECT_EQ(ref.length, n);
  if (n == 0) {
    EXPECT_EQ(ref.offset, 0u);
  } else {
    EXPECT_EQ((ref.offset & 0xFF) == 0xFF, n > 2048) << "blocks of their own above 2 KiB";
  }
  file.close();

  ASSERT_EQ(file.open(mb, false, key), Ok) << LastErrorMessage();
  std::string value;
  ASSERT_EQ(file.read(ref, value), Ok) << LastErrorMessage();
  EXPECT_EQ(value, Pattern(n, 2));
  ASSERT_EQ(file.read(before, value), Ok);
  EXPECT_EQ(value, Pattern(100, 1));
  ASSERT_EQ(file.read(after, value), Ok);
  EXPECT_EQ(value, Pattern(3000, 3));
  EXPECT_EQ(size("t.mb") % 4096, 0u);
  if (key != 0) {
    EXPECT_EQ(bytesAt(mb, 5, 5).find("\x82\x73\x02"), std::string::npos) << "header encrypted";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlobRoundTrip,
    ::testing::Values(RoundTrip{0, 0}, RoundTrip{1, 0}, RoundTrip{15, 0}, RoundTrip{16, 0},
                      RoundTrip{17, 0}, RoundTrip{2047, 0}, RoundTrip{2048, 0}, RoundTrip{2049, 0},
                      RoundTrip{4096 * 3 + 5, 0}, RoundTrip{100000, 0}, RoundTrip{17, 0x0A25E09A},
                      RoundTrip{4096 * 3 + 5, 0x0A25E09A}),
    [](const auto& info) {
      return std::to_string(info.param.size) + (info.param.key ? "_encrypted" : "");
    });

TEST_F(BlobScratch, ManySmallValuesFillSeveralSharedBlocks) {
  const std::string mb = path("t.mb");
  BlobFile file;
  ASSERT_EQ(file.create(mb, 0), Ok);
  std::vector<BlobRef> refs(300);
  std::map<std::uint32_t, int> perBlock;
  for (unsigned i = 0; i < refs.size(); ++i) {
    ASSERT_EQ(file.write(Pattern(1 + i * 7 % 400, i), 1, refs[i], nullptr), Ok);
    ++perBlock[refs[i].offset & ~0xFFu];
  }
  EXPECT_GT(perBlock.size(), 4u);
  for (const auto& [block, n] : perBlock) EXPECT_LE(n, 64) << block;
  ASSERT_EQ(file.open(mb, false, 0), Ok);
  std::string value;
  for (unsigned i = 0; i < refs.size(); ++i) {
    ASSERT_EQ(file.read(refs[i], value), Ok) << i;
    EXPECT_EQ(value, Pattern(1 + i * 7 % 400, i)) << i;
  }
}

TEST_F(BlobScratch, ReleasedSpaceIsReused) {
  const std::string mb = path("t.mb");
  BlobFile file;
  ASSERT_EQ(file.create(mb, 0), Ok);
  BlobRef small1, small2, big, again;
  ASSERT_EQ(file.write(Pattern(500, 1), 1, small1, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(600, 2), 1, small2, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(10000, 3), 1, big, nullptr), Ok);
  const std::uint64_t full = size("t.mb");

  ASSERT_EQ(file.release(small1, nullptr), Ok);
  std::string value;
  EXPECT_EQ(file.read(small1, value), ErrCorruptBlob) << "deleted entry";
  ASSERT_EQ(file.write(Pattern(480, 4), 1, again, nullptr), Ok);
  EXPECT_EQ(again.offset & ~0xFFu, small1.offset & ~0xFFu);
  ASSERT_EQ(file.read(small2, value), Ok);
  EXPECT_EQ(value, Pattern(600, 2));

  ASSERT_EQ(file.release(big, nullptr), Ok);
  EXPECT_EQ(file.read(big, value), ErrCorruptBlob) << "freed block";
  ASSERT_EQ(file.write(Pattern(9000, 5), 1, again, nullptr), Ok);
  EXPECT_EQ(again.offset, big.offset);
  EXPECT_EQ(size("t.mb"), full);
  ASSERT_EQ(file.read(again, value), Ok);
  EXPECT_EQ(value, Pattern(9000, 5));
}

TEST_F(BlobScratch, AdjacentFreeBlocksMergeAndSplit) {
  const std::string mb = path("t.mb");
  BlobFile file;
  ASSERT_EQ(file.create(mb, 0), Ok);
  BlobRef a, b, c, guard, big, part1, part2;
  for (BlobRef* ref : {&a, &b, &c}) ASSERT_EQ(file.write(Pattern(5000, 1), 1, *ref, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(3000, 2), 1, guard, nullptr), Ok);
  const std::uint64_t full = size("t.mb");
  ASSERT_EQ(file.release(a, nullptr), Ok);
  ASSERT_EQ(file.release(c, nullptr), Ok);
  ASSERT_EQ(file.release(b, nullptr), Ok);
  const std::uint32_t start = a.offset & ~0xFFu;
  EXPECT_EQ(bytesAt(mb, start, 3), std::string("\x04\x06\x00", 3)) << "one free run of 6 blocks";

  ASSERT_EQ(file.write(Pattern(6 * 4096 - 9, 3), 1, big, nullptr), Ok);
  EXPECT_EQ(big.offset & ~0xFFu, start);
  ASSERT_EQ(file.release(big, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(5000, 4), 1, part1, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(4 * 4096 - 9, 5), 1, part2, nullptr), Ok);
  EXPECT_EQ(part1.offset & ~0xFFu, start);
  EXPECT_EQ(part2.offset & ~0xFFu, start + 2 * 4096);
  EXPECT_EQ(size("t.mb"), full);
  std::string value;
  ASSERT_EQ(file.read(guard, value), Ok);
  EXPECT_EQ(value, Pattern(3000, 2));
}

TEST_F(BlobScratch, FreeSpaceAtTheEndGrowsInsteadOfBeingSkipped) {
  const std::string mb = path("t.mb");
  BlobFile file;
  ASSERT_EQ(file.create(mb, 0), Ok);
  BlobRef small, last, big;
  ASSERT_EQ(file.write("x", 1, small, nullptr), Ok);
  ASSERT_EQ(file.write(Pattern(5000, 1), 1, last, nullptr), Ok);
  ASSERT_EQ(file.release(last, nullptr), Ok);
  ASSERT_EQ(file.release(small, nullptr), Ok);  // the emptied shared block becomes free too
  ASSERT_EQ(file.write(Pattern(5 * 4096 - 9, 2), 1, big, nullptr), Ok);
  EXPECT_EQ(big.offset, 0x10FFu);
  EXPECT_EQ(size("t.mb"), 6 * 4096u);
}

TEST_F(BlobScratch, WritesIntoRealFilesUseTheirFreeBlocks) {
  const std::string graphic = copy("fields/graphic.mb"), ole = copy("fields/ole.mb");
  if (graphic.empty() || ole.empty()) GTEST_SKIP() << "corpus not available";
  const std::uint64_t graphicSize = size("graphic.mb"), oleSize = size("ole.mb");
  BlobFile file;
  BlobRef ref;
  std::string value;
  // graphic.mb has a free run of 5 blocks at 0x6000, named at 0x38 of the header.
  ASSERT_EQ(file.open(graphic, true, 0), Ok);
  ASSERT_EQ(file.write(Pattern(20000, 1), 1, ref, nullptr), Ok);
  EXPECT_EQ(ref.offset, 0x60FFu);
  EXPECT_EQ(bytesAt(graphic, 0x38, 8), std::string(8, '\0'));
  ASSERT_EQ(file.read({0xB0FF, 9626, 1}, value), Ok);
  EXPECT_EQ(value.substr(8, 2), "BM");
  EXPECT_EQ(size("graphic.mb"), graphicSize);

  // ole.mb has 90 free blocks at 0x1000: one becomes a shared block.
  ASSERT_EQ(file.open(ole, true, 0), Ok);
  ASSERT_EQ(file.write("a memo", 1, ref, nullptr), Ok);
  EXPECT_EQ(ref.offset, 0x103Fu);
  EXPECT_EQ(bytesAt(ole, 0x2000, 3), std::string("\x04\x59\x00", 3));
  ASSERT_EQ(file.read({0x5B0FF, 365928, 1}, value), Ok);
  EXPECT_EQ(value.substr(0, 4), std::string("\1\0\0\2", 4));
  file.close();
  ASSERT_EQ(file.open(ole, false, 0), Ok);
  ASSERT_EQ(file.read(ref, value), Ok);
  EXPECT_EQ(value, "a memo");
  EXPECT_EQ(size("ole.mb"), oleSize);
}

TEST_F(BlobScratch, DamagedFilesAreReportedAsCorrupt) {
  const std::string memo = copy("fields/memo.mb"), graphic = copy("fields/graphic240.mb");
  if (memo.empty() || graphic.empty()) GTEST_SKIP() << "corpus not available";
  BlobFile file;
  std::string value;
  BlobRef ref;
  patch(memo, 0x1000 + 12 + 63 * 5 + 1, "\xF0");  // entry 63 now runs past the block
  ASSERT_EQ(file.open(memo, true, 0), Ok);
  EXPECT_EQ(file.read({0x103F, 0xEF * 16 + 11, 1}, value), ErrCorruptBlob);
  patch(memo, 0x1000 + 12 + 63 * 5 + 1, std::string("\x23\x01\x00\x11", 4));  // last chunk 17
  EXPECT_EQ(file.read({0x103F, 34 * 16 + 17, 1}, value), ErrCorruptBlob);

  patch(graphic, 0x1003, std::string("\x00\x50\x00\x00", 4));  // 20480 bytes in 5 blocks
  ASSERT_EQ(file.open(graphic, true, 0), Ok);
  EXPECT_EQ(file.read({0x10FF, 20480, 1}, value), ErrCorruptBlob);
  fs::resize_file(graphic, 0x3000);  // the block now runs past the end
  EXPECT_EQ(file.read({0x10FF, 20086, 1}, value), ErrCorruptBlob);
  EXPECT_EQ(file.write(Pattern(100, 1), 1, ref, nullptr), ErrCorruptBlob);
  EXPECT_NE(LastErrorMessage().find(graphic), std::string::npos);

  patch(memo, 0, "\x02");
  EXPECT_EQ(file.open(memo, false, 0), ErrCorruptBlob) << "not a header block";
}

TEST_F(BlobScratch, TransactionsCommitAndRollBack) {
  const std::string mb = path("t.mb");
  BlobFile file;
  ASSERT_EQ(file.create(mb, 0), Ok);
  BlobRef kept, undone, later;
  {
    io::Transaction tx;
    ASSERT_EQ(tx.begin(path("t.jnl")), Ok);
    ASSERT_EQ(file.write(Pattern(3000, 1), 1, kept, &tx), Ok) << LastErrorMessage();
    ASSERT_EQ(tx.commit(), Ok);
  }
  const std::uint64_t committed = size("t.mb");
  for (bool grow : {false, true}) {
    io::Transaction tx;
    ASSERT_EQ(tx.begin(path("t.jnl")), Ok);
    ASSERT_EQ(file.release(kept, &tx), Ok);
    if (grow) {
      ASSERT_EQ(file.write(Pattern(9000, 2), 1, undone, &tx), Ok);
    }
    ASSERT_EQ(tx.rollback(), Ok);
  }
  EXPECT_EQ(size("t.mb"), committed);
  // The file changed behind the object's back: its next write must not take
  // the block it believes free.
  ASSERT_EQ(file.write(Pattern(3000, 3), 1, later, nullptr), Ok);
  std::string value;
  ASSERT_EQ(file.read(kept, value), Ok) << LastErrorMessage();
  EXPECT_EQ(value, Pattern(3000, 1));
  ASSERT_EQ(file.read(later, value), Ok);
  EXPECT_EQ(value, Pattern(3000, 3));
}

}  // namespace
