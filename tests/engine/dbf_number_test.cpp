// Numbers of N and F fields as their ASCII text: the plain forms read in
// place give the very doubles and whole numbers that reading the text with
// std::from_chars gives, and the other forms still read.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/dbase/dbvalue.h"

using engine::dbase::ParseNumber;

namespace {

struct Read {
  bool ok = false;
  double value = 0;
  bool integral = false;
  std::int64_t whole = 0;
};

Read Parse(const std::string& text) {
  Read r;
  r.ok = ParseNumber(text.data(), text.size(), r.value, r.integral, r.whole);
  return r;
}

// What from_chars makes of a number without blanks, commas or plus signs.
Read Reference(const std::string& text) {
  Read r;
  const char* end = text.data() + text.size();
  auto d = std::from_chars(text.data(), end, r.value);
  r.ok = d.ec == std::errc() && d.ptr == end;
  if (!r.ok) return r;
  if (text.find_first_of(".eE") == std::string::npos) {
    auto i = std::from_chars(text.data(), end, r.whole);
    r.integral = i.ec == std::errc() && i.ptr == end;
  } else if (std::nearbyint(r.value) == r.value && std::fabs(r.value) < 9e15) {
    r.whole = static_cast<std::int64_t>(r.value);
    r.integral = true;
  }
  return r;
}

void ExpectSame(const std::string& text) {
  const Read got = Parse(text), want = Reference(text);
  ASSERT_EQ(got.ok, want.ok) << text;
  if (!got.ok) return;
  std::uint64_t a, b;
  std::memcpy(&a, &got.value, 8);
  std::memcpy(&b, &want.value, 8);
  EXPECT_EQ(a, b) << text << ": " << got.value << " against " << want.value;
  EXPECT_EQ(got.integral, want.integral) << text;
  if (got.integral && want.integral) {
    EXPECT_EQ(got.whole, want.whole) << text;
  }
}

}  // namespace

TEST(DbfNumbers, PlainFormsReadAsFromCharsReadsThem) {
  for (const char* text :
       {"0", "-0", "7", "-7", "12.30", "-12.30", "0.00", "-0.00", "5.", ".5", "-.5", "0.1", "0.3",
        "999999.99", "-999999.99", "99999999", "-9999999", "123456789012345", "-123456789012345",
        "12345678901234.5", "1.23456789012345", "0.000000000000001", "000000000000012",
        "9007199254740993", "1234567890123456", "12345678901234567", "123456789012345678",
        "1234567890123456789", "0.1234567890123456", "1e5", "-", ".", "-.", "1.2.3", "1-2"})
    ExpectSame(text);
}

TEST(DbfNumbers, ManyDecimalFormsReadAsFromCharsReadsThem) {
  std::uint64_t state = 12345;
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(next() % 17);
    std::string text = next() % 2 ? "-" : "";
    for (int k = 0; k < digits; ++k) text += static_cast<char>('0' + next() % 10);
    if (next() % 4) text.insert(text.size() - next() % (digits + 1), ".");
    ExpectSame(text);
    if (HasFatalFailure()) return;
  }
}

TEST(DbfNumbers, BlanksCommasSignsAndMarks) {
  double d = 0;
  bool integral = false;
  std::int64_t whole = 0;
  auto ok = [&](const std::string& t) { return ParseNumber(t.data(), t.size(), d, integral, whole); };
  ASSERT_TRUE(ok("   12.30"));
  EXPECT_EQ(d, 12.3);
  EXPECT_FALSE(integral);
  ASSERT_TRUE(ok(std::string("  -42\0\0", 7)));
  EXPECT_TRUE(integral);
  EXPECT_EQ(whole, -42);
  ASSERT_TRUE(ok("1,5"));
  EXPECT_EQ(d, 1.5);
  ASSERT_TRUE(ok("1,234.5"));
  EXPECT_EQ(d, 1234.5);
  ASSERT_TRUE(ok("+8"));
  EXPECT_EQ(whole, 8);
  ASSERT_TRUE(ok("1.5E3"));
  EXPECT_EQ(d, 1500.0);
  EXPECT_TRUE(integral);
  EXPECT_FALSE(ok("          "));
  EXPECT_FALSE(ok("**********"));
  EXPECT_FALSE(ok("12 34"));
  EXPECT_FALSE(ok("1x"));
  EXPECT_FALSE(ok("++8"));
}
