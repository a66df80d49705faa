#include "tests/support/scripted_prompter.h"

#include <gtest/gtest.h>

ScriptedPrompter::ScriptedPrompter() { setPrompter(this); }

ScriptedPrompter::~ScriptedPrompter() {
  setPrompter(nullptr);
  for (const Entry& e : queue_)
    ADD_FAILURE() << "scripted answer never asked for (expected text: \""
                  << e.expected.toStdString() << "\")";
}

ScriptedPrompter& ScriptedPrompter::answer(Answer a, const QString& expected) {
  queue_.push_back({std::move(a), expected});
  return *this;
}

template <typename T>
std::optional<T> ScriptedPrompter::next(const QString& text) {
  asked_ << text;
  if (queue_.empty()) {
    ADD_FAILURE() << "unexpected question: \"" << text.toStdString() << "\"";
    return std::nullopt;
  }
  Entry e = std::move(queue_.front());
  queue_.pop_front();
  if (!e.expected.isEmpty()) {
    EXPECT_EQ(e.expected.toStdString(), text.toStdString()) << "question asked";
  }
  if (!std::holds_alternative<T>(e.answer)) {
    ADD_FAILURE() << "scripted answer of the wrong kind for: \"" << text.toStdString() << "\"";
    return std::nullopt;
  }
  return std::get<T>(std::move(e.answer));
}

Prompter::Button ScriptedPrompter::message(Icon, const QString&, const QString& text, Buttons) {
  return next<Button>(text).value_or(Button::Cancel);
}

std::optional<QString> ScriptedPrompter::input(const QString&, const QString& prompt,
                                               const QString&, bool) {
  return next<std::optional<QString>>(prompt).value_or(std::nullopt);
}

Prompter::FileChoice ScriptedPrompter::openFile(const QString& title, const QString&,
                                                const QString&) {
  return next<FileChoice>(title).value_or(FileChoice{});
}

Prompter::FileChoice ScriptedPrompter::saveFile(const QString& title, const QString&,
                                                const QString&, const QString&) {
  return next<FileChoice>(title).value_or(FileChoice{});
}

QString ScriptedPrompter::chooseFolder(const QString& title, const QString&) {
  return next<QString>(title).value_or(QString());
}

int ScriptedPrompter::exec(QDialog& dialog) {
  auto driver = next<DialogDriver>(dialog.windowTitle());
  return driver ? (*driver)(dialog) : QDialog::Rejected;
}
