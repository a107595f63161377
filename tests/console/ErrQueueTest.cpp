// Standard error that is read late: every message reaches it, in order, once the reader takes
// output again; only redrawn frames are dropped meanwhile.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <thread>

#include "Wait.h"
#include "console/ErrQueue.h"

namespace korv {
namespace {

TEST(ErrQueue, AReaderThatComesLateGetsEveryMessageInOrderAndNoFrameBetweenThem) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::FILE* stream = ::fdopen(fds[1], "w");
    ASSERT_NE(stream, nullptr);
    // The pipe is full before the first message: the terminal is behind.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string filler(4096, '#');
    size_t filled = 0;
    for (ssize_t n = 0; (n = ::write(fds[1], filler.data(), filler.size())) > 0;) {
        filled += static_cast<size_t>(n);
    }
    ::fcntl(fds[1], F_SETFL, 0);

    std::optional<CErrQueue> queue(std::in_place, stream);
    std::string expected;
    int framesShown = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::string message = "message " + std::to_string(i) + "\n";
        queue->Message(message);
        expected += message;
        framesShown += queue->Frame("frame\n") ? 1 : 0;
    }
    EXPECT_EQ(framesShown, 0) << "a frame went out while messages waited";
    EXPECT_TRUE(queue->Pending());

    // The reader comes back and takes everything, a little at a time.
    std::string got;
    std::thread reader([&got, fd = fds[0]] {
        char buf[512];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            got.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_TRUE(test::WaitUntil([&] { return !queue->Pump(); }));
    queue->Message("last\n");
    expected += "last\n";
    EXPECT_TRUE(queue->Frame("frame after\n")) << "nothing waits any more";
    expected += "frame after\n";
    // The queue's end waits for what is left; closing the stream then ends the reader.
    queue.reset();
    std::fclose(stream);
    reader.join();
    ::close(fds[0]);
    ASSERT_GE(got.size(), filled);
    EXPECT_EQ(got.substr(0, filled), std::string(filled, '#'));
    EXPECT_EQ(got.substr(filled), expected);
}

}  // namespace
}  // namespace korv
