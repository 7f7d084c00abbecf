#pragma once
#include "args.h"

// Packs an installed Vorlasta folder, its data included, into a Move setup
// file, on the shop's old PC. The database is copied by SQLite, every other
// file read whole while no one may write it, and the file read back from the
// device before it gets its name. Refuses while Vorlasta runs from the folder,
// or when there is no sound database; any failure leaves nothing under the
// output name, not even an earlier file. Throws Failure.
void PackMove(const MoveOptions& options, bool checkInterpreter);
