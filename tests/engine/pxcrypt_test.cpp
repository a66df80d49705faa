#include "engine/paradox/pxcrypt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/engine/pxcrypt_pxlib.h"

using namespace engine::paradox;

namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kEncryptDir = std::string(QUARRY_CORPUS_DIR) + "/paradox/encrypt/";
// The corpus tables' password (its checksum equals their header value).
constexpr char kCorpusPassword[] = "123";

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint16_t U16(const Bytes& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t U32(const Bytes& b, std::size_t at) {
  return U16(b, at) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}

Bytes RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(size);
  for (auto& x : b) x = static_cast<std::uint8_t>(gen());
  return b;
}

// The parts of a .DB file that decryption needs.
struct DbFile {
  Bytes bytes;
  std::size_t recordSize = 0, headerSize = 0, blockSize = 0;
  std::uint32_t numRecords = 0, key = 0;
  std::uint16_t firstBlock = 0, fileBlocks = 0;

  explicit DbFile(Bytes b) : bytes(std::move(b)) {
    if (bytes.size() < 0x60) return;
    recordSize = U16(bytes, 0);
    headerSize = U16(bytes, 2);
    blockSize = bytes[5] * 1024u;
    numRecords = U32(bytes, 6);
    fileBlocks = U16(bytes, 0x0C);
    firstBlock = U16(bytes, 0x0E);
    key = U32(bytes, bytes[0x39] <= 4 ? 0x25 : 0x5C);  // level 3 files keep it at 0x25
  }
  Bytes DecryptedBlock(std::uint16_t n) const {
    const std::size_t at = headerSize + (n - 1) * blockSize;
    Bytes block(bytes.begin() + at, bytes.begin() + at + blockSize);
    DecryptDbBlock(block.data(), block.size(), key, n);
    return block;
  }
};

// Follows the decrypted block chain and collects the records; fails on any
// block header that a real file could not have.
void DecryptRecords(const DbFile& db, std::vector<Bytes>* records) {
  ASSERT_GT(db.recordSize, 0u);
  ASSERT_EQ(db.bytes.size(), db.headerSize + db.fileBlocks * db.blockSize);
  std::uint16_t previous = 0;
  int seen = 0;
  for (std::uint16_t n = db.firstBlock; n != 0; ++seen) {
    ASSERT_LE(n, db.fileBlocks);
    ASSERT_LT(seen, db.fileBlocks) << "block chain loops";
    const Bytes block = db.DecryptedBlock(n);
    EXPECT_EQ(U16(block, 2), previous) << "block " << n;
    const int addDataSize = static_cast<std::int16_t>(U16(block, 4));
    ASSERT_EQ(addDataSize % static_cast<int>(db.recordSize), 0) << "block " << n;
    const int count = addDataSize / static_cast<int>(db.recordSize) + 1;
    ASSERT_LE(6 + count * db.recordSize, db.blockSize) << "block " << n;
    for (int r = 0; r < count; ++r) {
      auto first = block.begin() + 6 + r * db.recordSize;
      records->emplace_back(first, first + db.recordSize);
    }
    previous = n;
    n = U16(block, 0);
  }
}

// --- Round trips ---------------------------------------------------------

class PxCryptRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(PxCryptRoundTrip, EncryptThenDecryptRestoresTheData) {
  const std::size_t size = GetParam() * 1024u;
  for (std::uint32_t key : {0x0A25E09Au, 0x6E25449Au, 0xFFFFFFFFu, 0x00010000u}) {
    for (std::uint32_t blockNumber : {1u, 2u, 255u, 4000u}) {
      SCOPED_TRACE(testing::Message() << "key " << std::hex << key << " block " << blockNumber);
      const Bytes plain = RandomBytes(size, key ^ blockNumber);

      Bytes db = plain;
      EncryptDbBlock(db.data(), db.size(), key, blockNumber);
      EXPECT_NE(db, plain);
      Bytes neighbour = plain;
      EncryptDbBlock(neighbour.data(), neighbour.size(), key, blockNumber + 1);
      EXPECT_NE(neighbour, db) << "block number ignored";
      DecryptDbBlock(db.data(), db.size(), key, blockNumber);
      EXPECT_EQ(db, plain);

      Bytes mb = plain;
      EncryptMbData(mb.data(), mb.size(), key, 4096u * blockNumber);
      Bytes atStart = plain;
      EncryptMbData(atStart.data(), atStart.size(), key, 0);
      EXPECT_EQ(mb, atStart) << ".MB keying depends on the offset";
      EXPECT_NE(mb, plain);
      DecryptMbData(mb.data(), mb.size(), key, 4096u * blockNumber);
      EXPECT_EQ(mb, plain);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizesKiB, PxCryptRoundTrip, ::testing::Values(1, 2, 4, 8, 16, 32));

TEST(PxCrypt, EqualChunksOfABlockEncryptDifferently) {
  Bytes block(4096, 'x');
  EncryptDbBlock(block.data(), block.size(), 0x0A25E09A, 1);
  for (std::size_t chunk = 1; chunk < 16; ++chunk)
    EXPECT_NE(0, std::memcmp(block.data(), block.data() + chunk * 256, 256)) << chunk;
}

TEST(PxCrypt, BytesAfterTheLastWholeChunkAreLeftAlone) {
  const Bytes plain = RandomBytes(300, 7);
  Bytes data = plain;
  EncryptDbBlock(data.data(), data.size(), 0x0A25E09A, 1);
  EXPECT_NE(Bytes(data.begin(), data.begin() + 256), Bytes(plain.begin(), plain.begin() + 256));
  EXPECT_EQ(Bytes(data.begin() + 256, data.end()), Bytes(plain.begin() + 256, plain.end()));
}

TEST(PxCrypt, EmptyPasswordMeansNoEncryption) { EXPECT_EQ(PasswordChecksum(""), 0u); }

// --- Real files --------------------------------------------------------------

struct CorpusTable {
  const char* file;
  const char* firstRecordText;  // text the first record must contain
};

class PxCryptCorpus : public ::testing::TestWithParam<CorpusTable> {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kEncryptDir)) GTEST_SKIP() << "corpus absent";
    path_ = kEncryptDir + GetParam().file;
  }
  std::string path_;
};

TEST_P(PxCryptCorpus, HeaderHoldsThePasswordChecksum) {
  const DbFile db(ReadAll(path_));
  EXPECT_EQ(PasswordChecksum(kCorpusPassword), db.key);
  EXPECT_NE(PasswordChecksum("1234"), db.key);
  EXPECT_NE(PasswordChecksum("321"), db.key);
}

TEST_P(PxCryptCorpus, DecryptedBlocksHoldTheRecords) {
  const DbFile db(ReadAll(path_));
  std::vector<Bytes> records;
  ASSERT_NO_FATAL_FAILURE(DecryptRecords(db, &records));
  ASSERT_EQ(records.size(), db.numRecords);
  const std::string first(records[0].begin(), records[0].end());
  EXPECT_NE(first.find(GetParam().firstRecordText), std::string::npos);
}

TEST_P(PxCryptCorpus, RecordsMatchPxlib) {
#ifdef PXCRYPT_HAVE_PXLIB
  const pxcrypt_test::PxLib* px = pxcrypt_test::PxLib::Load();
  if (px == nullptr) GTEST_SKIP() << "pxlib absent";
  const DbFile db(ReadAll(path_));
  std::vector<Bytes> ours;
  ASSERT_NO_FATAL_FAILURE(DecryptRecords(db, &ours));

  pxdoc_t* doc = px->newDoc();
  ASSERT_EQ(px->openFile(doc, path_.c_str()), 0);
  ASSERT_EQ(static_cast<std::size_t>(px->recordSize(doc)), db.recordSize);
  ASSERT_EQ(static_cast<std::size_t>(px->numRecords(doc)), ours.size());
  Bytes theirs(db.recordSize);
  for (std::size_t r = 0; r < ours.size(); ++r) {
    ASSERT_NE(px->getRecord(doc, static_cast<int>(r), reinterpret_cast<char*>(theirs.data())),
              nullptr);
    EXPECT_EQ(ours[r], theirs) << "record " << r;
  }
  px->close(doc);
  px->deleteDoc(doc);
#else
  GTEST_SKIP() << "pxlib header absent";
#endif
}

INSTANTIATE_TEST_SUITE_P(Tables, PxCryptCorpus,
                         ::testing::Values(CorpusTable{"encrypted.db", "Value 1"},
                                           CorpusTable{"encrypted35.db", "Test 1"},
                                           CorpusTable{"encryptedmemo.db",
                                                       "The PARADOX File Structure"}),
                         [](const auto& info) {
                           std::string name = info.param.file;
                           return name.substr(0, name.find('.'));
                         });

// Every 4 KiB block of a decrypted .MB file starts with its type and the
// number of blocks it spans, except the blocks a multi-block blob covers; so
// the whole file can be walked from block to block.
TEST(PxCryptCorpusMemo, DecryptedMemoFileIsAWalkableBlockList) {
  const std::string path = kEncryptDir + "encryptedmemo.mb";
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "corpus absent";
  const DbFile db(ReadAll(kEncryptDir + "encryptedmemo.db"));
  Bytes mb = ReadAll(path);
  ASSERT_EQ(mb.size() % 4096, 0u);
  for (std::size_t at = 0; at < mb.size(); at += 4096) DecryptMbData(&mb[at], 4096, db.key, at);

  EXPECT_EQ(mb[0], 0) << "header block";
  std::size_t block = 1, blobs = 0;
  const std::size_t blocks = mb.size() / 4096;
  while (block < blocks) {
    const std::size_t at = block * 4096;
    const int type = mb[at];
    const std::size_t span = U16(mb, at + 1);
    ASSERT_TRUE(type == 2 || type == 3 || type == 4) << "block " << block << " type " << type;
    ASSERT_GE(span, 1u) << "block " << block;
    if (type == 2) ++blobs;
    block += span;
  }
  EXPECT_EQ(block, blocks);
  EXPECT_GT(blobs, 0u);
  const std::string firstBlob(mb.begin() + 4096, mb.begin() + 8192);
  EXPECT_NE(firstBlob.find("The PARADOX File Structure"), std::string::npos);
}

// --- pxlib as the writer -----------------------------------------------------

#ifdef PXCRYPT_HAVE_PXLIB

class PxCryptPxlibWriter : public ::testing::TestWithParam<const char*> {};

// pxlib writes a table under a password; the header must hold our checksum,
// and our decryption must give back the records it was handed.
TEST_P(PxCryptPxlibWriter, ChecksumAndBlocksMatch) {
  const pxcrypt_test::PxLib* px = pxcrypt_test::PxLib::Load();
  if (px == nullptr) GTEST_SKIP() << "pxlib absent";
  const std::string password = GetParam();
  const std::string path = ::testing::TempDir() + "pxcrypt_" +
                           std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                           std::to_string(std::hash<std::string>{}(password)) + ".db";

  constexpr int kRecordSize = 104, kRecords = 70;
  std::vector<Bytes> written;
  pxdoc_t* doc = px->newDoc();
  // pxlib takes over the field list and frees it with free().
  auto* fields = static_cast<pxfield_t*>(std::malloc(2 * sizeof(pxfield_t)));
  fields[0] = {strdup("Name"), pxfAlpha, 100, 0};
  fields[1] = {strdup("Count"), pxfLong, 4, 0};
  ASSERT_EQ(px->createFile(doc, fields, 2, path.c_str(), pxfFileTypNonIndexDB), 0);
  ASSERT_EQ(px->setParameter(doc, "password", password.c_str()), 0);
  for (int r = 0; r < kRecords; ++r) {
    written.push_back(RandomBytes(kRecordSize, r));
    ASSERT_GE(px->putRecord(doc, reinterpret_cast<char*>(written.back().data())), 0);
  }
  px->close(doc);
  px->deleteDoc(doc);

  const DbFile db(ReadAll(path));
  std::remove(path.c_str());
  EXPECT_EQ(db.key, PasswordChecksum(password));
  ASSERT_GT(db.fileBlocks, 1) << "want several blocks";
  std::vector<Bytes> records;
  ASSERT_NO_FATAL_FAILURE(DecryptRecords(db, &records));
  EXPECT_EQ(records, written);
}

INSTANTIATE_TEST_SUITE_P(Passwords, PxCryptPxlibWriter,
                         ::testing::Values("123", "a", "secret", "Mixed Case 15ch",
                                           "\xE9t\xE9 \xFC\xDF", "ab", "twenty-four characters!!"));

#endif

}  // namespace
