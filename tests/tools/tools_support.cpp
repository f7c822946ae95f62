#include "tools_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string MakeScratch(const char* tag) {
    static int counter = 0;
    fs::path path =
        fs::temp_directory_path() / ("vnpatch-" + std::string(tag) + "-" +
                                     std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(path);
    fs::create_directories(path);
    return path.string();
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

void PutFile(const std::string& root, const std::string& relative, const Bytes& bytes) {
    fs::path path = fs::path(root) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

bool ReadAll(const std::string& path, Bytes* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

Bytes TextBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Random(size_t count, uint32_t seed) {
    Bytes out(count);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<unsigned char>(x >> 11);
    }
    return out;
}

std::map<std::string, Bytes> ReadTree(const std::string& root) {
    std::map<std::string, Bytes> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) {
            Bytes bytes;
            ReadAll(entry.path().string(), &bytes);
            files[entry.path().lexically_relative(root).generic_string()] = bytes;
        }
    }
    return files;
}

void CopyTree(const std::string& from, const std::string& to) {
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

int Shell(const std::string& command, std::string* output) {
    std::string full = command + " 2>&1";
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::string text;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        text.append(buffer, got);
    }
    int status = pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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

int Vnpatch(const std::string& args, std::string* output) {
    // VARNELO_VNPATCH in the environment tries another build of the tool.
    const char* tool = std::getenv("VARNELO_VNPATCH");
    return Shell(Quote(tool != nullptr ? tool : VNPATCH_PATH) + " " + args, output);
}
