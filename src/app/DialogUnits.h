#pragma once
// Dialog units: the form and the About box are laid out in units of the dialog font, a quarter
// of its average character width horizontally and an eighth of its height vertically, so that
// they keep their proportions whatever font the desktop gives them.

#include <QFont>
#include <QRect>
#include <QSize>

class QWidget;

namespace korv {

class DialogUnits {
  public:
    explicit DialogUnits(const QFont& dialogFont);
    DialogUnits(int baseX, int baseY) : m_baseX(baseX), m_baseY(baseY) {}

    int BaseX() const { return m_baseX; }
    int BaseY() const { return m_baseY; }
    int X(int du) const { return du * m_baseX / 4; }
    int Y(int du) const { return du * m_baseY / 8; }
    QRect Rect(int x, int y, int cx, int cy) const { return QRect(X(x), Y(y), X(cx), Y(cy)); }
    QSize Size(int cx, int cy) const { return QSize(X(cx), Y(cy)); }
    // Puts a child at a rectangle given in dialog units.
    void Place(QWidget* child, int x, int y, int cx, int cy) const;

  private:
    int m_baseX;
    int m_baseY;
};

}  // namespace korv
