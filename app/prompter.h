// Every question the program asks goes through one Prompter: message boxes,
// input boxes, file and folder dialogs and modal sub-dialogs. The program
// installs the real one; tests install a scripted one.
#pragma once

#include <QMessageBox>
#include <QString>
#include <optional>

class QDialog;

class Prompter {
 public:
  using Button = QMessageBox::StandardButton;
  using Buttons = QMessageBox::StandardButtons;
  enum class Icon { Information, Warning, Critical, Question };

  struct FileChoice {
    QString path;    // empty when cancelled
    QString filter;  // the filter the user had chosen
  };

  virtual ~Prompter() = default;

  // A message box; returns the button pressed.
  virtual Button message(Icon icon, const QString& title, const QString& text,
                         Buttons buttons) = 0;
  // An input box; nullopt when cancelled.
  virtual std::optional<QString> input(const QString& title, const QString& prompt,
                                       const QString& value, bool password) = 0;
  virtual FileChoice openFile(const QString& title, const QString& dir,
                              const QString& filters) = 0;
  // `selected` is the filter chosen when the dialog opens (the first when empty).
  virtual FileChoice saveFile(const QString& title, const QString& dir, const QString& filters,
                              const QString& selected = QString()) = 0;
  // A folder; empty when cancelled.
  virtual QString chooseFolder(const QString& title, const QString& dir) = 0;
  // Shows a modal sub-dialog; returns its result code (QDialog::Accepted ...).
  virtual int exec(QDialog& dialog) = 0;

  // Conveniences over message().
  bool confirm(const QString& text, const QString& title = QString());
  void inform(const QString& text, const QString& title = QString());
  void warn(const QString& text, const QString& title = QString());
  void error(const QString& text, const QString& title = QString());
};

// Widens a dialog whose contents are narrower than its title, so that the
// title is read whole.
void FitToTitle(QDialog& dialog);

// The prompter in use; the real one unless a test installed another.
Prompter& prompter();
// Installs a prompter (not owned); nullptr restores the real one.
void setPrompter(Prompter* p);

// The real prompter over QMessageBox, QInputDialog and QFileDialog.
class WidgetPrompter : public Prompter {
 public:
  Button message(Icon icon, const QString& title, const QString& text,
                 Buttons buttons) override;
  std::optional<QString> input(const QString& title, const QString& prompt,
                               const QString& value, bool password) override;
  FileChoice openFile(const QString& title, const QString& dir,
                      const QString& filters) override;
  FileChoice saveFile(const QString& title, const QString& dir, const QString& filters,
                      const QString& selected = QString()) override;
  QString chooseFolder(const QString& title, const QString& dir) override;
  int exec(QDialog& dialog) override;
};
