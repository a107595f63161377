// Throughput of the receive drain: ring → prompt matchers → screen model, with a window that does
// nothing, against a plain copy of the same bytes as the same-run baseline.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "Fakes.h"
#include "ports/PortList.h"
#include "view/ProgView.h"

namespace korv {
namespace {

// Tester-like output: text lines with line ends, no prompt.
std::string TesterText() {
    std::string s;
    for (int i = 0; s.size() < RX_RING_SIZE; ++i) {
        s += "Block " + std::to_string(i) + " programmed, checksum OK\r\n";
    }
    return s.substr(0, RX_RING_SIZE);
}

void BM_Drain(benchmark::State& state) {
    test::FakeHost host;
    NullTermWindow window;
    host.term.AttachWindow(&window);
    host.term.SetEcho(nullptr);
    test::FakeSink sink;
    test::FakeProfile profile;
    CProgDoc doc;
    // No port opens; the ring is filled directly, as the reader would.
    test::FakePortControl control;
    control.openError = ENOENT;
    test::FakePort::control = &control;
    CProgView view(host, sink, profile, doc, &test::FakePort::Make, "");
    CPortList ports;
    ports.AddPort("COM1");
    view.OnInitialUpdate(ports);
    const std::string text = TesterText();
    uint8_t ring[RX_RING_SIZE];
    std::memcpy(ring, text.data(), RX_RING_SIZE);
    int tail = 0;
    for (auto _ : state) {
        const int head = (tail + RX_RING_SIZE - 1) % RX_RING_SIZE;
        view.SetRingForTest(head, tail, ring);
        view.ProcessReceived();
        tail = head;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (RX_RING_SIZE - 1));
    host.term.AttachWindow(nullptr);
}

void BM_RingCopyBaseline(benchmark::State& state) {
    const std::string text = TesterText();
    uint8_t ring[RX_RING_SIZE];
    char out[RX_RING_SIZE];
    std::memcpy(ring, text.data(), RX_RING_SIZE);
    for (auto _ : state) {
        // A byte loop that touches each byte once, like the drain, but does nothing with it.
        for (int i = 0; i < RX_RING_SIZE - 1; ++i) {
            out[i] = static_cast<char>(ring[i]);
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (RX_RING_SIZE - 1));
}

}  // namespace
}  // namespace korv

BENCHMARK(korv::BM_Drain);
BENCHMARK(korv::BM_RingCopyBaseline);
BENCHMARK_MAIN();
