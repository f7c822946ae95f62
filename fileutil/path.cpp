#include "fileutil/path.h"

#include <cstring>

#include "fileutil/platform.h"

namespace {

// Scans from the start so that the lead-byte rule sees every character from
// its first byte; a trail byte of 0x5C is never a separator.
int ScanLast(const char* path, bool allowSlash, bool* endsWithSeparator) {
    int last = -1;
    bool lastWasSeparator = false;
    for (int i = 0; path[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (PlatformIsLeadByte(c) && path[i + 1] != '\0') {
            ++i;
            lastWasSeparator = false;
            continue;
        }
        lastWasSeparator = c == '\\' || (allowSlash && c == '/');
        if (lastWasSeparator && i >= 1) {
            last = i;
        }
    }
    if (endsWithSeparator != nullptr) {
        *endsWithSeparator = lastWasSeparator;
    }
    return last;
}

} // namespace

int LastSeparator(const char* path) {
    return ScanLast(path, true, nullptr);
}

int LastBackslash(const char* path) {
    return ScanLast(path, false, nullptr);
}

bool EndsWithSeparator(const char* path, bool allowSlash) {
    bool ends = false;
    ScanLast(path, allowSlash, &ends);
    return ends;
}

bool CopyText(char* out, size_t outSize, const char* text) {
    size_t length = std::strlen(text);
    if (length >= outSize) {
        return false;
    }
    std::memcpy(out, text, length + 1);
    return true;
}

bool AppendText(char* out, size_t outSize, const char* text) {
    size_t used = std::strlen(out);
    return used < outSize && CopyText(out + used, outSize - used, text);
}

bool DirectoryPart(const char* path, char* out) {
    out[0] = '\0';
    size_t length = std::strlen(path);
    if (length >= static_cast<size_t>(kPathSize)) {
        return false;
    }
    int separator = LastSeparator(path);
    if (separator >= 0) {
        std::memcpy(out, path, static_cast<size_t>(separator) + 1);
        out[separator + 1] = '\0';
    }
    return true;
}

bool FileNamePart(const char* path, char* out) {
    out[0] = '\0';
    size_t length = std::strlen(path);
    if (length >= static_cast<size_t>(kPathSize)) {
        return false;
    }
    int separator = LastSeparator(path);
    std::memcpy(out, path + separator + 1, length - static_cast<size_t>(separator + 1) + 1);
    return true;
}

bool JoinPath(const char* directory, const char* name, char* out, size_t outSize) {
    size_t dirLength = std::strlen(directory);
    size_t nameLength = std::strlen(name);
    bool needSeparator = dirLength > 0 && !EndsWithSeparator(directory, true);
    size_t total = dirLength + (needSeparator ? 1 : 0) + nameLength;
    if (total >= outSize) {
        if (outSize > 0) {
            out[0] = '\0';
        }
        return false;
    }
    std::memmove(out, directory, dirLength);
    if (needSeparator) {
        out[dirLength++] = '\\';
    }
    std::memcpy(out + dirLength, name, nameLength + 1);
    return true;
}

void CutAtLastBackslash(char* path) {
    int separator = LastBackslash(path);
    if (separator >= 1) {
        path[separator] = '\0';
    }
}

unsigned char FoldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

void FoldCaseInPlace(char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>(FoldCase(static_cast<unsigned char>(text[i])));
    }
}

bool SameIgnoringCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (FoldCase(static_cast<unsigned char>(*a)) != FoldCase(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

bool MatchesPattern(const char* pattern, const char* name) {
    if (std::strcmp(pattern, "*.*") == 0) {
        return true;
    }
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern == '?' ||
                   (*pattern != '\0' && FoldCase(static_cast<unsigned char>(*pattern)) ==
                                            FoldCase(static_cast<unsigned char>(*name)))) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') {
        ++pattern;
    }
    return *pattern == '\0';
}
