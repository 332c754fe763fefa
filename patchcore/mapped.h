// Whether another program maps the target file, as Wine maps the image of a
// program it runs, read from Linux's /proc/<pid>/maps: by the Linux build,
// and by the Windows build where it runs under Wine on Linux.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// How /proc/<pid>/maps names a mapped file: its device (major:minor) and
// inode. On some filesystems (btrfs) these differ from what stat gives for
// the same file, so they are learnt from the maps line of a view of it.
struct MapsFileId {
    uint64_t major = 0, minor = 0, inode = 0;
};

// One line of /proc/<pid>/maps.
struct MapsLine {
    uint64_t start = 0;    // the address its range begins at
    MapsFileId file;       // all zero for a range that maps no file
    std::string path;      // the name shown, "\012" turned back into a newline
    bool removed = false;  // the name is marked " (deleted)"
};

// Reads the maps line `text` into `line`. False when it is none.
bool parseMapsLine(const std::string& text, MapsLine& line);

enum class MapsMatch {
    kOther,    // maps another file, or none; or the line cannot be read
    kOurs,     // maps a file with our numbers, under a name that cannot tell
               // which file it is: removed since, or no path
    kConfirm,  // maps a file with our numbers under the path stored
};

// What a line of another process's maps says of the file that maps names
// `ours`. The same numbers can still be another file, of another btrfs
// subvolume, so a kConfirm is settled by looking the path (absolute, "\012"
// turned back into the newline it stands for) up from that process's root,
// /proc/<pid>/root, which is right even for a process in another mount
// namespace, and comparing the file found with ours.
MapsMatch matchMapsLine(const std::string& text, const MapsFileId& ours, std::string& path);

// True when a process other than this one maps the file open as `file`, as
// its /proc/<pid>/maps shows; the same file, so that a hard link or a bind
// mount counts and a copy does not. A process whose maps cannot be read is
// skipped, and where there is no /proc to read none is found. Built for
// Linux; for Windows, where it looks only under Wine, through Wine's paths
// to the host's /proc; and as a fallback for other systems that finds none.
bool mappedElsewhere(std::FILE* file);
