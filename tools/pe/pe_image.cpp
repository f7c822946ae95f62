#include "tools/pe/pe_image.h"

#include <cstring>

#include "fileutil/le_bytes.h"

namespace pe {
namespace {

// Offsets inside the optional header, the same in PE32 and PE32+ up to the
// stack sizes, which PE32+ makes 64-bit.
constexpr size_t kOffInitializedData = 8;
constexpr size_t kOffSectionAlignment = 32;
constexpr size_t kOffFileAlignment = 36;
constexpr size_t kOffSizeOfImage = 56;
constexpr size_t kOffSizeOfHeaders = 60;
constexpr size_t kOffCheckSum = 64;
constexpr uint16_t kMagicPe32 = 0x10b;
constexpr uint16_t kMagicPe32Plus = 0x20b;
// The loader of every Windows takes up to 96 sections; more is a broken file.
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxDirectories = 16;

size_t DirectoryCountField(const Image& image) {
    return image.optionalHeader + (image.plus ? 108 : 92);
}

size_t DirectoryField(const Image& image, uint32_t index) {
    return DirectoryCountField(image) + 4 + 8 * static_cast<size_t>(index);
}

bool Has(const Bytes& bytes, uint64_t offset, uint64_t count) {
    return offset <= bytes.size() && count <= bytes.size() - offset;
}

bool PowerOfTwo(uint32_t value) {
    return value != 0 && (value & (value - 1)) == 0;
}

bool Fail(std::string* error, const char* reason) {
    *error = reason;
    return false;
}

} // namespace

bool ReadImage(const Bytes& bytes, Image* image, std::string* error) {
    *image = Image();
    if (!Has(bytes, 0, 64) || bytes[0] != 'M' || bytes[1] != 'Z') {
        return Fail(error, "not a Windows executable (no MZ header)");
    }
    uint64_t pe = ReadLe32(&bytes[0x3C]);
    if (!Has(bytes, pe, 24) || std::memcmp(&bytes[pe], "PE\0\0", 4) != 0) {
        return Fail(error, "not a Windows executable (no PE header)");
    }
    image->coffHeader = pe + 4;
    uint32_t sectionCount = ReadLe16(&bytes[pe + 6]);
    uint32_t optionalSize = ReadLe16(&bytes[pe + 20]);
    image->optionalHeader = pe + 24;
    image->sectionTable = image->optionalHeader + optionalSize;
    if (!Has(bytes, image->optionalHeader, 2)) {
        return Fail(error, "PE optional header cut short");
    }
    uint16_t magic = ReadLe16(&bytes[image->optionalHeader]);
    if (magic != kMagicPe32 && magic != kMagicPe32Plus) {
        return Fail(error, "PE optional header of an unknown kind (neither PE32 nor PE32+)");
    }
    image->plus = magic == kMagicPe32Plus;
    size_t countField = DirectoryCountField(*image);
    if (countField + 4 > image->sectionTable || !Has(bytes, image->optionalHeader, optionalSize)) {
        return Fail(error, "PE optional header cut short");
    }
    image->directoryCount = ReadLe32(&bytes[countField]);
    if (image->directoryCount > kMaxDirectories ||
        DirectoryField(*image, image->directoryCount) > image->sectionTable) {
        return Fail(error, "PE optional header holds fewer data directories than it counts");
    }
    const unsigned char* optional = &bytes[image->optionalHeader];
    image->fileAlignment = ReadLe32(optional + kOffFileAlignment);
    image->sectionAlignment = ReadLe32(optional + kOffSectionAlignment);
    image->sizeOfHeaders = ReadLe32(optional + kOffSizeOfHeaders);
    if (!PowerOfTwo(image->fileAlignment) || !PowerOfTwo(image->sectionAlignment) ||
        image->sectionAlignment < image->fileAlignment) {
        return Fail(error, "PE file or section alignment is no power of two");
    }
    if (sectionCount == 0 || sectionCount > kMaxSections) {
        return Fail(error, "PE section count out of range (1 to 96)");
    }
    uint64_t tableEnd = image->sectionTable + uint64_t(kSectionHeaderSize) * sectionCount;
    if (!Has(bytes, image->sectionTable, tableEnd - image->sectionTable) ||
        tableEnd > image->sizeOfHeaders || image->sizeOfHeaders > bytes.size()) {
        return Fail(error, "PE section table runs past the headers or the end of the file");
    }
    for (uint32_t i = 0; i < sectionCount; ++i) {
        Section s;
        s.header = image->sectionTable + kSectionHeaderSize * i;
        const unsigned char* h = &bytes[s.header];
        std::memcpy(s.name, h, 8);
        s.virtualSize = ReadLe32(h + 8);
        s.virtualAddress = ReadLe32(h + 12);
        s.rawSize = ReadLe32(h + 16);
        s.rawOffset = ReadLe32(h + 20);
        s.characteristics = ReadLe32(h + 36);
        if (s.rawSize != 0 && !Has(bytes, s.rawOffset, s.rawSize)) {
            return Fail(error, "a PE section's raw data lies past the end of the file");
        }
        if (SectionEnd(s) > UINT32_MAX) {
            return Fail(error, "a PE section reaches past 4 GiB");
        }
        image->sections.push_back(s);
    }
    return true;
}

DataDirectory Directory(const Bytes& bytes, const Image& image, uint32_t index) {
    if (index >= image.directoryCount) {
        return DataDirectory{0, 0};
    }
    const unsigned char* p = &bytes[DirectoryField(image, index)];
    return DataDirectory{ReadLe32(p), ReadLe32(p + 4)};
}

void SetDirectory(Bytes* bytes, const Image& image, uint32_t index, DataDirectory directory) {
    unsigned char* p = &(*bytes)[DirectoryField(image, index)];
    WriteLe32(p, directory.address);
    WriteLe32(p + 4, directory.size);
}

const Section* SectionOf(const Image& image, uint32_t rva) {
    for (const Section& s : image.sections) {
        if (rva >= s.virtualAddress && rva - s.virtualAddress < SectionEnd(s) - s.virtualAddress) {
            return &s;
        }
    }
    return nullptr;
}

bool MapRva(const Image& image, uint32_t rva, uint32_t size, size_t* offset) {
    const Section* s = SectionOf(image, rva);
    uint64_t inside = s != nullptr ? rva - s->virtualAddress : 0;
    if (s == nullptr || inside + size > s->rawSize) {
        return false;
    }
    *offset = static_cast<size_t>(s->rawOffset + inside);
    return true;
}

uint64_t SectionEnd(const Section& section) {
    uint32_t extent = section.virtualSize > section.rawSize ? section.virtualSize : section.rawSize;
    return uint64_t(section.virtualAddress) + extent;
}

uint64_t RawEnd(const Image& image) {
    uint64_t end = image.sizeOfHeaders;
    for (const Section& s : image.sections) {
        if (s.rawSize != 0 && uint64_t(s.rawOffset) + s.rawSize > end) {
            end = uint64_t(s.rawOffset) + s.rawSize;
        }
    }
    return end;
}

uint64_t AlignUp(uint64_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

uint32_t SizeOfInitializedData(const Bytes& bytes, const Image& image) {
    return ReadLe32(&bytes[image.optionalHeader + kOffInitializedData]);
}

void SetSizeOfInitializedData(Bytes* bytes, const Image& image, uint32_t value) {
    WriteLe32(&(*bytes)[image.optionalHeader + kOffInitializedData], value);
}

void SetSizeOfImage(Bytes* bytes, const Image& image, uint32_t value) {
    WriteLe32(&(*bytes)[image.optionalHeader + kOffSizeOfImage], value);
}

void SetSectionCount(Bytes* bytes, const Image& image, uint16_t count) {
    WriteLe16(&(*bytes)[image.coffHeader + 2], count);
}

void WriteSectionHeader(Bytes* bytes, const Section& section) {
    unsigned char* h = &(*bytes)[section.header];
    std::memcpy(h, section.name, 8);
    WriteLe32(h + 8, section.virtualSize);
    WriteLe32(h + 12, section.virtualAddress);
    WriteLe32(h + 16, section.rawSize);
    WriteLe32(h + 20, section.rawOffset);
    WriteLe32(h + 36, section.characteristics);
}

void UpdateChecksum(Bytes* bytes, const Image& image) {
    // CheckSumMappedFile: the file as 16-bit words with the field itself
    // taken as 0, added with the carries folded back in, plus the length.
    size_t field = image.optionalHeader + kOffCheckSum;
    WriteLe32(&(*bytes)[field], 0);
    const Bytes& b = *bytes;
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < b.size(); i += 2) {
        sum += ReadLe16(&b[i]);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    if (i < b.size()) {
        sum += b[i];
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    WriteLe32(&(*bytes)[field], static_cast<uint32_t>(sum + b.size()));
}

} // namespace pe
