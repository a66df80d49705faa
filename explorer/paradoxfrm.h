// The main window: the explorer tree on the left, the detail pages on the
// right, menus, tool bar and status bar.
#pragma once

#include <QMainWindow>

class TParadoxfrm : public QMainWindow {
  Q_OBJECT
 public:
  explicit TParadoxfrm(QWidget* parent = nullptr);
};
