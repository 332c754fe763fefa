// Where a Linux user's editor lives: inside a Wine prefix, or a game folder
// of a Steam library, mostly under hidden folders of the home folder that a
// file chooser does not show. Built for Linux.
#pragma once

#include <string>

// The most recently modified file named talvik.exe, in any letter case, in
// the user's Wine prefixes and Steam libraries, or "" where none is found.
// `home` is the user's home folder; WINEPREFIX and XDG_DATA_HOME are read
// from the environment. Symbolic links inside a prefix are never followed
// and never count, a folder that cannot be read is skipped, and the search
// is bounded in entries looked at, so that it takes a fraction of a second
// whatever the folders hold.
std::string findInstalledEditor(const std::string& home);
