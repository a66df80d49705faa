// The About box: the product name, its version and the user running it.
#pragma once

#include <QDialog>

class QLabel;

class TAboutBox : public QDialog {
  Q_OBJECT
 public:
  explicit TAboutBox(QWidget* parent = nullptr);

  QLabel* ProductName;
  QLabel* Version;
  QLabel* UserName;
};

// The login name of the user, "" when the system does not tell.
QString CurrentUserName();
