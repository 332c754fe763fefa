// POSIX platform, the target file: opened without waiting, kept from other
// writers by a lock and, on Linux, from other openers by a lease while it is
// written, and pushed through to the disk.
#include "mapped.h"
#include "platform.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// Leases are Linux's: elsewhere fcntl refuses the command, and none is taken.
#ifndef F_SETLEASE
#define F_SETLEASE (-1)
#endif

namespace {

// Opens `path` with the open(2) `flags`, and the stdio `mode` that matches
// them, without waiting for a pipe's writer or a device. A regular file is
// then read as usual; anything else stays non-blocking, so that no read of
// it waits either.
std::FILE* openAtOnce(const std::string& path, int flags, const char* mode) {
    int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    // A regular file answers so while another program holds a lease on it,
    // another run of ours say, and is waited for as any program waits: until
    // the holder's bytes are on disk, or past the lease-break time, when the
    // kernel lets the open through. A device may answer so too, and is not.
    struct stat named;
    if (fd < 0 && errno == EWOULDBLOCK && stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode)) {
        do
            fd = open(path.c_str(), flags | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
    }
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

// The descriptor openForUpdate holds a write lease on, or -1 once the lease
// is let go or the file closed.
int leased = -1;

// Takes a write lease on `fd` where the kernel grants one. Refused, it is
// gone without: the check against a running editor still stands.
void takeWriteLease(int fd) {
    // The kernel tells of each opener with SIGIO, which would end the program;
    // the opener just waits for closeUpdated or letOthersOpen.
    std::signal(SIGIO, SIG_IGN);
    // Another program with the file open (a file manager's moment, say) may
    // close it soon; beyond about 100 ms it is not waited for.
    for (int tries = 0; fcntl(fd, F_SETLEASE, F_WRLCK) != 0; ++tries) {
        if (errno != EAGAIN || tries == 20)
            return;
        usleep(5000);
    }
    leased = fd;
}

}  // namespace

void letOthersOpen() {
    if (leased >= 0)
        fcntl(leased, F_SETLEASE, F_UNLCK);
    leased = -1;
}

bool closeUpdated(std::FILE* file) {
    // The close takes the lease with it. Linux's last close of a file
    // removes its flock locks before its leases, and wakes those waiting for
    // the lease only then (fs/locks.c, locks_remove_file): an opener that
    // waited never meets the lock.
    leased = -1;
    return std::fclose(file) == 0;
}

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
    if (!file)
        return nullptr;
    // Not waiting for the lock: its holder may never let go, and another run
    // of ours holds it only for a moment. A program that maps the file, as
    // Wine maps a running program's image, would run the changed bytes at
    // once: the editor may be running from it. The lease comes first, so that
    // one that opens the file after the check waits for the finished file;
    // the check still sees those that had it before, lease or not.
    if (flock(fileno(file), LOCK_EX | LOCK_NB) == 0) {
        takeWriteLease(fileno(file));
        if (!mappedElsewhere(file))
            return file;
        letOthersOpen();
    }
    std::fclose(file);
    return nullptr;
}
