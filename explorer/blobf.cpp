#include "explorer/blobf.h"

#include <QAction>
#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFocusEvent>
#include <QFontDialog>
#include <QImage>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPrintDialog>
#include <QPrinter>
#include <QSaveFile>
#include <QShowEvent>
#include <QTextCharFormat>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "app/prompter.h"
#include "app/textfile.h"

namespace {

const QString kTextFilter = "TXT Files(*.txt)";
const QString kGraphicsFilter = "Graphics files (*.bmp *.jpg *.ico)";
const QString kAllFilter = "All files (*)";

bool IsMemoType(std::uint16_t type) {
  return type == engine::pxMemo || type == engine::pxFmtMemo || type == engine::dbMemo;
}

bool IsBinaryType(std::uint16_t type) {
  return type == engine::pxBinary || type == engine::dbBinary;
}

QByteArray BytesOf(const engine::Value& value) {
  if (const auto* blob = std::get_if<engine::BlobValue>(&value))
    return QByteArray::fromStdString(blob->bytes);
  if (const auto* text = std::get_if<std::string>(&value)) return QByteArray::fromStdString(*text);
  return {};
}

// Every picture format Qt reads, for the load dialog.
QString PictureFilters() {
  QStringList patterns;
  for (const QByteArray& format : QImageReader::supportedImageFormats())
    patterns << "*." + QString::fromLatin1(format);
  return "Pictures (" + patterns.join(' ') + ");;Bitmaps (*.bmp);;Icons (*.ico);;" + kAllFilter;
}

QByteArray AsBitmap(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "BMP");
  return bytes;
}

}  // namespace

TBLOBF::TBLOBF(engine::TTable& table, QWidget* grid, QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::WindowStaysOnTopHint), table_(table), grid_(grid) {
  setObjectName("BLOBF");
  setWindowTitle("BLOB Viewer");
  resize(400, 300);
  DBMemo = new QTextEdit;
  DBMemo->setObjectName("DBMemo");
  DBMemo->installEventFilter(this);
  DBImage = new QLabel;
  DBImage->setObjectName("DBImage");
  DBImage->setScaledContents(true);
  DBImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(DBMemo);
  layout->addWidget(DBImage);
  DBMemo->hide();
  DBImage->hide();

  Popup = new QMenu(this);
  Popup->setObjectName("BLOBPopup");
  addCommand("Copy1", "Copy", "Ctrl+C", &TBLOBF::Copy1Click);
  addCommand("Cut1", "Cut", "Ctrl+X", &TBLOBF::Cut1Click);
  addCommand("Paste1", "Paste", "Ctrl+V", &TBLOBF::Paste1Click);
  addCommand("SelectAll1", "Select All", "Ctrl+A", &TBLOBF::SelectAll1Click);
  addCommand("SaveToFile1", "&Save To File", "Ctrl+S", &TBLOBF::SaveToFile1Click);
  addCommand("LoadFromFile1", "L&oad From File", "Ctrl+O", &TBLOBF::LoadFromFile1Click);
  addCommand("Print1", "&Print", "Ctrl+P", &TBLOBF::Print1Click);
  addCommand("Font1", "&Font", "Ctrl+F", &TBLOBF::Font1Click);
  Alwaysshow1 = addCommand("Alwaysshow1", "&Always show", QString(), nullptr);
  StretchImage1 = addCommand("StretchImage1", "Stretch Image", QString(), &TBLOBF::StretchImage1Click);
  for (QAction* check : {Alwaysshow1, StretchImage1}) {
    check->setCheckable(true);
    check->setChecked(true);
  }
  for (QWidget* view : {static_cast<QWidget*>(DBMemo), static_cast<QWidget*>(DBImage)}) {
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this,
            [this, view](const QPoint& pos) { Popup->popup(view->mapToGlobal(pos)); });
  }
}

QAction* TBLOBF::addCommand(const QString& name, const QString& caption, const QString& shortcut,
                            void (TBLOBF::*slot)()) {
  auto* action = new QAction(caption, this);
  action->setObjectName(name);
  if (!shortcut.isEmpty()) action->setShortcut(QKeySequence(shortcut));
  if (slot) connect(action, &QAction::triggered, this, slot);
  Popup->addAction(action);
  addAction(action);
  return action;
}

// ---- Following the grid ----

void TBLOBF::FollowColumn(int column) {
  gridColumn_ = column;
  if (Alwaysshow1->isChecked()) applyRule(column);
}

void TBLOBF::applyRule(int column) {
  CommitText();
  const bool valid = table_.Active() && column >= 0 && column < table_.FieldCount();
  const std::uint16_t type = valid ? table_.Fields(column).DataType() : 0;
  View view = View::None;
  if (IsMemoType(type)) {
    view = View::Text;
  } else if (type == engine::pxGraphic) {
    view = View::Picture;
  } else if (IsBinaryType(type) &&
             !QImage::fromData(BytesOf(table_.Fields(column).GetValue())).isNull()) {
    view = View::Picture;
  }
  if (view == View::None) {
    if (isVisible()) close();
    DBMemo->hide();
    DBImage->hide();
    return;
  }
  view_ = view;
  column_ = column;
  path_ = table_.TablePath();
  DBMemo->setVisible(view == View::Text);
  DBImage->setVisible(view == View::Picture);
  show();
  showValue();
  if (grid_) grid_->setFocus();
}

void TBLOBF::RecordChanged() {
  if (view_ == View::None || !isVisible()) return;
  CommitText();
  showValue();
}

void TBLOBF::showValue() {
  const bool bound = table_.Active() && column_ >= 0 && column_ < table_.FieldCount();
  const engine::Value value = bound ? table_.Fields(column_).GetValue() : engine::Value{};
  if (view_ == View::Text) {
    QString text = QString::fromUtf8(BytesOf(value));
    crlf_ = text.contains("\r\n");
    text.replace("\r\n", "\n");
    DBMemo->setPlainText(text);
    shownText_ = text;
  } else {
    const QImage image = QImage::fromData(BytesOf(value));
    DBImage->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
  }
}

void TBLOBF::unbind() {
  view_ = View::None;
  column_ = -1;
  DBMemo->clear();
  shownText_.clear();
  DBImage->clear();
}

void TBLOBF::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Shown by hand: looks at the grid's column once.
  if (!Alwaysshow1->isChecked() && view_ == View::None)
    QTimer::singleShot(0, this, [this] { applyRule(gridColumn_); });
}

void TBLOBF::closeEvent(QCloseEvent* event) {
  CommitText();
  unbind();
  QWidget::closeEvent(event);
}

bool TBLOBF::eventFilter(QObject* watched, QEvent* event) {
  // Typed text goes to the record once the view is left (not for its own popup).
  if (watched == DBMemo && event->type() == QEvent::FocusOut &&
      static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason)
    CommitText();
  return QWidget::eventFilter(watched, event);
}

// ---- Writing the record ----

bool TBLOBF::write(const engine::Value& value) {
  if (column_ < 0 || !table_.Active() || table_.TablePath() != path_) return false;
  const bool inserting = table_.GetState() == engine::TTable::State::Insert;
  try {
    if (!inserting) table_.Edit();
    table_.Fields(column_).SetValue(value);
    if (!inserting) table_.Post();
  } catch (const std::exception& e) {
    if (table_.GetState() == engine::TTable::State::Edit) table_.Cancel();
    prompter().error(QString::fromUtf8(e.what()));
    return false;
  }
  emit valueWritten();
  return true;
}

bool TBLOBF::CommitText() {
  const QString typed = DBMemo->toPlainText();
  if (view_ != View::Text || typed == shownText_) return true;
  QString text = typed;
  if (crlf_) text.replace('\n', "\r\n");
  if (!write(text.isEmpty() ? engine::Value{} : engine::Value{text.toStdString()}))
    return false;  // the text stays in the view, to be corrected or saved
  shownText_ = typed;
  return true;
}

bool TBLOBF::writePicture(const QByteArray& bytes) {
  if (!write(bytes.isEmpty() ? engine::Value{} : engine::Value{engine::BlobValue{bytes.toStdString()}}))
    return false;
  showValue();
  return true;
}

QByteArray TBLOBF::pictureBytes() const {
  if (!table_.Active() || column_ < 0 || column_ >= table_.FieldCount()) return {};
  return BytesOf(table_.Fields(column_).GetValue());
}

// ---- Commands ----

void TBLOBF::Copy1Click() {
  if (view_ == View::Text) {
    DBMemo->copy();
  } else if (view_ == View::Picture) {
    const QImage image = QImage::fromData(pictureBytes());
    if (!image.isNull()) QApplication::clipboard()->setImage(image);
  }
}

void TBLOBF::Cut1Click() {
  if (view_ == View::Text) {
    DBMemo->cut();
    CommitText();
  } else if (view_ == View::Picture) {
    Copy1Click();
    writePicture({});
  }
}

void TBLOBF::Paste1Click() {
  if (view_ == View::Text) {
    DBMemo->paste();
    CommitText();
  } else if (view_ == View::Picture) {
    const QImage image = QApplication::clipboard()->image();
    if (!image.isNull()) writePicture(AsBitmap(image));
  }
}

void TBLOBF::SelectAll1Click() {
  if (view_ == View::Text) DBMemo->selectAll();
}

void TBLOBF::SaveToFile1Click() {
  if (view_ == View::None) return;
  const QString filters = kTextFilter + ";;" + kGraphicsFilter + ";;" + kAllFilter;
  const QString path = prompter()
                           .saveFile("Save As", QString(), filters,
                                     view_ == View::Text ? kTextFilter : kGraphicsFilter)
                           .path;
  if (path.isEmpty()) return;
  if (view_ == View::Text) {
    SaveTextFile(path, DBMemo->toPlainText(), crlf_);
    return;
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(pictureBytes()) < 0 || !file.commit())
    prompter().error("Cannot write file \"" + QDir::toNativeSeparators(path) + "\". " +
                     file.errorString());
}

void TBLOBF::LoadFromFile1Click() {
  if (view_ == View::Text) {
    const QString path =
        prompter().openFile("Open", QString(), kTextFilter + ";;" + kAllFilter).path;
    if (path.isEmpty()) return;
    const std::optional<LoadedText> loaded = LoadTextFile(path);
    if (!loaded) return;
    DBMemo->setPlainText(loaded->text);
    crlf_ = loaded->crlf;
    CommitText();
  } else if (view_ == View::Picture) {
    const QString path = prompter().openFile("Open", QString(), PictureFilters()).path;
    if (path.isEmpty()) return;
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly)) bytes = file.readAll();
    const QImage image = QImage::fromData(bytes);
    if (image.isNull()) {
      prompter().error("\"" + QDir::toNativeSeparators(path) + "\" is not a picture.");
      return;
    }
    // A graphic field holds a bitmap; a binary one takes the file as it is.
    const bool bitmap = QImageReader::imageFormat(path) == "bmp";
    const std::uint16_t type = table_.Fields(column_).DataType();
    writePicture(type == engine::pxGraphic && !bitmap ? AsBitmap(image) : bytes);
  }
}

void TBLOBF::Print1Click() {
  if (view_ == View::None) return;
  QPrinter printer;
  QPrintDialog dialog(&printer, this);
  if (prompter().exec(dialog) != QDialog::Accepted) return;
  if (view_ == View::Text) {
    QTextEdit tmp;
    tmp.setObjectName("tmp");
    tmp.setPlainText(DBMemo->toPlainText());
    printer.setDocName("Memo Field");
    tmp.print(&printer);
    return;
  }
  const QImage image = QImage::fromData(pictureBytes());
  QPainter painter(&printer);
  if (!image.isNull()) painter.drawImage(QRect(QPoint(5, 3), QPoint(999, 499)), image);
}

void TBLOBF::Font1Click() {
  if (view_ != View::Text) return;
  QFontDialog dialog(DBMemo->currentFont(), this);
  if (prompter().exec(dialog) != QDialog::Accepted) return;
  QTextCharFormat format;
  format.setFont(dialog.selectedFont());
  DBMemo->mergeCurrentCharFormat(format);
}

void TBLOBF::StretchImage1Click() { DBImage->setScaledContents(StretchImage1->isChecked()); }
