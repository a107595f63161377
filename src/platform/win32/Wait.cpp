// The wait on Windows: WaitForMultipleObjects over event objects. Ctrl+C and Ctrl+Break arrive
// on a thread of the system's making, which only signals an event; the end of the session
// arrives at a hidden window on a thread of the interrupt's own; typed input is read by a thread
// of our own, since console and pipe handles cannot be waited on for "a line is there".

#include "platform/win32/Win32.h"

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <mutex>

#include "platform/Wait.h"

namespace korv {

int WaitForAny(const WaitHandle* handles, size_t count, int timeoutMs, int* err) {
    if (count == 0 || count > kMaxWaitHandles) {
        if (err)
            *err = ERROR_INVALID_PARAMETER;
        return WAIT_RESULT_FAILED;
    }
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    const DWORD r = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, limit);
    if (r < WAIT_OBJECT_0 + count)
        return static_cast<int>(r - WAIT_OBJECT_0);
    if (r >= WAIT_ABANDONED_0 && r < WAIT_ABANDONED_0 + count)
        return static_cast<int>(r - WAIT_ABANDONED_0);
    if (r == WAIT_TIMEOUT)
        return WAIT_RESULT_TIMEOUT;
    if (err)
        *err = static_cast<int>(::GetLastError());
    return WAIT_RESULT_FAILED;
}

namespace {

// The event the console's control handler signals. A handler can reach nothing else; a process
// has one interrupt at a time.
std::atomic<HANDLE> g_interruptEvent{nullptr};
std::atomic<int> g_interrupts{0};
// Set when the interrupt's owner is done: the run has acted on the request and said so.
std::atomic<bool> g_finished{false};
std::atomic<bool> g_processEnding{false};

constexpr DWORD kCloseLookMs = 20;
// How long the interrupt's destructor waits for its window's thread to end.
constexpr DWORD kWindowStopMs = 5000;
const wchar_t kSessionWindowClass[] = L"KorvalinSessionEnd";

// The system ends the process soon (the console window closes, the session ends): a request to
// stop, like a hang-up on Linux. The transfers are aborted, and the logs and records say so,
// while this holds the system, at most kEndHoldMs (it allows about 5 s). False when nobody is
// there to act on it.
bool RaiseAndHold() {
    HANDLE event = g_interruptEvent.load();
    if (event == nullptr)
        return false;
    MarkProcessEnding();
    g_interrupts.fetch_add(1);
    ::SetEvent(event);
    const ULONGLONG start = ::GetTickCount64();
    while (!g_finished.load() && ::GetTickCount64() - start < static_cast<ULONGLONG>(kEndHoldMs))
        ::Sleep(kCloseLookMs);
    return true;
}

LRESULT CALLBACK SessionWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_QUERYENDSESSION:
            // Never refused: a console program has no way to tell the user why, and the run
            // keeps its record when the end comes.
            return TRUE;
        case WM_ENDSESSION:
            // The system ends the process once this returns (the session does end).
            if (wParam != 0)
                RaiseAndHold();
            return 0;
        case WM_CLOSE:
            ::DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            ::PostQuitMessage(0);
            return 0;
        default:
            return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

bool ProcessEnding() {
    return g_processEnding.load(std::memory_order_acquire);
}

void MarkProcessEnding() {
    g_processEnding.store(true, std::memory_order_release);
}

BOOL WINAPI win32::OnConsoleControl(DWORD type) {
    HANDLE event = g_interruptEvent.load();
    if (type == CTRL_CLOSE_EVENT)
        return RaiseAndHold() ? TRUE : FALSE;
    // Logoff and shutdown reach a console handler only in a service, and there for any user's
    // session: they are no request to stop this process (its own end comes through the hidden
    // window).
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    // The first request is the program's to act on; a second one, while the first is still
    // being acted on, ends the program the ordinary way.
    if (event == nullptr || g_interrupts.fetch_add(1) > 0)
        return FALSE;
    ::SetEvent(event);
    return TRUE;
}

struct CInterrupt::Impl {
    win32::UniqueHandle event;
    bool installed = false;
    bool raised = false;
    // The hidden top-level window that hears of the session's end, and its thread. Making a
    // window takes a while (under Wine half a second): the run does not wait for it.
    win32::UniqueHandle windowThread;
    std::atomic<HWND> window{nullptr};
    std::atomic<bool> stop{false};

    static DWORD WINAPI WindowMain(void* param) {
        auto* self = static_cast<Impl*>(param);
        const HINSTANCE instance = ::GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = SessionWindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kSessionWindowClass;
        ::RegisterClassExW(&wc);  // already there from an earlier interrupt: fine
        // Top-level (a message-only window hears no broadcasts) and never shown.
        const HWND hwnd = ::CreateWindowExW(0, kSessionWindowClass, L"KORVALIN", WS_POPUP, 0, 0, 0,
                                            0, nullptr, nullptr, instance, nullptr);
        if (hwnd == nullptr)
            return 0;
        self->window.store(hwnd);
        if (self->stop.load()) {
            ::DestroyWindow(hwnd);
            return 0;
        }
        MSG msg;
        while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
        return 0;
    }
};

CInterrupt::CInterrupt() : m_impl(std::make_unique<Impl>()) {
    m_impl->event.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_impl->event)
        return;
    g_interrupts.store(0);
    g_finished.store(false);
    g_interruptEvent.store(m_impl->event.get());
    m_impl->installed = ::SetConsoleCtrlHandler(win32::OnConsoleControl, TRUE) != 0;
    // Without the window (no thread to be had, no window station) Ctrl+C and the console's
    // close still work; only the session's end goes unheard.
    m_impl->windowThread.reset(
        ::CreateThread(nullptr, 0, &Impl::WindowMain, m_impl.get(), 0, nullptr));
}

CInterrupt::~CInterrupt() {
    g_finished.store(true);
    if (m_impl->installed)
        ::SetConsoleCtrlHandler(win32::OnConsoleControl, FALSE);
    g_interruptEvent.store(nullptr);
    if (!m_impl->windowThread)
        return;
    m_impl->stop.store(true);
    // A thread still making its window is let finish (a process that ends while a thread is
    // half way into the window system can leave Wine's desktop process waiting for it for
    // good); it then closes the window itself.
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        const HWND hwnd = m_impl->window.load();
        if (hwnd != nullptr)
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(m_impl->windowThread.get(),
                                  hwnd != nullptr ? kWindowStopMs : kCloseLookMs) == WAIT_OBJECT_0)
            return;
        if (hwnd != nullptr || ::GetTickCount64() - start >= kWindowStopMs)
            break;
    }
    // Still busy: the thread keeps a pointer into m_impl, which must outlive it.
    (void)m_impl.release();
}

bool CInterrupt::Valid() const {
    return static_cast<bool>(m_impl->event);
}

WaitHandle CInterrupt::Waitable() const {
    return m_impl->event.get();
}

bool CInterrupt::Raised() {
    if (!m_impl->raised && m_impl->event &&
        ::WaitForSingleObject(m_impl->event.get(), 0) == WAIT_OBJECT_0) {
        m_impl->raised = true;
    }
    return m_impl->raised;
}

void CInterrupt::Raise() {
    g_interrupts.fetch_add(1);
    if (m_impl->event)
        ::SetEvent(m_impl->event.get());
    else
        m_impl->raised = true;
}

struct CStdinReader::Impl {
    HANDLE input = nullptr;  // the process's standard input; not ours to close
    bool console = false;
    win32::UniqueHandle available;  // manual-reset: set while text or the end waits in pending
    win32::UniqueHandle thread;
    std::mutex mutex;
    std::string pending;
    bool ended = false;
    std::atomic<bool> stop{false};

    void Deliver(const std::string& text, bool end) {
        std::lock_guard<std::mutex> lock(mutex);
        pending += text;
        ended = ended || end;
        ::SetEvent(available.get());
    }

    static DWORD WINAPI Run(void* param) {
        auto* self = static_cast<Impl*>(param);
        for (;;) {
            DWORD n = 0;
            BOOL ok;
            std::string text;
            if (self->console) {
                // The console hands over UTF-16, whatever its code page; a whole line at a time.
                wchar_t wide[256];
                ok = ::ReadConsoleW(self->input, wide, 256, &n, nullptr);
                text = win32::Narrow(wide, ok ? n : 0);
            } else {
                char bytes[256];
                ok = ::ReadFile(self->input, bytes, sizeof bytes, &n, nullptr);
                text.assign(bytes, ok ? n : 0);
            }
            if (self->stop.load())
                return 0;
            // A console read that returns nothing was cut short by Ctrl+C, which the interrupt
            // reports; only a failed read ends console input.
            const bool end = !ok || (n == 0 && !self->console);
            self->Deliver(text, end);
            if (end)
                return 0;
        }
    }
};

CStdinReader::CStdinReader() : m_impl(std::make_unique<Impl>()) {
    m_impl->input = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    m_impl->console = ::GetConsoleMode(m_impl->input, &mode) != 0;
    m_impl->available.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!m_impl->available)
        return;
    if (m_impl->input == nullptr || m_impl->input == INVALID_HANDLE_VALUE) {
        m_impl->Deliver({}, true);
        return;
    }
    m_impl->thread.reset(::CreateThread(nullptr, 0, &Impl::Run, m_impl.get(), 0, nullptr));
    if (!m_impl->thread)
        m_impl->Deliver({}, true);
}

CStdinReader::~CStdinReader() {
    if (!m_impl->thread)
        return;
    m_impl->stop.store(true);
    // The reader is blocked in a read of its own; cancelling that read lets it end. A read
    // that cannot be cancelled is left to the end of the process rather than waited for.
    for (int attempt = 0; attempt < 20; ++attempt) {
        ::CancelSynchronousIo(m_impl->thread.get());
        if (::WaitForSingleObject(m_impl->thread.get(), 50) == WAIT_OBJECT_0)
            return;
    }
    // Still blocked: the thread keeps a pointer to m_impl, which must outlive it.
    m_impl.release();
}

bool CStdinReader::Valid() const {
    return m_impl && static_cast<bool>(m_impl->available);
}

WaitHandle CStdinReader::Waitable() const {
    return m_impl->available.get();
}

bool CStdinReader::Take(std::string& text) {
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    text += m_impl->pending;
    m_impl->pending.clear();
    if (!m_impl->ended)
        ::ResetEvent(m_impl->available.get());
    return !m_impl->ended;
}

namespace {

bool IsConsoleHandle(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

}  // namespace

bool StdinIsConsole() {
    return IsConsoleHandle(STD_INPUT_HANDLE);
}

bool StderrIsConsole() {
    return IsConsoleHandle(STD_ERROR_HANDLE);
}

}  // namespace korv
