// Texts a server sends when it refuses a connection, carried as error codes: each distinct text
// gets a code once and keeps it, so a code travels as a value and its text stays valid for the
// life of the process.

#include <deque>
#include <mutex>
#include <string>

#include "platform/OwnErrorText.h"
#include "platform/SysError.h"

namespace korv {

namespace {

std::mutex& TextsMutex() {
    static std::mutex m;
    return m;
}

// Never shrinks, and a deque never moves what it holds: a text's c_str stays valid.
std::deque<std::string>& Texts() {
    static std::deque<std::string> texts;
    return texts;
}

}  // namespace

int ServerTextError(const std::string& text) {
    const std::lock_guard<std::mutex> lock(TextsMutex());
    auto& texts = Texts();
    for (size_t i = 0; i < texts.size(); ++i) {
        if (texts[i] == text)
            return ERR_TEXT_BASE + static_cast<int>(i);
    }
    if (texts.size() < static_cast<size_t>(kMaxServerTexts)) {
        texts.push_back(text);
        return ERR_TEXT_BASE + static_cast<int>(texts.size() - 1);
    }
    // Full: the last slot says that the server refused; its first text stays.
    return ERR_TEXT_BASE + kMaxServerTexts - 1;
}

namespace sys {

const char* ServerText(int err) {
    const std::lock_guard<std::mutex> lock(TextsMutex());
    const auto& texts = Texts();
    const size_t i = static_cast<size_t>(err - ERR_TEXT_BASE);
    return err >= ERR_TEXT_BASE && i < texts.size() ? texts[i].c_str() : nullptr;
}

}  // namespace sys

}  // namespace korv
