// Windows: the system itself refuses to open a running program's image for
// writing. Wine does so only among the programs of one prefix, so under Wine
// on a Linux host, whose /proc its Unix paths reach, every process's maps are
// read as the Linux build reads them.
#include "mapped.h"

#include <windows.h>

#include <algorithm>
#include <io.h>
#include <vector>

namespace {

// Where Wine reaches the host's /proc, tried in this order.
const char* const kProcFolders[] = {"\\\\?\\unix\\proc\\", "Z:\\proc\\"};

bool underWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Adds the processes that the /proc `folder` lists to `processes`.
void listProcesses(const std::string& folder, std::vector<std::string>& processes) {
    WIN32_FIND_DATAA entry;
    const HANDLE find = FindFirstFileA((folder + "*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (entry.cFileName[0] >= '1' && entry.cFileName[0] <= '9')
            processes.push_back(folder + entry.cFileName);
    } while (FindNextFileA(find, &entry));
    FindClose(find);
}

// The whole of a process's maps, read to its end since /proc gives no size;
// empty when it cannot be read.
std::string mapsOf(const std::string& process) {
    std::string text;
    std::FILE* maps = std::fopen((process + "\\maps").c_str(), "rb");
    if (!maps)
        return text;
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, maps)) > 0)
        text.append(chunk, got);
    std::fclose(maps);
    return text;
}

// Stores in `line` the line of `text` that starts at `at`, and moves `at` to
// the next one. False past the end.
bool nextLine(const std::string& text, size_t& at, std::string& line) {
    if (at >= text.size())
        return false;
    const size_t end = std::min(text.find('\n', at), text.size());
    line = text.substr(at, end - at);
    at = end + 1;
    return true;
}

enum class Opened { kOurs, kOther, kUnknown };

// What opening `path`, named in the maps of `process` and so looked up from
// that process's root, tells of it. Ours is held for writing, so an open of
// it that does not share writing fails with a sharing violation, while one
// of another file succeeds; any other failure tells nothing.
Opened openAsOurs(const std::string& process, const std::string& path) {
    std::string local = process + "\\root" + path;
    for (char& c : local)
        c = c == '/' ? '\\' : c;
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, local.c_str(), -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length <= 0 || !MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, local.c_str(), -1, &wide[0], length))
        return Opened::kUnknown;
    const HANDLE other = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (other != INVALID_HANDLE_VALUE) {
        CloseHandle(other);
        return Opened::kOther;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION ? Opened::kOurs : Opened::kUnknown;
}

// How maps names the file open as `file`. While a view of it is mapped, a
// line shows it with the inode that Wine gives as the file index; that
// line's path opening as our file tells it from another file with the same
// inode number. Not by the view's address: under an emulator (qemu running
// 32-bit Wine), maps shows the host's addresses, not the program's.
bool idInMaps(HANDLE file, const std::vector<std::string>& processes, MapsFileId& id) {
    BY_HANDLE_FILE_INFORMATION info;
    const HANDLE mapping = GetFileInformationByHandle(file, &info)
                               ? CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr)
                               : nullptr;
    if (!mapping)
        return false;
    const uint64_t inode = uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 1);
    bool found = false;
    for (size_t p = 0; view && !found && p < processes.size(); ++p) {
        const std::string maps = mapsOf(processes[p]);
        std::string text;
        MapsLine line;
        for (size_t at = 0; !found && nextLine(maps, at, text);) {
            found = parseMapsLine(text, line) && line.file.inode == inode && !line.removed &&
                    line.path.compare(0, 1, "/") == 0 && openAsOurs(processes[p], line.path) == Opened::kOurs;
        }
        if (found)
            id = line.file;
    }
    if (view)
        UnmapViewOfFile(view);
    CloseHandle(mapping);
    return found;
}

}  // namespace

bool mappedElsewhere(std::FILE* file) {
    if (!underWine())
        return false;
    std::vector<std::string> processes;
    for (size_t f = 0; f < sizeof kProcFolders / sizeof kProcFolders[0] && processes.empty(); ++f)
        listProcesses(kProcFolders[f], processes);
    MapsFileId ours;
    if (!idInMaps(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), processes, ours))
        return false;
    // Our own view is gone by now, so every line that names the file is another program's.
    for (const std::string& process : processes) {
        const std::string maps = mapsOf(process);
        std::string line, path;
        for (size_t at = 0; nextLine(maps, at, line);) {
            const MapsMatch match = matchMapsLine(line, ours, path);
            if (match == MapsMatch::kOurs)
                return true;
            // A path that cannot be opened cannot clear it.
            if (match == MapsMatch::kConfirm && openAsOurs(process, path) != Opened::kOther)
                return true;
        }
    }
    return false;
}
