// vnpatch stamp's core with arbitrary bytes as the updater: a refusal, or an
// image that reads back with the archive as RCDATA 103 and stamps again to
// the same bytes.
#include <algorithm>
#include <cstdio>
#include <string>

#include "fuzz/targets.h"
#include "tools/pe/pe_stamp.h"
#include "tools/pe/resource_tree.h"

namespace {

const pe::Bytes kArchive = {'S', 'Z', 'D', 'D', 0x88, 0xF0, 0x27, 0x33, 'A',
                            0,   3,   0,   0,   0,    0x07, 'a',  'b',  'c'};
const pe::Bytes kOther = {'C', 'F', '0', '0', 0, 0, 0, 0};

bool Broken(const char* what, const std::string& error = std::string()) {
    std::fprintf(stderr, "stamp: %s %s\n", what, error.c_str());
    return false;
}

} // namespace

bool FuzzStampInput(const uint8_t* data, size_t size) {
    pe::Bytes updater(data, data + size);
    pe::Bytes stamped;
    std::string error;
    if (!pe::StampArchive(updater, kArchive, &stamped, &error)) {
        return true;
    }
    pe::Image image;
    pe::ResourceNode root;
    if (!pe::ReadImage(stamped, &image, &error) ||
        !pe::ReadResourceTree(stamped, image, &root, &error)) {
        return Broken("the stamped image does not read back:", error);
    }
    const pe::ResourceNode* node = pe::FindChild(root, pe::kRtRcdata);
    node = node != nullptr ? pe::FindChild(*node, 103) : nullptr;
    node = node != nullptr ? pe::FindChild(*node, 0x0411) : nullptr;
    size_t offset = 0;
    if (node == nullptr || node->size != kArchive.size() ||
        !pe::MapRva(image, node->dataRva, node->size, &offset) ||
        !std::equal(kArchive.begin(), kArchive.end(), stamped.begin() + offset)) {
        return Broken("the stamped image does not hold the archive as RCDATA 103");
    }
    pe::Bytes other;
    pe::Bytes again;
    if (!pe::StampArchive(stamped, kOther, &other, &error) ||
        !pe::StampArchive(other, kArchive, &again, &error)) {
        return Broken("a stamped image is refused:", error);
    }
    if (again != stamped) {
        return Broken("stamping a stamped image again does not give the first stamp's bytes");
    }
    return true;
}
