// The sample installation and its patch archive: one model gives the 1.0
// tree, the archive that updates it, and the tree expected afterwards.
#pragma once

#include <cstdint>
#include <vector>

#include "patch/record_writer.h"

struct DemoOptions {
    bool large;     // add big files, so that the patch phase takes a while
    bool badRecord; // one record carries a wrong target checksum
};

enum DemoKind {
    KindKept,    // in the tree, not in the archive
    KindPatched, // OpPatch from the installed old version
    KindWritten, // OpWrite: replaced or new
    KindDeleted, // OpDelete
    KindPit,     // "*.ptd" in save\pit: removed for a 1.0 installation
};

struct DemoFile {
    char name[128]; // relative, "\" separated
    DemoKind kind;
    bool installed;    // present in the 1.0 tree
    bool readOnly;     // installed read-only
    int32_t record;    // index of the record that changes it, -1 for none
    ByteVector before; // contents in the 1.0 tree
    ByteVector after;  // contents once its record has been applied
};

struct DemoRecord {
    char name[128];
    ByteVector bytes;
};

struct DemoModel {
    std::vector<DemoFile> files;
    std::vector<DemoRecord> records;
    int32_t badRecord; // index of the corrupted record, or -1
};

void BuildDemoModel(const DemoOptions& options, DemoModel* model);
