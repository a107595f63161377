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

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace korv {

namespace {

HANDLE StreamHandle(std::FILE* stream) {
    return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

}  // namespace

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
    // Append-only access: every write lands at the end; others may read the log meanwhile.
    const HANDLE handle = ::CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    // long; the thread then has this much longer to end after its write is cancelled.
    static constexpr DWORD kEndPatienceMs = 5000;
    static constexpr DWORD kCancelWaitMs = 1000;

    // The stream's handle, written directly: a write stuck in the stream's own functions would
    // hold its lock, and the C library takes that lock again when the program exits. The
    // stream is in binary mode, so the bytes are the same.
    HANDLE handle = nullptr;
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
    bool WriteAll(const std::string& chunk) const {
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
    for (uint64_t seen = w.written; !w.ended; seen = w.written) {
        if (!w.taken.wait_for(lock, std::chrono::milliseconds(Worker::kEndPatienceMs),
                              [&] { return w.ended || w.written != seen; }))
            break;
    }
    const bool ended = w.ended;
    lock.unlock();
    if (!ended)
        ::CancelSynchronousIo(w.thread.get());
    // A thread stuck even so is left to the end of the process (it holds its own share of w).
    ::WaitForSingleObject(w.thread.get(), ended ? INFINITE : Worker::kCancelWaitMs);
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
