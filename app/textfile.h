// Text files the user views and edits in a text pane (structure files):
// read and written as UTF-8, keeping the line ends they came with. Failures
// are told to the user.
#pragma once

#include <QString>
#include <optional>

struct LoadedText {
  QString text;   // with "\n" line ends
  bool crlf = false;  // the file had CR LF line ends
};

// The text of `path`; nullopt (after telling the user) when it cannot be read.
std::optional<LoadedText> LoadTextFile(const QString& path);
// Writes `text` to `path` whole or not at all, with CR LF line ends when
// `crlf`; false (after telling the user) when it cannot be written.
bool SaveTextFile(const QString& path, QString text, bool crlf);
