// Windows platform: keys from the console input device, the path from the
// common save-file dialog, file size and flushing from the C runtime.
#include "mapped.h"
#include "platform.h"

#include <windows.h>
#include <commdlg.h>

#include <cstddef>
#include <string>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

namespace {

const char kDialogTitle[] = "Convert Nolix Talvik Editor Executable";
const char kDialogFilter[] = "Executable(talvik.exe)\0*.exe\0All Files(*.*)\0*.*\0";

// The record as it stood before the fields Windows 2000 added: 76 bytes on
// 32-bit Windows, 136 on 64-bit, where a plain 76 is refused as a bad size.
constexpr DWORD kDialogRecordSize =
    offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(OPENFILENAMEA::lpTemplateName);
static_assert(kDialogRecordSize == (sizeof(void*) == 4 ? 76 : 136), "OPENFILENAMEA without the Windows 2000 fields");

HANDLE consoleInput = nullptr;  // null: not opened yet
UINT savedOutputPage = 0;       // the console's own output code page, once changed
int pendingCode = -1;           // second code of an extended key

HANDLE console() {
    if (!consoleInput) {
        consoleInput = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return consoleInput;
}

// Keys that only change what other keys mean; alone, they are no keystroke.
bool isModifier(WORD virtualKey) {
    switch (virtualKey) {
    case VK_SHIFT: case VK_LSHIFT: case VK_RSHIFT:
    case VK_CONTROL: case VK_LCONTROL: case VK_RCONTROL:
    case VK_MENU: case VK_LMENU: case VK_RMENU:
    case VK_CAPITAL: case VK_NUMLOCK: case VK_SCROLL:
    case VK_LWIN: case VK_RWIN:
        return true;
    }
    return false;
}

// The first code of the next keystroke, setting pendingCode for an extended
// key. kNoKey when the console cannot be read.
int readKeyEvent(HANDLE input) {
    for (;;) {
        INPUT_RECORD event;
        DWORD count = 0;
        if (!ReadConsoleInputA(input, &event, 1, &count) || count != 1)
            return kNoKey;
        if (event.EventType != KEY_EVENT || !event.Event.KeyEvent.bKeyDown)
            continue;
        const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
        if (key.uChar.AsciiChar != 0)
            return static_cast<unsigned char>(key.uChar.AsciiChar);
        // Windows gives Escape its character; Wine's console leaves it out.
        if (key.wVirtualKeyCode == VK_ESCAPE)
            return 0x1B;
        // Right Ctrl and right Alt carry the enhanced flag too, so modifiers go first.
        if (isModifier(key.wVirtualKeyCode))
            continue;
        pendingCode = key.wVirtualScanCode & 0xFF;
        return (key.dwControlKeyState & ENHANCED_KEY) ? 0xE0 : 0;
    }
}

}  // namespace

void setUpConsole() {
    // The manifest asks for UTF-8 as the process code page; Windows before
    // 10 version 1903 ignores that, and then nothing changes here either.
    if (GetACP() != CP_UTF8)
        return;
    const UINT page = GetConsoleOutputCP();  // 0: no console
    if (page != 0 && page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        savedOutputPage = page;
}

void restoreConsole() {
    if (savedOutputPage != 0)
        SetConsoleOutputCP(savedOutputPage);
    savedOutputPage = 0;
}

int readKey() {
    if (pendingCode >= 0) {
        const int code = pendingCode;
        pendingCode = -1;
        return code;
    }
    const HANDLE input = console();
    DWORD savedMode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &savedMode))
        return kNoKey;
    // Mode 0: no line input and no echo, so one keystroke is one event.
    SetConsoleMode(input, 0);
    const int code = readKeyEvent(input);
    SetConsoleMode(input, savedMode);
    return code;
}

bool choosePathByDialog(std::string& path) {
    for (;;) {
        char file[MAX_PATH] = "";
        OPENFILENAMEA dialog{};
        dialog.lStructSize = kDialogRecordSize;
        dialog.hwndOwner = nullptr;
        dialog.lpstrFilter = kDialogFilter;
        dialog.nFilterIndex = 1;
        dialog.lpstrFile = file;
        dialog.nMaxFile = MAX_PATH;
        dialog.lpstrTitle = kDialogTitle;
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_EXPLORER;
        dialog.lpstrDefExt = "exe";
        if (!GetSaveFileNameA(&dialog))
            return false;
        // Wine's save dialog does not hold names to the file-must-exist flag
        // and hands over any name typed: it is checked here as the flag
        // would, and the dialog asked again.
        const DWORD attributes = GetFileAttributesA(file);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            path = file;
            return true;
        }
        const std::string message = std::string(file) + "\nFile not found.\nCheck the file name and try again.";
        MessageBoxA(nullptr, message.c_str(), kDialogTitle, MB_OK | MB_ICONWARNING);
    }
}

bool fileSize(std::FILE* file, uint64_t& size) {
    struct _stati64 status;
    if (_fstati64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG || status.st_size < 0)
        return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

std::FILE* openForRead(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

std::FILE* openForUpdate(const std::string& path) {
    std::FILE* file = _fsopen(path.c_str(), "r+b", _SH_DENYWR);
    if (file && mappedElsewhere(file)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool closeUpdated(std::FILE* file) {
    return std::fclose(file) == 0;
}

// The share mode never kept readers out.
void letOthersOpen() {}
