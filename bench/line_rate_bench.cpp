// The sender at the real line rate: the simulated tester consumes 5,760 bytes/s (57600 baud 8N1)
// and throttles the program with XOFF/XON from a small buffer. The figure is the achieved rate as
// a fraction of the line rate; gaps between chunks would pull it below 1.

#include <benchmark/benchmark.h>

#include <chrono>

#include "Child.h"
#include "Fakes.h"
#include "TempDir.h"
#include "ports/PortList.h"
#include "view/ProgView.h"

namespace korv {
namespace {

using namespace std::chrono_literals;

constexpr double kLineRate = 5760.0;

void BM_SendAtLineRate(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    test::TempDir dir;
    const std::string file = dir.Write("update.txt", test::UpdateBytes(size));
    test::ViewRig rig;
    double ratio = 0;
    for (auto _ : state) {
        test::Sim sim({"--prompt", "none", "--rate", "5760", "--expect", std::to_string(size)});
        std::unique_ptr<CProgView> opened = rig.Open(sim.Port());
        CProgView& view = *opened;
        sim.WaitEvent("BANNER", 10s);
        rig.host.answers = {file};
        const auto start = std::chrono::steady_clock::now();
        view.OnSendUpdateFile();
        const std::string line = sim.WaitEvent("RECEIVED", 600s).value_or("");
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        rig.sink.PumpUntil(
            view, [&] { return view.State() != STATE_SENDING; }, 60s);
        if (line.rfind("RECEIVED " + std::to_string(size) + " bytes", 0) != 0) {
            state.SkipWithError("the tester did not receive the whole file");
        }
        ratio += static_cast<double>(size) / seconds / kLineRate;
    }
    state.counters["rate_over_line_rate"] = ratio / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

}  // namespace
}  // namespace korv

// 20 s of line time: the tester's 1 KiB buffer head start is under 1% of it.
BENCHMARK(korv::BM_SendAtLineRate)
    ->Arg(5760 * 20)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_MAIN();
