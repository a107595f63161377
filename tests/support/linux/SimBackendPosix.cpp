// The simulated tester on Linux: a child process whose pty is opened by its path.

#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "Child.h"
#include "CpuTime.h"
#include "SimLine.h"

namespace korv::test {
namespace {

class PosixSim final : public SimBackend {
  public:
    ~PosixSim() override {
        m_child.reset();
        if (!m_dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_dir, ec);
        }
    }

    bool Start(const std::vector<std::string>& options, std::string* problem) {
        // A simulator that has already ended must not take the test down with it.
        ::signal(SIGPIPE, SIG_IGN);
        std::string tmpl = (std::filesystem::temp_directory_path() / "korv-sim-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) {
            *problem = "no working folder under " + std::filesystem::temp_directory_path().string();
            return false;
        }
        m_dir = tmpl;
        LaunchPlan plan;
        // The simulator built with the tests, unless KORV_TESTER_SIM names another copy (as in
        // the run from a copy of the build as an unprivileged user).
        const char* sim = std::getenv("KORV_TESTER_SIM");
        plan.argv = {sim != nullptr && *sim != '\0' ? sim : KORV_TESTER_SIM};
        for (const std::string& o : options) {
            plan.argv.push_back(ExpandDir(o, m_dir));
        }
        plan.stdinPipe = true;
        plan.stdoutPipe = true;
        plan.stderrFile = "";
        m_child = std::make_unique<Child>(plan);
        if (!m_child->Started()) {
            *problem = "cannot start " + plan.argv.front();
            return false;
        }
        return true;
    }

    const std::string& Port() const override { return pty; }

    std::optional<std::string> NextLine(std::chrono::steady_clock::time_point deadline) override {
        return m_child->ReadLine(deadline);
    }

    void Send(const std::string& line) override { m_child->Send(line + "\n"); }

    std::string ReadBack(const std::string& name) const override {
        std::ifstream in(m_dir + "/" + name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    std::unique_ptr<Child> m_child;
    std::string m_dir;
};

}  // namespace

std::unique_ptr<SimBackend> StartSimBackend(const std::vector<std::string>& options,
                                            const std::string& winePort, std::string* problem) {
    static_cast<void>(winePort);  // every simulator has a pty of its own
    auto sim = std::make_unique<PosixSim>();
    if (!sim->Start(options, problem)) {
        return nullptr;
    }
    return sim;
}

bool SecondOpenerRefused() {
    return true;
}

double ProcessCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace korv::test
