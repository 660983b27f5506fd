// TTableModel: a Qt item model that shows a TTable to a grid without copying its rows. It reads
// the row count and values through the table (RecordCount, ValueAt), follows the table through
// a listener on its TDataSource, and moves the table (SetRecNo) when the grid's current row
// moves, so that detail tables linked to it follow the selection.
//
// Requires: the table and data source outlive the model (the window owns all three and destroys
// the model first).
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

#include "engine/table.h"

namespace wizard {

// One grid column: a declared field, its title and its width in characters.
struct GridColumn {
  engine::TField* field = nullptr;
  QString title;
  int widthChars = 0;
};

class TTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  TTableModel(engine::TTable* table, engine::TDataSource* source, std::vector<GridColumn> columns,
              QObject* parent = nullptr);
  ~TTableModel() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation o, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  const std::vector<GridColumn>& Columns() const { return columns_; }
  // The table's current row as a 0-based model row, -1 when closed or empty.
  int CurrentRow() const;
  // Moves the table to a model row (a grid selection).
  void MoveTo(int row);

  // How a value shows in a grid cell.
  static QString DisplayText(const engine::Value& v);

 signals:
  // The table's current row changed (after a move of the table itself or a refill).
  void currentRowChanged(int row);

 private:
  void TableChanged();

  engine::TTable* table_;
  engine::TDataSource* source_;
  std::vector<GridColumn> columns_;
  int listener_ = 0;
  bool moving_ = false;
  bool last_active_ = false;
  int64_t last_count_ = 0;  // rows as the views last heard of them
  int current_ = -1;
};

}  // namespace wizard
