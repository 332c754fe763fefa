// The graphical desktop a POSIX program may be started from: a terminal
// window to run in when it was started without a terminal (double-clicked in
// a file manager), and the desktop's own file chooser in place of the typed
// path. Other programs are started with an argument list, never through a
// shell. Built for Linux, and as a fallback that has no desktop.
#pragma once

#include <string>

enum class Window {
    kStarted,   // a copy in a terminal window took the run over: this one has nothing more to do
    kToldUser,  // none could be started, and a window of the desktop's said so
    kNone,      // nothing started and nothing said
};

// Where this program has no terminal but a graphical session is present
// (DISPLAY or WAYLAND_DISPLAY set), starts a copy of it in a terminal
// window, trying the user's own choice of terminal program, then the
// current desktop's, then others commonly installed: with plain words
// naming this process and a pipe in which it offers the run, so that no
// terminal can mangle them. kStarted once a copy has taken the run over
// (see continueInTerminalWindow); a terminal that fails first, or whose
// copy has not taken it within 15 seconds, gives way to the next. Where
// none will, says so, and how to run the program from a terminal, in a
// message window. kNone outside a graphical session, in a copy started in
// a window, or where no message window could show itself either.
Window startInTerminalWindow();

// Where this program is a copy that startInTerminalWindow started, takes
// the run over: from the process that started it, once sure that it runs
// from this program's own file and still offers the run, it takes the
// arguments, working folder and environment, and starts this program again
// with them, never returning. Where it cannot (that process has ended, is
// another program, has moved on, or may not be read), ends through the
// fatal path, converting nothing. In the copy so started, names the process
// and the terminal's window after the program. Returns at once elsewhere.
void continueInTerminalWindow();

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
