// The console scenario table (support/Scenarios.h) run by korvalin-console.exe under Wine: one
// port on COM5, a batch on COM5 and COM6. Driven from the Linux side like ConsoleExeTest.cpp,
// with the prefix that scripts/test windows prepares.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <vector>

#include "Scenarios.h"
#include "WineSupport.h"

namespace korv {
namespace {

using test::Scenario;

class ExeScenarios : public ::testing::TestWithParam<Scenario> {
  protected:
    void Run(bool batch) {
        const std::string exe = test::Env("KORV_CONSOLE_EXE");
        const std::string prefix = test::Env("WINEPREFIX");
        const std::string wine = test::FindInPath("wine");
        ASSERT_FALSE(exe.empty()) << "KORV_CONSOLE_EXE is not set (run scripts/test windows)";
        ASSERT_FALSE(prefix.empty()) << "WINEPREFIX is not set (run scripts/test windows)";
        ASSERT_FALSE(wine.empty()) << "wine is not on the PATH";
        ASSERT_EQ(::access((prefix + "/korv-ports").c_str(), F_OK), 0)
            << "COM5 and COM6 are not mapped in " << prefix << " (run scripts/wine-com)";
        test::ScenarioSystem system;
        // Wine gives Windows programs the Linux host name, without its domain.
        char host[256] = {};
        ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
        system.hostName = std::string(host).substr(0, std::string(host).find('.'));
        system.port = [prefix](size_t i, std::vector<std::string>& options) {
            const std::string port = "COM" + std::to_string(5 + i);
            options.insert(options.end(),
                           {"--link", prefix + "/korv-ports/com" + std::to_string(5 + i)});
            return port;
        };
        system.command = [wine, exe](const std::vector<std::string>& args) {
            std::vector<std::string> argv = {wine, exe};
            argv.insert(argv.end(), args.begin(), args.end());
            return argv;
        };
        system.fileArg = [](const std::string& path) { return test::DosPath(path); };
        // (COM5.log on Windows would be the port itself.)
        system.logPath = [](const std::string& dir, const std::string& port) {
            return dir + "/" + port + "_.log";
        };
        test::RunScenario(GetParam(), batch, system, m_dir);
    }
    test::TempDir m_dir;
};

class ExeOnePortScenario : public ExeScenarios {};
class ExeBatchScenario : public ExeScenarios {};

TEST_P(ExeOnePortScenario, Runs) {
    Run(false);
}

TEST_P(ExeBatchScenario, Runs) {
    Run(true);
}

INSTANTIATE_TEST_SUITE_P(Wine, ExeOnePortScenario,
                         ::testing::ValuesIn(test::ScenarioRows(test::kOnePort | test::kWine)),
                         test::ScenarioName);
INSTANTIATE_TEST_SUITE_P(Wine, ExeBatchScenario,
                         ::testing::ValuesIn(test::ScenarioRows(test::kBatch | test::kWine)),
                         test::ScenarioName);

}  // namespace
}  // namespace korv
