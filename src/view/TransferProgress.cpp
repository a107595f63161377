#include "view/TransferProgress.h"

#include <algorithm>
#include <cstdio>

namespace korv {

void CTransferEstimate::Sample(int64_t elapsedMs, uint64_t done) {
    if (elapsedMs < kWarmUpMs) {
        return;
    }
    m_samples.emplace_back(elapsedMs, done);
    while (m_samples.size() > 2 && m_samples.front().first < elapsedMs - kWindowMs) {
        m_samples.pop_front();
    }
}

int64_t CTransferEstimate::SecondsLeft(uint64_t total) const {
    if (m_samples.size() < 2) {
        return -1;
    }
    const auto& [t0, done0] = m_samples.front();
    const auto& [t1, done1] = m_samples.back();
    if (t1 - t0 < kMinSpanMs || done1 <= done0 || done1 > total) {
        return -1;  // too short a history, or the line is held: no honest estimate
    }
    const double bytesPerMs = static_cast<double>(done1 - done0) / static_cast<double>(t1 - t0);
    return static_cast<int64_t>(static_cast<double>(total - done1) / bytesPerMs / 1000.0 + 0.5);
}

std::string FormatTransferProgress(uint64_t done, uint64_t total, int64_t secondsLeft) {
    char text[96];
    int n = std::snprintf(text, sizeof text, "%.1f of %.1f KiB", static_cast<double>(done) / 1024.0,
                          static_cast<double>(total) / 1024.0);
    if (secondsLeft >= 0 && n > 0 && static_cast<size_t>(n) < sizeof text) {
        std::snprintf(text + n, sizeof text - static_cast<size_t>(n), ", %lld:%02lld left",
                      static_cast<long long>(secondsLeft / 60),
                      static_cast<long long>(secondsLeft % 60));
    }
    return text;
}

std::string FormatTransferOutcome(bool completed, bool failed, uint64_t done, uint64_t total) {
    char text[96];
    const double doneKiB = static_cast<double>(std::min(done, total)) / 1024.0;
    const double totalKiB = static_cast<double>(total) / 1024.0;
    if (completed) {
        std::snprintf(text, sizeof text, "Sent %.1f KiB.", totalKiB);
    } else {
        std::snprintf(text, sizeof text, "%s after %.1f of %.1f KiB.",
                      failed ? "Failed" : "Stopped", doneKiB, totalKiB);
    }
    return text;
}

}  // namespace korv
