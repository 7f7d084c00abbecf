// The directive scripts the pythonw.exe stand-in runs in place of Python:
//   sleep <milliseconds>
//   exit <status>            (may be negative or up to 4294967295)
//   write <relative path> <text>
// Blank lines and lines starting with # are skipped.
#pragma once

#include <string>
#include <vector>

namespace standin {

struct Directive {
    enum Kind { Sleep, Exit, Write } kind = Sleep;
    long long number = 0;
    std::wstring path;  // write: relative to the current folder
    std::string text;   // write: UTF-8, written as it is
};

// The whole script is checked before anything runs, as Python compiles a
// file before running it. False with the line and reason otherwise.
bool ParseDirectives(const std::string& script, std::vector<Directive>& directives, std::wstring& error);

}  // namespace standin
