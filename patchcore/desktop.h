// The graphical desktop a POSIX program may be started from: a terminal
// window to run in when it was started without a terminal (double-clicked in
// a file manager), and the desktop's own file chooser in place of the typed
// path. Other programs are started with an argument list, never through a
// shell. Built for Linux, and as a fallback that has no desktop.
#pragma once

#include <string>

enum class Window {
    kStarted,   // a terminal program runs the copy: this one has nothing more to do
    kToldUser,  // none could be started, and a window of the desktop's said so
    kNone,      // nothing started and nothing said
};

// Where this program has no terminal but a graphical session is present
// (DISPLAY or WAYLAND_DISPLAY set), starts it again, with the same
// arguments, in the first terminal program that can be started: the user's
// own choice, then the current desktop's terminal, then others commonly
// installed. The copy is marked on its command line, so that it never
// starts another, whatever environment a terminal gives it. Where none can
// be started, says so, and how to run the program from a terminal, in a
// message window. kNone outside a graphical session, in such a copy, or
// where no message window could show itself either.
Window startInTerminalWindow();

enum class Chosen {
    kFile,         // a path was picked
    kCancelled,    // the chooser was closed without one
    kUnavailable,  // no chooser, or none that could show itself
};

// In a graphical session, asks for an existing file in the desktop's
// chooser (kdialog on KDE, zenity otherwise or where kdialog is missing),
// titled `title` and offering talvik.exe first, then all files. It starts
// on the newest talvik.exe in the user's Wine prefixes and Steam libraries,
// or in the home folder where there is none. Stores the path picked in
// `path`. A chooser that is missing, cannot open its window or fails gives
// way to the next, and then to kUnavailable.
Chosen chooseFileOnDesktop(const char* title, std::string& path);
