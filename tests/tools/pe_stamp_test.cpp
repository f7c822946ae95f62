// vnpatch stamp's core over synthetic updaters (PE32 and PE32+): hostile and
// odd images refused with their reason, and a stamped image that reads back
// with the archive as RCDATA 103 and every other resource as it was.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fileutil/le_bytes.h"
#include "tests/support/synthetic_pe.h"
#include "tests/support/test_support.h"
#include "tools/pe/pe_stamp.h"

using testsupport::SyntheticResources;
using testsupport::SyntheticUpdater;
using testsupport::TextBytes;

namespace {

const pe::Bytes kArchive = TextBytes("SZDD\x88\xF0'3A archive bytes");

pe::Image ImageOf(const pe::Bytes& bytes) {
    pe::Image image;
    std::string error;
    EXPECT_TRUE(pe::ReadImage(bytes, &image, &error)) << error;
    return image;
}

// File offset of the resource section's start.
size_t ResourceBase(const pe::Bytes& bytes) {
    pe::Image image = ImageOf(bytes);
    size_t base = 0;
    EXPECT_TRUE(
        pe::MapRva(image, pe::Directory(bytes, image, pe::kDirectoryResource).address, 16, &base));
    return base;
}

// Offset of the first data entry whose RVA field holds rva.
size_t DataEntryOf(const pe::Bytes& bytes, uint32_t rva) {
    for (size_t at = ResourceBase(bytes); at + 4 <= bytes.size(); at += 4) {
        if (ReadLe32(&bytes[at]) == rva) {
            return at;
        }
    }
    return 0;
}

// The bytes of a resource, empty when it is missing or does not map.
pe::Bytes ResourceData(const pe::Bytes& bytes, uint32_t type, uint32_t name, uint32_t language) {
    pe::Image image = ImageOf(bytes);
    pe::ResourceNode root;
    std::string error;
    EXPECT_TRUE(pe::ReadResourceTree(bytes, image, &root, &error)) << error;
    const pe::ResourceNode* node = pe::FindChild(root, type);
    node = node != nullptr ? pe::FindChild(*node, name) : nullptr;
    node = node != nullptr ? pe::FindChild(*node, language) : nullptr;
    size_t offset = 0;
    if (node == nullptr || !pe::MapRva(image, node->dataRva, node->size, &offset)) {
        return {};
    }
    return pe::Bytes(bytes.begin() + offset, bytes.begin() + offset + node->size);
}

struct Refusal {
    const char* label;
    std::function<void(pe::Bytes* updater, pe::Bytes* archive)> change;
    const char* reason;
};

TEST(PeStamp, RefusesHostileAndOddImages) {
    pe::ResourceNode noDialogs = SyntheticResources();
    noDialogs.children.erase(noDialogs.children.begin() + 1);
    const Refusal cases[] = {
        {"not MZ", [](pe::Bytes* u, pe::Bytes*) { (*u)[0] = 'X'; }, "no MZ header"},
        {"cut inside the headers", [](pe::Bytes* u, pe::Bytes*) { u->resize(0x100); },
         "PE optional header cut short"},
        {"e_lfanew out of range",
         [](pe::Bytes* u, pe::Bytes*) { WriteLe32(&(*u)[0x3C], 0x7FFFFFF0); }, "no PE header"},
        {"bad PE signature", [](pe::Bytes* u, pe::Bytes*) { (*u)[0x81] = 'X'; }, "no PE header"},
        {"section table past the headers",
         [](pe::Bytes* u, pe::Bytes*) { WriteLe16(&(*u)[0x86], 96); }, "section table runs past"},
        {"raw data past the end",
         [](pe::Bytes* u, pe::Bytes*) {
             WriteLe32(&(*u)[ImageOf(*u).sections[0].header + 16], 0x10000000);
         },
         "raw data lies past the end"},
        {"no resources",
         [](pe::Bytes* u, pe::Bytes*) {
             pe::SetDirectory(u, ImageOf(*u), pe::kDirectoryResource, {0, 0});
         },
         "no resources"},
        {"resource directory loop",
         [](pe::Bytes* u, pe::Bytes*) { WriteLe32(&(*u)[ResourceBase(*u) + 20], 0x80000000); },
         "twice (a loop)"},
        {"huge NumberOfNamedEntries",
         [](pe::Bytes* u, pe::Bytes*) { WriteLe16(&(*u)[ResourceBase(*u) + 12], 0xFFFF); },
         "entries run past"},
        {"resource data outside the sections",
         [](pe::Bytes* u, pe::Bytes*) {
             pe::ResourceNode root;
             std::string error;
             pe::ReadResourceTree(*u, ImageOf(*u), &root, &error);
             size_t entry = DataEntryOf(*u, root.children[1].children[0].children[0].dataRva);
             WriteLe32(&(*u)[entry], 0x7FFF0000);
         },
         "data lies outside its sections"},
        {"signed",
         [](pe::Bytes* u, pe::Bytes*) {
             pe::SetDirectory(u, ImageOf(*u), pe::kDirectoryCertificate, {0x1000, 0x100});
         },
         "signed (Authenticode)"},
        {"no updater dialogs",
         [&](pe::Bytes* u, pe::Bytes*) { *u = SyntheticUpdater(false, noDialogs); },
         "not a Varnelo updater"},
        {"appended data", [](pe::Bytes* u, pe::Bytes*) { u->resize(u->size() + 10, 1); },
         "10 bytes follow its last section"},
        {"no room for a section header",
         [](pe::Bytes* u, pe::Bytes*) {
             pe::Image image = ImageOf(*u);
             (*u)[image.sectionTable + 3 * pe::kSectionHeaderSize + 39] = 1;
         },
         "no room in its headers"},
        {"sections out of order in memory",
         [](pe::Bytes* u, pe::Bytes*) {
             WriteLe32(&(*u)[ImageOf(*u).sections[2].header + 12], 0x1000);
         },
         "not in ascending order"},
        {"data directory inside the resources",
         [](pe::Bytes* u, pe::Bytes*) {
             pe::SetDirectory(u, ImageOf(*u), 10, {0x2010, 64});
         },
         "data directory 10 lies in its resource section"},
        {"archive neither SZDD nor CF00", [](pe::Bytes*, pe::Bytes* a) { (*a)[0] = 'M'; },
         "no patch archive"},
    };
    for (bool plus : {false, true}) {
        for (const Refusal& refusal : cases) {
            pe::Bytes updater = SyntheticUpdater(plus);
            pe::Bytes archive = kArchive;
            refusal.change(&updater, &archive);
            pe::Bytes out = TextBytes("untouched");
            std::string error;
            EXPECT_FALSE(pe::StampArchive(updater, archive, &out, &error)) << refusal.label;
            EXPECT_NE(error.find(refusal.reason), std::string::npos)
                << refusal.label << ": " << error;
            EXPECT_EQ(out, TextBytes("untouched")) << refusal.label;
        }
    }
}

TEST(PeStamp, StampedImageReadsBack) {
    for (bool plus : {false, true}) {
        pe::Bytes stub = SyntheticUpdater(plus);
        pe::Bytes stamped;
        std::string error;
        ASSERT_TRUE(pe::StampArchive(stub, kArchive, &stamped, &error)) << error;
        EXPECT_EQ(ResourceData(stamped, pe::kRtRcdata, 103, 0x411), kArchive);
        pe::ResourceNode before;
        ASSERT_TRUE(pe::ReadResourceTree(stub, ImageOf(stub), &before, &error));
        for (const pe::ResourceNode& type : before.children) {
            const pe::ResourceNode& name = type.children[0];
            pe::Bytes original = ResourceData(stub, type.id, name.id, 0x411);
            if (!type.named) {
                EXPECT_EQ(ResourceData(stamped, type.id, name.id, 0x411), original) << type.id;
            }
        }
        pe::Image image = ImageOf(stamped);
        EXPECT_EQ(image.sections.size(), ImageOf(stub).sections.size() + 1);
        pe::Bytes summed = stamped;
        pe::UpdateChecksum(&summed, image);
        EXPECT_EQ(summed, stamped) << "checksum";
        // Stamped again, with another archive and then with the first: the
        // bytes of the first stamp.
        pe::Bytes other = TextBytes("CF00 another archive, longer than the first one");
        pe::Bytes again;
        ASSERT_TRUE(pe::StampArchive(stamped, other, &again, &error)) << error;
        EXPECT_EQ(ResourceData(again, pe::kRtRcdata, 103, 0x411), other);
        ASSERT_TRUE(pe::StampArchive(again, kArchive, &again, &error)) << error;
        EXPECT_EQ(again, stamped);
    }
}

} // namespace
