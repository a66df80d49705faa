#include "explorer/griddialogs.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cctype>

#include "app/dmf.h"
#include "app/prompter.h"
#include "engine/dataset/dberror.h"
#include "engine/indexes.h"
#include "engine/lists.h"

TOrderF* OrderF = nullptr;
TFilterF* FilterF = nullptr;
TDBFindDialog* DBFindDialog = nullptr;
bool FindFromStartDone = false;

namespace {

QString Message(const std::exception& e) { return QString::fromUtf8(e.what()); }

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return s;
}

QHBoxLayout* Buttons(std::initializer_list<QPushButton*> buttons) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (QPushButton* b : buttons) row->addWidget(b);
  return row;
}

}  // namespace

bool FieldMatches(const std::string& value, const FieldSearch& search) {
  const std::string v = search.caseSensitive ? value : Upper(value);
  const std::string t = search.caseSensitive ? search.text : Upper(search.text);
  return search.whole ? v == t : v.find(t) != std::string::npos;
}

// ---- Index order ----

TOrderF::TOrderF(engine::TTable& table, QWidget* parent) : QDialog(parent), table_(&table) {
  setObjectName("OrderF");
  setWindowTitle("Set order");
  IdxLB = new QListWidget;
  IdxLB->setObjectName("IdxLB");
  FldEdit = new QLineEdit;
  FldEdit->setObjectName("FldEdit");
  FldEdit->setReadOnly(true);
  OKBtn = new QPushButton("OK");
  CancelBtn = new QPushButton("Cancel");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Aviable indexes:"));
  layout->addWidget(IdxLB);
  layout->addWidget(new QLabel("Index fields:"));
  layout->addWidget(FldEdit);
  layout->addLayout(Buttons({OKBtn, CancelBtn}));
  connect(IdxLB, &QListWidget::currentRowChanged, this, [this] { IdxLBClick(); });
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);

  IdxLB->addItem("<none>");
  try {
    engine::TDatabase* db = DMF().aSession.FindDatabase(table.DatabaseName());
    engine::hDBICur list = 0;
    engine::Check(engine::OpenIndexList(db ? db->Handle() : 0, table.TablePath(), "", list));
    engine::IndexDesc ix;
    while (engine::GetNextRecord(list, ix) == engine::Ok)
      IdxLB->addItem(ix.name.empty() ? QString("<Primary>") : QString::fromStdString(ix.name));
    engine::ClearLastError();
    engine::CloseCursor(list);
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
}

TOrderF::~TOrderF() {
  if (OrderF == this) OrderF = nullptr;
}

void TOrderF::IdxLBClick() {
  FldEdit->clear();
  const int entry = IdxLB->currentRow();
  if (entry <= 0 || !table_->Active()) return;
  engine::IndexDesc ix;
  if (engine::GetIndexDesc(table_->Handle(), static_cast<std::uint16_t>(entry), ix) != engine::Ok) {
    engine::ClearLastError();
    return;
  }
  QString fields;
  for (int i = 0; i < ix.fieldsInKey && i < engine::kMaxKeyFields; ++i) {
    const int number = ix.keyFields[i];
    if (number >= 1 && number <= table_->FieldCount())
      fields += QString::fromStdString(Upper(table_->Fields(number - 1).FieldName())) + ";";
  }
  FldEdit->setText(fields);
}

void TOrderF::OKBtnClick() {
  const int entry = IdxLB->currentRow();
  try {
    table_->SetIndexName(entry <= 1 ? std::string() : IdxLB->item(entry)->text().toStdString());
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  accept();
}

// ---- Filter ----

TFilterF::TFilterF(engine::TTable& table, QWidget* parent) : QDialog(parent), table_(&table) {
  setObjectName("FilterF");
  setWindowTitle("Set filter ");
  FilterEdit = new QLineEdit(QString::fromStdString(table.Filter()));
  FilterEdit->setObjectName("FilterEdit");
  OKBtn = new QPushButton("OK");
  CancelBtn = new QPushButton("Cancel");
  ResetBtn = new QPushButton("Reset");
  auto* group = new QGroupBox("Filter expression");
  (new QVBoxLayout(group))->addWidget(FilterEdit);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(group);
  layout->addLayout(Buttons({OKBtn, CancelBtn, ResetBtn}));
  connect(OKBtn, &QPushButton::clicked, this, [this] { OKBtnClick(); });
  connect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  connect(ResetBtn, &QPushButton::clicked, this, [this] { ResetBtnClick(); });
}

TFilterF::~TFilterF() {
  if (FilterF == this) FilterF = nullptr;
}

void TFilterF::OKBtnClick() {
  try {
    table_->SetFilter(FilterEdit->text().toStdString());
    table_->SetFiltered(true);
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  accept();
}

void TFilterF::ResetBtnClick() {
  FilterEdit->clear();
  try {
    table_->SetFiltered(false);
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
}

// ---- Find in field ----

TDBFindDialog::TDBFindDialog(engine::TTable& table, int field, std::function<void()> found,
                             QWidget* parent)
    : QDialog(parent), table_(&table), field_(field), found_(std::move(found)) {
  setObjectName("DBFindDialog");
  setAttribute(Qt::WA_DeleteOnClose);
  const engine::TField& f = table.Fields(field);
  setWindowTitle("Find in field \"" + QString::fromStdString(f.FieldName()) + "\"");
  QString preset;
  try {
    preset = QString::fromStdString(table.Fields(field).AsString());
  } catch (const std::exception&) {
  }
  FindEdit = new QLineEdit(preset);
  FindEdit->setObjectName("FindEdit");
  CaseCB = new QCheckBox("Case &sensitive");
  WholeCB = new QCheckBox("&Whole words");
  FromCursorRB = new QRadioButton("Fro&m cursor");
  EntireScopeRB = new QRadioButton("&Entire scope");
  FromCursorRB->setChecked(true);
  FindBtn = new QPushButton("&Find next");
  FindBtn->setDefault(true);
  CloseBtn = new QPushButton("&Close");
  auto* scope = new QGroupBox;
  auto* scopeRows = new QVBoxLayout(scope);
  scopeRows->addWidget(FromCursorRB);
  scopeRows->addWidget(EntireScopeRB);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel("Text to find:"));
  layout->addWidget(FindEdit);
  layout->addWidget(CaseCB);
  layout->addWidget(WholeCB);
  layout->addWidget(scope);
  layout->addLayout(Buttons({FindBtn, CloseBtn}));
  connect(FindBtn, &QPushButton::clicked, this, [this] { FindBtnClick(); });
  connect(CloseBtn, &QPushButton::clicked, this, &QDialog::close);
}

TDBFindDialog::~TDBFindDialog() {
  FindFromStartDone = false;
  if (DBFindDialog == this) DBFindDialog = nullptr;
}

void TDBFindDialog::FindBtnClick() {
  if (!table_->Active() || field_ >= table_->FieldCount()) return;
  FieldSearch search{FindEdit->text().toStdString(), CaseCB->isChecked(), WholeCB->isChecked()};
  const std::uint32_t start = table_->RecNo();
  try {
    table_->Next();
    // At the last record Next stays where it is: there is nothing after it.
    bool nothingAfter = table_->Eof() && table_->RecNo() == start;
    if (EntireScopeRB->isChecked() && !FindFromStartDone) {
      table_->First();
      FindFromStartDone = true;
      nothingAfter = false;
    }
    bool matched = false;
    while (!nothingAfter && !table_->IsEmpty()) {
      if (FieldMatches(table_->Fields(field_).AsString(), search)) {
        matched = true;
        break;
      }
      if (table_->Eof()) break;
      table_->Next();
    }
    if (!matched) {
      FindFromStartDone = false;
      if (start) table_->SetRecNo(start);
      prompter().inform("The search is completed.");
    }
  } catch (const std::exception& e) {
    prompter().error(Message(e));
  }
  if (found_) found_();
}
