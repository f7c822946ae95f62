#include <climits>
#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"

int32_t EnumerateFiles(const char* directory, const char* pattern, EnumerateCallback callback,
                       int32_t userValue) {
    char searchText[kPathSize];
    if (!JoinPath(directory, pattern, searchText)) {
        return -1;
    }
    PlatformFindHandle handle = nullptr;
    PlatformFindData entry;
    if (!PlatformFindFirst(searchText, &handle, &entry)) {
        return -1;
    }
    int32_t count = 0;
    char fullPath[kPathSize];
    do {
        if (std::strcmp(entry.name, ".") == 0 || std::strcmp(entry.name, "..") == 0) {
            continue;
        }
        if (entry.attributes == kAttrDirectory) {
            continue;
        }
        ++count;
        // An entry whose full path does not fit is counted but not handed on.
        if (callback != nullptr && JoinPath(directory, entry.name, fullPath) &&
            !callback(fullPath, userValue)) {
            break;
        }
    } while (PlatformFindNext(handle, &entry));
    PlatformFindClose(handle);
    return count;
}

bool FileExists(const char* path) {
    char directory[kPathSize];
    char name[kPathSize];
    if (!DirectoryPart(path, directory) || !FileNamePart(path, name)) {
        return false;
    }
    return EnumerateFiles(directory, name, nullptr, 0) > 0;
}

int32_t ReadWholeFile(unsigned char** buffer, const char* path) {
    FILE* stream = PlatformOpenStream(path, "rb");
    if (stream == nullptr) {
        return -1;
    }
    int32_t result = -1;
    unsigned char* block = nullptr;
    if (std::fseek(stream, 0, SEEK_END) == 0) {
        long size = std::ftell(stream);
        if (size >= 0 && size < INT32_MAX && std::fseek(stream, 0, SEEK_SET) == 0) {
            block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size) + 1));
            if (block != nullptr) {
                if (std::fread(block, 1, static_cast<size_t>(size), stream) ==
                    static_cast<size_t>(size)) {
                    block[size] = '\0';
                    result = static_cast<int32_t>(size);
                } else {
                    std::free(block);
                    block = nullptr;
                }
            }
        }
    }
    std::fclose(stream);
    if (result >= 0) {
        *buffer = block;
    }
    return result;
}

FILE* OpenForWrite(const char* path, const char* mode) {
    char directory[kPathSize];
    char prefix[kPathSize];
    if (!DirectoryPart(path, directory)) {
        return nullptr;
    }
    // Walk the directory part character by character; every separator ends a
    // prefix whose directory must exist or be made.
    for (int i = 0; directory[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(directory[i]);
        prefix[i] = directory[i];
        if (PlatformIsLeadByte(c) && directory[i + 1] != '\0') {
            ++i;
            prefix[i] = directory[i];
            continue;
        }
        if (c != '\\' && c != '/') {
            continue;
        }
        prefix[i + 1] = '\0';
        if (EnumerateFiles(prefix, "*.*", nullptr, 0) >= 0) {
            continue;
        }
        prefix[i] = '\0';
        if (!PlatformCreateDirectory(prefix)) {
            return nullptr;
        }
        prefix[i] = '\\';
    }
    if (FileExists(path)) {
        PlatformDeleteFile(path);
    }
    return PlatformOpenStream(path, mode);
}

void DeleteFileForced(const char* path) {
    if (path[0] == '\0') {
        return;
    }
    PlatformSetAttributesNormal(path);
    PlatformDeleteFile(path);
}

bool DeleteEnumeratedFile(const char* path, int32_t /*userValue*/) {
    PlatformSetAttributesNormal(path);
    PlatformDeleteFile(path);
    return true;
}
