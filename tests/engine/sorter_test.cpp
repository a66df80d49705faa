// The external sorter gives back every record it was given, ordered by its
// comparison and, among equal records, in the order they were added -
// whether the records fit its buffer or go through runs on disk, and
// whether they come in order, in no order, or in order for a while only.
#include "engine/io/sorter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

using namespace engine;

namespace {

// A record: a key, then the number of its place in the input.
using Record = std::array<std::uint8_t, 8>;

Record Make(std::uint32_t key, std::uint32_t seq) {
  Record r;
  for (int i = 0; i < 4; ++i) {
    r[i] = static_cast<std::uint8_t>(key >> (24 - 8 * i));
    r[4 + i] = static_cast<std::uint8_t>(seq >> (24 - 8 * i));
  }
  return r;
}

int CompareKeys(const std::uint8_t* a, const std::uint8_t* b) { return std::memcmp(a, b, 4); }

struct Input {
  const char* name;
  std::size_t count;
  std::function<std::uint32_t(std::uint32_t i)> key;
};

void PrintTo(const Input& in, std::ostream* os) { *os << in.name; }

std::uint32_t Scattered(std::uint32_t i) { return (i * 2654435761u) >> 22; }  // duplicates too

// The buffer holds 64 records: counts above it make runs.
constexpr std::size_t kBufferRecords = 64;

class SorterOrder : public ::testing::TestWithParam<Input> {};

TEST_P(SorterOrder, GivesEveryRecordBackStablySorted) {
  const Input& in = GetParam();
  std::vector<Record> given;
  for (std::uint32_t i = 0; i < in.count; ++i) given.push_back(Make(in.key(i), i));
  std::vector<Record> expected = given;
  std::stable_sort(expected.begin(), expected.end(), [](const Record& a, const Record& b) {
    return CompareKeys(a.data(), b.data()) < 0;
  });

  io::ExternalSorter sorter(sizeof(Record), CompareKeys,
                            std::filesystem::temp_directory_path().string(),
                            kBufferRecords * sizeof(Record));
  for (const Record& r : given) ASSERT_EQ(sorter.add(r.data()), Ok);
  EXPECT_EQ(sorter.count(), in.count);
  std::vector<Record> out;
  for (;;) {
    const std::uint8_t* p = nullptr;
    bool end = false;
    ASSERT_EQ(sorter.next(p, end), Ok);
    if (end) break;
    Record r;
    std::memcpy(r.data(), p, r.size());
    out.push_back(r);
  }
  EXPECT_TRUE(out == expected) << in.name << ": " << out.size() << " records back of "
                               << expected.size();
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, SorterOrder,
    ::testing::Values(
        Input{"Empty", 0, [](std::uint32_t) { return 0u; }},
        Input{"InOrderInBuffer", 50, [](std::uint32_t i) { return i / 3; }},
        Input{"ScatteredInBuffer", 50, Scattered},
        Input{"InOrderAcrossRuns", 1000, [](std::uint32_t i) { return i / 3; }},
        Input{"AllEqualAcrossRuns", 500, [](std::uint32_t) { return 7u; }},
        Input{"ScatteredAcrossRuns", 1000, Scattered},
        Input{"DescendingAcrossRuns", 1000, [](std::uint32_t i) { return 5000 - i; }},
        // In order for several runs, then one record out of place, then in
        // order again: the runs written before must still be merged.
        Input{"OutOfOrderAfterRuns", 1000, [](std::uint32_t i) { return i == 700 ? 10u : i; }},
        Input{"OutOfOrderLastRecord", 1000, [](std::uint32_t i) { return i == 999 ? 0u : i + 1; }}),
    [](const ::testing::TestParamInfo<Input>& info) { return std::string(info.param.name); });

}  // namespace
