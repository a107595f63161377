// The update file's and the logs' sharing rules, error texts, the program's own path and port
// device paths on Windows.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TempDir.h"
#include "Win32Support.h"
#include "platform/ConsoleIo.h"
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

// What other programs may do with the update file while it is open, and what a holder of it
// does to the open: readers share it both ways, writers are kept out both ways.
TEST(UpdateFile, ReadersShareItWritersAreKeptOut) {
    TempDir dir;
    const std::string path = dir.Write("update.txt", "* data");
    const std::wstring wide = win32::Widen(path);
    auto openOther = [&](DWORD access, DWORD share) {
        return win32::UniqueHandle(
            ::CreateFileW(wide.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    {
        CUpdateFile file;
        ASSERT_EQ(file.Open(path), 0);
        // A viewer reads it meanwhile.
        EXPECT_TRUE(openOther(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE));
        // A writer does not get in.
        EXPECT_FALSE(openOther(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERR_BUSY));
    }
    {
        // An editor showing the file (read access, read sharing) does not stop the transfer.
        const win32::UniqueHandle viewer = openOther(GENERIC_READ, FILE_SHARE_READ);
        ASSERT_TRUE(viewer);
        CUpdateFile file;
        ASSERT_EQ(file.Open(path), 0);
        EXPECT_EQ(ReadAll(file), "* data");
    }
    // Another program holding it open for writing, even one that lets others read, keeps it
    // from us.
    win32::UniqueHandle holder =
        openOther(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder);
    CUpdateFile file;
    EXPECT_EQ(file.Open(path), ERR_BUSY);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(SystemErrorText(ERR_BUSY).empty());
    holder.reset();
    EXPECT_EQ(file.Open(path), 0);
}

// Logs and the report are only added to; whoever else holds them open (a spreadsheet showing the
// report, a viewer that opens for writing, a second run adding to the same report), and a rename
// or delete meanwhile, never stops a run from keeping its record.
TEST(LogFile, IsAddedToWhileOthersHoldItAndMayBeRenamedMeanwhile) {
    TempDir dir;
    const std::string path = dir.Write("report.jsonl", "{\"old\":1}\n");
    const std::wstring wide = win32::Widen(path);
    const win32::UniqueHandle spreadsheet(
        ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(spreadsheet);
    int err = 0;
    std::FILE* first = OpenForAppend(path, &err);
    ASSERT_NE(first, nullptr) << SystemErrorText(err);
    std::FILE* second = OpenForAppend(path, &err);
    ASSERT_NE(second, nullptr) << SystemErrorText(err);
    std::fputs("{\"run\":1}\n", first);
    std::fflush(first);
    std::fputs("{\"run\":2}\n", second);
    std::fflush(second);
    std::fputs("{\"run\":1,\"end\":true}\n", first);
    std::fflush(first);
    EXPECT_EQ(std::fclose(second), 0);
    // Renamed away (an operator archiving the report) while the first run still writes.
    const std::wstring moved = win32::Widen(dir / "archived.jsonl");
    EXPECT_TRUE(::MoveFileW(wide.c_str(), moved.c_str())) << ::GetLastError();
    EXPECT_EQ(std::fclose(first), 0);
    std::ifstream in(std::filesystem::u8path(dir / "archived.jsonl"), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "{\"old\":1}\n{\"run\":1}\n{\"run\":2}\n{\"run\":1,\"end\":true}\n");
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
