// Answers the password dialog: types a password and presses one of its
// buttons ("OKBtn", "CancelBtn", "AddPassBtn", ...).
#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPushButton>

#include "tests/support/scripted_prompter.h"

inline ScriptedPrompter::DialogDriver TypePassword(const QString& password, const char* button) {
  return [=](QDialog& d) {
    d.findChild<QLineEdit*>("pEdit")->setText(password);
    d.findChild<QPushButton*>(button)->click();
    return d.result();
  };
}
