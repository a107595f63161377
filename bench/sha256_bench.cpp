// The sender hashes every 512-byte chunk it writes: the hash against a plain copy of the same
// chunk as the same-run baseline, and against the line's own pace (a chunk is 89 ms at 5,760 B/s).

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "hash/Sha256.h"

namespace korv {
namespace {

std::array<uint8_t, 512> Chunk() {
    std::array<uint8_t, 512> chunk{};
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = static_cast<uint8_t>('A' + i % 26);
    }
    return chunk;
}

void BM_CopyChunk(benchmark::State& state) {
    const auto chunk = Chunk();
    std::array<uint8_t, 512> out{};
    for (auto _ : state) {
        std::memcpy(out.data(), chunk.data(), chunk.size());
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}
BENCHMARK(BM_CopyChunk);

void BM_HashChunk(benchmark::State& state) {
    const auto chunk = Chunk();
    CSha256 hash;
    for (auto _ : state) {
        hash.Update(chunk.data(), chunk.size());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(hash.Final());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 512);
}
BENCHMARK(BM_HashChunk);

}  // namespace
}  // namespace korv

BENCHMARK_MAIN();
