// Opening, configuring and closing the serial port, and stopping a transfer. Every open starts by
// closing whatever was open, so there is never more than one port, one reader and one abort event.

#include <system_error>
#include <thread>

#include "platform/SysError.h"
#include "serial/LineSettings.h"
#include "terminal/ReportWidget.h"
#include "view/ProgView.h"
#include "view/Strings.h"

namespace korv {

namespace {

constexpr uint32_t kQueueSize = 4096;

}  // namespace

PortPrepared PreparePort(ISerialPort& port, const std::string& devicePath) {
    PortPrepared prepared;
    prepared.openError = port.Open(devicePath);
    if (prepared.openError != 0) {
        return prepared;
    }
    port.SetupComm(kQueueSize, kQueueSize);
    port.Purge();
    port.SetCommTimeouts(kLineTimeouts);
    prepared.setupError = port.SetCommState(LineSettings(port));
    if (prepared.setupError != 0) {
        return prepared;
    }
    // Nothing received under the old settings may reach the ring.
    port.Purge();
    port.SetCommMask(0);
    return prepared;
}

void CProgView::OpenPort() {
    m_nShownState = 12345678;
    ClosePort();
    m_nLostReason = 0;
    if (m_pTerm != nullptr) {
        m_pTerm->Clear();
        m_pTerm->Write("\r\n", false);
    }
    std::unique_ptr<ISerialPort> port = std::move(m_preparedPort);
    PortPrepared prepared = m_prepared;
    m_prepared = PortPrepared{};
    if (!port) {
        port = m_portFactory();
        prepared = PreparePort(*port, DevicePathForPort(m_strPortName));
    }
    if (prepared.openError != 0) {
        ReportMessage(true, prepared.openError, IDS_PORT_OPEN_FAILED, m_strPortName);
        return;
    }
    m_hPort = std::move(port);
    if (prepared.setupError != 0) {
        // The port stays held until the next ClosePort (the retry button frees and reopens it).
        ReportMessage(true, prepared.setupError, IDS_PORT_SETUP_FAILED, m_strPortName);
        return;
    }

    m_nMatchReady = 0;
    m_nMatchXonXoff = 0;
    m_bPromptSeen = false;
    m_nRxHead.store(0, std::memory_order_relaxed);
    m_nRxTail.store(0, std::memory_order_relaxed);
    m_bReaderRun.store(true, std::memory_order_release);
    m_bPortLostPosted = false;

    int err = 0;
    m_hAbortEvent = Event::Create(&err);
    if (m_hAbortEvent) {
        // Raised before the thread runs so a thread that ends early never leaves it set.
        m_bReaderAlive.store(true, std::memory_order_release);
        try {
            m_readerThread = std::thread(&CProgView::ReaderThreadProc, this);
        } catch (const std::system_error&) {
            m_bReaderAlive.store(false, std::memory_order_release);
            // The library's code is not the system's own on every system; the
            // condition is always a lack of resources.
            err = ERR_NO_RESOURCES;
        }
    }
    if (err == 0) {
        ReportMessage(false, 0, IDS_PORT_OPENED, m_strPortName);
        m_nState = STATE_READY;
        return;
    }
    ClosePort();
    ReportMessage(true, err, IDS_THREADS_FAILED);
}

void CProgView::ClosePort() {
    const StartBlock block(m_bStartBlocked);
    m_bReaderRun.store(false, std::memory_order_release);
    m_bWriterRun.store(false, std::memory_order_release);
    StopSending();
    if (m_hPort) {
        // Wakes a read pending on the port; the descriptor itself stays open until no worker
        // can touch it.
        m_hPort->Shutdown();
    }
    while (m_bReaderAlive.load(std::memory_order_acquire) ||
           m_bWriterAlive.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(m_timing.alivePoll);
    }
    if (m_readerThread.joinable()) {
        m_readerThread.join();
    }
    m_hPort.reset();
    m_hAbortEvent.reset();
    m_lastOutcome = TransferOutcome{};
    m_nState = STATE_PORT_CLOSED;
    m_nButtonCmd = 0;
}

void CProgView::DiscardPortOutput() {
    if (m_hPort && !m_bWriterAlive.load(std::memory_order_acquire)) {
        m_hPort->FlushOutput();
    }
}

void CProgView::StopSending() {
    m_bWriterRun.store(false, std::memory_order_release);
    if (m_hAbortEvent) {
        m_hAbortEvent->Set();
    }
    while (m_bWriterAlive.load(std::memory_order_acquire)) {
        std::this_thread::sleep_for(m_timing.alivePoll);
    }
    const bool senderEnded = m_writerThread.joinable();
    if (senderEnded) {
        m_writerThread.join();
    }
    if (m_hUpdateFile.IsOpen()) {
        CloseUpdateFile();
    }
    if (senderEnded) {
        m_nLastSendError = m_nSendError.load(std::memory_order_acquire);
        const bool completed = m_bSendCompleted.load(std::memory_order_acquire);
        m_lastOutcome.kind = completed               ? TransferOutcome::SENT
                             : m_nLastSendError != 0 ? TransferOutcome::FAILED
                                                     : TransferOutcome::ABORTED;
        m_lastOutcome.total = m_nSendTotal.load(std::memory_order_relaxed);
        const uint64_t done = m_nSendDone.load(std::memory_order_relaxed);
        m_lastOutcome.done = done < m_lastOutcome.total ? done : m_lastOutcome.total;
        m_lastOutcome.seconds =
            std::chrono::round<std::chrono::seconds>(std::chrono::steady_clock::now() - m_sendStart)
                .count();
        m_strLastSendSha256 = CSha256::Hex(m_sendDigest);
    }
    m_nState = STATE_SEND_ENDED;
    if (senderEnded && m_nLastSendError != 0) {
        // A transfer cut short by a failing port or file must not look like a completed one.
        // The box runs a nested event loop, in which a prompt may start the next transfer: the
        // state and the panel, the close guard with it, already say that none is running, and
        // nothing here touches them once the box has closed.
        UpdateData(false);
        ReportMessage(
            true,
            m_nLastSendError == ERR_PORT_LOST && m_hPort ? m_hPort->LostReason() : m_nLastSendError,
            IDS_TRANSFER_FAILED, m_strUpdateFile);
    }
}

}  // namespace korv
