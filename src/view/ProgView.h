#pragma once
// CProgView: the update controller. It owns the update state and the control panel, the receive
// ring and prompt matchers, the serial port and the two worker threads, and dispatches the
// operator's commands and the workers' notifications. GUI-thread code except where marked.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "hash/Sha256.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/UpdateFile.h"
#include "view/Host.h"
#include "view/ProgDoc.h"
#include "view/TransferProgress.h"

namespace korv {

class CPortList;
class CReportWidget;

enum UpdateState : int {
    STATE_PORT_CLOSED = 0,
    STATE_READY = 1,
    STATE_SEND_ENDED = 2,
    STATE_SENDING = 3,
};

inline constexpr int RX_RING_SIZE = 1000;
inline constexpr char PROMPT_READY[] = "Ready to receive update file....\r\n";
inline constexpr char PROMPT_XONXOFF[] =
    "file using plain text transmission and XOn/Xoff handshaking....\r\n";
inline constexpr int PROMPT_READY_LEN = sizeof(PROMPT_READY) - 1;      // 34
inline constexpr int PROMPT_XONXOFF_LEN = sizeof(PROMPT_XONXOFF) - 1;  // 65
inline constexpr int SEND_CHUNK = 512;
inline constexpr int IDC_COMMPORT = 1001;
inline constexpr int IDC_MISC_BUTTON = 1010;
inline constexpr int IDC_TERMINAL = 1013;
inline constexpr int IDC_COMMPORT_LABEL = 1014;
inline constexpr unsigned ID_SEND_UPDATE_FILE = 32771;

// What opening a port came to: the system's error of the open, then of applying the line settings
// (0: none). A port whose settings failed is open and held.
struct PortPrepared {
    int openError = 0;
    int setupError = 0;
};

// Opens port at devicePath and applies the program's line settings, queue sizes and time-outs,
// purging what arrived before. Touches nothing but port: a caller that must not wait for a slow
// device (a network server, a wireless link) runs it on a thread of its own.
PortPrepared PreparePort(ISerialPort& port, const std::string& devicePath);

class CProgView {
  public:
    struct Timing {
        // How often the GUI thread looks at a worker's alive flag while it waits for it to end.
        std::chrono::milliseconds alivePoll{100};
        // How long the wait cursor stays up after an abort.
        std::chrono::milliseconds abortSettle{500};
        // Reader pause on a full ring, and between reads of a port that keeps failing.
        std::chrono::milliseconds readerPause{100};
    };

    CProgView(IFormHost& host, INotifySink& sink, IProfile& profile, CProgDoc& doc,
              SerialPortFactory portFactory, std::string programPath);
    CProgView(IFormHost& host, INotifySink& sink, IProfile& profile, CProgDoc& doc,
              SerialPortFactory portFactory, std::string programPath, Timing timing);
    ~CProgView();
    CProgView(const CProgView&) = delete;
    CProgView& operator=(const CProgView&) = delete;

    // Commands and dispatch.
    void OnInitialUpdate(const CPortList& ports);
    // The initial update in two halves, for a front end that opens the port elsewhere: the first
    // chooses the port (PortName) and fills the panel, the second opens the port, taking the one
    // handed over with SetPreparedPort if there is one.
    void PrepareInitialUpdate(const CPortList& ports);
    void FinishInitialUpdate();
    // The next OpenPort takes this port, already prepared (PreparePort), instead of opening one.
    void SetPreparedPort(std::unique_ptr<ISerialPort> port, PortPrepared prepared) {
        m_preparedPort = std::move(port);
        m_prepared = prepared;
    }
    // Refills the port choice from a fresh list, in list order, keeping the chosen name selected
    // (it is added at the end when the list no longer holds it, like a device path given on the
    // command line). Does not reopen anything.
    void RefreshPortChoice(const CPortList& ports);
    void OnMiscButton();
    void OnSelchangeCommPort();
    void OnSendUpdateFile();
    int OnCommNotify(uint32_t wParam, uint32_t lParam);
    // New and Open (Ctrl+N, Ctrl+O) run the initial update again, which reopens the port: each
    // answers whether the front end is to do that now. Both are refused, like closing, while a
    // file is being sent. Open first offers a file-open dialog for any file; nothing is read from
    // the chosen file, and cancelling changes nothing.
    bool OnFileNew() const;
    bool OnFileOpen();

    // Panel refresh.
    void UpdateData(bool bSaveAndValidate);
    void DoDataExchange();

    // Reports: formats message nMsgId with the insertion, adds " : " and the system's text for a
    // non-zero error, optionally shows it in a box, and echoes it as a terminal line.
    void ReportMessage(bool bShowBox, int dwSysError, unsigned nMsgId,
                       const std::string* insertion = nullptr);
    void ReportMessage(bool bShowBox, int dwSysError, unsigned nMsgId,
                       const std::string& insertion) {
        ReportMessage(bShowBox, dwSysError, nMsgId, &insertion);
    }

    // Receive side.
    void ProcessReceived();

    // Serial link.
    void OpenPort();
    void ClosePort();
    void StopSending();
    // Discards what the port still holds for the line; no transfer may be running. A transfer
    // the tester cut short after the sender had let go of its last byte (a pseudo-terminal or a
    // relay still holding the tail) leaves nothing to reach the tester ahead of the next one.
    void DiscardPortOutput();
    void StartSending();
    bool ValidateUpdateFile(const std::string& path);

    // Observers for front ends and tests.
    int State() const { return m_nState; }
    unsigned ButtonCmd() const { return m_nButtonCmd; }
    const std::string& PortName() const { return m_strPortName; }
    const std::string& UpdateFile() const { return m_strUpdateFile; }
    bool PortHeld() const { return m_hPort != nullptr; }
    bool ReaderAlive() const { return m_bReaderAlive.load(std::memory_order_acquire); }
    bool WriterAlive() const { return m_bWriterAlive.load(std::memory_order_acquire); }
    // Transfer progress, written by the sender only: the file's size and the bytes that have
    // gone to the driver. Safe to read from any thread.
    uint64_t SendTotal() const { return m_nSendTotal.load(std::memory_order_relaxed); }
    uint64_t SendDone() const { return m_nSendDone.load(std::memory_order_relaxed); }
    // True once the current (or last) transfer has put its last byte on the wire.
    bool SendCompleted() const { return m_bSendCompleted.load(std::memory_order_acquire); }
    // Error code of the last transfer that failed (SysError.h), 0 if it completed or was aborted.
    int LastSendError() const { return m_nLastSendError; }
    // Why the port went away (SysError.h): the port's own reason while the view still holds a
    // hung-up port, else the one told when the view closed it for being lost; 0 when the port
    // has not gone since it was opened.
    int LostReason() const;
    // How the last transfer ended, for the front ends to show in STATE_SEND_ENDED; NONE from the
    // start of the next transfer on and once the port has closed.
    const TransferOutcome& LastOutcome() const { return m_lastOutcome; }
    // SHA-256 (hex) of the bytes the last transfer wrote to the port, hashed as they went out;
    // empty until that transfer's sender has ended, and from the start of the next one on.
    const std::string& LastSendSha256() const { return m_strLastSendSha256; }
    // Chooses a port without writing the profile (command-line choice); used before the initial
    // update. The name is added to the port choice when the list does not hold it.
    void SetPortOverride(const std::string& name) { m_strPortOverride = name; }
    // The path the first file dialog starts from, instead of the program folder's "*.txt"
    // (command-line choice); used before the initial update.
    void SetInitialUpdateFile(const std::string& path) { m_strInitialUpdateFile = path; }
    // Hands every byte received from the tester to observer as it is drained (GUI thread), before
    // the terminal gets it: front ends read the tester's own lines from it, apart from the
    // program's messages that share the pane.
    void SetReceiveObserver(std::function<void(char)> observer) {
        m_receiveObserver = std::move(observer);
    }
    // Lets other readers open the update file while it is being sent (several views sending
    // the same file at once); by default it is held exclusively.
    void SetShareUpdateFile(bool share) { m_bShareUpdateFile = share; }
    // Test hooks for the ring indices.
    int RxHead() const { return m_nRxHead.load(std::memory_order_acquire); }
    int RxTail() const { return m_nRxTail.load(std::memory_order_acquire); }
    void SetRingForTest(int head, int tail, const uint8_t* bytes);
    void SetStateForTest(int state) { m_nState = state; }

    // Worker bodies (reader and sender threads).
    void ReadChunk();
    void SendFileLoop();

  private:
    // Raises m_bStartBlocked for one scope and then puts back what it was.
    class StartBlock {
      public:
        explicit StartBlock(bool& flag) : m_flag(flag), m_was(flag) { m_flag = true; }
        ~StartBlock() { m_flag = m_was; }
        StartBlock(const StartBlock&) = delete;
        StartBlock& operator=(const StartBlock&) = delete;

      private:
        bool& m_flag;
        bool m_was;
    };

    static void ReaderThreadProc(CProgView* view);
    static void WriterThreadProc(CProgView* view);
    // Sender thread: the running transfer is being stopped by this program (Abort, a new
    // transfer, the port closing).
    bool StopRequested() const;
    void CloseUpdateFile();

    IFormHost& m_host;
    INotifySink& m_sink;
    IProfile& m_profile;
    CProgDoc& m_doc;
    SerialPortFactory m_portFactory;
    std::string m_programPath;
    Timing m_timing;

    int m_nShownState = 123456789;
    unsigned m_nButtonCmd = 0;
    bool m_bInitialized = false;
    std::string m_strUpdateFile;
    std::string m_strPortName;
    std::string m_strPortOverride;
    std::string m_strInitialUpdateFile;
    std::unique_ptr<ISerialPort> m_hPort;
    std::unique_ptr<ISerialPort> m_preparedPort;
    PortPrepared m_prepared;
    CReportWidget* m_pTerm = nullptr;
    std::function<void(char)> m_receiveObserver;
    std::atomic<bool> m_bReaderRun{false};
    std::atomic<bool> m_bWriterRun{false};
    std::atomic<bool> m_bReaderAlive{false};
    std::atomic<bool> m_bWriterAlive{false};
    bool m_bPromptSeen = false;
    std::unique_ptr<Event> m_hAbortEvent;
    CUpdateFile m_hUpdateFile;
    bool m_bShareUpdateFile = false;
    int m_nState = STATE_PORT_CLOSED;
    std::atomic<int32_t> m_nRxHead{0};
    std::atomic<int32_t> m_nRxTail{0};
    std::array<uint8_t, RX_RING_SIZE> m_rxRing{};
    int32_t m_nMatchReady = 0;
    int32_t m_nMatchXonXoff = 0;

    std::thread m_readerThread;
    std::thread m_writerThread;
    std::atomic<uint64_t> m_nSendTotal{0};
    std::atomic<uint64_t> m_nSendDone{0};
    std::atomic<bool> m_bSendCompleted{false};
    // Written by the sender before it clears m_bWriterAlive; read by the GUI thread after.
    std::atomic<int> m_nSendError{0};
    int m_nLastSendError = 0;
    // The sender's alone while it runs; the digest is read after the thread has been joined.
    CSha256 m_sendHash;
    CSha256::Digest m_sendDigest{};
    std::string m_strLastSendSha256;
    std::chrono::steady_clock::time_point m_sendStart{};
    TransferOutcome m_lastOutcome;
    // No transfer may start: StartSending is already under way (stopping the last transfer,
    // reporting its failure, asking for a file) or the port is being closed. Their boxes and
    // dialogs run nested event loops in which a prompt may complete.
    bool m_bStartBlocked = false;
    // A transfer was asked for (a prompt) while starting was blocked.
    bool m_bStartRefused = false;
    // Reader thread only (set before it starts): the lost line has been announced once.
    bool m_bPortLostPosted = false;
    // Why the port was lost, kept once the view has closed it (LostReason).
    int m_nLostReason = 0;
};

}  // namespace korv
