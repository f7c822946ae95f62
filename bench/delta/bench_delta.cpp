// Patch size and build time against xdelta3 and bsdiff over file pairs.
//
//   bench_delta [--min-copy N] [--ours-only] OLD NEW [OLD NEW ...]
//
// Ours: the record vnpatch build makes for the pair (delta against the old
// file), in an archive of its own, SZDD-compressed as it ships. The peers'
// outputs are taken as they are (xdelta3 -9 -e -s, the same with its
// secondary compression off, -S none, and bsdiff). Pairs are grouped by the
// folder of the new file for subtotals, each checked against its goal; where
// a folder misses it, the bench shows where our bytes go, and what xdelta3's
// own instructions would come to in our format (its copies from the old file
// as copy chunks, the rest as literals), which tells the format's share of
// the gap from the match finding's. --ours-only skips the peers, for quick
// comparisons of our own builds.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_common.h"
#include "fileutil/fileutil.h"
#include "payload/archive_writer.h"
#include "payload/szdd_writer.h"
#include "tools/delta/delta.h"
#include "tools/vnpatch/build_steps.h"

namespace {

struct Ours {
    DeltaStats stats;
    long record;
    long compressed;
    double buildSeconds;    // index + delta + record
    double compressSeconds; // SZDD
};

// The one-record archive vnpatch build writes for a delta record whose chunk
// stream starts the spool, written to path and read back.
bool ArchiveOf(const PlannedRecord& record, FILE* spool, const std::string& path,
               std::vector<unsigned char>* archive) {
    ArchiveWriter writer;
    bool ok = ArchiveBegin(&writer, path.c_str(), 1);
    ok = ok && AddPlannedEntry(&writer, "00000.pat", record, spool) && ArchiveFinish(&writer);
    unsigned char* bytes = nullptr;
    int32_t size = ok ? ReadWholeFile(&bytes, path.c_str()) : -1;
    if (size >= 0) {
        archive->assign(bytes, bytes + size);
        std::free(bytes);
    }
    std::remove(path.c_str());
    return size >= 0;
}

// A delta record of the pair's chunk stream, taken from the spool's start.
PlannedRecord DeltaRecord(uint32_t oldCrc, uint32_t newCrc, int64_t streamBytes) {
    return PlannedRecord{OpPatch, "asset.bin", oldCrc, newCrc,     StreamSpooled,
                         "",      0,           0,      streamBytes};
}

// The steps of vnpatch build for the pair, timed: both files described, the
// delta spooled, the record's archive written; then its SZDD envelope.
bool BuildOurs(const std::string& oldPath, const std::string& newPath, int32_t minCopy,
               const std::string& dir, Ours* ours) {
    double start = NowSeconds();
    TreeFile old;
    TreeFile now;
    FILE* spool = std::tmpfile();
    std::string error;
    std::vector<unsigned char> archive;
    bool ok = spool != nullptr && DescribeFile(oldPath, "asset.bin", &old) &&
              DescribeFile(newPath, "asset.bin", &now) &&
              SpoolDelta(old, now, spool, minCopy, nullptr, nullptr, &ours->stats, &error) &&
              ArchiveOf(DeltaRecord(old.crc, now.crc, ours->stats.streamBytes), spool,
                        dir + "/ours.cf00", &archive);
    if (spool != nullptr) {
        std::fclose(spool);
    }
    double built = NowSeconds();
    std::vector<unsigned char> packed;
    ok = ok && SzddCompressBuffer(archive.data(), archive.size(), &packed);
    double done = NowSeconds();
    ours->record = static_cast<long>(archive.size());
    ours->compressed = static_cast<long>(packed.size());
    ours->buildSeconds = built - start;
    ours->compressSeconds = done - built;
    return ok;
}

// xdelta3's own instructions (from its printdelta listing) as our chunks:
// its copies from the old file become copy chunks, everything else (adds,
// runs, copies from the new file's earlier bytes, which our format cannot
// express) literal bytes. Returns the size after SZDD, -1 on failure.
long XdeltaAsOurChunks(const std::string& vcdiff, const std::string& newPath,
                       const std::string& dir) {
    unsigned char* now = nullptr;
    int32_t newSize = ReadWholeFile(&now, newPath.c_str());
    FILE* listing = popen(("xdelta3 printdelta " + Quote(vcdiff)).c_str(), "r");
    FILE* spool = std::tmpfile();
    bool ok = newSize >= 0 && listing != nullptr && spool != nullptr;
    ChunkSink sink;
    SinkBegin(&sink, spool);
    long long windowSource = 0; // old offset of this window's source part
    long long at = 0;           // new-file offset of the next instruction
    long long literal = 0;      // start of the bytes not yet in a chunk
    char line[512];
    while (ok && std::fgets(line, sizeof line, listing) != nullptr) {
        long long value;
        if (std::sscanf(line, "VCDIFF copy window offset: %lld", &value) == 1) {
            windowSource = value;
            continue;
        }
        // "  OFFSET CODE KIND SIZE [S@|T@ADDRESS] [KIND SIZE [ADDRESS]]"
        std::istringstream words(line);
        std::string offset;
        std::string code;
        std::string kind;
        if (!(words >> offset >> code) || offset.find_first_not_of("0123456789") != offset.npos) {
            continue;
        }
        while (ok && words >> kind) {
            long long n = -1;
            std::string address;
            words >> n;
            if (kind.compare(0, 4, "CPY_") == 0) {
                words >> address;
            }
            ok = n >= 0 && at + n <= newSize;
            if (ok && address.compare(0, 2, "S@") == 0) {
                SinkLiteral(&sink, now + literal, static_cast<uint32_t>(at - literal));
                literal = at + n;
                SinkCopy(&sink,
                         static_cast<uint32_t>(windowSource + std::atoll(address.c_str() + 2)),
                         static_cast<uint32_t>(n));
            }
            at += n;
        }
    }
    if (ok && at == newSize) {
        SinkLiteral(&sink, now + literal, static_cast<uint32_t>(at - literal));
    }
    ok = ok && at == newSize && SinkFinish(&sink);
    if (listing != nullptr) {
        ok = pclose(listing) == 0 && ok;
    }
    std::vector<unsigned char> archive;
    std::vector<unsigned char> packed;
    ok = ok &&
         ArchiveOf(DeltaRecord(0, 0, sink.stats.streamBytes), spool, dir + "/xd3.cf00", &archive) &&
         SzddCompressBuffer(archive.data(), archive.size(), &packed);
    if (spool != nullptr) {
        std::fclose(spool);
    }
    std::free(now);
    return ok ? static_cast<long>(packed.size()) : -1;
}

struct Totals {
    long newBytes = 0;
    long ours = 0;
    long record = 0;
    long copyHeads = 0; // bytes of copy chunks
    long literalHeads = 0;
    long literalBytes = 0;
    long xdelta = 0;
    long xdeltaPlain = 0; // -S none
    long bsdiff = 0;
    long xdeltaAsOurs = 0; // xdelta3's copies as our chunks, after SZDD
    double oursSeconds = 0;
    double xdeltaSeconds = 0;
};

void PrintTotals(const char* label, const Totals& t) {
    if (t.xdelta == 0) { // --ours-only
        std::printf("%-28s %10ld %10ld %10ld before SZDD   %7.3fs\n", label, t.newBytes, t.ours,
                    t.record, t.oursSeconds);
        return;
    }
    std::printf(
        "%-28s %10ld %10ld %10ld %10ld %10ld   %5.2fx %5.2fx %5.2fx   %7.3fs %7.3fs %5.2fx\n",
        label, t.newBytes, t.ours, t.xdelta, t.xdeltaPlain, t.bsdiff,
        double(t.ours) / double(t.xdelta), double(t.ours) / double(t.xdeltaPlain),
        double(t.ours) / double(t.bsdiff), t.oursSeconds, t.xdeltaSeconds,
        t.oursSeconds / t.xdeltaSeconds);
}

void AddTo(Totals* sum, const Totals& t) {
    sum->newBytes += t.newBytes;
    sum->ours += t.ours;
    sum->xdelta += t.xdelta;
    sum->xdeltaPlain += t.xdeltaPlain;
    sum->record += t.record;
    sum->copyHeads += t.copyHeads;
    sum->literalHeads += t.literalHeads;
    sum->literalBytes += t.literalBytes;
    sum->bsdiff += t.bsdiff;
    sum->xdeltaAsOurs += t.xdeltaAsOurs;
    sum->oursSeconds += t.oursSeconds;
    sum->xdeltaSeconds += t.xdeltaSeconds;
}

// Our archive before SZDD by part, and what the SZDD stage took off.
void PrintBreakdown(const Totals& t) {
    long other = t.record - t.copyHeads - t.literalHeads - t.literalBytes;
    std::printf("    where our bytes go: copy chunks %ld, literal heads %ld, literal bytes %ld, "
                "record headers and archive table %ld; %ld before SZDD, %ld after (LZSS saved "
                "%.1f%%)\n",
                t.copyHeads, t.literalHeads, t.literalBytes, other, t.record, t.ours,
                100.0 * double(t.record - t.ours) / double(t.record));
    if (t.xdeltaAsOurs > 0) {
        std::printf("    xdelta3's own copies from the old file as our chunks: %ld after SZDD, "
                    "%.3fx xdelta3 -9 -S none (ours %.3fx)\n",
                    t.xdeltaAsOurs, double(t.xdeltaAsOurs) / double(t.xdeltaPlain),
                    double(t.ours) / double(t.xdeltaPlain));
    }
}

// Goal for a folder, as a ratio to xdelta3 -9 -S none; 0 when it has none.
double FolderGoal(const std::string& folder) {
    if (folder.find("esbuild") != std::string::npos) {
        return 0.65;
    }
    if (folder.find("fonts") != std::string::npos) {
        return 1.10;
    }
    if (folder.find("sql.js") != std::string::npos) {
        return 1.25;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int32_t minCopy = kDeltaMinCopy;
    bool oursOnly = false;
    int first = 1;
    for (;;) {
        if (argc > first + 1 && std::strcmp(argv[first], "--min-copy") == 0) {
            minCopy = std::atoi(argv[first + 1]);
            first += 2;
        } else if (argc > first && std::strcmp(argv[first], "--ours-only") == 0) {
            oursOnly = true;
            first += 1;
        } else {
            break;
        }
    }
    if (argc - first < 2 || (argc - first) % 2 != 0) {
        std::fprintf(stderr,
                     "usage: bench_delta [--min-copy N] [--ours-only] OLD NEW [OLD NEW ...]\n");
        return 2;
    }
    char scratch[] = "/tmp/bench-delta.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        return 1;
    }
    std::string dir = scratch;
    std::printf("%-28s %10s %10s %10s %10s %10s   %6s %6s %6s   %8s %8s %6s\n", "pair (new file)",
                "new", "ours.sz", "xdelta3", "xd3-Snone", "bsdiff", "/xd3", "/Snone", "/bsd",
                "ours", "xdelta3", "time");
    std::map<std::string, Totals> groups;
    Totals all;
    for (int i = first; i + 1 < argc; i += 2) {
        std::string oldPath = argv[i];
        std::string newPath = argv[i + 1];
        Ours ours;
        if (!BuildOurs(oldPath, newPath, minCopy, dir, &ours)) {
            std::fprintf(stderr, "cannot build %s -> %s\n", oldPath.c_str(), newPath.c_str());
            return 1;
        }
        Totals t;
        t.newBytes = FileSize(newPath);
        t.ours = ours.compressed;
        t.record = ours.record;
        t.copyHeads = kCopyChunkSize * long(ours.stats.copyChunks);
        t.literalHeads = kChunkHeadSize * long(ours.stats.literalChunks);
        t.literalBytes = long(ours.stats.literalBytes);
        t.oursSeconds = ours.buildSeconds;
        std::string name = newPath.substr(newPath.find_last_of('/') + 1);
        std::string group = newPath.substr(0, newPath.find_last_of('/'));
        if (oursOnly) {
            PrintTotals(name.substr(0, 28).c_str(), t);
            AddTo(&groups[group], t);
            AddTo(&all, t);
            continue;
        }
        std::string xd = dir + "/x.vcdiff";
        std::string xp = dir + "/p.vcdiff";
        std::string bs = dir + "/b.bsdiff";
        double xdSeconds = TimeCommand(
            "xdelta3 -9 -e -f -s " + Quote(oldPath) + " " + Quote(newPath) + " " + Quote(xd), 1);
        double bsSeconds =
            TimeCommand("bsdiff " + Quote(oldPath) + " " + Quote(newPath) + " " + Quote(bs), 1);
        double xpSeconds = TimeCommand("xdelta3 -9 -S none -e -f -s " + Quote(oldPath) + " " +
                                           Quote(newPath) + " " + Quote(xp),
                                       1);
        if (xdSeconds < 0 || bsSeconds < 0 || xpSeconds < 0) {
            std::fprintf(stderr, "xdelta3 or bsdiff failed on %s\n", newPath.c_str());
            return 1;
        }
        t.xdelta = FileSize(xd);
        t.xdeltaPlain = FileSize(xp);
        t.bsdiff = FileSize(bs);
        t.xdeltaAsOurs = XdeltaAsOurChunks(xp, newPath, dir);
        if (t.xdeltaAsOurs < 0) {
            std::fprintf(stderr, "cannot read xdelta3's instructions for %s\n", newPath.c_str());
            return 1;
        }
        t.xdeltaSeconds = xdSeconds;
        PrintTotals(name.substr(0, 28).c_str(), t);
        std::printf("%-28s record %ld bytes before SZDD, SZDD %.3fs; bsdiff %.3fs\n", "",
                    ours.record, ours.compressSeconds, bsSeconds);
        AddTo(&groups[group], t);
        AddTo(&all, t);
    }
    std::printf("\nsubtotals by folder of the new files (sizes: ours / xdelta3 -9, ours / "
                "xdelta3 -9 -S none, ours / bsdiff; build time: ours / xdelta3)\n");
    std::string goals;
    for (const auto& g : groups) {
        std::string label =
            g.first.size() > 28 ? "..." + g.first.substr(g.first.size() - 25) : g.first;
        PrintTotals(label.c_str(), g.second);
        if (oursOnly) {
            PrintBreakdown(g.second);
            continue;
        }
        double goal = FolderGoal(g.first);
        double ratio = double(g.second.ours) / double(g.second.xdeltaPlain);
        if (goal > 0) {
            char line[200];
            std::snprintf(line, sizeof line,
                          "  %-28s %.3fx xdelta3 -9 -S none, goal <= %.2fx: %s\n", label.c_str(),
                          ratio, goal, ratio <= goal ? "held" : "NOT held");
            goals += line;
        }
        if (goal > 0 && ratio > goal) {
            PrintBreakdown(g.second);
        }
    }
    PrintTotals("all pairs", all);
    if (!oursOnly) {
        double ratio = double(all.ours) / double(all.xdelta);
        std::printf("\ngoals\n%s  %-28s %.3fx xdelta3 -9, goal <= 1.00x: %s\n", goals.c_str(),
                    "all pairs", ratio, ratio <= 1.0 ? "held" : "NOT held");
    }
    std::remove((dir + "/x.vcdiff").c_str());
    std::remove((dir + "/p.vcdiff").c_str());
    std::remove((dir + "/b.bsdiff").c_str());
    rmdir(dir.c_str());
    return 0;
}
