#include "patchcore/editor-places.h"
#include "patchcore/mapped.h"
#include "patchcore/typed-path.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(TypedPath, LinesAndThePathsTheyMayName) {
    using Paths = std::vector<std::string>;
    struct Case {
        const char* line;
        const char* home;
        Paths paths;  // in the order they are tried
    } cases[] = {
        {"/g/talvik.exe", "/h", {"/g/talvik.exe"}},
        {"  /g/Program Files/talvik.exe \t", "/h", {"/g/Program Files/talvik.exe"}},
        {"'/g/a b/t.exe' ", "/h", {"'/g/a b/t.exe'", "/g/a b/t.exe"}},  // dragged from a file manager
        {"\t\"/g/a b/t.exe\"", "/h", {"\"/g/a b/t.exe\"", "/g/a b/t.exe"}},
        {"/g/a\\ b/t.exe", "/h", {"/g/a\\ b/t.exe", "/g/a b/t.exe"}},
        {"~/t.exe", "/h", {"~/t.exe", "/h/t.exe"}},
        {"~", "/h", {"~", "/h"}},
        {"~/t.exe", nullptr, {"~/t.exe"}},
        {"~/t.exe", "", {"~/t.exe"}},
        {"~me/t.exe", "/h", {"~me/t.exe"}},
        {"'~'/t.exe", "/h", {"'~'/t.exe", "~/t.exe"}},
        {"file:///g/a%20b/t.exe", "/h", {"file:///g/a%20b/t.exe", "/g/a b/t.exe"}},
        {"file://localhost/g/t.exe", "/h", {"file://localhost/g/t.exe", "/g/t.exe"}},
        {"file:///%C3%89diteur/t.exe", "/h", {"file:///%C3%89diteur/t.exe", "/\xC3\x89" "diteur/t.exe"}},
        {"file://elsewhere/g/t.exe", "/h", {"file://elsewhere/g/t.exe"}},
        {"file:///g/t.exe%00.txt", "/h", {"file:///g/t.exe%00.txt"}},  // would open /g/t.exe
        {"file:///g/t%2", "/h", {"file:///g/t%2"}},
        {"file:///g/t.exe?x=1", "/h", {"file:///g/t.exe?x=1"}},
        {"/g/t.exe /g/t.exe", "/h", {"/g/t.exe /g/t.exe"}},
        {"'/g/a b", "/h", {"'/g/a b"}},
        {"/g/t.exe\\", "/h", {"/g/t.exe\\"}},
        {"\"/g/\\talvik\"", "/h", {"\"/g/\\talvik\"", "/g/\\talvik"}},  // in double quotes "\t" is kept
        {"'/g/a\\ b'", "/h", {"'/g/a\\ b'", "/g/a\\ b"}},
        {"  ", "/h", {}},
        {"", "/h", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "line [" << c.line << "]");
        EXPECT_EQ(typedPathCandidates(c.line, c.home), c.paths);
    }
    EXPECT_EQ(typedPathCandidates(std::string("/g/t.exe\0.txt", 13), "/h"), Paths{});
}

TEST(MapsLine, WhatALineSaysOfOurFile) {
    const MapsFileId ours{0x00, 0x29, 257};  // as maps shows it: on btrfs, not stat's device
    const std::string head = "7f4a1c000000-7f4a1c001000 r--s 00000000 ";
    struct Case {
        std::string line;
        MapsMatch match;
        const char* path;  // stored for kConfirm
    } cases[] = {
        {head + "00:29 257                      /g/sub/talvik.exe\n", MapsMatch::kConfirm, "/g/sub/talvik.exe"},
        {head + "00:29 257 /g/Program Files/talvik.exe", MapsMatch::kConfirm, "/g/Program Files/talvik.exe"},
        {head + "00:29 257 /g/two\\012lines.exe", MapsMatch::kConfirm, "/g/two\nlines.exe"},
        {head + "00:29 257 /g/talvik.exe (deleted)", MapsMatch::kOurs, ""},
        {head + "00:29 257 anon_inode:talvik", MapsMatch::kOurs, ""},
        {head + "00:29 257", MapsMatch::kOurs, ""},
        {head + "00:2a 257 /g/sub/talvik.exe", MapsMatch::kOther, ""},  // stat's device of the subvolume
        {head + "08:29 257 /g/talvik.exe", MapsMatch::kOther, ""},
        {head + "00:29 2570 /g/talvik.exe", MapsMatch::kOther, ""},
        {head + "00:29 25 /g/talvik.exe", MapsMatch::kOther, ""},
        {head + "00:00 0                        [heap]", MapsMatch::kOther, ""},
        {head + "00:29 99999999999999999999257 /g/talvik.exe", MapsMatch::kOther, ""},
        {"7f4a1c000000-7f4a1c001000", MapsMatch::kOther, ""},
        {"", MapsMatch::kOther, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "line [" << c.line << "]");
        std::string path;
        EXPECT_EQ(matchMapsLine(c.line, ours, path), c.match);
        EXPECT_EQ(path, c.path);
    }
    std::string path;
    EXPECT_EQ(matchMapsLine(head + "103:1f 18446744073709551615 /g/t.exe", MapsFileId{0x103, 0x1f, UINT64_MAX}, path),
              MapsMatch::kConfirm);

    MapsLine line;
    ASSERT_TRUE(parseMapsLine(head + "103:1f 257      /g/a b (deleted)\n", line));
    EXPECT_EQ((std::vector<uint64_t>{line.start, line.file.major, line.file.minor, line.file.inode}),
              (std::vector<uint64_t>{0x7f4a1c000000, 0x103, 0x1f, 257}));
    EXPECT_EQ(std::make_pair(line.path, line.removed), std::make_pair(std::string("/g/a b"), true));
}

TEST(SteamLibraries, WhatTheListNames) {
    using Paths = std::vector<std::string>;
    // As Steam writes it, two libraries, with Windows line ends.
    const std::string two =
        "\"libraryfolders\"\r\n{\r\n\t\"0\"\r\n\t{\r\n\t\t\"path\"\t\t\"/home/u/.local/share/Steam\"\r\n"
        "\t\t\"label\"\t\t\"\"\r\n\t\t\"apps\"\r\n\t\t{\r\n\t\t\t\"228980\"\t\t\"424887636\"\r\n\t\t}\r\n\t}\r\n"
        "\t\"1\"\r\n\t{\r\n\t\t\"path\"\t\t\"/mnt/games/SteamLibrary\"\r\n\t}\r\n}\r\n";
    const struct {
        std::string text;
        Paths paths;
    } cases[] = {
        {two, {"/home/u/.local/share/Steam", "/mnt/games/SteamLibrary"}},
        {R"("libraryfolders" { "1" { "path" "/run/media/deck/SD \\ \"1\"" } })", {"/run/media/deck/SD \\ \"1\""}},
        {R"("libraryfolders" { "1" { "apps" { "path" "/a" } } "path" "/b" "2" { "path" "/d" } } "3" { "path" "/c" })",
         {"/d"}},
        {R"("libraryfolders" { "1" { "path" "SteamLibrary" } "2" { "path" "D:\\Steam" } "3" { "path" "/e" } })",
         {"/e"}},
        {two.substr(0, two.size() - 4), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text [" << c.text << "]");
        EXPECT_EQ(steamLibraryPaths(c.text), c.paths);
    }
}
