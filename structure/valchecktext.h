// A field's validity check as the texts a user reads and types - required
// flag, picture, minimum, maximum, default - and back into the check
// record. Dates, times and numbers follow the system's regional settings;
// date, time and timestamp fields take "TODAY" (and times and timestamps
// "NOW") in any letter case.
#pragma once

#include <QString>
#include <cstdint>

#include "engine/records.h"

namespace structure {

struct ValCheckTexts {
  bool required = false;
  QString picture, minimum, maximum, defaultValue;
};

// The texts of `check` on a field of physical type `type` (text values in
// code page `codePage`). A value text is made only when its has-word is set.
ValCheckTexts FormatValCheck(std::uint16_t type, const engine::ValCheckDesc& check,
                             int codePage = 437);

// Fills `check` from texts (an empty text: no such value). False when a
// text does not convert; `check` may then be partly written and must not
// be used. BCD values are rounded to `decimals` places.
bool ParseValCheck(std::uint16_t type, engine::ValCheckDesc& check, bool required, int decimals,
                   const QString& picture, const QString& maximum, const QString& minimum,
                   const QString& defaultValue, int codePage = 437);

}  // namespace structure
