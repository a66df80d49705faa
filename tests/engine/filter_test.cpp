// The filter expressions of a table component: which records pass, and how
// invalid expressions are reported.
#include <gtest/gtest.h>

#include "engine/dataset/filter.h"

using namespace engine;

namespace {

FieldDesc Field(std::uint16_t number, const std::string& name, std::uint16_t type) {
  FieldDesc f;
  f.number = number;
  f.name = name;
  f.type = type;
  return f;
}

const std::vector<FieldDesc>& Fields() {
  static const std::vector<FieldDesc> fields = {
      Field(1, "Id", pxLong),         Field(2, "Name", pxAlpha),     Field(3, "Home City", pxAlpha),
      Field(4, "Born", pxDate),       Field(5, "Score", pxNumber),   Field(6, "Active", pxLogical),
      Field(7, "Starts", pxTime),     Field(8, "Seen", pxTimestamp), Field(9, "Photo", pxBinary),
      Field(10, "Total", pxBcd)};
  return fields;
}

Value Day(int y, int m, int d) { return DateValue{DayNumber(y, m, d)}; }
Value Clock(int h, int m, int s = 0, int ms = 0) { return TimeValue{((h * 60 + m) * 60 + s) * 1000 + ms}; }
Value Stamp(int y, int mo, int d, int h, int mi, int s) {
  return TimestampValue{DayNumber(y, mo, d) * 86400000.0 + ((h * 60 + mi) * 60 + s) * 1000.0};
}

const std::vector<std::vector<Value>>& Records() {
  using S = std::string;
  using I = std::int64_t;
  static const std::vector<std::vector<Value>> records = {
      {I{1}, S("Smith"), S("Paris"), Day(1980, 5, 1), 10.5, true, Clock(8, 30),
       Stamp(2024, 1, 1, 12, 0, 0), Value{}, BcdValue{"100.50"}},
      {I{2}, S("Smythe"), S("London"), Day(1975, 12, 31), 7.0, false, Clock(23, 59, 59, 500),
       Stamp(2023, 12, 31, 23, 59, 59), Value{}, BcdValue{"-3.00"}},
      {I{3}, S("Jones"), S("Paris"), Value{}, 12.0, true, Value{}, Value{}, Value{}, Value{}},
      {I{4}, S("O'Brien"), S("Dublin"), Day(1990, 1, 15), Value{}, Value{}, Clock(0, 0), Value{},
       Value{}, BcdValue{"0.00"}},
      {I{5}, S("smith"), Value{}, Day(2000, 2, 29), 3.25, false, Clock(12, 0), Value{}, Value{},
       BcdValue{"7.25"}},
  };
  return records;
}

std::vector<int> Passing(const std::string& text, const FilterOptions& options = {}) {
  RecordFilter f;
  Result r = RecordFilter::Compile(text, Fields(), options, f);
  EXPECT_EQ(r, Ok) << text << ": " << LastErrorMessage();
  std::vector<int> ids;
  for (const auto& rec : Records())
    if (f.matches(rec)) ids.push_back(static_cast<int>(std::get<std::int64_t>(rec[0])));
  return ids;
}

struct Passes {
  std::string text;
  std::vector<int> ids;
};

class FilterPasses : public testing::TestWithParam<Passes> {};

}  // namespace

TEST_P(FilterPasses, TheRightRecords) { EXPECT_EQ(Passing(GetParam().text), GetParam().ids); }

INSTANTIATE_TEST_SUITE_P(
    Expressions, FilterPasses,
    testing::Values(
        Passes{"", {1, 2, 3, 4, 5}}, Passes{"  ", {1, 2, 3, 4, 5}},
        // Texts: a blank differs from every value, and equals ''.
        Passes{"[Home City] = 'Paris'", {1, 3}}, Passes{"[home city] <> 'Paris'", {2, 4, 5}},
        Passes{"[Home City] = ''", {5}}, Passes{"[Home City] = NULL", {5}},
        Passes{"Name = 'Sm*'", {1, 2}}, Passes{"Name <> 'Sm*'", {3, 4, 5}},
        Passes{"Name = 'Smith*'", {1}}, Passes{"Name = 'O''Brien'", {4}},
        Passes{"Name > 'Smith'", {2, 5}}, Passes{"Name != 'Jones'", {1, 2, 4, 5}},
        // Numbers, written in any form; a literal on the left reads mirrored.
        Passes{"Score > 7", {1, 3}}, Passes{"Score >= 7", {1, 2, 3}},
        Passes{"Score < 7", {5}}, Passes{"Score <= 10.5", {1, 2, 5}},
        Passes{"7 < Score", {1, 3}}, Passes{"Id >= -1 and Id < 2.5e0", {1, 2}},
        Passes{"Total < 1", {2, 4}}, Passes{"Total = '7.25'", {5}},
        // Dates, times and timestamps as quoted text.
        Passes{"Born < '1980-05-01'", {2}}, Passes{"Born >= '5/1/1980'", {1, 4, 5}},
        Passes{"Born = '2000-02-29'", {5}}, Passes{"Born = NULL", {3}},
        Passes{"Born <> null", {1, 2, 4, 5}}, Passes{"Starts < '12:00'", {1, 4}},
        Passes{"Starts > '23:59:59.4'", {2}}, Passes{"Seen > '2023-12-31 23:59'", {1, 2}},
        Passes{"Seen >= '2024-01-01'", {1}},
        // Logicals.
        Passes{"Active = true", {1, 3}}, Passes{"Active = 'F'", {2, 5}},
        Passes{"not Active = true", {2, 4, 5}},
        // Fields with fields.
        Passes{"Score > Id", {1, 2, 3}}, Passes{"Name = [Home City]", {}},
        // and binds tighter than or; not tighter than and.
        Passes{"Score > 5 and [Home City] = 'Paris' or Id = 5", {1, 3, 5}},
        Passes{"Score > 5 and ([Home City] = 'London' or Id = 5)", {2}},
        Passes{"Id = 1 or Id = 2 and Id = 3", {1}}, Passes{"not (Id > 2) and not Id = 1", {2}},
        Passes{"NOT ((Id = 1) OR (Id = 2))", {3, 4, 5}}));

TEST(FilterOptions, CaseAndPartialMatching) {
  FilterOptions nocase;
  nocase.caseInsensitive = true;
  EXPECT_EQ(Passing("Name = 'sm*'", nocase), (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(Passing("Name = 'SMITH'", nocase), (std::vector<int>{1, 5}));
  FilterOptions literal;
  literal.noPartialCompare = true;
  EXPECT_EQ(Passing("Name = 'Sm*'", literal), (std::vector<int>{}));
}

namespace {

struct Refusal {
  std::string text;
  std::string message;
};

class FilterRefusals : public testing::TestWithParam<Refusal> {};

}  // namespace

TEST_P(FilterRefusals, SayWhatAndWhere) {
  RecordFilter f;
  EXPECT_EQ(RecordFilter::Compile(GetParam().text, Fields(), {}, f), ErrInvalidFilter)
      << GetParam().text;
  EXPECT_EQ(LastErrorMessage(), "Filter \"" + GetParam().text + "\": " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Expressions, FilterRefusals,
    testing::Values(
        Refusal{"Name = ", "expected a field or a value at the end"},
        Refusal{"Nmae = 'x'", "the table has no field \"Nmae\" at column 1"},
        Refusal{"Name = = 'x'", "expected a field or a value, found \"=\" at column 8"},
        Refusal{"Name =< 'x'", "expected a field or a value, found \"<\" at column 7"},
        Refusal{"Name 'a'", "expected a comparison operator (= <> < > <= >=) at column 6"},
        Refusal{"Name ! 'x'", "\"!\" is not an operator (use <> or not) at column 6"},
        Refusal{"Name = 'a' Score = 1", "expected and, or or the end at column 12"},
        Refusal{"(Name = 'a'", "expected ) at the end"},
        Refusal{"Name = 'x' and", "expected a field or a value at the end"},
        Refusal{"Name = 'x' & Id = 1", "unexpected character '&' at column 12"},
        Refusal{"'a' = 'b'", "a comparison needs a field at column 1"},
        Refusal{"Name = 'abc", "text without its closing quote at column 8"},
        Refusal{"[Name = 'x'", "field name without its closing ] at column 1"},
        Refusal{"Id = 12abc", "malformed number at column 8"},
        Refusal{"Score < NULL", "NULL is compared only with = or <> at column 9"},
        Refusal{"Score > 'abc'", "\"abc\" is not a number for field \"Score\" at column 9"},
        Refusal{"Name = true",
                "\"true\" is not a text (put texts in single quotes) for field \"Name\" at column 8"},
        Refusal{"Born = '2024-02-30'",
                "\"2024-02-30\" is not a date (YYYY-MM-DD or M/D/YYYY) for field \"Born\" at "
                "column 8"},
        Refusal{"Starts = '25:00'",
                "\"25:00\" is not a time (HH:MM[:SS]) for field \"Starts\" at column 10"},
        Refusal{"Active = 'maybe'",
                "\"maybe\" is not true or false for field \"Active\" at column 10"},
        Refusal{"Photo = 'x'", "field \"Photo\" cannot be compared at column 1"},
        Refusal{"Name = Score",
                "fields \"Name\" and \"Score\" hold different kinds of values at column 8"}));
