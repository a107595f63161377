// The Windows serial port over drivers that misbehave. A named pipe stands in for the device (the
// port opens any device path): it completes no write while nobody reads it, as a USB serial
// driver that has lost its adapter may never complete one, and it answers none of the comm
// calls, as some virtual COM drivers cannot tell their output queue.

#include "platform/win32/Win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Wait.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"

namespace korv {
namespace {

using namespace std::chrono_literals;

// The device's side of the line: a pipe whose other end the port opens.
class PipeDevice {
  public:
    explicit PipeDevice(DWORD bufferBytes) {
        static std::atomic<int> counter{0};
        m_name = L"\\\\.\\pipe\\korv-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(counter.fetch_add(1));
        m_pipe.reset(::CreateNamedPipeW(m_name.c_str(), PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                        bufferBytes, bufferBytes, 0, nullptr));
    }
    bool Valid() const { return static_cast<bool>(m_pipe); }
    std::string Path() const { return win32::Narrow(m_name); }
    // Everything that has arrived so far.
    std::string Take() {
        std::string got;
        DWORD ready = 0;
        while (::PeekNamedPipe(m_pipe.get(), nullptr, 0, nullptr, &ready, nullptr) && ready > 0) {
            std::string chunk(ready, '\0');
            DWORD n = 0;
            if (!::ReadFile(m_pipe.get(), chunk.data(), ready, &n, nullptr))
                break;
            got.append(chunk, 0, n);
        }
        return got;
    }
    bool Send(const std::string& text) {
        DWORD n = 0;
        return ::WriteFile(m_pipe.get(), text.data(), static_cast<DWORD>(text.size()), &n,
                           nullptr) &&
               n == text.size();
    }

  private:
    std::wstring m_name;
    win32::UniqueHandle m_pipe;
};

Dcb Line57600() {
    Dcb dcb;
    dcb.DCBlength = sizeof(Dcb);
    dcb.BaudRate = 57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

// A write the driver never completes ends after its time-out and a little more, as a lost
// port, and so does every later one; the caller's buffer is free again at once.
TEST(StuckDriver, AWriteThatNeverCompletesEndsAsALostPort) {
    PipeDevice device(1);  // never read
    ASSERT_TRUE(device.Valid());
    auto port = MakeSerialPort();
    ASSERT_EQ(port->Open(device.Path()), 0);
    CommTimeouts timeouts;
    timeouts.WriteTotalTimeoutConstant = 300;
    port->SetCommTimeouts(timeouts);
    auto abort = Event::Create(nullptr);
    ASSERT_NE(abort, nullptr);

    auto data = std::make_unique<std::vector<uint8_t>>(1 << 20, uint8_t{'x'});
    std::atomic<bool> returned{false};
    int code = -1;
    uint32_t written = 0;
    std::thread sender([&] {
        code = port->Write(data->data(), static_cast<uint32_t>(data->size()), *abort, &written);
        returned.store(true);
    });
    const bool ended = test::WaitUntil([&] { return returned.load(); });
    EXPECT_TRUE(ended) << "the write waited for the driver without a bound";
    if (!ended)
        abort->Set();  // a port that honours nothing else still honours the abort
    sender.join();
    EXPECT_EQ(code, ERR_PORT_LOST) << SystemErrorText(code);
    EXPECT_TRUE(port->HungUp());
    data.reset();  // the driver was given a copy
    uint8_t byte = 'y';
    EXPECT_EQ(port->Write(&byte, 1, *abort, &written), ERR_PORT_LOST);
    EXPECT_EQ(written, 0u);
}

// A driver that cannot tell its output queue: the transfer is done once the line has had the
// time to carry it, not failed at 100 %; an abort still ends the wait at once.
TEST(StuckDriver, WithoutTheDriversQueueDoneIsTheLineTime) {
    PipeDevice device(64 * 1024);
    ASSERT_TRUE(device.Valid());
    auto port = MakeSerialPort();
    ASSERT_EQ(port->Open(device.Path()), 0);
    CommTimeouts timeouts;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 1000;
    port->SetCommTimeouts(timeouts);
    port->SetCommState(Line57600());  // the pipe refuses it; the rate is still the line's
    auto abort = Event::Create(nullptr);
    ASSERT_NE(abort, nullptr);

    const std::string text(2880, 'u');  // half a second at 57600 8N1
    uint32_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()), *abort, &written),
              0);
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(port->DrainOutput(*abort), 0);
    // Not before the line can have carried it (the tick count is coarse by some 16 ms).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
    EXPECT_EQ(device.Take(), text);
    EXPECT_FALSE(port->HungUp());

    ASSERT_EQ(port->Write(reinterpret_cast<const uint8_t*>(text.data()),
                          static_cast<uint32_t>(text.size()), *abort, &written),
              0);
    abort->Set();
    EXPECT_EQ(port->DrainOutput(*abort), ERR_CANCELLED);
}

// What the device sends reaches the caller through the port's own buffer; a shutdown ends a
// read that waits.
TEST(StuckDriver, ReadsDeliverAndAShutdownEndsAWaitingRead) {
    PipeDevice device(4096);
    ASSERT_TRUE(device.Valid());
    auto port = MakeSerialPort();
    ASSERT_EQ(port->Open(device.Path()), 0);
    ASSERT_TRUE(device.Send("ready>"));
    uint8_t buf[64];
    uint32_t got = 0;
    ASSERT_EQ(port->Read(buf, 3, &got), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "rea");
    ASSERT_EQ(port->Read(buf, sizeof buf, &got), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "dy>");

    std::atomic<int> code{-1};
    std::thread reader([&] { code.store(port->Read(buf, sizeof buf, &got)); });
    port->Shutdown();
    reader.join();
    EXPECT_EQ(code.load(), ERR_CANCELLED);
}

}  // namespace
}  // namespace korv
