#pragma once
// Resource ids of the password box; the resource script includes this too.
#define VORLASTA_PASSWORD_DIALOG 101
#define VORLASTA_PASSWORD_EDIT 1001
#define VORLASTA_PASSWORD_TEXT 65535  // the static text's id, as in a message box

#ifndef RC_INVOKED
#include <windows.h>

#include "setup/crypto.h"
#include "setup/sealed_payload.h"

// Shows the password box until the header's tag holds under the key the
// password gives (then `cipher` has that key), telling the user each time it
// does not; false when the user cancels. The password is wiped after each try.
bool AskPassword(HINSTANCE instance, const uint8_t (&header)[kSealHeaderSize], GcmCipher& cipher);
#endif
