#include "patchcore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

namespace {

std::vector<uint8_t> filled(size_t size, uint8_t value = 0xAA) {
    return std::vector<uint8_t>(size, value);
}

constexpr PatchRecord kEmptySet[] = {kEndOfSet};

}  // namespace

TEST(PatchSet, EmptySetMatchesAnythingAndChangesNothing) {
    std::vector<uint8_t> image = filled(8);
    EXPECT_TRUE(matchPatchSet(nullptr, 0, kEmptySet));
    EXPECT_TRUE(matchPatchSet(image.data(), 8, kEmptySet));
    EXPECT_TRUE(applyPatchSet(image.data(), 8, kEmptySet));
    EXPECT_EQ(image, filled(8));
}

TEST(PatchSet, RecordsAtTheEdgeOfTheImage) {
    // The image is exactly 16 bytes; reading past it would be caught by ASan,
    // as the vector is sized exactly.
    struct Case {
        uint32_t offset, length;
        bool fits;
    } cases[] = {
        {12, 4, true},           // ends on the last byte
        {0, 16, true},           // the whole image
        {13, 4, false},          // starts inside, runs one past the end
        {16, 1, false},          // starts at the end
        {0xFFFFFFFF, 2, false},  // offset + length wraps around 32 bits
        {0xFFFFFFF8, 16, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " length " << c.length);
        std::vector<uint8_t> image = filled(16);
        PatchRecord set[] = {PatchRecord{c.offset, c.length, {}}, kEndOfSet};
        for (uint32_t i = 0; i < c.length && i < 256; ++i) set[0].bytes[i] = 0xAA;
        EXPECT_EQ(matchPatchSet(image.data(), 16, set), c.fits);
        for (uint32_t i = 0; i < c.length && i < 256; ++i) set[0].bytes[i] = 0x55;
        EXPECT_EQ(applyPatchSet(image.data(), 16, set), c.fits);
        if (c.fits) {
            EXPECT_TRUE(matchPatchSet(image.data(), 16, set));
            EXPECT_EQ(image[c.offset + c.length - 1], 0x55);
        } else {
            EXPECT_EQ(image, filled(16));
        }
    }
}

TEST(PatchSet, AnySingleDifferingByteFailsTheMatch) {
    constexpr PatchRecord set[] = {
        byteRecord(2, {1, 2, 3}),
        byteRecord(10, {4}),
        byteRecord(20, {5, 6, 7, 8}),
        kEndOfSet,
    };
    std::vector<uint8_t> image = filled(24);
    ASSERT_TRUE(applyPatchSet(image.data(), 24, set));
    ASSERT_TRUE(matchPatchSet(image.data(), 24, set));
    const size_t sites[] = {2, 3, 4, 10, 20, 21, 22, 23};
    for (size_t site : sites) {
        SCOPED_TRACE(site);
        std::vector<uint8_t> changed = image;
        changed[site] ^= 0x01;
        EXPECT_FALSE(matchPatchSet(changed.data(), 24, set));
    }
    // Bytes outside the records are not part of the signature.
    image[0] = image[12] = 0;
    EXPECT_TRUE(matchPatchSet(image.data(), 24, set));
}

TEST(PatchSet, ApplyingWhatIsAlreadyThereChangesNothing) {
    constexpr PatchRecord set[] = {byteRecord(1, {9, 8}), byteRecord(5, {7}), kEndOfSet};
    std::vector<uint8_t> image = {0, 9, 8, 0, 0, 7, 0};
    const std::vector<uint8_t> before = image;
    EXPECT_TRUE(applyPatchSet(image.data(), 7, set));
    EXPECT_EQ(image, before);
}

TEST(PatchSet, ApplyStopsAtTheFirstRecordThatDoesNotFit) {
    constexpr PatchRecord set[] = {
        byteRecord(0, {1, 1}),
        byteRecord(4, {2}),
        byteRecord(9, {3, 3}),  // one byte past the end
        byteRecord(6, {4}),     // fits, but comes after the failure
        kEndOfSet,
    };
    std::vector<uint8_t> image = filled(10, 0);
    EXPECT_FALSE(applyPatchSet(image.data(), 10, set));
    EXPECT_EQ(image, (std::vector<uint8_t>{1, 1, 0, 0, 2, 0, 0, 0, 0, 0}));
}

TEST(PatchSet, WritingToAFileTouchesTheRecordsAndNothingElse) {
    // Written into a file, a set must leave exactly the bytes that applying
    // it to the same bytes in memory leaves: every run at its offset, with its
    // length, the rest of the file and its length as they were.
    constexpr PatchRecord fits[] = {byteRecord(0, {1, 2}), byteRecord(9, {3}), byteRecord(30, {4, 5}), kEndOfSet};
    constexpr PatchRecord third[] = {byteRecord(0, {1, 1}), byteRecord(4, {2}), byteRecord(31, {3, 3}),
                                     byteRecord(6, {4}), kEndOfSet};
    struct Case {
        const char* name;
        PatchSet set;
        bool fits;
    } cases[] = {{"all fit", fits, true}, {"third runs past the end", third, false}, {"empty", kEmptySet, true}};
    const char* const name = "unit-write.tmp";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> image = filled(32, 0xA5);
        std::FILE* file = std::fopen(name, "w+b");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), file), image.size());
        EXPECT_EQ(writePatchSet(file, 32, c.set), c.fits);
        EXPECT_EQ(applyPatchSet(image.data(), 32, c.set), c.fits);
        std::vector<uint8_t> written(40, 0);
        std::rewind(file);
        written.resize(std::fread(written.data(), 1, written.size(), file));
        std::fclose(file);
        std::remove(name);
        EXPECT_EQ(written, image);
    }
}

TEST(PatchSet, RecordBuilders) {
    // Little-endian IEEE 754, whatever the host.
    struct Case {
        PatchRecord record;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {valueRecord(0, 4096.0f), {0x00, 0x00, 0x80, 0x45}},
        {valueRecord(0, -16384.0f), {0x00, 0x00, 0x80, 0xC6}},
        {valueRecord(0, int32_t{10000}), {0x10, 0x27, 0x00, 0x00}},
        {valueRecord(0, 0.03125), {0, 0, 0, 0, 0, 0, 0xA0, 0x3F}},
        {textRecord(0, "ab"), {'a', 'b', 0}},
        {byteRecord(0, {0x75, 0xCD}), {0x75, 0xCD}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.record.length, c.bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(c.record.bytes, c.record.bytes + c.record.length), c.bytes);
        for (uint32_t i = c.record.length; i < 256; ++i) ASSERT_EQ(c.record.bytes[i], 0);
    }
}

TEST(Run, KeysChooseTheStateOfTheDetectedVersion) {
    struct Case {
        StateIndex detected;
        int key;
        StateIndex target;
    } cases[] = {
        {kNormal35, '1', kNormal35},   {kNormal35, '2', kModified35},
        {kModified35, '1', kNormal35}, {kModified35, '2', kModified35},
        {kOther35, '1', kNormal35},    {kOther35, '2', kModified35},
        {kNormal34, '1', kNormal34},   {kNormal34, '2', kModified34},
        {kModified34, '1', kNormal34}, {kModified34, '2', kModified34},
        {kOther34, '1', kNormal34},    {kOther34, '2', kModified34},
        {kNormal35, '3', kStateCount}, {kNormal34, '\r', kStateCount},
        {kOther35, 0xE0, kStateCount}, {kOther34, -1, kStateCount},
        {kNormal35, 0x31 + 0x100, kStateCount},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "state " << c.detected << " key " << c.key);
        EXPECT_EQ(chooseTargetState(c.detected, c.key), c.target);
    }
}
