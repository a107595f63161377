#pragma once
// Recording fakes for the update controller's outside: the form, the notification queue, the
// profile, the terminal window and a scriptable serial port.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "ports/PortList.h"
#include "terminal/ReportWidget.h"
#include "view/Host.h"
#include "view/ProgView.h"

namespace korv::test {

struct RecordingWindow : ITermWindow {
    std::vector<std::string> calls;
    std::vector<PixelRect> rects;
    std::vector<std::pair<std::pair<int, int>, std::string>> texts;
    int updates = 0;
    void InvalidateAll() override { calls.push_back("all"); }
    void InvalidateRect(const PixelRect& r) override {
        calls.push_back("rect");
        rects.push_back(r);
    }
    void UpdateWindow() override { ++updates; }
    void TextOut(int x, int y, const char* t, int n) override {
        texts.push_back({{x, y}, std::string(t, static_cast<size_t>(n))});
    }
    void CreateCaret(int w, int h) override {
        calls.push_back("create " + std::to_string(w) + "x" + std::to_string(h));
    }
    void SetCaretPos(int x, int y) override {
        calls.push_back("pos " + std::to_string(x) + "," + std::to_string(y));
    }
    void ShowCaret() override { calls.push_back("show"); }
    void HideCaret() override { calls.push_back("hide"); }
    void DestroyCaret() override { calls.push_back("destroy"); }
};

// The terminal as text: every byte the model acted on, in order.
struct EchoLog : ITermEcho {
    std::string text;
    void Echo(char ch) override { text += ch; }
};

struct FakeSink : INotifySink {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<uint32_t, uint32_t>> queue;
    void PostCommNotify(uint32_t w, uint32_t l) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            queue.emplace_back(w, l);
        }
        cv.notify_all();
    }
    // Delivers queued notifications to the view until pred holds or the deadline passes.
    template <typename Pred>
    bool PumpUntil(CProgView& view, Pred pred,
                   std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!pred()) {
            std::pair<uint32_t, uint32_t> n;
            {
                std::unique_lock<std::mutex> lock(mutex);
                if (!cv.wait_until(lock, deadline, [&] { return !queue.empty(); })) {
                    return pred();
                }
                n = queue.front();
                queue.pop_front();
            }
            view.OnCommNotify(n.first, n.second);
        }
        return true;
    }
    // Delivers one queued notification, if there is one.
    bool PumpOne(CProgView& view) {
        std::pair<uint32_t, uint32_t> n;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.empty()) {
                return false;
            }
            n = queue.front();
            queue.pop_front();
        }
        view.OnCommNotify(n.first, n.second);
        return true;
    }
    size_t Count(uint32_t code) {
        std::lock_guard<std::mutex> lock(mutex);
        size_t c = 0;
        for (auto& n : queue) {
            c += n.second == code;
        }
        return c;
    }
};

struct FakeProfile : IProfile {
    std::map<std::string, std::string> values;
    int writes = 0;
    std::string GetProfileString(const std::string& s, const std::string& e,
                                 const std::string& d) override {
        auto it = values.find(s + "/" + e);
        return it == values.end() ? d : it->second;
    }
    void WriteProfileString(const std::string& s, const std::string& e,
                            const std::string& v) override {
        values[s + "/" + e] = v;
        ++writes;
    }
};

struct FakeHost : IFormHost {
    CReportWidget term;
    RecordingWindow window;
    EchoLog echo;
    std::vector<std::string> combo;
    int curSel = -1;
    bool portChoiceEnabled = true;
    std::string buttonText;
    bool buttonShown = false;
    std::vector<std::string> boxes;
    std::vector<FileDialogRequest> dialogs;
    // Answers to the file dialog, in order; an empty answer (or none left) cancels.
    std::deque<std::string> answers;
    std::function<void()> duringDialog;
    std::function<void()> duringBox;  // runs while a box is up, as its nested event loop would
    bool popupChoice = false;
    std::function<void()> duringPopup;  // runs while the menu is up, as its event loop would
    int popups = 0;
    int waitCursor = 0;  // how many wait cursors are up
    std::vector<std::chrono::steady_clock::time_point> cursorShown;
    std::vector<std::chrono::steady_clock::time_point> cursorHidden;
    int focus = 0;

    FakeHost() {
        term.AttachWindow(&window);
        term.SetEcho(&echo);
        term.SetCellSize(8, 15);
        term.OnSize(8 * 80 + 2, 15 * 25 + 2);
    }
    ~FakeHost() override { term.AttachWindow(nullptr); }
    void ComboResetContent() override {
        combo.clear();
        curSel = -1;
    }
    int ComboAddString(const std::string& n) override {
        combo.push_back(n);
        return static_cast<int>(combo.size()) - 1;
    }
    void ComboSetCurSel(int i) override { curSel = i; }
    std::string ComboGetText() override {
        return curSel >= 0 && curSel < static_cast<int>(combo.size()) ? combo[curSel] : "";
    }
    void EnablePortChoice(bool e) override { portChoiceEnabled = e; }
    void SetButtonText(const std::string& t) override { buttonText = t; }
    void ShowButton(bool s) override { buttonShown = s; }
    CReportWidget* GetTerminal() override { return &term; }
    void FocusTerminal() override { ++focus; }
    void MessageBox(const std::string& t) override {
        boxes.push_back(t);
        if (duringBox) {
            duringBox();
        }
    }
    bool RunFileDialog(FileDialogRequest& r) override {
        dialogs.push_back(r);
        if (duringDialog) {
            duringDialog();
        }
        if (answers.empty() || answers.front().empty()) {
            if (!answers.empty()) {
                answers.pop_front();
            }
            return false;
        }
        r.fileName = answers.front();
        answers.pop_front();
        return true;
    }
    void BeginWaitCursor() override {
        ++waitCursor;
        cursorShown.push_back(std::chrono::steady_clock::now());
    }
    void EndWaitCursor() override {
        --waitCursor;
        cursorHidden.push_back(std::chrono::steady_clock::now());
    }
    bool TrackPopupMenu() override {
        ++popups;
        if (duringPopup) {
            duringPopup();
        }
        return popupChoice;
    }
    void FitFrameToForm() override {}
};

// A scriptable serial port shared with the test through a control block.
struct FakePortControl {
    std::mutex mutex;
    std::condition_variable cv;
    int openError = 0;
    int setStateError = 0;
    std::vector<std::string> opened;
    Dcb applied{};
    int purges = 0;
    std::string written;
    std::deque<std::string> incoming;  // each entry is delivered by one Read
    uint32_t maxWrite = 0;             // >0: each Write takes at most this many bytes
    bool holdWrites = false;           // a write waits (like XOFF) until released or aborted
    int failWritesWith = 0;            // Write fails with this errno
    int readFailure = 0;               // Read fails with this errno (hung-up line)
    int endReadWith = 0;  // the next Read that delivers bytes fails with this code, as do all after
    int reads = 0;
    std::vector<uint32_t> readAsks;  // the count of every Read, in order
    bool readWaiting = false;        // a Read is waiting for incoming bytes
    int flushes = 0;
    std::vector<uint32_t> writeSizes;
    // When each write that was cut off by the abort (or a shutdown) returned.
    std::vector<std::chrono::steady_clock::time_point> writesCancelled;
    bool shutdown = false;
    int alive = 0;
};

class FakePort : public ISerialPort {
  public:
    static FakePortControl* control;
    static std::unique_ptr<ISerialPort> Make() { return std::make_unique<FakePort>(); }

    FakePort() {
        std::lock_guard<std::mutex> lock(control->mutex);
        ++control->alive;
        control->shutdown = false;
    }
    ~FakePort() override {
        std::lock_guard<std::mutex> lock(control->mutex);
        --control->alive;
    }
    int Open(const std::string& path) override {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->opened.push_back(path);
        return control->openError;
    }
    void SetupComm(uint32_t, uint32_t) override {}
    void Purge() override {
        std::lock_guard<std::mutex> lock(control->mutex);
        ++control->purges;
    }
    void SetCommTimeouts(const CommTimeouts&) override {}
    void GetCommState(Dcb& dcb) override { dcb.XoffLim = 7; }
    int SetCommState(const Dcb& dcb) override {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->applied = dcb;
        return control->setStateError;
    }
    void SetCommMask(uint32_t) override {}
    void Shutdown() override {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->shutdown = true;
        control->cv.notify_all();
    }
    int Read(uint8_t* buf, uint32_t count, uint32_t* got) override {
        std::unique_lock<std::mutex> lock(control->mutex);
        ++control->reads;
        control->readAsks.push_back(count);
        if (control->readFailure != 0) {
            return control->readFailure;
        }
        control->readWaiting = true;
        control->cv.wait(lock, [] { return control->shutdown || !control->incoming.empty(); });
        control->readWaiting = false;
        if (control->shutdown) {
            return ERR_CANCELLED;
        }
        std::string& front = control->incoming.front();
        const size_t n = std::min<size_t>(count, front.size());
        std::copy_n(front.data(), n, buf);
        front.erase(0, n);
        if (front.empty()) {
            control->incoming.pop_front();
        }
        *got = static_cast<uint32_t>(n);
        if (control->endReadWith != 0) {
            control->readFailure = control->endReadWith;
            return control->endReadWith;
        }
        return 0;
    }
    int Write(const uint8_t* buf, uint32_t n, const Event& abort, uint32_t* written) override {
        *written = 0;
        std::unique_lock<std::mutex> lock(control->mutex);
        control->writeSizes.push_back(n);
        while (control->holdWrites && !control->shutdown && !abort.IsSet()) {
            control->cv.wait_for(lock, std::chrono::milliseconds(5));
        }
        if (abort.IsSet() || control->shutdown) {
            control->writesCancelled.push_back(std::chrono::steady_clock::now());
            return ERR_CANCELLED;
        }
        if (control->failWritesWith != 0) {
            return control->failWritesWith;
        }
        const uint32_t take = control->maxWrite > 0 ? std::min(n, control->maxWrite) : n;
        control->written.append(reinterpret_cast<const char*>(buf), take);
        *written = take;
        return 0;
    }
    int DrainOutput(const Event& abort) override { return abort.IsSet() ? ERR_CANCELLED : 0; }
    bool HungUp() const override {
        std::lock_guard<std::mutex> lock(control->mutex);
        return control->readFailure == ERR_PORT_LOST;
    }
    void FlushOutput() override {
        std::lock_guard<std::mutex> lock(control->mutex);
        ++control->flushes;
    }
};

inline FakePortControl* FakePort::control = nullptr;

// Everything a controller needs around it, recorded; Open gives one that has opened a real port.
struct ViewRig {
    FakeHost host;
    FakeSink sink;
    FakeProfile profile;
    CProgDoc doc;
    CPortList ports;

    ViewRig() { ports.AddPort("COM1"); }
    std::unique_ptr<CProgView> Open(const std::string& port,
                                    CProgView::Timing timing = CProgView::Timing{},
                                    SerialPortFactory factory = &MakeSerialPort) {
        auto v = std::make_unique<CProgView>(host, sink, profile, doc, factory, "/usr/bin/korvalin",
                                             timing);
        v->SetPortOverride(port);
        v->OnInitialUpdate(ports);
        return v;
    }
};

}  // namespace korv::test
