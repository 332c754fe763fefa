// Linux: the maps of every other process, read from /proc.
#include "mapped.h"

#include <cstdlib>

#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// How maps names the file open on `fd`, seen in our own maps while a view of
// it is mapped; where no view can be mapped, no other program can map one
// either, and stat's numbers serve.
MapsFileId idInMaps(int fd, const struct stat& opened) {
    MapsFileId id;
    id.major = major(opened.st_dev);
    id.minor = minor(opened.st_dev);
    id.inode = opened.st_ino;
    void* view = mmap(nullptr, 1, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return id;
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    char* text = nullptr;
    size_t capacity = 0;
    MapsLine line;
    bool found = false;
    while (maps && !found && getline(&text, &capacity, maps) > 0)
        found = parseMapsLine(text, line) && line.start == reinterpret_cast<uintptr_t>(view) && line.file.inode != 0;
    if (found)
        id = line.file;
    std::free(text);
    if (maps)
        std::fclose(maps);
    munmap(view, 1);
    return id;
}

}  // namespace

bool mappedElsewhere(std::FILE* file) {
    const int fd = fileno(file);
    struct stat opened;
    DIR* processes = fstat(fd, &opened) == 0 ? opendir("/proc") : nullptr;
    if (!processes)
        return false;
    const MapsFileId ours = idInMaps(fd, opened);
    const std::string self = std::to_string(getpid());
    bool found = false;
    char* line = nullptr;
    size_t capacity = 0;
    while (!found) {
        const dirent* entry = readdir(processes);
        if (!entry)
            break;
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9' || self == entry->d_name)
            continue;
        const std::string process = std::string("/proc/") + entry->d_name;
        std::FILE* maps = std::fopen((process + "/maps").c_str(), "re");
        if (!maps)
            continue;
        std::string path;
        struct stat named;
        while (!found && getline(&line, &capacity, maps) > 0) {
            switch (matchMapsLine(line, ours, path)) {
            case MapsMatch::kOther:
                break;
            case MapsMatch::kOurs:
                found = true;
                break;
            case MapsMatch::kConfirm:
                // A name that can no longer be looked up cannot clear it.
                found = stat((process + "/root" + path).c_str(), &named) != 0 ||
                        (named.st_dev == opened.st_dev && named.st_ino == opened.st_ino);
                break;
            }
        }
        std::fclose(maps);
    }
    std::free(line);
    closedir(processes);
    return found;
}
