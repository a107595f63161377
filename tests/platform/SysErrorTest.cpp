// Tests of the error texts and of the port-name to device-path mapping (pure functions, tables).

#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>

#include "platform/SerialPort.h"
#include "platform/SysError.h"

namespace korv {
namespace {

struct TextCase {
    int err;
    const char* text;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << "error " << c.err;
}

class SystemErrorTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(SystemErrorTextTest, GivesTheText) {
    EXPECT_EQ(SystemErrorText(GetParam().err), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SystemErrorTextTest,
    ::testing::Values(
        TextCase{0, ""}, TextCase{ENOENT, "No such file or directory"},
        TextCase{EBUSY, "Device or resource busy"},
        TextCase{ENOTTY, "Inappropriate ioctl for device"}, TextCase{EIO, "Input/output error"},
        TextCase{ERR_NOT_REGULAR_FILE,
                 "Not a regular file (a directory, pipe or device cannot be an update file)"},
        TextCase{ERR_FILE_SHRANK, "The file became shorter while it was being sent"},
        TextCase{ERR_OWN_BASE + 77, "Unknown error 536870989"},
        TextCase{99999, "Unknown error 99999"}));

// A server's text travels as a code: the same text gets the same code, another text another one,
// and a code never given has no text of its own.
TEST(SystemErrorText, ServerTextsAreCarriedByCode) {
    const int inUse = ServerTextError("Port already in use");
    EXPECT_EQ(ServerTextError("Port already in use"), inUse);
    const int other = ServerTextError("Go away");
    EXPECT_NE(other, inUse);
    EXPECT_EQ(SystemErrorText(inUse), "Port already in use");
    EXPECT_EQ(SystemErrorText(other), "Go away");
    EXPECT_EQ(SystemErrorText(ERR_TEXT_BASE + kMaxServerTexts - 2),
              "Unknown error " + std::to_string(ERR_TEXT_BASE + kMaxServerTexts - 2));
}

TEST(SystemErrorText, NoErrnoTextEndsInALineEnd) {
    for (int err = 1; err < 200; ++err) {
        std::string text = SystemErrorText(err);
        ASSERT_FALSE(text.empty()) << err;
        EXPECT_NE(text.back(), '\n') << err;
        EXPECT_NE(text.back(), '\r') << err;
    }
}

struct PathCase {
    const char* name;
    const char* path;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.name;
}

class DevicePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(DevicePathTest, MapsTheName) {
    EXPECT_EQ(DevicePathForPort(GetParam().name), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DevicePathTest,
    ::testing::Values(
        PathCase{"COM1", "/dev/ttyS0"}, PathCase{"COM2", "/dev/ttyS1"},
        PathCase{"COM10", "/dev/ttyS9"}, PathCase{"COM007", "/dev/ttyS6"},
        PathCase{"COM0", "/dev/COM0"}, PathCase{"COM", "/dev/COM"}, PathCase{"COMx", "/dev/COMx"},
        PathCase{"COM1A", "/dev/COM1A"}, PathCase{"COM-1", "/dev/COM-1"},
        PathCase{"COM99999999999", "/dev/COM99999999999"}, PathCase{"ttyUSB0", "/dev/ttyUSB0"},
        PathCase{"ttyS0", "/dev/ttyS0"}, PathCase{"/dev/pts/3", "/dev/pts/3"},
        PathCase{"/dev/serial/by-id/usb-FTDI-if00", "/dev/serial/by-id/usb-FTDI-if00"}));

}  // namespace
}  // namespace korv
