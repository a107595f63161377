// The core's headers come before <windows.h>, whose macros share some of their constant names.
#include "platform/DeviceMap.h"
#include "platform/Wait.h"
#include "ports/PortList.h"
#include "station/StationModel.h"

#include "win/StationWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <filesystem>

#include "win/Dialogs.h"
#include "win/Dpi.h"
#include "win/StationPortDialog.h"
#include "win/TermWindow.h"
#include "win/WinText.h"
#include "win/resource.h"

namespace korv::win {

namespace {

// Serves the model while a modal loop of the system's runs: often enough that a tester's prompt
// is answered at once, seldom enough to cost nothing.
constexpr UINT_PTR kServeTimer = 1;
constexpr UINT kModalServeMs = 50;
// Posted to itself: the columns and the terminals follow the window's new DPI once the system
// has scaled the dialog.
constexpr UINT kRefitMessage = WM_APP + 1;
// The longest time-out a station file takes (a day), and the digits the fields take for it.
constexpr int kMaxSeconds = 86400;
constexpr int kSecondsDigits = 5;

// The settings fields, which only a stopped station lets the operator change.
constexpr int kSettingFields[] = {IDC_ST_FILE,           IDC_ST_BROWSE,  IDC_ST_EXPECT,
                                  IDC_ST_REJECT,         IDC_ST_UNIT,    IDC_ST_VERDICT_TIMEOUT,
                                  IDC_ST_PROMPT_TIMEOUT, IDC_ST_LOG_DIR, IDC_ST_REPEAT};

// The station files' type in the file dialogs.
constexpr char kStationFilter[] = "Station files (*.json)|*.json|All Files (*.*)|*.*||";

// A number of seconds as typed, from least to kMaxSeconds: the range a station file takes, so
// that a station saved opens again.
bool ParseSeconds(const std::string& text, int least, int* seconds) {
    if (text.empty() || text.size() > static_cast<size_t>(kSecondsDigits) ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    *seconds = std::stoi(text);
    return *seconds >= least && *seconds <= kMaxSeconds;
}

// What the pane's caption says of a port: its label and its name.
std::string PortCaption(const StationRow& row) {
    return row.label.empty() ? row.name : row.label + " (" + row.name + ")";
}

}  // namespace

CStationWindow::~CStationWindow() {
    m_model.OnChange(nullptr);
    if (m_hWnd != nullptr) {
        if (m_term != nullptr) {
            m_term->ShowModel(nullptr);
        }
        SetWindowLongPtrW(m_hWnd, DWLP_USER, 0);
        DestroyWindow(m_hWnd);
    }
}

bool CStationWindow::Create(HINSTANCE instance) {
    m_hInstance = instance;
    m_hAccel = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_STATION));
    const HWND hwnd = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_STATION), nullptr,
                                         &DialogProc, reinterpret_cast<LPARAM>(this));
    if (hwnd == nullptr || m_term == nullptr) {
        if (hwnd != nullptr) {
            DestroyWindow(hwnd);
        }
        m_hWnd = nullptr;
        return false;
    }
    return true;
}

INT_PTR CALLBACK CStationWindow::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) {
        auto* window = reinterpret_cast<CStationWindow*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        window->m_hWnd = hwnd;
        window->OnInitDialog();
        return TRUE;  // the focus on the first control: the table
    }
    auto* window = reinterpret_cast<CStationWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (window == nullptr) {
        return FALSE;
    }
    if (msg == WM_NCDESTROY) {
        window->m_hWnd = nullptr;
        window->m_term = nullptr;
        return FALSE;
    }
    return window->OnMessage(msg, wParam, lParam);
}

void CStationWindow::OnInitDialog() {
    const HWND term = GetDlgItem(m_hWnd, IDC_ST_TERMINAL);
    m_term = term != nullptr ? CTermWindow::FromHandle(term) : nullptr;
    const HWND list = GetDlgItem(m_hWnd, IDC_ST_PORTS);
    if (m_term == nullptr || list == nullptr) {
        m_term = nullptr;
        return;
    }
    for (const auto& [id, metric] : {std::pair{ICON_BIG, SM_CXICON}, {ICON_SMALL, SM_CXSMICON}}) {
        const int size = GetSystemMetrics(metric);
        SendMessageW(
            m_hWnd, WM_SETICON, static_cast<WPARAM>(id),
            reinterpret_cast<LPARAM>(LoadImageW(m_hInstance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                IMAGE_ICON, size, size, LR_SHARED)));
    }
    m_list.Attach(list);
    m_list.SizeColumns(m_hWnd);
    for (const int id : {IDC_ST_VERDICT_TIMEOUT, IDC_ST_PROMPT_TIMEOUT}) {
        SendDlgItemMessageW(m_hWnd, id, EM_LIMITTEXT, kSecondsDigits, 0);
    }
    // An empty log folder is the default one: the field shows which, greyed, while it is empty.
    const std::wstring cue = Widen("default: " + m_defaultLogDir);
    SendDlgItemMessageW(m_hWnd, IDC_ST_LOG_DIR, EM_SETCUEBANNER, TRUE,
                        reinterpret_cast<LPARAM>(cue.c_str()));
    FitTerminals();
    m_model.OnChange([this](unsigned what) { OnModelChange(what); });
    ShowSettings();
    m_list.ShowRows(m_model.SelectedRow());
    ShowSelectedTerminal();
    UpdateTotals();
    UpdateControls();
}

INT_PTR CStationWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COMMAND:
            OnCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_NOTIFY: {
            auto* header = reinterpret_cast<NMHDR*>(lParam);
            if (header->idFrom != IDC_ST_PORTS) {
                return FALSE;
            }
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnListNotify(header));
            return TRUE;
        }
        case WM_COMM_NOTIFY:
            // The terminal pane's right button: the station's pane has no popup menu.
            return TRUE;
        case WM_TIMER:
            if (wParam == kServeTimer) {
                m_model.Serve();
            }
            return TRUE;
        case WM_ENTERSIZEMOVE:
        case WM_ENTERMENULOOP:
            BeginModal();
            return FALSE;
        case WM_EXITSIZEMOVE:
        case WM_EXITMENULOOP:
            EndModal();
            return FALSE;
        case WM_CLOSE:
            RequestClose();
            return TRUE;
        case WM_QUERYENDSESSION:
            // Logging off waits while a transfer runs, as the one-port window does; the reason
            // is given to the session manager whenever that changes (UpdateControls).
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT,
                              m_model.CanCloseWithoutAsking() ? TRUE : FALSE);
            return TRUE;
        case WM_ENDSESSION:
            // The session ends anyway and the process with it, right after this returns: the
            // running transfers are aborted and recorded, and the ports closed in good order.
            if (wParam != 0) {
                MarkProcessEnding();
                m_model.Stop();
            }
            SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, 0);
            return TRUE;
        case WM_SYSCOLORCHANGE:
            // The table and the terminal pane repaint in the new colours.
            m_list.ReadContrast();
            PassColourChangeToChildren(m_hWnd);
            m_list.Redraw();
            return FALSE;
        case WM_SETTINGCHANGE:
            // A contrast theme turned on or off.
            m_list.ReadContrast();
            m_list.Redraw();
            return FALSE;
        case kWmDpiChanged:
            // The system scales the dialog and its font (per-monitor awareness); the columns and
            // the terminals follow once it has.
            PostMessageW(m_hWnd, kRefitMessage, 0, 0);
            return FALSE;
        case kRefitMessage:
            m_list.SizeColumns(m_hWnd);
            FitTerminals();
            return TRUE;
        case WM_DESTROY:
            if (m_term != nullptr) {
                m_term->ShowModel(nullptr);
            }
            if (m_bCloseBlocked) {
                ShutdownBlockReasonDestroy(m_hWnd);
                m_bCloseBlocked = false;
            }
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

void CStationWindow::OnCommand(int id, int code) {
    // A click, or a key of the window's (F5, Shift+F5), which does nothing while its button is
    // off.
    constexpr int kAccelerator = 1;
    if (code != BN_CLICKED && (code != kAccelerator || !IsWindowEnabled(GetDlgItem(m_hWnd, id)))) {
        return;
    }
    switch (id) {
        case IDC_ST_START:
            OnStart();
            break;
        case IDC_ST_STOP:
            m_model.Stop();
            break;
        case IDC_ST_ABORT:
            OnAbort();
            break;
        case IDC_ST_ADD:
            OnAddPort();
            break;
        case IDC_ST_REMOVE:
            OnRemove();
            break;
        case IDC_ST_BROWSE:
            OnBrowse();
            break;
        case IDC_ST_OPEN:
            OnOpen();
            break;
        case IDC_ST_SAVE:
            OnSave();
            break;
        default:
            break;  // Escape (IDCANCEL) does not close the station; the close box does
    }
}

LRESULT CStationWindow::OnListNotify(NMHDR* header) {
    switch (header->code) {
        case LVN_GETDISPINFOW:
            return m_list.OnGetDispInfo(reinterpret_cast<NMLVDISPINFOW*>(header));
        case NM_CUSTOMDRAW:
            return m_list.OnCustomDraw(reinterpret_cast<NMLVCUSTOMDRAW*>(header));
        case LVN_ITEMCHANGED: {
            const auto* change = reinterpret_cast<NMLISTVIEW*>(header);
            if (!m_bSelecting && (change->uChanged & LVIF_STATE) != 0) {
                const int selected = m_list.Selected();
                if (selected != m_model.SelectedRow()) {
                    m_model.Select(selected);
                    ShowSelectedTerminal();
                    UpdateControls();
                }
            }
            return 0;
        }
        case LVN_KEYDOWN: {
            const WORD key = reinterpret_cast<NMLVKEYDOWN*>(header)->wVKey;
            if (key == VK_DELETE) {
                OnRemove();
            } else if (key == VK_F2 && m_model.SelectedRow() >= 0) {
                ListView_EditLabel(m_list.Handle(), m_model.SelectedRow());
            }
            return 0;
        }
        case LVN_BEGINLABELEDITW:
            return FALSE;  // the label column is the operator's to edit
        case LVN_ENDLABELEDITW: {
            const LVITEMW& item = reinterpret_cast<NMLVDISPINFOW*>(header)->item;
            if (item.pszText == nullptr || item.iItem < 0) {
                return FALSE;  // cancelled
            }
            std::string message;
            if (!m_model.SetLabel(static_cast<size_t>(item.iItem), TypedText(Narrow(item.pszText)),
                                  &message)) {
                Tell(message);
                return FALSE;
            }
            return TRUE;
        }
        default:
            return 0;
    }
}

void CStationWindow::OnModelChange(unsigned what) {
    if (m_hWnd == nullptr) {
        return;
    }
    if ((what & CStationModel::ChangeRows) != 0) {
        m_bSelecting = true;
        m_list.ShowRows(m_model.SelectedRow());
        m_bSelecting = false;
        ShowSelectedTerminal();
    } else {
        m_list.Redraw();
    }
    UpdateTotals();
    UpdateControls();
}

// --- commands --------------------------------------------------------------------------------

void CStationWindow::OnStart() {
    std::string problem;
    if (ApplySettings() && !m_model.Start(&problem)) {
        Tell(problem);
    }
}

void CStationWindow::OnAbort() {
    const int selected = m_model.SelectedRow();
    std::string message;
    // Without a selection the model says what to do.
    if (!m_model.Abort(selected >= 0 ? static_cast<size_t>(selected) : m_model.RowCount(),
                       &message)) {
        Tell(message);
    }
}

void CStationWindow::OnAddPort() {
    std::vector<std::string> choices =
        WithProfileNetPorts(CurrentPortNames(*MakeSystemDeviceMap()), m_profile);
    // The ports the station has already are not offered again.
    std::erase_if(choices, [this](const std::string& name) {
        const auto& ports = m_model.Config().ports;
        return std::any_of(ports.begin(), ports.end(),
                           [&name](const StationPort& port) { return port.name == name; });
    });
    const ModalServe serve(*this);
    RunAddPortDialog(
        m_hInstance, m_hWnd, choices,
        [this](const std::string& name, const std::string& label, std::string* message) {
            if (!m_model.AddPort(name, label, message)) {
                return false;
            }
            SelectRow(static_cast<int>(m_model.RowCount()) - 1);
            return true;
        });
}

void CStationWindow::OnRemove() {
    const int index = m_model.SelectedRow();
    if (index < 0) {
        return;
    }
    if (m_model.Row(static_cast<size_t>(index)).sending &&
        Ask("An update is being sent to the tester on " +
                PortCaption(m_model.Row(static_cast<size_t>(index))) +
                ". Abort it and remove the port?\n\nThe transfer is recorded as aborted.",
            MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
        return;
    }
    // The pane lets go of the port's screen model before the model is removed with its port.
    m_term->ShowModel(nullptr);
    std::string message;
    if (!m_model.RemovePort(static_cast<size_t>(index), &message)) {
        Tell(message);
    }
    ShowSelectedTerminal();
}

void CStationWindow::OnBrowse() {
    FileDialogRequest request;
    request.title = "Select software update file...";
    request.filter = "All Files (*.*)|*.*||";
    request.fileName = TypedText(WindowText(GetDlgItem(m_hWnd, IDC_ST_FILE)));
    if (!request.fileName.empty()) {
        std::error_code ignored;
        const std::filesystem::path path(Widen(request.fileName));
        if (std::filesystem::is_directory(path.parent_path(), ignored)) {
            request.initialDir = Narrow(path.parent_path().wstring());
            request.fileName = Narrow(path.filename().wstring());
        }
    }
    const ModalServe serve(*this);
    if (RunFileDialog(m_hWnd, request, FileDialogKind::Open)) {
        SetText(IDC_ST_FILE, request.fileName);
    }
}

bool CStationWindow::Open(const std::string& path) {
    // The pane lets go of the port it shows: an opened station replaces every port.
    m_term->ShowModel(nullptr);
    std::string message;
    const bool opened = m_model.Load(path, &message);
    if (opened) {
        ShowSettings();
        UpdateCaption();
    } else {
        Tell(message);
    }
    ShowSelectedTerminal();
    return opened;
}

void CStationWindow::OnOpen() {
    FileDialogRequest request;
    request.title = "Open station";
    request.filter = kStationFilter;
    request.defaultExt = "json";
    const ModalServe serve(*this);
    if (RunFileDialog(m_hWnd, request, FileDialogKind::Open)) {
        Open(request.fileName);
    }
}

void CStationWindow::OnSave() {
    // A station file names at least one port: one without would not open again.
    if (m_model.RowCount() == 0) {
        Tell("Add a port to the station before saving it.");
        return;
    }
    // What the fields say is what is saved; while the station runs they are what it runs with.
    if (!m_model.Running() && !ApplySettings()) {
        return;
    }
    FileDialogRequest request;
    request.title = "Save station";
    request.filter = kStationFilter;
    request.defaultExt = "json";
    request.fileName = m_model.FilePath().empty() ? "station.json" : m_model.FilePath();
    const ModalServe serve(*this);
    if (!RunFileDialog(m_hWnd, request, FileDialogKind::Save)) {
        return;
    }
    std::string message;
    if (m_model.Save(request.fileName, &message)) {
        UpdateCaption();
    } else {
        Tell(message);
    }
}

void CStationWindow::RequestClose() {
    // Not while one of the window's own dialogs is up (the window is disabled then): whoever
    // closes from outside (the taskbar) must not tear it down under the dialog.
    if (!IsWindowEnabled(m_hWnd)) {
        return;
    }
    if (!m_model.CanCloseWithoutAsking() &&
        Ask("Updates are being sent to testers, or wait for the testers' verdicts.\n\nStop the "
            "station and close it? The running transfers are aborted and recorded as such.",
            MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
        return;
    }
    // Ports that only wait for their next tester are stopped without asking.
    m_model.Stop();
    DestroyWindow(m_hWnd);
}

// --- settings, selection, drawing ------------------------------------------------------------

void CStationWindow::ShowSettings() {
    const StationConfig& config = m_model.Config();
    SetText(IDC_ST_FILE, config.file);
    SetText(IDC_ST_EXPECT, config.expect);
    SetText(IDC_ST_REJECT, config.reject);
    SetText(IDC_ST_UNIT, config.unitId);
    SetText(IDC_ST_VERDICT_TIMEOUT, std::to_string(config.verdictTimeout));
    SetText(IDC_ST_PROMPT_TIMEOUT, std::to_string(config.promptTimeout));
    SetText(IDC_ST_LOG_DIR, config.logDir);
    CheckDlgButton(m_hWnd, IDC_ST_REPEAT, config.repeat ? BST_CHECKED : BST_UNCHECKED);
}

bool CStationWindow::ApplySettings() {
    StationConfig config;
    std::string problem;
    int field = 0;
    if (ReadSettings(&config, &problem, &field) && m_model.SetSettings(config, &problem)) {
        return true;
    }
    Tell(problem);
    if (field != 0) {
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(m_hWnd, field)),
                     TRUE);
    }
    return false;
}

bool CStationWindow::ReadSettings(StationConfig* config, std::string* problem, int* field) const {
    auto text = [this](int id) { return WindowText(GetDlgItem(m_hWnd, id)); };
    // What has no field (the station's name from its file) stays as it is.
    *config = m_model.Config();
    config->file = TypedText(text(IDC_ST_FILE));
    config->expect = text(IDC_ST_EXPECT);
    config->reject = text(IDC_ST_REJECT);
    config->unitId = text(IDC_ST_UNIT);
    config->logDir = TypedText(text(IDC_ST_LOG_DIR));
    config->repeat = IsDlgButtonChecked(m_hWnd, IDC_ST_REPEAT) == BST_CHECKED;
    if (!ParseSeconds(TypedText(text(IDC_ST_VERDICT_TIMEOUT)), 1, &config->verdictTimeout)) {
        *problem = "The verdict time-out is a number of seconds, 1 to " +
                   std::to_string(kMaxSeconds) + ".";
        *field = IDC_ST_VERDICT_TIMEOUT;
        return false;
    }
    if (!ParseSeconds(TypedText(text(IDC_ST_PROMPT_TIMEOUT)), 0, &config->promptTimeout)) {
        *problem = "The prompt time-out is a number of seconds, 0 to " +
                   std::to_string(kMaxSeconds) + " (0: wait as long as it takes).";
        *field = IDC_ST_PROMPT_TIMEOUT;
        return false;
    }
    return true;
}

void CStationWindow::SelectRow(int index) {
    m_model.Select(index);
    m_bSelecting = true;
    m_list.ShowRows(m_model.SelectedRow());
    m_bSelecting = false;
    ShowSelectedTerminal();
    UpdateControls();
}

void CStationWindow::ShowSelectedTerminal() {
    const int index = m_model.SelectedRow();
    if (index < 0) {
        m_term->ShowModel(nullptr);
        SetText(IDC_ST_TERMINAL_LABEL, "Term&inal (select a port):");
        return;
    }
    m_term->ShowModel(&m_model.Terminal(static_cast<size_t>(index)));
    SetText(
        IDC_ST_TERMINAL_LABEL,
        "Term&inal of " + LabelText(PortCaption(m_model.Row(static_cast<size_t>(index)))) + ":");
}

void CStationWindow::FitTerminals() {
    RECT client{};
    GetClientRect(m_term->Handle(), &client);
    const SIZE cell = m_term->CellSize();
    m_model.SetTerminalGeometry(cell.cx, cell.cy, client.right - client.left,
                                client.bottom - client.top);
}

void CStationWindow::UpdateControls() {
    const bool running = m_model.Running();
    const int selected = m_model.SelectedRow();
    const bool sending = selected >= 0 && m_model.Row(static_cast<size_t>(selected)).sending;
    std::vector<std::pair<int, bool>> states = {
        {IDC_ST_START, !running}, {IDC_ST_STOP, running},         {IDC_ST_ABORT, sending},
        {IDC_ST_ADD, true},       {IDC_ST_REMOVE, selected >= 0}, {IDC_ST_OPEN, !running},
        {IDC_ST_SAVE, true},
    };
    for (const int id : kSettingFields) {
        states.emplace_back(id, !running);
    }
    // What turns on first, so that the focus, leaving a control that turns off, has somewhere
    // to go (Start, just clicked, hands it to Stop).
    std::stable_partition(states.begin(), states.end(), [](const auto& s) { return s.second; });
    for (const auto& [id, on] : states) {
        const HWND control = GetDlgItem(m_hWnd, id);
        if (!on && GetFocus() == control) {
            SendMessageW(m_hWnd, WM_NEXTDLGCTL, 0, FALSE);
        }
        EnableWindow(control, on ? TRUE : FALSE);
    }
    // The session manager shows why logging off waits.
    const bool block = !m_model.CanCloseWithoutAsking();
    if (block != m_bCloseBlocked) {
        m_bCloseBlocked = block;
        if (block) {
            ShutdownBlockReasonCreate(m_hWnd, L"Software updates are being sent to testers.");
        } else {
            ShutdownBlockReasonDestroy(m_hWnd);
        }
    }
}

void CStationWindow::UpdateTotals() {
    SetText(IDC_ST_TOTALS, m_model.Totals().text);
    const std::string report = m_model.ReportPath();
    SetText(IDC_ST_RECORDS, report.empty() ? std::string() : "Records: " + report);
}

void CStationWindow::UpdateCaption() {
    std::string caption = "KORVALIN Station";
    if (!m_model.FilePath().empty()) {
        caption = Narrow(std::filesystem::path(Widen(m_model.FilePath())).filename().wstring()) +
                  " - " + caption;
    }
    SetWindowTextW(m_hWnd, Widen(caption).c_str());
}

void CStationWindow::SetText(int id, const std::string& text) {
    const HWND control = GetDlgItem(m_hWnd, id);
    // Unchanged text is not set again: a label redrawn four times a second would flicker.
    if (WindowText(control) != text) {
        SetWindowTextW(control, Widen(text).c_str());
    }
}

int CStationWindow::Ask(const std::string& text, UINT flags) {
    const ModalServe serve(*this);
    return ShowMessageBox(m_hWnd, text, flags);
}

void CStationWindow::Tell(const std::string& text) {
    Ask(text, MB_OK | MB_ICONEXCLAMATION);
}

void CStationWindow::BeginModal() {
    if (m_modalDepth++ == 0 && m_hWnd != nullptr) {
        SetTimer(m_hWnd, kServeTimer, kModalServeMs, nullptr);
    }
}

void CStationWindow::EndModal() {
    if (--m_modalDepth == 0 && m_hWnd != nullptr) {
        KillTimer(m_hWnd, kServeTimer);
    }
}

}  // namespace korv::win
