// The Telnet / RFC 2217 client as a table of byte sequences: what the server sends (split into
// the reads given), the data that comes out, the replies owed, the answers recorded. And the
// network port names. Pure code, the same on both systems.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/net/NetPortName.h"
#include "platform/net/Telnet.h"

namespace korv {
namespace {

using namespace telnet;

std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(static_cast<char>(b));
    return s;
}

struct FeedCase {
    const char* what;
    std::vector<std::string> reads;  // the server's bytes, one string per read
    std::string data;                // data handed up
    std::string replies;             // what the client owes the server
};

std::ostream& operator<<(std::ostream& os, const FeedCase& c) {
    return os << c.what;
}

class TelnetFeed : public ::testing::TestWithParam<FeedCase> {};

TEST_P(TelnetFeed, DataAndReplies) {
    Client client;
    client.Start();
    std::string data;
    for (const std::string& r : GetParam().reads)
        client.Feed(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &data);
    EXPECT_EQ(data, GetParam().data);
    EXPECT_EQ(client.TakeReplies(), GetParam().replies);
}

const FeedCase kFeedCases[] = {
    {"plain data", {"abc\r\n"}, "abc\r\n", ""},
    {"doubled 0xFF is one data byte", {B({'a', 255, 255, 'b'})}, B({'a', 255, 'b'}), ""},
    {"doubled 0xFF split across reads", {B({'a', 255}), B({255, 'b'})}, B({'a', 255, 'b'}), ""},
    {"answers to our requests need no reply", {B({255, DO, 0, 255, WILL, 0, 255, DO, 44})}, "", ""},
    {"an unknown option is refused once",
     {B({255, WILL, 24, 255, WILL, 24, 255, DO, 31, 255, DO, 31})},
     "",
     B({255, DONT, 24, 255, WONT, 31})},
    {"SGA offered is taken, asked for is given",
     {B({255, WILL, 3, 255, DO, 3})},
     "",
     B({255, DO, 3, 255, WILL, 3})},
    {"WILL/WONT storm answered once per change",
     {B({255, WILL, 3, 255, WILL, 3, 255, WONT, 3, 255, WONT, 3})},
     "",
     B({255, DO, 3, 255, DONT, 3})},
    {"subnegotiation between data, split mid-way",
     {B({'x', 255, SB, 44}), B({106, 0x60, 255}), B({SE, 'y'})},
     "xy",
     ""},
    {"over-long subnegotiation dropped, data after it kept",
     {std::string({char(255), char(SB), char(44)}) + std::string(200, 'z') + B({255, SE, 'k'})},
     "k",
     ""},
    {"IAC and a command inside a subnegotiation ends it",
     {B({255, SB, 44, 101, 255, WILL, 24, 'd'})},
     "d",
     B({255, DONT, 24})},
    {"other commands (NOP, GA) are ignored", {B({'a', 255, 241, 'b', 255, 249})}, "ab", ""},
    {"timing mark answers need no reply", {B({255, WONT, 6, 'a', 255, WILL, 6})}, "a", ""},
};
INSTANTIATE_TEST_SUITE_P(Table, TelnetFeed, ::testing::ValuesIn(kFeedCases));

TEST(Telnet, NegotiationAndComPortAnswers) {
    Client client;
    EXPECT_EQ(client.Start(), B({255, WILL, 0, 255, DO, 0, 255, WILL, 44}));
    EXPECT_FALSE(client.ComPortSettled());
    // The server accepts COM-PORT-OPTION (DO) but says WONT to doing it itself.
    const std::string accept = B({255, DO, 44, 255, WONT, 44, 255, DO, 0, 255, WILL, 0});
    std::string data;
    client.Feed(reinterpret_cast<const uint8_t*>(accept.data()), accept.size(), &data);
    EXPECT_TRUE(client.ComPortAccepted());
    EXPECT_EQ(client.Local(OPT_BINARY), Client::Side::Yes);
    EXPECT_EQ(client.Remote(OPT_BINARY), Client::Side::Yes);
    EXPECT_EQ(client.TakeReplies(), "");
    // Answers to the settings; the baud rate's 0xFF byte comes doubled.
    const std::string answers =
        B({255, SB, 44, 101, 0, 0, 255, 255, 255, 255, 255, SE, 255, SB, 44, 102, 8, 255, SE}) +
        B({255, SB, 44, 103, 1, 255, SE, 255, SB, 44, 104, 1, 255, SE, 255, SB, 44, 105, 1}) +
        B({255, SE});
    for (const char c : answers)  // one byte per read
        client.Feed(reinterpret_cast<const uint8_t*>(&c), 1, &data);
    EXPECT_EQ(data, "");
    ASSERT_TRUE(client.Answers().baudRate);
    EXPECT_EQ(*client.Answers().baudRate, 0xFFFFu);
    EXPECT_EQ(client.Answers().dataSize, 8);
    EXPECT_EQ(client.Answers().parity, 1);
    EXPECT_EQ(client.Answers().stopSize, 1);
    EXPECT_EQ(client.Answers().control, 1);
}

// A subnegotiation longer than the limit is dropped whole: what it starts with, here an answer
// that the server keeps XON/XOFF, must not be taken as if it had ended at the limit. One at the
// limit is taken. Timing marks answered are counted.
TEST(Telnet, OverLongSubnegotiationIsDroppedWhole) {
    for (const size_t extra : {size_t{0}, size_t{1}, size_t{100}}) {
        Client client;
        client.Start();
        // Command and value, then padding up to the limit and beyond it by extra bytes.
        const std::string sb = B({255, SB, 44, 105, 2}) +
                               std::string(kMaxSubnegotiation - 2 + extra, '\0') + B({255, SE}) +
                               B({255, WONT, 6});
        std::string data;
        client.Feed(reinterpret_cast<const uint8_t*>(sb.data()), sb.size(), &data);
        EXPECT_EQ(client.Answers().control.has_value(), extra == 0) << extra;
        EXPECT_EQ(client.MarksAnswered(), 1u);
        EXPECT_EQ(data, "");
    }
}

TEST(Telnet, RefusedComPortIsSettledAndEncodersEscape) {
    Client client;
    client.Start();
    const std::string refuse = B({255, DONT, 44});
    client.Feed(reinterpret_cast<const uint8_t*>(refuse.data()), refuse.size(), nullptr);
    EXPECT_TRUE(client.ComPortSettled());
    EXPECT_FALSE(client.ComPortAccepted());

    std::string out;
    const uint8_t data[] = {1, 255, 2};
    AppendEscaped(out, data, sizeof data);
    EXPECT_EQ(out, B({1, 255, 255, 2}));
    out.clear();
    AppendComPortU32(out, CPC_SET_BAUDRATE, 0x0000E1FF);
    EXPECT_EQ(out, B({255, SB, 44, 1, 0, 0, 0xE1, 255, 255, 255, SE}));
    out.clear();
    AppendComPortByte(out, CPC_PURGE_DATA, PURGE_TRANSMIT);
    EXPECT_EQ(out, B({255, SB, 44, 12, 2, 255, SE}));
}

TEST(NetPortName, ParsesOnlyWellFormedNames) {
    const struct {
        const char* name;
        bool ok;
        NetPortKind kind;
        const char* host;
        uint16_t port;
    } rows[] = {
        {"rfc2217://127.0.0.1:2000", true, NetPortKind::Rfc2217, "127.0.0.1", 2000},
        {"socket://bench-7.lab:4001", true, NetPortKind::Raw, "bench-7.lab", 4001},
        {"rfc2217://[::1]:65535", true, NetPortKind::Rfc2217, "::1", 65535},
        {"rfc2217://host", false, {}, "", 0},
        {"rfc2217://host:0", false, {}, "", 0},
        {"rfc2217://host:65536", false, {}, "", 0},
        {"rfc2217://:2000", false, {}, "", 0},
        {"rfc2217://host:20x0", false, {}, "", 0},
        {"rfc2217://a:b:2000", false, {}, "", 0},
        {"rfc2217://[::1:2000", false, {}, "", 0},
        {"rfc2217://user@host:2000", false, {}, "", 0},
        {"telnet://host:23", false, {}, "", 0},
        {"/dev/ttyS0", false, {}, "", 0},
    };
    for (const auto& r : rows) {
        const auto parsed = ParseNetPortName(r.name);
        ASSERT_EQ(parsed.has_value(), r.ok) << r.name;
        if (r.ok) {
            EXPECT_EQ(parsed->kind, r.kind) << r.name;
            EXPECT_EQ(parsed->host, r.host) << r.name;
            EXPECT_EQ(parsed->port, r.port) << r.name;
        }
    }
    EXPECT_TRUE(IsNetworkPortName("rfc2217://x"));
    EXPECT_FALSE(IsNetworkPortName("COM3"));
    EXPECT_EQ(SplitNetPortList(" rfc2217://a:1 ;;bad; socket://b:2;rfc2217://a:1 "),
              (std::vector<std::string>{"rfc2217://a:1", "socket://b:2"}));
}

}  // namespace
}  // namespace korv
