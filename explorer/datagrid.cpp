#include "explorer/datagrid.h"

#include <QBrush>
#include <QFont>

#include <stdexcept>

#include "engine/dataset/fieldtext.h"

using engine::Value;

namespace {

// Records scanned per fetch while a filter (or hidden deleted records)
// leaves the row count open.
constexpr std::uint32_t kScanPerFetch = 4096;
constexpr int kLongestCellText = 256;

bool IsBinaryType(std::uint16_t type) {
  switch (type) {
    case engine::pxBinary: case engine::pxOle: case engine::pxGraphic: case engine::pxBytes:
    case engine::dbOle: case engine::dbBinary: case engine::dbLock:
      return true;
    default:
      return false;
  }
}

}  // namespace

QString GridText(const Value& value) {
  if (const auto* blob = std::get_if<engine::BlobValue>(&value))
    return QString("(%1 bytes)").arg(blob->bytes.size());
  QString text = QString::fromStdString(engine::FormatValue(value));
  int lineEnd = text.indexOf('\n');
  const int returnAt = text.indexOf('\r');
  if (returnAt >= 0 && (lineEnd < 0 || returnAt < lineEnd)) lineEnd = returnAt;
  if (lineEnd >= 0) text = text.left(lineEnd) + QString::fromUtf8("…");
  if (text.size() > kLongestCellText) text = text.left(kLongestCellText) + QString::fromUtf8("…");
  return text;
}

TableGridModel::TableGridModel(engine::TTable& table, QObject* parent)
    : QAbstractTableModel(parent), table_(&table), rows_(table) {}

void TableGridModel::reload() {
  beginResetModel();
  path_ = table_->Active() ? table_->TablePath() : std::string();
  try {
    rows_.Reset();
  } catch (const std::exception&) {
    path_.clear();  // unreadable: the grid stays empty
  }
  shown_ = bound() ? rows_.Count() : 0;
  endResetModel();
}

void TableGridModel::beginNewRow() {
  if (!bound() || inserting()) return;
  beginInsertRows(QModelIndex(), insertRow(), insertRow());
  table_->Append();
  endInsertRows();
}

void TableGridModel::postNewRow() {
  if (!inserting()) return;
  table_->Post();  // raises while the record is refused; it stays to be corrected
  reload();
}

void TableGridModel::cancelNewRow() {
  if (!inserting()) return;
  cancelling_ = true;  // the view moves its current row off the new one meanwhile
  beginRemoveRows(QModelIndex(), insertRow(), insertRow());
  table_->Cancel();
  endRemoveRows();
  cancelling_ = false;
}

void TableGridModel::refreshValues() {
  rows_.Invalidate();
  if (rowCount() > 0 && columnCount() > 0)
    emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
}

void TableGridModel::reach(int row) {
  while (row >= static_cast<int>(shown_) && canFetchMore(QModelIndex())) {
    const std::uint32_t before = shown_;
    const bool wasComplete = rows_.Complete();
    fetchMore(QModelIndex());
    if (shown_ == before && rows_.Complete() == wasComplete) break;  // the scan failed
  }
}

int TableGridModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() || !bound()) return 0;
  return static_cast<int>(shown_) + (inserting() ? 1 : 0);
}

int TableGridModel::columnCount(const QModelIndex& parent) const {
  if (parent.isValid() || !bound()) return 0;
  return table_->FieldCount();
}

Value TableGridModel::valueAt(int row, int column) const {
  if (inserting() && row == insertRow()) return table_->Fields(column).GetValue();
  const std::vector<Value>* values = rows_.Values(static_cast<std::uint32_t>(row));
  if (!values || column >= static_cast<int>(values->size())) return Value{};
  return (*values)[column];
}

QVariant TableGridModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || !bound()) return {};
  try {
    switch (role) {
      case Qt::DisplayRole:
        return GridText(valueAt(index.row(), index.column()));
      case Qt::EditRole:
        return QString::fromStdString(engine::FormatValue(valueAt(index.row(), index.column())));
      case Qt::FontRole:
        if (!(inserting() && index.row() == insertRow()) &&
            rows_.Deleted(static_cast<std::uint32_t>(index.row()))) {
          QFont font;
          font.setStrikeOut(true);
          return font;
        }
        return {};
      case Qt::ForegroundRole:
        if (!(inserting() && index.row() == insertRow()) &&
            rows_.Deleted(static_cast<std::uint32_t>(index.row())))
          return QBrush(Qt::gray);
        return {};
      default:
        return {};
    }
  } catch (const std::exception&) {
    return role == Qt::DisplayRole ? QVariant(QString("#error")) : QVariant();
  }
}

QVariant TableGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole || !bound()) return {};
  if (orientation == Qt::Vertical)
    return inserting() && section == insertRow() ? QVariant("*") : QVariant(section + 1);
  if (section < 0 || section >= table_->FieldCount()) return {};
  return QString::fromStdString(table_->Fields(section).FieldName());
}

bool TableGridModel::editable(int column) const {
  if (table_->ReadOnly() || column < 0 || column >= table_->FieldCount()) return false;
  const std::uint16_t type = table_->Fields(column).DataType();
  return !IsBinaryType(type) && type != engine::pxAutoinc && type != engine::dbAutoinc;
}

Qt::ItemFlags TableGridModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  if (index.isValid() && editable(index.column())) f |= Qt::ItemIsEditable;
  return f;
}

// A cell of a stored row is written at once (edit, set, post); a cell of the
// row being inserted only goes into the record buffer until it is posted.
bool TableGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (role != Qt::EditRole || !index.isValid() || !editable(index.column())) return false;
  const QString text = value.toString();
  const bool newRow = inserting() && index.row() == insertRow();
  try {
    engine::TField& field = table_->Fields(index.column());
    const Value parsed = engine::ParseValue(field.Desc(), text.toStdString());
    if (!newRow) {
      rows_.GoTo(static_cast<std::uint32_t>(index.row()));
      table_->Edit();
    }
    field.SetValue(parsed);
    if (!newRow) table_->Post();
  } catch (const std::exception& e) {
    if (!newRow && table_->GetState() == engine::TTable::State::Edit) table_->Cancel();
    emit editRefused(index, text, QString::fromUtf8(e.what()));
    return false;
  }
  if (newRow) {
    emit dataChanged(index, index);
  } else {
    refreshValues();
  }
  return true;
}

bool TableGridModel::canFetchMore(const QModelIndex& parent) const {
  return !parent.isValid() && bound() && (!rows_.Complete() || rows_.Count() > shown_);
}

void TableGridModel::fetchMore(const QModelIndex& parent) {
  if (!canFetchMore(parent)) return;
  try {
    rows_.Discover(kScanPerFetch);
  } catch (const std::exception&) {
    return;
  }
  // The view hears of the rows found only now.
  if (rows_.Count() > shown_) {
    beginInsertRows(QModelIndex(), static_cast<int>(shown_), static_cast<int>(rows_.Count()) - 1);
    shown_ = rows_.Count();
    endInsertRows();
  }
}
