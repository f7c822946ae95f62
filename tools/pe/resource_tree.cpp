#include "tools/pe/resource_tree.h"

#include <algorithm>
#include <map>
#include <set>

#include "fileutil/le_bytes.h"

namespace pe {
namespace {

constexpr uint32_t kHighBit = 0x80000000u;
constexpr size_t kDirectoryHeaderSize = 16;
constexpr size_t kEntrySize = 8;
constexpr size_t kDataEntrySize = 16;
constexpr int kLanguageLevel = 2;

// Reads the directory tree below the resource section's start; offsets are
// relative to it and must stay inside the section's raw data.
class TreeReader {
  public:
    TreeReader(const Bytes& bytes, size_t base, uint64_t limit, std::string* error)
        : bytes_(bytes), base_(base), limit_(limit), error_(error) {}

    bool Directory(uint32_t offset, int level, ResourceNode* node) {
        if (!visited_.insert(offset).second) {
            return Fail("the resource directory reaches one of its directories twice (a loop)");
        }
        if (!Has(offset, kDirectoryHeaderSize)) {
            return Fail("a resource directory lies outside the resource section");
        }
        const unsigned char* h = At(offset);
        node->characteristics = ReadLe32(h);
        node->timeDateStamp = ReadLe32(h + 4);
        node->majorVersion = ReadLe16(h + 8);
        node->minorVersion = ReadLe16(h + 10);
        uint32_t named = ReadLe16(h + 12);
        uint32_t count = named + ReadLe16(h + 14);
        if (!Has(uint64_t(offset) + kDirectoryHeaderSize, uint64_t(kEntrySize) * count)) {
            return Fail("a resource directory's entries run past the resource section");
        }
        for (uint32_t i = 0; i < count; ++i) {
            const unsigned char* e = At(offset + kDirectoryHeaderSize + kEntrySize * i);
            ResourceNode child;
            uint32_t nameField = ReadLe32(e);
            uint32_t target = ReadLe32(e + 4);
            child.named = (nameField & kHighBit) != 0;
            if (child.named != (i < named)) {
                return Fail("a resource directory lists named and numbered entries out of order");
            }
            if (!child.named) {
                // The loader searches numbered entries by halving: they
                // must be in ascending order, each once.
                if (!node->children.empty() && !node->children.back().named &&
                    node->children.back().id >= nameField) {
                    return Fail(
                        "a resource directory lists numbered entries out of order or twice");
                }
                child.id = nameField;
            } else if (!Name(nameField & ~kHighBit, &child.name)) {
                return false;
            }
            bool subdirectory = (target & kHighBit) != 0;
            if (subdirectory != (level < kLanguageLevel)) {
                return Fail(subdirectory ? "the resource directory is deeper than three levels"
                                         : "a resource data entry sits above the language level");
            }
            if (subdirectory ? !Directory(target & ~kHighBit, level + 1, &child)
                             : !Leaf(target, &child)) {
                return false;
            }
            node->children.push_back(std::move(child));
        }
        return true;
    }

  private:
    bool Has(uint64_t offset, uint64_t count) const {
        return offset <= limit_ && count <= limit_ - offset;
    }
    const unsigned char* At(uint64_t offset) const { return &bytes_[base_ + offset]; }
    bool Fail(const char* reason) {
        *error_ = reason;
        return false;
    }

    bool Name(uint32_t offset, std::u16string* name) {
        if (!Has(offset, 2) || !Has(uint64_t(offset) + 2, 2 * uint64_t(ReadLe16(At(offset))))) {
            return Fail("a resource name lies outside the resource section");
        }
        uint32_t length = ReadLe16(At(offset));
        // Names are stored once each: more than the section holds means
        // entries share names without end.
        nameBytes_ += 2 + 2 * uint64_t(length);
        if (nameBytes_ > limit_) {
            return Fail("the resource names add up to more than the resource section holds");
        }
        for (uint32_t i = 0; i < length; ++i) {
            name->push_back(static_cast<char16_t>(ReadLe16(At(offset + 2 + 2 * i))));
        }
        return true;
    }

    bool Leaf(uint32_t offset, ResourceNode* leaf) {
        if (!Has(offset, kDataEntrySize)) {
            return Fail("a resource data entry lies outside the resource section");
        }
        leaf->dataRva = ReadLe32(At(offset));
        leaf->size = ReadLe32(At(offset) + 4);
        leaf->codePage = ReadLe32(At(offset) + 8);
        return true;
    }

    const Bytes& bytes_;
    size_t base_;
    uint64_t limit_;
    std::string* error_;
    std::set<uint32_t> visited_;
    uint64_t nameBytes_ = 0;
};

// The nodes of one level, in the order their directories are written.
std::vector<const ResourceNode*> NextLevel(const std::vector<const ResourceNode*>& level) {
    std::vector<const ResourceNode*> next;
    for (const ResourceNode* node : level) {
        for (const ResourceNode& child : node->children) {
            next.push_back(&child);
        }
    }
    return next;
}

// Named entries first, as the loader's search expects; otherwise as given.
std::vector<const ResourceNode*> EntryOrder(const ResourceNode& node) {
    std::vector<const ResourceNode*> order;
    for (const ResourceNode& child : node.children) {
        order.push_back(&child);
    }
    std::stable_partition(order.begin(), order.end(),
                          [](const ResourceNode* child) { return child->named; });
    return order;
}

uint32_t Align8(uint64_t value) {
    return static_cast<uint32_t>(AlignUp(value, 8));
}

} // namespace

bool ReadResourceTree(const Bytes& bytes, const Image& image, ResourceNode* root,
                      std::string* error) {
    *root = ResourceNode();
    DataDirectory directory = Directory(bytes, image, kDirectoryResource);
    const Section* section = SectionOf(image, directory.address);
    size_t base = 0;
    if (directory.address == 0 || !MapRva(image, directory.address, 0, &base)) {
        *error = "no resource directory inside a section";
        return false;
    }
    uint64_t limit = uint64_t(section->rawOffset) + section->rawSize - base;
    return TreeReader(bytes, base, limit, error).Directory(0, 0, root);
}

const ResourceNode* FindChild(const ResourceNode& node, uint32_t id) {
    for (const ResourceNode& child : node.children) {
        if (!child.named && child.id == id) {
            return &child;
        }
    }
    return nullptr;
}

ResourceNode* ChildFor(ResourceNode* node, uint32_t id) {
    auto at = node->children.begin();
    while (at != node->children.end() && (at->named || at->id < id)) {
        ++at;
    }
    if (at == node->children.end() || at->id != id) {
        ResourceNode child;
        child.id = id;
        at = node->children.insert(at, child);
    }
    return &*at;
}

Bytes WriteResourceTree(const ResourceNode& root, uint32_t rva) {
    // Layout: the directories level by level, the data entries, the names,
    // then the data.
    std::vector<std::vector<const ResourceNode*>> levels{{&root}};
    for (int level = 0; level < kLanguageLevel; ++level) {
        levels.push_back(NextLevel(levels.back()));
    }
    std::vector<const ResourceNode*> leaves = NextLevel(levels.back());
    std::map<const ResourceNode*, uint32_t> at;
    uint64_t end = 0;
    for (const auto& level : levels) {
        for (const ResourceNode* node : level) {
            at[node] = static_cast<uint32_t>(end);
            end += kDirectoryHeaderSize + kEntrySize * node->children.size();
        }
    }
    for (const ResourceNode* leaf : leaves) {
        at[leaf] = static_cast<uint32_t>(end);
        end += kDataEntrySize;
    }
    std::map<const ResourceNode*, uint32_t> nameAt;
    for (const auto& level : levels) {
        for (const ResourceNode* node : NextLevel(level)) {
            if (node->named) {
                nameAt[node] = static_cast<uint32_t>(end);
                end += 2 + 2 * node->name.size();
            }
        }
    }
    std::map<const ResourceNode*, uint32_t> dataAt;
    for (const ResourceNode* leaf : leaves) {
        if (leaf->bytes != nullptr) {
            dataAt[leaf] = Align8(end);
            end = uint64_t(dataAt[leaf]) + leaf->size;
        }
    }
    Bytes out(Align8(end), 0);

    for (const auto& level : levels) {
        bool directories = &level != &levels.back();
        for (const ResourceNode* node : level) {
            unsigned char* h = &out[at[node]];
            std::vector<const ResourceNode*> entries = EntryOrder(*node);
            WriteLe32(h, node->characteristics);
            WriteLe32(h + 4, node->timeDateStamp);
            WriteLe16(h + 8, node->majorVersion);
            WriteLe16(h + 10, node->minorVersion);
            uint16_t named = static_cast<uint16_t>(
                std::count_if(entries.begin(), entries.end(),
                              [](const ResourceNode* child) { return child->named; }));
            WriteLe16(h + 12, named);
            WriteLe16(h + 14, static_cast<uint16_t>(entries.size() - named));
            unsigned char* e = h + kDirectoryHeaderSize;
            for (const ResourceNode* child : entries) {
                WriteLe32(e, child->named ? kHighBit | nameAt[child] : child->id);
                WriteLe32(e + 4, directories ? kHighBit | at[child] : at[child]);
                e += kEntrySize;
            }
        }
    }
    for (const ResourceNode* leaf : leaves) {
        unsigned char* d = &out[at[leaf]];
        WriteLe32(d, leaf->bytes != nullptr ? rva + dataAt[leaf] : leaf->dataRva);
        WriteLe32(d + 4, leaf->size);
        WriteLe32(d + 8, leaf->codePage);
        if (leaf->bytes != nullptr) {
            std::copy(leaf->bytes, leaf->bytes + leaf->size, out.begin() + dataAt[leaf]);
        }
    }
    for (const auto& named : nameAt) {
        const std::u16string& name = named.first->name;
        WriteLe16(&out[named.second], static_cast<uint16_t>(name.size()));
        for (size_t i = 0; i < name.size(); ++i) {
            WriteLe16(&out[named.second + 2 + 2 * i], static_cast<uint16_t>(name[i]));
        }
    }
    return out;
}

} // namespace pe
