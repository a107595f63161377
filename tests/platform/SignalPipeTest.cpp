// Tests of the signal pipe: a first SIGINT or SIGTERM becomes a readable byte and the program
// goes on; a second one ends it the default way. Each case runs in a child process (a death
// test), so the handlers it installs and the signals it raises stay there.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "Wait.h"
#include "platform/SignalPipe.h"

namespace korv {
namespace {

using korv::test::Readable;

// Raises sig; the program must still be running with the signal recorded.
void RaiseAndExpectRecorded(CSignalPipe& pipe, int sig, const char* what) {
    ::raise(sig);
    if (!pipe.Raised()) {
        std::fprintf(stderr, "%s: not recorded\n", what);
        std::_Exit(1);
    }
    std::fprintf(stderr, "%s: recorded\n", what);
}

TEST(SignalPipeDeathTest, FirstSignalIsReadSecondEndsTheProgram) {
    for (const int sig : {SIGINT, SIGTERM}) {
        EXPECT_EXIT(
            {
                CSignalPipe pipe;
                if (!pipe.Valid() || Readable(pipe.Fd()) || pipe.Raised()) {
                    std::_Exit(1);
                }
                ::raise(sig);
                if (!Readable(pipe.Fd()) || !pipe.Raised() || !pipe.Raised()) {
                    std::_Exit(2);  // the signal is remembered once read
                }
                std::fprintf(stderr, "first handled\n");
                ::raise(sig);
                std::_Exit(3);
            },
            testing::KilledBySignal(sig), "first handled");
    }
}

TEST(SignalPipeDeathTest, ANewPipeStartsAfreshAndTheOldHandlersComeBack) {
    EXPECT_EXIT(
        {
            {
                CSignalPipe first;
                RaiseAndExpectRecorded(first, SIGTERM, "first pipe");
            }
            CSignalPipe second;
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
            { CSignalPipe pipe; }
            ::raise(SIGTERM);
            std::_Exit(0);
        },
        testing::KilledBySignal(SIGTERM), "");
}

}  // namespace
}  // namespace korv
