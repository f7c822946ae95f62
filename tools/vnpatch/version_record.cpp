#include "tools/vnpatch/version_record.h"

#include <fstream>
#include <iterator>

namespace vnpatch {
namespace {

constexpr uint32_t kResourceDirectory = 2; // index in the optional header's table
constexpr uint32_t kRtVersion = 16;
constexpr uint32_t kFixedSignature = 0xFEEF04BD;

class Image {
  public:
    explicit Image(const std::vector<unsigned char>& bytes) : bytes_(bytes) {}

    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= bytes_.size() && count <= bytes_.size() - offset;
    }
    uint16_t U16(uint64_t offset) const {
        return static_cast<uint16_t>(bytes_[offset] | bytes_[offset + 1] << 8);
    }
    uint32_t U32(uint64_t offset) const {
        return static_cast<uint32_t>(U16(offset)) | static_cast<uint32_t>(U16(offset + 2)) << 16;
    }

  private:
    const std::vector<unsigned char>& bytes_;
};

struct Section {
    uint32_t rva;
    uint32_t size;
    uint32_t fileOffset;
    uint32_t fileSize;
};

// File offset of an RVA inside one of the sections, or false.
bool MapRva(const std::vector<Section>& sections, uint32_t rva, uint64_t* offset) {
    for (const Section& s : sections) {
        uint32_t extent = s.size > s.fileSize ? s.size : s.fileSize;
        if (rva >= s.rva && rva - s.rva < extent && rva - s.rva < s.fileSize) {
            *offset = static_cast<uint64_t>(s.fileOffset) + (rva - s.rva);
            return true;
        }
    }
    return false;
}

// The first entry of a resource directory (by id when wanted >= 0): its
// offset field, relative to the resource section's start.
bool DirectoryEntry(const Image& image, uint64_t base, uint64_t directory, int64_t wanted,
                    uint32_t* target) {
    if (!image.Has(base + directory, 16)) {
        return false;
    }
    uint32_t named = image.U16(base + directory + 12);
    uint32_t ids = image.U16(base + directory + 14);
    for (uint32_t i = 0; i < named + ids; ++i) {
        uint64_t entry = base + directory + 16 + 8ull * i;
        if (!image.Has(entry, 8)) {
            return false;
        }
        uint32_t name = image.U32(entry);
        bool byId = (name & 0x80000000u) == 0;
        if (wanted < 0 || (byId && name == static_cast<uint32_t>(wanted))) {
            *target = image.U32(entry + 4);
            return true;
        }
    }
    return false;
}

} // namespace

bool ParseFileVersion(const std::vector<unsigned char>& bytes, FileVersion* version,
                      std::string* error) {
    Image image(bytes);
    if (!image.Has(0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') {
        *error = "not a Windows executable (no MZ header)";
        return false;
    }
    uint64_t pe = image.U32(0x3C);
    if (!image.Has(pe, 24) || image.U32(pe) != 0x00004550) {
        *error = "not a Windows executable (no PE header)";
        return false;
    }
    uint32_t sectionCount = image.U16(pe + 6);
    uint32_t optionalSize = image.U16(pe + 20);
    uint64_t optional = pe + 24;
    if (!image.Has(optional, 2)) {
        *error = "PE optional header cut short";
        return false;
    }
    uint16_t magic = image.U16(optional);
    uint64_t directories = magic == 0x20b ? optional + 112 : optional + 96;
    uint64_t countField = magic == 0x20b ? optional + 108 : optional + 92;
    if ((magic != 0x10b && magic != 0x20b) || !image.Has(countField, 4) ||
        image.U32(countField) <= kResourceDirectory ||
        directories + 8 * (kResourceDirectory + 1) > optional + optionalSize ||
        !image.Has(directories, 8 * (kResourceDirectory + 1))) {
        *error = "no resource directory";
        return false;
    }
    uint32_t resourceRva = image.U32(directories + 8 * kResourceDirectory);
    std::vector<Section> sections;
    uint64_t table = optional + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        uint64_t s = table + 40ull * i;
        if (!image.Has(s, 40)) {
            *error = "section table cut short";
            return false;
        }
        sections.push_back(
            Section{image.U32(s + 12), image.U32(s + 8), image.U32(s + 20), image.U32(s + 16)});
    }
    uint64_t base;
    if (resourceRva == 0 || !MapRva(sections, resourceRva, &base)) {
        *error = "no version record (no resources at all)";
        return false;
    }
    // Type RT_VERSION, then its first name and first language.
    uint32_t entry = 0;
    if (!DirectoryEntry(image, base, 0, kRtVersion, &entry) || (entry & 0x80000000u) == 0 ||
        !DirectoryEntry(image, base, entry & 0x7FFFFFFFu, -1, &entry) ||
        (entry & 0x80000000u) == 0 ||
        !DirectoryEntry(image, base, entry & 0x7FFFFFFFu, -1, &entry) ||
        (entry & 0x80000000u) != 0 || !image.Has(base + entry, 16)) {
        *error = "no version record";
        return false;
    }
    uint64_t data;
    uint32_t dataSize = image.U32(base + entry + 4);
    if (!MapRva(sections, image.U32(base + entry), &data) || !image.Has(data, dataSize)) {
        *error = "version record outside the file";
        return false;
    }
    // VS_VERSIONINFO: three words, the key "VS_VERSION_INFO" in UTF-16, then
    // VS_FIXEDFILEINFO on a 32-bit boundary.
    const char kKey[] = "VS_VERSION_INFO";
    uint64_t fixed = 6 + 2 * sizeof kKey;
    fixed = (fixed + 3) & ~uint64_t(3);
    bool keyOk = dataSize >= fixed + 52 && image.U16(data + 2) >= 52;
    for (size_t i = 0; keyOk && i < sizeof kKey; ++i) {
        keyOk = image.U16(data + 6 + 2 * i) == static_cast<unsigned char>(kKey[i]);
    }
    if (!keyOk || image.U32(data + fixed) != kFixedSignature) {
        *error = "version record without a fixed file version";
        return false;
    }
    uint32_t ms = image.U32(data + fixed + 8);
    uint32_t ls = image.U32(data + fixed + 12);
    *version = FileVersion{static_cast<uint16_t>(ms >> 16), static_cast<uint16_t>(ms),
                           static_cast<uint16_t>(ls >> 16), static_cast<uint16_t>(ls)};
    return true;
}

bool ReadFileVersion(const char* path, FileVersion* version, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = std::string("cannot read ") + path;
        return false;
    }
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    if (in.bad()) {
        *error = std::string("cannot read ") + path;
        return false;
    }
    return ParseFileVersion(bytes, version, error);
}

std::string FormatVersion(const FileVersion& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." +
           std::to_string(version[2]) + "." + std::to_string(version[3]);
}

} // namespace vnpatch
