#pragma once

// Modal error box with no owner, caption "Vorlasta", OK and the error icon.
void ShowError(const wchar_t* text);
