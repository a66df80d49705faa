#include "structure/inifile.h"

#include <QFile>
#include <QSaveFile>

namespace structure {

namespace {

bool Same(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

}  // namespace

IniFile::IniFile(const QString& path) : path_(path) {
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) parse(QString::fromUtf8(file.readAll()));
}

void IniFile::parse(const QString& text) {
  sections_.push_back({QString(), {}});
  for (QString line : text.split('\n')) {
    if (line.endsWith('\r')) line.chop(1);
    const QString trimmed = line.trimmed();
    if (trimmed.startsWith('[') && trimmed.endsWith(']')) {
      sections_.push_back({trimmed.mid(1, trimmed.size() - 2), {}});
      continue;
    }
    const int eq = line.indexOf('=');
    if (eq > 0 && !trimmed.startsWith(';'))
      sections_.back().lines.push_back({line.left(eq).trimmed(), line.mid(eq + 1)});
    else
      sections_.back().lines.push_back({QString(), line});
  }
  // The split leaves one empty piece after the last line end.
  auto& last = sections_.back().lines;
  if (!last.empty() && last.back().key.isEmpty() && last.back().text.isEmpty()) last.pop_back();
}

const IniFile::Section* IniFile::find(const QString& section) const {
  for (const Section& s : sections_)
    if (!s.name.isNull() && Same(s.name, section)) return &s;
  return nullptr;
}

IniFile::Section* IniFile::find(const QString& section) {
  return const_cast<Section*>(static_cast<const IniFile*>(this)->find(section));
}

QString IniFile::ReadString(const QString& section, const QString& key,
                            const QString& defaultValue) const {
  if (const Section* s = find(section))
    for (const Line& l : s->lines)
      if (!l.key.isEmpty() && Same(l.key, key)) return l.text.trimmed();
  return defaultValue;
}

void IniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  Section* s = find(section);
  if (!s) {
    sections_.push_back({section.isNull() ? QString("") : section, {}});
    s = &sections_.back();
  }
  dirty_ = true;
  for (Line& l : s->lines)
    if (!l.key.isEmpty() && Same(l.key, key)) {
      l.text = value;
      return;
    }
  // After the section's last entry, before trailing blank lines.
  auto at = s->lines.end();
  while (at != s->lines.begin() && (at - 1)->key.isEmpty() && (at - 1)->text.trimmed().isEmpty())
    --at;
  s->lines.insert(at, {key, value});
}

bool IniFile::SectionExists(const QString& section) const { return find(section) != nullptr; }

QStringList IniFile::ReadSection(const QString& section) const {
  QStringList keys;
  if (const Section* s = find(section))
    for (const Line& l : s->lines)
      if (!l.key.isEmpty()) keys << l.key;
  return keys;
}

QStringList IniFile::ReadSectionValues(const QString& section) const {
  QStringList lines;
  if (const Section* s = find(section))
    for (const Line& l : s->lines)
      if (!l.key.isEmpty()) lines << l.key + "=" + l.text.trimmed();
  return lines;
}

QStringList IniFile::ReadSections() const {
  QStringList names;
  for (const Section& s : sections_)
    if (!s.name.isNull()) names << s.name;
  return names;
}

QString IniFile::Text() const {
  QString text;
  for (const Section& s : sections_) {
    if (!s.name.isNull()) text += "[" + s.name + "]\r\n";
    for (const Line& l : s.lines)
      text += (l.key.isEmpty() ? l.text : l.key + "=" + l.text) + "\r\n";
  }
  return text;
}

bool IniFile::UpdateFile() {
  if (!dirty_) return true;
  QSaveFile file(path_);
  if (!file.open(QIODevice::WriteOnly) || file.write(Text().toUtf8()) < 0 || !file.commit()) {
    error_ = path_ + ": " + file.errorString();
    return false;
  }
  dirty_ = false;
  return true;
}

}  // namespace structure
