#pragma once

// What follows the program-name token and the blanks after it; never null.
// Quotes flip an inside-quotes state and stay part of the token; backslashes
// are plain text.
const wchar_t* FindArgumentTail(const wchar_t* commandLine);
