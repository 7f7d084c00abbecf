#pragma once
#include "args.h"

// Packs an installed Vorlasta folder, its data included, into a Move setup
// file, on the shop's old PC. The data is copied consistently or not at all:
// while Vorlasta runs from the folder, or its database was not closed
// cleanly, or there is none, it refuses. Throws Failure.
void PackMove(const MoveOptions& options, bool checkInterpreter);
