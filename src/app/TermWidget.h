#pragma once
// The terminal pane: a sunken frame whose inside shows a CReportWidget screen model. The widget
// holds none of the model's logic; it is the model's window: it turns repaint requests into Qt
// updates, draws the text the model's paint logic asks for, and keeps the underline caret.

#include <QFont>
#include <QFrame>
#include <QPoint>
#include <QRect>
#include <QRegion>
#include <functional>

#include "terminal/ReportWidget.h"

namespace korv {

class CTermWidget : public QFrame, public ITermWindow {
  public:
    explicit CTermWidget(QWidget* parent = nullptr);
    ~CTermWidget() override;

    // The pane's own screen model (the one-port program's terminal).
    CReportWidget& Model() { return m_model; }
    // The model the pane shows: its own unless ShowModel gave it another.
    CReportWidget& Shown() { return *m_shown; }
    // Shows another screen model (a station port's; null: the pane's own). The pane becomes the
    // model's window and the model the pane's: it is given the pane's cell and client size
    // (keeping its content), the caret follows the focus, and the whole pane is repainted. The
    // model shown before is detached and keeps its content. A model given here must stay alive
    // until another is shown or the pane is gone.
    void ShowModel(CReportWidget* model);
    const QFont& TermFont() const { return m_font; }

    // Called synchronously when the right button is released over the pane, with the global
    // mouse position.
    void SetRightButtonHandler(std::function<void(const QPoint&)> handler) {
        m_onRightButton = std::move(handler);
    }

    // Immediate: UpdateWindow paints the pending area at once (one paint per drain).
    // Deferred: UpdateWindow leaves it to the event loop, which merges the drains it finds queued.
    enum class PaintMode { Immediate, Deferred };
    void SetPaintMode(PaintMode mode) { m_paintMode = mode; }

    // Gives the model the size of the inside of the border, unless it has it already. The form
    // calls it once it has placed the pane, so that the grid exists before anything is written;
    // Qt itself would deliver the first resize only when the window is shown.
    void SizeModelToWidget();

    // Counters for tests and measurements.
    int PaintCount() const { return m_nPaints; }
    int TextCallCount() const { return m_nTextCalls; }
    // The caret bar in widget coordinates, or a null rectangle when no caret is shown.
    QRect CaretRect() const;

    // The terminal font: the requested face at 15 pixels if the system has it, else the first of
    // the fallbacks it has, else the system's fixed-pitch font at that size.
    static QFont ChooseFont();

    // ITermWindow
    void InvalidateAll() override;
    void InvalidateRect(const PixelRect& rect) override;
    void UpdateWindow() override;
    void TextOut(int x, int y, const char* text, int n) override;
    void CreateCaret(int width, int height) override;
    void SetCaretPos(int x, int y) override;
    void ShowCaret() override;
    void HideCaret() override;
    void DestroyCaret() override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    QPoint Origin() const { return contentsRect().topLeft(); }
    // Brings the screen's caret in line with the caret state, outside a paint.
    void SyncCaret();

    CReportWidget m_model;
    CReportWidget* m_shown = &m_model;
    QFont m_font;
    int m_ascent = 0;
    std::function<void(const QPoint&)> m_onRightButton;
    PaintMode m_paintMode = PaintMode::Immediate;

    QSize m_modelSize{-1, -1};      // the client size the model's grid was built for
    QPainter* m_painter = nullptr;  // set while the model paints
    QRegion m_pending;              // invalidated since the last paint, for UpdateWindow

    // Caret as the model sees it, in model (client) coordinates.
    bool m_bCaretExists = false;
    bool m_bCaretVisible = false;
    QSize m_caretSize;
    QPoint m_caretPos;
    // Where caret pixels are (or will be after the pending paint), in widget coordinates.
    QRect m_caretOnScreen;

    int m_nPaints = 0;
    int m_nTextCalls = 0;
};

}  // namespace korv
