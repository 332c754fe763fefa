// Linux desktop: a terminal window for a program started without a
// terminal, and the desktop's file chooser.
#include "desktop.h"
#include "editor-places.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Set on the command line of the copy started in a terminal window: that
// copy never starts another, even when the window gave it no terminal.
const char kInWindow[] = "TALVIK_PATCHERS_IN_WINDOW";

// A terminal program, and the argument after which it takes the command to
// run with the command's own arguments; null where the command's absolute
// path, which no option begins like, follows the options directly.
struct TerminalProgram {
    const char* name;
    const char* beforeCommand;
    const char* option;  // one it needs before that, or null
    // The desktop whose own terminal it is, as XDG_CURRENT_DESKTOP names it;
    // "" for the user's own choice of terminal; null for neither.
    const char* desktop;
    bool waylandOnly;  // starts, then ends at once, in an X session
};

// Tried in three rounds: the user's choice (the freedesktop launcher, then
// Debian's alternative), the current desktop's terminal, then the rest, each
// round in this order.
const TerminalProgram kTerminals[] = {
    {"xdg-terminal-exec", nullptr, nullptr, "", false},
    {"x-terminal-emulator", "-e", nullptr, "", false},
    {"ptyxis", "--", nullptr, "GNOME", false},
    {"kgx", "--", nullptr, "GNOME", false},  // GNOME Console
    {"gnome-terminal", "--", nullptr, "GNOME", false},
    {"konsole", "-e", nullptr, "KDE", false},
    {"xfce4-terminal", "-x", nullptr, "XFCE", false},
    {"mate-terminal", "-x", nullptr, "MATE", false},
    {"qterminal", "-e", nullptr, "LXQt", false},
    {"lxterminal", "-e", nullptr, "LXDE", false},
    {"tilix", "-e", nullptr, nullptr, false},
    // Without -u (no D-Bus), a terminator already open in the session runs
    // the command's words joined by blanks, through a shell.
    {"terminator", "-x", "-u", nullptr, false},
    {"kitty", nullptr, nullptr, nullptr, false},
    {"alacritty", "-e", nullptr, nullptr, false},
    {"foot", "--", nullptr, nullptr, true},
    {"urxvt", "-e", nullptr, nullptr, false},
    {"xterm", "-e", nullptr, nullptr, false},
};

// How long a terminal program that has started may take to fail: one that
// cannot open its window (gnome-terminal without its server) ends within it.
const int kStartMillis = 1000;

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

// The file name of the program that `name` runs, found on PATH and followed
// through its links (Debian's alternatives); "" where there is none.
std::string programBehind(const std::string& name) {
    const char* value = std::getenv("PATH");
    const std::string folders = value ? value : "";
    for (size_t start = 0; start <= folders.size();) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        char* found = realpath((folders.substr(start, end - start) + "/" + name).c_str(), nullptr);
        const std::string path = found ? found : "";
        std::free(found);
        if (!path.empty() && access(path.c_str(), X_OK) == 0)
            return path.substr(path.rfind('/') + 1);
        start = end + 1;
    }
    return "";
}

// Starts `command` and gives it a moment to fail. One still running then,
// or ended with success (a client that handed the command to its server),
// has started; one ended otherwise counts as not started.
bool startsWindow(const std::vector<std::string>& command) {
    const pid_t process = spawn(command, nullptr, environ);
    for (int waited = 0; process > 0 && waited < kStartMillis; waited += 20) {
        int status;
        const pid_t ended = waitpid(process, &status, WNOHANG);
        if (ended == process)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (ended < 0 && errno != EINTR)
            break;
        usleep(20 * 1000);
    }
    return process > 0;
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
        // GTK ends with 1 too when it cannot open the display, which is no
        // answer of the user's.
        if (runDialog(dialog, status, output, errors) &&
            (status == 0 || (status == 1 && errors.find("cannot open display") == std::string::npos)))
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

}  // namespace

Window startInTerminalWindow() {
    std::vector<std::string> command;
    if (!graphicalSession() || isSet(kInWindow) || !ownCommand(command))
        return Window::kNone;
    // On the command line rather than in the environment: a terminal that
    // runs one instance per session (kgx, tilix, terminator) runs it with the
    // environment of the instance's first launch. The first word has no
    // blank, as some terminals split it; env would take a program path with
    // a `=` for another variable, so such a path is run through sh.
    std::vector<std::string> marked{"/usr/bin/env", std::string(kInWindow) + "=1"};
    if (command[0].find('=') != std::string::npos)
        marked.insert(marked.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\""});
    marked.insert(marked.end(), command.begin(), command.end());
    for (int round = 0; round < 3; ++round) {
        for (const TerminalProgram& terminal : kTerminals) {
            const int ownRound = !terminal.desktop                    ? 2
                                 : !*terminal.desktop                 ? 0
                                 : currentDesktopIs(terminal.desktop) ? 1
                                                                      : 2;
            if (ownRound != round || (terminal.waylandOnly && !isSet("WAYLAND_DISPLAY")))
                continue;
            std::vector<std::string> run{terminal.name};
            // x-terminal-emulator may be any of them, and is given its option.
            const std::string program = programBehind(terminal.name);
            for (const TerminalProgram& same : kTerminals) {
                if (same.option && program == same.name)
                    run.push_back(same.option);
            }
            if (terminal.beforeCommand)
                run.push_back(terminal.beforeCommand);
            run.insert(run.end(), marked.begin(), marked.end());
            // Not waited for once started: the window is the user's now.
            if (startsWindow(run))
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
