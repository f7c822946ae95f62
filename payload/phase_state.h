// State a background phase shares with its window: aligned 32-bit integers,
// read on the window's timer without locks. A worker stores its status last,
// with release ordering; readers load it with acquire ordering.
#pragma once

#include <atomic>
#include <cstdint>

#include "patch/apply_record.h"

typedef std::atomic<int32_t> PhaseStatus;

struct PatchProgress {
    std::atomic<int32_t> total; // 100000 until the record count is known
    std::atomic<int32_t> index; // 0-based number of the record in work
};

static_assert(sizeof(PhaseStatus) == 4 && alignof(PhaseStatus) == 4, "32-bit status");
static_assert(std::atomic<int32_t>::is_always_lock_free, "lock-free status");

constexpr int32_t kStatusRunning = 0;
constexpr int32_t kStatusDone = 1;
constexpr int32_t kStatusFailed = -1;
constexpr int32_t kInitialTotal = 100000;

// Why the patch phase failed, for callers that can say more than the one
// message the updater shows. The worker stores it before its status.
enum PatchFailure : int32_t {
    PatchFailureNone = 0,
    PatchFailureDirectory = 1,     // install directory empty, or no room for its "\"
    PatchFailureOpen = 2,          // the archive cannot be opened
    PatchFailureStreamTooLong = 3, // its stream's length does not fit a 32-bit position
    PatchFailureArchive = 4,       // cut short, or a length beyond the stream's end
    PatchFailureMemory = 5,        // no buffer for a record
    PatchFailureRecord = 6,        // ApplyPatchRecord failed the record
};

extern PhaseStatus ExtractStatus;
extern PhaseStatus PatchStatus;
extern PatchProgress PatchProgressCounters;
extern std::atomic<int32_t> PatchFailureReason;

// The record the patch phase stopped at (PatchFailureRecord): what became of
// it and the file it names (empty when its header could not be read).
struct PatchStop {
    RecordReport report;
    char name[260];
};
extern PatchStop PatchFailedRecord;

// For the tools: when set, the patch worker calls it on its own thread after
// each record that applied or was passed over, with the entry's index, the
// file it names and what became of it. The updater leaves it unset.
typedef void (*PatchRecordObserver)(int32_t index, const char* name, const RecordReport& report);
extern PatchRecordObserver PatchRecordSeen;

inline void PublishStatus(PhaseStatus* status, int32_t value) {
    status->store(value, std::memory_order_release);
}

inline int32_t ObserveStatus(const PhaseStatus* status) {
    return status->load(std::memory_order_acquire);
}

// The patch phase's state before its worker starts: total 100000, index 0,
// no failure, status running.
inline void ResetPatchPhase() {
    PatchProgressCounters.total.store(kInitialTotal, std::memory_order_relaxed);
    PatchProgressCounters.index.store(0, std::memory_order_relaxed);
    PatchFailureReason.store(PatchFailureNone, std::memory_order_relaxed);
    PublishStatus(&PatchStatus, kStatusRunning);
}
