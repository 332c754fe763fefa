// Linux: the maps of every other process, read from /proc.
#include "mapped.h"

#include <cstdlib>
#include <string>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

bool mappedElsewhere(std::FILE* opened) {
    struct stat file;
    DIR* processes = fstat(fileno(opened), &file) == 0 ? opendir("/proc") : nullptr;
    if (!processes)
        return false;
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
        std::FILE* maps = std::fopen((std::string("/proc/") + entry->d_name + "/maps").c_str(), "re");
        if (!maps)
            continue;
        unsigned major, minor;
        unsigned long long inode;
        while (!found && getline(&line, &capacity, maps) > 0)
            found = std::sscanf(line, "%*s %*s %*s %x:%x %llu", &major, &minor, &inode) == 3 &&
                    makedev(major, minor) == file.st_dev && inode == file.st_ino;
        std::fclose(maps);
    }
    std::free(line);
    closedir(processes);
    return found;
}
