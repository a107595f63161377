#pragma once
// The station window's table: one row per port of a CStationModel, as a Qt item model, and the
// delegate that draws a row's progress as a progress bar with its bytes and time left. A pass or
// a fail tints the row with a colour mixed from the palette's own base, and only where the
// palette's text stays readable on it (a high-contrast theme keeps its colours); the state text
// says the same in words, in bold.

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <vector>

#include "station/StationModel.h"

namespace korv {

class CStationTableModel : public QAbstractTableModel {
  public:
    enum Column {
        Label,
        Port,
        Device,
        Unit,
        State,
        Progress,
        Sent,
        Accepted,
        Failed,
        Last,
        ColumnCount
    };
    // The progress column's percent (-1: no transfer yet), for the delegate.
    static constexpr int PercentRole = Qt::UserRole + 1;

    explicit CStationTableModel(CStationModel& model, QObject* parent = nullptr);

    // The model's rows were added or removed: the table is rebuilt.
    void RowsChanged();
    // The rows' figures changed: the cells whose text, tint or progress differ from what was
    // drawn are redrawn (with many ports sending, mostly the progress column).
    void FiguresChanged();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The row's tint for a tone on a palette; invalid when the row keeps the palette's base
    // (neutral, or a palette whose text would not be readable on a tint).
    static QVariant Tint(RowTone tone, const QPalette& palette);

  private:
    CStationModel& m_model;
    std::vector<StationRow> m_drawn;  // the rows as the table has them
};

class CProgressDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

}  // namespace korv
