// The console scenario table (support/Scenarios.h) run by the Linux program: for one port, and
// for a batch of two testers.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Scenarios.h"
#include "console/BatchTable.h"

namespace korv {
namespace {

using test::Scenario;

class Scenarios : public ::testing::TestWithParam<Scenario> {
  protected:
    void Run(bool batch) {
        ::mkdir((m_dir / "sysfs").c_str(), 0755);
        ::mkdir((m_dir / "config").c_str(), 0755);
        test::ScenarioSystem system;
        char host[256] = {};
        ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
        system.hostName = host;
        system.port = [](size_t, std::vector<std::string>&) { return std::string(); };
        system.command = [this](const std::vector<std::string>& args) {
            // The environment of a machine with no serial devices and no remembered port.
            std::vector<std::string> argv = {
                "/usr/bin/env",         "XDG_CONFIG_HOME=" + (m_dir / "config"),
                "HOME=" + m_dir.path(), "KORV_SYSFS_TTY=" + (m_dir / "sysfs"),
                KORVALIN_BIN,           "--console"};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        };
        system.fileArg = [](const std::string& path) { return path; };
        system.logPath = [](const std::string& dir, const std::string& port) {
            return dir + "/" + LogFileName(port);
        };
        test::RunScenario(GetParam(), batch, system, m_dir);
    }
    test::TempDir m_dir;
};

class OnePortScenario : public Scenarios {};
class BatchScenario : public Scenarios {};

TEST_P(OnePortScenario, Runs) {
    Run(false);
}

TEST_P(BatchScenario, Runs) {
    Run(true);
}

INSTANTIATE_TEST_SUITE_P(Linux, OnePortScenario,
                         ::testing::ValuesIn(test::ScenarioRows(test::kOnePort | test::kLinux)),
                         test::ScenarioName);
INSTANTIATE_TEST_SUITE_P(Linux, BatchScenario,
                         ::testing::ValuesIn(test::ScenarioRows(test::kBatch | test::kLinux)),
                         test::ScenarioName);

}  // namespace
}  // namespace korv
