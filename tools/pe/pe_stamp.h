// Stamping a patch archive into a built updater: the archive becomes its
// RCDATA 103 under Japanese, in place of the one it carries, if any. Works on
// byte buffers only; `vnpatch stamp` does the file work around it.
#pragma once

#include <string>

#include "tools/pe/pe_image.h"

namespace pe {

// The stamped image in *out, or false with a one-line reason and *out
// untouched.
bool StampArchive(const Bytes& updater, const Bytes& archive, Bytes* out, std::string* error);

} // namespace pe
