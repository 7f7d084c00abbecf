#pragma once
#include <stdexcept>
#include <string>

// Exit statuses: 2 for a refusal (bad input or usage), 1 for an I/O failure
// while writing or for a file that inspect finds invalid.
constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;

// Why the run stops; main prints it as one line after "vorlasta-pack: ".
// Line breaks (libarchive ends some of its messages with one) become spaces.
class Failure : public std::runtime_error {
public:
    Failure(int status, const std::string& message) : std::runtime_error(OneLine(message)), status_(status) {}
    int status() const { return status_; }

private:
    static std::string OneLine(std::string text) {
        for (char& c : text) {
            if (c == '\n' || c == '\r') c = ' ';
        }
        while (!text.empty() && text.back() == ' ') text.pop_back();
        return text;
    }
    int status_;
};

// A command line that cannot be run; main adds the usage line.
class UsageError : public Failure {
public:
    explicit UsageError(const std::string& message) : Failure(kExitRefused, message) {}
};

// Refusal helpers, so call sites read as the reason.
[[noreturn]] inline void Refuse(const std::string& message) {
    throw Failure(kExitRefused, message);
}
