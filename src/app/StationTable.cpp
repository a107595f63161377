#include "app/StationTable.h"

#include <QApplication>
#include <QFont>
#include <QPainter>
#include <QPalette>
#include <algorithm>
#include <cmath>

namespace korv {

namespace {

QColor Mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(static_cast<float>(a.redF() * (1 - t) + b.redF() * t),
                            static_cast<float>(a.greenF() * (1 - t) + b.greenF() * t),
                            static_cast<float>(a.blueF() * (1 - t) + b.blueF() * t));
}

// Relative luminance and contrast ratio as the web's accessibility guidelines define them.
double Luminance(const QColor& c) {
    auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double Contrast(const QColor& a, const QColor& b) {
    const double la = Luminance(a);
    const double lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The contrast that body text needs (4.5:1).
constexpr double kReadable = 4.5;
// How much of the hue goes into the base colour.
constexpr double kTintShare = 0.28;

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

CStationTableModel::CStationTableModel(CStationModel& model, QObject* parent)
    : QAbstractTableModel(parent), m_model(model) {}

namespace {

// Whether a column's cell shows something else for the two rows.
bool CellDiffers(int column, const StationRow& a, const StationRow& b) {
    if (a.tone != b.tone) {
        return true;  // the tint is the whole row's
    }
    switch (column) {
        case CStationTableModel::Label:
            return a.label != b.label;
        case CStationTableModel::Port:
            return a.name != b.name;
        case CStationTableModel::Device:
            return a.product != b.product;
        case CStationTableModel::Unit:
            return a.unit != b.unit;
        case CStationTableModel::State:
            return a.state != b.state || a.last != b.last || a.logError != b.logError;
        case CStationTableModel::Progress:
            return a.total != b.total || a.percent != b.percent || a.bytesText != b.bytesText ||
                   a.leftText != b.leftText;
        case CStationTableModel::Sent:
            return a.sent != b.sent;
        case CStationTableModel::Accepted:
            return a.accepted != b.accepted;
        case CStationTableModel::Failed:
            return a.failed != b.failed;
        case CStationTableModel::Last:
            return a.last != b.last || a.logError != b.logError;
        default:
            return false;
    }
}

}  // namespace

void CStationTableModel::RowsChanged() {
    beginResetModel();
    m_drawn = m_model.Rows();
    endResetModel();
}

void CStationTableModel::FiguresChanged() {
    const std::vector<StationRow>& rows = m_model.Rows();
    if (rows.size() != m_drawn.size()) {
        RowsChanged();
        return;
    }
    for (size_t r = 0; r < rows.size(); ++r) {
        // One span per row, from its first changed cell to its last.
        int first = -1;
        int last = -1;
        for (int c = 0; c < ColumnCount; ++c) {
            if (CellDiffers(c, rows[r], m_drawn[r])) {
                first = first < 0 ? c : first;
                last = c;
            }
        }
        if (first >= 0) {
            m_drawn[r] = rows[r];
            const int row = static_cast<int>(r);
            emit dataChanged(index(row, first), index(row, last));
        }
    }
}

int CStationTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_model.RowCount());
}

int CStationTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant CStationTableModel::Tint(RowTone tone, const QPalette& palette) {
    if (tone == RowTone::Neutral) {
        return {};
    }
    const QColor base = palette.color(QPalette::Base);
    const QColor hue = tone == RowTone::Pass ? QColor(0x1e, 0xa0, 0x3c) : QColor(0xd0, 0x20, 0x20);
    const QColor tint = Mix(base, hue, kTintShare);
    if (Contrast(tint, palette.color(QPalette::Text)) < kReadable) {
        return {};
    }
    return tint;
}

QVariant CStationTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || static_cast<size_t>(index.row()) >= m_model.RowCount()) {
        return {};
    }
    const StationRow& row = m_model.Row(static_cast<size_t>(index.row()));
    switch (role) {
        case Qt::DisplayRole:
            switch (index.column()) {
                case Label:
                    return Q(row.label);
                case Port:
                    return Q(row.name);
                case Device:
                    return Q(row.product);
                case Unit:
                    return Q(row.unit);
                case State:
                    return Q(row.state);
                case Progress: {
                    if (row.total == 0) {
                        return QString();
                    }
                    QString text =
                        QString::number(row.percent) + QStringLiteral(" %  ") + Q(row.bytesText);
                    if (!row.leftText.empty()) {
                        text += QStringLiteral(", ") + Q(row.leftText);
                    }
                    return text;
                }
                case Sent:
                    return row.sent;
                case Accepted:
                    return row.accepted;
                case Failed:
                    return row.failed;
                case Last:
                    return Q(row.logError.empty() ? row.last : row.logError);
                default:
                    return {};
            }
        case PercentRole:
            return row.total == 0 ? -1 : row.percent;
        case Qt::ToolTipRole:
            if (index.column() == Last || index.column() == State) {
                return Q(row.logError.empty() ? row.last : row.logError + "\n" + row.last);
            }
            return {};
        case Qt::BackgroundRole:
            return Tint(row.tone, QApplication::palette());
        case Qt::FontRole:
            if (index.column() == State && row.tone != RowTone::Neutral) {
                QFont font = QApplication::font();
                font.setBold(true);
                return font;
            }
            return {};
        case Qt::TextAlignmentRole:
            if (index.column() >= Sent && index.column() <= Failed) {
                return int(Qt::AlignRight | Qt::AlignVCenter);
            }
            return {};
        default:
            return {};
    }
}

QVariant CStationTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
        case Label:
            return QStringLiteral("Label");
        case Port:
            return QStringLiteral("Port");
        case Device:
            return QStringLiteral("Device");
        case Unit:
            return QStringLiteral("Unit");
        case State:
            return QStringLiteral("State");
        case Progress:
            return QStringLiteral("Progress");
        case Sent:
            return QStringLiteral("Sent");
        case Accepted:
            return QStringLiteral("Accepted");
        case Failed:
            return QStringLiteral("Failed");
        case Last:
            return QStringLiteral("Last result");
        default:
            return {};
    }
}

void CProgressDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const {
    const int percent = index.data(CStationTableModel::PercentRole).toInt();
    if (percent < 0) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The cell's own background (selection, tint) first, then the bar inside it.
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    cell.text.clear();
    const QWidget* widget = option.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);

    // The bar in the palette's selection colours, its text in the colour that goes with each
    // part: a high-contrast theme's own pair. (The style's progress bar draws gradients and
    // rounded frames: with many ports on screen four times a second, most of the window's
    // time.)
    const QRect inner = option.rect.adjusted(2, 2, -2, -2);
    const QPalette& palette = option.palette;
    const int filled = inner.width() * std::clamp(percent, 0, 100) / 100;
    const QRect done(inner.left(), inner.top(), filled, inner.height());
    const QRect rest(inner.left() + filled, inner.top(), inner.width() - filled, inner.height());
    painter->save();
    painter->fillRect(done, palette.color(QPalette::Highlight));
    painter->setPen(palette.color(QPalette::Mid));
    painter->drawRect(inner.adjusted(0, 0, -1, -1));
    const QString text = index.data(Qt::DisplayRole).toString();
    painter->setClipRect(done);
    painter->setPen(palette.color(QPalette::HighlightedText));
    painter->drawText(inner, Qt::AlignCenter, text);
    painter->setClipRect(rest);
    painter->setPen(palette.color(QPalette::Text));
    painter->drawText(inner, Qt::AlignCenter, text);
    painter->restore();
}

}  // namespace korv
