#include "app/textfile.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include "app/prompter.h"

std::optional<LoadedText> LoadTextFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    prompter().error("Cannot open file \"" + QDir::toNativeSeparators(path) + "\". " +
                     file.errorString());
    return std::nullopt;
  }
  LoadedText loaded;
  loaded.text = QString::fromUtf8(file.readAll());
  loaded.crlf = loaded.text.contains("\r\n");
  loaded.text.replace("\r\n", "\n");
  return loaded;
}

bool SaveTextFile(const QString& path, QString text, bool crlf) {
  if (crlf) text.replace('\n', "\r\n");
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0 && file.commit())
    return true;
  prompter().error("Cannot write file \"" + QDir::toNativeSeparators(path) + "\". " +
                   file.errorString());
  return false;
}
