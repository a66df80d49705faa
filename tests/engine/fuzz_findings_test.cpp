// The inputs the table-family fuzzer (fuzz/) found crashing, hanging or
// reading out of bounds, kept in tests/data/fuzz/ and scanned again the way
// the fuzzer scans them: each must be read or refused cleanly (the
// sanitizer build catches what a plain build would not), and a refused
// table's message names its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "engine/errors.h"
#include "fuzz/family_scan.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

namespace {

std::vector<std::string> Findings() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(QUARRY_FUZZ_FINDINGS, ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class FuzzFinding : public testing::TestWithParam<std::string> {};
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzFinding);

INSTANTIATE_TEST_SUITE_P(Stored, FuzzFinding, testing::ValuesIn(Findings()),
                         [](const auto& info) {
                           std::string s = info.param;
                           for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return s;
                         });

}  // namespace

TEST_P(FuzzFinding, IsReadOrRefusedCleanly) {
  const auto input = Slurp(std::string(QUARRY_FUZZ_FINDINGS) + "/" + GetParam());
  ASSERT_TRUE(input);
  TempDir dir;
  const auto* data = reinterpret_cast<const std::uint8_t*>(input->data());
  const fuzz::ScanResult scan = fuzz::ScanFamily(dir.path(), fuzz::Unpack(data, input->size()));
  if (scan.open != engine::Ok) {
    EXPECT_EQ(scan.message.rfind(dir / "T.", 0), 0u) << scan.message;
  }
}

TEST(FuzzContainer, PacksAndUnpacksMembers) {
  const std::vector<fuzz::Member> members = {{"DB", "table"}, {"X0A", ""}, {"VAL", "checks"}};
  const std::string packed = fuzz::Pack(members);
  const auto* data = reinterpret_cast<const std::uint8_t*>(packed.data());
  const auto back = fuzz::Unpack(data, packed.size());
  ASSERT_EQ(back.size(), 3u);
  for (std::size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].extension, members[i].extension);
    EXPECT_EQ(back[i].bytes, members[i].bytes);
  }
  // A length past the end takes the rest; unknown extensions are skipped;
  // a repeated extension replaces the earlier member.
  const std::string odd = fuzz::Pack({{"DB", "one"}, {"EXE", "x"}, {"DB", "two"}}) +
                          std::string("PX\0\0\xFF\xFF\0\0ab", 10);
  const auto got = fuzz::Unpack(reinterpret_cast<const std::uint8_t*>(odd.data()), odd.size());
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, "two");
  EXPECT_EQ(got[1].extension, "PX");
  EXPECT_EQ(got[1].bytes, "ab");
}
