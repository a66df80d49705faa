// Text renderings shared by the structure extraction: property lists, flag
// and kind texts, field type names, the language driver list, and the
// locale-dependent forms of numbers, dates and times.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

namespace structure {

// Ordered "NAME=value" lines; a line splits into name and value at its
// first '=' (the value may hold '=' or '>').
using PropertyList = QStringList;

// The name part of a line (before its first '='), and the value part.
QString PropertyName(const QString& line);
QString PropertyValue(const QString& line);

// "Yes" for any non-zero flag, "No" for zero.
QString YesNo(int flag);

// The name of a physical field type for a table of this driver type
// ("PARADOX" or "DBASE"): "" for a code that driver does not have.
QString ParadoxTypeName(std::uint16_t code);
QString DbaseTypeName(std::uint16_t code);

// The whole "TABLE RIGHT=..." line for a table right code, "" when that
// code gets no line.
QString TableRightLine(std::int32_t code);
// The text of a field right code, "" when that code gets no line.
QString FieldRightText(std::int32_t code);
// The text of a family member kind ("TABLE", "INDEX", ... "UNKNOWN").
QString FamilyKindText(std::int32_t kind);

// The language drivers offered when a table is created: "description=driver"
// lines, built once for the whole process.
const QStringList& LanguageDrivers();
// The driver name of a description of that list, "" when it is not there.
QString LanguageDriverFor(const QString& description);

// Renderings in the default locale (QLocale()).
QString FormatInteger(std::int64_t value);
// Up to 15 significant digits, the locale's decimal separator, no group
// separators, an exponent only where the general format needs one.
QString FormatFloat(double value);
// day: 1 = 0001-01-01; the locale's short date format.
QString FormatDate(std::int32_t day);
// ms since midnight; the locale's long time format (without a time zone).
QString FormatTime(std::int32_t ms);
// The locale's long time format without its time zone (stored times have none).
QString LongTimeFormat();
// Short date, a blank and long time; the time left out at midnight.
QString FormatDateTime(std::int32_t day, std::int32_t ms);

}  // namespace structure
