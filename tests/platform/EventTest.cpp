// Tests of the manual-reset event: level-triggered signalling, poll readability, thread safety.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "TestSupport.h"
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

TEST(Event, WaitWakesWhenAnotherThreadSets) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    std::atomic<int> result{-1};
    std::thread waiter([&] { result = ev->Wait(-1) ? 1 : 0; });
    ev->Set();
    EXPECT_TRUE(WaitUntil([&] { return result.load() != -1; }));
    waiter.join();
    EXPECT_EQ(result.load(), 1);
}

TEST(Event, SetResetIsSetFromManyThreads) {
    auto ev = Event::Create(nullptr);
    ASSERT_NE(ev, nullptr);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        while (!stop)
            ev->Set();
    });
    threads.emplace_back([&] {
        while (!stop)
            ev->Reset();
    });
    threads.emplace_back([&] {
        while (!stop)
            (void)ev->IsSet();
    });
    const auto end = Clock::now() + 200ms;
    while (Clock::now() < end)
        std::this_thread::yield();
    stop = true;
    for (auto& t : threads)
        t.join();
    ev->Reset();
    EXPECT_FALSE(ev->IsSet());
    ev->Set();
    EXPECT_TRUE(ev->IsSet());
}

}  // namespace
}  // namespace korv
