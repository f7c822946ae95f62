// State a background phase shares with its window: aligned 32-bit integers,
// read on the window's timer without locks. A worker stores its status last,
// with release ordering; readers load it with acquire ordering.
#pragma once

#include <atomic>
#include <cstdint>

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

extern PhaseStatus ExtractStatus;
extern PhaseStatus PatchStatus;
extern PatchProgress PatchProgressCounters;

inline void PublishStatus(PhaseStatus* status, int32_t value) {
    status->store(value, std::memory_order_release);
}

inline int32_t ObserveStatus(const PhaseStatus* status) {
    return status->load(std::memory_order_acquire);
}

// The patch phase's state before its worker starts: total 100000, index 0,
// status running.
inline void ResetPatchPhase() {
    PatchProgressCounters.total.store(kInitialTotal, std::memory_order_relaxed);
    PatchProgressCounters.index.store(0, std::memory_order_relaxed);
    PublishStatus(&PatchStatus, kStatusRunning);
}
