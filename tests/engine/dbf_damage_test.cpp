// Damaged dBASE tables: headers whose counts, lengths and types are wrong,
// files cut short, memo pointers and memo blocks that lead nowhere. A table
// that can be read is read (counts clamped to the file); one that cannot
// fails to open with a message, never a crash or a read past the file.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/dbase/dbtable.h"
#include "tests/support/dbtables.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

using namespace engine;
using namespace engine::dbase;
using dbtables::Row;

namespace {

std::string Corpus(const std::string& file) {
  const std::string dir = CorpusDir("dbase");
  return dir.empty() ? "" : dir + "/" + file;
}

#define REQUIRE_CORPUS() \
  if (CorpusDir("dbase").empty()) GTEST_SKIP() << "no dBASE corpus"

void Put16(std::string& b, std::size_t at, unsigned v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

Result OpenCode(const std::string& path, std::unique_ptr<DbaseTable>* out = nullptr) {
  std::unique_ptr<DbaseTable> t;
  const Result r = DbaseTable::Open(path, {}, t);
  if (out) *out = std::move(t);
  return r;
}

// Reads every record of an open table; failures must be damage reports.
int ReadAll(DbaseTable& t) {
  int failures = 0;
  Row row;
  for (std::uint32_t i = 0; i < t.recordCount(); ++i) {
    const Result r = t.readRecord(i, row);
    if (r == Ok) continue;
    ++failures;
    EXPECT_TRUE(r == ErrCorruptBlob || r == ErrIo) << r << " " << LastErrorMessage();
  }
  return failures;
}

class DbfDamage : public testing::Test {
 protected:
  void SetUp() override {
    if (CorpusDir("dbase").empty()) GTEST_SKIP() << "no dBASE corpus";
    original = *Slurp(Corpus("infused/dbase_83.dbf"));
    memo = *Slurp(Corpus("infused/dbase_83.dbt"));
    path = dir / "T.DBF";
    Put(dir / "T.DBT", memo);
  }
  Result With(const std::string& bytes, std::unique_ptr<DbaseTable>* out = nullptr) {
    Put(path, bytes);
    return OpenCode(path, out);
  }

  TempDir dir;
  std::string original, memo, path;
  // dbase_83: header 513 bytes, records of 805 bytes, 67 of them, memo
  // pointer (DESC) at offset 780 of a record.
  static constexpr std::size_t kHeader = 513, kRecord = 805, kMemoAt = 780;
};

TEST_F(DbfDamage, CountsAndLengthsThatCannotBeTrueFailTheOpen) {
  std::string b = original;
  EXPECT_EQ(With(""), ErrCorruptHeader) << "empty file";
  EXPECT_EQ(With(original.substr(0, 20)), ErrCorruptHeader) << "cut inside the fixed header";
  EXPECT_EQ(With(original.substr(0, 300)), ErrCorruptHeader) << "cut inside the descriptors";
  b = original, Put16(b, 8, 0xFFFF);
  EXPECT_EQ(With(b), ErrCorruptHeader) << "header length past the end";
  EXPECT_NE(LastErrorMessage().find("header length"), std::string::npos) << LastErrorMessage();
  b = original, Put16(b, 8, 20);
  EXPECT_EQ(With(b), ErrCorruptHeader) << "header length below the fixed header";
  b = original, Put16(b, 10, 0);
  EXPECT_EQ(With(b), ErrCorruptHeader) << "record length 0";
  b = original, Put16(b, 10, 100);
  EXPECT_EQ(With(b), ErrCorruptHeader) << "record length below the fields' sum";
  EXPECT_NE(LastErrorMessage().find("record length"), std::string::npos) << LastErrorMessage();
  b = original, b[32 + 11] = 'Z';
  EXPECT_EQ(With(b), ErrUnknownFieldType) << "unknown type";
  EXPECT_NE(LastErrorMessage().find("'Z'"), std::string::npos) << LastErrorMessage();
  b = original, b[32 + 32 * 13 + 16] = 3;  // TAXABLE, L, given 3 bytes
  EXPECT_EQ(With(b), ErrCorruptHeader) << "logical of 3 bytes";
  b = original, b[0] = 0x07;
  EXPECT_EQ(With(b), ErrCorruptHeader) << "unknown version";
}

TEST_F(DbfDamage, EncryptedTablesAreReportedAsSuch) {
  std::string b = original;
  b[15] = 1;
  EXPECT_EQ(With(b), ErrNotSupported);
  EXPECT_NE(LastErrorMessage().find("encrypted"), std::string::npos) << LastErrorMessage();
}

TEST_F(DbfDamage, RecordCountsAreClampedToTheFile) {
  std::unique_ptr<DbaseTable> t;
  std::string b = original;
  Put32(b, 4, 0xFFFFFFFF);
  ASSERT_EQ(With(b, &t), Ok) << LastErrorMessage();
  EXPECT_EQ(t->recordCount(), 67u);
  EXPECT_EQ(ReadAll(*t), 0);
  // Cut inside record 11: ten whole records remain.
  ASSERT_EQ(With(original.substr(0, kHeader + 10 * kRecord + 300), &t), Ok);
  EXPECT_EQ(t->recordCount(), 10u);
  EXPECT_EQ(ReadAll(*t), 0);
  Row row;
  EXPECT_EQ(t->readRecord(10, row), ErrEndOfList);
  // No end mark, and junk after the last record.
  ASSERT_EQ(With(original.substr(0, original.size() - 1) + "junk", &t), Ok);
  EXPECT_EQ(t->recordCount(), 67u);
  // A record length longer than the fields: the stride is the header's.
  b = original, Put16(b, 10, kRecord + 5);
  ASSERT_EQ(With(b, &t), Ok);
  EXPECT_EQ(t->recordCount(), (original.size() - kHeader) / (kRecord + 5));
  // A header length that leaves no room for records.
  b = original, Put16(b, 8, static_cast<unsigned>(original.size()));
  ASSERT_EQ(With(b, &t), Ok);
  EXPECT_EQ(t->recordCount(), 0u);
}

TEST_F(DbfDamage, TerminatorsMissingZeroedOrFollowedByJunk) {
  std::unique_ptr<DbaseTable> t;
  std::string b = original;
  b[kHeader - 1] = 0;  // zeroed terminator
  ASSERT_EQ(With(b, &t), Ok) << LastErrorMessage();
  EXPECT_EQ(t->fields().size(), 15u);
  // Garbage after the NUL of a name, and in reserved bytes.
  b = original;
  b[32 + 3] = 0, b[32 + 4] = 'x', b[32 + 20] = 0x55;
  ASSERT_EQ(With(b, &t), Ok);
  EXPECT_EQ(t->fields()[0].name, "ID");
  EXPECT_EQ(ReadAll(*t), 0);
}

TEST_F(DbfDamage, MemoPointersAndBlocksThatLeadNowhere) {
  std::unique_ptr<DbaseTable> t;
  std::string b = original;
  b.replace(kHeader + kMemoAt, 10, "9999999999");  // past the memo file
  b.replace(kHeader + kRecord + kMemoAt, 10, "   12abc  ");
  ASSERT_EQ(With(b, &t), Ok);
  Row row;
  EXPECT_EQ(t->readRecord(0, row), ErrCorruptBlob);
  EXPECT_NE(LastErrorMessage().find("record 1"), std::string::npos) << LastErrorMessage();
  EXPECT_NE(LastErrorMessage().find("DESC"), std::string::npos) << LastErrorMessage();
  EXPECT_EQ(t->readRecord(1, row), ErrCorruptBlob);
  EXPECT_EQ(t->readRecord(2, row), Ok);  // the rest reads
  // A memo file cut short: values that ran into the lost part end with it.
  Put(dir / "T.DBT", memo.substr(0, 2000));
  ASSERT_EQ(With(original, &t), Ok);
  ReadAll(*t);
  // A memo file too short to hold a header: the records still read.
  Put(dir / "T.DBT", "ab");
  ASSERT_EQ(With(original, &t), Ok);
  EXPECT_TRUE(t->memoMissing());
  EXPECT_EQ(ReadAll(*t), 0);
}

TEST(DbfDamageMemo, LaterMemoBlocksWhoseLengthRunsPastTheFile) {
  REQUIRE_CORPUS();
  TempDir dir;
  const std::string path = dbtables::CopyInto(
      dir.path(), {Corpus("infused/dbase_8b.dbf"), Corpus("infused/dbase_8b.dbt")});
  std::string memo = *Slurp(dir / "dbase_8b.dbt");
  ASSERT_EQ(static_cast<unsigned char>(memo[512]), 0xFF);
  Put32(memo, 512 + 4, 0x7FFFFFF0);
  Put(dir / "dbase_8b.dbt", memo);
  auto t = dbtables::OpenOk(path);
  ASSERT_TRUE(t);
  Row row;
  EXPECT_EQ(t->readRecord(0, row), ErrCorruptBlob);
  EXPECT_NE(LastErrorMessage().find("runs past the end"), std::string::npos) << LastErrorMessage();
}

// Random damage to the headers and first records of corpus tables: every
// copy either opens and reads (records failing only with damage reports),
// or fails to open with a damage report.
TEST(DbfDamageFuzz, RandomBytesInHeadersNeverCrash) {
  REQUIRE_CORPUS();
  const std::vector<std::vector<std::string>> tables = {
      {"infused/dbase_83.dbf", "infused/dbase_83.dbt"},
      {"infused/dbase_8b.dbf", "infused/dbase_8b.dbt"},
      {"phpxbase/dBaseVII.dbf", "phpxbase/dBaseVII.dbt"},
      {"infused/dbase_30.dbf", "infused/dbase_30.fpt"},
      {"infused/dbase_31.dbf"},
      {"infused/dbase_02.dbf"},
  };
  std::mt19937 random(1234);
  TempDir dir;
  for (const auto& files : tables) {
    std::vector<std::string> sources;
    for (const auto& f : files) sources.push_back(Corpus(f));
    const std::string path = dbtables::CopyInto(dir.path(), sources);
    const std::string original = *Slurp(path);
    const std::string memo =
        files.size() > 1 ? *Slurp(dir / std::filesystem::path(files[1]).filename().string()) : "";
    for (int round = 0; round < 150; ++round) {
      std::string b = original;
      const int flips = 1 + static_cast<int>(random() % 6);
      for (int k = 0; k < flips; ++k) {
        const std::size_t at = random() % std::min<std::size_t>(b.size(), 1200);
        b[at] = static_cast<char>(random() % 4 == 0 ? 0xFF : random() % 256);
      }
      Put(path, b);
      if (!memo.empty() && round % 3 == 0) {
        std::string m = memo;
        for (int k = 0; k < 8; ++k) m[random() % m.size()] = static_cast<char>(random() % 256);
        Put(dir / std::filesystem::path(files[1]).filename().string(), m);
      }
      std::unique_ptr<DbaseTable> t;
      const Result r = DbaseTable::Open(path, {}, t);
      if (r != Ok) {
        EXPECT_TRUE(r == ErrCorruptHeader || r == ErrUnknownFieldType || r == ErrNotSupported)
            << files[0] << " round " << round << ": " << r << " " << LastErrorMessage();
        continue;
      }
      Row row;
      for (std::uint32_t i = 0; i < t->recordCount(); ++i) {
        const Result rr = t->readRecord(i, row);
        EXPECT_TRUE(rr == Ok || rr == ErrCorruptBlob)
            << files[0] << " round " << round << ": " << LastErrorMessage();
      }
    }
    if (!memo.empty()) Put(dir / std::filesystem::path(files[1]).filename().string(), memo);
  }
}

}  // namespace
