#include "patchcore.h"

#include <cstring>

namespace {

// Compared as 64-bit so that offset + length cannot wrap around.
bool fits(const PatchRecord& record, uint32_t size) {
    return uint64_t{record.offset} + record.length <= size;
}

}  // namespace

bool matchPatchSet(const uint8_t* image, uint32_t size, PatchSet set) {
    for (const PatchRecord* r = set; r->length != 0; ++r) {
        if (!fits(*r, size) || std::memcmp(image + r->offset, r->bytes, r->length) != 0)
            return false;
    }
    return true;
}

bool applyPatchSet(uint8_t* image, uint32_t size, PatchSet set) {
    for (const PatchRecord* r = set; r->length != 0; ++r) {
        if (!fits(*r, size))
            return false;
        std::memcpy(image + r->offset, r->bytes, r->length);
    }
    return true;
}

bool writePatchSet(std::FILE* file, uint32_t size, PatchSet set) {
    for (const PatchRecord* r = set; r->length != 0; ++r) {
        // fseek takes a long, which has 32 bits on Windows: an offset of
        // 2 GiB or more turns negative there and is refused, not wrapped.
        const long offset = static_cast<long>(r->offset);
        if (!fits(*r, size) || offset < 0 || std::fseek(file, offset, SEEK_SET) != 0 ||
            std::fwrite(r->bytes, 1, r->length, file) != r->length)
            return false;
    }
    return true;
}

Catalogue makeCatalogue(const char* banner, const char* pathPrompt, const char* choicePrompt,
                        const PatchSet (&sets)[kStateCount]) {
    static const char* const kMessages[kStateCount] = {
        "Detected version: Nolix Talvik Editor 3.5 (normal)\n",
        "Detected version: Nolix Talvik Editor 3.5 (already modified)\n",
        "Detected version: Nolix Talvik Editor 3.5 (other)\n",
        "Detected version: Nolix Talvik Editor 3.4 (normal)\n",
        "Detected version: Nolix Talvik Editor 3.4 (already modified)\n",
        "Detected version: Nolix Talvik Editor 3.4 (other)\n",
    };
    Catalogue catalogue{banner, pathPrompt, choicePrompt, {}};
    for (int i = 0; i < kStateCount; ++i)
        catalogue.states[i] = TargetState{sets[i], kMessages[i], i < kNormal34 ? "3.5" : "3.4"};
    return catalogue;
}

StateIndex chooseTargetState(StateIndex detected, int key) {
    // Each version's three states stand together: normal, modified, other.
    const int family = detected < kNormal34 ? kNormal35 : kNormal34;
    if (key == '1')
        return static_cast<StateIndex>(family);
    if (key == '2')
        return static_cast<StateIndex>(family + 1);
    return kStateCount;
}
