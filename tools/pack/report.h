#pragma once
#include <ostream>
#include <string>

// Describes a setup file on `out`. A file the setup program would refuse
// throws Failure (status 1) worded like the setup program's own messages.
void Inspect(const std::string& path, std::ostream& out);
