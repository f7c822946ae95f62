#include "tools/pe/pe_stamp.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "payload/archive_reader.h"
#include "payload/szdd.h"
#include "res/resource.h"
#include "tools/pe/resource_tree.h"

namespace pe {
namespace {

constexpr uint32_t kJapanese = 0x0411;
// Far above any updater or archive, and low enough that no size or address
// the stamp computes can reach the 32-bit limit of the fields it goes in.
constexpr size_t kMaxInput = size_t(1) << 30;
// The section that holds the archive, after every other.
constexpr char kAddedSectionName[8] = {'.', 'a', 'r', 'c', 'h', 'i', 'v', 'e'};

bool Fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
}

// The rule the build applies to the archive it embeds
// (res/payload_rc.cmake): an SZDD envelope or a plain archive, told by their
// first four bytes.
bool IsPatchArchive(const Bytes& archive) {
    return archive.size() >= 4 && (std::memcmp(archive.data(), kSzddSignature, 4) == 0 ||
                                   std::memcmp(archive.data(), kArchiveMagic, 4) == 0);
}

// The updater is known by its three dialogs under Japanese: without them it
// cannot run, and no other program of the project carries them (but the GUI
// tests' probe, built from the same resource script).
bool IsUpdater(const ResourceNode& root) {
    const ResourceNode* dialogs = FindChild(root, kRtDialog);
    for (uint32_t id : {IDD_EXTRACT, IDD_CONFIRM, IDD_PROGRESS}) {
        const ResourceNode* dialog = dialogs != nullptr ? FindChild(*dialogs, id) : nullptr;
        if (dialog == nullptr || FindChild(*dialog, kJapanese) == nullptr) {
            return false;
        }
    }
    return true;
}

// Sections are checked to be in ascending order in memory.
const Section* LastInMemory(const Image& image) {
    return &image.sections.back();
}

// Calls visit with every leaf of the tree.
template <typename Node, typename Visit> void ForEachLeaf(Node& root, Visit visit) {
    for (auto& type : root.children) {
        for (auto& name : type.children) {
            for (auto& leaf : name.children) {
                visit(leaf);
            }
        }
    }
}

// The section an earlier stamp added for the archive, to be replaced: the
// last one in memory and in the file, starting with the archive's data, and
// holding nothing any other resource or data directory names.
const Section* EarlierArchiveSection(const Bytes& bytes, const Image& image,
                                     const ResourceNode& root, const Section& holder) {
    const Section* last = LastInMemory(image);
    const ResourceNode* rcdata = FindChild(root, kRtRcdata);
    const ResourceNode* stamped = rcdata != nullptr ? FindChild(*rcdata, IDR_PATCHDATA) : nullptr;
    if (last == &holder || last->rawSize == 0 ||
        uint64_t(last->rawOffset) + last->rawSize != RawEnd(image) ||
        last->rawOffset < uint64_t(holder.rawOffset) + holder.rawSize || stamped == nullptr ||
        stamped->children.size() != 1 || stamped->children[0].dataRva != last->virtualAddress) {
        return nullptr;
    }
    int inside = 0;
    ForEachLeaf(root, [&](const ResourceNode& leaf) {
        inside += SectionOf(image, leaf.dataRva) == last ? 1 : 0;
    });
    for (uint32_t i = 0; i < image.directoryCount; ++i) {
        DataDirectory d = Directory(bytes, image, i);
        inside +=
            i != kDirectoryCertificate && d.address != 0 && SectionOf(image, d.address) == last ? 1
                                                                                                : 0;
    }
    return inside == 1 ? last : nullptr;
}

// Room for one more entry in the section table: inside the headers, before
// any section's data, and unused (zero).
bool HasRoomForSection(const Bytes& bytes, const Image& image, size_t* header) {
    *header = image.sectionTable + kSectionHeaderSize * image.sections.size();
    uint64_t end = uint64_t(*header) + kSectionHeaderSize;
    for (const Section& s : image.sections) {
        if (s.rawSize != 0 && s.rawOffset < end) {
            return false;
        }
    }
    return end <= image.sizeOfHeaders && std::all_of(bytes.begin() + *header, bytes.begin() + end,
                                                     [](unsigned char b) { return b == 0; });
}

// The resource section may grow in memory up to the next section.
uint64_t RoomInMemory(const Image& image, const Section& holder) {
    uint64_t next = UINT32_MAX;
    for (const Section& s : image.sections) {
        if (s.virtualAddress > holder.virtualAddress && s.virtualAddress < next) {
            next = s.virtualAddress;
        }
    }
    return next - holder.virtualAddress;
}

} // namespace

bool StampArchive(const Bytes& updater, const Bytes& archive, Bytes* out, std::string* error) {
    if (!IsPatchArchive(archive)) {
        return Fail(error, "archive: begins with neither \"SZDD\" (compressed) nor \"CF00\" "
                           "(plain), so it is no patch archive");
    }
    if (archive.size() > kMaxInput || updater.size() > kMaxInput) {
        return Fail(error, "the archive or the updater is larger than 1 GiB");
    }
    Image image;
    if (!ReadImage(updater, &image, error)) {
        return Fail(error, "updater: " + *error);
    }
    DataDirectory certificate = Directory(updater, image, kDirectoryCertificate);
    if (certificate.address != 0 || certificate.size != 0) {
        return Fail(error, "updater: it is signed (Authenticode) and stamping would break the "
                           "signature; stamp the unsigned updater, then sign it");
    }
    // As the loader wants them: in ascending order in memory, apart.
    for (size_t i = 1; i < image.sections.size(); ++i) {
        const Section& previous = image.sections[i - 1];
        if (image.sections[i].virtualAddress <= previous.virtualAddress ||
            image.sections[i].virtualAddress < SectionEnd(previous)) {
            return Fail(error, "updater: its sections are not in ascending order in memory");
        }
    }
    // A section added at the end must not take in what a data directory
    // names past the image.
    for (uint32_t i = 0; i < image.directoryCount; ++i) {
        DataDirectory d = Directory(updater, image, i);
        if (i != kDirectoryCertificate && d.address >= image.sizeOfHeaders &&
            SectionOf(image, d.address) == nullptr) {
            return Fail(error, "updater: data directory " + std::to_string(i) +
                                   " lies outside its sections");
        }
    }
    if (Directory(updater, image, kDirectoryResource).address == 0) {
        return Fail(error, "updater: no resources, so not a Varnelo updater");
    }
    ResourceNode root;
    if (!ReadResourceTree(updater, image, &root, error)) {
        return Fail(error, "updater: " + *error);
    }
    if (!IsUpdater(root)) {
        return Fail(error, "updater: not a Varnelo updater (no dialogs 109, 110 and 111 under "
                           "Japanese, 0x0411)");
    }
    uint64_t rawEnd = RawEnd(image);
    if (updater.size() != rawEnd) {
        return Fail(error, "updater: " + std::to_string(updater.size() - rawEnd) +
                               " bytes follow its last section (a symbol table or appended "
                               "data) that stamping would have to move; stamp a stripped "
                               "updater");
    }
    // Layout: the resource tree is written anew in the section that holds it
    // (.rsrc, which tools find by that name), with the other resources' data
    // after it; the archive goes into a section of its own at the end, or
    // into the one an earlier stamp added.
    const Section& holder =
        *SectionOf(image, Directory(updater, image, kDirectoryResource).address);
    const Section* earlier = EarlierArchiveSection(updater, image, root, holder);
    // The resource section is written anew: nothing else may live there.
    for (uint32_t i = 0; i < image.directoryCount; ++i) {
        DataDirectory d = Directory(updater, image, i);
        if (i != kDirectoryResource && i != kDirectoryCertificate && d.address != 0 &&
            SectionOf(image, d.address) == &holder) {
            return Fail(error, "updater: data directory " + std::to_string(i) +
                                   " lies in its resource section");
        }
    }

    ResourceNode* rcdata = ChildFor(&root, kRtRcdata);
    rcdata->children.erase(std::remove_if(rcdata->children.begin(), rcdata->children.end(),
                                          [](const ResourceNode& name) {
                                              return !name.named && name.id == IDR_PATCHDATA;
                                          }),
                           rcdata->children.end());
    bool valid = true;
    uint64_t carried = 0;
    ForEachLeaf(root, [&](ResourceNode& leaf) {
        size_t offset = 0;
        valid = valid && MapRva(image, leaf.dataRva, leaf.size, &offset);
        if (valid && SectionOf(image, leaf.dataRva) == &holder) {
            leaf.bytes = &updater[offset];
            carried += leaf.size;
        }
    });
    if (!valid) {
        return Fail(error, "updater: a resource's data lies outside its sections");
    }
    // Resources do not share bytes: more than the section holds means they
    // overlap.
    if (carried > holder.rawSize) {
        return Fail(error, "updater: its resources' data overlap");
    }
    ResourceNode* stamped = ChildFor(ChildFor(rcdata, IDR_PATCHDATA), kJapanese);
    stamped->size = static_cast<uint32_t>(archive.size());

    Section resources = holder;
    resources.virtualSize = static_cast<uint32_t>(WriteResourceTree(root, 0).size());
    resources.rawSize = static_cast<uint32_t>(AlignUp(resources.virtualSize, image.fileAlignment));
    if (resources.virtualSize > RoomInMemory(image, holder)) {
        return Fail(error, "updater: no room in memory after its resource section for the "
                           "larger resource directory");
    }
    // A resource section that grows or shrinks in the file moves the raw
    // data of the sections after it; nothing in a stripped updater holds
    // their file offsets but the debug directory. The linker may leave the
    // last part of the section unpadded: its space ends at the alignment.
    uint64_t tailEnd = earlier != nullptr ? earlier->rawOffset : rawEnd;
    uint64_t holderEnd = std::min(
        AlignUp(uint64_t(holder.rawOffset) + holder.rawSize, image.fileAlignment), tailEnd);
    if (holder.rawOffset % image.fileAlignment != 0) {
        return Fail(error, "updater: its resource section is not aligned in the file");
    }
    int64_t shift = int64_t(holder.rawOffset) + resources.rawSize - int64_t(holderEnd);
    std::vector<Section> moved;
    for (const Section& s : image.sections) {
        if (&s == &holder || s.rawSize == 0) {
            continue;
        }
        if (s.rawOffset < holderEnd && uint64_t(s.rawOffset) + s.rawSize > holder.rawOffset) {
            return Fail(error, "updater: its sections' raw data overlap");
        }
        if (shift != 0 && s.rawOffset >= holderEnd && &s != earlier) {
            moved.push_back(s);
            moved.back().rawOffset = static_cast<uint32_t>(s.rawOffset + shift);
        }
    }
    DataDirectory debug = Directory(updater, image, kDirectoryDebug);
    if (!moved.empty() && (debug.address != 0 || debug.size != 0)) {
        return Fail(error, "updater: it has a debug directory, whose file offsets stamping "
                           "would have to move; stamp a stripped updater");
    }

    Section added{};
    if (earlier != nullptr) {
        added = *earlier;
    } else if (!HasRoomForSection(updater, image, &added.header)) {
        return Fail(error, "updater: no room in its headers for one more section header");
    } else {
        std::memcpy(added.name, kAddedSectionName, sizeof added.name);
        added.characteristics = holder.characteristics;
        uint64_t memoryEnd = AlignUp(uint64_t(resources.virtualAddress) + resources.virtualSize,
                                     image.sectionAlignment);
        for (const Section& s : image.sections) {
            memoryEnd = std::max(memoryEnd, AlignUp(SectionEnd(s), image.sectionAlignment));
        }
        added.virtualAddress = static_cast<uint32_t>(memoryEnd);
    }
    uint64_t addedRaw = AlignUp(archive.size(), image.fileAlignment);
    uint64_t addedOffset = AlignUp(uint64_t(int64_t(tailEnd) + shift), image.fileAlignment);
    uint64_t imageSize =
        AlignUp(uint64_t(added.virtualAddress) + archive.size(), image.sectionAlignment);
    if (addedOffset + addedRaw > UINT32_MAX || imageSize > UINT32_MAX) {
        return Fail(error, "the stamped updater would be larger than a PE image can be");
    }
    added.virtualSize = static_cast<uint32_t>(archive.size());
    added.rawSize = static_cast<uint32_t>(addedRaw);
    added.rawOffset = static_cast<uint32_t>(addedOffset);
    stamped->dataRva = added.virtualAddress;
    Bytes content = WriteResourceTree(root, resources.virtualAddress);

    Bytes result(updater.begin(), updater.begin() + holder.rawOffset);
    result.insert(result.end(), content.begin(), content.end());
    result.resize(uint64_t(resources.rawOffset) + resources.rawSize, 0);
    result.insert(result.end(), updater.begin() + static_cast<long>(holderEnd),
                  updater.begin() + static_cast<long>(tailEnd));
    result.resize(added.rawOffset, 0);
    result.insert(result.end(), archive.begin(), archive.end());
    result.resize(uint64_t(added.rawOffset) + added.rawSize, 0);

    WriteSectionHeader(&result, resources);
    for (const Section& s : moved) {
        WriteSectionHeader(&result, s);
    }
    WriteSectionHeader(&result, added);
    if (earlier == nullptr) {
        SetSectionCount(&result, image, static_cast<uint16_t>(image.sections.size() + 1));
    }
    uint32_t initialized = SizeOfInitializedData(updater, image);
    if (holder.characteristics & kSectionInitializedData) {
        initialized +=
            resources.rawSize - static_cast<uint32_t>(AlignUp(holder.rawSize, image.fileAlignment));
    }
    if (added.characteristics & kSectionInitializedData) {
        initialized += added.rawSize - (earlier != nullptr ? earlier->rawSize : 0);
    }
    SetSizeOfInitializedData(&result, image, initialized);
    SetSizeOfImage(&result, image, static_cast<uint32_t>(imageSize));
    SetDirectory(&result, image, kDirectoryResource,
                 DataDirectory{resources.virtualAddress, resources.virtualSize});
    // Windows checks the checksum of drivers only and the linker may leave
    // it 0, but it is set anyway: a header that claims one must match the
    // bytes, and the stamped file then carries the same value whatever the
    // linker wrote.
    UpdateChecksum(&result, image);
    *out = std::move(result);
    return true;
}

} // namespace pe
