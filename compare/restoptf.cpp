#include "compare/restoptf.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/globals.h"

namespace {

// A group box of radio buttons, item i having id i.
QGroupBox* RadioGroup(const char* name, const QString& caption, const QStringList& items,
                      QButtonGroup*& group, QWidget* owner) {
  auto* box = new QGroupBox(caption);
  box->setObjectName(name);
  group = new QButtonGroup(owner);
  auto* layout = new QVBoxLayout(box);
  for (int i = 0; i < items.size(); ++i) {
    auto* button = new QRadioButton(items[i]);
    group->addButton(button, i);
    layout->addWidget(button);
  }
  return box;
}

}  // namespace

TRestOptF::TRestOptF(QWidget* parent) : QDialog(parent) {
  setObjectName("RestOptF");
  setWindowTitle("Restructure options");
  DelOpGB = RadioGroup("DelOpGB", "Deleting unnecessary tables",
                       {"Not delete ", "Ask before deleting ", "Delete automatically"}, deleting,
                       this);
  CreateRG = RadioGroup("CreateRG", "Creating new tables",
                        {"Not create", "Ask before create", "Create automatically"}, creating, this);
  MessageGb = RadioGroup("MessageGb", "Messages",
                         {"Issue the message after restructuring each table",
                          "Issue the message in an extremity of full restructuring"},
                         messages, this);
  auto* frame = new QGroupBox;
  auto* inner = new QVBoxLayout(frame);
  for (QGroupBox* box : {DelOpGB, CreateRG, MessageGb}) inner->addWidget(box);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  buttons->button(QDialogButtonBox::Ok)->setObjectName("OKbtn");
  buttons->button(QDialogButtonBox::Cancel)->setObjectName("CancelBtn");
  connect(buttons, &QDialogButtonBox::accepted, this, &TRestOptF::OKbtnClick);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(frame);
  layout->addWidget(buttons);
  resize(413, 283);
}

void TRestOptF::FormShow() {
  deleting->button(DeleteTablesOption)->setChecked(true);
  creating->button(CreateTablesOption)->setChecked(true);
  messages->button(MessagesOption)->setChecked(true);
}

void TRestOptF::OKbtnClick() {
  DeleteTablesOption = deleting->checkedId();
  CreateTablesOption = creating->checkedId();
  MessagesOption = messages->checkedId();
  accept();
}
