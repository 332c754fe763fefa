#include "catalogue.h"

namespace {

// The grid's extent, its largest size, and its finest and coarsest steps,
// each stored once or twice in the editor's code and data. The enlarged
// range quadruples the extent, doubles the size limit and halves the steps.
// The tables hold the values themselves; the bytes are derived from them.
constexpr float kExtentNormal = 4096.0f, kExtentEnlarged = 16384.0f;
constexpr int32_t kSizeNormal = 10000, kSizeEnlarged = 20000;
constexpr float kFineNormal = 0.03125f, kFineEnlarged = 0.015625f;
constexpr float kCoarseNormal = 256.0f, kCoarseEnlarged = 128.0f;

// Offsets of the seven values, 3.5 first, in the order the sets list them.
struct Sites {
    uint32_t extent, negativeExtent, size, fine, coarse, coarseDouble, fineDouble;
};
constexpr Sites kSites35{0x215F9, 0x21603, 0x51CD9, 0x3C4F1, 0x3C514, 0xB96E8, 0xB96F0};
constexpr Sites kSites34{0x212C9, 0x212D3, 0x51959, 0x3C231, 0x3C254, 0xB86E0, 0xB86E8};

#define GRID_SET(at, extentValue, sizeValue, fineValue, coarseValue) \
    {                                                               \
        valueRecord(at.extent, extentValue),                        \
        valueRecord(at.negativeExtent, -extentValue),               \
        valueRecord(at.size, sizeValue),                            \
        valueRecord(at.fine, fineValue),                            \
        valueRecord(at.coarse, coarseValue),                        \
        valueRecord(at.coarseDouble, double{coarseValue}),          \
        valueRecord(at.fineDouble, double{fineValue}),              \
        kEndOfSet,                                                  \
    }

constexpr PatchRecord kNormal35[] = GRID_SET(kSites35, kExtentNormal, kSizeNormal, kFineNormal, kCoarseNormal);
constexpr PatchRecord kModified35[] = GRID_SET(kSites35, kExtentEnlarged, kSizeEnlarged, kFineEnlarged, kCoarseEnlarged);
constexpr PatchRecord kNormal34[] = GRID_SET(kSites34, kExtentNormal, kSizeNormal, kFineNormal, kCoarseNormal);
constexpr PatchRecord kModified34[] = GRID_SET(kSites34, kExtentEnlarged, kSizeEnlarged, kFineEnlarged, kCoarseEnlarged);
#undef GRID_SET

// "220", NUL, "mapversion", two NULs: present in every build of a version,
// whatever its grid constants hold.
constexpr char kVersionSignature[] = "220\0mapversion\0";
constexpr PatchRecord kOther35[] = {textRecord(0xD4480, kVersionSignature), kEndOfSet};
constexpr PatchRecord kOther34[] = {textRecord(0xD3470, kVersionSignature), kEndOfSet};

const Catalogue kCatalogue = makeCatalogue(
    nullptr,
    nullptr,
    "Press 1 to convert to normal version\n"
    "Press 2 to enlarge the range of grid\n",
    {kNormal35, kModified35, kOther35, kNormal34, kModified34, kOther34});

}  // namespace

const Catalogue& gridenlargerCatalogue() {
    return kCatalogue;
}
