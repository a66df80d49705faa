// quarry info refuses a damaged table as quarry dump does: the same
// failure, with the engine's message naming the file.
#include <gtest/gtest.h>

#include <functional>

#include "tests/cli/run_quarry.h"
#include "tests/support/files.h"
#include "tests/support/tempdir.h"

namespace {

struct Damage {
  const char* what;
  std::function<void(std::string&)> apply;
  const char* message;
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.what; }

const Damage kDamages[] = {
    {"field size", [](std::string& b) { b[0x79] = 8; }, "field 1: size 8 is not 4"},
    {"block count", [](std::string& b) { b[0x0C] = 9; }, "the header counts 9 blocks"},
    {"block chain", [](std::string& b) { b[0x800] = 1; }, "block chain loops back to block 1"},
};

class QuarryDamaged : public testing::TestWithParam<Damage> {};

INSTANTIATE_TEST_SUITE_P(Cases, QuarryDamaged, testing::ValuesIn(kDamages),
                         [](const auto& info) {
                           std::string s = info.param.what;
                           for (char& c : s) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                           return s;
                         });

}  // namespace

TEST_P(QuarryDamaged, InfoRefusesItAsDumpDoes) {
  TempDir dir;
  const std::string t = dir / "T.DB";
  ASSERT_EQ(RunQuarryProcess({"create", t, "--fields", "N I; S A 10"}).status, 0);
  ASSERT_EQ(RunQuarryProcess({"insert", t}, "N,S\n1,one\n2,two\n").status, 0);
  std::string bytes = Slurp(t).value();
  GetParam().apply(bytes);
  Put(t, bytes);
  const QuarryRun dump = RunQuarryProcess({"dump", t});
  const QuarryRun info = RunQuarryProcess({"info", t});
  EXPECT_NE(dump.status, 0);
  EXPECT_EQ(info.status, dump.status);
  EXPECT_EQ(info.err, dump.err);
  EXPECT_NE(info.err.find(t + ": "), std::string::npos) << info.err;
  EXPECT_NE(info.err.find(GetParam().message), std::string::npos) << info.err;
  EXPECT_EQ(info.out, "");
}
