#include "editor-places.h"

#include <cstddef>

namespace {

// What a block in the file is to the search.
enum class Block {
    kOther,
    kList,   // the top-level "libraryfolders"
    kEntry,  // a numbered entry in it, one library
};

bool isNumber(const std::string& key) {
    return !key.empty() && key.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

std::vector<std::string> steamLibraryPaths(const std::string& text) {
    std::vector<Block> open;  // the blocks the text is in, outermost first
    std::vector<std::string> paths;
    std::string key, token;
    bool haveKey = false;
    for (std::size_t at = 0;;) {
        at = text.find_first_not_of(" \t\r\n", at);
        if (at == std::string::npos)
            break;
        if (text.compare(at, 2, "//") == 0) {
            at = text.find('\n', at);
            continue;
        }
        const char c = text[at++];
        if (c == '{') {
            if (!haveKey)
                return {};
            open.push_back(open.empty() && key == "libraryfolders"                    ? Block::kList
                           : !open.empty() && open.back() == Block::kList && isNumber(key) ? Block::kEntry
                                                                                         : Block::kOther);
            haveKey = false;
        } else if (c == '}') {
            if (haveKey || open.empty())
                return {};
            open.pop_back();
        } else if (c == '"') {
            token.clear();
            for (;;) {
                if (at == text.size())
                    return {};
                char next = text[at++];
                if (next == '"')
                    break;
                if (next == '\\') {
                    if (at == text.size())
                        return {};
                    next = text[at++];
                }
                token += next;
            }
            if (!haveKey) {
                key.swap(token);
                haveKey = true;
                continue;
            }
            // Only absolute paths: a relative one would be searched from
            // wherever the program was started.
            if (!open.empty() && open.back() == Block::kEntry && key == "path" && token[0] == '/')
                paths.push_back(token);
            haveKey = false;
        } else {
            return {};
        }
    }
    // Cut short, as a file still being written or read only in part is.
    if (haveKey || !open.empty())
        return {};
    return paths;
}
