#include "app/prompter.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QVBoxLayout>

namespace {

Prompter* installed = nullptr;

QWidget* parentWindow() { return QApplication::activeWindow(); }

QString titleOr(const QString& title) {
  return title.isEmpty() ? QApplication::applicationDisplayName() : title;
}

}  // namespace

Prompter& prompter() {
  static WidgetPrompter real;
  return installed ? *installed : real;
}

void setPrompter(Prompter* p) { installed = p; }

bool Prompter::confirm(const QString& text, const QString& title) {
  return message(Icon::Question, title, text, Button::Yes | Button::No) == Button::Yes;
}

void Prompter::inform(const QString& text, const QString& title) {
  message(Icon::Information, title, text, Button::Ok);
}

void Prompter::warn(const QString& text, const QString& title) {
  message(Icon::Warning, title, text, Button::Ok);
}

void Prompter::error(const QString& text, const QString& title) {
  message(Icon::Critical, title, text, Button::Ok);
}

Prompter::Button WidgetPrompter::message(Icon icon, const QString& title,
                                         const QString& text, Buttons buttons) {
  static const QMessageBox::Icon icons[] = {QMessageBox::Information, QMessageBox::Warning,
                                            QMessageBox::Critical, QMessageBox::Question};
  QMessageBox box(icons[static_cast<int>(icon)], titleOr(title), text, buttons,
                  parentWindow());
  return static_cast<Button>(box.exec());
}

std::optional<QString> WidgetPrompter::input(const QString& title, const QString& prompt,
                                             const QString& value, bool password) {
  bool ok = false;
  QString text = QInputDialog::getText(parentWindow(), titleOr(title), prompt,
                                       password ? QLineEdit::Password : QLineEdit::Normal,
                                       value, &ok);
  if (!ok) return std::nullopt;
  return text;
}

Prompter::FileChoice WidgetPrompter::openFile(const QString& title, const QString& dir,
                                              const QString& filters) {
  FileChoice choice;
  choice.path = QFileDialog::getOpenFileName(parentWindow(), title, dir, filters, &choice.filter);
  return choice;
}

Prompter::FileChoice WidgetPrompter::saveFile(const QString& title, const QString& dir,
                                              const QString& filters, const QString& selected) {
  FileChoice choice;
  choice.filter = selected;
  choice.path = QFileDialog::getSaveFileName(parentWindow(), title, dir, filters, &choice.filter);
  return choice;
}

QString WidgetPrompter::chooseFolder(const QString& title, const QString& dir) {
  return QFileDialog::getExistingDirectory(parentWindow(), title, dir);
}

int WidgetPrompter::exec(QDialog& dialog) {
  FitToTitle(dialog);
  return dialog.exec();
}

void FitToTitle(QDialog& dialog) {
  // Room beside the text for the title bar's icon and buttons.
  const int needed = dialog.fontMetrics().horizontalAdvance(dialog.windowTitle()) + 120;
  if (dialog.sizeHint().width() >= needed) return;
  if (auto* box = qobject_cast<QVBoxLayout*>(dialog.layout()))
    box->addStrut(needed);  // also holds under a fixed-size layout
  else
    dialog.setMinimumWidth(needed);
}
