#pragma once
#include "platform.h"

// Closes a file descriptor when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports whether close succeeded (it can report a late write error).
    bool Reset() {
        const bool ok = fd_ < 0 || platform::Close(fd_);
        fd_ = -1;
        return ok;
    }

private:
    int fd_;
};
