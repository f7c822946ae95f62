// A whole file as bytes, for the commands that work on executables in
// memory (stamp, resources, version).
#pragma once

#include <string>

#include "tools/pe/pe_image.h"

namespace vnpatch {

// False with "cannot read PATH" in *error when the file cannot be read.
bool ReadFileBytes(const char* path, pe::Bytes* bytes, std::string* error);

} // namespace vnpatch
