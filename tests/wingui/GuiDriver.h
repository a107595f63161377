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

// The desktop program under test: the build's, or the copy KORV_KORVALIN_EXE names by its
// Windows path (the installer's check runs the session against the installed program).
std::wstring DesktopExe();

// Polls cond every few milliseconds until it holds or limit has passed.
bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit = 30s);

// A window's text (WM_GETTEXT, with a bound on how long the program may take to answer).
std::wstring Text(HWND hwnd);
std::string Narrow(const std::wstring& s);
std::wstring Widen(const std::string& s);
// A Unix path as the program under Wine sees it (drive Z: is the Unix root).
std::wstring DosPath(const std::string& unixPath);

bool Contains(const std::wstring& text, const std::wstring& part);

// A file in this process's temporary folder, removed at the end.
class TempFile {
  public:
    TempFile(const std::wstring& name, const std::string& content);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::wstring& Path() const { return m_path; }
    const std::string& Content() const { return m_content; }

  private:
    std::wstring m_path;
    std::string m_content;
};

// An update file: the "* " header, then numbered lines up to size bytes.
std::string UpdateBytes(size_t size);

// Dismisses the program's message box (caption "KORVALIN") with the button (IDOK, IDYES, IDNO)
// and returns its message; empty when no box came.
std::wstring DismissMessageBox(const GuiProgram& program, int button = IDOK);

// A button click as the dialog manager reports it to the button's parent.
void Click(HWND button);
// Chooses a file in the program's open dialog and confirms it.
bool ChooseFile(HWND dialog, const std::wstring& path);
void Cancel(HWND dialog);
// The ids and classes of a window's children (for failure messages).
std::wstring ChildIds(HWND dialog);
// The text of the dialog's static controls, joined by new lines (a message box's message).
std::wstring StaticTexts(HWND dialog);

// A list view (report view) of another process, read and driven as a screen reader does: the
// messages that carry a pointer get one into memory of that process.
class RemoteList {
  public:
    explicit RemoteList(HWND list);
    ~RemoteList();
    RemoteList(const RemoteList&) = delete;
    RemoteList& operator=(const RemoteList&) = delete;

    bool Ok() const { return m_memory != nullptr; }
    int Count() const;
    // The text of a cell (item's column sub), as the list hands it out.
    std::wstring Cell(int item, int sub) const;
    // The row as one line, its cells joined by " | " (for failure messages).
    std::wstring Row(int item, int columns) const;
    int Selected() const;
    // Selects the row (and gives it the list's focus mark), as a click on it does.
    bool Select(int item);
    // The row's rectangle on the screen.
    RECT ItemScreenRect(int item) const;

  private:
    bool Call(UINT msg, WPARAM wParam, const void* in, size_t inSize, void* out, size_t outSize,
              LRESULT* result) const;

    HWND m_list;
    HANDLE m_process = nullptr;
    void* m_memory = nullptr;
};

// How many pixels in the screen rectangle are near black (text in the menu colour; greyed
// text has none).
int DarkPixels(const RECT& screenRect);
// How many are near white.
int BrightPixels(const RECT& screenRect);
// How many are within a few steps of the colour in each of red, green and blue.
int PixelsNear(const RECT& screenRect, COLORREF colour);

// Writes what the screen shows of the window (its frame included) to a 24-bit BMP file.
bool CaptureWindow(HWND hwnd, const std::wstring& bmpPath);

}  // namespace korv::test
