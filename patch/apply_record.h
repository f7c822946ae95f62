// Applies one patch record to an installation directory.
#pragma once

#include <cstdint>

#include "patch/record_format.h"

// A record name stays inside the installation directory and names one file:
// not empty, no drive, no leading separator, no ".." component, and no "*"
// or "?" (the existence test would take them for wildcards).
bool IsSafeRelativeName(const char* name);

// installDirectory ends in "\". True: applied, or skipped as the flags allow.
// False: the record failed; the caller applies no further record.
bool ApplyPatchRecord(const unsigned char* record, int32_t recordLength,
                      const char* installDirectory, int32_t flags);
