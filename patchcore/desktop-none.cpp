// Systems without the Linux desktop's means: no terminal window is started
// and no chooser shown, so the terminal asks for the path.
#include "desktop.h"

void continueInTerminalWindow() {}

Window startInTerminalWindow() {
    return Window::kNone;
}

Chosen chooseFileOnDesktop(const char*, std::string&) {
    return Chosen::kUnavailable;
}
