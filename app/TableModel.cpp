#include "app/TableModel.h"

#include <QBrush>
#include <QGuiApplication>
#include <QPalette>
#include <cstdio>

namespace wizard {

TTableModel::TTableModel(engine::TTable* table, engine::TDataSource* source,
                         std::vector<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), table_(table), source_(source), columns_(std::move(columns)) {
  listener_ = source_->AddListener([this] { TableChanged(); });
  last_active_ = table_->Active();
  last_count_ = last_active_ ? table_->RecordCount() : 0;
  current_ = CurrentRow();
}

TTableModel::~TTableModel() { source_->RemoveListener(listener_); }

int TTableModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid()) return 0;
  return static_cast<int>(last_count_);
}

int TTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QString TTableModel::DisplayText(const engine::Value& v) {
  using K = engine::Value::Kind;
  switch (v.kind) {
    case K::Null:
      return {};
    case K::Text: {
      QString s = QString::fromUtf8(v.s);
      qsizetype n = s.size();
      while (n > 0 && s[n - 1] == u' ') --n;
      s.truncate(n);
      return s;
    }
    case K::Logical:
      return v.i ? QStringLiteral("Verdadero") : QStringLiteral("Falso");
    case K::Date: {
      int y = 0, m = 0, d = 0;
      engine::CivilFromDay(v.i, &y, &m, &d);
      char buf[32];
      std::snprintf(buf, sizeof buf, "%02d/%02d/%04d", d, m, y);
      return QString::fromLatin1(buf);
    }
    default:
      return QString::fromUtf8(v.ToDisplay());
  }
}

QVariant TTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || role != Qt::DisplayRole || !table_->Active()) return {};
  const GridColumn& c = columns_.at(static_cast<size_t>(index.column()));
  if (c.field == nullptr || c.field->DataSet() != table_) return {};
  int fieldIndex = -1;  // the field's place among the table's fields
  for (int i = 0; i < table_->FieldCount(); ++i)
    if (table_->Fields(i) == c.field) fieldIndex = i;
  const int64_t recno = index.row() + 1;
  if (fieldIndex < 0 || recno > last_count_) return {};
  return DisplayText(table_->ValueAt(recno, fieldIndex));
}

QVariant TTableModel::headerData(int section, Qt::Orientation o, int role) const {
  if (o == Qt::Horizontal) {
    if (section < 0 || section >= static_cast<int>(columns_.size())) return {};
    if (role == Qt::DisplayRole) return columns_[static_cast<size_t>(section)].title;
    if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    return {};
  }
  // The row indicator: a mark on the table's current row.
  if (role == Qt::DisplayRole) return section == current_ ? QStringLiteral("\u25B6") : QString();
  if (role == Qt::TextAlignmentRole) return QVariant(Qt::AlignCenter);
  return {};
}

Qt::ItemFlags TTableModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsSelectable | Qt::ItemIsEnabled;  // never editable
}

int TTableModel::CurrentRow() const {
  if (!table_->Active()) return -1;
  const int64_t n = table_->RecNo();
  return n > 0 ? static_cast<int>(n - 1) : -1;
}

void TTableModel::MoveTo(int row) {
  if (moving_ || !table_->Active() || row < 0 || row + 1 > table_->RecordCount()) return;
  if (row == CurrentRow()) return;
  moving_ = true;
  try {
    table_->SetRecNo(row + 1);
  } catch (...) {
    moving_ = false;
    TableChanged();
    throw;
  }
  moving_ = false;
  TableChanged();
}

void TTableModel::TableChanged() {
  if (moving_) return;  // the move's own notifications; handled once when it ends
  const bool active = table_->Active();
  const int64_t count = active ? table_->RecordCount() : 0;
  if (active != last_active_ || count != last_count_) {
    // Rows came or went (open, close, a new range of a detail table): refill.
    beginResetModel();
    last_active_ = active;
    last_count_ = count;
    endResetModel();
  } else if (count > 0 && !columns_.empty()) {
    // Same number of rows, perhaps other values (a detail table re-ranged on another master).
    emit dataChanged(index(0, 0), index(static_cast<int>(count) - 1,
                                        static_cast<int>(columns_.size()) - 1));
  }
  const int old = current_;
  current_ = CurrentRow();
  if (old >= 0) emit headerDataChanged(Qt::Vertical, old, old);
  if (current_ >= 0) emit headerDataChanged(Qt::Vertical, current_, current_);
  emit currentRowChanged(current_);
}

}  // namespace wizard
