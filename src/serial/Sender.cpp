// Choosing, checking and sending an update file: the file dialog loop, the "* " header check and
// the sender thread that streams the file in 512-byte chunks, abortable at any moment.

#include <system_error>

#include "platform/KeepAwake.h"
#include "platform/SysError.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {

namespace {

// The folder the dialog starts in: the path cut back to, and without, its last separator.
std::string InitialFolder(const std::string& path) {
    const size_t sep = path.find_last_of("\\/:");
    return sep == std::string::npos ? std::string() : path.substr(0, sep);
}

}  // namespace

void CProgView::CloseUpdateFile() {
    m_hUpdateFile.Close();
}

void CProgView::StartSending() {
    if (m_nState == STATE_PORT_CLOSED || !m_hAbortEvent) {
        return;
    }
    // The box of a failed transfer and the dialog are modal while notifications keep arriving;
    // a prompt completing meanwhile must neither stack a second dialog on the first nor start a
    // sender under this call.
    if (m_bStartBlocked) {
        m_bStartRefused = true;
        return;
    }
    const StartBlock block(m_bStartBlocked);
    StopSending();
    if (m_nState == STATE_PORT_CLOSED) {
        return;  // the port went away while the failure box was up
    }
    // The panel shows the state the dialog is asked from: no transfer, closing allowed.
    UpdateData(false);

    FileDialogRequest request;
    request.title = "Select software update file...";
    request.filter = "Software update files (*.txt)|*.txt|All Files (*.*)|*.*||";
    request.defaultExt = "txt";
    request.initialDir = InitialFolder(m_strUpdateFile);
    request.fileName = m_strUpdateFile;

    bool chosen = false;
    while (m_host.RunFileDialog(request)) {
        if (ValidateUpdateFile(request.fileName)) {
            chosen = true;
            break;
        }
    }
    if (!chosen) {
        return;
    }
    if (m_nState == STATE_PORT_CLOSED || !m_hAbortEvent) {
        // The port went away while the dialog was open.
        CloseUpdateFile();
        return;
    }

    m_strUpdateFile = request.fileName;
    m_hAbortEvent->Reset();
    m_nSendTotal.store(m_hUpdateFile.Size(), std::memory_order_relaxed);
    m_nSendDone.store(0, std::memory_order_relaxed);
    m_bSendCompleted.store(false, std::memory_order_relaxed);
    m_nSendError.store(0, std::memory_order_relaxed);
    m_nLastSendError = 0;
    m_lastOutcome = TransferOutcome{};
    m_strLastSendSha256.clear();
    m_sendHash.Reset();
    m_sendStart = std::chrono::steady_clock::now();
    m_bWriterRun.store(true, std::memory_order_release);
    // Raised before the sender can run: a short file may be sent completely, and the flag
    // cleared, before the thread start returns.
    m_bWriterAlive.store(true, std::memory_order_release);
    try {
        m_writerThread = std::thread(&CProgView::WriterThreadProc, this);
    } catch (const std::system_error&) {
        m_bWriterAlive.store(false, std::memory_order_release);
        const int  // The library's code is not the system's own on every system; the
                   // condition is always a lack of resources.
            err = ERR_NO_RESOURCES;
        ClosePort();
        ReportMessage(true, err, IDS_THREADS_FAILED);
        return;
    }
    m_nState = STATE_SENDING;
}

bool CProgView::ValidateUpdateFile(const std::string& path) {
    if (const int err = m_hUpdateFile.Open(path, m_bShareUpdateFile); err != 0) {
        ReportMessage(true, err, IDS_FILE_OPEN_FAILED, path);
        return false;
    }
    char header[2];
    uint32_t got = 0;
    if (m_hUpdateFile.Read(header, sizeof(header), &got) == 0 && got == 2 && header[0] == '*' &&
        header[1] == ' ' && m_hUpdateFile.Rewind() == 0) {
        return true;
    }
    CloseUpdateFile();
    ReportMessage(true, 0, IDS_NOT_UPDATE_FILE, path);
    return false;
}

bool CProgView::StopRequested() const {
    // A port reports a cancel that nobody here asked for as a failure, but the sender does not
    // rely on it: a transfer cut off that way must not pass for an abort.
    return !m_bWriterRun.load(std::memory_order_acquire) || m_hAbortEvent->IsSet();
}

void CProgView::WriterThreadProc(CProgView* view) {
    view->SendFileLoop();
}

void CProgView::SendFileLoop() {
    // The PC stays awake until the transfer is over, however long the tester holds the line.
    const CKeepAwake awake;
    uint8_t chunk[SEND_CHUNK];
    int error = 0;
    bool completed = false;
    uint64_t sent = 0;
    while (m_bWriterRun.load(std::memory_order_acquire)) {
        uint32_t got = 0;
        if (const int err = m_hUpdateFile.Read(chunk, sizeof(chunk), &got); err != 0) {
            error = err;
            break;
        }
        if (got == 0) {
            if (sent < m_nSendTotal.load(std::memory_order_relaxed)) {
                error = ERR_FILE_SHRANK;
                break;
            }
            // Done means the bytes have left the driver, not merely entered it.
            const int drained = m_hPort->DrainOutput(*m_hAbortEvent);
            if (drained == 0) {
                completed = true;
            } else if (drained != ERR_CANCELLED || !StopRequested()) {
                error = drained;
            }
            break;
        }
        uint32_t offset = 0;
        uint32_t remaining = got;
        int status = 0;
        while (remaining > 0) {
            uint32_t written = 0;
            // A short count (XOFF held past the write time-out) just asks again for the rest.
            status = m_hPort->Write(chunk + offset, remaining, *m_hAbortEvent, &written);
            m_sendHash.Update(chunk + offset, written);
            offset += written;
            remaining -= written;
            sent += written;
            m_nSendDone.store(sent, std::memory_order_relaxed);
            if (status != 0) {
                break;
            }
        }
        if (status == ERR_CANCELLED && StopRequested()) {
            break;
        }
        if (status != 0) {
            error = status;
            break;
        }
    }
    if (!completed) {
        // An aborted or failed update stops at once: what still waits in the driver is not
        // sent. A completed one keeps its tail; closing the port never discards it.
        m_hPort->FlushOutput();
    }
    m_sendDigest = m_sendHash.Final();
    m_bSendCompleted.store(completed, std::memory_order_release);
    m_nSendError.store(error, std::memory_order_release);
    m_bWriterAlive.store(false, std::memory_order_release);
    m_sink.PostCommNotify(COMM_NOTIFY_TAG, NOTIFY_TX_DONE);
}

}  // namespace korv
