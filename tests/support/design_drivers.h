// Clicks and scripted answers for the table design sub-dialogs, as a user
// gives them.
#pragma once

#include <QAbstractButton>
#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>
#include <optional>

#include "design/indexf.h"
#include "tests/support/scripted_prompter.h"

// Lets failing assertions show texts.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

inline void Click(QListWidget* list, const QString& text) {
  const auto found = list->findItems(text, Qt::MatchExactly);
  ASSERT_FALSE(found.isEmpty()) << text.toStdString();
  list->scrollToItem(found.first());
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.first()).center());
}

// Near the left edge: where the box of a check box or radio button is.
inline void Click(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

inline std::optional<QString> Typed(const char* text) { return QString(text); }

// The index dialog: adds fields to the index and presses "&OK".
inline ScriptedPrompter::DialogDriver IndexOf(const QStringList& fields, bool caseSensitive = false) {
  return [=](QDialog& d) {
    auto& dialog = static_cast<TIndexF&>(d);
    dialog.show();
    for (const QString& f : fields) {
      Click(dialog.FieldsListBox, f);
      Click(dialog.ToIndexSpeedBtn);
    }
    if (caseSensitive) Click(dialog.CaseCheck);
    Click(dialog.Button1);
    if (dialog.isVisible()) Click(dialog.Button2);
    return dialog.result();
  };
}
