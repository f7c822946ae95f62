// Bodies of the fuzz targets, shared by the libFuzzer entry points and the
// regression replay in tests/reliability. Each returns false (after printing
// why) when the input broke an invariant; crashes and sanitizer reports are
// caught by the surrounding tool.
#pragma once

#include <cstddef>
#include <cstdint>

// SzddOpen/SzddRead/SzddSeek over the input as a file, compared byte for
// byte with a straightforward decoder of the same format.
bool FuzzSzddInput(const uint8_t* data, size_t size);
// PatchWorker over the input as an archive file and the scratch installation.
bool FuzzArchiveInput(const uint8_t* data, size_t size);
// ApplyPatchRecord of the input over the scratch installation; the flags come
// from the record's reserved field (3 when it is 0).
bool FuzzRecordInput(const uint8_t* data, size_t size);
// StampArchive with the input as the updater; a stamped image must read back
// with the archive and stamp again to the same bytes.
bool FuzzStampInput(const uint8_t* data, size_t size);
