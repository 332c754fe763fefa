// The graphical desktop a POSIX program may be started from: a terminal
// window to run in when it was started without a terminal (double-clicked in
// a file manager), and the desktop's own file chooser in place of the typed
// path. Other programs are started with an argument list, never through a
// shell. Built for Linux, and as a fallback that has no desktop.
#pragma once

#include <string>

// Where this program has no terminal but a graphical session is present
// (DISPLAY or WAYLAND_DISPLAY set), starts it again, with the same
// arguments, in the first terminal program that can be started, and returns
// true: this copy has nothing more to do. The copy in the window is marked
// so that it never starts another. False, with nothing started, outside a
// graphical session, in such a copy, or where no terminal program starts.
bool startInTerminalWindow();

enum class Chosen {
    kFile,         // a path was picked
    kCancelled,    // the chooser was closed without one
    kUnavailable,  // no chooser, or none that could show itself
};

// In a graphical session, asks for an existing file in the desktop's
// chooser (kdialog on KDE, zenity otherwise or where kdialog is missing),
// titled `title` and offering talvik.exe first, then all files. Stores the
// path picked in `path`. A chooser that is missing, cannot open its window
// or fails gives way to the next, and then to kUnavailable.
Chosen chooseFileOnDesktop(const char* title, std::string& path);
