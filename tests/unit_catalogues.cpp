#include "fpenabler/catalogue.h"
#include "gridenlarger/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<PatchRecord> recordsOf(PatchSet set) {
    std::vector<PatchRecord> records;
    for (const PatchRecord* r = set; r->length != 0; ++r) records.push_back(*r);
    return records;
}

uint64_t endOf(PatchSet set) {
    uint64_t end = 0;
    for (const PatchRecord& r : recordsOf(set)) end = std::max<uint64_t>(end, uint64_t{r.offset} + r.length);
    return end;
}

std::string textOf(const PatchRecord& r) {
    return std::string(reinterpret_cast<const char*>(r.bytes), r.length);
}

// Reads a record as the little-endian number the editor stores there.
uint64_t littleEndian(const PatchRecord& r) {
    uint64_t value = 0;
    for (uint32_t i = r.length; i-- > 0;) value = (value << 8) | r.bytes[i];
    return value;
}

double valueOf(const PatchRecord& r, char type) {
    const uint64_t bits = littleEndian(r);
    if (type == 'i') return static_cast<int32_t>(static_cast<uint32_t>(bits));
    if (type == 'f') {
        float f;
        const uint32_t b = static_cast<uint32_t>(bits);
        std::memcpy(&f, &b, 4);
        return f;
    }
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
}

struct Program {
    const char* name;
    const Catalogue& catalogue;
    uint32_t signatureLength;  // of the fallback's version signature
};
const Program kPrograms[] = {
    {"fpenabler", fpenablerCatalogue(), 15},
    {"gridenlarger", gridenlargerCatalogue(), 16},
};

}  // namespace

TEST(Catalogue, StatesInDetectionOrderWithTheirMessages) {
    const char* const expected[] = {
        "Detected version: Nolix Talvik Editor 3.5 (normal)\n",
        "Detected version: Nolix Talvik Editor 3.5 (already modified)\n",
        "Detected version: Nolix Talvik Editor 3.5 (other)\n",
        "Detected version: Nolix Talvik Editor 3.4 (normal)\n",
        "Detected version: Nolix Talvik Editor 3.4 (already modified)\n",
        "Detected version: Nolix Talvik Editor 3.4 (other)\n",
    };
    for (const Program& p : kPrograms) {
        SCOPED_TRACE(p.name);
        for (int i = 0; i < kStateCount; ++i) {
            EXPECT_STREQ(p.catalogue.states[i].message, expected[i]);
            EXPECT_STREQ(p.catalogue.states[i].version, i < kNormal34 ? "3.5" : "3.4");
        }
        EXPECT_EQ(std::string(p.catalogue.choicePrompt).rfind("Press 1 to convert to normal version\nPress 2 to ", 0), 0u);
    }
}

// Whatever state of a version was recognised, the chosen set must fit the
// file: the run writes it without checking.
TEST(Catalogue, EverySetOfAVersionFitsWhereAnyOfItsStatesWasRecognised) {
    for (const Program& p : kPrograms) {
        for (int family : {kNormal35, kNormal34}) {
            SCOPED_TRACE(testing::Message() << p.name << " state " << family);
            const std::vector<PatchRecord> normal = recordsOf(p.catalogue.states[family].set);
            const std::vector<PatchRecord> modified = recordsOf(p.catalogue.states[family + 1].set);
            ASSERT_FALSE(normal.empty());
            ASSERT_EQ(normal.size(), modified.size());
            for (size_t i = 0; i < normal.size(); ++i) {
                EXPECT_EQ(normal[i].offset, modified[i].offset) << "record " << i;
                EXPECT_EQ(normal[i].length, modified[i].length) << "record " << i;
                EXPECT_LE(normal[i].length, 256u);
            }
            EXPECT_GT(endOf(p.catalogue.states[family + 2].set), endOf(p.catalogue.states[family].set));
            // No record of a set overlaps another.
            for (size_t i = 0; i < normal.size(); ++i)
                for (size_t j = i + 1; j < normal.size(); ++j)
                    EXPECT_TRUE(normal[i].offset + normal[i].length <= normal[j].offset ||
                                normal[j].offset + normal[j].length <= normal[i].offset);
        }
    }
}

TEST(Catalogue, FallbackSignatureIsTheMapVersionString) {
    const std::string signature("220\0mapversion\0\0", 16);
    for (const Program& p : kPrograms) {
        for (int other : {kOther35, kOther34}) {
            SCOPED_TRACE(testing::Message() << p.name << " state " << other);
            const PatchRecord last = recordsOf(p.catalogue.states[other].set).back();
            EXPECT_EQ(last.offset, other == kOther35 ? 0xD4480u : 0xD3470u);
            EXPECT_EQ(textOf(last), signature.substr(0, last.length));
            EXPECT_EQ(last.length, p.signatureLength);
        }
    }
}

TEST(FloatCoordinates, FormatsDifferOnlyInTheNinePointPrecisions) {
    const Catalogue& c = fpenablerCatalogue();
    for (int family : {kNormal35, kNormal34}) {
        SCOPED_TRACE(family);
        const std::vector<PatchRecord> normal = recordsOf(c.states[family].set);
        const std::vector<PatchRecord> modified = recordsOf(c.states[family + 1].set);
        ASSERT_EQ(normal.size(), 4u);
        // The loop opener becomes a jump to just past the loop's closing jump.
        EXPECT_EQ(textOf(normal[0]), "\x8B\x57");
        EXPECT_EQ(textOf(modified[0]), "\x75\x31");
        EXPECT_EQ(textOf(normal[1]), "\x75\xCD");
        EXPECT_EQ(textOf(modified[1]), "\x75\xCD");
        EXPECT_EQ(normal[0].offset + 2 + 0x31, normal[1].offset + 2);
        EXPECT_EQ(normal[1].offset + 2 - 0x33, normal[0].offset);

        const std::string whole = "( %.0f %.0f %.0f ) ( %.0f %.0f %.0f ) ( %.0f %.0f %.0f ) "
                                  "%s [ %g %g %g %g ] [ %g %g %g %g ] %g %g %g ";
        EXPECT_EQ(textOf(normal[2]), whole + std::string(1, '\0'));
        EXPECT_EQ(textOf(normal[3]), whole + "%u %u %u" + std::string(1, '\0'));
        EXPECT_EQ(normal[2].length, 102u);
        EXPECT_EQ(normal[3].length, 110u);
        for (int r : {2, 3}) {
            int changed = 0;
            for (uint32_t i = 0; i < normal[r].length; ++i) {
                if (normal[r].bytes[i] == modified[r].bytes[i]) continue;
                ++changed;
                EXPECT_EQ(normal[r].bytes[i], '0');
                EXPECT_EQ(modified[r].bytes[i], '8');
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(normal[r].bytes) + i - 2, 4), "%.0f");
            }
            EXPECT_EQ(changed, 9);
        }
    }
}

TEST(FloatCoordinates, Version34IsVersion35Moved) {
    const Catalogue& c = fpenablerCatalogue();
    for (int state : {kNormal35, kModified35, kOther35}) {
        const std::vector<PatchRecord> v35 = recordsOf(c.states[state].set);
        const std::vector<PatchRecord> v34 = recordsOf(c.states[state + kNormal34].set);
        ASSERT_EQ(v35.size(), v34.size());
        for (size_t i = 0; i < v35.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "state " << state << " record " << i);
            const uint32_t shift = v35[i].length == 2 ? 0x360 : 0x1010;  // code, or strings and data
            EXPECT_EQ(v35[i].offset - shift, v34[i].offset);
            EXPECT_EQ(textOf(v35[i]), textOf(v34[i]));
        }
    }
}

TEST(GridRange, ValuesAreWhatTheProgramPromises) {
    // Per site: its type, the stock value and the enlarged one.
    struct Site {
        char type;
        double normal, enlarged;
    } sites[] = {
        {'f', 4096.0, 16384.0}, {'f', -4096.0, -16384.0}, {'i', 10000, 20000}, {'f', 0.03125, 0.015625},
        {'f', 256.0, 128.0},    {'d', 256.0, 128.0},      {'d', 0.03125, 0.015625},
    };
    const Catalogue& c = gridenlargerCatalogue();
    for (int family : {kNormal35, kNormal34}) {
        const std::vector<PatchRecord> normal = recordsOf(c.states[family].set);
        const std::vector<PatchRecord> enlarged = recordsOf(c.states[family + 1].set);
        ASSERT_EQ(normal.size(), 7u);
        for (size_t i = 0; i < 7; ++i) {
            SCOPED_TRACE(testing::Message() << "state " << family << " site " << i);
            EXPECT_EQ(normal[i].length, sites[i].type == 'd' ? 8u : 4u);
            EXPECT_EQ(valueOf(normal[i], sites[i].type), sites[i].normal);
            EXPECT_EQ(valueOf(enlarged[i], sites[i].type), sites[i].enlarged);
        }
    }
    // Spot checks against the bytes as they stand in the editor.
    const std::vector<PatchRecord> n35 = recordsOf(c.states[kNormal35].set);
    EXPECT_EQ(littleEndian(n35[1]), 0xC5800000u);
    EXPECT_EQ(littleEndian(n35[6]), 0x3FA0000000000000u);
    EXPECT_EQ(n35[0].offset, 0x215F9u);
    EXPECT_EQ(recordsOf(c.states[kNormal34].set)[6].offset, 0xB86E8u);
}
