// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "platform/DeviceMap.h"
#include "platform/SerialPort.h"
#include "platform/Wait.h"
#include "view/ProgView.h"

#include "win/WinApp.h"

#include <commctrl.h>

#include "win/TermWindow.h"
#include "win/resource.h"

namespace korv::win {

CWinProgApp::CWinProgApp(WinOptions options) : m_options(std::move(options)) {}

CWinProgApp::~CWinProgApp() {
    m_form.SetView(nullptr);
    m_view.reset();
}

void CWinProgApp::BuildPortList() {
    m_portList.FreePortList();
    std::unique_ptr<ISerialDeviceMap> map = MakeSystemDeviceMap();
    m_portList.BuildPortList(*map);
}

bool CWinProgApp::InitInstance(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    BuildPortList();
    CTermWindow::RegisterWidgetClass(instance);
    if (!m_frame.Create(instance) || !m_form.Create(instance, m_frame.Handle())) {
        return false;
    }
    m_frame.SetForm(m_form.Handle(), GetDlgItem(m_form.Handle(), IDC_TERMINAL));
    m_frame.SetOnClose([this] { CloseFrame(); });
    m_frame.SetCanCloseNow([this] { return !m_form.InDispatch(); });
    m_frame.SetOnEndSession([this] {
        // The system ends the process within a few seconds: closing the port does not wait out
        // a long drain.
        MarkProcessEnding();
        if (m_view) {
            m_view->ClosePort();
        }
    });
    m_frame.SetOnFileCommand([this](int id) { OnFileCommand(id); });

    m_view = std::make_unique<CProgView>(m_form, m_form, m_profile, m_doc, MakeSerialPort,
                                         m_options.programPath);
    m_form.SetView(m_view.get());
    m_form.SetPortSource([this] {
        return WithProfileNetPorts(CurrentPortNames(*MakeSystemDeviceMap()), m_profile);
    });
    m_form.SetFitFrame([this] { m_frame.FitToForm(); });
    m_form.SetAfterDispatch([this] { m_frame.UpdateCommandUI(); });
    if (!m_options.portOverride.empty()) {
        m_view->SetPortOverride(m_options.portOverride);
        m_form.SetPortOverride(m_options.portOverride);
    }
    if (!m_options.initialFile.empty()) {
        m_view->SetInitialUpdateFile(m_options.initialFile);
    }

    m_form.Dispatch([this](CProgView& view) { view.OnInitialUpdate(m_portList); });
    ShowWindow(m_frame.Handle(), SW_SHOW);
    UpdateWindow(m_frame.Handle());
    return true;
}

int CWinProgApp::Run() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (m_frame.Handle() != nullptr &&
            TranslateAcceleratorW(m_frame.Handle(), m_frame.Accelerators(), &msg)) {
            continue;
        }
        if (m_form.Handle() != nullptr && IsDialogMessageW(m_form.Handle(), &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

void CWinProgApp::OnFileCommand(int id) {
    // The controller decides: both are refused while a file is being sent, and Open first offers
    // a file-open dialog for any file.
    bool again = false;
    m_form.Dispatch([&](CProgView& view) {
        again = id == ID_FILE_OPEN ? view.OnFileOpen() : view.OnFileNew();
    });
    if (!again) {
        return;
    }
    BuildPortList();
    m_form.Dispatch([this](CProgView& view) { view.OnInitialUpdate(m_portList); });
}

void CWinProgApp::CloseFrame() {
    m_form.SetView(nullptr);
    m_view.reset();
    if (m_frame.Handle() != nullptr) {
        DestroyWindow(m_frame.Handle());
    }
}

}  // namespace korv::win
