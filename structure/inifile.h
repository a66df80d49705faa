// Profile files: "[section]" lines followed by "key=value" lines.
//
// Sections keep the order in which they were first written, entries the
// order in which their keys were first written. Writing an existing key
// replaces its value in place; a new key goes to the end of its section, a
// new section to the end of the file. Sections and keys are found ignoring
// case; values are read without the blanks around them. Section names may
// hold backslashes. Lines that are neither (comments, blank lines) are kept
// where they were.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace structure {

class IniFile {
 public:
  // Reads `path` when it exists; a missing file reads as empty and is
  // created by the first UpdateFile() that has something to write.
  explicit IniFile(const QString& path);

  const QString& FileName() const { return path_; }

  QString ReadString(const QString& section, const QString& key,
                     const QString& defaultValue = QString()) const;
  void WriteString(const QString& section, const QString& key, const QString& value);
  bool SectionExists(const QString& section) const;
  // The keys of a section, in file order (none for a missing section).
  QStringList ReadSection(const QString& section) const;
  // "key=value" lines of a section, values trimmed.
  QStringList ReadSectionValues(const QString& section) const;
  QStringList ReadSections() const;

  // Writes the file (atomically) when something changed since it was read
  // or last written. False with ErrorString() when it could not be written.
  bool UpdateFile();
  const QString& ErrorString() const { return error_; }

  // The whole file as it would be written.
  QString Text() const;

 private:
  struct Line {
    QString key;   // empty for a line that is not an entry
    QString text;  // the value of an entry, else the raw line
  };
  struct Section {
    QString name;  // empty for lines before the first section
    std::vector<Line> lines;
  };
  const Section* find(const QString& section) const;
  Section* find(const QString& section);
  void parse(const QString& text);

  QString path_;
  QString error_;
  std::vector<Section> sections_;
  bool dirty_ = false;
};

}  // namespace structure
