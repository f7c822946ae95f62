// The fixed file version of a Windows executable, read from its version
// record (RT_VERSION resource, VS_FIXEDFILEINFO) without Windows' help.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vnpatch {

// major, minor, build, revision: the four 16-bit parts of dwFileVersionMS/LS.
using FileVersion = std::array<uint16_t, 4>;

// False with a reason when the image holds no usable version record.
bool ParseFileVersion(const std::vector<unsigned char>& image, FileVersion* version,
                      std::string* error);
bool ReadFileVersion(const char* path, FileVersion* version, std::string* error);

std::string FormatVersion(const FileVersion& version);

} // namespace vnpatch
