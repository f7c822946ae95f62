#include "tools/vnpatch/tree_scan.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "fileutil/path.h"
#include "patch/crc32_stream.h"

namespace fs = std::filesystem;

std::string KeyOf(const std::string& name) {
    std::string key = name;
    FoldCaseInPlace(key.data(), key.size());
    return key;
}

bool ScanTree(const char* root, std::vector<TreeFile>* files, std::string* error) {
    files->clear();
    std::error_code ec;
    fs::path base(root);
    if (!fs::is_directory(base, ec)) {
        *error = std::string(root) + " is not a directory";
        return false;
    }
    fs::recursive_directory_iterator it(base, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) {
            continue;
        }
        TreeFile file;
        file.path = it->path().string();
        file.name = it->path().lexically_relative(base).generic_string();
        std::replace(file.name.begin(), file.name.end(), '/', '\\');
        file.key = KeyOf(file.name);
        if (!CrcOfFile(file.path.c_str(), &file.crc, &file.size, &file.fingerprint)) {
            *error = "cannot read " + file.path;
            return false;
        }
        files->push_back(file);
    }
    if (ec) {
        *error = "cannot walk " + std::string(root) + ": " + ec.message();
        return false;
    }
    std::sort(files->begin(), files->end(),
              [](const TreeFile& a, const TreeFile& b) { return a.key < b.key; });
    return true;
}

const TreeFile* FindByKey(const std::vector<TreeFile>& files, const std::string& key) {
    auto it = std::lower_bound(files.begin(), files.end(), key,
                               [](const TreeFile& f, const std::string& k) { return f.key < k; });
    return it != files.end() && it->key == key ? &*it : nullptr;
}
