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
