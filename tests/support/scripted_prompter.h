// A prompter for tests: answers from a queue, records every text it was
// asked, and fails the test on a question it did not expect.
#pragma once

#include <QDialog>
#include <QStringList>
#include <deque>
#include <functional>
#include <variant>

#include "app/prompter.h"

class ScriptedPrompter : public Prompter {
 public:
  // What a scripted answer may hold: a button, an input text (nullopt =
  // cancel), a file choice, a folder, or a function that drives a dialog and
  // returns its result code.
  using DialogDriver = std::function<int(QDialog&)>;
  using Answer = std::variant<Button, std::optional<QString>, FileChoice, QString, DialogDriver>;

  ScriptedPrompter();   // installs itself
  ~ScriptedPrompter() override;  // restores the real prompter; fails on unused answers

  // Queue the next answer; `expected` (when not empty) must be the text asked.
  ScriptedPrompter& answer(Answer a, const QString& expected = QString());
  ScriptedPrompter& yes(const QString& expected = QString()) { return answer(Button::Yes, expected); }
  ScriptedPrompter& no(const QString& expected = QString()) { return answer(Button::No, expected); }
  ScriptedPrompter& ok(const QString& expected = QString()) { return answer(Button::Ok, expected); }

  // Every text asked so far, in order (message texts, input prompts, dialog
  // titles, dialog window titles).
  const QStringList& asked() const { return asked_; }
  QString lastAsked() const { return asked_.isEmpty() ? QString() : asked_.last(); }

  Button message(Icon icon, const QString& title, const QString& text, Buttons buttons) override;
  std::optional<QString> input(const QString& title, const QString& prompt, const QString& value,
                               bool password) override;
  FileChoice openFile(const QString& title, const QString& dir, const QString& filters) override;
  FileChoice saveFile(const QString& title, const QString& dir, const QString& filters,
                      const QString& selected = QString()) override;
  QString chooseFolder(const QString& title, const QString& dir) override;
  int exec(QDialog& dialog) override;

 private:
  // Takes the next answer for a question with this text; fails when there is
  // none, when its expected text differs, or when it holds the wrong kind.
  template <typename T>
  std::optional<T> next(const QString& text);

  struct Entry {
    Answer answer;
    QString expected;
  };
  std::deque<Entry> queue_;
  QStringList asked_;
};
