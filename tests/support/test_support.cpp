#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fileutil/fileutil.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testsupport {

namespace {

#ifdef _WIN32
bool RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

std::string MakeTempDirectory(const std::string& parent) {
    std::string base = parent;
    if (base.empty()) {
        char temp[MAX_PATH];
        DWORD length = GetTempPathA(sizeof temp, temp);
        if (length == 0 || length >= sizeof temp) {
            return "";
        }
        base.assign(temp, length - 1); // without its trailing "\"
    }
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string name = base + "\\vntest" + std::to_string(GetCurrentProcessId()) + "_" +
                           std::to_string(++counter);
        if (CreateDirectoryA(name.c_str(), nullptr)) {
            return name;
        }
    }
    return "";
}
#else
std::string Native(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

bool RemoveEmptyDirectory(const std::string& path) {
    return rmdir(Native(path).c_str()) == 0;
}

std::string MakeTempDirectory(const std::string& parent) {
    std::string base = parent;
    if (base.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string templ = base + "/vntest.XXXXXX";
    std::vector<char> buffer(templ.begin(), templ.end());
    buffer.push_back('\0');
    return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}
#endif

void ListFiles(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
    PlatformFindHandle handle;
    PlatformFindData entry;
    if (!PlatformFindFirst((dir + "\\*").c_str(), &handle, &entry)) {
        return;
    }
    do {
        std::string name = entry.name;
        if (name == "." || name == "..") {
            continue;
        }
        if ((entry.attributes & kAttrDirectory) != 0) {
            ListFiles(dir + "\\" + name, prefix + name + "/", out);
        } else {
            out->push_back(prefix + name);
        }
    } while (PlatformFindNext(handle, &entry));
    PlatformFindClose(handle);
}

} // namespace

ByteVector TextBytes(const std::string& text) {
    return ByteVector(text.begin(), text.end());
}

ScratchDir::ScratchDir() : path(MakeTempDirectory("")) {}

ScratchDir::ScratchDir(const std::string& parent) : path(MakeTempDirectory(parent)) {}

ScratchDir::~ScratchDir() {
    if (!path.empty()) {
        RemoveTree(path);
    }
}

std::string ScratchDir::At(const std::string& relative) const {
    return path + "\\" + relative;
}

std::string ScratchDir::Install() const {
    return path + "\\";
}

bool WriteFile(const std::string& path, const ByteVector& bytes) {
    FILE* file = PlatformOpenStream(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

bool WriteText(const std::string& path, const std::string& text) {
    return WriteFile(path, TextBytes(text));
}

bool ReadFile(const std::string& path, ByteVector* bytes) {
    unsigned char* contents = nullptr;
    int32_t size = ReadWholeFile(&contents, path.c_str());
    if (size < 0) {
        return false;
    }
    bytes->assign(contents, contents + size);
    std::free(contents);
    return true;
}

bool Exists(const std::string& path) {
    FILE* file = PlatformOpenStream(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

bool MakeDirectory(const std::string& path) {
    return PlatformCreateDirectory(path.c_str());
}

void RemoveTree(const std::string& path) {
    PlatformFindHandle handle;
    PlatformFindData entry;
    std::vector<std::pair<std::string, bool>> children;
    if (PlatformFindFirst((path + "\\*").c_str(), &handle, &entry)) {
        do {
            if (std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0) {
                children.emplace_back(path + "\\" + entry.name,
                                      (entry.attributes & kAttrDirectory) != 0);
            }
        } while (PlatformFindNext(handle, &entry));
        PlatformFindClose(handle);
    }
    for (const auto& child : children) {
        PlatformSetAttributesNormal(child.first.c_str());
        if (child.second) {
            RemoveTree(child.first);
        } else {
            PlatformDeleteFile(child.first.c_str());
        }
    }
    PlatformSetAttributesNormal(path.c_str());
    if (!RemoveEmptyDirectory(path)) {
        PlatformDeleteFile(path.c_str()); // a file, not a directory
    }
}

std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> files;
    ListFiles(dir, "", &files);
    std::sort(files.begin(), files.end());
    return files;
}

bool PutFile(const std::string& root, const std::string& relative, const ByteVector& bytes) {
    std::string path = root + "\\" + relative;
    // Every folder on the way, root's own too; those that are there stay.
    for (size_t i = path.find_first_of("/\\", 1); i != std::string::npos;
         i = path.find_first_of("/\\", i + 1)) {
        MakeDirectory(path.substr(0, i));
    }
    return WriteFile(path, bytes);
}

bool WriteTree(const std::string& root, const Tree& tree) {
    MakeDirectory(root);
    bool ok = true;
    for (const auto& file : tree) {
        ok = PutFile(root, file.first, file.second) && ok;
    }
    return ok;
}

Tree ReadTree(const std::string& root) {
    Tree tree;
    for (const std::string& name : FilesUnder(root)) {
        ReadFile(root + "\\" + name, &tree[name]);
    }
    return tree;
}

namespace {

// Everything the command writes, into *output when given.
void DrainPipe(FILE* pipe, std::string* output) {
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, got);
    }
    if (output != nullptr) {
        *output = text;
    }
}

} // namespace

#ifdef _WIN32
std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

int RunCommand(const std::string& command, std::string* output) {
    // cmd.exe takes the outer quotes off a line that starts with one.
    std::string full = "\"" + command + " 2>&1\"";
    FILE* pipe = _popen(full.c_str(), "rb");
    if (pipe == nullptr) {
        return -1;
    }
    DrainPipe(pipe, output);
    return _pclose(pipe);
}
#else
std::string Quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

int RunCommand(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    DrainPipe(pipe, output);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::string VnpatchPath() {
    const char* tool = std::getenv("VARNELO_VNPATCH");
    return tool != nullptr ? tool : VARNELO_VNPATCH_PATH;
}

int Vnpatch(const std::string& args, std::string* output) {
    return RunCommand(Quote(VnpatchPath()) + " " + args, output);
}

} // namespace testsupport
