// Walks an archive (SZDD or plain) entry by entry without applying anything.
#pragma once

#include <cstdint>
#include <string>

// Why an archive whose stream reaches 2 GiB is refused, for every command.
constexpr const char* kStreamTooLongText =
    "the archive's decompressed stream is 2 GiB or longer, beyond the signed 32-bit positions "
    "of the stream operations the patch phase reads it with";

struct ScanHeader {
    char magic[5];
    int32_t count;
    int64_t streamLength;
};

// Called per entry with its number, name and record; false stops the scan.
typedef bool (*ScanCallback)(int32_t index, const char* name, const unsigned char* record,
                             int32_t recordLength, void* context);

// False with a reason in *error when the archive cannot be read to its end.
bool ScanArchive(const char* path, ScanHeader* header, ScanCallback callback, void* context,
                 std::string* error);
