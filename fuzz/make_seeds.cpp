// Writes the seed corpora: valid records of every operation against the
// scratch installation, a small archive of them, plain inputs for the SZDD
// reader (scripts/fuzz-seeds.sh adds the mscompress-made SZDD files), and
// synthetic updaters for the stamp, as linked and as stamped.
//   make_seeds OUTDIR
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/scratch.h"
#include "patch/crc32_stream.h"
#include "patch/record_writer.h"
#include "payload/archive_writer.h"
#include "tests/support/records.h"
#include "tests/support/synthetic_pe.h"
#include "tools/pe/pe_stamp.h"

using testsupport::TextBytes;

namespace {

// A rebuild of the named original: two copies out of order around a literal.
ByteVector PatchOf(const char* path, const char* name, uint32_t reserved) {
    ByteVector old = ScratchOriginal(path);
    ByteVector added = TextBytes("new bytes of 1.1.0.3");
    size_t half = old.size() / 2;
    ByteVector result(old.begin() + static_cast<long>(half), old.end());
    result.insert(result.end(), added.begin(), added.end());
    result.insert(result.end(), old.begin(), old.begin() + static_cast<long>(half));
    ByteVector record;
    BeginRecord(&record, OpPatch, CrcOf(old), CrcOf(result), name);
    WriteLe32(record.data() + kOffReserved, reserved);
    AppendCopyChunk(&record, static_cast<uint32_t>(half), static_cast<uint32_t>(old.size() - half));
    AppendLiteralChunk(&record, added.data(), static_cast<uint32_t>(added.size()));
    AppendCopyChunk(&record, 0, static_cast<uint32_t>(half));
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
    ByteVector font = ScratchTree().at("font/font_01.mft");
    ByteVector next = TextBytes("font v2");
    BeginRecord(&stale, OpPatch, CrcOf(font), CrcOf(next), "font\\font_01.mft");
    AppendLiteralChunk(&stale, next.data(), static_cast<uint32_t>(next.size()));
    records.push_back({"patch_font_stale_bak", stale});
    records.push_back({"write_new_dirs", testsupport::WriteRecord("MENUDATA\\font\\new.fnt",
                                                                  TextBytes("a new font file\n"))});
    records.push_back({"write_replace",
                       testsupport::WriteRecord("readme.txt", TextBytes("Varnelo 1.1.0.3\r\n"))});
    records.push_back({"delete_readme", testsupport::DeleteRecord("readme.txt")});
    bool ok = true;
    for (const auto& record : records) {
        ok = testsupport::WriteFile(out + "/record/" + record.first, record.second) && ok;
    }
    std::vector<ArchiveEntry> entries;
    char names[8][16];
    for (size_t i = 0; i < records.size(); ++i) {
        std::snprintf(names[i], sizeof names[i], "%05u.pat", static_cast<unsigned>(i));
        entries.push_back({names[i], &records[i].second});
    }
    ok = testsupport::WriteFile(out + "/archive/all_ops", BuildArchive(entries)) && ok;
    std::vector<ArchiveEntry> two(entries.begin(), entries.begin() + 2);
    ok = testsupport::WriteFile(out + "/archive/two_patches", BuildArchive(two)) && ok;
    ok = testsupport::WriteFile(out + "/archive/empty", BuildArchive({})) && ok;
    ok = testsupport::WriteFile(
             out + "/szdd/plain_text",
             TextBytes("Varnelo SZDD seed: repeated text repeated text repeated text.\n")) &&
         ok;
    for (bool plus : {false, true}) {
        std::string name = out + "/stamp/" + (plus ? "pe32plus" : "pe32");
        pe::Bytes stub = testsupport::SyntheticUpdater(plus);
        pe::Bytes stamped;
        std::string error;
        ok = pe::StampArchive(stub, TextBytes("CF00 seed"), &stamped, &error) &&
             testsupport::WriteFile(name, stub) &&
             testsupport::WriteFile(name + "_stamped", stamped) && ok;
    }
    return ok ? 0 : 1;
}
