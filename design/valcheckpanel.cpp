#include "design/valcheckpanel.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/prompter.h"
#include "design/fieldroster.h"
#include "design/fieldrules.h"
#include "structure/valchecktext.h"

namespace design {

namespace {

const QColor kSilver(0xC0, 0xC0, 0xC0);
const QColor kRed(255, 0, 0);  // colour value 255

}  // namespace

ValCheckPanel::ValCheckPanel(FieldRoster* roster, QWidget* parent)
    : QWidget(parent), roster_(roster) {
  setObjectName("ValCheckPanel");
  RequiredCB = new QCheckBox("&1. Required Field", this);
  RequiredCB->setObjectName("RequiredCB");
  MinValEdit = new QLineEdit(this);
  MinValEdit->setObjectName("MinValEdit");
  MaxValEdit = new QLineEdit(this);
  MaxValEdit->setObjectName("MaxValEdit");
  DefEdit = new QLineEdit(this);
  DefEdit->setObjectName("DefEdit");
  PictureEdit = new QLineEdit(this);
  PictureEdit->setObjectName("PictureEdit");
  AssistBtn = new QPushButton("Assist...", this);
  AssistBtn->setObjectName("AssistBtn");

  auto* layout = new QGridLayout(this);
  layout->addWidget(RequiredCB, 0, 0, 1, 2);
  int line = 1;
  const std::pair<const char*, QLineEdit*> edits[] = {{"&2. Minimum value:", MinValEdit},
                                                      {"&3. Maximum value:", MaxValEdit},
                                                      {"&4. Default value:", DefEdit},
                                                      {"&5. Picture:", PictureEdit}};
  for (const auto& [caption, edit] : edits) {
    auto* label = new QLabel(caption, this);
    label->setBuddy(edit);
    layout->addWidget(label, line++, 0, 1, 2);
    layout->addWidget(edit, line++, 0, 1, 2);
    Enable(edit, true);
    QLineEdit* const e = edit;
    connect(edit, &QLineEdit::textChanged, this, [this, e] { MinValEditChange(e); });
  }
  layout->addWidget(AssistBtn, line, 1, Qt::AlignRight);
  layout->setRowStretch(line + 1, 1);
  connect(RequiredCB, &QCheckBox::clicked, this, [this] { MinValEditChange(RequiredCB); });
  setTabOrder(RequiredCB, MinValEdit);
  setTabOrder(MinValEdit, MaxValEdit);
  setTabOrder(MaxValEdit, DefEdit);
  setTabOrder(DefEdit, PictureEdit);
  setTabOrder(PictureEdit, AssistBtn);

  roster_->CheckPanel = this;
}

ValCheckPanel::~ValCheckPanel() {
  if (roster_ && roster_->CheckPanel == this) roster_->CheckPanel = nullptr;
}

void ValCheckPanel::Colour(QLineEdit* edit, bool red) {
  edit->setProperty("invalid", red);
  QPalette p = edit->palette();
  p.setColor(QPalette::Text, red ? kRed : QColor(Qt::black));
  edit->setPalette(p);
}

void ValCheckPanel::Enable(QLineEdit* edit, bool enabled) {
  if (!enabled) edit->clear();
  edit->setEnabled(enabled);
  QPalette p = edit->palette();
  p.setColor(QPalette::Base, enabled ? QColor(Qt::white) : kSilver);
  edit->setPalette(p);
}

bool ValCheckPanel::IsInvalid(const QWidget* control) const {
  return control->property("invalid").toBool();
}

bool ValCheckPanel::HasInvalidValue() const {
  return IsInvalid(MinValEdit) || IsInvalid(MaxValEdit) || IsInvalid(DefEdit);
}

void ValCheckPanel::ApplyCheckAvailability(QChar letter) {
  const auto allowed = CheckAvailabilityOf(letter);
  if (!allowed) return;
  Enable(MinValEdit, allowed->minimum);
  Enable(MaxValEdit, allowed->maximum);
  Enable(DefEdit, allowed->defaultValue);
  Enable(PictureEdit, allowed->picture);
  AssistBtn->setEnabled(allowed->assist);
}

void ValCheckPanel::LoadCheck(const engine::ValCheckDesc* check, std::uint16_t type) {
  loading_ = true;
  structure::ValCheckTexts texts;
  if (check) texts = structure::FormatValCheck(type, *check);
  RequiredCB->setChecked(texts.required);
  MinValEdit->setText(texts.minimum);
  MaxValEdit->setText(texts.maximum);
  DefEdit->setText(texts.defaultValue);
  PictureEdit->setText(check ? texts.picture : QString());
  for (QLineEdit* edit : {MinValEdit, MaxValEdit, DefEdit, PictureEdit}) Colour(edit, false);
  loading_ = false;
}

void ValCheckPanel::MinValEditChange(QWidget* sender) {
  if (loading_ || !roster_) return;
  const int row = roster_->CurrentRow();
  if (row < 1) return;
  const QChar letter = roster_->FieldType(row);
  const std::uint16_t type = ConvertFldType(letter).value_or(0);
  int decimals = 0;
  if (letter == '#') {
    bool ok = false;
    decimals = roster_->FieldSize(row).trimmed().toInt(&ok);
    if (!ok) {
      prompter().inform("You must define field size first.");
      decimals = 0;
    }
  }
  auto* edit = qobject_cast<QLineEdit*>(sender);
  const bool required = RequiredCB->isChecked();
  if (required || !MinValEdit->text().isEmpty() || !MaxValEdit->text().isEmpty() ||
      !DefEdit->text().isEmpty() || !PictureEdit->text().isEmpty()) {
    FieldRow& record = roster_->EnsureRecord(row);
    // Parsed into a copy: a text that does not convert leaves the record as it was.
    engine::ValCheckDesc check = record.check;
    if (roster_->RestructureMode && !HasCheck(check) && HasCheck(record.loadedCheck))
      check = record.loadedCheck;  // keeps what the panel does not show (the lookup)
    const bool ok = structure::ParseValCheck(type, check, required, decimals, PictureEdit->text(),
                                             MaxValEdit->text(), MinValEdit->text(), DefEdit->text());
    if (ok) {
      check.fieldNumber = static_cast<std::uint16_t>(row);
      record.check = check;
      if (roster_->RestructureMode)
        record.checkOp = HasCheck(record.loadedCheck) ? engine::opModify : engine::opAdd;
    }
    if (edit) Colour(edit, !ok);
  } else {
    if (edit) Colour(edit, false);
    if (FieldRow* record = roster_->Record(row)) {
      if (!roster_->RestructureMode) {
        record->check = {};
      } else if (HasCheck(record->loadedCheck)) {
        record->checkOp = engine::opDrop;
      } else {
        record->check = {};
        record->checkOp = engine::opNone;
      }
    }
  }
  roster_->NotifyChanged();
}

}  // namespace design
