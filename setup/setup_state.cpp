#include "setup/setup_state.h"

SetupState g_setupState;
InstallOutcome g_installOutcome;
