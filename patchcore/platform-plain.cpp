// Fallback platform for systems with neither a Windows console nor a POSIX
// terminal: no key and no dialog can be had, so the run fails at once with
// its usual message instead of waiting for input that cannot come.
#include "platform.h"

void setUpConsole() {}
void restoreConsole() {}

int readKey() {
    return kNoKey;
}

bool choosePathByDialog(std::string&) {
    return false;
}

bool fileSize(std::FILE* file, uint64_t& size) {
    if (std::fseek(file, 0, SEEK_END) != 0)
        return false;
    const long end = std::ftell(file);
    if (end < 0 || std::fseek(file, 0, SEEK_SET) != 0)
        return false;
    size = static_cast<uint64_t>(end);
    return true;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0;
}

std::FILE* openForRead(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

// No way to keep other writers out is known here.
std::FILE* openForUpdate(const std::string& path) {
    return std::fopen(path.c_str(), "r+b");
}

bool closeUpdated(std::FILE* file) {
    return std::fclose(file) == 0;
}

void letOthersOpen() {}
