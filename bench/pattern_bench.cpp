// The console's --expect/--reject patterns against each tester line: the pattern engine against
// std::regex (which the console used before) as the same-run baseline, on a typical verdict
// pattern and line, on a line that does not match, and on a pattern that makes a backtracking
// engine take exponential time.

#include <benchmark/benchmark.h>

#include <optional>
#include <regex>
#include <string>

#include "pattern/Pattern.h"

namespace korv {
namespace {

constexpr const char* kVerdict = "^Update received: .* header ok$";
const std::string kAccepted = "Update received: tester-4.2.txt (60000 bytes) header ok";
const std::string kOther = "Booting tester firmware 3.1, self test passed, waiting for update";

// ^(\w+\s?)+ header ok$ against "word word ... !": no match, after 2^words tries when
// backtracking.
constexpr const char* kNested = "^(\\w+\\s?)+ header ok$";
std::string NestedLine(int words) {
    std::string line;
    for (int i = 0; i < words; ++i) {
        line += "ab ";
    }
    return line + "!";
}

const std::string& Line(int which) {
    return which == 0 ? kAccepted : kOther;
}

void BM_StdRegexVerdict(benchmark::State& state) {
    const std::regex re(kVerdict, std::regex::ECMAScript);
    const std::string& line = Line(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::regex_search(line, re));
    }
}
BENCHMARK(BM_StdRegexVerdict)->Arg(0)->Arg(1);

void BM_PatternVerdict(benchmark::State& state) {
    const std::optional<CPattern> p = CPattern::Compile(kVerdict, nullptr);
    const std::string& line = Line(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(p->Search(line));
    }
}
BENCHMARK(BM_PatternVerdict)->Arg(0)->Arg(1);

void BM_StdRegexNested(benchmark::State& state) {
    const std::regex re(kNested, std::regex::ECMAScript);
    const std::string line = NestedLine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::regex_search(line, re));
    }
    state.counters["chars"] = static_cast<double>(line.size());
}
BENCHMARK(BM_StdRegexNested)->Arg(4)->Arg(8)->Arg(12)->Unit(benchmark::kMicrosecond);

void BM_PatternNested(benchmark::State& state) {
    const std::optional<CPattern> p = CPattern::Compile(kNested, nullptr);
    const std::string line = NestedLine(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(p->Search(line));
    }
    state.counters["chars"] = static_cast<double>(line.size());
}
BENCHMARK(BM_PatternNested)->Arg(4)->Arg(8)->Arg(12)->Arg(85)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace korv
BENCHMARK_MAIN();
