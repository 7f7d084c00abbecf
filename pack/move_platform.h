#pragma once
// What a move needs of the operating system: finding the installation, and
// telling whether Vorlasta still runs from it. One file per system.
#include <stdint.h>

#include <string>

// The installation to move when --from is not given (UTF-8): the one that
// holds this program, else %LOCALAPPDATA%\Vorlasta. Throws UsageError where
// the system has no such default.
std::string DefaultInstallation();

enum class HoldResult { Held, Missing, InUse, Failed };

// Opens the database so that no one can write it while the handle is open;
// InUse when someone already has it open for writing. `error` says why on Failed.
HoldResult HoldAgainstWriters(const std::string& path, intptr_t& handle, std::string& error);
void ReleaseHold(intptr_t handle);

// The image (below `folder`, UTF-8) of a running program whose file lies in
// `folder`, other than this one and the one that started it; empty when none.
std::string ProgramRunningFrom(const std::string& folder);

// Whether standard output is a console, where a progress line can update in place.
bool StdoutIsConsole();
