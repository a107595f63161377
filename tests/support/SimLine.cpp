// The system-independent half of the simulated tester behind a port: event bookkeeping.

#include "SimLine.h"

namespace korv::test {

namespace {
// How long the simulator gets to print its line and, at the end, to report its exit.
constexpr std::chrono::seconds kStartLimit{60};
constexpr std::chrono::seconds kQuitLimit{20};
}  // namespace

SimLine::SimLine(std::vector<std::string> options)
    : m_backend(StartSimBackend(options, &m_problem)) {
    if (!m_backend) {
        return;
    }
    // The first line is the pty's path, printed once the line (and its link) exists.
    const auto first = m_backend->NextLine(std::chrono::steady_clock::now() + kStartLimit);
    if (!first || first->empty() || (*first)[0] != '/') {
        m_problem = "the simulator did not announce its line: " + first.value_or("(nothing)") +
                    " " + m_backend->ReadBack("errors");
        m_backend.reset();
        return;
    }
    m_backend->pty = *first;
}

SimLine::~SimLine() {
    if (m_backend && !SawEvent("EXIT")) {
        m_backend->Send("quit");
        WaitEvent("EXIT", kQuitLimit);
    }
}

bool SimLine::Ok() const {
    return m_backend != nullptr;
}
const std::string& SimLine::Problem() const {
    return m_problem;
}

const std::string& SimLine::Port() const {
    static const std::string none;
    return m_backend ? m_backend->Port() : none;
}

void SimLine::Command(const std::string& line) {
    if (m_backend) {
        m_backend->Send(line);
    }
}

std::optional<std::string> SimLine::WaitEvent(const std::string& prefix,
                                              std::chrono::milliseconds limit) {
    if (!m_backend) {
        return std::nullopt;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (auto line = m_backend->NextLine(deadline)) {
        m_events.push_back(*line);
        if (line->starts_with(prefix)) {
            return line;
        }
    }
    return std::nullopt;
}

bool SimLine::SawEvent(const std::string& prefix) const {
    for (const auto& e : m_events) {
        if (e.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

std::string SimLine::Transcript() const {
    std::string all = "simulator events:";
    for (const auto& e : m_events) {
        all += " | " + e;
    }
    return all;
}

std::string SimLine::ReadBack(const std::string& name) const {
    return m_backend ? m_backend->ReadBack(name) : std::string();
}

}  // namespace korv::test
