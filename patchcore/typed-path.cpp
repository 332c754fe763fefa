#include "typed-path.h"

namespace {

// What separates words on a typed line, as in sh.
const std::string kBlanks = " \t";

// Stores in `word` the one word `line` holds, as sh reads it: blanks around
// it dropped, quotes and backslashes removed as sh removes them. False when
// the line holds no word or more than one, or leaves a quote or backslash
// unfinished.
bool shellWord(const std::string& line, std::string& word) {
    word.clear();
    size_t i = line.find_first_not_of(kBlanks);
    if (i == std::string::npos)
        return false;
    char quote = 0;
    for (; i < line.size(); ++i) {
        const char c = line[i];
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                word += c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && i + 1 < line.size() &&
                     std::string("\"\\$`").find(line[i + 1]) != std::string::npos)
                word += line[++i];
            else
                word += c;
        } else if (kBlanks.find(c) != std::string::npos) {
            break;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '\\') {
            if (++i == line.size())
                return false;  // at a shell, a line that goes on
            word += line[i];
        } else {
            word += c;
        }
    }
    return !quote && line.find_first_not_of(kBlanks, i) == std::string::npos;
}

// Puts `home` for the leading `~` of `word` when the `line` it was read from
// begins with an unquoted `~` alone or before a `/`, as sh does. Kept as `~`
// when `home` is null or empty.
void expandHome(const std::string& line, const char* home, std::string& word) {
    // POSIX sh expands a tilde only where no character of its prefix is quoted.
    const size_t i = line.find_first_not_of(kBlanks);
    if (i == std::string::npos || line[i] != '~' ||
        (i + 1 < line.size() && line[i + 1] != '/' && kBlanks.find(line[i + 1]) == std::string::npos))
        return;
    if (home && *home)
        word.replace(0, 1, home);
}

// Turns a file:///path or file://localhost/path link in `word` into its
// path, with %XX decoded; any other word is left as it is. False for a link
// to another host, badly encoded, or with a query or fragment.
bool pathOfLink(std::string& word) {
    static const char scheme[] = "file://";
    if (word.compare(0, sizeof scheme - 1, scheme) != 0)
        return true;
    std::string rest = word.substr(sizeof scheme - 1);
    if (rest.compare(0, 10, "localhost/") == 0)
        rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/' || rest.find_first_of("?#") != std::string::npos)
        return false;
    const std::string hex = "0123456789abcdef0123456789ABCDEF";
    word.clear();
    for (size_t k = 0; k < rest.size(); ++k) {
        if (rest[k] != '%') {
            word += rest[k];
            continue;
        }
        const size_t high = k + 2 < rest.size() ? hex.find(rest[k + 1]) : std::string::npos;
        const size_t low = k + 2 < rest.size() ? hex.find(rest[k + 2]) : std::string::npos;
        if (high == std::string::npos || low == std::string::npos)
            return false;
        word += static_cast<char>(high % 16 * 16 + low % 16);
        k += 2;
    }
    return true;
}

}  // namespace

std::vector<std::string> typedPathCandidates(const std::string& line, const char* home) {
    std::vector<std::string> paths;
    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return paths;
    const std::string asTyped = line.substr(first, line.find_last_not_of(kBlanks) + 1 - first);
    if (asTyped.find('\0') == std::string::npos)
        paths.push_back(asTyped);
    std::string word;
    if (shellWord(line, word)) {
        expandHome(line, home, word);
        if (pathOfLink(word) && word != asTyped && word.find('\0') == std::string::npos)
            paths.push_back(word);
    }
    return paths;
}
