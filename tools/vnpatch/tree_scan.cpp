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

bool DescribeFile(const std::string& path, const std::string& name, TreeFile* file) {
    file->path = path;
    file->name = name;
    file->key = KeyOf(name);
    return CrcOfFile(path.c_str(), &file->crc, &file->size, &file->fingerprint);
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
        std::string name = it->path().lexically_relative(base).generic_string();
        std::replace(name.begin(), name.end(), '/', '\\');
        TreeFile file;
        if (!DescribeFile(it->path().string(), name, &file)) {
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
