// Linux desktop: a terminal window for a program started without a
// terminal, and the desktop's file chooser.
#include "desktop.h"

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// In the environment of the copy started in a terminal window: that copy
// never starts another, even when the window gave it no terminal.
const char kInWindow[] = "TALVIK_PATCHERS_IN_WINDOW";

// A terminal program, and the argument after which it takes the command to
// run with the command's own arguments; null where the command's absolute
// path, which no option begins like, follows the options directly.
struct TerminalProgram {
    const char* name;
    const char* beforeCommand;
    bool waylandOnly;  // starts, then ends at once, in an X session
};

// The freedesktop launcher of the user's terminal, then Debian's choice of
// it, then the terminals desktops commonly bring.
const TerminalProgram kTerminals[] = {
    {"xdg-terminal-exec", nullptr, false}, {"x-terminal-emulator", "-e", false},
    {"gnome-terminal", "--", false}, {"konsole", "-e", false}, {"xfce4-terminal", "-x", false},
    {"kitty", nullptr, false}, {"alacritty", "-e", false}, {"foot", "--", true}, {"xterm", "-e", false},
};

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

bool graphicalSession() {
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY");
}

// True when the colon-separated XDG_CURRENT_DESKTOP names `desktop`.
bool currentDesktopIs(const std::string& desktop) {
    const char* value = std::getenv("XDG_CURRENT_DESKTOP");
    const std::string list = std::string(":") + (value ? value : "") + ":";
    return list.find(":" + desktop + ":") != std::string::npos;
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

// This program as it was started: its absolute path, so that a program in a
// folder not on PATH is found too, and the arguments it was given.
bool ownCommand(std::vector<std::string>& command) {
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program);
    const int cmdline = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    std::string arguments;
    const bool whole = cmdline >= 0 && readAll(cmdline, arguments);
    if (cmdline >= 0)
        close(cmdline);
    if (!whole || length <= 0 || static_cast<size_t>(length) == sizeof program)
        return false;
    // Each argument ends in a NUL; the first is the name it was started by.
    command.assign(1, std::string(program, length));
    for (size_t end = arguments.find('\0'); end != std::string::npos && end + 1 < arguments.size();) {
        const size_t start = end + 1;
        end = arguments.find('\0', start);
        command.push_back(arguments.substr(start, end - start));
    }
    return true;
}

// Starts `command[0]`, looked up on PATH, with `command` as its arguments
// and `environment`. Its process, or -1 when it cannot be started.
pid_t spawn(const std::vector<std::string>& command, const posix_spawn_file_actions_t* actions,
            char* const* environment) {
    std::vector<char*> argv;
    for (const std::string& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t process;
    return posix_spawnp(&process, argv[0], actions, nullptr, argv.data(), environment) == 0 ? process : -1;
}

// Runs `command` to its end with its output in `output` and what it said on
// its standard error in `errors`. False when it could not be started or was
// ended by a signal; otherwise `status` is its exit status.
bool runChooser(const std::vector<std::string>& command, int& status, std::string& output, std::string& errors) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return false;
    // In memory, not a pipe: read once it has ended, it can never fill up.
    const int errorFile = memfd_create("chooser-errors", MFD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Keys typed at the terminal meanwhile are the run's, not the chooser's.
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

}  // namespace

bool startInTerminalWindow() {
    std::vector<std::string> command;
    if (!graphicalSession() || isSet(kInWindow) || !ownCommand(command))
        return false;
    // Inherited by the copy in the window; this copy starts nothing else.
    setenv(kInWindow, "1", 1);
    for (const TerminalProgram& terminal : kTerminals) {
        if (terminal.waylandOnly && !isSet("WAYLAND_DISPLAY"))
            continue;
        std::vector<std::string> run{terminal.name};
        if (terminal.beforeCommand)
            run.push_back(terminal.beforeCommand);
        run.insert(run.end(), command.begin(), command.end());
        // Not waited for: the window is the user's now, and this copy ends.
        if (spawn(run, nullptr, environ) > 0)
            return true;
    }
    return false;
}

Chosen chooseFileOnDesktop(const char* title, std::string& path) {
    if (!graphicalSession())
        return Chosen::kUnavailable;
    // The Windows dialog's two filters, with talvik.exe itself for the first.
    std::vector<std::vector<std::string>> choosers;
    if (currentDesktopIs("KDE")) {
        choosers.push_back({"kdialog", "--title", title, "--getopenfilename", ".",
                            "Executable (talvik.exe)\nAll Files (*)"});
    }
    choosers.push_back({"zenity", "--file-selection", "--title", title,
                        "--file-filter=Executable (talvik.exe) | talvik.exe", "--file-filter=All Files (*) | *"});
    for (const std::vector<std::string>& chooser : choosers) {
        int status;
        std::string output, errors;
        if (!runChooser(chooser, status, output, errors))
            continue;
        // Both end with status 1 on a cancel; GTK ends so too when it cannot
        // open the display, which is no answer of the user's.
        if (status == 1 && errors.find("cannot open display") == std::string::npos)
            return Chosen::kCancelled;
        if (status == 0 && output.size() > 1 && output.back() == '\n' &&
            output.find('\0') == std::string::npos) {
            path = output.substr(0, output.size() - 1);
            return Chosen::kFile;
        }
    }
    return Chosen::kUnavailable;
}
