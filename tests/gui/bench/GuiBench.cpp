// Measurements of the desktop program against the simulated tester (not a test).
//
//   korv_gui_bench stream --seconds 30 --mode immediate|deferred|null
//       The tester sends a steady 5,760 bytes/s of text for the given time; prints the GUI
//       thread's CPU time and share, paints and bytes shown. "null" detaches the terminal model
//       from its window: the same drains with nothing painted (the baseline).
//   korv_gui_bench latency --count 20
//       The tester prints its prompt; prints the time from the prompt's last byte leaving the
//       tester to the file dialog being shown, per run and as median and maximum.

#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QFileDialog>
#include <QStandardPaths>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "TempDir.h"
#include "app/ProgApp.h"
#include "app/ProgForm.h"
#include "app/TermWidget.h"
#include "gui/GuiTestSupport.h"
#include "platform/DeviceMap.h"
#include "view/ProgView.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds(int who) {
    rusage ru{};
    ::getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The simulator with a thread of its own that reads its event lines and stamps each with the
// time it arrived, so that the times do not depend on the GUI thread under measurement.
class SimChild {
  public:
    bool Start(const std::vector<std::string>& args) {
        korv::test::LaunchPlan plan;
        plan.argv.push_back(KORV_TESTER_SIM);
        plan.argv.insert(plan.argv.end(), args.begin(), args.end());
        plan.stdinPipe = true;
        plan.stdoutPipe = true;
        plan.stderrFile.clear();
        m_child = std::make_unique<korv::test::Child>(plan);
        if (!m_child->Started()) {
            return false;
        }
        m_reader = std::thread([this] { ReadLoop(); });
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (!m_lines.empty()) {
                    m_pty = m_lines.front().second;
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    ~SimChild() {
        if (m_child) {
            Command("quit");
            m_child->CloseStdin();
            if (!m_child->WaitExit(std::chrono::seconds(2))) {
                m_child->Signal(SIGKILL);
                m_child->WaitExit(std::chrono::seconds(10));
            }
        }
        m_stop = true;
        if (m_reader.joinable()) {
            m_reader.join();
        }
    }

    void Command(const std::string& line) { m_child->Send(line + "\n"); }

    const std::string& Pty() const { return m_pty; }

    // Times at which event lines starting with prefix were read.
    std::vector<Clock::time_point> Times(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Clock::time_point> t;
        for (const auto& [at, line] : m_lines) {
            if (line.rfind(prefix, 0) == 0) {
                t.push_back(at);
            }
        }
        return t;
    }

  private:
    void ReadLoop() {
        while (!m_stop.load()) {
            const auto line = m_child->ReadLine(Clock::now() + std::chrono::milliseconds(100));
            if (!line) {
                if (m_child->StdoutEnded()) {
                    return;
                }
                continue;
            }
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.emplace_back(now, *line);
        }
    }

    std::unique_ptr<korv::test::Child> m_child;
    std::string m_pty;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
    std::mutex m_mutex;
    std::vector<std::pair<Clock::time_point, std::string>> m_lines;
};

korv::AppOptions Options(const std::string& pty, const std::string& folder) {
    korv::AppOptions options;
    options.portOverride = pty;
    options.programPath = folder + "/korvalin";
    options.deviceMap = [] { return korv::test::MakeListedDeviceMap({"ttyS0"}); };
    options.prepareForm = [](korv::CProgForm& form) {
        form.SetMessageBoxHook([](const std::string& text) {
            std::fprintf(stderr, "message box: %s\n", text.c_str());
        });
    };
    return options;
}

int Stream(int seconds, const std::string& mode) {
    korv::test::TempDir dir;
    SimChild sim;
    if (!sim.Start({"--prompt", "none"})) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    korv::CProgApp app(Options(sim.Pty(), dir.path()));
    app.InitInstance();
    korv::CTermWidget* term = app.Form().Terminal();
    if (mode == "deferred") {
        term->SetPaintMode(korv::CTermWidget::PaintMode::Deferred);
    } else if (mode == "null") {
        term->Model().AttachWindow(nullptr);
    } else if (mode != "immediate") {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (app.View().State() != korv::STATE_READY) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }

    // 56 characters and CR LF every 10 ms: 5,800 bytes/s, the line's 5,760 near enough, in
    // the small pieces a real line delivers between read time-outs.
    std::atomic<bool> feeding{true};
    std::atomic<uint64_t> sent{0};
    std::thread feeder([&] {
        auto next = Clock::now();
        uint64_t line = 0;
        while (feeding.load()) {
            char text[64];
            std::snprintf(text, sizeof text, "say %08llu streaming text at the line rate .......",
                          static_cast<unsigned long long>(line++));
            std::string cmd(text);
            cmd.resize(4 + 56, '.');
            sim.Command(cmd);
            sent += 58;
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    });

    // Let the stream settle before measuring.
    QTimer::singleShot(1000, [] { QApplication::exit(0); });
    QApplication::exec();
    const int paints0 = term->PaintCount();
    const uint64_t sent0 = sent.load();
    const double gui0 = CpuSeconds(RUSAGE_THREAD);
    const double proc0 = CpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    QTimer::singleShot(seconds * 1000, [] { QApplication::exit(0); });
    QApplication::exec();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double gui = CpuSeconds(RUSAGE_THREAD) - gui0;
    const double proc = CpuSeconds(RUSAGE_SELF) - proc0;
    const int paints = term->PaintCount() - paints0;
    const uint64_t bytes = sent.load() - sent0;
    feeding = false;
    feeder.join();

    std::printf(
        "mode %-9s wall %.1f s  bytes %llu (%.0f B/s)  GUI thread CPU %.3f s (%.2f %%)  "
        "process CPU %.3f s (%.2f %%)  paints %d (%.1f/s)\n",
        mode.c_str(), wall, static_cast<unsigned long long>(bytes),
        static_cast<double>(bytes) / wall, gui, 100.0 * gui / wall, proc, 100.0 * proc / wall,
        paints, paints / wall);
    return 0;
}

int Latency(int count) {
    korv::test::TempDir dir;
    SimChild sim;
    if (!sim.Start({"--prompt", "none"})) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    korv::CProgApp app(Options(sim.Pty(), dir.path()));
    app.InitInstance();

    std::vector<Clock::time_point> shown;
    std::atomic<int> dialogs{0};
    // The real dialog; it is closed as soon as it shows.
    struct ShowWatch : QObject {
        std::vector<Clock::time_point>* shown;
        std::atomic<int>* dialogs;
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Show) {
                if (auto* d = qobject_cast<QFileDialog*>(o); d != nullptr) {
                    shown->push_back(Clock::now());
                    QTimer::singleShot(0, d, [d] { d->reject(); });
                    ++*dialogs;
                }
            }
            return false;
        }
    } watch;
    watch.shown = &shown;
    watch.dialogs = &dialogs;
    qApp->installEventFilter(&watch);

    std::thread driver([&] {
        for (int i = 0; i < count; ++i) {
            sim.Command("prompt ready");
            const auto deadline = Clock::now() + std::chrono::seconds(20);
            while (dialogs.load() <= i && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        QMetaObject::invokeMethod(
            qApp, [] { QApplication::exit(0); }, Qt::QueuedConnection);
    });
    QApplication::exec();
    driver.join();
    qApp->removeEventFilter(&watch);

    const std::vector<Clock::time_point> prompts = sim.Times("PROMPT");
    std::vector<double> ms;
    for (size_t i = 0; i < shown.size() && i < prompts.size(); ++i) {
        ms.push_back(std::chrono::duration<double, std::milli>(shown[i] - prompts[i]).count());
        std::printf("run %2zu: prompt's last byte to dialog shown %.1f ms\n", i + 1, ms.back());
    }
    if (ms.empty()) {
        std::fprintf(stderr, "no dialog was shown\n");
        return 1;
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    std::printf("latency over %zu prompts: first %.1f ms, median %.1f ms, max %.1f ms\n", ms.size(),
                ms.front(), sorted[sorted.size() / 2], sorted.back());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    korv::test::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication qapp(argc, argv);
    QStandardPaths::setTestModeEnabled(true);
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](const char* name, const std::string& fallback) {
        for (size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == name) {
                return args[i + 1];
            }
        }
        return fallback;
    };
    if (!args.empty() && args[0] == "stream") {
        return Stream(std::stoi(value("--seconds", "30")), value("--mode", "immediate"));
    }
    if (!args.empty() && args[0] == "latency") {
        return Latency(std::stoi(value("--count", "20")));
    }
    std::fprintf(stderr,
                 "usage: korv_gui_bench stream [--seconds N] [--mode immediate|deferred|null]\n"
                 "       korv_gui_bench latency [--count N]\n");
    return 2;
}
