#pragma once
// One port's update session, the same for every front end: it opens the port (on a thread of its
// own), waits for the tester's prompt, sends the file through the update controller, accounts for
// each transfer, waits for the tester's verdict, writes the records and, with repeat, serves the
// next tester. With repeat, a port that goes away (an adapter unplugged, a server that closed) is
// closed and opened again, under the name given, once its device is back; the next tester is then
// served as the first was. It is driven from outside by its station's wait: OnNotify when its
// notices wait, Tick after every wake-up. What a front end shows of it is published as a
// PortReport.

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "station/PortOpener.h"
#include "station/PortReport.h"
#include "station/Report.h"
#include "station/SessionHost.h"
#include "station/Transfer.h"
#include "view/ProgDoc.h"
#include "view/ProgView.h"
#include "view/UserProfile.h"

namespace korv {

class CPortList;

struct SessionSettings {
    std::string port;  // as given; empty: the port the desktop program remembers
    std::string file;  // the update file; empty: the file answer asks for one
    bool sendNow = false;
    bool repeat = false;
    int promptTimeout = 0;   // seconds; 0: wait for the prompt as long as it takes
    bool shareFile = false;  // other sessions send the same file at the same time
    // The output is the port's log: each transfer's start and why a run was stopped are lines of
    // it too.
    bool logLines = false;
    std::string programPath;  // where a file dialog starts without a file given
    CProgView::Timing timing;
    // How long an open may take (name lookup, connection, negotiation) before it is given up.
    std::chrono::seconds openLimit{30};
    // Advice for a port the system refused to open ("access denied"), by its device path.
    std::function<std::string(const std::string&)> permissionHint;
    // True once the operator has asked the run to stop: a file dialog cut short is then not a
    // rejected file.
    std::function<bool()> stopRequested;
};

class CPortSession {
  public:
    using Clock = std::chrono::steady_clock;

    // answer: how the file dialog is answered; null: with settings.file. base: the fields every
    // record of the port shares; its slot is the port's label in the report too.
    CPortSession(SessionSettings settings, CStationQueue& queue, ISessionOutput& out,
                 IFileAnswer* answer, TransferRecord base, const VerdictRules& rules,
                 CTransferRecorder::RecordSink sink);
    ~CPortSession();
    CPortSession(const CPortSession&) = delete;
    CPortSession& operator=(const CPortSession&) = delete;

    // Chooses the port and starts opening it.
    void Start(const CPortList& ports);
    bool Done() const { return m_report.phase == PortPhase::Done; }
    size_t QueueId() const { return m_queue.Id(); }
    // Dispatches the notices that wait for this session.
    void OnNotify();
    void Tick();
    // Milliseconds until Tick has something to do (-1: nothing is due).
    int TimeoutMs() const;
    // Ends the port's run at once: a running transfer is stopped and ends as outcome, with why
    // and how far it got as its reason; a port still opening or waiting for its prompt ends the
    // same way; a transfer that has ended keeps its outcome.
    void Stop(PortOutcome outcome, const std::string& why);
    // What the front ends show; a running transfer's figures are taken now.
    const PortReport& Report();
    // The exit status this port's run stands for.
    int Status() const { return OutcomeStatus(m_report); }
    // The port's log could not be written: the run goes on, its report says so.
    void SetLogError(const std::string& error) { m_report.logError = error; }
    // Dispatches this session's own notices while a file answer waits for the operator.
    void PumpDialog() { m_host.PumpWhileDialog(); }
    bool Sending() const { return m_report.phase == PortPhase::Sending; }

  private:
    void DispatchPending(bool track);
    void OnPortPrepared();
    // The port is open: its tester is waited for (or sent to at once).
    void ServeOpenPort();
    void AfterDispatch(int prevState);
    bool BeforeAnswer();
    // Ends the transfer whose sender has ended (or was stopped for a new prompt).
    void EndRunningTransfer(int state);
    // nextFollows: the tester asked for the file again; the port goes on to that transfer.
    void EndTransfer(PortOutcome outcome, const std::string& why = {}, bool nextFollows = false);
    void CheckVerdict();
    // Ends a verdict wait without one (no_verdict), saying why on the output if say.
    void AbandonVerdict(const std::string& reason, bool say);
    void OpenFailed(const std::string& reason);
    // The port has gone and the run goes on (repeat): it is closed, and tried again until it is
    // back.
    void BeginReconnect();
    // One try at opening the port again, on the opener's thread; put off while its device is
    // plainly not there.
    void TryReopen();
    void ScheduleReopen();
    // A try has come to an end with port (null when it gave none).
    void Reopened(std::unique_ptr<ISerialPort> port, const PortPrepared& prepared);
    // A try that did not give an open port: told once for each different reason.
    void ReopenFailed(const std::string& why);
    void Finish();
    bool AllHandedOut() const;

    // Forwards the file dialog to the front end's answer, after the session has had its word.
    class Answer : public IFileAnswer {
      public:
        explicit Answer(CPortSession& session) : m_session(session) {}
        bool Choose(const FileDialogRequest& request, std::string& path) override;

      private:
        CPortSession& m_session;
    };

    SessionSettings m_settings;
    ISessionOutput& m_out;
    IFileAnswer* m_frontAnswer;
    CSessionQueue m_queue;
    Answer m_answer;
    CSessionHost m_host;
    CProfileAdapter m_profile;
    CProgDoc m_doc;
    CProgView m_view;
    CTransferRecorder m_recorder;
    std::unique_ptr<CPortOpener> m_opener;

    PortReport m_report;
    bool m_prompted = false;  // the tester has asked for an update
    CTransferAccount m_account;
    // The sender has put the whole file out, but the line cannot have carried it yet: the
    // transfer ends as sent once it can have, unless the tester asks for the file again first.
    bool m_deliveryDue = false;
    bool m_finishDue = false;
    Clock::time_point m_openStart{};
    Clock::time_point m_openedAt{};
    Clock::time_point m_answerStart{};
    Clock::time_point m_lastReceived{};
    // Reconnecting: tries since the port went away, when the next one starts (or when the one
    // under way started), the last try's failure as told, and the reason the port's last
    // transfer (or wait) ended with, shown again once the port is back.
    int m_reopenTries = 0;
    bool m_transferSinceOpen = false;
    Clock::time_point m_reopenAt{};
    Clock::time_point m_reopenStart{};
    std::set<std::string> m_reopenErrors;  // the reasons told while the port waits
    std::string m_lostEndReason;
};

}  // namespace korv
