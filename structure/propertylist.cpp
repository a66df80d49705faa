#include "structure/propertylist.h"

#include <QDate>
#include <QLocale>
#include <QRegularExpression>
#include <QTime>

#include "engine/typenames.h"

namespace structure {

QString PropertyName(const QString& line) {
  qsizetype eq = line.indexOf('=');
  return eq < 0 ? line : line.left(eq);
}

QString PropertyValue(const QString& line) {
  qsizetype eq = line.indexOf('=');
  return eq < 0 ? QString() : line.mid(eq + 1);
}

QString YesNo(int flag) { return flag != 0 ? QStringLiteral("Yes") : QStringLiteral("No"); }

QString ParadoxTypeName(std::uint16_t code) {
  if (code < 257 || code > 273) return {};
  return QString::fromStdString(engine::FieldTypeName(code));
}

QString DbaseTypeName(std::uint16_t code) {
  if (code < 513 || code > 521) return {};
  return QString::fromStdString(engine::FieldTypeName(code));
}

QString TableRightLine(std::int32_t code) {
  switch (code) {
    case 0: return QStringLiteral("TABLE RIGHT=NO PREVILEGIES");
    case 1: return QStringLiteral("TABLE RIGHT=READ ONLY");
    case 3:
    case 7:
    case 15: return QStringLiteral("TABLE RIGHT=UPDATE");
    case 31: return QStringLiteral("TABLE RIGHT=FULL RIGHTS");
    case 255: return QStringLiteral("TABLE RIGHT=UNKNOWN");
    default: return {};
  }
}

QString FieldRightText(std::int32_t code) {
  switch (code) {
    case 0: return QStringLiteral("NO PREVILEGIES");
    case 1: return QStringLiteral("READ ONLY");
    case 31: return QStringLiteral("FULL RIGHTS");
    default: return {};
  }
}

QString FamilyKindText(std::int32_t kind) {
  switch (kind) {
    case 1: return QStringLiteral("TABLE");
    case 2: return QStringLiteral("INDEX");
    case 3: return QStringLiteral("FORM");
    case 4: return QStringLiteral("REPORT");
    case 5: return QStringLiteral("VALIDITY CHECKS");
    case 6:
    case 7: return QStringLiteral("SECONDARY INDEX");
    case 8: return QStringLiteral("BLOB FILE");
    default: return QStringLiteral("UNKNOWN");
  }
}

const QStringList& LanguageDrivers() {
  static const QStringList drivers = {
      "'ascii' ANSI=DBWINUS0",      "Latin-1 ENU=BLLT1US0",       "Latin-1 FRC=BLLT1CA0",
      "Latin-1 ISL=BLLT1IS0",       "dBASE ENU cp437=DB437US0",   "dBASE ENU cp850=DB850US0",
      "dBASE FRC cp850=DB850CF0",   "dBASE FRC cp863=DB863CF1",   "dBASE PTB cp850=DB850PT0",
      "dBASE RUS cp866=DB866ru0",   "dBASE THA cp874=DB874TH0",   "Hebrew dBASE=DBHEBREW",
      "Oracle SQL WE850=ORAWE850",  "Paradox 'ascii'=ascii",      "Paradox 'hebrew'=hebrew",
      "Paradox ANSI HEBREW=ANHEBREW", "Paradox Cyrr 866=cyrr",    "Paradox ISL 861=iceland",
      "Paradox Thai 874=thai",      "Pdox ANSI Cyrillic=ancyrr",  "SQL ROMAN8=BLROM800",
      "Sybase SQL Dic437=SYDC437",  "Sybase SQL Dic850=SYDC850",
  };
  return drivers;
}

QString LanguageDriverFor(const QString& description) {
  for (const QString& line : LanguageDrivers())
    if (PropertyName(line) == description) return PropertyValue(line);
  return {};
}

namespace {

constexpr std::int64_t kJulianDayOfDayZero = 1721425;  // the day before 0001-01-01

QLocale NumberLocale() {
  QLocale locale;
  locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
  return locale;
}


}  // namespace

// The locale's long time format without its time zone: stored times have none.
QString LongTimeFormat() {
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b"));
  format.remove(zone);
  return format.trimmed();
}

QString FormatInteger(std::int64_t value) { return QString::number(value); }

QString FormatFloat(double value) { return NumberLocale().toString(value, 'g', 15); }

QString FormatDate(std::int32_t day) {
  QDate date = QDate::fromJulianDay(kJulianDayOfDayZero + day);
  return QLocale().toString(date, QLocale::ShortFormat);
}

QString FormatTime(std::int32_t ms) {
  QTime time = QTime::fromMSecsSinceStartOfDay(ms);
  return QLocale().toString(time, LongTimeFormat());
}

QString FormatDateTime(std::int32_t day, std::int32_t ms) {
  if (ms == 0) return FormatDate(day);
  return FormatDate(day) + ' ' + FormatTime(ms);
}

}  // namespace structure
