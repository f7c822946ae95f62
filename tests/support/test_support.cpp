#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fileutil/fileutil.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testsupport {

namespace {

// One entry of a directory listing.
struct Entry {
    std::string name;
    bool directory;
};

#ifdef _WIN32
constexpr char kSeparator = '\\';

std::string Native(const std::string& path) {
    return path;
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

// The entries of dir but "." and "..".
std::vector<Entry> EntriesOf(const std::string& dir) {
    std::vector<Entry> entries;
    PlatformFindHandle handle;
    PlatformFindData entry;
    if (PlatformFindFirst((dir + "\\*").c_str(), &handle, &entry)) {
        do {
            if (std::strcmp(entry.name, ".") != 0 && std::strcmp(entry.name, "..") != 0) {
                entries.push_back({entry.name, (entry.attributes & kAttrDirectory) != 0});
            }
        } while (PlatformFindNext(handle, &entry));
        PlatformFindClose(handle);
    }
    return entries;
}

// Windows removes neither a read-only file nor a read-only directory.
void MakeRemovable(const std::string& dir) {
    PlatformSetAttributesNormal(dir.c_str());
}

bool RemoveFile(const std::string& path) {
    PlatformSetAttributesNormal(path.c_str());
    return DeleteFileA(path.c_str()) != 0;
}

bool RemoveEmptyDirectory(const std::string& dir) {
    return RemoveDirectoryA(dir.c_str()) != 0;
}

FILE* OpenFile(const std::string& path, const char* mode) {
    return PlatformOpenStream(path.c_str(), mode);
}

bool MakeFolder(const std::string& path) {
    return PlatformCreateDirectory(path.c_str());
}
#else
// The tree helpers call the system directly here: through the backend, which
// stats every entry and resolves every path's letter case, they would take
// most of the time of a fuzz target that rebuilds its scratch tree for every
// input. Names are taken as they are on the disk.
constexpr char kSeparator = '/';

// "\" as "/", but for the trail bytes of double-byte characters.
std::string Native(std::string path) {
    for (size_t i = 0; i < path.size(); ++i) {
        if (PlatformIsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
            ++i;
        } else if (path[i] == '\\') {
            path[i] = '/';
        }
    }
    return path;
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

// The entries of dir but "." and ".."; a symbolic link is an entry of its
// own, never the directory it may point to.
std::vector<Entry> EntriesOf(const std::string& dir) {
    std::vector<Entry> entries;
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
        return entries;
    }
    while (struct dirent* entry = readdir(handle)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        bool directory = entry->d_type == DT_DIR;
        struct stat info;
        if (entry->d_type == DT_UNKNOWN && lstat((dir + "/" + entry->d_name).c_str(), &info) == 0) {
            directory = S_ISDIR(info.st_mode);
        }
        entries.push_back({entry->d_name, directory});
    }
    closedir(handle);
    return entries;
}

// A directory needs write permission for its entries to go; a file's own
// permissions do not matter. A link is never followed.
void MakeRemovable(const std::string& dir) {
    struct stat info;
    if (lstat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        chmod(dir.c_str(), (info.st_mode & 07777) | S_IRWXU);
    }
}

bool RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool RemoveEmptyDirectory(const std::string& dir) {
    return rmdir(dir.c_str()) == 0;
}

FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool MakeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0777) == 0;
}
#endif

// Everything left in a file opened for reading, and closes it; false when it
// was not open or could not be read.
bool ReadAndClose(FILE* file, ByteVector* bytes) {
    if (file == nullptr) {
        return false;
    }
    bytes->clear();
    unsigned char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->insert(bytes->end(), buffer, buffer + got);
    }
    bool ok = std::ferror(file) == 0;
    return std::fclose(file) == 0 && ok;
}

// Writes the bytes to a file opened for writing, and closes it; false when
// it was not open or the bytes did not all go.
bool WriteAndClose(FILE* file, const ByteVector& bytes) {
    if (file == nullptr) {
        return false;
    }
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

void ListFiles(const std::string& dir, const std::string& prefix, std::vector<std::string>* out) {
    for (const Entry& entry : EntriesOf(dir)) {
        if (entry.directory) {
            ListFiles(dir + kSeparator + entry.name, prefix + entry.name + "/", out);
        } else {
            out->push_back(prefix + entry.name);
        }
    }
}

// Everything under dir, then dir itself; false when dir stays.
bool RemoveDirectoryTree(const std::string& dir) {
    MakeRemovable(dir);
    for (const Entry& entry : EntriesOf(dir)) {
        std::string path = dir + kSeparator + entry.name;
        if (entry.directory) {
            RemoveDirectoryTree(path);
        } else {
            RemoveFile(path);
        }
    }
    return RemoveEmptyDirectory(dir);
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
    return WriteAndClose(PlatformOpenStream(path.c_str(), "wb"), bytes);
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
    std::string native = Native(path);
    if (!RemoveDirectoryTree(native)) {
        RemoveFile(native); // a file, not a directory
    }
}

std::vector<std::string> FilesUnder(const std::string& dir) {
    std::vector<std::string> files;
    ListFiles(Native(dir), "", &files);
    std::sort(files.begin(), files.end());
    return files;
}

bool PutFile(const std::string& root, const std::string& relative, const ByteVector& bytes) {
    std::string path = Native(root + kSeparator + relative);
    if (WriteAndClose(OpenFile(path, "wb"), bytes)) {
        return true;
    }
    // The folders on the way from root's own down; when root's parents are
    // missing too, every folder from the top. Those that are there stay.
    for (size_t from : {root.size(), size_t(1)}) {
        for (size_t i = path.find_first_of("/\\", from); i != std::string::npos;
             i = path.find_first_of("/\\", i + 1)) {
            MakeFolder(path.substr(0, i));
        }
        if (WriteAndClose(OpenFile(path, "wb"), bytes)) {
            return true;
        }
    }
    return false;
}

bool WriteTree(const std::string& root, const Tree& tree) {
    MakeFolder(Native(root));
    bool ok = true;
    for (const auto& file : tree) {
        ok = PutFile(root, file.first, file.second) && ok;
    }
    return ok;
}

Tree ReadTree(const std::string& root) {
    Tree tree;
    std::string native = Native(root);
    for (const std::string& name : FilesUnder(root)) {
        ReadAndClose(OpenFile(native + kSeparator + name, "rb"), &tree[name]);
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
