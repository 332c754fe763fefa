// POSIX platform: the controlling terminal stands in for the Windows console
// and, when no path is given, for the save-file dialog.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

const char kDialogTitle[] = "Convert Nolix Talvik Editor Executable";

// How long the rest of an escape sequence or of a UTF-8 character may take to
// follow its first byte. Terminals send them in one write, so anything later
// is a new keystroke.
const int kSequenceMillis = 50;

int terminalFd = -2;          // -2: not opened yet, -1: no terminal
int pendingCode = -1;         // second code of an extended key
struct termios savedMode;     // the mode to put back, also from a signal handler

const int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
struct sigaction previousActions[sizeof kEndingSignals / sizeof kEndingSignals[0]];

int terminal() {
    if (terminalFd == -2) {
        terminalFd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (terminalFd < 0)
            terminalFd = -1;
    }
    return terminalFd;
}

void restoreAndDie(int signal) {
    tcsetattr(terminalFd, TCSANOW, &savedMode);
    ::signal(signal, SIG_DFL);
    raise(signal);
}

// Signals that would end the process while the terminal is raw put its mode
// back first. A signal the parent chose to ignore stays ignored.
void guardSignals(bool on) {
    for (size_t i = 0; i < sizeof kEndingSignals / sizeof kEndingSignals[0]; ++i) {
        if (on) {
            struct sigaction action {};
            action.sa_handler = restoreAndDie;
            sigemptyset(&action.sa_mask);
            sigaction(kEndingSignals[i], nullptr, &previousActions[i]);
            if (previousActions[i].sa_handler == SIG_DFL)
                sigaction(kEndingSignals[i], &action, nullptr);
        } else {
            sigaction(kEndingSignals[i], &previousActions[i], nullptr);
        }
    }
}

// One byte, waiting at most `millis` (-1: for ever). -1 on timeout, end or error.
int readByte(int fd, int millis) {
    for (;;) {
        struct pollfd ready {fd, POLLIN, 0};
        const int n = poll(&ready, 1, millis);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        unsigned char byte;
        const ssize_t got = read(fd, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        return got == 1 ? byte : -1;
    }
}

// The console's second code for the key an escape sequence names.
int scanCodeOf(int final, int number) {
    switch (final) {
    case 'A': return 0x48;  // up
    case 'B': return 0x50;  // down
    case 'C': return 0x4D;  // right
    case 'D': return 0x4B;  // left
    case 'H': return 0x47;  // home
    case 'F': return 0x4F;  // end
    case 'P': return 0x3B;  // F1..F4
    case 'Q': return 0x3C;
    case 'R': return 0x3D;
    case 'S': return 0x3E;
    case '~':
        switch (number) {
        case 1: case 7: return 0x47;
        case 2: return 0x52;
        case 3: return 0x53;
        case 4: case 8: return 0x4F;
        case 5: return 0x49;
        case 6: return 0x51;
        case 11: case 12: case 13: case 14: case 15: return 0x3B + number - 11;
        case 17: case 18: case 19: case 20: case 21: return 0x40 + number - 17;
        case 23: return 0x85;
        case 24: return 0x86;
        }
        break;
    }
    return final;
}

// Reads the rest of a sequence that began with ESC and returns its second
// code, or -1 when nothing followed and the key was Escape itself. Every byte
// of the sequence is consumed.
int readEscapeSequence(int fd) {
    const int introducer = readByte(fd, kSequenceMillis);
    if (introducer < 0)
        return -1;
    if (introducer == 'O') {
        const int final = readByte(fd, kSequenceMillis);
        return final < 0 ? 'O' : scanCodeOf(final, 0);
    }
    if (introducer != '[')
        return introducer;  // Alt with a key
    int number = 0;
    bool firstNumber = true;
    for (;;) {
        const int byte = readByte(fd, kSequenceMillis);
        if (byte < 0)
            return '[';
        if (byte >= 0x40 && byte <= 0x7E)
            return scanCodeOf(byte, number);
        if (byte == ';')
            firstNumber = false;
        else if (firstNumber && byte >= '0' && byte <= '9')
            number = number * 10 + (byte - '0');
    }
}

// The rest of a UTF-8 character whose first byte is `lead`, as one code point.
int readUtf8(int fd, int lead) {
    int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    int codePoint = lead & (0x3F >> more);
    while (more-- > 0) {
        const int byte = readByte(fd, kSequenceMillis);
        if (byte < 0 || (byte & 0xC0) != 0x80)
            break;
        codePoint = (codePoint << 6) | (byte & 0x3F);
    }
    return codePoint;
}

void writeText(int fd, const char* text) {
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = write(fd, text, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// What separates words on a typed line, as in sh.
const std::string kBlanks = " \t";

// Stores in `word` the one word `line` holds, as sh reads it: blanks around
// it dropped, quotes and backslashes removed as sh removes them. False when
// the line holds no word or more than one, or leaves a quote or backslash
// unfinished.
bool shellWord(const std::string& line, std::string& word) {
    word.clear();
    size_t i = line.find_first_not_of(kBlanks);
    if (i == std::string::npos)
        return false;
    char quote = 0;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && i + 1 < line.size() &&
                     std::string("\"\\$`").find(line[i + 1]) != std::string::npos)
                word += line[++i];
            else
                word += c;
        } else if (kBlanks.find(c) != std::string::npos) {
            break;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '\\') {
            if (++i == line.size())
                return false;  // at a shell, a line that goes on
            word += line[i];
        } else {
            word += c;
        }
    }
    return !quote && line.find_first_not_of(kBlanks, i) == std::string::npos;
}

// Puts the home directory (HOME) for the leading `~` of `word` when the
// `line` it was read from begins with an unquoted `~` alone or before a `/`,
// as sh does. Kept as `~` when HOME is unset or empty.
void expandHome(const std::string& line, std::string& word) {
    // POSIX sh expands a tilde only where no character of its prefix is quoted.
    const size_t i = line.find_first_not_of(kBlanks);
    if (i == std::string::npos || line[i] != '~' ||
        (i + 1 < line.size() && line[i + 1] != '/' && kBlanks.find(line[i + 1]) == std::string::npos))
        return;
    // Not the password database: a static program cannot read it reliably.
    const char* dir = std::getenv("HOME");
    if (dir && *dir)
        word.replace(0, 1, dir);
}

// Turns a file:///path or file://localhost/path link in `word` into its
// path, with %XX decoded; any other word is left as it is. False for a link
// to another host, badly encoded, or with a query or fragment.
bool pathOfLink(std::string& word) {
    static const char scheme[] = "file://";
    if (word.compare(0, sizeof scheme - 1, scheme) != 0)
        return true;
    std::string rest = word.substr(sizeof scheme - 1);
    if (rest.compare(0, 10, "localhost/") == 0)
        rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/' || rest.find_first_of("?#") != std::string::npos)
        return false;
    const std::string hex = "0123456789abcdef0123456789ABCDEF";
    word.clear();
    for (size_t k = 0; k < rest.size(); ++k) {
        if (rest[k] != '%') {
            word += rest[k];
            continue;
        }
        const size_t high = k + 2 < rest.size() ? hex.find(rest[k + 1]) : std::string::npos;
        const size_t low = k + 2 < rest.size() ? hex.find(rest[k + 2]) : std::string::npos;
        if (high == std::string::npos || low == std::string::npos)
            return false;
        word += static_cast<char>(high % 16 * 16 + low % 16);
        k += 2;
    }
    return true;
}

// Stores in `path` the path that `line` names when taken as the shell takes
// one word, with a leading `~` and a file link resolved. False when any of
// those steps refuses it.
bool pathOfTypedWord(const std::string& line, std::string& path) {
    if (!shellWord(line, path))
        return false;
    expandHome(line, path);
    return pathOfLink(path);
}

// True when `path` names a regular file (through any symbolic links), the
// only kind the run can read whole.
bool namesRegularFile(const std::string& path) {
    // A NUL would cut the path short and name another file than the one shown.
    struct stat status;
    return path.find('\0') == std::string::npos && stat(path.c_str(), &status) == 0 &&
           S_ISREG(status.st_mode);
}

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

// True when a process other than this one maps the file that `fd` is open
// on, as its /proc/<pid>/maps shows: the same device and inode, so that a
// hard link counts and a copy does not. A process whose maps cannot be read,
// and a system without /proc, show none.
bool mappedElsewhere(int fd) {
    struct stat file;
    DIR* processes = fstat(fd, &file) == 0 ? opendir("/proc") : nullptr;
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

}  // namespace

// The terminal takes the bytes as they come.
void setUpConsole() {}
void restoreConsole() {}

int readKey() {
    if (pendingCode >= 0) {
        const int code = pendingCode;
        pendingCode = -1;
        return code;
    }
    const int fd = terminal();
    if (fd < 0 || tcgetattr(fd, &savedMode) != 0)
        return kNoKey;

    struct termios raw = savedMode;
    raw.c_iflag &= ~(IGNBRK | BRKINT | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
    raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    guardSignals(true);
    // TCSANOW, not TCSAFLUSH: keys typed ahead are keys, not noise.
    if (tcsetattr(fd, TCSANOW, &raw) != 0) {
        guardSignals(false);
        return kNoKey;
    }

    int key = readByte(fd, -1);
    if (key == 0x1B) {
        const int second = readEscapeSequence(fd);
        if (second >= 0) {
            pendingCode = second;
            key = 0xE0;
        }
    } else if (key >= 0xC2 && key <= 0xF4) {
        key = readUtf8(fd, key);
    }

    tcsetattr(fd, TCSANOW, &savedMode);
    guardSignals(false);
    return key < 0 ? kNoKey : key;
}

bool choosePathByDialog(std::string& path) {
    const int fd = terminal();
    if (fd < 0)
        return false;
    for (;;) {
        writeText(fd, kDialogTitle);
        writeText(fd, ": ");
        std::string line;
        int byte;
        while ((byte = readByte(fd, -1)) >= 0 && byte != '\n' && byte != '\r')
            line += static_cast<char>(byte);
        if (line.empty())
            return false;
        // A line of blanks is not empty: it is refused as a name, not taken
        // for a cancel the user did not ask for. A path typed plainly, spaces
        // and all, is what most people type at a prompt that is no shell.
        const size_t first = line.find_first_not_of(kBlanks);
        std::string typed =
            first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(kBlanks) + 1 - first);
        if (namesRegularFile(typed) || (pathOfTypedWord(line, typed) && namesRegularFile(typed))) {
            path = typed;
            return true;
        }
        // As the dialog's file-must-exist check does: refuse and ask again.
        writeText(fd, line.c_str());
        writeText(fd, "\nFile not found.\nCheck the file name and try again.\n");
    }
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
    // Not waiting for the lock: its holder may never let go, and another run
    // of ours holds it only for a moment. A program that maps the file, as
    // Wine maps a running program's image, would run the changed bytes at
    // once: the editor may be running from it.
    if (file && (flock(fileno(file), LOCK_EX | LOCK_NB) != 0 || mappedElsewhere(fileno(file)))) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}
