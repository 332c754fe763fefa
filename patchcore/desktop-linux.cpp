// Linux desktop: a terminal window for a program started without a
// terminal, and the desktop's file chooser.
#include "desktop.h"
#include "editor-places.h"
#include "patchcore.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

extern char** environ;

namespace {

// The environment variable that marks a copy of this program started in a
// terminal window: set on the terminal's command line to
// `<pid>.<fd>.<inode>`, the first copy's process and the pipe in which it
// offers the run; set to kRunning once a copy has taken the run over. A
// marked copy never starts another window.
const char kInWindow[] = "TALVIK_PATCHERS_IN_WINDOW";
const char kRunning[] = "running";

// A terminal program and the words after which it takes the command to run,
// with the command's own arguments. Each of those words is plain (letters,
// digits, `/`, `.`, `=` and `_`), so that no terminal can split, join, quote
// or expand them.
struct TerminalProgram {
    const char* name;
    const char* beforeCommand[3];  // null where there are fewer
    // The desktops whose own terminal it is, as XDG_CURRENT_DESKTOP names
    // them, separated by `:`; "" for the user's own choice of terminal; null
    // for neither.
    const char* desktops;
    bool waylandOnly;  // starts, then ends at once, in an X session
};

// Tried in three rounds: the user's choice (the freedesktop launcher, then
// Debian's alternative), the current desktop's terminal, then the rest, each
// round in this order.
const TerminalProgram kTerminals[] = {
    {"xdg-terminal-exec", {}, "", false},
    {"x-terminal-emulator", {"-e"}, "", false},
    {"ptyxis", {"--"}, "GNOME", false},
    {"kgx", {"--"}, "GNOME", false},  // GNOME Console
    {"gnome-terminal", {"--"}, "GNOME:X-Cinnamon", false},
    {"konsole", {"-e"}, "KDE", false},
    {"xfce4-terminal", {"-x"}, "XFCE", false},
    {"mate-terminal", {"-x"}, "MATE", false},
    {"qterminal", {"-e"}, "LXQt", false},
    {"lxterminal", {"-e"}, "LXDE", false},
    {"cosmic-term", {"--"}, "COSMIC", false},
    {"io.elementary.terminal", {"-x"}, "Pantheon", false},
    {"deepin-terminal", {"-e"}, "DDE:Deepin", false},
    {"terminology", {"-e"}, "Enlightenment", false},
    {"tilix", {"-e"}, nullptr, false},
    {"terminator", {"-x"}, nullptr, false},
    {"kitty", {}, nullptr, false},
    {"alacritty", {"-e"}, nullptr, false},
    {"ghostty", {"-e"}, nullptr, false},
    {"wezterm", {"start", "--always-new-process", "--"}, nullptr, false},
    {"foot", {"--"}, nullptr, true},
    {"urxvt", {"-e"}, nullptr, false},
    {"st", {"-e"}, nullptr, false},
    {"xterm", {"-e"}, nullptr, false},
};

// How long a copy started in a terminal window may take to take the run
// over: long enough for a terminal's cold start.
const int kReportMillis = 15000;

// What a copy that cannot take the run over says.
const char kNotTakenOver[] = "Can not take over the run that opened this window";

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool graphicalSession() {
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

// The strings of `text`, each of which ends in `separator` or at the end:
// a /proc list, whose strings each end in a NUL, or a colon-separated one.
std::vector<std::string> listOf(const std::string& text, char separator) {
    std::vector<std::string> items;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(separator, start), text.size());
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// True when the colon-separated XDG_CURRENT_DESKTOP names one of the
// colon-separated `desktops`.
bool currentDesktopIs(const std::string& desktops) {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    const std::string current = std::string(":") + (value ? value : "") + ":";
    for (const std::string& desktop : listOf(desktops, ':')) {
        if (current.find(":" + desktop + ":") != std::string::npos)
            return true;
    }
    return false;
}

// Appends what remains to be read from `fd` to `text`. False on an error.
bool readAll(int fd, std::string& text) {
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
        if (got > 0)
            text.append(chunk, got);
    }
}

// Appends the whole file `name`, in the folder `folder` is open on, to
// `text`. False when it cannot be opened or read.
bool readAllAt(int folder, const char* name, std::string& text) {
    const int fd = openat(folder, name, O_RDONLY | O_CLOEXEC);
    const bool whole = fd >= 0 && readAll(fd, text);
    if (fd >= 0)
        close(fd);
    return whole;
}

// The file this program runs from: its absolute path, so that a program in
// a folder not on PATH is found too. "" where it cannot be read.
std::string ownProgram() {
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program);
    return length > 0 && static_cast<size_t>(length) < sizeof program ? std::string(program, length) : "";
}

// True when `name`, in the folder `folder` is open on (or AT_FDCWD), is,
// through any links, the file this program runs from.
bool isOwnFile(int folder, const char* name) {
    struct stat theirs, mine;
    return fstatat(folder, name, &theirs, 0) == 0 && stat("/proc/self/exe", &mine) == 0 &&
           theirs.st_dev == mine.st_dev && theirs.st_ino == mine.st_ino;
}

// This program as it was started: the file it runs from and the arguments
// it was given.
bool ownCommand(std::vector<std::string>& command) {
    std::string arguments;
    const std::string program = ownProgram();
    if (program.empty() || !readAllAt(AT_FDCWD, "/proc/self/cmdline", arguments))
        return false;
    command = listOf(arguments, '\0');
    if (command.empty())
        return false;
    command[0] = program;
    return true;
}

// `argv` as the null-terminated array exec and spawn take.
std::vector<char*> pointersTo(const std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (const std::string& argument : argv)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Starts `command[0]`, looked up on PATH, with `command` as its arguments
// and `environment`. Its process, or -1 when it cannot be started.
pid_t spawn(const std::vector<std::string>& command, const posix_spawn_file_actions_t* actions,
            char* const* environment) {
    std::vector<char*> argv = pointersTo(command);
    pid_t process;
    return posix_spawnp(&process, argv[0], actions, nullptr, argv.data(), environment) == 0 ? process : -1;
}

// Starts `terminal` with the words that run a copy of this program in it,
// and offers that copy the run: one byte in a pipe of its own, named in the
// copy's marker, which the copy takes once it has read what it needs. True
// once the copy has taken it. A terminal that ends with a failure first, or
// whose copy has not taken it within kReportMillis, has not started: the
// byte is taken back, and whoever holds it goes on.
bool copyReportsIn(std::vector<std::string> terminal) {
    int token[2];
    if (pipe2(token, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct stat pipeStatus;
    if (write(token[1], "", 1) != 1 || fstat(token[0], &pipeStatus) != 0) {
        close(token[0]);
        close(token[1]);
        return false;
    }
    const std::string self = std::to_string(getpid());
    terminal.insert(terminal.end(), {"/usr/bin/env",
                                     std::string(kInWindow) + "=" + self + "." + std::to_string(token[0]) + "." +
                                         std::to_string(pipeStatus.st_ino),
                                     "/proc/" + self + "/exe"});
    const pid_t process = spawn(terminal, nullptr, environ);
    // A terminal that ends with success may have handed the command to its
    // server, whose copy may still report in.
    bool running = process > 0;
    bool failed = process <= 0;
    int left = 1;
    for (int waited = 0; !failed && left > 0 && waited < kReportMillis; waited += 20) {
        usleep(20 * 1000);
        int status;
        if (running && waitpid(process, &status, WNOHANG) == process) {
            running = false;
            failed = !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        if (ioctl(token[0], FIONREAD, &left) != 0)
            break;
    }
    char byte;
    ssize_t got;
    while ((got = read(token[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    const bool taken = got < 0 && errno == EAGAIN;
    close(token[0]);
    close(token[1]);
    return taken;
}

// Runs `command` to its end with its output in `output` and what it said on
// its standard error in `errors`. False when it could not be started or was
// ended by a signal; otherwise `status` is its exit status.
bool runDialog(const std::vector<std::string>& command, int& status, std::string& output, std::string& errors) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    // In memory, not a pipe: read once it has ended, it can never fill up.
    const int errorFile = memfd_create("dialog-errors", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Keys typed at the terminal meanwhile are the run's, not the dialog's.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    if (errorFile >= 0)
        posix_spawn_file_actions_adddup2(&actions, errorFile, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const pid_t process = spawn(command, &actions, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    int waitStatus = 0;
    if (process > 0) {
        readAll(pipeEnds[0], output);
        while (waitpid(process, &waitStatus, 0) < 0 && errno == EINTR) {
        }
    }
    close(pipeEnds[0]);
    if (errorFile >= 0) {
        lseek(errorFile, 0, SEEK_SET);
        readAll(errorFile, errors);
        close(errorFile);
    }
    status = WEXITSTATUS(waitStatus);
    return process > 0 && WIFEXITED(waitStatus);
}

// Runs the first of `dialogs`, kdialog's and zenity's forms of one dialog,
// that shows itself, to its end: its exit status, 0 for an answer and 1 for
// a cancel, with its output in `output`; -1 when none could show itself.
int showDialog(const std::vector<std::vector<std::string>>& dialogs, std::string& output) {
    for (const std::vector<std::string>& dialog : dialogs) {
        int status;
        std::string errors;
        output.clear();
        if (!runDialog(dialog, status, output, errors))
            continue;
        // GTK ends with 1 too when it cannot open the display, which is no
        // answer of the user's; GTK 3 and GTK 4 say so in other words. Qt's
        // kdialog aborts instead.
        const bool noDisplay = errors.find("cannot open display") != std::string::npos ||
                               errors.find("Failed to open display") != std::string::npos;
        if (status == 0 || (status == 1 && !noDisplay))
            return status;
    }
    return -1;
}

// kdialog's form of a dialog on KDE, where it is the desktop's own, then
// zenity's.
std::vector<std::vector<std::string>> dialogForms(std::vector<std::string> kdialog,
                                                  std::vector<std::string> zenity) {
    std::vector<std::vector<std::string>> forms;
    if (currentDesktopIs("KDE"))
        forms.push_back(std::move(kdialog));
    forms.push_back(std::move(zenity));
    return forms;
}

// `word` as a shell reads it back: quoted unless it is plain.
std::string shellQuoted(const std::string& word) {
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                "0123456789/._+-=,:@%_") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The user's home folder: HOME, or where it is unset, the account's, from
// /etc/passwd, as a static program cannot ask the name service. "" if none.
std::string homeFolder() {
    if (isSet("HOME"))
        return std::getenv("HOME");
    std::FILE* accounts = std::fopen("/etc/passwd", "re");
    char* line = nullptr;
    size_t capacity = 0;
    std::string home;
    while (accounts && home.empty() && getline(&line, &capacity, accounts) > 0) {
        // name:password:uid:gid:comment:home:shell
        std::vector<std::string> fields(1);
        for (const char* c = line; *c && *c != '\n'; ++c) {
            if (*c == ':')
                fields.emplace_back();
            else
                fields.back() += *c;
        }
        if (fields.size() >= 6 && fields[2] == std::to_string(getuid()))
            home = fields[5];
    }
    std::free(line);
    if (accounts)
        std::fclose(accounts);
    return home;
}

// Reads, from the process `pid`, what a copy in a terminal window needs to
// take its run over, and takes the byte it offers in the pipe it has open
// as `fd`, whose inode is `inode`: its arguments, its environment, and its
// working folder, into which this process changes. All of it comes through
// one open /proc folder, and so from one process, which must run from this
// program's own file; the byte comes last, as that process may end as soon
// as it is gone. False where any of it cannot be had.
bool takeRunOver(int pid, int fd, unsigned long long inode, std::vector<std::string>& arguments,
                 std::vector<std::string>& environment) {
    const int process = open(("/proc/" + std::to_string(pid)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (process < 0 || !isOwnFile(process, "exe"))
        return false;
    std::string cmdline, variables;
    if (!readAllAt(process, "cmdline", cmdline) || !readAllAt(process, "environ", variables))
        return false;
    arguments = listOf(cmdline, '\0');
    environment = listOf(variables, '\0');
    const int folder = openat(process, "cwd", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (arguments.empty() || folder < 0 || fchdir(folder) != 0)
        return false;
    const int token = openat(process, ("fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat offer;
    char byte;
    return token >= 0 && fstat(token, &offer) == 0 && S_ISFIFO(offer.st_mode) && offer.st_ino == inode &&
           read(token, &byte, 1) == 1;
}

// Names this process after its program, as terminals show the name of the
// program that runs in them, and the terminal's window too, through the
// terminal itself.
void nameAfterProgram() {
    const std::string program = ownProgram();
    const std::string name = program.substr(program.rfind('/') + 1);
    if (name.empty())
        return;
    prctl(PR_SET_NAME, name.c_str());  // cut to 15 bytes
    std::string title = "\033]2;";
    for (char c : name) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F)
            title += c;
    }
    title += '\a';
    const int terminal = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (terminal >= 0) {
        // A courtesy: the run goes on without it.
        const ssize_t written = write(terminal, title.data(), title.size());
        static_cast<void>(written);
        close(terminal);
    }
}

}  // namespace

void continueInTerminalWindow() {
    const char* marker = std::getenv(kInWindow);
    int pid, fd;
    unsigned long long inode;
    char rest;
    if (marker && std::strcmp(marker, kRunning) == 0) {
        nameAfterProgram();
        return;
    }
    if (!marker || std::sscanf(marker, "%d.%d.%llu%c", &pid, &fd, &inode, &rest) != 3)
        return;
    std::vector<std::string> arguments, environment;
    if (!takeRunOver(pid, fd, inode, arguments, environment))
        fatalError(kNotTakenOver);
    // The first copy's environment is that of the session the user started
    // it in; a terminal that hands its command to a running instance may
    // give the copy the stale one of its first launch. What the terminal
    // used to show its window is its own.
    std::vector<std::string> kept;
    for (const std::string& entry : environment) {
        const std::string name = entry.substr(0, entry.find('='));
        if (name != kInWindow && name != "DESKTOP_STARTUP_ID" && name != "XDG_ACTIVATION_TOKEN")
            kept.push_back(entry);
    }
    kept.push_back(std::string(kInWindow) + "=" + kRunning);
    // Konsole, among others, names its window after the process that leads
    // the terminal's foreground group as it first sees it: this one, started
    // as env. So the run goes on in a group of its own, in the foreground,
    // started from the program's own file name where that is still this
    // file, and this process ends as it ends.
    const std::string program = ownProgram();
    const char* file = isOwnFile(AT_FDCWD, program.c_str()) ? program.c_str() : "/proc/self/exe";
    const pid_t run = fork();
    if (run <= 0) {
        if (run == 0 && setpgid(0, 0) == 0) {
            // Taking the foreground from the background would stop this process.
            std::signal(SIGTTOU, SIG_IGN);
            const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (terminal >= 0)
                tcsetpgrp(terminal, getpid());
            std::signal(SIGTTOU, SIG_DFL);
        }
        execve(file, pointersTo(arguments).data(), pointersTo(kept).data());
        fatalError(kNotTakenOver);
    }
    int status = 0;
    while (waitpid(run, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        std::signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
}

Window startInTerminalWindow() {
    std::vector<std::string> command;
    if (!graphicalSession() || isSet(kInWindow) || !ownCommand(command))
        return Window::kNone;
    for (int round = 0; round < 3; ++round) {
        for (const TerminalProgram& terminal : kTerminals) {
            const int ownRound = !terminal.desktops                    ? 2
                                 : !*terminal.desktops                 ? 0
                                 : currentDesktopIs(terminal.desktops) ? 1
                                                                       : 2;
            if (ownRound != round || (terminal.waylandOnly && !isSet("WAYLAND_DISPLAY")))
                continue;
            std::vector<std::string> run{terminal.name};
            for (const char* word : terminal.beforeCommand) {
                if (word)
                    run.push_back(word);
            }
            // Not waited for once its copy has taken the run: the window is
            // the user's now.
            if (copyReportsIn(run))
                return Window::kStarted;
        }
    }
    const std::string name = command[0].substr(command[0].rfind('/') + 1);
    std::string typed;
    for (const std::string& word : command)
        typed += shellQuoted(word) + " ";
    typed.pop_back();
    const std::string text = name +
                             " runs in a terminal window, and no terminal program could be started to open one."
                             "\n\nOpen a terminal and run it there:\n\n" +
                             typed;
    std::string output;
    return showDialog(dialogForms({"kdialog", "--title", name, "--error", text},
                                  {"zenity", "--error", "--no-markup", "--title", name, "--text", text}),
                      output) < 0 ? Window::kNone : Window::kToldUser;
}

Chosen chooseFileOnDesktop(const char* title, std::string& path) {
    if (!graphicalSession())
        return Chosen::kUnavailable;
    // Where the editor is, or else the home folder: never GTK's empty
    // "Recent", nor the folder the program happens to start in. The trailing
    // `/` makes zenity open the folder rather than select it.
    const std::string home = homeFolder();
    std::string start = findInstalledEditor(home);
    if (start.empty())
        start = !home.empty() && home.back() == '/' ? home : home + "/";
    // The Windows dialog's two filters, with talvik.exe itself for the first.
    std::string output;
    const int status = showDialog(
        dialogForms({"kdialog", "--title", title, "--getopenfilename", start,
                     "Executable (talvik.exe)\nAll Files (*)"},
                    {"zenity", "--file-selection", "--title", title, "--filename=" + start,
                     "--file-filter=Executable (talvik.exe) | talvik.exe", "--file-filter=All Files (*) | *"}),
        output);
    if (status == 1)
        return Chosen::kCancelled;
    if (status == 0 && output.size() > 1 && output.back() == '\n' && output.find('\0') == std::string::npos) {
        path = output.substr(0, output.size() - 1);
        return Chosen::kFile;
    }
    return Chosen::kUnavailable;
}
