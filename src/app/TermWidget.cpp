#include "app/TermWidget.h"

#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QMetaObject>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>

namespace korv {

namespace {

constexpr int kTermPixelSize = 15;

QFont FontOfFamily(const QString& family) {
    QFont font(family);
    font.setPixelSize(kTermPixelSize);
    font.setStyleHint(QFont::TypeWriter);
    font.setWeight(QFont::Normal);
    font.setKerning(false);
    return font;
}

}  // namespace

QFont CTermWidget::ChooseFont() {
    // Font matching substitutes silently, so ask what the request resolved to.
    for (const char* family : {"Courier New", "Liberation Mono"}) {
        QFont font = FontOfFamily(QString::fromLatin1(family));
        if (QFontInfo(font).family().compare(QLatin1String(family), Qt::CaseInsensitive) == 0) {
            return font;
        }
    }
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(kTermPixelSize);
    font.setKerning(false);
    return font;
}

CTermWidget::CTermWidget(QWidget* parent) : QFrame(parent), m_font(ChooseFont()) {
    setFrameStyle(QFrame::WinPanel | QFrame::Sunken);
    setFocusPolicy(Qt::StrongFocus);
    // The background is erased with the window (text) colour before every paint.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
    setCursor(Qt::ArrowCursor);

    QFontMetrics fm(m_font);
    m_ascent = fm.ascent();
    m_model.SetCellSize(fm.horizontalAdvance(QLatin1Char('0')), fm.height());
    m_model.AttachWindow(this);
}

CTermWidget::~CTermWidget() {
    // The model's destructor may still tidy its caret; it must not reach a half-destroyed window.
    m_shown->AttachWindow(nullptr);
    m_model.AttachWindow(nullptr);
}

void CTermWidget::ShowModel(CReportWidget* model) {
    CReportWidget* next = model != nullptr ? model : &m_model;
    if (next == m_shown) {
        return;
    }
    if (hasFocus()) {
        m_shown->OnKillFocus();  // its caret goes with it
    }
    m_shown->AttachWindow(nullptr);
    m_shown = next;
    m_shown->AttachWindow(this);
    const QSize inside = contentsRect().size();
    QFontMetrics fm(m_font);
    m_shown->Rescale(fm.horizontalAdvance(QLatin1Char('0')), fm.height(), inside.width(),
                     inside.height());
    if (hasFocus()) {
        m_shown->OnSetFocus();
    }
    InvalidateAll();
}

QRect CTermWidget::CaretRect() const {
    if (!m_bCaretExists || !m_bCaretVisible) {
        return {};
    }
    return QRect(m_caretPos + Origin(), m_caretSize);
}

void CTermWidget::InvalidateAll() {
    m_pending = QRegion(rect());
    update();
}

void CTermWidget::InvalidateRect(const PixelRect& rect) {
    if (rect.right <= rect.left || rect.bottom <= rect.top) {
        return;
    }
    const QRect r = QRect(rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top)
                        .translated(Origin());
    m_pending += r;
    update(r);
}

void CTermWidget::UpdateWindow() {
    // Called once per drain and per report line; without anything pending it costs nothing.
    if (m_pending.isEmpty() || m_painter != nullptr) {
        return;
    }
    if (m_paintMode == PaintMode::Immediate && isVisible()) {
        repaint(m_pending);
    }
}

void CTermWidget::TextOut(int x, int y, const char* text, int n) {
    if (m_painter == nullptr || n <= 0) {
        return;
    }
    ++m_nTextCalls;
    m_painter->drawText(QPoint(x, y + m_ascent), QString::fromLatin1(text, n));
}

void CTermWidget::CreateCaret(int width, int height) {
    m_bCaretExists = true;
    m_bCaretVisible = false;
    m_caretSize = QSize(width, height);
    SyncCaret();
}

void CTermWidget::SetCaretPos(int x, int y) {
    m_caretPos = QPoint(x, y);
    SyncCaret();
}

void CTermWidget::ShowCaret() {
    m_bCaretVisible = m_bCaretExists;
    SyncCaret();
}

void CTermWidget::HideCaret() {
    m_bCaretVisible = false;
    SyncCaret();
}

void CTermWidget::DestroyCaret() {
    m_bCaretExists = false;
    m_bCaretVisible = false;
    SyncCaret();
}

void CTermWidget::SyncCaret() {
    // During a paint the model hides the caret first and shows it again at the end; the net
    // change is settled when the paint is over.
    if (m_painter != nullptr) {
        return;
    }
    const QRect wanted = CaretRect();
    if (wanted == m_caretOnScreen) {
        return;
    }
    update(m_caretOnScreen);
    update(wanted);
    m_caretOnScreen = wanted;
}

void CTermWidget::paintEvent(QPaintEvent* event) {
    ++m_nPaints;
    m_pending -= event->region();
    QFrame::paintEvent(event);  // the sunken border

    const QRect inside = contentsRect();
    const QRect area = event->rect();
    {
        QPainter painter(this);
        painter.setClipRect(inside);
        painter.translate(inside.topLeft());
        painter.setFont(m_font);
        painter.setPen(palette().color(QPalette::Text));
        painter.setBackgroundMode(Qt::TransparentMode);

        const QRect r = area.translated(-inside.topLeft());
        m_painter = &painter;
        m_shown->OnPaint(PixelRect{r.left(), r.top(), r.right() + 1, r.bottom() + 1});
        m_painter = nullptr;

        // The caret is an overlay on the cursor cell's two lowest pixel rows.
        const QRect caret = CaretRect();
        if (!caret.isNull()) {
            painter.fillRect(caret.translated(-inside.topLeft()), palette().color(QPalette::Text));
        }
    }

    // The model placed the caret during the paint; where that lies outside this paint's area,
    // the old bar still shows and the new one is not drawn yet: paint both places next.
    const QRect wanted = CaretRect();
    if (wanted != m_caretOnScreen) {
        // Only the parts this paint did not cover (QRegion::contains would merely test overlap).
        const QRegion stale = (QRegion(m_caretOnScreen) + QRegion(wanted)) - event->region();
        m_caretOnScreen = wanted;
        if (!stale.isEmpty()) {
            QMetaObject::invokeMethod(
                this, [this, stale] { update(stale); }, Qt::QueuedConnection);
        }
    }
}

void CTermWidget::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    SizeModelToWidget();
}

void CTermWidget::SizeModelToWidget() {
    const QSize inside = contentsRect().size();
    if (inside == m_modelSize) {
        return;
    }
    m_modelSize = inside;
    if (m_shown == &m_model) {
        m_model.OnSize(inside.width(), inside.height());
    } else {
        // Another's screen keeps what it holds; only the pane's own starts blank at a new size.
        m_shown->Rescale(m_shown->CellWidth(), m_shown->CellHeight(), inside.width(),
                         inside.height());
    }
}

void CTermWidget::focusInEvent(QFocusEvent* event) {
    QFrame::focusInEvent(event);
    m_shown->OnSetFocus();
}

void CTermWidget::focusOutEvent(QFocusEvent* event) {
    QFrame::focusOutEvent(event);
    m_shown->OnKillFocus();
}

void CTermWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::RightButton) {
        QFrame::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    if (m_onRightButton) {
        m_onRightButton(event->globalPosition().toPoint());
    }
}

void CTermWidget::contextMenuEvent(QContextMenuEvent* event) {
    // The right-button release is the one notice; no second, platform context-menu request.
    event->accept();
}

}  // namespace korv
