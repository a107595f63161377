// The control panel: what the action button means, the message printed on entering each update
// state, and whether the port choice and closing are allowed. Redrawn only when the state changed.

#include "terminal/ReportWidget.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {

void CProgView::UpdateData(bool bSaveAndValidate) {
    if (!bSaveAndValidate) {
        DoDataExchange();
    }
}

void CProgView::DoDataExchange() {
    if (!m_bInitialized || m_nState == m_nShownState) {
        return;
    }
    unsigned message = 0;
    bool portChoice = true;
    m_nButtonCmd = 0;
    switch (m_nState) {
        case STATE_PORT_CLOSED:
            m_nButtonCmd = IDS_RETRY_OPEN_PORT;
            message = IDS_PORT_NOT_OPEN;
            break;
        case STATE_READY:
            message = IDS_UPDATE_INSTRUCTIONS;
            break;
        case STATE_SEND_ENDED:
            m_nButtonCmd = IDS_SEND_ANOTHER;
            break;
        case STATE_SENDING:
            m_nButtonCmd = IDS_ABORT_UPDATE;
            message = IDS_SENDING_FILE;
            portChoice = false;
            break;
        default:
            break;
    }
    m_doc.m_bCanClose = portChoice;
    if (message != 0 && m_pTerm != nullptr) {
        const char* format = LoadString(message);
        const std::string text = FormatMessageString(format ? format : "", {m_strUpdateFile});
        m_pTerm->Write("\r\n", false);
        m_pTerm->Write(text.c_str(), false);
        m_pTerm->Write("\r\n", true);
    }
    const char* buttonText = m_nButtonCmd != 0 ? LoadString(m_nButtonCmd) : nullptr;
    if (buttonText != nullptr) {
        m_host.SetButtonText(buttonText);
        m_host.ShowButton(true);
    } else {
        m_host.ShowButton(false);
    }
    m_nShownState = m_nState;
    m_host.EnablePortChoice(portChoice);
}

}  // namespace korv
