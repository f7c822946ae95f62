#include "tests/support/synthetic_pe.h"

#include <cstring>
#include <string>

#include "fileutil/le_bytes.h"

namespace testsupport {
namespace {

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kHeaderSize = 0x400;
constexpr uint32_t kPe = 0x80;
constexpr uint32_t kJapanese = 0x0411;

pe::ResourceNode Leaf(uint32_t language, const std::string& data) {
    pe::ResourceNode leaf;
    leaf.id = language;
    leaf.size = static_cast<uint32_t>(data.size());
    leaf.bytes = reinterpret_cast<const unsigned char*>(data.data());
    return leaf;
}

pe::ResourceNode Directory(uint32_t id, std::vector<pe::ResourceNode> children) {
    pe::ResourceNode node;
    node.id = id;
    node.children = std::move(children);
    return node;
}

pe::ResourceNode MakeResources() {
    static const std::string kData[] = {"dialog 109", "dialog 110 and more", "dialog 111",
                                        "string block", "named resource data"};
    pe::ResourceNode root;
    pe::ResourceNode named = Directory(0, {Directory(1, {Leaf(kJapanese, kData[4])})});
    named.named = true;
    named.name = u"VNTEST";
    root.children = {named,
                     Directory(pe::kRtDialog, {Directory(109, {Leaf(kJapanese, kData[0])}),
                                               Directory(110, {Leaf(kJapanese, kData[1])}),
                                               Directory(111, {Leaf(kJapanese, kData[2])})}),
                     Directory(6, {Directory(2, {Leaf(kJapanese, kData[3])})})};
    return root;
}

struct SectionSpec {
    const char* name;
    uint32_t virtualAddress;
    uint32_t rawOffset;
    pe::Bytes data;
    uint32_t characteristics;
};

} // namespace

const pe::ResourceNode& SyntheticResources() {
    static const pe::ResourceNode root = MakeResources();
    return root;
}

pe::Bytes SyntheticUpdater(bool plus, const pe::ResourceNode& tree) {
    constexpr uint32_t kResourceRva = 0x2000;
    pe::Bytes resources = pe::WriteResourceTree(tree, kResourceRva);
    uint32_t relocRva =
        static_cast<uint32_t>(pe::AlignUp(kResourceRva + resources.size(), kSectionAlignment));
    uint32_t relocRaw =
        static_cast<uint32_t>(0x600 + pe::AlignUp(resources.size(), kFileAlignment));
    // One empty base relocation block.
    pe::Bytes reloc(8, 0);
    WriteLe32(reloc.data(), 0x1000);
    WriteLe32(reloc.data() + 4, 8);
    const SectionSpec sections[] = {
        {".text", 0x1000, 0x400, pe::Bytes(16, 0xC3), 0x60000020},
        {".rsrc", kResourceRva, 0x600, resources, 0xC0000040},
        {".reloc", relocRva, relocRaw, reloc, 0x42000040},
    };

    pe::Bytes image(relocRaw + kFileAlignment, 0);
    image[0] = 'M';
    image[1] = 'Z';
    WriteLe32(&image[0x3C], kPe);
    std::memcpy(&image[kPe], "PE\0\0", 4);
    unsigned char* coff = &image[kPe + 4];
    WriteLe16(coff, plus ? 0x8664 : 0x14C);
    WriteLe16(coff + 2, 3);
    uint16_t optionalSize = plus ? 240 : 224;
    WriteLe16(coff + 16, optionalSize);
    WriteLe16(coff + 18, plus ? 0x0022 : 0x0102);
    unsigned char* optional = coff + 20;
    WriteLe16(optional, plus ? 0x20B : 0x10B);
    WriteLe32(optional + 4, kFileAlignment);
    WriteLe32(optional + 8, static_cast<uint32_t>(relocRaw - 0x600 + kFileAlignment));
    WriteLe32(optional + 16, 0x1000);
    WriteLe32(optional + 20, 0x1000);
    // ImageBase 0x400000, or 0x100000000 in PE32+, where it takes 64 bits
    // from offset 24.
    WriteLe32(optional + 28, plus ? 0x1 : 0x400000);
    WriteLe32(optional + 32, kSectionAlignment);
    WriteLe32(optional + 36, kFileAlignment);
    WriteLe16(optional + 40, 4);
    WriteLe16(optional + 48, 4);
    WriteLe32(optional + 56, relocRva + kSectionAlignment);
    WriteLe32(optional + 60, kHeaderSize);
    WriteLe16(optional + 68, 2);
    unsigned char* directories = optional + (plus ? 112 : 96);
    WriteLe32(directories - 4, 16);
    WriteLe32(directories + 8 * pe::kDirectoryResource, kResourceRva);
    WriteLe32(directories + 8 * pe::kDirectoryResource + 4,
              static_cast<uint32_t>(resources.size()));
    WriteLe32(directories + 8 * 5, relocRva);
    WriteLe32(directories + 8 * 5 + 4, 8);
    unsigned char* header = optional + optionalSize;
    for (const SectionSpec& s : sections) {
        std::memcpy(header, s.name, std::strlen(s.name));
        WriteLe32(header + 8, static_cast<uint32_t>(s.data.size()));
        WriteLe32(header + 12, s.virtualAddress);
        WriteLe32(header + 16, static_cast<uint32_t>(pe::AlignUp(s.data.size(), kFileAlignment)));
        WriteLe32(header + 20, s.rawOffset);
        WriteLe32(header + 36, s.characteristics);
        std::copy(s.data.begin(), s.data.end(), image.begin() + s.rawOffset);
        header += pe::kSectionHeaderSize;
    }
    return image;
}

} // namespace testsupport
