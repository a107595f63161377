// Text on a Windows console: shown as written whatever the console's code page (the program
// never changes it), and standard output and standard error in the one order they were written,
// the progress line taken down before the tester's text. A console of the test's own.

#include "platform/win32/Win32.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Wait.h"
#include "console/ConsoleOutput.h"
#include "platform/ConsoleIo.h"
#include "platform/Program.h"

namespace korv {
namespace {

// A console for this process, cleared, with the code page a Western European console has.
class OwnConsole {
  public:
    OwnConsole() {
        ::FreeConsole();
        m_ok = ::AllocConsole() && ::SetConsoleOutputCP(850);
        m_screen =
            ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        CONSOLE_SCREEN_BUFFER_INFO info{};
        m_ok = m_ok && m_screen != INVALID_HANDLE_VALUE &&
               ::GetConsoleScreenBufferInfo(m_screen, &info);
        m_width = info.dwSize.X;
        DWORD n = 0;
        ::FillConsoleOutputCharacterW(m_screen, L' ', info.dwSize.X * info.dwSize.Y, COORD{0, 0},
                                      &n);
        ::SetConsoleCursorPosition(m_screen, COORD{0, 0});
    }
    ~OwnConsole() {
        for (std::FILE* f : m_streams)
            std::fclose(f);
        if (m_screen != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_screen);
        ::FreeConsole();
    }
    bool Ok() const { return m_ok; }
    int Width() const { return m_width; }
    // A stream of its own on the console, as standard output or error would be.
    std::FILE* Stream() {
        const HANDLE h =
            ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
        std::FILE* f = fd >= 0 ? ::_fdopen(fd, "wb") : nullptr;
        if (f != nullptr)
            m_streams.push_back(f);
        return f;
    }
    // The screen's rows, trailing blanks taken off.
    std::vector<std::wstring> Rows(int count) const {
        std::vector<std::wstring> rows;
        for (int y = 0; y < count; ++y) {
            std::wstring row(static_cast<size_t>(m_width), L' ');
            DWORD n = 0;
            ::ReadConsoleOutputCharacterW(m_screen, row.data(), static_cast<DWORD>(row.size()),
                                          COORD{0, static_cast<SHORT>(y)}, &n);
            row.resize(n);
            row.erase(row.find_last_not_of(L' ') + 1);
            rows.push_back(row);
        }
        return rows;
    }

  private:
    bool m_ok = false;
    HANDLE m_screen = INVALID_HANDLE_VALUE;
    int m_width = 0;
    std::vector<std::FILE*> m_streams;
};

TEST(ConsoleText, OneOrderForBothStreamsAndTextBeyondTheCodePage) {
    OwnConsole console;
    ASSERT_TRUE(console.Ok()) << ::GetLastError();
    std::FILE* out = console.Stream();
    std::FILE* err = console.Stream();
    ASSERT_TRUE(out && err);
    EXPECT_TRUE(IsWindowsConsole(out));
    constexpr int kLines = 8;
    // A long message first keeps the writer busy while the tester's text follows it.
    const int width = console.Width();
    const std::string longMessage(static_cast<size_t>(width) * 12 - 11, 'm');
    {
        CConsoleOutput output(out, err, true, true);
        output.SetStamp(nullptr);
        output.Message(longMessage);
        for (int i = 0; i < kLines; ++i) {
            output.ShowProgress(" " + std::to_string(i * 8) + "%  1.0/12.0 KiB 5.6 KiB/s");
            for (const char ch : "tester line " + std::to_string(i) + "\r\n")
                output.Echo(ch);
            output.FlushOut();
        }
        output.Message("Sent 'Überprüfung-€-Ω.txt'.");
        // The character's bytes split over two writes still make one character.
        const std::string split = "Ω end\n";
        output.Error(split.substr(0, 1));
        output.Error(split.substr(1));
    }
    EXPECT_EQ(::GetConsoleOutputCP(), 850u);
    const std::vector<std::wstring> rows = console.Rows(12 + kLines + 2);
    std::wstring first;
    for (int i = 0; i < 12; ++i)
        first += rows[i];
    EXPECT_EQ(first, L"KORVALIN: " + std::wstring(longMessage.size(), L'm'));
    for (int i = 0; i < kLines; ++i)
        EXPECT_EQ(rows[12 + i], L"tester line " + std::to_wstring(i)) << "row " << 12 + i;
    EXPECT_EQ(rows[12 + kLines], L"KORVALIN: Sent '\u00dcberpr\u00fcfung-\u20ac-\u03a9.txt'.");
    EXPECT_EQ(rows[12 + kLines + 1], L"\u03a9 end");
}

TEST(ConsoleText, WriteTextShowsTextBeyondTheCodePage) {
    OwnConsole console;
    ASSERT_TRUE(console.Ok()) << ::GetLastError();
    std::FILE* out = console.Stream();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(WriteText(out, "Every port in 'rapport-€.jsonl' got its update.\n"), 0);
    EXPECT_EQ(console.Rows(1)[0], L"Every port in 'rapport-\u20ac.jsonl' got its update.");
}

std::atomic<int> g_ctrlC{0};

BOOL WINAPI CountCtrlC(DWORD type) {
    if (type != CTRL_C_EVENT)
        return FALSE;
    g_ctrlC.fetch_add(1);
    return TRUE;
}

// A program started in a new process group inherits Ctrl+C as ignored; the program takes it back.
TEST(ConsoleText, CtrlCIsHeardEvenWhenTheProcessWasStartedIgnoringIt) {
    OwnConsole console;
    ASSERT_TRUE(console.Ok()) << ::GetLastError();
    ASSERT_TRUE(::SetConsoleCtrlHandler(CountCtrlC, TRUE));
    ASSERT_TRUE(::SetConsoleCtrlHandler(nullptr, TRUE));  // as CREATE_NEW_PROCESS_GROUP leaves it
    PrepareStandardStreams();
    ASSERT_TRUE(::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << ::GetLastError();
    EXPECT_TRUE(test::WaitUntil([] { return g_ctrlC.load() > 0; }));
    ::SetConsoleCtrlHandler(CountCtrlC, FALSE);
}

}  // namespace
}  // namespace korv
