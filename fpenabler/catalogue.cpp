#include "catalogue.h"

namespace {

// The editor's output formats for one brush face: three points of three
// coordinates, texture, two groups of four, three numbers; the "u" forms end
// in three unsigned numbers. Only the precision of the nine point coordinates
// differs between the pairs, so the strings keep their lengths and places.
#define POINTS(p) "( " p " " p " " p " ) ( " p " " p " " p " ) ( " p " " p " " p " ) "
#define REST "%s [ %g %g %g %g ] [ %g %g %g %g ] %g %g %g "
constexpr char kFaceWhole[] = POINTS("%.0f") REST;
constexpr char kFaceWholeU[] = POINTS("%.0f") REST "%u %u %u";
constexpr char kFaceDecimal[] = POINTS("%.8f") REST;
constexpr char kFaceDecimalU[] = POINTS("%.8f") REST "%u %u %u";
#undef POINTS
#undef REST

// "220", NUL, "mapversion", NUL: present in every build of a version,
// whatever its patch sites hold.
constexpr char kVersionSignature[] = "220\0mapversion";

// MOV EDX,[EDI+disp8] opens the coordinate-rounding loop; JNZ -0x33 closes it.
// Turning the MOV into JNZ +0x31 jumps straight past the loop.
#define LOOP_OPEN_NORMAL {0x8B, 0x57}
#define LOOP_OPEN_SKIPPED {0x75, 0x31}
#define LOOP_CLOSE {0x75, 0xCD}

constexpr PatchRecord kNormal35[] = {
    byteRecord(0x277A2, LOOP_OPEN_NORMAL),
    byteRecord(0x277D3, LOOP_CLOSE),
    textRecord(0xD42A0, kFaceWhole),
    textRecord(0xD4308, kFaceWholeU),
    kEndOfSet,
};
constexpr PatchRecord kModified35[] = {
    byteRecord(0x277A2, LOOP_OPEN_SKIPPED),
    byteRecord(0x277D3, LOOP_CLOSE),
    textRecord(0xD42A0, kFaceDecimal),
    textRecord(0xD4308, kFaceDecimalU),
    kEndOfSet,
};
constexpr PatchRecord kOther35[] = {
    byteRecord(0x277D3, LOOP_CLOSE),
    textRecord(0xD4480, kVersionSignature),
    kEndOfSet,
};

// 3.4 has the same code 0x360 bytes and the same data 0x1010 bytes earlier.
constexpr PatchRecord kNormal34[] = {
    byteRecord(0x27442, LOOP_OPEN_NORMAL),
    byteRecord(0x27473, LOOP_CLOSE),
    textRecord(0xD3290, kFaceWhole),
    textRecord(0xD32F8, kFaceWholeU),
    kEndOfSet,
};
constexpr PatchRecord kModified34[] = {
    byteRecord(0x27442, LOOP_OPEN_SKIPPED),
    byteRecord(0x27473, LOOP_CLOSE),
    textRecord(0xD3290, kFaceDecimal),
    textRecord(0xD32F8, kFaceDecimalU),
    kEndOfSet,
};
constexpr PatchRecord kOther34[] = {
    byteRecord(0x27473, LOOP_CLOSE),
    textRecord(0xD3470, kVersionSignature),
    kEndOfSet,
};

const Catalogue kCatalogue = makeCatalogue(
    "Talvik floating point enabler\n"
    "    by the Talvik tools team\n",
    "Path of talvik.exe:\n",
    "Press 1 to convert to normal version\n"
    "Press 2 to enable floating point coordinates output\n",
    {kNormal35, kModified35, kOther35, kNormal34, kModified34, kOther34});

}  // namespace

const Catalogue& fpenablerCatalogue() {
    return kCatalogue;
}
