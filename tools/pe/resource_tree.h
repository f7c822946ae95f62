// A PE image's resource directory as a tree of three levels (type, name,
// language), read with every offset checked and written back as a whole:
// directories, data entries, names, then the data the leaves carry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pe/pe_image.h"

namespace pe {

// Resource types used here.
constexpr uint32_t kRtDialog = 5;
constexpr uint32_t kRtRcdata = 10;
constexpr uint32_t kRtVersion = 16;

struct ResourceNode {
    // The entry's name: a number, or a UTF-16 string when named.
    bool named = false;
    uint32_t id = 0;
    std::u16string name;
    // A directory: its header fields and entries, named ones first.
    uint32_t characteristics = 0;
    uint32_t timeDateStamp = 0;
    uint16_t majorVersion = 0;
    uint16_t minorVersion = 0;
    std::vector<ResourceNode> children;
    // A leaf (the language level): its data entry. With bytes set the data
    // is written into the new tree's section and dataRva is ignored;
    // without, the entry keeps pointing at dataRva.
    uint32_t dataRva = 0;
    uint32_t size = 0;
    uint32_t codePage = 0;
    const unsigned char* bytes = nullptr;
};

// The tree at the image's resource directory. False with a reason when an
// offset leaves the section, a directory is reached twice (a loop), numbered
// entries are not in ascending order, a leaf
// sits above the language level or a directory below it, or the names add
// up to more than the section holds.
bool ReadResourceTree(const Bytes& bytes, const Image& image, ResourceNode* root,
                      std::string* error);

// The entry numbered id among node's children, or nullptr.
const ResourceNode* FindChild(const ResourceNode& node, uint32_t id);
// The entry numbered id, inserted in numeric order after the named ones when
// node has none yet.
ResourceNode* ChildFor(ResourceNode* node, uint32_t id);

// The tree as the contents of a section at rva. Leaves with bytes get their
// data after the tree, each on an 8-byte boundary, in tree order.
Bytes WriteResourceTree(const ResourceNode& root, uint32_t rva);

} // namespace pe
