// The few operations the run needs from the operating system, implemented
// for each platform in files the build chooses: platform-win32.cpp; on POSIX
// terminal-posix.cpp (keys and the path prompt) and file-posix.cpp (the
// target file); and platform-plain.cpp for anything else, which builds
// everywhere and fails clearly instead of waiting.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Readies the console for the run: where the program's code page is UTF-8
// (paths in any script), the console shows UTF-8 too. restoreConsole puts
// back what it changed; it is called on every way out.
void setUpConsole();
void restoreConsole();

// One keystroke from the console itself, not from standard input, without
// echo and without Enter. An extended key (arrow, function key) yields two
// codes: first 0 or 0xE0, then its second code from the next call without
// waiting. With no console to read, returns at once with kNoKey.
int readKey();

// Returned by readKey when there is no console to read a key from.
constexpr int kNoKey = -1;

// The save-file dialog titled "Convert Nolix Talvik Editor Executable", which
// only accepts an existing file. Stores the chosen path in `path` and returns
// true, or returns false when cancelled, failed or unavailable.
bool choosePathByDialog(std::string& path);

// The size of the open file in bytes. False when it cannot be found or the
// file is not a regular file (a directory, a device, a pipe).
bool fileSize(std::FILE* file, uint64_t& size);

// Opens an existing file for reading without waiting for it: a pipe with no
// writer or a device is opened at once too, and left for fileSize to refuse.
// On Linux a regular file that another program holds a write lease on (as
// openForUpdate takes) is waited for, as any program waits for it: until the
// holder lets go, at most the kernel's lease-break time (45 s by default).
// Null when the file cannot be opened.
std::FILE* openForRead(const std::string& path);

// Opens an existing file for reading and writing in place, never truncating
// it, and keeps every other writer out until it is closed: an exclusive lock
// on POSIX, a share mode that admits readers only on Windows. Null when the
// file cannot be opened or another writer holds it, or while the editor may
// be running from it: on Windows the system refuses a running program's
// image; on Linux, from either build (the Windows one under Wine), any other
// process whose maps it may read (the user's own; any, to root) and that
// maps it, as Wine maps a running program's image, is seen in /proc,
// whatever its Wine prefix; under Wine on a host without /proc only a
// program of the same prefix is. A process that only has the file open is
// no obstacle. On Linux it also takes a write lease where the kernel grants
// one (the user's own file, or any to root, that no other program has open,
// on a filesystem with leases), before that check: until closeUpdated or
// letOthersOpen, any program that opens the file waits, at most the kernel's
// lease-break time. Like openForRead, waits only for another's lease, never
// for a pipe or device.
std::FILE* openForUpdate(const std::string& path);

// Closes the file that openForUpdate opened, letting go of its lock and
// lease together: a program that waited to open it finds no lock left, so
// another run of ours that waited can write in turn. False when the close
// fails. Afterwards letOthersOpen has nothing left to do.
bool closeUpdated(std::FILE* file);

// Lets other programs open the file that openForUpdate opened without
// waiting any longer, those already waiting included; the file stays open
// and locked. Called before any wait for a key while the file is open.
void letOthersOpen();

// Pushes everything written to `file` through to the disk. False on any
// failure.
bool flushToDisk(std::FILE* file);
