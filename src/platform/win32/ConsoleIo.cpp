#include "platform/win32/Win32.h"

#include "platform/ConsoleIo.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>

#include "platform/SysError.h"
#include "platform/Wait.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace korv {

namespace {

HANDLE StreamHandle(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

bool IsConsoleHandle(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && handle != nullptr &&
           ::GetConsoleMode(handle, &mode) != 0;
}

// How much of text ends with whole UTF-8 characters: a character cut off at the end waits for
// the rest of its bytes.
size_t WholeCharacters(const std::string& text) {
    const size_t n = text.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto c = static_cast<unsigned char>(text[n - back]);
        if ((c & 0xC0) == 0x80) {
            continue;  // a continuation byte: its lead is further back
        }
        const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? n - back : n;
    }
    return n;
}

// Writes UTF-8 text to a console as UTF-16; false when the console refuses it.
bool WriteToConsole(HANDLE console, const std::string& text) {
    const std::wstring wide = win32::Widen(text);
    for (size_t done = 0; done < wide.size();) {
        DWORD put = 0;
        const DWORD n = static_cast<DWORD>(std::min<size_t>(wide.size() - done, 8192));
        if (!::WriteConsoleW(console, wide.data() + done, n, &put, nullptr) || put == 0)
            return false;
        done += put;
    }
    return true;
}

}  // namespace

bool IsWindowsConsole(std::FILE* stream) {
    return IsConsoleHandle(StreamHandle(stream));
}

int WriteText(std::FILE* stream, const std::string& text) {
    const HANDLE handle = StreamHandle(stream);
    if (!IsConsoleHandle(handle)) {
        if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
            std::fflush(stream) != 0)
            return ERROR_WRITE_FAULT;
        return 0;
    }
    std::fflush(stream);  // what the stream holds goes first
    return WriteToConsole(handle, text) ? 0 : static_cast<int>(::GetLastError());
}

int TerminalColumns(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = StreamHandle(stream);
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool EnableTerminalControl(std::FILE* stream) {
    const HANDLE handle = StreamHandle(stream);
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleMode(handle, &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           ::SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::FILE* OpenForAppend(const std::string& path, int* err) {
    auto fail = [err](DWORD code) -> std::FILE* {
        if (err != nullptr) {
            *err = static_cast<int>(code);
        }
        return nullptr;
    };
    const std::filesystem::path wide(std::u8string(path.begin(), path.end()));
    // Append-only access: every write lands at the end, whoever else writes. Others may read,
    // write, rename or delete the file meanwhile: a report open in a spreadsheet, a log in a
    // viewer that keeps it open for writing, or a second run adding to the same report must not
    // stop this run from keeping its record.
    const HANDLE handle = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return fail(::GetLastError());
    }
    // A device name ("NUL", "COM7.log") opens the device, not a file: only a file on a disk
    // is a log.
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        return fail(ERR_NOT_REGULAR_FILE);
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(handle);
        return fail(ERROR_TOO_MANY_OPEN_FILES);
    }
    std::FILE* file = ::_fdopen(fd, "ab");
    if (file == nullptr) {
        ::_close(fd);  // closes the handle too
        return fail(ERROR_TOO_MANY_OPEN_FILES);
    }
    return file;
}

int TerminalRows(std::FILE* stream) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const HANDLE handle = StreamHandle(stream);
    if (handle == INVALID_HANDLE_VALUE || !::GetConsoleScreenBufferInfo(handle, &info)) {
        return 0;
    }
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

// The text handed to the writing thread and how it is doing. The thread shares this with the
// writer; should a write never come back (a console the operator left with a selection in it
// as the program ends), the writer gives up on the thread, which keeps its state alive until
// the process ends.
struct CErrWriter::Worker {
    // Text waiting beyond this many bytes is refused: the program keeps it (or drops frames).
    static constexpr size_t kRoom = 64 * 1024;
    // At the end, what was handed over is given up on once the reader has taken nothing this
    // long; the thread then has this much longer to end after its write is cancelled. Both are
    // shorter when the system is ending the process, which allows a few seconds for everything.
    static constexpr DWORD kEndPatienceMs = 5000;
    static constexpr DWORD kCancelWaitMs = 1000;
    static constexpr DWORD kEndingPatienceMs = 300;
    static constexpr DWORD kEndingCancelWaitMs = 200;
    static constexpr DWORD kEndingTotalMs = 1000;

    // The stream's handle, written directly: a write stuck in the stream's own functions would
    // hold its lock, and the C library takes that lock again when the program exits. The
    // stream is in binary mode, so the bytes are the same.
    HANDLE handle = nullptr;
    bool console = false;  // handle is a console: UTF-16 through WriteConsoleW
    std::string partial;   // the thread's own: bytes of a character whose rest is still to come
    std::mutex mutex;
    std::condition_variable wake;   // text to write, or the end
    std::condition_variable taken;  // the thread wrote something, failed or ended
    std::string text;               // handed over, not yet being written
    uint64_t written = 0;           // bytes written so far
    bool failed = false;
    bool ending = false;
    bool ended = false;
    win32::UniqueHandle thread;

    static DWORD WINAPI Main(void* param) {
        const std::unique_ptr<std::shared_ptr<Worker>> self(
            static_cast<std::shared_ptr<Worker>*>(param));
        (*self)->Run();
        return 0;
    }
    bool WriteAll(const std::string& chunk) {
        if (console) {
            std::string text = std::move(partial);
            text += chunk;
            const size_t whole = WholeCharacters(text);
            partial.assign(text, whole);
            text.resize(whole);
            return WriteToConsole(handle, text);
        }
        for (size_t done = 0; done < chunk.size();) {
            DWORD put = 0;
            const DWORD n = static_cast<DWORD>(std::min<size_t>(chunk.size() - done, 1u << 20));
            if (!::WriteFile(handle, chunk.data() + done, n, &put, nullptr) || put == 0)
                return false;
            done += put;
        }
        return true;
    }
    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return !text.empty() || ending; });
            if (text.empty())
                break;
            std::string chunk;
            chunk.swap(text);
            lock.unlock();
            const bool ok = WriteAll(chunk);
            lock.lock();
            written += chunk.size();
            taken.notify_all();
            if (!ok) {
                failed = true;  // a closed pipe: every later write would fail too
                text.clear();
                break;
            }
        }
        ended = true;
        taken.notify_all();
    }
};

CErrWriter::CErrWriter(std::FILE* stream) : m_stream(stream) {
    std::fflush(stream);
    const HANDLE handle = StreamHandle(stream);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr ||
        ::GetFileType(handle) == FILE_TYPE_DISK) {
        return;  // a file (or nothing): writes do not wait for a reader
    }
    auto worker = std::make_shared<Worker>();
    worker->handle = handle;
    worker->console = IsConsoleHandle(handle);
    auto* param = new std::shared_ptr<Worker>(worker);
    worker->thread.reset(::CreateThread(nullptr, 0, &Worker::Main, param, 0, nullptr));
    if (!worker->thread) {
        delete param;
        return;  // no thread to be had: the stream's own way
    }
    m_worker = std::move(worker);
}

CErrWriter::~CErrWriter() {
    if (!m_worker)
        return;
    Worker& w = *m_worker;
    std::unique_lock<std::mutex> lock(w.mutex);
    w.ending = true;
    w.wake.notify_all();
    // What was handed over goes out while the reader keeps taking it.
    const ULONGLONG start = ::GetTickCount64();
    for (uint64_t seen = w.written; !w.ended; seen = w.written) {
        // Ending, a reader that keeps taking is not waited for beyond a second either.
        if (ProcessEnding() && ::GetTickCount64() - start >= Worker::kEndingTotalMs)
            break;
        const DWORD patience = ProcessEnding() ? Worker::kEndingPatienceMs : Worker::kEndPatienceMs;
        if (!w.taken.wait_for(lock, std::chrono::milliseconds(patience),
                              [&] { return w.ended || w.written != seen; }))
            break;
    }
    const bool ended = w.ended;
    lock.unlock();
    if (!ended)
        ::CancelSynchronousIo(w.thread.get());
    // A thread stuck even so is left to the end of the process (it holds its own share of w).
    ::WaitForSingleObject(w.thread.get(), ended             ? INFINITE
                                          : ProcessEnding() ? Worker::kEndingCancelWaitMs
                                                            : Worker::kCancelWaitMs);
}

size_t CErrWriter::TryWrite(const char* data, size_t n) {
    if (!m_worker) {
        const size_t put = std::fwrite(data, 1, n, m_stream);
        std::fflush(m_stream);
        return put;
    }
    Worker& w = *m_worker;
    const std::lock_guard<std::mutex> lock(w.mutex);
    if (w.failed || w.ended || w.text.size() >= Worker::kRoom)
        return 0;
    const size_t take = std::min(n, Worker::kRoom - w.text.size());
    w.text.append(data, take);
    w.wake.notify_all();
    return take;
}

bool CErrWriter::WaitWritable(int ms) {
    if (!m_worker)
        return true;
    Worker& w = *m_worker;
    std::unique_lock<std::mutex> lock(w.mutex);
    const auto room = [&] { return w.failed || w.ended || w.text.size() < Worker::kRoom; };
    return w.taken.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), room) && !w.failed &&
           !w.ended;
}

}  // namespace korv
