// Preloaded into a patcher to make its writes fail or lag on demand, as a
// full, failing or slow disk would. PATCHERS_FAULT names the fault:
//   fsync    every fsync fails with EIO
//   crash    every fsync is done, then the process is killed, as by a power
//            cut right after it
//   fclose   every fclose closes the stream, then reports EIO
//   fwrite   the second fwrite writes half of its bytes and reports ENOSPC,
//            so that the first run reaches the file and the rest do not
//   realloc  every realloc of 64 KiB or more fails with ENOMEM, as the file's
//            image does where memory is short
//   slow     every fwrite after the first waits 0.3 s first, so that the file
//            stands half written meanwhile: the fseek before it has pushed the
//            run before to the file. Where PATCHERS_FAULT_MARK names a file,
//            the second fwrite first makes it, then waits while the stream's
//            write lease stands unbroken, at most 30 s: another program's
//            open then meets the file half written. The fclose of the stream
//            written to waits 0.3 s too, before it closes: another program
//            that waited for the writer gets there while the file is still
//            open, unless the close lets go of lease and lock together.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

bool failing(const char* call) {
    const char* fault = std::getenv("PATCHERS_FAULT");
    return fault && std::strcmp(fault, call) == 0;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int writes = 0;
FILE* written = nullptr;  // the stream of the last fwrite, under "slow"

}  // namespace

extern "C" int fsync(int fd) {
    if (failing("fsync")) {
        errno = EIO;
        return -1;
    }
    const int result = next<int (*)(int)>("fsync")(fd);
    if (failing("crash"))
        raise(SIGKILL);
    return result;
}

extern "C" int fclose(FILE* stream) {
    if (failing("slow") && stream == written)
        usleep(300000);
    const int result = next<int (*)(FILE*)>("fclose")(stream);
    if (failing("fclose")) {
        errno = EIO;
        return EOF;
    }
    return result;
}

extern "C" size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    const auto real = next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite");
    if (failing("fwrite") && ++writes == 2) {
        real(data, size, count / 2, stream);
        errno = ENOSPC;
        return count / 2;
    }
    if (failing("slow")) {
        written = stream;
        if (++writes > 1) {
            const char* mark = std::getenv("PATCHERS_FAULT_MARK");
            if (mark && writes == 2) {
                close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
                for (int waits = 0; fcntl(fileno(stream), F_GETLEASE) == F_WRLCK && waits < 3000; ++waits)
                    usleep(10000);
            }
            usleep(300000);
        }
    }
    return real(data, size, count, stream);
}

extern "C" void* realloc(void* block, size_t size) {
    if (failing("realloc") && size >= (64 << 10)) {
        errno = ENOMEM;
        return nullptr;
    }
    return next<void* (*)(void*, size_t)>("realloc")(block, size);
}
