// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "platform/DeviceMap.h"
#include "platform/PermissionHint.h"
#include "platform/SysError.h"
#include "station/StationModel.h"

#include "win/StationApp.h"

#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <filesystem>

#include "korv_version.h"
#include "win/Dialogs.h"
#include "win/Station.h"
#include "win/TermWindow.h"
#include "win/WinText.h"

namespace korv::win {

namespace {

// How long the loop waits for window messages alone, between two serves of the model, should
// waiting for the model's notices fail: the testers are still served, if a little late.
constexpr DWORD kWaitFailedPollMs = 50;

// Where the logs go unless the station names a folder: under the user's documents, where the
// operator finds them (the program's own folder is not writable once installed).
std::string DefaultLogDir() {
    wchar_t documents[MAX_PATH];
    if (SUCCEEDED(
            SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents))) {
        return Narrow(std::wstring(documents) + L"\\korvalin-logs");
    }
    std::error_code ignored;
    return Narrow(std::filesystem::absolute(L"korvalin-logs", ignored).wstring());
}

StationModelSetup Setup(const std::string& logDir) {
    StationModelSetup setup;
    setup.version = KORV_VERSION;
    setup.defaultLogDir = logDir;
    setup.describePort = [](const std::string& name) { return DescribePort(name).product; };
    setup.permissionHint = &PermissionHint;
    return setup;
}

}  // namespace

CStationApp::CStationApp(std::string stationFile)
    : m_stationFile(std::move(stationFile)),
      m_defaultLogDir(DefaultLogDir()),
      m_model(Setup(m_defaultLogDir)) {}

bool CStationApp::InitInstance(HINSTANCE instance) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&icc);
    CTermWindow::RegisterWidgetClass(instance);
    if (!m_model.Valid()) {
        ShowMessageBox(nullptr, "Cannot set up the station: " + SystemErrorText(LastSystemError()),
                       MB_OK | MB_ICONSTOP);
        return false;
    }
    if (!m_window.Create(instance)) {
        ShowMessageBox(nullptr, "Cannot create the station window.", MB_OK | MB_ICONSTOP);
        return false;
    }
    ShowWindow(m_window.Handle(), SW_SHOW);
    UpdateWindow(m_window.Handle());
    // A file that cannot be used is told; the window stays, with an empty station, for another.
    if (!m_stationFile.empty()) {
        m_window.Open(m_stationFile);
    }
    return true;
}

int CStationApp::Run() {
    MSG msg;
    for (;;) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                return static_cast<int>(msg.wParam);
            }
            const HWND window = m_window.Handle();
            if (window != nullptr &&
                TranslateAcceleratorW(window, m_window.Accelerators(), &msg) != 0) {
                continue;
            }
            if (window == nullptr || !IsDialogMessageW(window, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        // Messages and the model's notices in one wait, bounded by the model's next time-out.
        const auto handle = static_cast<HANDLE>(m_model.Waitable());
        const int timeout = m_model.TimeoutMs();
        const DWORD limit = timeout < 0 ? INFINITE : static_cast<DWORD>(timeout);
        const DWORD woke =
            MsgWaitForMultipleObjectsEx(1, &handle, limit, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (woke == WAIT_FAILED) {
            MsgWaitForMultipleObjectsEx(0, nullptr, std::min(limit, kWaitFailedPollMs), QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);
            m_model.Serve();
        } else if (woke != WAIT_OBJECT_0 + 1) {
            // The notices, or the model's time-out.
            m_model.Serve();
        }
    }
}

int RunStationWindow(HINSTANCE instance, const std::string& stationFile) {
    CStationApp app(stationFile);
    if (!app.InitInstance(instance)) {
        return 1;
    }
    return app.Run();
}

}  // namespace korv::win
