// Manual-reset events on Windows: a kernel event object, waitable beside the port's own events.

#include "platform/win32/Win32.h"

#include "platform/Event.h"

namespace korv {

struct Event::Impl {
    win32::UniqueHandle handle;
};

Event::Event(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Event::~Event() = default;

std::unique_ptr<Event> Event::Create(int* err) {
    HANDLE h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (h == nullptr) {
        if (err)
            *err = static_cast<int>(::GetLastError());
        return nullptr;
    }
    if (err)
        *err = 0;
    auto impl = std::make_unique<Impl>();
    impl->handle.reset(h);
    return std::unique_ptr<Event>(new Event(std::move(impl)));
}

void Event::Set() {
    ::SetEvent(m_impl->handle.get());
}

void Event::Reset() {
    ::ResetEvent(m_impl->handle.get());
}

bool Event::IsSet() const {
    return ::WaitForSingleObject(m_impl->handle.get(), 0) == WAIT_OBJECT_0;
}

bool Event::Wait(int timeoutMs) const {
    const DWORD limit = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    return ::WaitForSingleObject(m_impl->handle.get(), limit) == WAIT_OBJECT_0;
}

WaitHandle Event::Waitable() const {
    return m_impl->handle.get();
}

}  // namespace korv
