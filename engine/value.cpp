#include "engine/value.h"

#include <cmath>

namespace engine {

// Days from 0000-03-01 based civil calendar arithmetic (proleptic Gregorian).
namespace {
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe);
}
const std::int64_t kDayOne = DaysFromCivil(1, 1, 1) - 1;
}  // namespace

std::int32_t DayNumber(int year, int month, int day) {
  return static_cast<std::int32_t>(DaysFromCivil(year, month, day) - kDayOne);
}

void SplitDayNumber(std::int32_t dayNumber, int& year, int& month, int& day) {
  std::int64_t z = dayNumber + kDayOne;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2));
}

bool AsInteger(const Value& v, std::int64_t& out) {
  if (auto i = std::get_if<std::int64_t>(&v)) {
    out = *i;
    return true;
  }
  if (auto d = std::get_if<double>(&v)) {
    if (std::nearbyint(*d) != *d || std::fabs(*d) > 9.2e18) return false;
    out = static_cast<std::int64_t>(*d);
    return true;
  }
  return false;
}

bool AsNumber(const Value& v, double& out) {
  if (auto d = std::get_if<double>(&v)) {
    out = *d;
    return true;
  }
  if (auto i = std::get_if<std::int64_t>(&v)) {
    out = static_cast<double>(*i);
    return true;
  }
  return false;
}

}  // namespace engine
