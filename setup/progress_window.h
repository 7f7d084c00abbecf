#pragma once
#include <windows.h>

constexpr int kProgressWidth = 420;
constexpr int kProgressHeight = 140;

// Top-left corner that centres the progress window; C++ division rounds
// toward zero, as the placement requires (399 wide gives -10, not -11).
inline void ProgressOrigin(int screenWidth, int screenHeight, int& x, int& y) {
    x = (screenWidth - kProgressWidth) / 2;
    y = (screenHeight - kProgressHeight) / 2;
}

// Shows the progress window, runs the install worker behind it and finishes
// the setup. Returns the exit status.
int RunProgressWindow(HINSTANCE instance);
