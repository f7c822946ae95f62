// vnpatch resources EXE: an executable's resources, one a line: TYPE NAME
// LANGUAGE SIZE, numbers in decimal and named entries as their UTF-8 names.
// The scripts that measure or check the updater read its resources here,
// through the same reader the stamp uses.
#include <cstdio>
#include <string>

#include "tools/pe/resource_tree.h"
#include "tools/vnpatch/commands.h"
#include "tools/vnpatch/file_bytes.h"

namespace {

// A resource name holds UTF-16 code units; a lone surrogate becomes U+FFFD.
std::string Utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Label(const pe::ResourceNode& node) {
    return node.named ? Utf8(node.name) : std::to_string(node.id);
}

} // namespace

int CommandResources(int argc, char** argv) {
    if (argc != 1) {
        std::fprintf(stderr, "usage: vnpatch resources EXE\n");
        return 2;
    }
    pe::Bytes bytes;
    pe::Image image;
    pe::ResourceNode root;
    std::string error;
    bool ok =
        vnpatch::ReadFileBytes(argv[0], &bytes, &error) && pe::ReadImage(bytes, &image, &error);
    if (ok && pe::Directory(bytes, image, pe::kDirectoryResource).address != 0) {
        ok = pe::ReadResourceTree(bytes, image, &root, &error);
    }
    if (!ok) {
        std::fprintf(stderr, "vnpatch: %s: %s\n", argv[0], error.c_str());
        return 1;
    }
    for (const pe::ResourceNode& type : root.children) {
        for (const pe::ResourceNode& name : type.children) {
            for (const pe::ResourceNode& language : name.children) {
                std::printf("%s %s %s %u\n", Label(type).c_str(), Label(name).c_str(),
                            Label(language).c_str(), language.size);
            }
        }
    }
    return 0;
}
