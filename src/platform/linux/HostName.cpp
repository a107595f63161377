// The host name on Linux: gethostname.

#include "platform/HostName.h"

#include <limits.h>
#include <unistd.h>

#include <cstring>

namespace korv {

std::string HostName() {
    // One byte more than the longest name: a name cut to the buffer comes without its NUL.
    char name[HOST_NAME_MAX + 2] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return std::string(name, ::strnlen(name, sizeof name - 1));
}

}  // namespace korv
