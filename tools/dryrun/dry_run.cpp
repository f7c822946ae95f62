#include "tools/dryrun/dry_run.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fileutil/path.h"
#include "fileutil/platform_backend.h"

namespace {

constexpr uint32_t kAttrArchive = 0x20;

// What the dry run has made of one path. Paths it never touched have no
// node and are answered by the backend.
struct Node {
    bool present;
    bool directory;
    uint32_t attributes;
    std::string backing; // file holding the contents: the real one, or a scratch copy
    std::string name;    // as last given, for searches
};

struct DryRunState {
    char scratch[kPathSize];
    int32_t nextScratch;
    std::vector<std::string> scratchFiles;
    std::map<std::string, Node> nodes;
    std::map<std::string, std::vector<std::string>> children; // directory key -> node keys
};

DryRunState* g_state = nullptr;

// One key for every spelling of a path, as the file system sees them: either
// separator, letters in either case, doubled or trailing separators. Trail
// bytes of double-byte characters are kept as they are.
std::string KeyOf(const std::string& path) {
    std::string key;
    bool separatorLast = false;
    for (size_t i = 0; i < path.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (PlatformIsLeadByte(c) && i + 1 < path.size()) {
            key += path[i];
            key += path[++i];
            separatorLast = false;
            continue;
        }
        if (c == '/' || c == '\\') {
            if (!separatorLast) {
                key += '\\';
            }
            separatorLast = true;
            continue;
        }
        key += static_cast<char>(FoldCase(c));
        separatorLast = false;
    }
    if (separatorLast && key.size() > 1) {
        key.pop_back();
    }
    return key;
}

// The directory part of path (no trailing separator) and the name after it.
void Split(const char* path, std::string* directory, std::string* name) {
    int separator = LastSeparator(path);
    if (separator < 0) {
        directory->clear();
        *name = path;
        return;
    }
    directory->assign(path, static_cast<size_t>(separator));
    *name = path + separator + 1;
}

bool InScratch(const std::string& backing) {
    return backing.compare(0, std::strlen(g_state->scratch), g_state->scratch) == 0;
}

struct Found {
    bool exists;
    bool directory;
    uint32_t attributes;
    std::string backing;
};

Found Look(const std::string& path) {
    Found found{false, false, 0, std::string()};
    auto node = g_state->nodes.find(KeyOf(path));
    if (node != g_state->nodes.end()) {
        found.exists = node->second.present;
        found.directory = node->second.directory;
        found.attributes = node->second.attributes;
        found.backing = node->second.backing;
        return found;
    }
    PlatformFindHandle handle = nullptr;
    PlatformFindData data;
    if (BackendFindFirst(path.c_str(), &handle, &data)) {
        BackendFindClose(handle);
        found.exists = true;
        found.directory = (data.attributes & kAttrDirectory) != 0;
        found.attributes = data.attributes;
        found.backing = path;
    }
    return found;
}

bool ParentExists(const char* path) {
    std::string directory;
    std::string name;
    Split(path, &directory, &name);
    // A relative name, or one right under a root or drive.
    if (directory.empty() || directory.back() == ':') {
        return true;
    }
    Found parent = Look(directory);
    return parent.exists && parent.directory;
}

Node& Put(const char* path) {
    std::string key = KeyOf(path);
    auto node = g_state->nodes.find(key);
    if (node == g_state->nodes.end()) {
        std::string directory;
        std::string name;
        Split(path, &directory, &name);
        g_state->children[KeyOf(directory)].push_back(key);
        node = g_state->nodes.emplace(key, Node{false, false, 0, std::string(), name}).first;
    }
    return node->second;
}

void DropScratch(const Node& node) {
    if (node.present && !node.directory && InScratch(node.backing)) {
        BackendDeleteFile(node.backing.c_str());
    }
}

bool CopyContents(const std::string& from, FILE* to) {
    FILE* in = BackendOpenStream(from.c_str(), "rb");
    if (in == nullptr) {
        return false;
    }
    char piece[65536];
    size_t got;
    bool ok = true;
    while (ok && (got = std::fread(piece, 1, sizeof piece, in)) > 0) {
        ok = std::fwrite(piece, 1, got, to) == got;
    }
    ok = ok && !std::ferror(in);
    std::fclose(in);
    return ok;
}

// The read-only attribute set or cleared on what the path stands for.
bool SetAttributes(const char* path, bool readOnly) {
    Found found = Look(path);
    if (!found.exists) {
        return false;
    }
    Node& node = Put(path);
    node.present = true;
    node.directory = found.directory;
    node.backing = found.backing;
    uint32_t kind = found.directory ? kAttrDirectory : readOnly ? 0 : kAttrArchive;
    node.attributes = kind | (readOnly ? kAttrReadOnly : 0);
    return true;
}

struct DrySearch {
    std::vector<PlatformFindData> items;
    size_t next;
};

void AddItem(DrySearch* search, const std::string& name, uint32_t attributes) {
    PlatformFindData data;
    if (name.size() >= sizeof data.name) {
        return;
    }
    std::memcpy(data.name, name.c_str(), name.size() + 1);
    data.attributes = attributes;
    search->items.push_back(data);
}

} // namespace

bool DryRunActive() {
    return g_state != nullptr;
}

bool DryRunBegin() {
    if (g_state != nullptr) {
        return false;
    }
    DryRunState* state = new DryRunState;
    state->nextScratch = 0;
    if (!BackendMakeTempDirectory(state->scratch, sizeof state->scratch)) {
        delete state;
        return false;
    }
    g_state = state;
    return true;
}

void DryRunEnd() {
    if (g_state == nullptr) {
        return;
    }
    for (const std::string& file : g_state->scratchFiles) {
        BackendSetAttributesNormal(file.c_str());
        BackendDeleteFile(file.c_str());
    }
    BackendRemoveDirectory(g_state->scratch);
    delete g_state;
    g_state = nullptr;
}

// The backend's matches, less what the dry run changed, plus what it made.
bool DryFindFirst(const char* searchText, PlatformFindHandle* handle, PlatformFindData* data) {
    std::string directory;
    std::string pattern;
    Split(searchText, &directory, &pattern);
    std::string prefix = directory.empty() ? std::string() : directory + "\\";
    DrySearch* search = new DrySearch;
    search->next = 0;
    PlatformFindHandle real = nullptr;
    PlatformFindData found;
    if (BackendFindFirst(searchText, &real, &found)) {
        do {
            bool dots = std::strcmp(found.name, ".") == 0 || std::strcmp(found.name, "..") == 0;
            if (dots || g_state->nodes.count(KeyOf(prefix + found.name)) == 0) {
                search->items.push_back(found);
            }
        } while (BackendFindNext(real, &found));
        BackendFindClose(real);
    }
    std::string directoryKey = KeyOf(directory);
    auto made = g_state->children.find(directoryKey);
    if (made != g_state->children.end()) {
        for (const std::string& key : made->second) {
            const Node& node = g_state->nodes[key];
            if (node.present && MatchesPattern(pattern.c_str(), node.name.c_str())) {
                AddItem(search, node.name, node.attributes);
            }
        }
    }
    // A directory the dry run made lists its own "." and ".." as a real one.
    auto self = g_state->nodes.find(directoryKey);
    if (self != g_state->nodes.end() && self->second.present && self->second.directory &&
        MatchesPattern(pattern.c_str(), ".")) {
        AddItem(search, ".", kAttrDirectory);
        AddItem(search, "..", kAttrDirectory);
    }
    if (search->items.empty()) {
        delete search;
        return false;
    }
    *data = search->items[0];
    search->next = 1;
    *handle = search;
    return true;
}

bool DryFindNext(PlatformFindHandle handle, PlatformFindData* data) {
    DrySearch* search = static_cast<DrySearch*>(handle);
    if (search->next >= search->items.size()) {
        return false;
    }
    *data = search->items[search->next++];
    return true;
}

void DryFindClose(PlatformFindHandle handle) {
    delete static_cast<DrySearch*>(handle);
}

void DrySetAttributesNormal(const char* path) {
    SetAttributes(path, false);
}

bool DrySetReadOnly(const char* path) {
    return SetAttributes(path, true);
}

// Refuses what DeleteFileA refuses: directories and read-only files.
void DryDeleteFile(const char* path) {
    Found found = Look(path);
    if (!found.exists || found.directory || (found.attributes & kAttrReadOnly) != 0) {
        return;
    }
    Node& node = Put(path);
    DropScratch(node);
    node.present = false;
    node.backing.clear();
}

bool DryCreateDirectory(const char* path) {
    if (Look(path).exists || !ParentExists(path)) {
        return false;
    }
    Node& node = Put(path);
    node.present = true;
    node.directory = true;
    node.attributes = kAttrDirectory;
    node.backing.clear();
    return true;
}

// Like MoveFileA on a file: never over an existing name, and only into an
// existing directory.
bool DryRename(const char* from, const char* to) {
    Found source = Look(from);
    if (!source.exists || source.directory || Look(to).exists || !ParentExists(to)) {
        return false;
    }
    Node& target = Put(to);
    target.present = true;
    target.directory = false;
    target.attributes = source.attributes;
    target.backing = source.backing;
    Node& moved = Put(from);
    moved.present = false;
    moved.backing.clear();
    return true;
}

// Reads come from the file the path stands for; writes go to a new scratch
// file that then stands for the path.
FILE* DryOpenStream(const char* path, const char* mode) {
    Found found = Look(path);
    bool writes = std::strpbrk(mode, "wa+") != nullptr;
    if (!writes) {
        return found.exists && !found.directory ? BackendOpenStream(found.backing.c_str(), mode)
                                                : nullptr;
    }
    if (found.exists && (found.directory || (found.attributes & kAttrReadOnly) != 0)) {
        return nullptr;
    }
    if (!ParentExists(path)) {
        return nullptr;
    }
    std::string scratch =
        std::string(g_state->scratch) + "/" + std::to_string(g_state->nextScratch++);
    bool keepsContents = found.exists && std::strchr(mode, 'w') == nullptr;
    if (keepsContents) {
        FILE* copy = BackendOpenStream(scratch.c_str(), "wb");
        bool copied = copy != nullptr && CopyContents(found.backing, copy);
        if (copy != nullptr && std::fclose(copy) != 0) {
            copied = false;
        }
        if (!copied) {
            BackendDeleteFile(scratch.c_str());
            return nullptr;
        }
    }
    FILE* stream = BackendOpenStream(scratch.c_str(), mode);
    if (stream == nullptr) {
        BackendDeleteFile(scratch.c_str());
        return nullptr;
    }
    g_state->scratchFiles.push_back(scratch);
    Node& node = Put(path);
    DropScratch(node);
    node.present = true;
    node.directory = false;
    node.attributes = kAttrArchive;
    node.backing = scratch;
    return stream;
}
