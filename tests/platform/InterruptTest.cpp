// Tests of the interrupt: a first SIGINT or SIGTERM signals its waitable and the program goes
// on; a second one ends it the default way. Each case runs in a child process (a death
// test), so the handlers it installs and the signals it raises stay there.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Wait.h"
#include "platform/Wait.h"

namespace korv {
namespace {

using korv::test::Readable;

// Raises sig; the program must still be running with the signal recorded.
void RaiseAndExpectRecorded(CInterrupt& pipe, int sig, const char* what) {
    ::raise(sig);
    if (!pipe.Raised()) {
        std::fprintf(stderr, "%s: not recorded\n", what);
        std::_Exit(1);
    }
    std::fprintf(stderr, "%s: recorded\n", what);
}

TEST(InterruptDeathTest, FirstSignalIsReadSecondEndsTheProgram) {
    for (const int sig : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                CInterrupt pipe;
                if (!pipe.Valid() || Readable(pipe.Waitable()) || pipe.Raised()) {
                    std::_Exit(1);
                }
                ::raise(sig);
                if (!Readable(pipe.Waitable()) || !pipe.Raised() || !pipe.Raised()) {
                    std::_Exit(2);  // the signal is remembered once read
                }
                std::fprintf(stderr, "first handled\n");
                ::raise(sig);
                std::_Exit(3);
            },
            testing::KilledBySignal(sig), "first handled");
    }
}

TEST(InterruptDeathTest, ANewPipeStartsAfreshAndTheOldHandlersComeBack) {
    EXPECT_EXIT(
        {
            {
                CInterrupt first;
                RaiseAndExpectRecorded(first, SIGTERM, "first pipe");
            }
            CInterrupt second;
            if (second.Raised()) {
                std::_Exit(1);  // nothing carried over from the pipe before
            }
            RaiseAndExpectRecorded(second, SIGINT, "second pipe");
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "first pipe: recorded\nsecond pipe: recorded");
    // Once the pipe is gone, the handlers from before it are in place again.
    EXPECT_EXIT(
        {
            { CInterrupt pipe; }
            ::raise(SIGTERM);
            std::_Exit(0);
        },
        testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace korv
