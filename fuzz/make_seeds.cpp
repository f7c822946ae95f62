// Writes the seed corpora: valid records of every operation against the
// scratch installation, a small archive of them, and plain inputs for the
// SZDD reader (scripts/fuzz-seeds.sh adds the mscompress-made SZDD files).
//   make_seeds OUTDIR
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/scratch.h"
#include "patch/crc32.h"
#include "patch/record_writer.h"
#include "payload/archive_writer.h"

namespace {

uint32_t CrcOf(const std::string& bytes) {
    return Crc32(static_cast<int32_t>(bytes.size()),
                 reinterpret_cast<const unsigned char*>(bytes.data()));
}

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

bool Save(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0;
}

// A rebuild of the named original: two copies out of order around a literal.
ByteVector PatchOf(const char* path, const char* name, uint32_t reserved) {
    std::string old = ScratchOriginal(path);
    std::string added = "new bytes of 1.1.0.3";
    size_t half = old.size() / 2;
    std::string result = old.substr(half) + added + old.substr(0, half);
    ByteVector record;
    BeginRecord(&record, OpPatch, CrcOf(old), CrcOf(result), name);
    WriteLe32(record.data() + kOffReserved, reserved);
    AppendCopyChunk(&record, static_cast<uint32_t>(half), static_cast<uint32_t>(old.size() - half));
    AppendLiteralChunk(&record, Bytes(added), static_cast<uint32_t>(added.size()));
    AppendCopyChunk(&record, 0, static_cast<uint32_t>(half));
    return record;
}

ByteVector WriteOf(const char* name, const std::string& contents) {
    ByteVector record;
    BeginRecord(&record, OpWrite, 0, CrcOf(contents), name);
    AppendLiteralChunk(&record, Bytes(contents), static_cast<uint32_t>(contents.size()));
    return record;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
        return 2;
    }
    std::string out = argv[1];
    std::vector<std::pair<std::string, ByteVector>> records;
    records.push_back({"patch_nr33", PatchOf("CAR/NR33.bin", "CAR\\NR33.bin", 0)});
    records.push_back({"patch_oval_heal", PatchOf("course/OVAL.bin", "course\\OVAL.bin", 0)});
    records.push_back({"patch_hill_bak_only", PatchOf("course/HILL.bin", "course\\HILL.bin", 0)});
    records.push_back({"patch_flags0_case", PatchOf("CAR/NR33.bin", "car\\nr33.BIN", 3)});
    ByteVector stale;
    std::string font = ScratchFileAt(4).contents;
    BeginRecord(&stale, OpPatch, CrcOf(font), CrcOf("font v2"), "font\\font_01.mft");
    AppendLiteralChunk(&stale, Bytes("font v2"), 7);
    records.push_back({"patch_font_stale_bak", stale});
    records.push_back({"write_new_dirs", WriteOf("MENUDATA\\font\\new.fnt", "a new font file\n")});
    records.push_back({"write_replace", WriteOf("readme.txt", "Varnelo 1.1.0.3\r\n")});
    ByteVector remove;
    BeginRecord(&remove, OpDelete, 0, 0, "readme.txt");
    records.push_back({"delete_readme", remove});
    bool ok = true;
    for (const auto& record : records) {
        ok = Save(out + "/record/" + record.first, record.second) && ok;
    }
    std::vector<ArchiveEntry> entries;
    char names[8][16];
    for (size_t i = 0; i < records.size(); ++i) {
        std::snprintf(names[i], sizeof names[i], "%05u.pat", static_cast<unsigned>(i));
        entries.push_back({names[i], &records[i].second});
    }
    ok = Save(out + "/archive/all_ops", BuildArchive(entries)) && ok;
    std::vector<ArchiveEntry> two(entries.begin(), entries.begin() + 2);
    ok = Save(out + "/archive/two_patches", BuildArchive(two)) && ok;
    ok = Save(out + "/archive/empty", BuildArchive({})) && ok;
    std::string text = "Varnelo SZDD seed: repeated text repeated text repeated text.\n";
    ok = Save(out + "/szdd/plain_text", std::vector<unsigned char>(text.begin(), text.end())) && ok;
    return ok ? 0 : 1;
}
