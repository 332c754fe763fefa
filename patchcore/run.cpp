#include "patchcore.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Each message must stand on the screen before the program waits for a key.
void say(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// Reads the whole open file into `image`, whose buffer is allocated or
// resized to fit it.
void readImage(std::FILE* file, TargetImage& image) {
    // A directory, a device or a file of 4 GiB or more is never read whole.
    uint64_t fileBytes = 0;
    if (!fileSize(file, fileBytes) || fileBytes > UINT32_MAX)
        fatalError("Can not read file");
    image.size = static_cast<uint32_t>(fileBytes);
    // One byte at least: an empty file is not talvik.exe, not a lack of memory.
    void* bytes = std::realloc(image.bytes, image.size ? image.size : 1);
    if (!bytes)
        fatalError("No memory");
    image.bytes = static_cast<uint8_t*>(bytes);
    if (std::fread(image.bytes, 1, image.size, file) != image.size)
        fatalError("Can not read file");
}

}  // namespace

void fatalError(const char* message) {
    // Whoever opens the file meanwhile would wait as long as the key does,
    // Wine's server among them.
    letOthersOpen();
    std::printf("Error: %s\nPress any key to quit", message);
    std::fflush(stdout);
    readKey();
    restoreConsole();
    std::exit(1);
}

int runPatcher(int argc, char** argv, const Catalogue& catalogue) {
    setUpConsole();
    if (catalogue.banner)
        say(catalogue.banner);

    // Kept whole however long: cutting it down could name another file.
    std::string path;
    if (argc >= 2) {
        path = argv[1];
    } else {
        if (catalogue.pathPrompt)
            say(catalogue.pathPrompt);
        if (!choosePathByDialog(path))
            fatalError("No file selected");
        say(path.c_str());
        say("\n");
    }

    std::FILE* file = openForRead(path);
    if (!file)
        fatalError("Can not open file for read");

    TargetImage image{nullptr, 0};
    readImage(file, image);

    int detected = kStateCount;
    for (int i = 0; i < kStateCount && detected == kStateCount; ++i) {
        if (matchPatchSet(image.bytes, image.size, catalogue.states[i].set))
            detected = i;
    }
    if (detected == kStateCount)
        fatalError("Not talvik.exe from Nolix Talvik Editor 3.4 or 3.5");
    say(catalogue.states[detected].message);
    std::fclose(file);

    say(catalogue.choicePrompt);
    const StateIndex target = chooseTargetState(static_cast<StateIndex>(detected), readKey());
    if (target == kStateCount)
        fatalError("Invalid input");

    // Kept from other writers until closed, so that two runs cannot
    // interleave their check and write.
    file = openForUpdate(path);
    if (!file)
        fatalError("Can not open file for write");
    // The prompt may have waited for a long time, and whatever happened to
    // the file meanwhile is not ours to undo: it is checked as it is now.
    readImage(file, image);
    if (!matchPatchSet(image.bytes, image.size, catalogue.states[detected].set))
        fatalError("File changed since it was read");
    std::free(image.bytes);
    // Only the chosen runs are written, in place: a change made elsewhere in
    // the file stays, and an interrupted write leaves at worst some runs half
    // done, which a rerun recognises and repairs. Every run of the target set
    // fits wherever the detected one matched: within a version the normal and
    // modified sets share their records, and the fallback set reaches further.
    if (!writePatchSet(file, image.size, catalogue.states[target].set) || !flushToDisk(file))
        fatalError("Can not write file");
    // Lock and lease go in one close: a run that waited for this one's
    // write then finds the file free.
    if (!closeUpdated(file))
        fatalError("Can not write file");

    say("Done\nPress any key to quit");
    readKey();
    restoreConsole();
    return 0;
}
