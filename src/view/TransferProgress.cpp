#include "view/TransferProgress.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "view/ProgView.h"

namespace korv {

namespace {

std::string KiB(uint64_t bytes) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", static_cast<double>(bytes) / 1024.0);
    return buf;
}

// "m:ss", minutes unbounded.
std::string MinutesSeconds(int64_t seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64, seconds / 60, seconds % 60);
    return buf;
}

}  // namespace

std::string FormatTransferProgress(uint64_t done, uint64_t total, int64_t secondsLeft) {
    std::string text = KiB(done);
    text.append(" of ").append(KiB(total)).append(" KiB");
    if (secondsLeft >= 0) {
        text.append(", ").append(MinutesSeconds(secondsLeft)).append(" left");
    }
    return text;
}

std::string FormatTransferOutcome(const TransferOutcome& outcome) {
    std::string text;
    switch (outcome.kind) {
        case TransferOutcome::SENT:
            text.append("Sent ").append(KiB(outcome.total)).append(" KiB in ");
            text.append(MinutesSeconds(outcome.seconds < 0 ? 0 : outcome.seconds));
            break;
        case TransferOutcome::ABORTED:
        case TransferOutcome::FAILED:
            text.append(outcome.kind == TransferOutcome::ABORTED ? "Aborted at " : "Failed at ");
            text.append(KiB(outcome.done)).append(" of ").append(KiB(outcome.total));
            text.append(" KiB");
            break;
        case TransferOutcome::NONE:
            break;
    }
    return text;
}

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

CTransferFollower::Step CTransferFollower::Follow(const CProgView* view) {
    const int state = view != nullptr ? view->State() : STATE_PORT_CLOSED;
    const bool sending = state == STATE_SENDING;
    const bool restart = sending && m_bNewTransfer;
    m_bNewTransfer = false;
    Step step;
    if (sending) {
        if (!m_bFollowing || restart) {
            m_bFollowing = true;
            m_start = std::chrono::steady_clock::now();
            m_estimate.Start();
            step.timer = START_TIMER;
            step.redraw = true;
            step.display = Progress(*view);
        }
        return step;
    }
    if (m_bFollowing) {
        m_bFollowing = false;
        step.timer = STOP_TIMER;
    }
    step.redraw = true;
    const TransferOutcome outcome =
        state == STATE_SEND_ENDED ? view->LastOutcome() : TransferOutcome{};
    if (outcome.kind != TransferOutcome::NONE) {
        step.display.shown = true;
        step.display.permille =
            outcome.total == 0 ? 1000 : static_cast<int>(outcome.done * 1000 / outcome.total);
        step.display.text = FormatTransferOutcome(outcome);
    }
    return step;
}

TransferDisplay CTransferFollower::Progress(const CProgView& view) {
    const uint64_t total = view.SendTotal();
    const uint64_t done = std::min(view.SendDone(), total);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_start);
    m_estimate.Sample(elapsed.count(), done);
    TransferDisplay display;
    display.shown = true;
    display.permille = total == 0 ? 0 : static_cast<int>(done * 1000 / total);
    display.text = FormatTransferProgress(done, total, m_estimate.SecondsLeft(total));
    return display;
}

}  // namespace korv
