// CProgView's life and its command and notification handlers: the initial update that fills the
// port choice and opens the remembered port, the action button, the port choice, the popup
// command, and the notifications from the reader, the sender and the terminal.

#include "view/ProgView.h"

#include <thread>

#include "platform/SysError.h"
#include "platform/net/NetPortName.h"
#include "ports/PortList.h"
#include "terminal/ReportWidget.h"
#include "view/Strings.h"

namespace korv {

namespace {
const char kSection[] = "SETTINGS";
const char kEntry[] = "COMMPORT";
const char kDefaultPort[] = "COM1";
}  // namespace

CProgView::CProgView(IFormHost& host, INotifySink& sink, IProfile& profile, CProgDoc& doc,
                     SerialPortFactory portFactory, std::string programPath)
    : CProgView(host, sink, profile, doc, portFactory, std::move(programPath), Timing{}) {}

CProgView::CProgView(IFormHost& host, INotifySink& sink, IProfile& profile, CProgDoc& doc,
                     SerialPortFactory portFactory, std::string programPath, Timing timing)
    : m_host(host),
      m_sink(sink),
      m_profile(profile),
      m_doc(doc),
      m_portFactory(portFactory),
      m_programPath(std::move(programPath)),
      m_timing(timing) {}

CProgView::~CProgView() {
    ClosePort();
}

void CProgView::OnInitialUpdate(const CPortList& ports) {
    PrepareInitialUpdate(ports);
    FinishInitialUpdate();
}

void CProgView::PrepareInitialUpdate(const CPortList& ports) {
    if (!m_strInitialUpdateFile.empty()) {
        m_strUpdateFile = m_strInitialUpdateFile;
    } else {
        const size_t sep = m_programPath.find_last_of("\\/:");
        m_strUpdateFile =
            (sep == std::string::npos ? std::string() : m_programPath.substr(0, sep + 1)) + "*.txt";
    }
    m_strPortName = m_strPortOverride.empty()
                        ? m_profile.GetProfileString(kSection, kEntry, kDefaultPort)
                        : m_strPortOverride;
    UpdateData(false);
    m_host.FitFrameToForm();
    RefreshPortChoice(ports);
    m_pTerm = m_host.GetTerminal();
    m_bInitialized = true;
}

void CProgView::FinishInitialUpdate() {
    OpenPort();
    UpdateData(false);
    m_host.FocusTerminal();
}

void CProgView::RefreshPortChoice(const CPortList& ports) {
    // A second initial update rebuilds the choice instead of adding every name again.
    m_host.ComboResetContent();
    int selected = -1;
    for (const PortNode* node = ports.Head(); node != nullptr; node = node->pNext) {
        const int index = m_host.ComboAddString(node->szName);
        if (m_strPortName == node->szName) {
            selected = index;
        }
    }
    // Network ports come from the profile: the system cannot list them, and a remembered one
    // stays chosen even when the profile no longer lists it (nothing says it has gone).
    for (const std::string& name : ProfileNetPorts(m_profile)) {
        const int index = m_host.ComboAddString(name);
        if (m_strPortName == name) {
            selected = index;
        }
    }
    if (selected < 0) {
        const bool keep = !m_strPortOverride.empty() && m_strPortName == m_strPortOverride;
        if (keep || IsNetworkPortName(m_strPortName)) {
            selected = m_host.ComboAddString(m_strPortName);
        } else if (ports.Head() != nullptr) {
            m_strPortName = ports.Head()->szName;
            selected = 0;
        }
    }
    if (selected >= 0) {
        m_host.ComboSetCurSel(selected);
    }
}

void CProgView::OnMiscButton() {
    m_host.FocusTerminal();
    switch (m_nButtonCmd) {
        case IDS_RETRY_OPEN_PORT:
            OpenPort();
            break;
        case IDS_SEND_ANOTHER:
            StartSending();
            break;
        case IDS_ABORT_UPDATE:
            m_host.BeginWaitCursor();
            StopSending();
            std::this_thread::sleep_for(m_timing.abortSettle);
            m_host.EndWaitCursor();
            break;
        default:
            return;
    }
    UpdateData(false);
}

void CProgView::OnSelchangeCommPort() {
    m_host.FocusTerminal();
    m_strPortName = m_host.ComboGetText();
    // The operator's own choice replaces one given on the command line.
    m_strPortOverride.clear();
    m_profile.WriteProfileString(kSection, kEntry, m_strPortName);
    OpenPort();
    UpdateData(false);
}

void CProgView::OnSendUpdateFile() {
    StartSending();
    UpdateData(false);
}

bool CProgView::OnFileNew() const {
    // Reopening the port would cut the transfer off and leave the tester half updated.
    return m_doc.m_bCanClose;
}

bool CProgView::OnFileOpen() {
    if (!OnFileNew()) {
        return false;
    }
    FileDialogRequest request;
    request.title = "Open";
    request.filter = "All Files (*.*)|*.*||";
    bool chosen = false;
    bool prompted = false;
    {
        // The dialog runs a nested event loop. A prompt that completes in it must not start a
        // transfer there, which choosing a file would then cut off by reopening the port.
        const StartBlock block(m_bStartBlocked);
        m_bStartRefused = false;
        chosen = m_host.RunFileDialog(request);
        prompted = m_bStartRefused;
    }
    if (prompted && m_nState != STATE_PORT_CLOSED) {
        // The tester asked for its file meanwhile and waits for it: it is served now, and the
        // port is not reopened under it (which would also wipe the prompt from the terminal).
        StartSending();
        UpdateData(false);
        return false;
    }
    // Asked again: the dialog's event loop may have changed what the answer was before it.
    return chosen && OnFileNew();
}

int CProgView::LostReason() const {
    if (m_hPort && m_hPort->HungUp()) {
        return m_hPort->LostReason();
    }
    return m_nLostReason;
}

int CProgView::OnCommNotify(uint32_t wParam, uint32_t lParam) {
    if (wParam != COMM_NOTIFY_TAG) {
        return 1;
    }
    switch (lParam) {
        case NOTIFY_RX_DATA:
            ProcessReceived();
            if (m_bPromptSeen) {
                m_bPromptSeen = false;
                StartSending();
                UpdateData(false);
            }
            break;
        case NOTIFY_TX_DONE:
            // A sender posts its notice only after it has cleared its alive flag, so a notice
            // that finds a sender alive belongs to an earlier one, stopped to make way for this
            // transfer; acting on it would abort the transfer that just began.
            if (m_bWriterAlive.load(std::memory_order_acquire)) {
                break;
            }
            StopSending();
            UpdateData(false);
            break;
        case NOTIFY_PORT_LOST:
            // A transfer that was running reports its own failure; otherwise nothing on screen
            // would tell the operator that the port is gone. A notice from a port that has since
            // been reopened is stale and ignored.
            if (m_hPort && m_hPort->HungUp() &&
                (m_nState == STATE_READY ||
                 (m_nState == STATE_SEND_ENDED && m_nLastSendError == 0))) {
                const std::string port = m_strPortName;
                const int reason = m_hPort->LostReason();
                ClosePort();
                m_nLostReason = reason;
                ReportMessage(true, reason, IDS_PORT_LOST, port);
                UpdateData(false);
            }
            break;
        case NOTIFY_CONTEXT_MENU: {
            const auto offered = [this] {
                return m_nState == STATE_READY || m_nState == STATE_SEND_ENDED;
            };
            // Asked again once the menu has closed: a prompt that arrived while it was open may
            // have started a transfer, which the command would otherwise stop to start another.
            if (offered() && m_host.TrackPopupMenu() && offered()) {
                OnSendUpdateFile();
            }
            break;
        }
        default:
            break;
    }
    return 1;
}

}  // namespace korv
