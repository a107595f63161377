// Error texts for reports: the system's text for errno values, and texts for the program's own
// codes, which have no errno.

#include "platform/SysError.h"

#include "platform/OwnErrorText.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace korv {

namespace {

// strerror_r comes in two incompatible shapes (XSI returns int, GNU returns char*); overloads
// pick the right reading of whichever the C library declares.
[[maybe_unused]] std::string FromStrerror(int result, const char* buf, int err) {
    if (result != 0)
        return "Unknown error " + std::to_string(err);
    return buf;
}

[[maybe_unused]] std::string FromStrerror(const char* result, const char*, int) {
    return result;
}

}  // namespace

int LastSystemError() {
    return errno;
}

std::string SystemErrorText(int err) {
    if (err == 0)
        return {};
    if (const char* own = sys::OwnErrorText(err)) {
        return own;
    }
    if (err >= ERR_OWN_BASE)
        return "Unknown error " + std::to_string(err);
    char buf[256] = {};
    std::string text = FromStrerror(::strerror_r(err, buf, sizeof buf), buf, err);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace korv
