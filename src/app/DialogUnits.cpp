#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

namespace korv {

DialogUnits::DialogUnits(const QFont& dialogFont) {
    QFontMetrics fm(dialogFont);
    // The average width of the 52 letters, rounded as dialog managers have always rounded it.
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    m_baseX = (letters / 26 + 1) / 2;
    m_baseY = fm.height();
    if (m_baseX < 1) {
        m_baseX = 1;
    }
    if (m_baseY < 1) {
        m_baseY = 1;
    }
}

void DialogUnits::Place(QWidget* child, int x, int y, int cx, int cy) const {
    child->setGeometry(Rect(x, y, cx, cy));
}

}  // namespace korv
