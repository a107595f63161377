// The Windows serial port without a COM port behind it.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korv
