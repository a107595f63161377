// The simulated tester on Linux: a child process whose pty is opened by its path.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CpuTime.h"
#include "SimLine.h"

extern char** environ;

namespace korv::test {
namespace {

class PosixSim final : public SimBackend {
  public:
    ~PosixSim() override {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        for (int fd : {m_in, m_out}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
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
            *problem = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        m_dir = tmpl;
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0) {
            *problem = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        m_in = in[1];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            ::close(in[0]);
            *problem = std::string("pipe: ") + std::strerror(errno);
            return false;
        }
        m_out = out[0];
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<std::string> args{KORV_TESTER_SIM};
        for (const std::string& o : options) {
            args.push_back(ExpandDir(o, m_dir));
        }
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        if (rc != 0) {
            m_pid = -1;
            *problem = std::string(KORV_TESTER_SIM) + ": " + std::strerror(rc);
            return false;
        }
        return true;
    }

    const std::string& Port() const override { return pty; }

    std::optional<std::string> NextLine(std::chrono::steady_clock::time_point deadline) override {
        for (;;) {
            const auto nl = m_buffer.find('\n');
            if (nl != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd p{m_out, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char buf[4096];
            const ssize_t n = ::read(m_out, buf, sizeof buf);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return std::nullopt;
            }
            m_buffer.append(buf, static_cast<size_t>(n));
        }
    }

    void Send(const std::string& line) override {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t n = ::write(m_in, text.data(), text.size());
    }

    std::string SimPath(const std::string& name) const { return m_dir + "/" + name; }
    std::string ReadBack(const std::string& name) const override {
        std::ifstream in(SimPath(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_dir;
    std::string m_buffer;
};

}  // namespace

std::unique_ptr<SimBackend> StartSimBackend(const std::vector<std::string>& options,
                                            std::string* problem) {
    auto sim = std::make_unique<PosixSim>();
    if (!sim->Start(options, problem)) {
        return nullptr;
    }
    return sim;
}

}  // namespace korv::test

namespace korv::test {

bool SecondOpenerRefused() {
    return true;
}

double ProcessCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

}  // namespace korv::test
