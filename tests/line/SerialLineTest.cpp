// The system's serial port against the simulated tester as the far end. The same tests run on
// Linux (the simulator's pty) and on Windows under Wine (a COM port of the prefix mapped to that
// pty), so both implementations are held to one behaviour: configure, read time-outs, a write
// held by XOFF, an abort, and a far end that goes away.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CpuTime.h"
#include "SimLine.h"
#include "Texts.h"
#include "Wait.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"
#include "serial/LineSettings.h"

namespace korv {
namespace {

using namespace std::chrono_literals;
using namespace korv::test;
const std::string kPrompt = "Ready to receive update file....\r\n";

class SerialLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int err = 0;
        m_abort = Event::Create(&err);
        ASSERT_NE(m_abort, nullptr) << err;
    }

    // Opens the simulator's port and configures it the way the program does.
    std::unique_ptr<ISerialPort> OpenConfigured(const SimLine& sim) {
        auto port = MakeSerialPort();
        const int rc = port->Open(DevicePathForPort(sim.Port()));
        EXPECT_EQ(rc, 0) << sim.Port() << ": " << SystemErrorText(rc);
        if (rc != 0) {
            return nullptr;
        }
        port->SetupComm(4096, 4096);
        port->Purge();
        port->SetCommTimeouts(kLineTimeouts);
        EXPECT_EQ(port->SetCommState(LineSettings(*port)), 0);
        port->Purge();
        port->SetCommMask(0);
        return port;
    }

    // Reads until text has arrived (a read may also complete with no bytes); false at the
    // deadline or on an error.
    static bool ReadUntil(ISerialPort& port, const std::string& text, std::string* seen) {
        const auto end = Clock::now() + kDeadline;
        while (seen->find(text) == std::string::npos) {
            if (Clock::now() > end) {
                return false;
            }
            uint8_t buf[512];
            uint32_t got = 0;
            if (port.Read(buf, sizeof buf, &got) != 0) {
                return false;
            }
            seen->append(reinterpret_cast<const char*>(buf), got);
        }
        return true;
    }

    // Writes all of data the way the sender does: a short count (the tester held the line past
    // the write's time-out) is carried on from. Counts the short writes.
    int WriteAll(ISerialPort& port, const std::string& data, int* shortWrites) {
        size_t off = 0;
        const auto end = Clock::now() + kDeadline;
        while (off < data.size() && Clock::now() < end) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(512, data.size() - off));
            uint32_t written = 0;
            const int rc = port.Write(reinterpret_cast<const uint8_t*>(data.data() + off), n,
                                      *m_abort, &written);
            if (rc != 0) {
                return rc;
            }
            *shortWrites += written < n;
            off += written;
        }
        return off == data.size() ? 0 : -1;
    }

    std::unique_ptr<Event> m_abort;
};

TEST_F(SerialLineTest, OpensConfiguresTheLineAndReopensAfterClosing) {
    SimLine sim({"--rate", "0", "--linger-ms", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    // The simulator boots only once it sees 57600 baud and XON/XOFF on its side of the line.
    ASSERT_TRUE(sim.WaitEvent("OPENED")) << sim.Transcript();
    Dcb back;
    back.DCBlength = sizeof(Dcb);
    port->GetCommState(back);
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONESTOPBIT);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);

    // The port is the holder's alone.
    if (test::SecondOpenerRefused()) {
        auto second = MakeSerialPort();
        EXPECT_NE(second->Open(DevicePathForPort(sim.Port())), 0);
    }

    std::string seen;
    ASSERT_TRUE(ReadUntil(*port, kPrompt, &seen)) << seen << sim.Transcript();
    EXPECT_NE(seen.find("Tester boot ROM"), std::string::npos) << seen;

    // Closed, it opens again (to the same tester) and works.
    port.reset();
    port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    sim.Command("say again");
    seen.clear();
    EXPECT_TRUE(ReadUntil(*port, "again\r\n", &seen)) << seen << sim.Transcript();
}

TEST_F(SerialLineTest, TwoTestersOnTwoPortsAreEachReachedByTheirOwnPort) {
    SimLine first({"--rate", "0", "--linger-ms", "0"}, "COM7");
    SimLine second({"--rate", "0", "--linger-ms", "0"}, "COM8");
    ASSERT_TRUE(first.Ok()) << first.Problem();
    ASSERT_TRUE(second.Ok()) << second.Problem();
    ASSERT_NE(first.Port(), second.Port());
    auto a = OpenConfigured(first);
    auto b = OpenConfigured(second);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::string seenA;
    std::string seenB;
    ASSERT_TRUE(ReadUntil(*a, kPrompt, &seenA)) << seenA << first.Transcript();
    ASSERT_TRUE(ReadUntil(*b, kPrompt, &seenB)) << seenB << second.Transcript();
    first.Command("say to the first");
    second.Command("say to the second");
    seenA.clear();
    seenB.clear();
    ASSERT_TRUE(ReadUntil(*a, "\r\n", &seenA)) << seenA;
    ASSERT_TRUE(ReadUntil(*b, "\r\n", &seenB)) << seenB;
    EXPECT_EQ(seenA, "to the first\r\n");
    EXPECT_EQ(seenB, "to the second\r\n");
}

TEST_F(SerialLineTest, AReadEndsShortlyAfterTheLastByteOrAtItsCount) {
    SimLine sim({"--rate", "0", "--linger-ms", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    // Once the prompt is on the line, one read returns the boot text and the prompt together,
    // after the 10 ms of silence that end it, not after a full buffer.
    ASSERT_TRUE(sim.WaitEvent("PROMPT")) << sim.Transcript();
    uint8_t buf[4096];
    uint32_t got = 0;
    const auto start = Clock::now();
    ASSERT_EQ(port->Read(buf, sizeof buf, &got), 0);
    const double ms = MsSince(start);
    const std::string first(reinterpret_cast<const char*>(buf), got);
    EXPECT_TRUE(first.starts_with("\r\nTester boot ROM")) << first;
    EXPECT_TRUE(first.ends_with(kPrompt)) << first;
    EXPECT_GE(ms, 5.0);
    EXPECT_LT(ms, 1000.0);

    // A read of a few bytes ends at its count; the rest stays for the next read.
    sim.Command("say 0123456789");
    std::string seen;
    while (seen.empty()) {
        ASSERT_EQ(port->Read(buf, 4, &got), 0);
        seen.append(reinterpret_cast<const char*>(buf), got);
    }
    EXPECT_EQ(seen, "0123");
    ASSERT_TRUE(ReadUntil(*port, "9\r\n", &seen)) << seen;
    EXPECT_EQ(seen, "0123456789\r\n");

    // A read on a silent line waits until the port is shut down.
    std::atomic<int> rc{-1};
    std::thread reader([&] {
        uint8_t b[16];
        uint32_t n = 0;
        rc = port->Read(b, sizeof b, &n);
    });
    EXPECT_FALSE(WaitUntil([&] { return rc.load() != -1; }, 200ms));
    port->Shutdown();
    EXPECT_TRUE(WaitUntil([&] { return rc.load() != -1; }, 5s));
    reader.join();
    EXPECT_EQ(rc.load(), ERR_CANCELLED);
}

TEST_F(SerialLineTest, AWriteHeldByXoffForSecondsGoesOnAfterXonWithNothingLost) {
    const std::string data = UpdateText(24000, "\r\n");  // far more than the line takes ahead
    constexpr int kHoldMs = 3000;
    SimLine sim({"--rate", "0", "--hold-xoff-ms", std::to_string(kHoldMs), "--expect",
                 std::to_string(data.size()), "--save", "{dir}/got", "--linger-ms", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    std::string seen;
    ASSERT_TRUE(ReadUntil(*port, kPrompt, &seen)) << seen << sim.Transcript();

    // Something must read the line meanwhile, or the tester's XON could not be taken in.
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        uint8_t b[256];
        uint32_t n = 0;
        while (!stop && port->Read(b, sizeof b, &n) == 0) {
        }
    });
    int shortWrites = 0;
    const auto start = Clock::now();
    const int rc = WriteAll(*port, data, &shortWrites);
    const double ms = MsSince(start);
    EXPECT_EQ(port->DrainOutput(*m_abort), 0);
    stop = true;
    port->Shutdown();
    reader.join();

    EXPECT_EQ(rc, 0) << SystemErrorText(rc);
    const auto received = sim.WaitEvent("RECEIVED");
    ASSERT_TRUE(received) << sim.Transcript();
    EXPECT_TRUE(sim.SawEvent("XON")) << sim.Transcript();
    EXPECT_NE(received->find("RECEIVED 24000 bytes"), std::string::npos) << *received;
    EXPECT_TRUE(sim.ReadBack("got") == data) << "the bytes that arrived differ from the file";
    // The writer felt the hold: its writes stalled until the tester let go.
    EXPECT_GE(ms, kHoldMs - 200.0);
    EXPECT_GE(shortWrites, 1);
}

// A tester (or a relay) that takes the bytes more slowly than the port gives them: when the
// writes are done and the driver's queue reads empty, most of the file may still be on its way.
// Closing the port then must not throw it away.
TEST_F(SerialLineTest, ClosingAfterACompletedWriteDiscardsNothingOnItsWay) {
    const std::string data = UpdateText(12000, "\r\n");
    SimLine sim({"--rate", "4000", "--buffer", "256", "--high", "100%", "--save", "{dir}/got",
                 "--linger-ms", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    std::string seen;
    ASSERT_TRUE(ReadUntil(*port, kPrompt, &seen)) << seen << sim.Transcript();
    int shortWrites = 0;
    ASSERT_EQ(WriteAll(*port, data, &shortWrites), 0);
    ASSERT_EQ(port->DrainOutput(*m_abort), 0);
    port.reset();

    const auto received = sim.WaitEvent("RECEIVED");
    ASSERT_TRUE(received) << sim.Transcript();
    EXPECT_NE(received->find("RECEIVED 12000 bytes"), std::string::npos) << *received;
    EXPECT_TRUE(sim.ReadBack("got") == data) << "the bytes that arrived differ from the file";
}

TEST_F(SerialLineTest, AbortAndShutdownEndAWriteHeldByXoffAtOnce) {
    SimLine sim({"--rate", "0", "--hold-xoff-ms", "120000", "--linger-ms", "0"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    std::string seen;
    ASSERT_TRUE(ReadUntil(*port, kPrompt, &seen)) << seen << sim.Transcript();

    // One write whose own time-out (its length in ms, plus a second) is far beyond the wait
    // below, so only the abort can end it in time.
    const std::string data = UpdateText(200000, "\r\n");
    auto writeInThread = [&](std::atomic<int>& rc, std::atomic<uint32_t>& written) {
        return std::thread([&] {
            uint32_t w = 0;
            const int r = port->Write(reinterpret_cast<const uint8_t*>(data.data()),
                                      static_cast<uint32_t>(data.size()), *m_abort, &w);
            written = w;
            rc = r;
        });
    };
    std::atomic<int> rc{-1};
    std::atomic<uint32_t> written{0};
    std::thread sender = writeInThread(rc, written);
    ASSERT_TRUE(sim.WaitEvent("XOFF")) << sim.Transcript();
    EXPECT_FALSE(WaitUntil([&] { return rc.load() != -1; }, 300ms)) << "the write did not wait";
    auto start = Clock::now();
    m_abort->Set();
    EXPECT_TRUE(WaitUntil([&] { return rc.load() != -1; }, 10s));
    const double abortMs = MsSince(start);
    sender.join();
    EXPECT_EQ(rc.load(), ERR_CANCELLED) << SystemErrorText(rc.load());
    EXPECT_LT(written.load(), data.size());
    EXPECT_LT(abortMs, 3000.0);

    // Shutdown (the port being closed) ends a held write the same way.
    m_abort->Reset();
    port->FlushOutput();
    rc = -1;
    sender = writeInThread(rc, written);
    EXPECT_FALSE(WaitUntil([&] { return rc.load() != -1; }, 300ms)) << "the write did not wait";
    start = Clock::now();
    port->Shutdown();
    EXPECT_TRUE(WaitUntil([&] { return rc.load() != -1; }, 10s));
    const double shutdownMs = MsSince(start);
    sender.join();
    EXPECT_EQ(rc.load(), ERR_CANCELLED) << SystemErrorText(rc.load());
    EXPECT_LT(shutdownMs, 3000.0);
}

TEST_F(SerialLineTest, AFarEndThatClosesIsAPortLostThatNeverSpins) {
    SimLine sim({"--rate", "0", "--linger-ms", "10000"});
    ASSERT_TRUE(sim.Ok()) << sim.Problem();
    auto port = OpenConfigured(sim);
    ASSERT_NE(port, nullptr);
    std::string seen;
    ASSERT_TRUE(ReadUntil(*port, kPrompt, &seen)) << seen << sim.Transcript();
    EXPECT_FALSE(port->HungUp());

    std::atomic<int> rc{-1};
    std::thread reader([&] {
        uint8_t b[64];
        uint32_t n = 0;
        int r = 0;
        while ((r = port->Read(b, sizeof b, &n)) == 0) {
        }
        rc = r;
    });
    sim.Command("hangup");
    ASSERT_TRUE(sim.WaitEvent("HANGUP")) << sim.Transcript();
    EXPECT_TRUE(WaitUntil([&] { return rc.load() != -1; }, 10s));
    reader.join();
    EXPECT_EQ(rc.load(), ERR_PORT_LOST) << SystemErrorText(rc.load());
    EXPECT_TRUE(port->HungUp());

    // A reader that retries at once is paused by the port, so it never turns into a busy loop.
    const double cpuBefore = test::ProcessCpuMs();
    const auto start = Clock::now();
    int calls = 0;
    while (MsSince(start) < 500.0) {
        uint8_t b[8];
        uint32_t n = 0;
        EXPECT_EQ(port->Read(b, sizeof b, &n), ERR_PORT_LOST);
        ++calls;
    }
    EXPECT_LE(calls, 25);
    EXPECT_LT(test::ProcessCpuMs() - cpuBefore, 200.0);

    // Writing fails too, at once, with nothing written.
    const uint8_t bytes[4] = {'*', ' ', 'x', 'y'};
    uint32_t written = 9;
    const auto writeStart = Clock::now();
    EXPECT_NE(port->Write(bytes, 4, *m_abort, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_LT(MsSince(writeStart), 3000.0);

    // Shutdown ends the pause of a lost port at once.
    port->Shutdown();
    uint8_t b[8];
    uint32_t n = 0;
    const auto shutStart = Clock::now();
    EXPECT_EQ(port->Read(b, sizeof b, &n), ERR_CANCELLED);
    EXPECT_LT(MsSince(shutStart), 1000.0);
}

}  // namespace
}  // namespace korv
