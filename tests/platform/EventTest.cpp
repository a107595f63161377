// Tests of the manual-reset event: level-triggered signalling, poll readability, thread safety.

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "Wait.h"
#include "platform/Event.h"

namespace korv {
namespace {

using namespace korv::test;

TEST(Event, StartsUnsignalled) {
    int err = -1;
    auto ev = Event::Create(&err);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_FALSE(ev->IsSet());
    EXPECT_FALSE(Readable(ev->Waitable()));
    EXPECT_FALSE(ev->Wait(0));
}

TEST(Event, StaysSetUntilResetAndIsReadableMeanwhile) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    ev->Set();
    for (int i = 0; i < 3; ++i) {  // level-triggered: observing it does not consume it
        EXPECT_TRUE(ev->IsSet());
        EXPECT_TRUE(Readable(ev->Waitable()));
        EXPECT_TRUE(ev->Wait(0));
        EXPECT_TRUE(ev->Wait(-1));
    }
    ev->Reset();
    EXPECT_FALSE(ev->IsSet());
    EXPECT_FALSE(Readable(ev->Waitable()));
}

TEST(Event, RepeatedSetsNeedOneReset) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    ev->Set();
    ev->Set();
    ev->Set();
    ev->Reset();
    EXPECT_FALSE(ev->IsSet());
    ev->Reset();  // resetting an unsignalled event neither blocks nor breaks it
    EXPECT_FALSE(ev->IsSet());
    ev->Set();
    EXPECT_TRUE(ev->IsSet());
}

TEST(Event, WaitTimesOutWhenUnsignalled) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    auto start = Clock::now();
    EXPECT_FALSE(ev->Wait(50));
    EXPECT_GE(MsSince(start), 45.0);
}

// The scheduler's state of one of this process's threads ('R' running, 'S' asleep in the
// kernel, ...), or '?' when it cannot be read.
char ThreadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t end = line.rfind(')');  // the name in parentheses may hold spaces
    return end != std::string::npos && end + 2 < line.size() ? line[end + 2] : '?';
}

TEST(Event, WaitWakesWhenAnotherThreadSets) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    std::atomic<int> result{-1};
    std::atomic<pid_t> tid{0};
    std::thread waiter([&] {
        tid = ::gettid();
        result = ev->Wait(-1) ? 1 : 0;
    });
    // Set only once the waiter is asleep inside Wait: the wake-up itself is under test, not a
    // Set that came before the wait began.
    const bool asleep = WaitUntil([&] { return tid.load() != 0 && ThreadState(tid) == 'S'; });
    EXPECT_EQ(result.load(), -1) << "Wait returned although nothing set the event";
    ev->Set();
    EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
    waiter.join();
    EXPECT_TRUE(asleep) << "the waiter never blocked";
    EXPECT_EQ(result.load(), 1);
}

// Set and Reset racing each other must leave the flag and the descriptor agreeing: once both have
// returned, IsSet (the flag the sender reads) says what a wait on the descriptor sees. Thousands
// of rounds in lockstep, each a fresh race.
TEST(Event, SetAndResetRacingLeaveTheFlagAndTheDescriptorAgreeing) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    constexpr int kRounds = 20000;
    std::atomic<int> round{0};
    std::atomic<int> finished{0};
    auto racer = [&](bool set) {
        for (int r = 1; r <= kRounds; ++r) {
            while (round.load(std::memory_order_acquire) != r)
                std::this_thread::yield();
            if (set)
                ev->Set();
            else
                ev->Reset();
            finished.fetch_add(1, std::memory_order_acq_rel);
        }
    };
    std::thread setter(racer, true);
    std::thread resetter(racer, false);
    int disagreements = 0;
    for (int r = 1; r <= kRounds; ++r) {
        // Every other round starts from a set event, so both orders of the race are tried.
        if (r % 2 == 0)
            ev->Set();
        finished.store(0, std::memory_order_release);
        round.store(r, std::memory_order_release);
        while (finished.load(std::memory_order_acquire) != 2)
            std::this_thread::yield();
        if (ev->IsSet() != ev->Wait(0))
            ++disagreements;
    }
    setter.join();
    resetter.join();
    EXPECT_EQ(disagreements, 0) << "of " << kRounds << " rounds";
}

}  // namespace
}  // namespace korv
