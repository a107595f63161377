#pragma once
// Drives korvalin.exe through its real windows from another process, as an operator (or a
// screen reader) would: starts the program, finds its windows and controls, clicks, fills the
// file dialog and reads the panel back from the controls. Every wait is bounded.

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace korv::test {

using namespace std::chrono_literals;

// The program under test, ended (if still running) when this goes.
class GuiProgram {
  public:
    // Starts exe with the arguments (already quoted as a command-line tail).
    GuiProgram(const std::wstring& exe, const std::wstring& args);
    ~GuiProgram();
    GuiProgram(const GuiProgram&) = delete;
    GuiProgram& operator=(const GuiProgram&) = delete;

    bool Started() const { return m_pi.hProcess != nullptr; }
    DWORD Pid() const { return m_pi.dwProcessId; }
    HANDLE Process() const { return m_pi.hProcess; }
    // Exit code once the program has ended within limit; STILL_ACTIVE otherwise.
    DWORD WaitExit(std::chrono::milliseconds limit);

    // A top-level window of the program with this class (and title, when not null).
    HWND FindTop(const wchar_t* cls, const wchar_t* title) const;
    HWND WaitTop(const wchar_t* cls, const wchar_t* title,
                 std::chrono::milliseconds limit = 30s) const;

  private:
    PROCESS_INFORMATION m_pi{};
};

// Polls cond every few milliseconds until it holds or limit has passed.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s);

// A window's text (WM_GETTEXT, with a bound on how long the program may take to answer).
std::wstring Text(HWND hwnd);
std::string Narrow(const std::wstring& s);
std::wstring Widen(const std::string& s);
// A Unix path as the program under Wine sees it (drive Z: is the Unix root).
std::wstring DosPath(const std::string& unixPath);

// A button click as the dialog manager reports it to the button's parent.
void Click(HWND button);
// Chooses a file in the program's open dialog and confirms it.
bool ChooseFile(HWND dialog, const std::wstring& path);
void Cancel(HWND dialog);
// The ids and classes of a window's children (for failure messages).
std::wstring ChildIds(HWND dialog);
// The text of the dialog's static controls, joined by new lines (a message box's message).
std::wstring StaticTexts(HWND dialog);

// How many pixels in the screen rectangle are near black (text in the menu colour; greyed
// text has none).
int DarkPixels(const RECT& screenRect);
// How many are near white.
int BrightPixels(const RECT& screenRect);

// Writes what the screen shows of the window (its frame included) to a 24-bit BMP file.
bool CaptureWindow(HWND hwnd, const std::wstring& bmpPath);

}  // namespace korv::test
