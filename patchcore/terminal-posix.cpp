// POSIX platform, the terminal: the controlling terminal stands in for the
// Windows console and, when no path is given and the desktop has no file
// chooser, for the save-file dialog.
#include "desktop.h"
#include "platform.h"
#include "typed-path.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
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

// True when `path` names a regular file (through any symbolic links), the
// only kind the run can read whole.
bool namesRegularFile(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// As the dialog's file-must-exist check does: says so, for asking again.
void refuseName(int fd, const std::string& name) {
    writeText(fd, name.c_str());
    writeText(fd, "\nFile not found.\nCheck the file name and try again.\n");
}

}  // namespace

// The terminal takes the bytes as they come. Started from a file manager,
// with no terminal, the program would end at once without a word: it runs
// in a terminal window instead, where one can be had, or says why not.
void setUpConsole() {
    continueInTerminalWindow();
    if (terminal() >= 0)
        return;
    switch (startInTerminalWindow()) {
    case Window::kStarted:
        std::exit(0);
    case Window::kToldUser:
        std::exit(1);
    case Window::kNone:
        break;
    }
}

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
        std::string picked;
        const Chosen chosen = chooseFileOnDesktop(kDialogTitle, picked);
        if (chosen == Chosen::kCancelled)
            return false;
        if (chosen == Chosen::kUnavailable)
            break;
        if (namesRegularFile(picked)) {
            path = picked;
            return true;
        }
        refuseName(fd, picked);
    }
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
        // for a cancel the user did not ask for. Not the password database
        // for a `~`: a static program cannot read it reliably.
        for (const std::string& typed : typedPathCandidates(line, std::getenv("HOME"))) {
            if (namesRegularFile(typed)) {
                path = typed;
                return true;
            }
        }
        refuseName(fd, line);
    }
}
