#include "GuiDriver.h"

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace korv::test {

namespace {

constexpr auto kPoll = 5ms;
constexpr UINT kAnswerLimitMs = 10000;
// The open dialog's file-name box, and its older plain edit.
constexpr int kFileNameCombo = 0x47C;
constexpr int kFileNameEdit = 0x480;

struct FindRequest {
    DWORD pid;
    const wchar_t* cls;
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK FindTopProc(HWND hwnd, LPARAM param) {
    auto* req = reinterpret_cast<FindRequest*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != req->pid || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    wchar_t cls[256] = L"";
    GetClassNameW(hwnd, cls, 256);
    if (wcscmp(cls, req->cls) != 0) {
        return TRUE;
    }
    if (req->title != nullptr && Text(hwnd) != req->title) {
        return TRUE;
    }
    req->found = hwnd;
    return FALSE;
}

// The first window of that class at or below parent (the name box is an edit inside a combo box,
// inside an extended combo box in newer dialogs).
HWND FindDescendant(HWND parent, const wchar_t* cls) {
    if (parent == nullptr) {
        return nullptr;
    }
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[64] = L"";
        GetClassNameW(child, name, 64);
        if (_wcsicmp(name, cls) == 0) {
            return child;
        }
        if (const HWND found = FindDescendant(child, cls); found != nullptr) {
            return found;
        }
    }
    return nullptr;
}

}  // namespace

GuiProgram::GuiProgram(const std::wstring& exe, const std::wstring& args) {
    std::wstring command = L"\"" + exe + L"\" " + args;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &m_pi)) {
        m_pi = PROCESS_INFORMATION{};
        return;
    }
    WaitForInputIdle(m_pi.hProcess, 30000);
}

GuiProgram::~GuiProgram() {
    if (m_pi.hProcess == nullptr) {
        return;
    }
    if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 10000);
    }
    CloseHandle(m_pi.hThread);
    CloseHandle(m_pi.hProcess);
}

DWORD GuiProgram::WaitExit(std::chrono::milliseconds limit) {
    if (WaitForSingleObject(m_pi.hProcess, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

HWND GuiProgram::FindTop(const wchar_t* cls, const wchar_t* title) const {
    FindRequest req{m_pi.dwProcessId, cls, title, nullptr};
    EnumWindows(&FindTopProc, reinterpret_cast<LPARAM>(&req));
    return req.found;
}

HWND GuiProgram::WaitTop(const wchar_t* cls, const wchar_t* title,
                         std::chrono::milliseconds limit) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindTop(cls, title)) != nullptr; }, limit);
    return found;
}

std::wstring DesktopExe() {
    if (const char* exe = std::getenv("KORV_KORVALIN_EXE"); exe != nullptr && *exe != '\0') {
        return Widen(exe);
    }
    return DosPath(KORVALIN_EXE);
}

bool Contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

TempFile::TempFile(const std::wstring& name, const std::string& content) : m_content(content) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    m_path =
        std::wstring(dir) + L"korv-wingui-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
    const HANDLE file = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

TempFile::~TempFile() {
    DeleteFileW(m_path.c_str());
}

std::string UpdateBytes(size_t size) {
    std::string bytes = "* KORVALIN test update\r\n";
    for (int line = 0; bytes.size() < size; ++line) {
        char text[64];
        std::snprintf(text, sizeof text, "%06d 0123456789 ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n", line);
        bytes += text;
    }
    bytes.resize(size);
    return bytes;
}

std::wstring DismissMessageBox(const GuiProgram& program, int button) {
    const HWND box = program.WaitTop(L"#32770", L"KORVALIN");
    if (box == nullptr) {
        return {};
    }
    const std::wstring message = StaticTexts(box);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
    WaitUntil([&] { return !IsWindow(box); });
    return message;
}

bool WaitUntil(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (cond()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

std::wstring Text(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kAnswerLimitMs,
                             &length)) {
        return {};
    }
    std::vector<wchar_t> buf(length + 1);
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()),
                             SMTO_ABORTIFHUNG, kAnswerLimitMs, &got)) {
        return {};
    }
    return std::wstring(buf.data(), std::min<size_t>(got, length));
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (const wchar_t c : s) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

std::wstring Widen(const std::string& s) {
    std::wstring out;
    for (const unsigned char c : s) {
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::wstring DosPath(const std::string& unixPath) {
    std::wstring w = L"Z:";
    for (const unsigned char c : unixPath) {
        w += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    }
    return w;
}

void Click(HWND button) {
    PostMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

bool ChooseFile(HWND dialog, const std::wstring& path) {
    // The dialog may still be filling in its controls when it first shows.
    HWND edit = nullptr;
    WaitUntil(
        [&] {
            edit = FindDescendant(GetDlgItem(dialog, kFileNameCombo), L"Edit");
            if (edit == nullptr) {
                edit = GetDlgItem(dialog, kFileNameEdit);
            }
            return edit != nullptr || !IsWindow(dialog);
        },
        10s);
    if (edit == nullptr) {
        return false;
    }
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                        SMTO_ABORTIFHUNG, kAnswerLimitMs, &ignored);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    return true;
}

std::wstring ChildIds(HWND dialog) {
    std::wstring all;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = L"";
        GetClassNameW(child, cls, 64);
        all += std::to_wstring(GetDlgCtrlID(child)) + L":" + cls + L" ";
    }
    return all;
}

void Cancel(HWND dialog) {
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
}

std::wstring StaticTexts(HWND dialog) {
    std::wstring all;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = L"";
        GetClassNameW(child, cls, 64);
        if (_wcsicmp(cls, L"Static") == 0) {
            all += Text(child) + L"\n";
        }
    }
    return all;
}

namespace {

// The screen's pixels in the rectangle, row by row (one copy, not a call per pixel).
std::vector<RGBQUAD> ScreenPixels(const RECT& rc) {
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    if (cx <= 0 || cy <= 0) {
        return {};
    }
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, cx, cy);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, cx, cy, screen, rc.left, rc.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = cx;
    bi.bmiHeader.biHeight = -cy;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    std::vector<RGBQUAD> pixels(static_cast<size_t>(cx) * cy);
    if (GetDIBits(memory, bitmap, 0, cy, pixels.data(), &bi, DIB_RGB_COLORS) != cy) {
        pixels.clear();
    }
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

}  // namespace

int PixelsNear(const RECT& rc, COLORREF colour) {
    constexpr int kSteps = 8;
    auto within = [](int a, int b) { return a - b <= kSteps && b - a <= kSteps; };
    int count = 0;
    for (const RGBQUAD& p : ScreenPixels(rc)) {
        count += within(p.rgbRed, GetRValue(colour)) && within(p.rgbGreen, GetGValue(colour)) &&
                         within(p.rgbBlue, GetBValue(colour))
                     ? 1
                     : 0;
    }
    return count;
}

int DarkPixels(const RECT& rc) {
    int dark = 0;
    for (const RGBQUAD& p : ScreenPixels(rc)) {
        dark += p.rgbRed < 48 && p.rgbGreen < 48 && p.rgbBlue < 48 ? 1 : 0;
    }
    return dark;
}

int BrightPixels(const RECT& rc) {
    int bright = 0;
    for (const RGBQUAD& p : ScreenPixels(rc)) {
        bright += p.rgbRed > 200 && p.rgbGreen > 200 && p.rgbBlue > 200 ? 1 : 0;
    }
    return bright;
}

namespace {

// Room for one LVITEMW or RECT and the text of a cell.
constexpr size_t kRemoteTextChars = 1024;
constexpr size_t kRemoteBytes = 256 + kRemoteTextChars * sizeof(wchar_t);
constexpr size_t kRemoteTextOffset = 256;

}  // namespace

RemoteList::RemoteList(HWND list) : m_list(list) {
    DWORD pid = 0;
    GetWindowThreadProcessId(list, &pid);
    m_process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (m_process != nullptr) {
        m_memory = VirtualAllocEx(m_process, nullptr, kRemoteBytes, MEM_COMMIT | MEM_RESERVE,
                                  PAGE_READWRITE);
    }
}

RemoteList::~RemoteList() {
    if (m_memory != nullptr) {
        VirtualFreeEx(m_process, m_memory, 0, MEM_RELEASE);
    }
    if (m_process != nullptr) {
        CloseHandle(m_process);
    }
}

bool RemoteList::Call(UINT msg, WPARAM wParam, const void* in, size_t inSize, void* out,
                      size_t outSize, LRESULT* result) const {
    if (m_memory == nullptr || !WriteProcessMemory(m_process, m_memory, in, inSize, nullptr)) {
        return false;
    }
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutW(m_list, msg, wParam, reinterpret_cast<LPARAM>(m_memory),
                             SMTO_ABORTIFHUNG, kAnswerLimitMs, &answer)) {
        return false;
    }
    if (result != nullptr) {
        *result = static_cast<LRESULT>(answer);
    }
    return out == nullptr || ReadProcessMemory(m_process, m_memory, out, outSize, nullptr);
}

int RemoteList::Count() const {
    DWORD_PTR count = 0;
    SendMessageTimeoutW(m_list, LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, kAnswerLimitMs, &count);
    return static_cast<int>(count);
}

std::wstring RemoteList::Cell(int item, int sub) const {
    LVITEMW lv{};
    lv.iSubItem = sub;
    lv.cchTextMax = static_cast<int>(kRemoteTextChars);
    lv.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(m_memory) + kRemoteTextOffset);
    std::vector<char> back(kRemoteBytes);
    LRESULT length = 0;
    if (!Call(LVM_GETITEMTEXTW, static_cast<WPARAM>(item), &lv, sizeof lv, back.data(), back.size(),
              &length)) {
        return {};
    }
    const auto* text = reinterpret_cast<const wchar_t*>(back.data() + kRemoteTextOffset);
    return std::wstring(text, wcsnlen(text, kRemoteTextChars));
}

std::wstring RemoteList::Row(int item, int columns) const {
    std::wstring row;
    for (int sub = 0; sub < columns; ++sub) {
        row += (sub > 0 ? L" | " : L"") + Cell(item, sub);
    }
    return row;
}

int RemoteList::Selected() const {
    DWORD_PTR item = 0;
    SendMessageTimeoutW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED,
                        SMTO_ABORTIFHUNG, kAnswerLimitMs, &item);
    return static_cast<int>(static_cast<LRESULT>(item));
}

bool RemoteList::Select(int item) {
    LVITEMW lv{};
    lv.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    lv.state = LVIS_SELECTED | LVIS_FOCUSED;
    LRESULT ok = 0;
    return Call(LVM_SETITEMSTATE, static_cast<WPARAM>(item), &lv, sizeof lv, nullptr, 0, &ok) &&
           ok != 0;
}

RECT RemoteList::ItemScreenRect(int item) const {
    RECT rc{LVIR_BOUNDS, 0, 0, 0};
    if (!Call(LVM_GETITEMRECT, static_cast<WPARAM>(item), &rc, sizeof rc, &rc, sizeof rc,
              nullptr)) {
        return RECT{};
    }
    MapWindowPoints(m_list, nullptr, reinterpret_cast<POINT*>(&rc), 2);
    return rc;
}

bool CaptureWindow(HWND hwnd, const std::wstring& bmpPath) {
    RECT rc{};
    GetWindowRect(hwnd, &rc);
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    if (cx <= 0 || cy <= 0) {
        return false;
    }
    BITMAPINFOHEADER bih{};
    bih.biSize = sizeof bih;
    bih.biWidth = cx;
    bih.biHeight = cy;  // bottom-up, as the file stores it
    bih.biPlanes = 1;
    bih.biBitCount = 24;
    bih.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(cx) * 3 + 3) & ~3u;
    bih.biSizeImage = stride * static_cast<DWORD>(cy);

    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    const HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&bih),
                                            DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr) {
        const HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, cx, cy, screen, rc.left, rc.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, old);
        if (ok) {
            BITMAPFILEHEADER bfh{};
            bfh.bfType = 0x4D42;  // "BM"
            bfh.bfOffBits = sizeof bfh + sizeof bih;
            bfh.bfSize = bfh.bfOffBits + bih.biSizeImage;
            const HANDLE file = CreateFileW(bmpPath.c_str(), GENERIC_WRITE, 0, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            ok = file != INVALID_HANDLE_VALUE &&
                 WriteFile(file, &bfh, sizeof bfh, &written, nullptr) &&
                 WriteFile(file, &bih, sizeof bih, &written, nullptr) &&
                 WriteFile(file, bits, bih.biSizeImage, &written, nullptr);
            if (file != INVALID_HANDLE_VALUE) {
                CloseHandle(file);
            }
        }
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace korv::test
