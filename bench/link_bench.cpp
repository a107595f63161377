// Whole-transfer figures on a real pseudo-terminal: the sender against `cat` of the same file into
// the same kind of line (the same-run baseline), CPU time per MiB sent, and the process's CPU share
// while a hung-up port stays open.

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "Fakes.h"
#include "Pty.h"
#include "TempDir.h"
#include "ports/PortList.h"
#include "view/ProgView.h"

extern char** environ;

namespace korv {
namespace {

using namespace std::chrono_literals;

constexpr size_t kFileSize = size_t{64} << 20;

const std::string& UpdateFile() {
    static test::TempDir dir;
    static const std::string path = [] {
        const std::string p = dir.path() + "/update-64m.txt";
        std::ofstream out(p, std::ios::binary);
        std::string block = test::UpdateBytes(1 << 16);
        for (size_t done = 0; done < kFileSize; done += block.size()) {
            out << block;
            block[0] = 'x';  // only the very first block carries the header
            block[1] = 'y';
        }
        return p;
    }();
    return path;
}

// Reads the tester's end until n bytes have arrived; returns the count.
size_t DrainMaster(int master, size_t n) {
    std::vector<char> buf(1 << 16);
    size_t got = 0;
    while (got < n) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            break;
        }
        const ssize_t r = ::read(master, buf.data(), buf.size());
        if (r > 0) {
            got += static_cast<size_t>(r);
        } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return got;
}

double ProcessCpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void BM_CatIntoPty(benchmark::State& state) {
    const std::string& file = UpdateFile();
    for (auto _ : state) {
        test::Pty pty;
        const int slave = ::open(pty.path().c_str(), O_WRONLY | O_NOCTTY);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, slave, STDOUT_FILENO);
        const char* argv[] = {"cat", file.c_str(), nullptr};
        pid_t pid = 0;
        const auto start = std::chrono::steady_clock::now();
        ::posix_spawnp(&pid, "cat", &actions, nullptr, const_cast<char**>(argv), environ);
        ::close(slave);
        const size_t got = DrainMaster(pty.master(), kFileSize);
        int status = 0;
        ::waitpid(pid, &status, 0);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        posix_spawn_file_actions_destroy(&actions);
        if (got != kFileSize) {
            state.SkipWithError("cat did not deliver the whole file");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void BM_SenderIntoPty(benchmark::State& state) {
    const std::string& file = UpdateFile();
    test::ViewRig rig;
    double cpu = 0;
    for (auto _ : state) {
        test::Pty pty;
        std::unique_ptr<CProgView> opened = rig.Open(pty.path());
        CProgView& view = *opened;
        rig.host.answers = {file};
        const double cpu0 = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        view.OnSendUpdateFile();
        const size_t got = DrainMaster(pty.master(), kFileSize);
        rig.sink.PumpUntil(
            view, [&] { return view.State() != STATE_SENDING; }, 60s);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu += ProcessCpuSeconds() - cpu0;
        if (got != kFileSize || !view.SendCompleted()) {
            state.SkipWithError("the sender did not deliver the whole file");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
    state.counters["cpu_ms_per_MiB"] =
        cpu * 1000.0 / (static_cast<double>(state.iterations()) * (kFileSize >> 20));
}

void BM_HungUpPortCpuShare(benchmark::State& state) {
    test::ViewRig rig;
    double share = 0;
    for (auto _ : state) {
        test::Pty pty;
        std::unique_ptr<CProgView> opened = rig.Open(pty.path());
        CProgView& view = *opened;
        pty.HangUp();
        const double cpu0 = ProcessCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(5s);  // the measurement window, not a synchronisation
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        share += (ProcessCpuSeconds() - cpu0) / wall;
        state.SetIterationTime(wall);
        view.ClosePort();
    }
    state.counters["cpu_share_percent"] = 100.0 * share / static_cast<double>(state.iterations());
}

}  // namespace
}  // namespace korv

BENCHMARK(korv::BM_CatIntoPty)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(korv::BM_SenderIntoPty)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(korv::BM_HungUpPortCpuShare)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
