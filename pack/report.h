#pragma once
#include <ostream>
#include <string>

// Describes a setup file on `out`. A file the setup program would refuse, a
// payload the packer would refuse, or (unless checkInterpreter is false) one
// whose interpreter could not start, throws Failure (status 1).
void Inspect(const std::string& path, bool checkInterpreter, std::ostream& out);
