// Whether another program maps the target file, as Wine maps the image of a
// program it runs.
#pragma once

#include <cstdio>

// True when a process other than this one maps the file open as `file`, as
// its /proc/<pid>/maps shows: the same device and inode, so that a hard link
// counts and a copy does not. A process whose maps cannot be read, and a
// system without /proc, show none. Built for Linux, and as a fallback for
// other systems that finds none.
bool mappedElsewhere(std::FILE* file);
