#include "design/createf.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <stdexcept>

#include "app/dmf.h"
#include "app/globals.h"
#include "app/prompter.h"
#include "design/fieldroster.h"
#include "design/fieldrules.h"
#include "design/indexf.h"
#include "design/paradoxdesign.h"
#include "design/passwordsf.h"
#include "design/refintf.h"
#include "design/restructureloss.h"
#include "design/valcheckpanel.h"
#include "engine/dataset/dberror.h"
#include "engine/family.h"
#include "engine/lists.h"
#include "engine/valchecks.h"
#include "structure/propertylist.h"

using structure::LanguageDriverFor;
using structure::LanguageDrivers;
using structure::PropertyName;
using structure::PropertyValue;

namespace {

enum Page { ChecksPage = 0, IndexesPage = 1, LinksPage = 2, PasswordsPage = 3 };

constexpr std::uint32_t kPropTranslateMode = 0x50005;

QPushButton* NewButton(const char* name, const char* caption) {
  auto* button = new QPushButton(caption);
  button->setObjectName(name);
  button->setAutoDefault(false);
  return button;
}

QString Quoted(const QString& name) { return "\"" + name + "\""; }

// The description of a language driver name; empty when the list has none.
QString DriverDescription(const QString& driver) {
  for (const QString& line : LanguageDrivers())
    if (PropertyValue(line).compare(driver, Qt::CaseInsensitive) == 0) return PropertyName(line);
  return {};
}

// Runs one step of loading a table; a failure shows `what` and the
// engine's message, and loading goes on.
template <typename Step>
void LoadStep(const QString& what, Step step) {
  try {
    step();
  } catch (const std::exception& e) {
    prompter().error(what + QString::fromStdString(e.what()));
  }
}

}  // namespace

TCreateF::TCreateF(const QString& database, const QString& table, QWidget* parent)
    : QDialog(parent), database_(database), table_(table) {
  setObjectName("CreateF");
  setWindowTitle("Create table");
  state_.restructure = restructureMode();
  state_.database = database;
  Roster = new design::FieldRoster;
  Roster->IndexList = &state_.indexes;
  CheckPanel = new design::ValCheckPanel(Roster);
  IndexF = new TIndexF(state_, this);
  RefIntF = new TRefIntF(state_, this);
  MasterPassF = new TMasterPassF(state_, this);

  CreateBtn = NewButton("CreateBtn", "Save");
  SaveAsBtn = NewButton("SaveAsBtn", "Save As");
  CancelBtn = NewButton("CancelBtn", "Cancel");
  connect(CreateBtn, &QPushButton::clicked, this, &TCreateF::CreateBtnClick);
  connect(SaveAsBtn, &QPushButton::clicked, this, &TCreateF::SaveAsBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TCreateF::CancelBtnClick);

  auto* side = new QVBoxLayout;
  side->addWidget(buildProperties(), 1);
  side->addWidget(buildOptions());
  auto* top = new QHBoxLayout;
  top->addWidget(Roster, 1);
  top->addLayout(side);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  for (QPushButton* b : {CreateBtn, SaveAsBtn, CancelBtn}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top, 1);
  layout->addLayout(buttons);
  resize(860, 480);
}

TCreateF::~TCreateF() {
  closeTable();
  if (db_) engine::CloseDatabase(db_);
}

QWidget* TCreateF::buildProperties() {
  TblPropComB = new QComboBox;
  TblPropComB->setObjectName("TblPropComB");
  TblPropComB->addItems({"Validity Checks", "Secondary Indexes", "Referential Integrity",
                         "SecurityPasswords"});
  auto* label = new QLabel("Table &properties:");
  label->setBuddy(TblPropComB);
  DefineBtn = NewButton("DefineBtn", "Define...");
  ModifyBtn = NewButton("ModifyBtn", "Modify...");
  EraseBtn = NewButton("EraseBtn", "Erase");
  RefIndxLB = new QListWidget;
  RefIndxLB->setObjectName("RefIndxLB");
  connect(TblPropComB, &QComboBox::activated, this, &TCreateF::TblPropComBChange);
  connect(DefineBtn, &QPushButton::clicked, this, &TCreateF::DefineBtnClick);
  connect(ModifyBtn, &QPushButton::clicked, this, &TCreateF::ModifyBtnClick);
  connect(EraseBtn, &QPushButton::clicked, this, &TCreateF::EraseBtnClick);
  connect(RefIndxLB, &QListWidget::itemClicked, this, &TCreateF::RefIndxLBClick);
  connect(RefIndxLB, &QListWidget::itemDoubleClicked, this, &TCreateF::RefIndxLBDblClick);

  auto* page = new QWidget;
  auto* buttons = new QHBoxLayout;
  for (QPushButton* b : {DefineBtn, ModifyBtn, EraseBtn}) buttons->addWidget(b);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(label);
  layout->addWidget(TblPropComB);
  layout->addWidget(CheckPanel);
  layout->addLayout(buttons);
  layout->addWidget(RefIndxLB, 1);
  return page;
}

QWidget* TCreateF::buildOptions() {
  EngineDefCB = new QCheckBox("Engine defaults");
  EngineDefCB->setObjectName("EngineDefCB");
  connect(EngineDefCB, &QCheckBox::clicked, this, &TCreateF::EngineDefCBClick);
  LangDrvCB = new QComboBox;
  LangDrvCB->setObjectName("LangDrvCB");
  for (const QString& line : LanguageDrivers()) LangDrvCB->addItem(PropertyName(line));
  BlockSizeCB = new QComboBox;
  BlockSizeCB->setObjectName("BlockSizeCB");
  BlockSizeCB->addItems({"1024", "2048", "4096", "16384", "32768"});
  FillFactorEdit = new QLineEdit("95");
  FillFactorEdit->setObjectName("FillFactorEdit");
  Edit1 = new QLineEdit;
  Edit1->setObjectName("Edit1");
  MoreCtrlGB = new QGroupBox;
  MoreCtrlGB->setObjectName("MoreCtrlGB");
  auto* form = new QFormLayout(MoreCtrlGB);
  form->addRow("Language driver:", LangDrvCB);
  form->addRow("Block size:", BlockSizeCB);
  form->addRow("Fill factor:", FillFactorEdit);
  form->addRow("Level:", Edit1);
  PackCB = new QCheckBox("Pac&k table");
  PackCB->setObjectName("PackCB");

  auto* box = new QWidget;
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(EngineDefCB);
  layout->addWidget(MoreCtrlGB);
  layout->addWidget(PackCB);
  return box;
}

void TCreateF::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!shown_) {
    shown_ = true;
    FormShow();
  }
}

void TCreateF::done(int result) {
  FormClose();
  QDialog::done(result);
}

// Opening.

void TCreateF::FormShow() {
  FillFactorEdit->clear();
  Edit1->clear();
  design::ParadoxOptions defaults;
  LoadStep("", [&] { defaults = design::ReadParadoxDefaults(); });
  QString blockSize = defaults.blockSize, driver = defaults.langDriver;
  if (restructureMode()) {
    LoadStep("", [&] { openTable(); });
    if (cursor_) {
      engine::CursorProps props;
      engine::Check(engine::GetCursorProps(cursor_, props));
      if (const QString size = design::BlockSizeText(props.blockSize); !size.isEmpty())
        blockSize = size;
      if (!props.languageDriver.empty()) driver = QString::fromStdString(props.languageDriver);
    }
  }
  showOptions(blockSize, defaults.fillFactor, driver);
  setWindowTitle("Create Paradox " + level_ + " table ");
  EngineDefCB->setText("Engine defaults");
  EngineDefCB->setChecked(true);
  MoreCtrlGB->hide();
  SaveAsBtn->hide();
  state_.indexes.clear();
  state_.links.clear();
  state_.passwords.clear();
  Roster->RestructureMode = restructureMode();
  Roster->TableLevel = level_;
  Roster->Reset();
  TblPropComB->setCurrentIndex(ChecksPage);
  page_ = ChecksPage;
  showPage();
  RefIndxLB->clear();
  if (restructureMode() && cursor_) loadTable();
}

void TCreateF::showOptions(const QString& blockSize, const QString& fillFactor,
                           const QString& driver) {
  const int block = BlockSizeCB->findText(blockSize);
  if (block >= 0) BlockSizeCB->setCurrentIndex(block);
  FillFactorEdit->setText(fillFactor);
  const int described = LangDrvCB->findText(DriverDescription(driver));
  if (described >= 0) LangDrvCB->setCurrentIndex(described);
}

// Every password is forgotten first, so that opening asks for the
// table's own.
void TCreateF::openTable() {
  if (!db_) engine::Check(engine::OpenDatabase(database_.toStdString(), db_));
  engine::TSession& session = DMF().aSession;
  session.RemoveAllPasswords();
  PasswordPromptCaption = database_ + ": " + table_;
  session.OpenWithPasswords([this] {
    return engine::OpenTable(db_, table_.toStdString(), "PARADOX", engine::OpenMode::ReadWrite,
                             engine::ShareMode::Exclusive, cursor_);
  });
}

void TCreateF::closeTable() {
  if (cursor_) engine::CloseCursor(cursor_);
}

void TCreateF::loadTable() {
  engine::Check(engine::SetProp(cursor_, kPropTranslateMode, 0));
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(cursor_, props));
  level_ = QString::number(props.tableLevel);
  EngineDefCB->setText("Remain as it is");
  SaveAsBtn->show();
  Edit1->setText(level_);
  Roster->TableLevel = level_;
  setWindowTitle("Restructure table " + table_ + " (Paradox " + level_ + ")");
  LoadStep("Не можу отримати поля.\n\r", [this] { loadFields(); });
  LoadStep("Extract indexes operation failed:", [this] { loadIndexes(); });
  LoadStep("Validity checks invalid extract:", [this] { loadChecks(); });
  LoadStep("Referential integrity invalid extract: ", [this] { loadLinks(); });
  if (props.auxPasswordCount > 0) LoadStep("Error:\r", [this] { loadPasswords(); });
  Roster->SelectCell(1, design::FieldRoster::NameCol);
}

void TCreateF::loadFields() {
  std::vector<engine::FieldDesc> fields;
  engine::Check(engine::GetFieldDescs(cursor_, fields));
  currentNames_.clear();
  for (const engine::FieldDesc& f : fields) {
    Roster->AddLoadedField(f);
    currentNames_ << QString::fromStdString(f.name);
  }
}

void TCreateF::loadIndexes() {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(cursor_, props));
  for (std::uint16_t n = 2; n <= props.indexCount; ++n) {
    engine::IndexDesc index;
    engine::Check(engine::GetIndexDesc(cursor_, n, index));
    state_.indexes[QString::fromStdString(index.name)] = {index, index, engine::opNone};
  }
  engine::IndexDesc first;
  if (props.indexCount < 1) return;
  engine::Check(engine::GetIndexDesc(cursor_, 1, first));
  if (!first.primary) {
    state_.indexes[QString::fromStdString(first.name)] = {first, first, engine::opNone};
    return;
  }
  currentPrimary_ = first;
  for (int k = 0; k < first.fieldsInKey && k < engine::kMaxKeyFields; ++k)
    Roster->SetKey(first.keyFields[k], true);
}

void TCreateF::loadChecks() {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(cursor_, props));
  for (std::uint16_t n = 1; n <= props.valCheckCount; ++n) {
    engine::ValCheckDesc check;
    engine::Check(engine::GetValCheckDesc(cursor_, n, check));
    if (design::FieldRow* row = Roster->Record(check.fieldNumber)) row->loadedCheck = check;
  }
}

void TCreateF::loadLinks() {
  engine::CursorProps props;
  engine::Check(engine::GetCursorProps(cursor_, props));
  for (std::uint16_t n = 1; n <= props.refIntCount; ++n) {
    engine::RefIntDesc link;
    engine::Check(engine::GetRefIntDesc(cursor_, n, link));
    if (link.kind == engine::riDependent)
      state_.links[QString::fromStdString(link.name)] = {link, link, engine::opNone};
  }
}

void TCreateF::loadPasswords() {
  engine::hDBICur list = 0;
  engine::Check(engine::OpenSecurityList(db_, table_.toStdString(), "PARADOX", list));
  engine::SecurityDesc security;
  engine::Result r;
  while ((r = engine::GetNextRecord(list, security)) == engine::Ok)
    state_.passwords[QString::fromStdString(security.password)] = {security, engine::opNone};
  engine::CloseCursor(list);
  if (r != engine::ErrEndOfList) engine::Check(r);
}

// Property pages.

void TCreateF::TblPropComBChange() {
  ModifyBtn->setEnabled(false);
  if (Roster->FieldType(1).isNull()) {
    Roster->HintLabel->setText("No fields identified");
    QApplication::beep();
    TblPropComB->setCurrentIndex(page_);
    return;
  }
  page_ = TblPropComB->currentIndex();
  showPage();
  refillList();
  if (page_ == PasswordsPage) {
    const bool hasMaster = tableProtected();
    ModifyBtn->setEnabled(hasMaster);
    DefineBtn->setEnabled(!hasMaster);
  }
}

// The check panel on the first page; the buttons and, for indexes and
// links, the list on the others.
void TCreateF::showPage() {
  CheckPanel->setVisible(page_ == ChecksPage);
  for (QWidget* w : {static_cast<QWidget*>(DefineBtn), static_cast<QWidget*>(ModifyBtn)})
    w->setVisible(page_ != ChecksPage);
  const bool listed = page_ == IndexesPage || page_ == LinksPage;
  EraseBtn->setVisible(listed);
  RefIndxLB->setVisible(listed);
  DefineBtn->setEnabled(true);
  EraseBtn->setEnabled(false);
}

void TCreateF::refillList() {
  RefIndxLB->clear();
  if (page_ == IndexesPage) RefIndxLB->addItems(design::ListedNames(state_.indexes));
  if (page_ == LinksPage) RefIndxLB->addItems(design::ListedNames(state_.links));
}

// Whether the table has a master password: the table's own, or one given
// in this session.
bool TCreateF::tableProtected() {
  if (!restructureMode()) return !state_.LastPassword.isEmpty();
  if (state_.MasterPasswordSet) return true;
  if (state_.RemoveProtection || !cursor_) return false;
  PasswordPromptCaption = database_ + ": " + table_;
  engine::CursorProps props;
  return engine::GetCursorProps(cursor_, props) == engine::Ok && props.isProtected;
}

void TCreateF::RefIndxLBClick() {
  const bool any = RefIndxLB->count() > 0;
  ModifyBtn->setEnabled(any);
  EraseBtn->setEnabled(any);
}

void TCreateF::RefIndxLBDblClick() { ModifyBtnClick(); }

void TCreateF::DefineBtnClick() { openEntry(QString()); }

void TCreateF::ModifyBtnClick() {
  if (page_ == PasswordsPage) {
    openEntry(QString());
    return;
  }
  if (QListWidgetItem* item = RefIndxLB->currentItem()) openEntry(item->text());
}

// The sub-dialog of the page, for a new entry (empty name) or the named one.
void TCreateF::openEntry(const QString& name) {
  state_.roster = Roster->Fields();
  switch (page_) {
    case IndexesPage:
      IndexF->Open(name);
      break;
    case LinksPage:
      if (name.isEmpty() && !state_.roster.hasKey()) {
        prompter().error("Table must be keyed");
        return;
      }
      RefIntF->Open(name);
      break;
    case PasswordsPage:
      MasterPassF->Open(tableProtected());
      break;
    default:
      return;
  }
  TblPropComBChange();
}

void TCreateF::EraseBtnClick() {
  QListWidgetItem* item = RefIndxLB->currentItem();
  if (!item) return;
  const QString name = item->text();
  const bool linkName = state_.links.count(name) > 0;
  if (page_ == IndexesPage) {
    if (linkName && !restructureMode()) {
      prompter().error("Delete Referential Integrity " + Quoted(name) + " first.");
      return;
    }
    if (linkName && prompter().message(Prompter::Icon::Warning, QString(),
                                       "Deleting index " + Quoted(name) +
                                           " may adversely affect on referential integrity "
                                           "constraint\rContinue?",
                                       Prompter::Button::Yes | Prompter::Button::No) !=
                        Prompter::Button::Yes)
      return;
    design::EraseEntry(state_.indexes, name, restructureMode());
  } else if (page_ == LinksPage) {
    design::EraseEntry(state_.links, name, restructureMode());
  }
  delete item;
  EraseBtn->setEnabled(false);
  ModifyBtn->setEnabled(false);
}

void TCreateF::EngineDefCBClick() { MoreCtrlGB->setVisible(!EngineDefCB->isChecked()); }

// Saving.

void TCreateF::CreateBtnClick() {
  if (CheckPanel->HasInvalidValue()) {
    QApplication::beep();
    return;
  }
  try {
    if (restructureMode())
      restructureTable();
    else
      createTable();
  } catch (const std::invalid_argument& e) {
    prompter().error(QString::fromStdString(e.what()));
  }
}

void TCreateF::createTable() {
  design::ParadoxOptions options;
  if (EngineDefCB->isChecked())
    options = design::ReadParadoxDefaults();
  else
    options = {QString(), BlockSizeCB->currentText(), FillFactorEdit->text(),
               LanguageDriverFor(LangDrvCB->currentText())};
  options.level = level_;
  const design::CreateDesign design{QString(), Roster->Rows(), &state_, options};
  engine::TableDesc desc = design::BuildCreateDesc(design);  // a bad number fails before asking
  if (!db_) engine::Check(engine::OpenDatabase(database_.toStdString(), db_));
  std::string directory;
  engine::Check(engine::GetDatabaseDirectory(db_, directory));
  QString path =
      prompter().saveFile("Save table as...", QString::fromStdString(directory), "Paradox Tables (*.db)").path;
  if (path.isEmpty()) return;
  if (QFileInfo(path).suffix().isEmpty()) path += ".DB";
  desc.tableName = path.toStdString();
  try {
    engine::Check(engine::CreateTable(db_, true, desc));
  } catch (const EDBEngineError& e) {
    prompter().error(QString::fromUtf8(e.what()));
    return;
  }
  QApplication::beep();
}

void TCreateF::restructureTable() {
  const QString bad = Roster->ResolveFieldChanges(currentNames_);
  if (!bad.isEmpty()) throw std::invalid_argument(bad.toStdString());
  design::RestructureDesign design;
  design.tableName = table_;
  design.pack = PackCB->isChecked();
  if (!EngineDefCB->isChecked())
    design.options = design::ParadoxOptions{Edit1->text(), BlockSizeCB->currentText(), QString(),
                                            LanguageDriverFor(LangDrvCB->currentText())};
  design.rows = Roster->Rows();
  design.state = &state_;
  design.currentPrimary = currentPrimary_;
  const engine::TableDesc desc = design::BuildRestructureDesc(design);
  closeTable();
  bool go = false;
  try {
    go = design::ConfirmRestructureLoss(db_, desc, static_cast<int>(currentNames_.size()));
  } catch (...) {
    openTable();
    throw;
  }
  if (!go) {
    openTable();
    return;
  }
  const engine::Result r = engine::RestructureTable(db_, desc);
  const std::string message = engine::LastErrorMessage();
  const QString password = state_.MasterPasswordSet ? state_.LastPassword : QString();
  accept();
  if (!password.isEmpty()) DMF().aSession.AddPassword(password.toStdString());
  if (r) throw EDBEngineError(r, message);
}

void TCreateF::SaveAsBtnClick() {
  std::string directory;
  if (db_) engine::GetDatabaseDirectory(db_, directory);
  prompter().saveFile("Save table as...", QString::fromStdString(directory), "Paradox Tables (*.db)");
}

void TCreateF::CancelBtnClick() {
  RestructureMode = false;
  reject();
}

void TCreateF::FormClose() {
  if (closed_) return;
  closed_ = true;
  state_.LastPassword.clear();
  state_.MasterPasswordSet = false;
  state_.indexes.clear();
  state_.links.clear();
  state_.passwords.clear();
  RestructureMode = false;
  closeTable();
  if (restructureMode()) PasswordPromptCaption = database_ + ": " + table_;
}
