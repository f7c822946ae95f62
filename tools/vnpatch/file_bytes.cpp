#include "tools/vnpatch/file_bytes.h"

#include <cstdlib>

#include "fileutil/fileutil.h"

namespace vnpatch {

bool ReadFileBytes(const char* path, pe::Bytes* bytes, std::string* error) {
    unsigned char* block = nullptr;
    int32_t size = ReadWholeFile(&block, path);
    if (size < 0) {
        *error = std::string("cannot read ") + path;
        return false;
    }
    bytes->assign(block, block + size);
    std::free(block);
    return true;
}

} // namespace vnpatch
