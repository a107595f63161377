// The words of a transfer: its progress, its outcome, and the estimate of the time it has left.

#include <gtest/gtest.h>

#include <ostream>

#include "view/TransferProgress.h"

namespace korv {
namespace {

struct ProgressCase {
    uint64_t done;
    uint64_t total;
    int64_t secondsLeft;
    const char* expected;
    friend void PrintTo(const ProgressCase& c, std::ostream* os) {
        *os << '"' << c.expected << '"';
    }
};

class ProgressTextTest : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ProgressTextTest, Formats) {
    const ProgressCase& c = GetParam();
    EXPECT_EQ(FormatTransferProgress(c.done, c.total, c.secondsLeft), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ProgressTextTest,
    ::testing::Values(ProgressCase{12288, 40960, 7, "12.0 of 40.0 KiB, 0:07 left"},
                      ProgressCase{0, 1000, -1, "0.0 of 1.0 KiB"},
                      ProgressCase{1536, 3 * 1024 * 1024, 125, "1.5 of 3072.0 KiB, 2:05 left"},
                      ProgressCase{100, 200, 3725, "0.1 of 0.2 KiB, 62:05 left"}));

TEST(TransferEstimateTest, IgnoresTheOpeningBurstAndFollowsTheRecentRate) {
    CTransferEstimate estimate;
    estimate.Start();
    // The buffers take 17000 bytes at once; then the line carries 2 bytes per millisecond.
    estimate.Sample(200, 17000);
    estimate.Sample(1000, 17400);
    EXPECT_EQ(estimate.SecondsLeft(40000), -1) << "no span of history yet";
    estimate.Sample(2000, 19400);
    EXPECT_EQ(estimate.SecondsLeft(40000), 10);  // 20600 bytes at 2000 bytes/s

    // The rate drops to a quarter; after the window has passed, only the new rate counts.
    uint64_t done = 19400;
    for (int64_t t = 3000; t <= 9000; t += 1000) {
        done += 500;
        estimate.Sample(t, done);
    }
    EXPECT_EQ(estimate.SecondsLeft(40000), (40000 - static_cast<int64_t>(done)) / 500);
}

TEST(TransferEstimateTest, HeldLineGivesNoEstimate) {
    CTransferEstimate estimate;
    estimate.Start();
    estimate.Sample(1000, 5000);
    estimate.Sample(3000, 5000);  // the tester holds XOFF
    EXPECT_EQ(estimate.SecondsLeft(40000), -1);
    estimate.Sample(4000, 7000);
    EXPECT_GT(estimate.SecondsLeft(40000), 0);
    estimate.Start();
    EXPECT_EQ(estimate.SecondsLeft(40000), -1) << "a new transfer starts without history";
}

struct OutcomeCase {
    TransferOutcome outcome;
    const char* expected;
    friend void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << '"' << c.expected << '"'; }
};

class OutcomeTextTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(OutcomeTextTest, Formats) {
    EXPECT_EQ(FormatTransferOutcome(GetParam().outcome), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OutcomeTextTest,
    ::testing::Values(
        OutcomeCase{{TransferOutcome::SENT, 40038, 40038, 7}, "Sent 39.1 KiB in 0:07"},
        OutcomeCase{{TransferOutcome::SENT, 2, 2, 0}, "Sent 0.0 KiB in 0:00"},
        OutcomeCase{{TransferOutcome::SENT, 600000, 600000, 3725}, "Sent 585.9 KiB in 62:05"},
        OutcomeCase{{TransferOutcome::ABORTED, 22016, 40038, 3}, "Aborted at 21.5 of 39.1 KiB"},
        OutcomeCase{{TransferOutcome::FAILED, 22016, 40038, 3}, "Failed at 21.5 of 39.1 KiB"},
        OutcomeCase{{TransferOutcome::FAILED, 0, 40038, 0}, "Failed at 0.0 of 39.1 KiB"},
        OutcomeCase{{TransferOutcome::NONE, 5, 10, 1}, ""}));

}  // namespace
}  // namespace korv
