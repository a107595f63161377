// Hundreds of transfers back to back through the simulated tester, with aborts, reopens, port
// switches and prompts in the middle of a transfer. Every completed transfer must arrive byte-exact
// and the process must not grow in descriptors, threads or memory.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "Child.h"
#include "Fakes.h"
#include "TempDir.h"
#include "ports/PortList.h"
#include "view/ProgView.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using test::FakeHost;
using test::FakeProfile;
using test::FakeSink;
using test::TempDir;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kDefaultIterations = 80;
#else
constexpr int kDefaultIterations = 250;
#endif

size_t CountEntries(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) {
        ++n;
    }
    return n;
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

struct Tester {
    std::string save;
    std::unique_ptr<test::Sim> child;
};

class SoakTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ports.AddPort("COM1");
        for (int i = 0; i < 2; ++i) {
            sims[i].save = dir.path() + "/received" + std::to_string(i);
            sims[i].child = std::make_unique<test::Sim>(std::vector<std::string>{
                "--prompt", "none", "--rate", "0", "--repeat", "0", "--end-silence-ms", "60",
                "--between-ms", "0", "--save", sims[i].save});
            ASSERT_TRUE(sims[i].child->ok());
        }
    }
    template <typename Pred>
    bool Pump(CProgView& v, Pred pred) {
        return sink.PumpUntil(v, pred, 60s);
    }

    TempDir dir;
    Tester sims[2];
    FakeHost host;
    FakeSink sink;
    FakeProfile profile;
    CProgDoc doc;
    CPortList ports;
};

TEST_F(SoakTest, TransfersAbortsReopensAndSwitchesLoseNothing) {
    const char* env = std::getenv("KORV_SOAK_ITERATIONS");
    const int iterations = env != nullptr ? std::atoi(env) : kDefaultIterations;
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);

    CProgView::Timing timing;
    timing.alivePoll = 5ms;
    timing.abortSettle = 1ms;
    timing.readerPause = 10ms;
    CProgView v(host, sink, profile, doc, &MakeTermiosPort, "", timing);
    int active = 0;
    v.SetPortOverride(sims[active].child->Port());
    v.OnInitialUpdate(ports);
    ASSERT_EQ(v.State(), STATE_READY);

    int completed = 0, aborts = 0, reopens = 0, switches = 0, midPrompts = 0;
    size_t fdsAfterWarmUp = 0, threadsAfterWarmUp = 0;
    long rssAfterWarmUp = 0;
    for (int i = 0; i < iterations; ++i) {
        SCOPED_TRACE("iteration " + std::to_string(i));
        test::Sim& sim = *sims[active].child;
        // The recording fakes keep everything; only the program's own memory is measured.
        host.echo.text.clear();
        host.dialogs.clear();
        host.window.calls.clear();
        host.window.rects.clear();
        if (i == iterations / 5) {
            fdsAfterWarmUp = CountEntries("/proc/self/fd");
            threadsAfterWarmUp = CountEntries("/proc/self/task");
            rssAfterWarmUp = RssKiB();
        }
        const int action = std::uniform_int_distribution<int>(0, 9)(rng);
        const size_t size = std::uniform_int_distribution<size_t>(2, 60000)(rng);
        const std::string content = test::UpdateBytes(size);
        const std::string file = dir.Write("u" + std::to_string(i % 4) + ".txt", content);
        const std::string& expected = content;
        if (action == 0) {
            v.OpenPort();
            v.UpdateData(false);
            ASSERT_EQ(v.State(), STATE_READY);
            ++reopens;
            continue;
        }
        if (action == 1) {
            active = 1 - active;
            host.ComboResetContent();
            host.ComboAddString(sims[active].child->Port());
            host.ComboSetCurSel(0);
            v.OnSelchangeCommPort();
            ASSERT_EQ(v.State(), STATE_READY);
            ++switches;
            continue;
        }
        const bool abort = action == 2 || action == 3;
        const bool midPrompt = action == 4;
        if (abort || midPrompt) {
            sim.Command("xoff");
        }
        host.answers = {file};
        sim.Command("prompt ready");
        ASSERT_TRUE(Pump(v, [&] { return v.State() == STATE_SENDING || !host.answers.size(); }));
        ASSERT_TRUE(Pump(v, [&] {
            return v.State() == STATE_SENDING || (!abort && !midPrompt && v.SendCompleted());
        }));
        if (abort) {
            v.OnMiscButton();
            ASSERT_EQ(v.State(), STATE_SEND_ENDED);
            ASSERT_FALSE(v.SendCompleted());
            sim.Command("xon");
            // Nothing of the aborted file may reach the tester: the next transfer's exact size
            // check would see any stray byte.
            ++aborts;
            continue;
        }
        if (midPrompt) {
            // The tester prompts again while the first transfer is held: it is stopped and
            // the new file goes instead.
            const std::string second = test::UpdateBytes(size / 2 + 2);
            host.answers = {dir.Write("mid.txt", second)};
            const size_t dialogs = host.dialogs.size();
            sim.Command("prompt ready");
            ASSERT_TRUE(Pump(v, [&] { return host.dialogs.size() > dialogs; }));
            ASSERT_EQ(v.State(), STATE_SENDING);
            sim.Command("xon");
            ASSERT_TRUE(Pump(v, [&] { return v.State() == STATE_SEND_ENDED; }));
            ASSERT_TRUE(v.SendCompleted());
            const std::string line = sim.WaitEvent("RECEIVED", 30s).value_or("");
            ASSERT_FALSE(line.empty());
            ASSERT_TRUE(test::ReadWholeFile(sims[active].save) == second) << line;
            ++midPrompts;
            ++completed;
            continue;
        }
        ASSERT_TRUE(Pump(v, [&] { return v.State() == STATE_SEND_ENDED; }));
        ASSERT_TRUE(v.SendCompleted()) << v.LastSendError();
        const std::string line = sim.WaitEvent("RECEIVED", 30s).value_or("");
        ASSERT_EQ(line.rfind("RECEIVED " + std::to_string(size) + " bytes", 0), 0u) << line;
        ASSERT_TRUE(test::ReadWholeFile(sims[active].save) == expected);
        ++completed;

        ASSERT_FALSE(v.WriterAlive());
        ASSERT_TRUE(v.ReaderAlive());
        ASSERT_TRUE(doc.CanCloseFrame());
    }
    EXPECT_TRUE(host.boxes.empty()) << host.boxes.front();
    const size_t fds = CountEntries("/proc/self/fd");
    const size_t threads = CountEntries("/proc/self/task");
    const long rss = RssKiB();
    std::printf(
        "soak: %d iterations, %d completed, %d aborts, %d reopens, %d switches, "
        "%d prompts mid-transfer; fds %zu -> %zu, threads %zu -> %zu, RSS %ld -> %ld KiB\n",
        iterations, completed, aborts, reopens, switches, midPrompts, fdsAfterWarmUp, fds,
        threadsAfterWarmUp, threads, rssAfterWarmUp, rss);
    EXPECT_EQ(fds, fdsAfterWarmUp);
    EXPECT_EQ(threads, threadsAfterWarmUp);
#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
    // Sanitizer builds hold freed memory back on purpose (quarantine, shadow memory); their leak
    // checkers watch memory there instead.
    EXPECT_LT(rss - rssAfterWarmUp, 2048);
#endif
    EXPECT_GT(completed, iterations / 3);
}

}  // namespace
}  // namespace korv
