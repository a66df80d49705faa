// The BLOB viewer: a tool window over the browsed table that shows the memo
// or the picture of the grid's current cell, and takes a new one (typed,
// pasted or loaded from a file) into the current record through the engine.
#pragma once

#include <QByteArray>
#include <QWidget>

#include "engine/dataset/table.h"

class QAction;
class QLabel;
class QMenu;
class QTextEdit;

class TBLOBF : public QWidget {
  Q_OBJECT
 public:
  // `grid` gets the focus back whenever the viewer comes up.
  TBLOBF(engine::TTable& table, QWidget* grid, QWidget* owner);

  // The grid moved to `column` (-1: none): memos show as text, pictures as
  // a picture, anything else closes the viewer. Only while "Always show" is
  // checked.
  void FollowColumn(int column);
  // The table moved to another record: the views show its value.
  void RecordChanged();
  // Writes text typed into the memo view to the record it was typed for;
  // false (after the engine's message) when the engine refused it.
  bool CommitText();

  QTextEdit* DBMemo = nullptr;
  QLabel* DBImage = nullptr;
  QMenu* Popup = nullptr;
  QAction* Alwaysshow1 = nullptr;
  QAction* StretchImage1 = nullptr;

 signals:
  // A new value went into the current record.
  void valueWritten();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class View { None, Text, Picture };

  QAction* addCommand(const QString& name, const QString& caption, const QString& shortcut,
                      void (TBLOBF::*slot)());
  void applyRule(int column);
  void showValue();
  void unbind();
  // Writes `value` to the bound field of the current record.
  bool write(const engine::Value& value);
  bool writePicture(const QByteArray& bytes);
  QByteArray pictureBytes() const;
  void Copy1Click();
  void Cut1Click();
  void Paste1Click();
  void SelectAll1Click();
  void SaveToFile1Click();
  void LoadFromFile1Click();
  void Print1Click();
  void Font1Click();
  void StretchImage1Click();

  engine::TTable& table_;
  QWidget* grid_;
  View view_ = View::None;
  int column_ = -1;       // the bound field (-1: none)
  std::string path_;      // of the table the field is of
  int gridColumn_ = -1;   // the grid's column as last told
  QString shownText_;     // the memo text as the record holds it
  bool crlf_ = false;     // the memo shown keeps CR LF line ends
};
