// The update file's sharing rules, error texts, the program's own path and port device paths on
// Windows.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "Win32Support.h"
#include "platform/Program.h"
#include "platform/SysError.h"
#include "platform/UpdateFile.h"

namespace korv {
namespace {

using test::TempDir;

std::string ReadAll(CUpdateFile& file) {
    std::string out;
    char buf[7];
    uint32_t got = 0;
    while (file.Read(buf, sizeof buf, &got) == 0 && got > 0)
        out.append(buf, got);
    return out;
}

TEST(UpdateFile, ReadsFromTheFirstByteAndRewinds) {
    TempDir dir;
    const std::string path = dir.Write("update.txt", "* hello, tester");
    CUpdateFile file;
    ASSERT_EQ(file.Open(path), 0);
    EXPECT_EQ(file.Size(), 15u);
    EXPECT_EQ(ReadAll(file), "* hello, tester");
    ASSERT_EQ(file.Rewind(), 0);
    EXPECT_EQ(ReadAll(file), "* hello, tester");
}

TEST(UpdateFile, NobodyElseMayOpenItWhileItIsOpenAndAHeldFileIsRefused) {
    TempDir dir;
    const std::string path = dir.Write("update.txt", "* data");
    const std::wstring wide = win32::Widen(path);
    {
        CUpdateFile file;
        ASSERT_EQ(file.Open(path), 0);
        // Not even for reading: share mode 0.
        win32::UniqueHandle other(::CreateFileW(wide.c_str(), GENERIC_READ,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
        EXPECT_FALSE(other);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERR_BUSY));
    }
    // Another program holding it open, even one that lets others read, keeps it from us.
    win32::UniqueHandle holder(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    CUpdateFile file;
    EXPECT_EQ(file.Open(path), ERR_BUSY);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(SystemErrorText(ERR_BUSY).empty());
    holder.reset();
    EXPECT_EQ(file.Open(path), 0);
}

TEST(UpdateFile, OnlyFilesOnADiskAreUpdateFiles) {
    TempDir dir;
    CUpdateFile file;
    EXPECT_EQ(file.Open(dir.path()), ERR_NOT_REGULAR_FILE);
    EXPECT_EQ(file.Open("\\\\.\\NUL"), ERR_NOT_REGULAR_FILE);
    EXPECT_EQ(file.Open("NUL"), ERR_NOT_REGULAR_FILE);
    EXPECT_EQ(file.Open(dir.path() + "/missing.txt"), ERR_NOT_FOUND);
    EXPECT_FALSE(file.IsOpen());
}

TEST(UpdateFile, NamesBeyondTheAnsiCodePageOpen) {
    TempDir dir;
    const std::string path = dir.path() + "/Überprüfung-更新-ñ.txt";
    {
        std::ofstream out(std::filesystem::u8path(path), std::ios::binary);
        out << "* ok";
    }
    CUpdateFile file;
    ASSERT_EQ(file.Open(path), 0);
    EXPECT_EQ(ReadAll(file), "* ok");
}

TEST(SystemErrorText, GivesTheSystemsTextForItsCodes) {
    for (const int code : {ERR_NOT_FOUND, ERR_ACCESS_DENIED, ERR_BUSY, ERR_INVALID, ERR_CANCELLED,
                           ERR_PORT_LOST, ERR_NO_RESOURCES}) {
        const std::string text = SystemErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_NE(text.back(), '\n') << code;
        EXPECT_NE(text.back(), '\r') << code;
    }
    EXPECT_EQ(SystemErrorText(0), "");
    EXPECT_EQ(SystemErrorText(ERR_FILE_SHRANK), "The file became shorter while it was being sent");
    EXPECT_EQ(SystemErrorText(ERR_OWN_BASE + 77), "Unknown error 536870989");
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LastSystemError(), ERR_NOT_FOUND);
}

TEST(Program, KnowsItsOwnPath) {
    const std::string path = ProgramPath();
    ASSERT_GT(path.size(), 4u);
    EXPECT_EQ(path.substr(path.size() - 4), ".exe");
    EXPECT_EQ(path.rfind(ProgramFolder(), 0), 0u);
    EXPECT_EQ(ProgramFolder().back(), '\\');
}

TEST(DevicePath, IsTheNamesDeviceInTheWin32Namespace) {
    EXPECT_EQ(DevicePathForPort("COM5"), "\\\\.\\COM5");
    EXPECT_EQ(DevicePathForPort("COM12"), "\\\\.\\COM12");
    EXPECT_EQ(DevicePathForPort("\\\\.\\COM3"), "\\\\.\\COM3");
}

}  // namespace
}  // namespace korv
