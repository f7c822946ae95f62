#include "tools/demo/demo_data.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "patch/crc32_stream.h"
#include "tests/support/seeded_random.h"

namespace {

// Deterministic, somewhat compressible bytes: words from a small alphabet with
// runs, like the text and tables in game data.
ByteVector MakeBytes(uint32_t seed, uint32_t size) {
    ByteVector out;
    out.reserve(size);
    testsupport::SeededRandom random(seed);
    while (out.size() < size) {
        uint32_t draw = random();
        unsigned char c = static_cast<unsigned char>('A' + (draw >> 8) % 26);
        uint32_t run = 1 + (draw >> 24) % 4;
        for (uint32_t i = 0; i < run && out.size() < size; ++i) {
            out.push_back((draw & 0x10) != 0 ? c : static_cast<unsigned char>(draw >> (i * 3)));
        }
    }
    return out;
}

struct Piece {
    bool copy;
    uint32_t offset; // copy: source offset
    uint32_t length; // copy: length
    ByteVector literal;
};

// The new version of a file as pieces of the old one and new bytes: a head
// kept, new bytes, a later block, an earlier block (offsets step back), and
// a new tail.
std::vector<Piece> MakePieces(const ByteVector& old, uint32_t seed) {
    uint32_t n = static_cast<uint32_t>(old.size());
    std::vector<Piece> pieces;
    pieces.push_back({true, 0, n / 4, {}});
    pieces.push_back({false, 0, 0, MakeBytes(seed + 1, 300 + seed % 200)});
    pieces.push_back({true, n / 2, n / 2, {}});
    pieces.push_back({true, n / 4 + 10, n / 8, {}});
    pieces.push_back({false, 0, 0, MakeBytes(seed + 2, 64)});
    return pieces;
}

ByteVector Assemble(const ByteVector& old, const std::vector<Piece>& pieces) {
    ByteVector out;
    for (const Piece& piece : pieces) {
        if (piece.copy) {
            out.insert(out.end(), old.begin() + piece.offset,
                       old.begin() + piece.offset + piece.length);
        } else {
            out.insert(out.end(), piece.literal.begin(), piece.literal.end());
        }
    }
    return out;
}

DemoFile* AddFile(DemoModel* model, const char* name, DemoKind kind, uint32_t seed, uint32_t size) {
    DemoFile file;
    std::snprintf(file.name, sizeof file.name, "%s", name);
    file.kind = kind;
    file.installed = true;
    file.readOnly = false;
    file.record = -1;
    file.before = MakeBytes(seed, size);
    file.after = file.before;
    model->files.push_back(file);
    return &model->files.back();
}

int32_t AddRecord(DemoModel* model, const char* name, const ByteVector& bytes) {
    DemoRecord record;
    std::snprintf(record.name, sizeof record.name, "%s", name);
    record.bytes = bytes;
    model->records.push_back(record);
    return static_cast<int32_t>(model->records.size()) - 1;
}

// A patch record from the old contents to their new version.
ByteVector PatchRecord(const char* name, const ByteVector& old, const std::vector<Piece>& pieces,
                       const ByteVector& target) {
    ByteVector record;
    BeginRecord(&record, OpPatch, CrcOf(old), CrcOf(target), name);
    for (const Piece& piece : pieces) {
        if (piece.copy) {
            AppendCopyChunk(&record, piece.offset, piece.length);
        } else {
            AppendLiteralChunk(&record, piece.literal.data(),
                               static_cast<uint32_t>(piece.literal.size()));
        }
    }
    return record;
}

void AddPatched(DemoModel* model, const char* name, uint32_t seed, uint32_t size) {
    DemoFile* file = AddFile(model, name, KindPatched, seed, size);
    std::vector<Piece> pieces = MakePieces(file->before, seed);
    file->after = Assemble(file->before, pieces);
    file->record = AddRecord(model, name, PatchRecord(name, file->before, pieces, file->after));
}

void AddWritten(DemoModel* model, const char* name, uint32_t seed, uint32_t size, bool installed) {
    DemoFile* file = AddFile(model, name, KindWritten, seed, size);
    file->installed = installed;
    file->after = MakeBytes(seed + 77, size + 1000);
    ByteVector record;
    BeginRecord(&record, OpWrite, 0, CrcOf(file->after), name);
    AppendLiteralChunk(&record, file->after.data(), static_cast<uint32_t>(file->after.size()));
    file->record = AddRecord(model, name, record);
}

} // namespace

void BuildDemoModel(const DemoOptions& options, DemoModel* model) {
    model->files.clear();
    model->records.clear();
    model->badRecord = -1;

    AddPatched(model, "CAR\\NR33.bin", 101, 40000);
    AddFile(model, "CAR\\NR33.tex", KindKept, 102, 12000);

    // Two older versions of one file, one record each, the same target. The
    // tree holds the older one (its last 2000 bytes differ), so the first
    // record is passed over and the second applies.
    {
        ByteVector newer = MakeBytes(201, 60000);
        std::vector<Piece> fromNewer = MakePieces(newer, 203);
        ByteVector target = Assemble(newer, fromNewer);
        ByteVector older = newer;
        ByteVector tail = MakeBytes(202, 2000);
        std::copy(tail.begin(), tail.end(), older.end() - 2000);
        // Copies that reach into the changed tail become literals.
        std::vector<Piece> fromOlder;
        for (const Piece& piece : fromNewer) {
            if (piece.copy && piece.offset + piece.length > older.size() - 2000) {
                ByteVector bytes(newer.begin() + piece.offset,
                                 newer.begin() + piece.offset + piece.length);
                fromOlder.push_back({false, 0, 0, bytes});
            } else {
                fromOlder.push_back(piece);
            }
        }
        DemoFile* oval = AddFile(model, "course\\OVAL.bin", KindPatched, 201, 0);
        oval->before = older;
        oval->after = Assemble(older, fromOlder);
        AddRecord(model, oval->name, PatchRecord(oval->name, newer, fromNewer, target));
        oval->record =
            AddRecord(model, oval->name, PatchRecord(oval->name, older, fromOlder, oval->after));
    }

    // A record for a file this installation does not have.
    {
        ByteVector absent = MakeBytes(301, 5000);
        std::vector<Piece> pieces = MakePieces(absent, 302);
        AddRecord(model, "CAR\\F1.bin",
                  PatchRecord("CAR\\F1.bin", absent, pieces, Assemble(absent, pieces)));
    }

    // Replaced whole by one literal, still under the source checksum test.
    {
        DemoFile* font = AddFile(model, "MENUDATA\\font\\font_01.mft", KindPatched, 401, 900);
        std::vector<Piece> pieces;
        pieces.push_back({false, 0, 0, MakeBytes(402, 950)});
        font->after = Assemble(font->before, pieces);
        font->record = AddRecord(model, font->name,
                                 PatchRecord(font->name, font->before, pieces, font->after));
    }
    AddFile(model, "MENUDATA\\tex\\title.tex", KindKept, 403, 20000);

    AddPatched(model, "CAR\\GT40.bin", 501, 30000);
    if (options.badRecord) {
        model->badRecord = model->files.back().record;
        ByteVector* bytes = &model->records[static_cast<size_t>(model->badRecord)].bytes;
        (*bytes)[kOffTargetCrc] ^= 0x5A;
    }
    AddPatched(model, "course\\HILL.bin", 601, 50000);
    if (options.large) {
        for (int i = 0; i < 40; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "course\\tile%02d.bin", i);
            AddPatched(model, name, 1000 + static_cast<uint32_t>(i), 1500000);
        }
    }
    AddWritten(model, "racetex\\sky.tex", 701, 8000, false);
    AddWritten(model, "VRNLConfig.exe", 702, 6000, true);
    {
        DemoFile* old = AddFile(model, "course\\old_layout.dat", KindDeleted, 801, 3000);
        old->after.clear();
        ByteVector record;
        BeginRecord(&record, OpDelete, 0, 0, old->name);
        old->record = AddRecord(model, old->name, record);
    }

    // Pit data: the top folder's "*.ptd" go for 1.0; its other files and its
    // subfolder stay.
    AddFile(model, "save\\pit\\car01.ptd", KindPit, 901, 2048);
    AddFile(model, "save\\pit\\car02.ptd", KindPit, 902, 2048);
    AddFile(model, "save\\pit\\car03.ptd", KindPit, 903, 1024)->readOnly = true;
    AddFile(model, "save\\pit\\readme.txt", KindKept, 904, 300);
    AddFile(model, "save\\pit\\backup\\car01.ptd", KindKept, 905, 2048);
    AddFile(model, "save\\replay\\run01.rpl", KindKept, 906, 9000)->readOnly = true;
}
