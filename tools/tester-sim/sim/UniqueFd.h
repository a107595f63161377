#pragma once
// Sole owner of a file descriptor.

#include <unistd.h>

#include <utility>

namespace korv::sim {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Returns close()'s result so that a failed flush of a saved file is not lost.
    int reset(int fd = -1) {
        int rc = 0;
        if (fd_ >= 0) {
            rc = ::close(fd_);
        }
        fd_ = fd;
        return rc;
    }

  private:
    int fd_ = -1;
};

}  // namespace korv::sim
