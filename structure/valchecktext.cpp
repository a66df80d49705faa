#include "structure/valchecktext.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include "engine/valchecks.h"
#include "engine/value.h"
#include "structure/propertylist.h"

namespace structure {

namespace {

using engine::Value;

bool Dated(std::uint16_t t) {
  return t == engine::pxDate || t == engine::pxTime || t == engine::pxTimestamp;
}

QString ValueText(const Value& v) {
  if (auto d = std::get_if<double>(&v)) return FormatFloat(*d);
  if (auto i = std::get_if<std::int64_t>(&v)) return FormatInteger(*i);
  if (auto s = std::get_if<std::string>(&v)) return QString::fromStdString(*s);
  if (auto d = std::get_if<engine::DateValue>(&v)) return FormatDate(d->day);
  if (auto t = std::get_if<engine::TimeValue>(&v)) return FormatTime(t->ms);
  if (auto ts = std::get_if<engine::TimestampValue>(&v)) {
    const auto ms = static_cast<std::int64_t>(ts->ms);
    return FormatDateTime(static_cast<std::int32_t>(ms / 86400000), static_cast<std::int32_t>(ms % 86400000));
  }
  if (auto b = std::get_if<engine::BcdValue>(&v)) return FormatFloat(std::stod(b->text));
  if (auto l = std::get_if<bool>(&v)) return *l ? "True" : "False";
  return {};
}

QString PartText(std::uint16_t type, std::uint16_t has, const std::array<std::uint8_t, 256>& area,
                 int codePage) {
  if (has == 0) return {};
  if (Dated(type) && has == engine::chkToday) return "TODAY";
  if (Dated(type) && has == engine::chkNow) return "NOW";
  if (type == engine::pxLogical) return area[0] == 1 ? "True" : "False";
  Value v;
  if (engine::CheckAreaToValue(type, area, codePage, v) != engine::Ok) {
    engine::ClearLastError();
    return {};
  }
  return ValueText(v);
}

std::int32_t Day(const QDate& d) { return engine::DayNumber(d.year(), d.month(), d.day()); }

// A date in the short format, with a four-digit year or a two-digit one
// (1930 to 2029, as the short format shows them), or in ISO form.
bool ReadDate(const QString& text, std::int32_t& day) {
  QString format = QLocale().dateFormat(QLocale::ShortFormat);
  QDate d;
  if (!format.contains("yyyy")) {
    d = QLocale().toDate(text, QString(format).replace("yy", "yyyy"));
    if (!d.isValid()) {
      d = QLocale().toDate(text, format);
      if (d.isValid() && d.year() < 1930) d = d.addYears(100);
    }
  } else {
    d = QLocale().toDate(text, format);
  }
  if (!d.isValid()) d = QDate::fromString(text, Qt::ISODate);
  if (!d.isValid()) return false;
  day = Day(d);
  return true;
}

bool ReadTime(const QString& text, std::int32_t& ms) {
  QTime t = QLocale().toTime(text, LongTimeFormat());
  if (!t.isValid()) t = QLocale().toTime(text, QLocale::ShortFormat);
  if (!t.isValid()) t = QTime::fromString(text, Qt::ISODateWithMs);
  if (!t.isValid()) return false;
  ms = t.msecsSinceStartOfDay();
  return true;
}

// One value text into its has-word and area; false when it does not convert.
bool ParsePart(std::uint16_t type, int decimals, const QString& text, std::uint16_t& has,
               std::array<std::uint8_t, 256>& area, int codePage) {
  area.fill(0);
  has = text.isEmpty() ? engine::chkNone : 0xFFFF;
  if (text.isEmpty()) return true;
  const QString upper = text.trimmed().toUpper();
  Value v;
  bool ok = true;
  switch (type) {
    case engine::pxAlpha: v = text.toStdString(); break;
    case engine::pxNumber: case engine::pxMoney: v = QLocale().toDouble(text, &ok); break;
    case engine::pxShort: case engine::pxLong: case engine::pxAutoinc:
      v = static_cast<std::int64_t>(QLocale().toLongLong(text, &ok));
      break;
    case engine::pxBcd: {
      const double d = QLocale().toDouble(text, &ok);
      v = engine::BcdValue{QString::number(d, 'f', decimals).toStdString()};
      break;
    }
    case engine::pxDate: {
      if (upper == "TODAY") return has = engine::chkToday, true;
      std::int32_t day = 0;
      ok = ReadDate(text, day);
      v = engine::DateValue{day};
      break;
    }
    case engine::pxTime: {
      if (upper == "TODAY") return has = engine::chkToday, true;
      if (upper == "NOW") return has = engine::chkNow, true;
      std::int32_t ms = 0;
      ok = ReadTime(text, ms);
      v = engine::TimeValue{ms};
      break;
    }
    case engine::pxTimestamp: {
      if (upper == "TODAY") return has = engine::chkToday, true;
      if (upper == "NOW") return has = engine::chkNow, true;
      const QString t = text.trimmed();
      const int space = t.indexOf(' ');
      std::int32_t day = 0, ms = 0;
      ok = ReadDate(space < 0 ? t : t.left(space), day) &&
           (space < 0 || ReadTime(t.mid(space + 1), ms));
      v = engine::TimestampValue{day * 86400000.0 + ms};
      break;
    }
    default:
      return true;  // only the flags
  }
  return ok && engine::ValueToCheckArea(type, v, codePage, area) == engine::Ok;
}

}  // namespace

ValCheckTexts FormatValCheck(std::uint16_t type, const engine::ValCheckDesc& c, int codePage) {
  ValCheckTexts t;
  t.required = c.required != 0;
  t.picture = QString::fromStdString(c.picture);
  if (type != engine::pxLogical) {
    t.minimum = PartText(type, c.hasMin, c.minValue, codePage);
    t.maximum = PartText(type, c.hasMax, c.maxValue, codePage);
  }
  t.defaultValue = PartText(type, c.hasDefault, c.defaultValue, codePage);
  return t;
}

bool ParseValCheck(std::uint16_t type, engine::ValCheckDesc& c, bool required, int decimals,
                   const QString& picture, const QString& maximum, const QString& minimum,
                   const QString& defaultValue, int codePage) {
  c.required = required ? -1 : 0;
  c.picture = picture.left(175).toStdString();
  if (type == engine::pxLogical) {
    c.hasMin = c.hasMax = engine::chkNone;
    c.minValue = c.maxValue = c.defaultValue = {};
    c.hasDefault = defaultValue.isEmpty() ? engine::chkNone : 0xFFFF;
    c.defaultValue[0] = defaultValue.trimmed().toUpper() == "TRUE" ? 1 : 0;
    c.picture.clear();
    return true;
  }
  return ParsePart(type, decimals, minimum, c.hasMin, c.minValue, codePage) &&
         ParsePart(type, decimals, maximum, c.hasMax, c.maxValue, codePage) &&
         ParsePart(type, decimals, defaultValue, c.hasDefault, c.defaultValue, codePage);
}

}  // namespace structure
