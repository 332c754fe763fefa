// POSIX platform, the target file: opened without waiting, kept from other
// writers by a lock, and pushed through to the disk.
#include "mapped.h"
#include "platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Opens `path` with the open(2) `flags`, and the stdio `mode` that matches
// them, without waiting for a pipe's writer or a device. A regular file is
// then read as usual; anything else stays non-blocking, so that no read of
// it waits either.
std::FILE* openAtOnce(const std::string& path, int flags, const char* mode) {
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat status;
    const int fileFlags = fcntl(fd, F_GETFL);
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && fileFlags >= 0)
        fcntl(fd, F_SETFL, fileFlags & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, mode);
    if (!file)
        close(fd);
    return file;
}

}  // namespace

bool fileSize(std::FILE* file, uint64_t& size) {
    struct stat status;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0)
        return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

std::FILE* openForRead(const std::string& path) {
    return openAtOnce(path, O_RDONLY, "rb");
}

std::FILE* openForUpdate(const std::string& path) {
    std::FILE* file = openAtOnce(path, O_RDWR, "r+b");
    // Not waiting for the lock: its holder may never let go, and another run
    // of ours holds it only for a moment. A program that maps the file, as
    // Wine maps a running program's image, would run the changed bytes at
    // once: the editor may be running from it.
    if (file && (flock(fileno(file), LOCK_EX | LOCK_NB) != 0 || mappedElsewhere(file))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}
