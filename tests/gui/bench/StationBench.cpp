// Measurements of the station window with many simulated testers sending at once (not a test;
// bench/station-window.sh runs it and docs/PERFORMANCE.md has the figures).
//
//   korv_station_bench --testers N [--size BYTES] [--seconds S]
//       N simulated testers at line rate (5,760 B/s, XON/XOFF from a 1 KiB buffer), one station
//       window sending them the same file; the selected row's terminal is on screen. While every
//       port sends, it measures this process's CPU (the whole program: window, sessions, their
//       readers and senders; /proc/self/stat) and how long a click waits: a second thread posts
//       an event to the window 20 times a second, and its handler clicks a row of the table (the
//       selection moves, the pane shows that port's screen); the figure is from the post to the
//       end of the click's handling. At the end: testers whose bytes equal the file.
//   Prints one line of key=value figures.
//
//   korv_station_bench --screenshot FILE.png
//       Four testers, the third of which rejects the update and the fourth of which takes it
//       slowly; saves the window once the first three have answered, with the rejecting port's
//       terminal shown (scripts/screenshot-station runs it on a private X server).

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Child.h"
#include "TempDir.h"
#include "Texts.h"
#include "app/StationWindow.h"
#include "gui/GuiTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// This process's user + system CPU seconds, from /proc/self/stat (fields 14 and 15, in ticks).
double CpuSeconds() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// A click's stand-in, posted from another thread with the time it was posted.
class ProbeEvent : public QEvent {
  public:
    static const QEvent::Type kType;
    explicit ProbeEvent(Clock::time_point posted) : QEvent(kType), posted(posted) {}
    Clock::time_point posted;
};
const QEvent::Type ProbeEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

class Prober : public QObject {
  public:
    explicit Prober(QTableView* table) : m_table(table) {}
    bool event(QEvent* e) override {
        if (e->type() != ProbeEvent::kType) {
            return QObject::event(e);
        }
        const auto posted = static_cast<ProbeEvent*>(e)->posted;
        if (m_measuring) {
            // The operator clicks another row: selection, the pane switches screens.
            const int rows = m_table->model()->rowCount();
            const QModelIndex index = m_table->model()->index(m_next++ % rows, 0);
            QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {},
                              m_table->visualRect(index).center());
            m_waits.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
        }
        return true;
    }
    void Measure(bool on) { m_measuring = on; }
    std::vector<double>& Waits() { return m_waits; }

  private:
    QTableView* m_table;
    bool m_measuring = false;
    int m_next = 0;
    std::vector<double> m_waits;
};

// Runs the event loop until pred holds (checked every 100 ms) or limitMs have passed: the GUI
// thread sleeps in its own wait as in the program, where QTest::qWaitFor would poll.
bool RunUntil(const std::function<bool()>& pred, int limitMs) {
    if (pred()) {
        return true;
    }
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (pred()) {
            loop.quit();
        }
    });
    check.start(100);
    QTimer::singleShot(limitMs, &loop, [&] { loop.quit(); });
    loop.exec();
    return pred();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

int Fail(const char* what) {
    std::fprintf(stderr, "korv_station_bench: %s\n", what);
    return 1;
}

int Screenshot(const std::string& png) {
    korv::test::TempDir dir;
    korv::test::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    const std::string file = dir.Write("update-4.2.txt", korv::test::UpdateText(23040));
    const std::vector<std::vector<std::string>> options = {
        {"--serial", "KT-0417"},
        {"--serial", "KT-0418"},
        {"--serial", "KT-0420", "--verdict", "reject"},
        {"--serial", "KT-0423", "--rate", "1200"}};
    std::vector<std::unique_ptr<korv::test::Sim>> sims;
    for (const auto& o : options) {
        sims.push_back(std::make_unique<korv::test::Sim>(o));
        if (!sims.back()->ok()) {
            return Fail("cannot start a simulated tester");
        }
    }
    korv::StationWindowOptions windowOptions;
    windowOptions.setup.version = "bench";
    windowOptions.setup.defaultLogDir = dir / "logs";
    windowOptions.setup.describePort = [](const std::string&) {
        return std::string("pseudo-terminal");
    };
    korv::CStationWindow window(std::move(windowOptions));
    std::string message;
    const char* labels[] = {"Bay 1", "Bay 2", "Bay 3", "Bay 4"};
    for (size_t i = 0; i < sims.size(); ++i) {
        if (!window.Model().AddPort(sims[i]->Port(), labels[i], &message)) {
            return Fail(message.c_str());
        }
    }
    korv::StationConfig settings = window.Model().Config();
    settings.file = file;
    settings.expect = "Update received";
    settings.reject = "Update rejected";
    settings.unitId = "^Serial number: (\\S+)$";
    settings.repeat = false;
    if (!window.Model().SetSettings(settings, &message)) {
        return Fail(message.c_str());
    }
    window.resize(1240, 760);
    window.show();
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    const auto& rows = window.Model().Rows();
    if (!RunUntil(
            [&] {
                return rows.size() == 4 && rows[0].accepted == 1 && rows[1].accepted == 1 &&
                       rows[2].failed == 1 && rows[3].sending;
            },
            60000)) {
        return Fail("the testers did not reach the pictured states");
    }
    window.Table()->selectRow(2);
    (void)RunUntil([] { return false; }, 600);
    const bool saved = window.grab().save(QString::fromStdString(png));
    window.Model().Stop();
    return saved ? 0 : Fail("cannot save the screenshot");
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int testers = 32;
    size_t size = 57600;  // 10 s on the line
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--testers") {
            testers = std::atoi(argv[i + 1]);
        } else if (arg == "--size") {
            size = static_cast<size_t>(std::atoll(argv[i + 1]));
        } else if (arg == "--screenshot") {
            return Screenshot(argv[i + 1]);
        }
    }
    korv::test::TempDir dir;
    korv::test::TempDir config;
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.path()));
    const std::string file = dir.Write("update.txt", korv::test::UpdateText(size));

    std::vector<std::unique_ptr<korv::test::Sim>> sims;
    for (int i = 0; i < testers; ++i) {
        sims.push_back(std::make_unique<korv::test::Sim>(std::vector<std::string>{
            "--save", dir / ("got" + std::to_string(i)), "--linger-ms", "3000"}));
        if (!sims.back()->ok()) {
            return Fail("cannot start a simulated tester");
        }
    }

    korv::StationWindowOptions options;
    options.setup.version = "bench";
    options.setup.defaultLogDir = dir / "logs";
    korv::CStationWindow window(std::move(options));
    korv::StationConfig settings = window.Model().Config();
    settings.file = file;
    settings.expect = "Update received";
    settings.repeat = false;
    std::string message;
    for (int i = 0; i < testers; ++i) {
        if (!window.Model().AddPort(sims[static_cast<size_t>(i)]->Port(),
                                    "Bay " + std::to_string(i + 1), &message)) {
            return Fail(message.c_str());
        }
    }
    if (!window.Model().SetSettings(settings, &message)) {
        return Fail(message.c_str());
    }
    window.resize(1280, 900);
    window.show();
    window.Table()->selectRow(0);
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    if (!window.Model().Running()) {
        return Fail("the station did not start");
    }

    Prober prober(window.Table());
    std::atomic<bool> stop{false};
    std::atomic<bool> probing{false};
    std::thread poster([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            if (probing.load(std::memory_order_relaxed)) {
                QCoreApplication::postEvent(&prober, new ProbeEvent(Clock::now()));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    auto allSending = [&] {
        const auto& rows = window.Model().Rows();
        return std::all_of(rows.begin(), rows.end(), [](const auto& r) { return r.sending; });
    };
    auto anyDone = [&] {
        const auto& rows = window.Model().Rows();
        return std::any_of(rows.begin(), rows.end(), [](const auto& r) { return !r.sending; });
    };
    const int lineMs = static_cast<int>(size * 1000 / 5760);
    if (!RunUntil(allSending, 60000)) {
        stop = true;
        poster.join();
        return Fail("not every port started sending");
    }
    // The first second of a transfer has the opens and prompts behind it; the steady state
    // follows. Its first half measures the CPU alone, the second half the clicks (whose own
    // handling would count as the program's CPU).
    (void)RunUntil([] { return false; }, 1000);
    const auto half = std::chrono::milliseconds(std::max(lineMs / 2 - 1500, 1000));
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    (void)RunUntil([&] { return anyDone() || Clock::now() - t0 >= half; }, lineMs + 60000);
    const double cpu1 = CpuSeconds();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const bool steady = !anyDone();
    prober.Measure(true);
    probing = true;
    (void)RunUntil(anyDone, lineMs + 60000);
    probing = false;
    prober.Measure(false);
    stop = true;
    poster.join();

    const bool ended = RunUntil([&] { return !window.Model().Running(); }, 120000);
    int exact = 0;
    int accepted = 0;
    for (int i = 0; i < testers; ++i) {
        if (korv::test::ReadWholeFile(dir / ("got" + std::to_string(i))) ==
            korv::test::ReadWholeFile(file)) {
            ++exact;
        }
        accepted += window.Model().Row(static_cast<size_t>(i)).accepted;
    }
    const auto& waits = prober.Waits();
    std::printf(
        "testers=%d size=%zu exact=%d accepted=%d ended=%d steady=%d measured_s=%.1f cpu_s=%.3f "
        "cpu_pct=%.2f clicks=%zu click_p50_ms=%.2f click_p99_ms=%.2f click_max_ms=%.2f\n",
        testers, size, exact, accepted, ended ? 1 : 0, steady ? 1 : 0, wall, cpu1 - cpu0,
        100.0 * (cpu1 - cpu0) / wall, waits.size(), Percentile(waits, 0.5), Percentile(waits, 0.99),
        waits.empty() ? 0.0 : *std::max_element(waits.begin(), waits.end()));
    return exact == testers ? 0 : 3;
}
