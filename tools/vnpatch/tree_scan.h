// The files of a version tree, with the checksums the archive builder needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TreeFile {
    std::string name; // relative, "\" between folders
    std::string key;  // name in lower case: Windows matches names that way
    std::string path; // on this machine
    uint64_t size;
    uint32_t crc;
    uint64_t fingerprint;
};

// A name in lower case, byte by byte (trail bytes of double-byte characters
// too): the key names match by.
std::string KeyOf(const std::string& name);
// The file at path on this machine, under the given record name: its key,
// size and checksums. False when it cannot be read.
bool DescribeFile(const std::string& path, const std::string& name, TreeFile* file);
// Every regular file under root, sorted by key. False with a reason when the
// tree cannot be walked or a file cannot be read.
bool ScanTree(const char* root, std::vector<TreeFile>* files, std::string* error);
// The file of that key, or null.
const TreeFile* FindByKey(const std::vector<TreeFile>& files, const std::string& key);
