#include "payload/phase_state.h"

PhaseStatus ExtractStatus{0};
PhaseStatus PatchStatus{0};
PatchProgress PatchProgressCounters{{kInitialTotal}, {0}};
std::atomic<int32_t> PatchFailureReason{PatchFailureNone};
PatchStop PatchFailedRecord{};
PatchRecordObserver PatchRecordSeen = nullptr;
