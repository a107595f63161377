// The demo's simulated tester: the simulator program on a pseudo-terminal, started as a child
// process whose first line of output names the pty.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/DemoTester.h"

namespace korv {

namespace {

constexpr char kSimName[] = "korvalin-tester-sim";
constexpr char kSampleName[] = "sample-update.txt";
// The simulator prints its pty path at once; a machine under load may take a while to start it.
constexpr std::chrono::seconds kStartLimit{20};
// How long a stopped simulator gets to leave on its own before it is killed.
constexpr std::chrono::seconds kStopLimit{3};

bool IsExecutable(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ExeDir() {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    std::string path(buf, static_cast<size_t>(n));
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The simulator installed next to this program first (a program run from its build tree has
// none beside it), then the one built with it, then one in its build tree, then one on PATH. An
// installed program must not pick up a build tree that happens to be still there.
std::string FindSimulator() {
    const std::string dir = ExeDir();
    if (!dir.empty() && IsExecutable(dir + "/" + kSimName)) {
        return dir + "/" + kSimName;
    }
#ifdef KORV_TESTER_SIM_PATH
    if (IsExecutable(KORV_TESTER_SIM_PATH)) {
        return KORV_TESTER_SIM_PATH;
    }
#endif
    if (!dir.empty()) {
        for (const std::string& candidate : {dir + "/../../tools/tester-sim/" + kSimName,
                                             dir + "/../tools/tester-sim/" + kSimName}) {
            if (IsExecutable(candidate)) {
                return candidate;
            }
        }
    }
    const char* path = std::getenv("PATH");
    std::string rest = path != nullptr ? path : "";
    while (!rest.empty()) {
        const auto colon = rest.find(':');
        const std::string entry = rest.substr(0, colon);
        rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1);
        if (!entry.empty() && IsExecutable(entry + "/" + kSimName)) {
            return entry + "/" + kSimName;
        }
    }
    return {};
}

// The installed sample (PREFIX/share/korvalin beside PREFIX/bin) or one next to the program
// first, for the same reason, then the source tree's.
std::string FindSample() {
    const std::string dir = ExeDir();
    for (const std::string& candidate :
         {dir + "/../share/korvalin/" + kSampleName, dir + "/" + kSampleName}) {
        if (!dir.empty() && IsFile(candidate)) {
            // The operator sees this name: /usr/share/..., not /usr/bin/../share/...
            return std::filesystem::path(candidate).lexically_normal().string();
        }
    }
#ifdef KORV_SOURCE_DIR
    if (IsFile(std::string(KORV_SOURCE_DIR) + "/res/" + kSampleName)) {
        return std::string(KORV_SOURCE_DIR) + "/res/" + kSampleName;
    }
#endif
    return {};
}

class CSimTester : public DemoTester {
  public:
    CSimTester(pid_t pid, int outFd, std::string port, std::string sample)
        : m_pid(pid), m_outFd(outFd), m_port(std::move(port)), m_sample(std::move(sample)) {}

    ~CSimTester() override { Stop(m_pid, m_outFd); }

    const std::string& PortPath() const override { return m_port; }
    std::string SampleFile() const override { return m_sample; }

    // Ends the child, politely first, and reaps it.
    static void Stop(pid_t pid, int outFd) {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            const auto deadline = std::chrono::steady_clock::now() + kStopLimit;
            const int pidFd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
            bool reaped = false;
            while (!reaped) {
                int status = 0;
                const pid_t got = ::waitpid(pid, &status, WNOHANG);
                if (got == pid || (got < 0 && errno != EINTR)) {
                    reaped = true;
                    break;
                }
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0 || pidFd < 0) {
                    ::kill(pid, SIGKILL);
                    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
                    }
                    reaped = true;
                    break;
                }
                pollfd fd{pidFd, POLLIN, 0};
                ::poll(&fd, 1, static_cast<int>(left.count()));
            }
            if (pidFd >= 0) {
                ::close(pidFd);
            }
        }
        if (outFd >= 0) {
            ::close(outFd);
        }
    }

  private:
    pid_t m_pid;
    int m_outFd;
    std::string m_port;
    std::string m_sample;
};

// The first line the child writes, within the start limit.
bool ReadFirstLine(int fd, std::string& line, std::string* error) {
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    std::string buf;
    for (;;) {
        const auto nl = buf.find('\n');
        if (nl != std::string::npos) {
            line = buf.substr(0, nl);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            *error = "the simulated tester did not name its port in time";
            return false;
        }
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            *error = std::string("poll: ") + std::strerror(errno);
            return false;
        }
        // One byte at a time: the simulator's later event lines are not ours to take here.
        char c;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 0) {
            *error = "the simulated tester ended before naming its port";
            return false;
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            *error = std::string("read: ") + std::strerror(errno);
            return false;
        }
        buf += c;
    }
}

}  // namespace

std::unique_ptr<DemoTester> DemoTester::Start(std::string* error) {
    std::string ignored;
    if (error == nullptr) {
        error = &ignored;
    }
    const std::string sim = FindSimulator();
    if (sim.empty()) {
        *error = std::string(kSimName) + " was not found (build it with the program)";
        return nullptr;
    }
    const std::string sample = FindSample();
    struct stat st {};
    if (sample.empty() || ::stat(sample.c_str(), &st) != 0) {
        *error = std::string("the sample update file ") + kSampleName + " was not found";
        return nullptr;
    }

    // The update ends when the whole sample has arrived, so the tester's verdict follows the
    // last byte at once instead of after a silence; afterwards the tester stays on the line
    // until it is stopped, rather than hanging up under the program that is showing it.
    std::vector<std::string> args = {
        sim,           "--prompt", "ready",
        "--rate",      "5760",     "--repeat",
        "1",           "--expect", std::to_string(static_cast<uint64_t>(st.st_size)),
        "--linger-ms", "3600000"};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        *error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls from here to exec: the parent may have threads.
        // Its own process group keeps the terminal's Ctrl-C for the program, which stops the
        // tester in order; the death signal stops it should the program die without that.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        // The simulator reads commands on stdin; the operator's keyboard is not for it.
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, STDIN_FILENO) < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        *error = std::string("fork: ") + std::strerror(forkError);
        return nullptr;
    }
    std::string port;
    if (!ReadFirstLine(fds[0], port, error) || port.empty() || port.front() != '/') {
        if (error->empty()) {
            *error = "the simulated tester named no port";
        }
        CSimTester::Stop(pid, fds[0]);
        return nullptr;
    }
    return std::make_unique<CSimTester>(pid, fds[0], port, sample);
}

}  // namespace korv
