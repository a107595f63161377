// Events and the wait for many waitables, the same test on both systems (eventfd and poll on
// Linux, event objects and WaitForMultipleObjects on Windows).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/Wait.h"

namespace korv {
namespace {

using namespace std::chrono_literals;

TEST(EventWait, ManualResetAndWaitable) {
    int err = -1;
    auto ev = Event::Create(&err);
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(err, 0);
    EXPECT_FALSE(ev->IsSet());
    EXPECT_FALSE(ev->Wait(0));
    ev->Set();
    ev->Set();
    for (int i = 0; i < 3; ++i) {  // observing it does not consume it
        EXPECT_TRUE(ev->IsSet());
        EXPECT_TRUE(ev->Wait(-1));
        const WaitHandle h = ev->Waitable();
        EXPECT_EQ(WaitForAny(&h, 1, 0), 0);
    }
    ev->Reset();
    EXPECT_FALSE(ev->IsSet());
    const WaitHandle h = ev->Waitable();
    EXPECT_EQ(WaitForAny(&h, 1, 20), WAIT_RESULT_TIMEOUT);
}

TEST(WaitForAny, ReportsTheLowestSignalledOfManyAndWakesForALateOne) {
    std::vector<std::unique_ptr<Event>> events;
    std::vector<WaitHandle> handles;
    for (size_t i = 0; i < kMaxWaitHandles; ++i) {
        events.push_back(Event::Create(nullptr));
        ASSERT_NE(events.back(), nullptr);
        handles.push_back(events.back()->Waitable());
    }
    events[63]->Set();
    events[40]->Set();
    EXPECT_EQ(WaitForAny(handles.data(), handles.size(), 0), 40);
    events[40]->Reset();
    EXPECT_EQ(WaitForAny(handles.data(), handles.size(), 0), 63);
    events[63]->Reset();

    // A wait that has already begun wakes when another thread signals.
    std::atomic<bool> waiting{false};
    std::atomic<int> result{-100};
    std::thread waiter([&] {
        waiting = true;
        result = WaitForAny(handles.data(), handles.size(), 60000);
    });
    while (!waiting)
        std::this_thread::yield();
    std::this_thread::sleep_for(50ms);  // let the waiter block; the result does not depend on it
    events[7]->Set();
    waiter.join();
    EXPECT_EQ(result.load(), 7);
}

TEST(WaitForAny, RefusesNoHandlesAndTooMany) {
    int err = 0;
    EXPECT_EQ(WaitForAny(nullptr, 0, 0, &err), WAIT_RESULT_FAILED);
    EXPECT_NE(err, 0);
    std::vector<WaitHandle> many(kMaxWaitHandles + 1, WaitHandle{});
    EXPECT_EQ(WaitForAny(many.data(), many.size(), 0, &err), WAIT_RESULT_FAILED);
}

TEST(Interrupt, RaisedOnceSignalsItsWaitable) {
    CInterrupt interrupt;
    ASSERT_TRUE(interrupt.Valid());
    EXPECT_FALSE(interrupt.Raised());
    const WaitHandle h = interrupt.Waitable();
    EXPECT_EQ(WaitForAny(&h, 1, 0), WAIT_RESULT_TIMEOUT);
    interrupt.Raise();
    EXPECT_EQ(WaitForAny(&h, 1, 0), 0);
    EXPECT_TRUE(interrupt.Raised());
    EXPECT_TRUE(interrupt.Raised());
}

}  // namespace
}  // namespace korv
