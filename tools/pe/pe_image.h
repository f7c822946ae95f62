// A Windows executable (PE32 or PE32+) held in a byte buffer: where its
// headers, section table and data directories sit, with every offset checked
// against the buffer, and the few header fields a rewrite changes. The
// tools read and write PE headers here only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pe {

using Bytes = std::vector<unsigned char>;

// Data directory indexes.
constexpr uint32_t kDirectoryResource = 2;
constexpr uint32_t kDirectoryCertificate = 4; // holds a file offset, not an RVA
constexpr uint32_t kDirectoryDebug = 6;

constexpr size_t kSectionHeaderSize = 40;
constexpr uint32_t kSectionInitializedData = 0x00000040;

struct Section {
    size_t header; // file offset of its 40-byte entry in the section table
    char name[8];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t rawSize;
    uint32_t rawOffset;
    uint32_t characteristics;
};

struct DataDirectory {
    uint32_t address;
    uint32_t size;
};

struct Image {
    bool plus = false; // PE32+ (64-bit)
    size_t coffHeader = 0;
    size_t optionalHeader = 0;
    size_t sectionTable = 0;
    uint32_t fileAlignment = 0;
    uint32_t sectionAlignment = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t directoryCount = 0;
    std::vector<Section> sections;
};

// False with a reason when the bytes are no PE image, or its headers or
// section table run past the end or contradict themselves (a section whose
// raw data lies past the end of the file, alignments that are no powers of
// two).
bool ReadImage(const Bytes& bytes, Image* image, std::string* error);

// The directory, or zeros when the image has fewer directories.
DataDirectory Directory(const Bytes& bytes, const Image& image, uint32_t index);
void SetDirectory(Bytes* bytes, const Image& image, uint32_t index, DataDirectory directory);

// The section whose memory holds rva, or nullptr.
const Section* SectionOf(const Image& image, uint32_t rva);
// File offset of size bytes at rva, all inside one section's raw data;
// false when they are not.
bool MapRva(const Image& image, uint32_t rva, uint32_t size, size_t* offset);
// The first address past the section in memory.
uint64_t SectionEnd(const Section& section);
// The first file offset past every section's raw data (and the headers).
uint64_t RawEnd(const Image& image);

uint64_t AlignUp(uint64_t value, uint32_t alignment);

// Header fields a rewrite changes.
uint32_t SizeOfInitializedData(const Bytes& bytes, const Image& image);
void SetSizeOfInitializedData(Bytes* bytes, const Image& image, uint32_t value);
void SetSizeOfImage(Bytes* bytes, const Image& image, uint32_t value);
void SetSectionCount(Bytes* bytes, const Image& image, uint16_t count);
// Writes the section's entry at section.header.
void WriteSectionHeader(Bytes* bytes, const Section& section);
// Sets the optional header's CheckSum to what CheckSumMappedFile computes
// for these bytes.
void UpdateChecksum(Bytes* bytes, const Image& image);

} // namespace pe
