#pragma once
#include <ostream>
#include <string>

// Describes a setup file on `out`. A file the setup program would refuse, a
// payload the packer would refuse, or (unless checkInterpreter is false) one
// whose interpreter could not start, throws Failure (status 1). A sealed
// payload is judged inside when a password is given, and otherwise only by
// its header; a wrong password throws too.
void Inspect(const std::string& path, bool checkInterpreter, std::ostream& out, const std::string* password = nullptr);
