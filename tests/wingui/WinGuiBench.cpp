// Measurements of korvalin.exe under Wine against the simulated tester (not a test).
//
//   korv_wingui_bench stream --seconds 30
//       The tester prints a steady 5,800 bytes/s of text (a 56-character line every 10 ms) for
//       the given time, then stays silent for as long (the baseline); prints the CPU time of the
//       program's GUI thread and of the whole program in both periods.
//   korv_wingui_bench latency --count 20
//       The tester prints its prompt; prints the time from the simulator's PROMPT event to the
//       file dialog being shown, per run and as median and maximum.
//
// CPU times come from the kernel (/proc of the program's Unix process, reached through Wine's
// drive Z:), so they do not depend on what Wine reports of another process's threads.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "GuiDriver.h"
#include "SimLine.h"

namespace {

using namespace korv::test;
using Clock = std::chrono::steady_clock;

const wchar_t kFileDialogTitle[] = L"Select software update file...";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The Unix process of the Windows program: the newest process whose command line names the exe.
int UnixPidOf(const std::string& exeName) {
    int newest = -1;
    WIN32_FIND_DATAA entry;
    const HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return -1;
    }
    do {
        const int pid = std::atoi(entry.cFileName);
        if (pid <= 0) {
            continue;
        }
        std::ifstream in("Z:\\proc\\" + std::to_string(pid) + "\\cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline.find(exeName) != std::string::npos &&
            cmdline.find("wingui_bench") == std::string::npos) {
            newest = std::max(newest, pid);
        }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return newest;
}

// User plus system time in seconds from a /proc stat file (clock ticks of 1/100 s).
double StatCpu(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::atol(field.c_str());
        }
        if (i == 15) {
            break;
        }
    }
    return static_cast<double>(ticks) / 100.0;
}

struct CpuSample {
    double gui;  // the program's main thread: its message loop, every paint
    double all;  // the whole program: the reader thread, and Wine's own threads in it
};

CpuSample Sample(int pid) {
    const std::string base = "Z:\\proc\\" + std::to_string(pid);
    return {StatCpu(base + "\\task\\" + std::to_string(pid) + "\\stat"), StatCpu(base + "\\stat")};
}

struct Session {
    SimLine sim;
    GuiProgram program;
    HWND frame = nullptr;
    explicit Session(std::vector<std::string> simOptions)
        : sim(std::move(simOptions)),
          program(DosPath(KORVALIN_EXE), L"--port " + Widen(sim.Port())) {
        frame = program.WaitTop(L"KorvalinFrame", nullptr);
    }
    bool Ok() const { return sim.Ok() && program.Started() && frame != nullptr; }
};

int Stream(int seconds) {
    Session s({"--prompt", "none", "--rate", "0"});
    if (!s.Ok() || !s.sim.WaitEvent("OPENED")) {
        std::fprintf(stderr, "cannot start the program and the simulator: %s\n",
                     s.sim.Problem().c_str());
        return 1;
    }
    const int pid = UnixPidOf("korvalin.exe");
    if (pid < 0) {
        std::fprintf(stderr, "cannot find the program's process\n");
        return 1;
    }
    const std::string line = "0123456789 The quick brown fox jumps over the lazy dog 1";
    auto say = [&](int count) {
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * i));
            s.sim.Command("say " + line);
        }
    };
    say(100);  // one second to settle
    const CpuSample before = Sample(pid);
    say(seconds * 100);
    const CpuSample streamed = Sample(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const CpuSample idle = Sample(pid);

    const double guiStream = streamed.gui - before.gui;
    const double guiIdle = idle.gui - streamed.gui;
    std::printf("stream %d s at %zu bytes/s\n", seconds, (line.size() + 2) * 100);
    std::printf("  GUI thread: streaming %.3f s (%.2f %% of a core), silent %.3f s (%.2f %%)\n",
                guiStream, 100.0 * guiStream / seconds, guiIdle, 100.0 * guiIdle / seconds);
    std::printf("  process:    streaming %.3f s (%.2f %%), silent %.3f s (%.2f %%)\n",
                streamed.all - before.all, 100.0 * (streamed.all - before.all) / seconds,
                idle.all - streamed.all, 100.0 * (idle.all - streamed.all) / seconds);
    PostMessageW(s.frame, WM_CLOSE, 0, 0);
    s.program.WaitExit(std::chrono::seconds(30));
    return 0;
}

int Latency(int count) {
    Session s({"--prompt", "none", "--rate", "0"});
    if (!s.Ok() || !s.sim.WaitEvent("OPENED")) {
        std::fprintf(stderr, "cannot start the program and the simulator: %s\n",
                     s.sim.Problem().c_str());
        return 1;
    }
    std::vector<double> runs;
    for (int i = 0; i < count; ++i) {
        s.sim.Command("prompt ready");
        if (!s.sim.WaitEvent("PROMPT", std::chrono::seconds(30))) {
            std::fprintf(stderr, "no prompt from the simulator\n");
            return 1;
        }
        const auto start = Clock::now();
        HWND dialog = nullptr;
        WaitUntil([&] { return (dialog = s.program.FindTop(L"#32770", kFileDialogTitle)); });
        if (dialog == nullptr) {
            std::fprintf(stderr, "no file dialog\n");
            return 1;
        }
        runs.push_back(Ms(Clock::now() - start));
        std::printf("  %2d: %.1f ms\n", i + 1, runs.back());
        Cancel(dialog);
        WaitUntil([&] { return !IsWindow(dialog); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::vector<double> sorted = runs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("latency: first %.1f ms, median %.1f ms, max %.1f ms (%d prompts)\n", runs.front(),
                sorted[sorted.size() / 2], sorted.back(), count);
    PostMessageW(s.frame, WM_CLOSE, 0, 0);
    s.program.WaitExit(std::chrono::seconds(30));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const int n = argc > 3 ? std::atoi(argv[3]) : 0;
    if (mode == "stream" && n > 0) {
        return Stream(n);
    }
    if (mode == "latency" && n > 0) {
        return Latency(n);
    }
    std::fprintf(stderr, "usage: korv_wingui_bench stream --seconds N | latency --count N\n");
    return 2;
}
