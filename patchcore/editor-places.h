// Where a Linux user's editor lives: inside a Wine prefix, or a game folder
// of a Steam library, mostly under hidden folders of the home folder that a
// file chooser does not show. The search is built for Linux; the reading of
// Steam's list of libraries, which needs no system, everywhere.
#pragma once

#include <string>
#include <vector>

// The most recently modified file named talvik.exe, in any letter case, in
// the user's Wine prefixes and Steam libraries, or "" where none is found:
// every game's folder of every library Steam lists before any of its Proton
// prefixes, as an editor that came with a game lives in that game's folder.
// `home` is the user's home folder; WINEPREFIX and XDG_DATA_HOME are read
// from the environment. Symbolic links inside a prefix are never followed
// and never count, a folder that cannot be read is skipped, and the search
// is bounded in entries looked at, so that it takes a fraction of a second
// whatever the folders hold.
std::string findInstalledEditor(const std::string& home);

// The libraries listed in `text`, the contents of Steam's
// steamapps/libraryfolders.vdf: the "path" of each numbered entry of the
// top-level "libraryfolders", in the file's order. The file is quoted keys
// and values in braces, a backslash escaping the next character, with `//`
// comments. A path that is not absolute is left out, and a text that is not
// whole and well-formed lists none.
std::vector<std::string> steamLibraryPaths(const std::string& text);
