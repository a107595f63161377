// The pty's fixed name: made with rename() so that the old link is replaced atomically, and
// removed at exit only while it still names this simulator's pty (a later simulator may already
// have taken the name over).

#include "sim/PortLink.h"

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korv::sim {

PortLink::~PortLink() {
    if (link_.empty()) {
        return;
    }
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(link_.c_str(), buf, sizeof buf - 1);
    if (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == target_) {
        ::unlink(link_.c_str());
    }
}

std::string PortLink::point(const std::string& link, const std::string& target) {
    const std::string temp = link + ".new." + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        return temp + ": " + std::strerror(errno);
    }
    if (::rename(temp.c_str(), link.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        return link + ": " + std::strerror(err);
    }
    link_ = link;
    target_ = target;
    return {};
}

}  // namespace korv::sim
