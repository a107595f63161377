#include "app/MainFrame.h"

#include <QAction>
#include <QCloseEvent>
#include <QLayout>
#include <QMenuBar>

#include "app/AboutDlg.h"
#include "app/AppIcon.h"
#include "app/ProgForm.h"
#include "view/ProgDoc.h"
#include "view/Strings.h"

namespace korv {

CMainFrame::CMainFrame(CProgDoc& doc) : QMainWindow(nullptr), m_doc(doc) {
    // Caption, system menu and minimise; no maximise and no sizing border.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(LoadString(AFX_IDS_APP_TITLE)));
    setWindowIcon(AppIcon());

    m_form = new CProgForm(this);
    setCentralWidget(m_form);
    m_form->SetFitFrame([this] { FitToForm(); });
    m_form->SetAfterDispatch([this] { UpdateCommandUI(); });

    // Two commands on the bar itself, no drop-down menus.
    m_exit = menuBar()->addAction(QStringLiteral("E&xit"));
    m_about = menuBar()->addAction(QStringLiteral("&About..."));
    connect(m_exit, &QAction::triggered, this, [this] { close(); });
    connect(m_about, &QAction::triggered, this, [this] {
        CAboutDlg about(this);
        about.exec();
    });

    m_new = new QAction(this);
    m_new->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    m_open = new QAction(this);
    m_open->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    for (QAction* action : {m_new, m_open}) {
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
        connect(action, &QAction::triggered, this, [this, action] {
            const std::function<void()>& handler = action == m_new ? m_onFileNew : m_onFileOpen;
            if (handler) {
                handler();
            }
        });
    }
    FitToForm();
}

void CMainFrame::UpdateCommandUI() {
    m_exit->setEnabled(m_doc.OnUpdateAppExit());
}

void CMainFrame::FitToForm() {
    if (layout() != nullptr) {
        layout()->activate();
    }
    setFixedSize(sizeHint());
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // Refused silently while a file is being sent; the transfer goes on.
    if (!m_doc.CanCloseFrame()) {
        event->ignore();
        return;
    }
    QMainWindow::closeEvent(event);
}

}  // namespace korv
