#include "editor-places.h"

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

enum Base {
    kWinePrefix,  // WINEPREFIX itself, when set
    kHome,        // the home folder
    kData,        // XDG_DATA_HOME, by default ~/.local/share
    kSteam,       // each of Steam's libraries
    kBases
};

// A folder to search: a path below its base, in which a `*` stands for each
// folder found there.
struct Place {
    Base base;
    const char* below;
    bool winePrefix;  // search its drive_c, less drive_c/windows; else the folder itself
};

const Place kPlaces[] = {
    {Base::kWinePrefix, "", true},
    {Base::kHome, ".wine", true},
    {Base::kData, "wineprefixes/*", true},  // winetricks
    // Steam: the games it installed, in every library, before any of its
    // Proton prefixes, which are large enough to use up the search.
    {Base::kSteam, "steamapps/common/*", false},
    {Base::kSteam, "steamapps/compatdata/*/pfx", true},
    // Bottles, installed natively and as a Flatpak.
    {Base::kData, "bottles/bottles/*", true},
    {Base::kHome, ".var/app/com.usebottles.bottles/data/bottles/bottles/*", true},
    // Lutris, whose game folder is the prefix or holds it, and PlayOnLinux.
    {Base::kHome, "Games/*", true},
    {Base::kHome, "Games/*/prefix", true},
    {Base::kHome, ".PlayOnLinux/wineprefix/*", true},
    // Heroic, a prefix a game, in its current layout and its older one.
    {Base::kHome, "Games/Heroic/Prefixes/default/*", true},
    {Base::kHome, "Games/Heroic/Prefixes/*", true},
    // CrossOver's bottles.
    {Base::kHome, ".cxoffice/*", true},
};

// Steam's own folders, each its first library and the one that lists the
// rest. Most are links to one another, and a folder is searched once
// however it is reached.
const struct {
    Base base;
    const char* below;
} kSteamFolders[] = {
    // Installed natively, and its usual links.
    {Base::kData, "Steam"},
    {Base::kHome, ".steam/steam"},
    {Base::kHome, ".steam/root"},
    // Debian's and Ubuntu's steam-installer.
    {Base::kHome, ".steam/debian-installation"},
    // The Flatpak, whose home is its own folder.
    {Base::kHome, ".var/app/com.valvesoftware.Steam/.local/share/Steam"},
    {Base::kHome, ".var/app/com.valvesoftware.Steam/.steam/steam"},
    {Base::kHome, ".var/app/com.valvesoftware.Steam/.steam/root"},
    // The snap, whose home is its common folder.
    {Base::kHome, "snap/steam/common/.local/share/Steam"},
    {Base::kHome, "snap/steam/common/.steam/steam"},
    {Base::kHome, "snap/steam/common/.steam/root"},
};
// How much of a list of libraries is read, and how many of the libraries
// listed are looked at, in all.
const std::size_t kListBytes = 1 << 20;
const int kListedLibraries = 16;

// How deep below drive_c, or a game's folder, a folder is still opened:
// far enough for drive_c/Program Files (x86)/<vendor>/<product>/bin/talvik.exe.
const int kDepth = 4;
// Entries looked at in one prefix or game, and in all: a large one cannot
// use up the search, and hundreds of them cannot make the chooser wait.
// Folders not yet in the disk cache are slow to list whatever their number,
// so the search also ends when its time is up.
const long kEntriesPerFolder = 2000;
const long kEntriesInAll = 10000;
const std::chrono::milliseconds kSearchTime(300);

// What the search has left to spend.
struct Budget {
    long entries;
    std::chrono::steady_clock::time_point end;

    bool spent() const { return entries <= 0 || std::chrono::steady_clock::now() >= end; }
};

using Seen = std::set<std::pair<dev_t, ino_t>>;

// True the first time the folder `path` is met: one reached by two paths
// counts once.
bool firstVisit(const fs::path& path, Seen& seen) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           seen.insert({status.st_dev, status.st_ino}).second;
}

// The first kListBytes of the regular file `path`, or "" where it cannot be
// read whole up to there.
std::string readList(const fs::path& path) {
    // Without waiting: a pipe put in its place, or a file another program
    // holds a lease on, is skipped.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string text;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        text.resize(kListBytes);
        std::size_t got = 0;
        ssize_t read_now = 1;
        while (got < text.size() && (read_now = read(fd, &text[got], text.size() - got)) > 0)
            got += static_cast<std::size_t>(read_now);
        text.resize(read_now < 0 ? 0 : got);
    }
    close(fd);
    return text;
}

// Steam's libraries, each once: its own folders, then those they list.
std::vector<fs::path> steamLibraries(const std::vector<fs::path> bases[]) {
    Seen seen;
    std::vector<fs::path> libraries;
    for (const auto& folder : kSteamFolders)
        for (const fs::path& base : bases[folder.base])
            if (firstVisit(base / folder.below, seen))
                libraries.push_back(base / folder.below);
    int looked = 0;
    for (std::size_t own = 0, owned = libraries.size(); own < owned; ++own)
        for (const std::string& path : steamLibraryPaths(readList(libraries[own] / "steamapps/libraryfolders.vdf")))
            if (looked++ < kListedLibraries && firstVisit(path, seen))
                libraries.push_back(path);
    return libraries;
}

std::string lowered(std::string text) {
    for (char& c : text)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

// The folders that `below` names in `base`, each `*` replaced by the folders
// found there; `budget` is spent on the entries listed.
std::vector<fs::path> expand(const fs::path& base, const char* below, Budget& budget) {
    std::vector<fs::path> folders{base};
    for (const fs::path& step : fs::path(below)) {
        std::vector<fs::path> next;
        for (const fs::path& folder : folders) {
            if (step != "*") {
                next.push_back(folder / step);
                continue;
            }
            std::error_code error;
            for (fs::directory_iterator entry(folder, error), end; !error && entry != end && !budget.spent();
                 entry.increment(error), --budget.entries) {
                std::error_code unreadable;
                if (entry->is_directory(unreadable))
                    next.push_back(entry->path());
            }
        }
        folders.swap(next);
    }
    return folders;
}

// Walks `folder` for the newest talvik.exe, kept in `newest` and `when`.
void search(const fs::path& folder, bool winePrefix, Budget& budget, std::string& newest,
            fs::file_time_type& when) {
    std::error_code error;
    fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied, error);
    // Links are listed but not entered: Wine links the user's folders into
    // drive_c/users and / into dosdevices. A link named talvik.exe is no
    // editor either, so each entry's own status is looked at.
    for (long left = kEntriesPerFolder; !error && entry != fs::recursive_directory_iterator() && left > 0 &&
                                        !budget.spent();
         entry.increment(error), --left, --budget.entries) {
        std::error_code unreadable;
        const fs::file_status own = entry->symlink_status(unreadable);
        const std::string name = lowered(entry->path().filename().string());
        if (fs::is_directory(own)) {
            if (entry.depth() >= kDepth || (winePrefix && entry.depth() == 0 && name == "windows"))
                entry.disable_recursion_pending();
        } else if (fs::is_regular_file(own) && name == "talvik.exe") {
            const fs::file_time_type modified = entry->last_write_time(unreadable);
            if (!unreadable && (newest.empty() || modified > when)) {
                newest = entry->path().string();
                when = modified;
            }
        }
    }
}

}  // namespace

std::string findInstalledEditor(const std::string& home) {
    const char* prefix = std::getenv("WINEPREFIX");
    const char* data = std::getenv("XDG_DATA_HOME");
    // Only absolute paths: a relative one would search the current folder.
    const fs::path own = home.size() > 1 && home[0] == '/' ? fs::path(home) : fs::path();
    std::vector<fs::path> bases[kBases];
    if (prefix && *prefix == '/')
        bases[kWinePrefix].push_back(prefix);
    if (!own.empty())
        bases[kHome].push_back(own);
    if (data && *data == '/')
        bases[kData].push_back(data);
    else if (!own.empty())
        bases[kData].push_back(own / ".local/share");
    bases[kSteam] = steamLibraries(bases);
    Seen searched;
    std::string newest;
    fs::file_time_type when;
    Budget budget{kEntriesInAll, std::chrono::steady_clock::now() + kSearchTime};
    for (const Place& place : kPlaces) {
        for (const fs::path& base : bases[place.base]) {
            for (const fs::path& found : expand(base, place.below, budget)) {
                const fs::path folder = place.winePrefix ? found / "drive_c" : found;
                if (firstVisit(folder, searched))
                    search(folder, place.winePrefix, budget, newest, when);
            }
        }
    }
    return newest;
}
