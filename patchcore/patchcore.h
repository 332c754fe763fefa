// The patch engine shared by fpenabler and gridenlarger: byte runs at fixed
// file offsets, matched against and written into an in-memory file image, and
// the one console run both programs go through.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

// One contiguous run of bytes at a file offset. A record with length 0 (and
// offset 0) is the terminator that closes a set.
struct PatchRecord {
    uint32_t offset;     // position of the first byte, counted from the start of the file
    uint32_t length;     // 1..256 for a live record, 0 for the terminator
    uint8_t bytes[256];  // the run in the first `length` entries, zeros after
};

// An ordered run of records closed by the terminator; walks stop there.
// Records of one set must not overlap. The walks do not check it; the
// catalogue unit tests do, for the sets the programs write.
typedef const PatchRecord* PatchSet;

// The whole target file in memory. Its size never changes.
struct TargetImage {
    uint8_t* bytes;
    uint32_t size;
};

// True when every record's bytes stand in the image at the record's offset.
// A record reaching past the end of the image does not match. Reads nothing
// outside the image and changes nothing.
bool matchPatchSet(const uint8_t* image, uint32_t size, PatchSet set);

// Copies every record's bytes into the image at its offset, in order. Returns
// false at the first record that does not fit; the records before it stay
// written, the ones after it are not written.
bool applyPatchSet(uint8_t* image, uint32_t size, PatchSet set);

// Writes every record's bytes into `file` at its offset, in order, and no
// other byte. `size` is the file's length. Returns false at the first record
// that does not fit in it (nothing of that record is written) or cannot be
// written; the records before it may stand written.
bool writePatchSet(std::FILE* file, uint32_t size, PatchSet set);

// The six recognised states, in the order they are tried. Normal and modified
// sets are signatures and patches; the "other" (fallback) sets are signatures
// only, holding bytes every file of the version has whatever its patch sites hold.
enum StateIndex {
    kNormal35, kModified35, kOther35,
    kNormal34, kModified34, kOther34,
    kStateCount
};

// One recognised state of the target file.
struct TargetState {
    PatchSet set;
    const char* message;  // detection line, newline included
    const char* version;  // "3.5" or "3.4"
};

// A program's constant data: its texts and its six states in StateIndex order.
struct Catalogue {
    const char* banner;        // printed first, or null for none
    const char* pathPrompt;    // printed before the dialog, or null for none
    const char* choicePrompt;  // the two lines asking for "1" or "2"
    TargetState states[kStateCount];
};

// Builds a catalogue from a program's texts and its six sets in StateIndex
// order, adding the detection messages and versions both programs share.
Catalogue makeCatalogue(const char* banner, const char* pathPrompt, const char* choicePrompt,
                        const PatchSet (&sets)[kStateCount]);

// The state key "1" (normal) or "2" (modified) converts `detected` into:
// the normal or modified state of the detected state's version. Returns
// kStateCount for any other key.
StateIndex chooseTargetState(StateIndex detected, int key);

// The whole program: path, load, recognise, prompt, key, write back, "Done".
// Returns exit status 0 on success; every failure ends in fatalError.
int runPatcher(int argc, char** argv, const Catalogue& catalogue);

// Prints "Error: <message>\nPress any key to quit", waits for one key and ends
// the process with status 1. Releases nothing first.
[[noreturn]] void fatalError(const char* message);

// Building records for the catalogues' constant tables.

// A record holding `bytes` as listed.
constexpr PatchRecord byteRecord(uint32_t offset, std::initializer_list<uint8_t> bytes) {
    PatchRecord r{offset, static_cast<uint32_t>(bytes.size()), {}};
    uint32_t i = 0;
    for (uint8_t b : bytes) r.bytes[i++] = b;
    return r;
}

// A record holding a text with its terminating zero byte, which the length counts.
template <size_t N>
constexpr PatchRecord textRecord(uint32_t offset, const char (&text)[N]) {
    static_assert(N >= 1 && N <= 256, "a record holds 1 to 256 bytes");
    PatchRecord r{offset, static_cast<uint32_t>(N), {}};
    for (size_t i = 0; i < N; ++i) r.bytes[i] = static_cast<uint8_t>(text[i]);
    return r;
}

// A record holding a number as the target stores it: little-endian, IEEE 754
// for float and double, whatever the host's byte order.
template <typename T>
constexpr PatchRecord valueRecord(uint32_t offset, T value) {
    static_assert(sizeof(T) == 4 || sizeof(T) == 8, "4- or 8-byte values only");
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    Bits bits = std::bit_cast<Bits>(value);
    PatchRecord r{offset, static_cast<uint32_t>(sizeof(T)), {}};
    for (size_t i = 0; i < sizeof(T); ++i) r.bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return r;
}

// The record that closes every set.
constexpr PatchRecord kEndOfSet{0, 0, {}};
