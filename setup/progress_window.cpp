#include "setup/progress_window.h"

void ProgressOrigin(int screenWidth, int screenHeight, int& x, int& y) {
    // C++ integer division rounds toward zero, as the window's placement requires.
    x = (screenWidth - kProgressWidth) / 2;
    y = (screenHeight - kProgressHeight) / 2;
}

int RunProgressWindow(HINSTANCE) {
    return 0;  // the installation itself arrives with the install worker
}
