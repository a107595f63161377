// The Windows serial port without a COM port behind it, and how it reads the ends of transfers
// that drivers report (some of which no test machine can produce).

#include <gtest/gtest.h>

#include "platform/win32/CommEnd.h"

#include <ostream>
#include <string>

#include "platform/Event.h"
#include "platform/SerialPort.h"
#include "platform/SysError.h"

namespace korv {
namespace {

TEST(SerialPort, AMissingPortIsReportedAndNothingWaitsForIt) {
    auto port = MakeSerialPort();
    const int err = port->Open(DevicePathForPort("COM219"));
    EXPECT_NE(err, 0);
    EXPECT_FALSE(SystemErrorText(err).empty());
    // Nothing open: every transfer is refused at once, none blocks.
    uint8_t buf[4];
    uint32_t got = 0;
    EXPECT_NE(port->Read(buf, sizeof buf, &got), 0);
    auto abort = Event::Create(nullptr);
    ASSERT_NE(abort, nullptr);
    EXPECT_NE(port->Write(buf, sizeof buf, *abort, &got), 0);
    EXPECT_EQ(got, 0u);
}

struct EndCase {
    const char* what;
    win32::CommOp op;
    DWORD err;
    DWORD moved;
    bool stopRequested;
    int code;
    bool lineGone;
};

void PrintTo(const EndCase& c, std::ostream* os) {
    *os << c.what;
}

class TransferEndTest : public ::testing::TestWithParam<EndCase> {};

constexpr win32::CommOp R = win32::CommOp::READ;
constexpr win32::CommOp W = win32::CommOp::WRITE;

// The bytes moved before any end are the caller's; a time-out is a short transfer; the
// program's own cancel is the only cancel.
TEST_P(TransferEndTest, Reads) {
    const EndCase& c = GetParam();
    const win32::CommEnd end = win32::EndWithError(c.op, c.err, c.moved, c.stopRequested);
    EXPECT_EQ(end.code, c.code) << SystemErrorText(end.code);
    EXPECT_EQ(end.moved, c.moved);
    EXPECT_EQ(end.lineGone, c.lineGone);
}

INSTANTIATE_TEST_SUITE_P(
    Win32Port, TransferEndTest,
    ::testing::Values(
        EndCase{"WriteTimeOut", W, ERROR_TIMEOUT, 100, false, 0, false},
        EndCase{"WriteSemaphoreTimeOut", W, ERROR_SEM_TIMEOUT, 0, false, 0, false},
        EndCase{"ReadTimeOut", R, ERROR_TIMEOUT, 9, false, ERROR_TIMEOUT, false},
        EndCase{"OwnCancel", W, ERROR_OPERATION_ABORTED, 12, true, ERR_CANCELLED, false},
        EndCase{"DriverAbortedTheRead", R, ERROR_OPERATION_ABORTED, 7, false, ERR_PORT_LOST, true},
        EndCase{"DriverAbortedTheWrite", W, ERROR_OPERATION_ABORTED, 0, false, ERR_PORT_LOST, true},
        EndCase{"FarEndClosedMidRead", R, ERROR_BROKEN_PIPE, 5, false, ERR_PORT_LOST, true},
        EndCase{"AdapterRemoved", W, ERROR_DEVICE_REMOVED, 0, true, ERR_PORT_LOST, true},
        EndCase{"NoSuchDevice", R, ERROR_NO_SUCH_DEVICE, 0, false, ERR_PORT_LOST, true},
        EndCase{"DeviceDoesNotExist", R, ERROR_DEV_NOT_EXIST, 2, false, ERR_PORT_LOST, true},
        EndCase{"IoDeviceError", W, ERROR_IO_DEVICE, 0, false, ERR_PORT_LOST, true},
        EndCase{"OtherError", R, ERROR_INVALID_PARAMETER, 3, false, ERROR_INVALID_PARAMETER, false},
        EndCase{"NoCode", W, 0, 0, false, ERR_INVALID, false}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.what); });

// Closing waits for queued output while it keeps leaving, never for a line that has stopped.
TEST(Win32Port, CloseWaitsForOutputOnlyWhileItMoves) {
    using win32::CloseWaitsForOutput;
    EXPECT_FALSE(CloseWaitsForOutput(0, 0, 0));
    EXPECT_TRUE(CloseWaitsForOutput(4096, 0, 0));
    EXPECT_TRUE(CloseWaitsForOutput(1, win32::kCloseStallMs - 1, win32::kCloseLimitMs - 1));
    EXPECT_FALSE(CloseWaitsForOutput(1, win32::kCloseStallMs, 0));
    EXPECT_FALSE(CloseWaitsForOutput(1, 0, win32::kCloseLimitMs));
    // The system is ending the process: a second at most, within the few it allows.
    EXPECT_TRUE(CloseWaitsForOutput(1, 0, win32::kEndingCloseLimitMs - 1, true));
    EXPECT_FALSE(CloseWaitsForOutput(1, 0, win32::kEndingCloseLimitMs, true));
}

// A write may take its time-out and a little more, never for ever; a line without a time-out
// is held as long as the system holds it. The line's time is rounded up, never down.
TEST(Win32Port, WritesAreBoundedAndLineTimeRoundsUp) {
    using win32::kStuckIoMs;
    using win32::LineTimeMs;
    using win32::WriteBoundMs;
    EXPECT_EQ(WriteBoundMs(512, 1, 1000), 512u + 1000u + kStuckIoMs);
    EXPECT_EQ(WriteBoundMs(0, 1, 1000), 1000u + kStuckIoMs);
    EXPECT_EQ(WriteBoundMs(512, 0, 0), INFINITE);
    EXPECT_LT(WriteBoundMs(0xFFFFFFFFu, 0xFFFFFFFFu, 1), INFINITE);
    EXPECT_EQ(LineTimeMs(5760, 10, 57600), 1000u);
    EXPECT_EQ(LineTimeMs(1, 10, 57600), 1u);
    EXPECT_EQ(LineTimeMs(0, 10, 57600), 0u);
    EXPECT_EQ(LineTimeMs(100, 10, 0), 0u);
}

}  // namespace
}  // namespace korv
