#include "SimProcess.h"

#include <QTest>

namespace korv::test {

SimProcess::SimProcess(QStringList args) : m_args(std::move(args)) {
    m_process.setProgram(QStringLiteral(KORV_TESTER_SIM));
    m_process.setArguments(m_args);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] { ReadLines(); });
}

SimProcess::~SimProcess() {
    if (m_process.state() == QProcess::NotRunning) {
        return;
    }
    Command("quit");
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

bool SimProcess::Start(std::string* error) {
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        *error = "cannot start " KORV_TESTER_SIM ": " + m_process.errorString().toStdString();
        return false;
    }
    if (!QTest::qWaitFor([this] { return !m_events.empty(); }, 10000)) {
        *error = "the simulator printed no pty path";
        return false;
    }
    m_pty = m_events.front();
    m_nTaken = 1;
    return true;
}

void SimProcess::Command(const std::string& line) {
    const std::string text = line + "\n";
    m_process.write(text.data(), static_cast<qint64>(text.size()));
    m_process.waitForBytesWritten(5000);
}

void SimProcess::ReadLines() {
    m_partial += m_process.readAllStandardOutput().toStdString();
    size_t end;
    while ((end = m_partial.find('\n')) != std::string::npos) {
        m_events.push_back(m_partial.substr(0, end));
        m_partial.erase(0, end + 1);
    }
}

std::optional<std::string> SimProcess::WaitEvent(const std::string& prefix, int timeoutMs) {
    std::optional<std::string> found;
    (void)QTest::qWaitFor(
        [&] {
            for (; m_nTaken < m_events.size(); ++m_nTaken) {
                if (m_events[m_nTaken].rfind(prefix, 0) == 0) {
                    found = m_events[m_nTaken++];
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

int SimProcess::WaitExit(int timeoutMs) {
    if (!QTest::qWaitFor([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs)) {
        return -1;
    }
    ReadLines();
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

}  // namespace korv::test
