#include "app/ProgForm.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalBlocker>

#include "app/DialogUnits.h"
#include "app/TermWidget.h"
#include "ports/PortList.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {

namespace {

constexpr int kProgressPeriodMs = 200;

QString FromStd(const std::string& text) {
    return QString::fromStdString(text);
}

// Message texts may carry the system's CR LF line ends; a box wants plain lines.
QString BoxText(const std::string& text) {
    QString s = FromStd(text);
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.remove(QLatin1Char('\r'));
    while (s.endsWith(QLatin1Char('\n'))) {
        s.chop(1);
    }
    return s;
}

}  // namespace

void CPortCombo::showPopup() {
    if (m_onDropDown) {
        m_onDropDown();
    }
    // The box is as narrow as the form's layout makes it; a network port's name is longer, so
    // the list opens as wide as its longest name.
    const QFontMetrics metrics(view()->font());
    int widest = width();
    for (int i = 0; i < count(); ++i) {
        widest = std::max(widest, metrics.horizontalAdvance(itemText(i)) +
                                      2 * metrics.averageCharWidth() +
                                      view()->verticalScrollBar()->sizeHint().width());
    }
    view()->setMinimumWidth(widest);
    QComboBox::showPopup();
}

CProgForm::CProgForm(QWidget* parent)
    : QWidget(parent),
      m_label(new QLabel(QStringLiteral("COMM Port:"), this)),
      m_combo(new CPortCombo(this)),
      m_button(new QPushButton(QStringLiteral("MISCELLANEOUS"), this)),
      m_progress(new QProgressBar(this)),
      m_progressText(new QLabel(this)),
      m_term(new CTermWidget(this)) {
    const DialogUnits du(font());
    setFixedSize(du.Size(372, 214));

    m_label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // The label sits on the combo's text line. It may use the margin on its left: desktop fonts
    // run wider than the units suggest, and a right-aligned text would lose its first letters.
    du.Place(m_label, 0, 3, 45, 12);
    m_combo->setGeometry(du.X(47), du.Y(3), du.X(64), m_combo->sizeHint().height());
    // The list drops to 137 units with the box itself: room for about fifteen names.
    m_combo->setMaxVisibleItems((137 - 14) / 8);
    du.Place(m_button, 120, 3, 136, 14);
    m_button->setAutoDefault(false);
    du.Place(m_term, 0, 21, 371, 193);
    m_term->SizeModelToWidget();

    // Beyond the button: how far the transfer has come and how long it has to go.
    du.Place(m_progress, 262, 3, 106, 6);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 1000);
    // The text may start a little left of the bar: an outcome such as "Aborted at 999.9 of
    // 999.9 KiB" needs the room.
    du.Place(m_progressText, 259, 10, 112, 9);
    m_progress->hide();
    m_progressText->hide();

    setTabOrder(m_combo, m_button);
    setTabOrder(m_button, m_term);

    m_portSource = [] { return std::vector<std::string>{}; };
    m_combo->SetDropDownHandler([this] { RefreshPortChoice(); });
    // The whole name of the chosen port, however narrow the box (set again where the signals
    // are blocked).
    QObject::connect(m_combo, &QComboBox::currentTextChanged, m_combo,
                     [this](const QString& text) { m_combo->setToolTip(text); });
    QObject::connect(m_combo, &QComboBox::activated, this,
                     [this](int) { Dispatch([](CProgView& v) { v.OnSelchangeCommPort(); }); });
    QObject::connect(m_button, &QPushButton::clicked, this,
                     [this] { Dispatch([](CProgView& v) { v.OnMiscButton(); }); });
    m_term->SetRightButtonHandler([this](const QPoint& globalPos) {
        m_popupPos = globalPos;
        Dispatch([](CProgView& v) { v.OnCommNotify(COMM_NOTIFY_TAG, NOTIFY_CONTEXT_MENU); });
    });

    m_progressTimer.setInterval(kProgressPeriodMs);
    QObject::connect(&m_progressTimer, &QTimer::timeout, this, [this] { UpdateProgress(); });
}

CProgForm::~CProgForm() {
    while (m_nWaitCursors > 0) {
        EndWaitCursor();
    }
}

void CProgForm::Dispatch(const std::function<void(CProgView&)>& call) {
    if (m_view == nullptr) {
        return;
    }
    call(*m_view);
    FollowTransfer();
    if (m_afterDispatch) {
        m_afterDispatch();
    }
}

bool CProgForm::event(QEvent* event) {
    if (event->type() == CommNotifyEvent::kType) {
        const auto* notify = static_cast<CommNotifyEvent*>(event);
        const uint32_t w = notify->WParam();
        const uint32_t l = notify->LParam();
        Dispatch([w, l](CProgView& v) { v.OnCommNotify(w, l); });
        return true;
    }
    return QWidget::event(event);
}

void CProgForm::PostCommNotify(uint32_t wParam, uint32_t lParam) {
    QCoreApplication::postEvent(this, new CommNotifyEvent(wParam, lParam));
}

// --- port choice ---------------------------------------------------------------------------

void CProgForm::ComboResetContent() {
    const QSignalBlocker block(m_combo);
    m_combo->clear();
}

int CProgForm::ComboAddString(const std::string& name) {
    const QSignalBlocker block(m_combo);
    m_combo->addItem(FromStd(name));
    return m_combo->count() - 1;
}

void CProgForm::ComboSetCurSel(int index) {
    const QSignalBlocker block(m_combo);
    m_combo->setCurrentIndex(index);
    m_combo->setToolTip(m_combo->currentText());
}

std::string CProgForm::ComboGetText() {
    return m_combo->currentText().toStdString();
}

void CProgForm::EnablePortChoice(bool enable) {
    m_combo->setEnabled(enable);
    m_label->setEnabled(enable);
}

void CProgForm::RefreshPortChoice() {
    const std::string chosen = ComboGetText();
    const std::vector<std::string> names = PortChoices(m_portSource(), m_strPortOverride, chosen);
    const QSignalBlocker block(m_combo);
    m_combo->clear();
    int selected = -1;
    for (const std::string& name : names) {
        m_combo->addItem(FromStd(name));
        if (name == chosen) {
            selected = m_combo->count() - 1;
        }
    }
    m_combo->setCurrentIndex(selected);
    m_combo->setToolTip(m_combo->currentText());
}

// --- button, terminal ------------------------------------------------------------------------

void CProgForm::SetButtonText(const std::string& text) {
    m_button->setText(FromStd(text));
}

void CProgForm::ShowButton(bool show) {
    m_button->setVisible(show);
}

CReportWidget* CProgForm::GetTerminal() {
    return &m_term->Model();
}

void CProgForm::FocusTerminal() {
    m_term->setFocus(Qt::OtherFocusReason);
}

// --- modal interactions ----------------------------------------------------------------------

void CProgForm::MessageBox(const std::string& text) {
    if (m_messageBoxHook) {
        m_messageBoxHook(text);
        return;
    }
    QMessageBox box(QMessageBox::Warning, QString::fromUtf8(LoadString(AFX_IDS_APP_TITLE)),
                    BoxText(text), QMessageBox::Ok, this);
    box.exec();
}

QStringList CProgForm::NameFiltersFromFilter(const std::string& filter) {
    QStringList parts = FromStd(filter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        if (description.isEmpty()) {
            break;  // the "||" that ends the list
        }
        QStringList patterns;
        for (const QString& p : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
            const QString pattern = p.trimmed();
            patterns << (pattern == QLatin1String("*.*") ? QStringLiteral("*") : pattern);
        }
        // The dialog reads the patterns from the parentheses; the description's own copy of
        // them goes so that each filter names exactly what it matches.
        const qsizetype open = description.lastIndexOf(QLatin1Char('('));
        if (open > 0 && description.endsWith(QLatin1Char(')'))) {
            description = description.left(open).trimmed();
        }
        filters << description + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) +
                       QLatin1Char(')');
    }
    return filters;
}

bool CProgForm::RunFileDialog(FileDialogRequest& request) {
    if (m_fileDialogHook) {
        const bool chosen = m_fileDialogHook(request);
        if (chosen) {
            m_follower.FileChosen();
        }
        return chosen;
    }
    QFileDialog dialog(this, FromStd(request.title));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(NameFiltersFromFilter(request.filter));
    dialog.setDefaultSuffix(FromStd(request.defaultExt));
    if (!request.initialDir.empty()) {
        dialog.setDirectory(FromStd(request.initialDir));
    }
    if (!request.fileName.empty()) {
        dialog.selectFile(FromStd(request.fileName));
    }
    if (dialog.exec() != QDialog::Accepted) {
        return false;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) {
        return false;
    }
    request.fileName = QFileInfo(chosen.first()).absoluteFilePath().toStdString();
    m_follower.FileChosen();
    return true;
}

void CProgForm::BeginWaitCursor() {
    ++m_nWaitCursors;
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CProgForm::EndWaitCursor() {
    if (m_nWaitCursors == 0) {
        return;
    }
    --m_nWaitCursors;
    QApplication::restoreOverrideCursor();
}

bool CProgForm::TrackPopupMenu() {
    const QPoint at = m_popupPos.isNull() ? QCursor::pos() : m_popupPos;
    if (m_popupHook) {
        return m_popupHook(at);
    }
    QMenu menu(this);
    QAction* send = menu.addAction(QStringLiteral("Send update file now"));
    return menu.exec(at) == send;
}

void CProgForm::FitFrameToForm() {
    if (m_fitFrame) {
        m_fitFrame();
    }
}

// --- progress --------------------------------------------------------------------------------

void CProgForm::FollowTransfer() {
    const CTransferFollower::Step step = m_follower.Follow(m_view);
    if (step.timer == CTransferFollower::START_TIMER) {
        m_progressTimer.start();
    } else if (step.timer == CTransferFollower::STOP_TIMER) {
        m_progressTimer.stop();
    }
    if (step.redraw) {
        ShowTransfer(step.display);
    }
}

void CProgForm::UpdateProgress() {
    if (m_view != nullptr) {
        ShowTransfer(m_follower.Progress(*m_view));
    }
}

void CProgForm::ShowTransfer(const TransferDisplay& display) {
    if (!display.shown) {
        m_progress->hide();
        m_progressText->hide();
        return;
    }
    m_progress->setValue(display.permille);
    m_progressText->setText(FromStd(display.text));
    m_progress->show();
    m_progressText->show();
}

}  // namespace korv
