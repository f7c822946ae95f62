#include "tools/vnpatch/version_record.h"

#include "fileutil/le_bytes.h"
#include "tools/pe/resource_tree.h"
#include "tools/vnpatch/file_bytes.h"

namespace vnpatch {
namespace {

constexpr uint32_t kFixedSignature = 0xFEEF04BD;

} // namespace

bool ParseFileVersion(const std::vector<unsigned char>& bytes, FileVersion* version,
                      std::string* error) {
    pe::Image image;
    if (!pe::ReadImage(bytes, &image, error)) {
        return false;
    }
    if (pe::Directory(bytes, image, pe::kDirectoryResource).address == 0) {
        *error = "no version record (no resources at all)";
        return false;
    }
    pe::ResourceNode root;
    if (!pe::ReadResourceTree(bytes, image, &root, error)) {
        *error = "no version record: " + *error;
        return false;
    }
    // Type RT_VERSION, then its first name and first language.
    const pe::ResourceNode* type = pe::FindChild(root, pe::kRtVersion);
    if (type == nullptr || type->children.empty() || type->children[0].children.empty()) {
        *error = "no version record";
        return false;
    }
    const pe::ResourceNode& leaf = type->children[0].children[0];
    size_t data = 0;
    if (!pe::MapRva(image, leaf.dataRva, leaf.size, &data)) {
        *error = "version record outside the file";
        return false;
    }
    // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16, then
    // VS_FIXEDFILEINFO on a 32-bit boundary.
    const unsigned char* record = &bytes[data];
    const char kKey[] = "VS_VERSION_INFO";
    size_t fixed = 6 + 2 * sizeof kKey;
    fixed = (fixed + 3) & ~size_t(3);
    bool keyOk = leaf.size >= fixed + 52 && ReadLe16(record + 2) >= 52;
    for (size_t i = 0; keyOk && i < sizeof kKey; ++i) {
        keyOk = ReadLe16(record + 6 + 2 * i) == static_cast<unsigned char>(kKey[i]);
    }
    if (!keyOk || ReadLe32(record + fixed) != kFixedSignature) {
        *error = "version record without a fixed file version";
        return false;
    }
    uint32_t ms = ReadLe32(record + fixed + 8);
    uint32_t ls = ReadLe32(record + fixed + 12);
    *version = FileVersion{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms),
                           static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls)};
    return true;
}

bool ReadFileVersion(const char* path, FileVersion* version, std::string* error) {
    pe::Bytes bytes;
    return ReadFileBytes(path, &bytes, error) && ParseFileVersion(bytes, version, error);
}

std::string FormatVersion(const FileVersion& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

} // namespace vnpatch
