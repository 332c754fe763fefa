// The path typed, or dropped from a file manager, at the terminal's path
// prompt. Pure: no file is looked at and no environment read.
#pragma once

#include <string>
#include <vector>

// The paths that `line` may name, in the order to try them: the line as it
// stands, blanks around it dropped, since most people type a path plainly;
// then, where it differs, the one word sh would read from it, quotes and
// backslashes removed, a leading unquoted `~` put as `home` (kept when `home`
// is null or empty) and a file:// link on this host turned into its path.
// No word comes from a line of blanks, two words, an unfinished quote or
// backslash, or a link to another host, badly encoded, or with a query.
// A path holding a NUL is never given: it would name another file than the
// one shown.
std::vector<std::string> typedPathCandidates(const std::string& line, const char* home);
