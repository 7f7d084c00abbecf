#pragma once
// Shared by the fuzz targets of the packer: the entry points take files, and
// every refusal they raise must be a one-line message with its status.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "failure.h"

// The input as an anonymous in-memory file, named by a /proc/self/fd path.
class InputFile {
public:
    InputFile(const uint8_t* data, size_t size);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }

private:
    int fd_;
    std::string path_;
};

// Stops the run (a crash the fuzzer records) when the condition is false.
void Require(bool condition, const char* what);

// A refusal must carry `status` and one non-empty line of text.
void RequireOneLine(const Failure& failure, int status);
void RequireOneLine(const std::string& message);
