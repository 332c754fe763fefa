#include "mapped.h"

#include <algorithm>

namespace {

// Reads the number in `base` at `text[i]`, moving `i` past it. False when
// no digit stands there, or the number needs more than 64 bits.
bool readNumber(const std::string& text, size_t& i, uint64_t base, uint64_t& value) {
    const std::string digits = "0123456789abcdef";
    const size_t from = i;
    value = 0;
    for (; i < text.size(); ++i) {
        const uint64_t digit = digits.find(text[i]);
        if (digit >= base)
            break;
        if (value > (UINT64_MAX - digit) / base)
            return false;
        value = value * base + digit;
    }
    return i > from;
}

bool readChar(const std::string& text, size_t& i, char c) {
    return i < text.size() && text[i++] == c;
}

// Moves `i` past any spaces.
void skipSpaces(const std::string& text, size_t& i) {
    i = std::min(text.find_first_not_of(' ', i), text.size());
}

// Moves `i` past any spaces, then past the field that follows them.
void skipField(const std::string& text, size_t& i) {
    skipSpaces(text, i);
    i = std::min(text.find(' ', i), text.size());
}

}  // namespace

// "start-end perms offset major:minor inode   path", the path absent for
// an anonymous range and marked " (deleted)" once removed.
bool parseMapsLine(const std::string& text, MapsLine& line) {
    size_t i = 0;
    uint64_t end = 0;
    if (!readNumber(text, i, 16, line.start) || !readChar(text, i, '-') || !readNumber(text, i, 16, end))
        return false;
    skipField(text, i);  // permissions
    skipField(text, i);  // offset
    skipSpaces(text, i);
    if (!readNumber(text, i, 16, line.file.major) || !readChar(text, i, ':') ||
        !readNumber(text, i, 16, line.file.minor) || !readChar(text, i, ' '))
        return false;
    skipSpaces(text, i);
    if (!readNumber(text, i, 10, line.file.inode))
        return false;
    skipSpaces(text, i);
    std::string shown = text.substr(i, text.find('\n', i) - i);
    static const std::string removed = " (deleted)";
    line.removed = shown.size() >= removed.size() &&
                   shown.compare(shown.size() - removed.size(), removed.size(), removed) == 0;
    if (line.removed)
        shown.erase(shown.size() - removed.size());
    // The kernel escapes a newline in a name, and only that.
    line.path.clear();
    for (size_t k = 0; k < shown.size(); ++k) {
        if (shown.compare(k, 4, "\\012") == 0) {
            line.path += '\n';
            k += 3;
        } else {
            line.path += shown[k];
        }
    }
    return true;
}

MapsMatch matchMapsLine(const std::string& text, const MapsFileId& ours, std::string& path) {
    MapsLine line;
    if (!parseMapsLine(text, line) || line.file.inode == 0 || line.file.inode != ours.inode ||
        line.file.major != ours.major || line.file.minor != ours.minor)
        return MapsMatch::kOther;
    if (line.removed || line.path.empty() || line.path[0] != '/')
        return MapsMatch::kOurs;
    path = line.path;
    return MapsMatch::kConfirm;
}
