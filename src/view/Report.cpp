// Status and error reports: one formatted line, optionally in a modal box, always echoed into
// the terminal pane so the operator's log holds every report.

#include "platform/SysError.h"
#include "terminal/ReportWidget.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {

void CProgView::ReportMessage(bool bShowBox, int dwSysError, unsigned nMsgId,
                              const std::string* insertion) {
    const char* format = LoadString(nMsgId);
    std::vector<std::string> inserts;
    if (insertion != nullptr) {
        inserts.push_back(*insertion);
    }
    std::string text = FormatMessageString(format ? format : "", inserts);
    if (dwSysError != 0) {
        text += " : ";
        text += SystemErrorText(dwSysError);
    }
    if (bShowBox) {
        m_host.MessageBox(text);
    }
    text += '\n';
    if (m_pTerm != nullptr) {
        m_pTerm->Write(text.c_str(), true);
    }
}

}  // namespace korv
