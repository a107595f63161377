// The network port's socket on loopback: each address of a server gets its own time to connect,
// so a first address that never answers (a listener whose queue is full drops every new
// connection attempt, as a black hole does) does not starve a working second; and the
// connection reports its round trip.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "platform/net/Socket.h"

namespace korv {
namespace {

using Clock = std::chrono::steady_clock;

// A listening socket on addr:port (port 0: any), closed with the object.
struct Listening {
    int fd = -1;
    uint16_t port = 0;
    Listening(const char* addr, uint16_t wanted, int backlog) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(wanted);
        ::inet_pton(AF_INET, addr, &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, backlog) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
    }
    ~Listening() { ::close(fd); }
};

TEST(NetSocket, BlackHoleFirstAddressDoesNotStarveTheSecond) {
    // The black hole: 127.0.0.2, its one-place queue filled by connections nobody accepts.
    Listening hole("127.0.0.2", 0, 0);
    ASSERT_NE(hole.port, 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(hole.port);
        ::inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    {
        // The hole is one: a connection to it alone times out.
        net::Socket probe;
        EXPECT_NE(probe.ConnectAny({"127.0.0.2"}, hole.port, 1500), 0);
    }
    Listening working("127.0.0.1", hole.port, 4);
    ASSERT_EQ(working.port, hole.port);
    net::Socket socket;
    EXPECT_EQ(socket.ConnectAny({"127.0.0.2", "127.0.0.1"}, hole.port, 1500), 0);
    EXPECT_GE(socket.RoundTripUs(), 0);
    EXPECT_EQ(socket.Unacknowledged(), 0);
    for (const int c : fillers)
        ::close(c);
}

}  // namespace
}  // namespace korv
