#pragma once
#include <ostream>
#include <string>

// Describes a setup file on `out`. A file the setup program would refuse, or
// whose interpreter could not start (unless checkInterpreter is false), throws
// Failure (status 1) worded like the setup program's own messages.
void Inspect(const std::string& path, bool checkInterpreter, std::ostream& out);
