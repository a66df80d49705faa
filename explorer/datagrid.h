// The data page's grid model: the rows of the browsed table, read from the
// engine only as the view asks for them (engine/dataset/tablerows.h), and
// edited in place through the table component, so the engine's checks,
// keys, links and rights apply to every change.
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include "engine/dataset/table.h"
#include "engine/dataset/tablerows.h"

class TableGridModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  explicit TableGridModel(engine::TTable& table, QObject* parent = nullptr);

  // Starts over after the table was opened, closed, reordered, filtered,
  // packed or emptied.
  void reload();
  // Values changed in place; the rows stay.
  void refreshValues();
  engine::TableRows& rows() { return rows_; }
  engine::TTable& table() { return *table_; }

  // While the table is inserting, the grid shows the new record as its
  // last row.
  bool inserting() const { return table_->GetState() == engine::TTable::State::Insert; }
  int insertRow() const { return static_cast<int>(shown_); }
  // Scans on until `row` is a known row (or the rows end).
  void reach(int row);
  // A new record at the end of the grid: its cells go into the record
  // buffer; posting writes it (an engine error leaves it to be corrected),
  // cancelling drops it.
  void beginNewRow();
  void postNewRow();
  void cancelNewRow();
  bool cancelling() const { return cancelling_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;

 signals:
  // An edit the engine refused: the cell, the text typed and the message.
  void editRefused(const QModelIndex& index, const QString& text, const QString& message);

 private:
  engine::Value valueAt(int row, int column) const;
  bool editable(int column) const;
  // The table is open on the file the rows were read from.
  bool bound() const { return table_->Active() && table_->TablePath() == path_; }

  engine::TTable* table_;
  mutable engine::TableRows rows_;
  std::uint32_t shown_ = 0;  // the rows the view knows of
  std::string path_;         // the table the rows are of
  bool cancelling_ = false;
};

// How the grid shows a value: the text `quarry dump` prints, memo text up to
// its first line break, binary data as its size.
QString GridText(const engine::Value& value);
