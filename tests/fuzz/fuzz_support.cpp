#include "fuzz_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

InputFile::InputFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz-input", MFD_CLOEXEC)) {
    Require(fd_ >= 0, "memfd_create failed");
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = write(fd_, data + done, size - done);
        Require(wrote > 0, "writing the input failed");
        done += static_cast<size_t>(wrote);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

InputFile::~InputFile() { close(fd_); }

void Require(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "invariant broken: %s\n", what);
    abort();
}

void RequireOneLine(const std::string& message) {
    if (!message.empty() && message.find_first_of("\n\r") == std::string::npos) return;
    fprintf(stderr, "message: [%s]\n", message.c_str());
    Require(false, "a message that is not one line");
}

void RequireOneLine(const Failure& failure, int status) {
    Require(failure.status() == status, "unexpected exit status");
    RequireOneLine(std::string(failure.what()));
}
