#include "app/aboutbox.h"

#include <pwd.h>
#include <unistd.h>

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

QString CurrentUserName() {
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name);
  return qEnvironmentVariable("USER");
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName("AboutBox");
  setWindowTitle("About");
  ProductName = new QLabel("Quarrydesk");
  ProductName->setObjectName("ProductName");
  QFont bold = ProductName->font();
  bold.setBold(true);
  bold.setPointSizeF(bold.pointSizeF() * 1.5);
  ProductName->setFont(bold);
  Version = new QLabel(QString("Version ") + QUARRY_VERSION);
  Version->setObjectName("Version");
  UserName = new QLabel("User: " + CurrentUserName());
  UserName->setObjectName("UserName");
  auto* ok = new QPushButton("OK");
  ok->setObjectName("OKButton");
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(ProductName);
  layout->addWidget(Version);
  layout->addWidget(UserName);
  layout->addWidget(ok, 0, Qt::AlignRight);
}
