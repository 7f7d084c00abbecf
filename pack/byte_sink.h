#pragma once
// Where the bytes of a setup file go as they are made: strictly in order, from
// the first to the last, never back over what was written. So a digest of the
// file as meant, a cipher or a spool can stand between the writer and the file.
#include <stddef.h>
#include <stdint.h>

class ByteSink {
public:
    virtual ~ByteSink() = default;
    // Takes all `length` bytes or throws Failure.
    virtual void Write(const void* data, size_t length) = 0;
    // Bytes taken so far.
    uint64_t written() const { return written_; }

protected:
    uint64_t written_ = 0;
};
