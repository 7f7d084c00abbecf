#pragma once
#include <windows.h>

constexpr int kProgressWidth = 420;
constexpr int kProgressHeight = 140;

// Top-left corner that centres the progress window (rounding toward zero).
void ProgressOrigin(int screenWidth, int screenHeight, int& x, int& y);

// Shows the progress window, runs the install worker behind it and finishes
// the setup. Returns the exit status.
int RunProgressWindow(HINSTANCE instance);
