#include "ui/phase_windows.h"

#include <commctrl.h>

#include "payload/extract_payload.h"
#include "payload/patch_worker.h"
#include "payload/phase_state.h"
#include "payload/worker_thread.h"
#include "res/resource.h"
#include "ui/messages.h"

UINT_PTR PollTimerId = 0;

namespace {

constexpr UINT kPollPeriod = 100;

// The whole flow relies on the worker having finished when its window has
// closed. When the window or its timer could not be made, the window is gone
// early, so wait here for the worker's status at the same pace.
void AwaitWorker(const PhaseStatus* status) {
    while (ObserveStatus(status) == kStatusRunning) {
        Sleep(kPollPeriod);
    }
}

// Shared by the two polling windows: the timer starts with the window and
// dies with it; the user cannot close it (IDCANCEL is ignored).
bool HandlePollWindow(HWND window, UINT message) {
    if (message == WM_INITDIALOG) {
        PollTimerId = SetTimer(window, 0, kPollPeriod, nullptr);
        if (PollTimerId == 0) {
            EndDialog(window, 0);
        }
        return true;
    }
    if (message == WM_DESTROY) {
        if (PollTimerId != 0) {
            KillTimer(window, PollTimerId);
            PollTimerId = 0;
        }
        return true;
    }
    return false;
}

// Set once the wait window is on the screen (its first timer tick), or once
// it can no longer come. A failure can happen before the main thread has
// made that window (no temporary file is found at once); a message box shown
// then would end up behind the window activated after it, out of reach of
// the keyboard, with the window waiting for it.
HANDLE WaitWindowUp = nullptr;
constexpr DWORD kWaitWindowLimit = 10000;

// Runs on the extraction worker: the message shows in front of the wait
// window, which stays open until the user has closed it and the phase ends.
void ReportExtractFailure(ExtractFailure failure) {
    if (WaitWindowUp != nullptr) {
        WaitForSingleObject(WaitWindowUp, kWaitWindowLimit);
    }
    ShowMessage(failure == ExtractFailureTempFile ? IDS_TEMPFILE_FAILED : IDS_EXTRACT_FAILED,
                CaptionError);
}

} // namespace

INT_PTR CALLBACK ConfirmDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_COMMAND) {
        WORD id = LOWORD(wParam);
        if (id == IDOK) {
            EndDialog(window, 1);
        } else if (id == IDCANCEL) {
            EndDialog(window, 0);
        }
    }
    return FALSE;
}

INT_PTR CALLBACK WaitDialogProc(HWND window, UINT message, WPARAM, LPARAM) {
    if (!HandlePollWindow(window, message) && message == WM_TIMER) {
        if (WaitWindowUp != nullptr) {
            SetEvent(WaitWindowUp);
        }
        if (ObserveStatus(&ExtractStatus) != kStatusRunning) {
            EndDialog(window, 0);
        }
    }
    return FALSE;
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM, LPARAM) {
    if (!HandlePollWindow(window, message) && message == WM_TIMER) {
        // Range and position on every tick, before the status test, so the
        // last tick shows the last index.
        int32_t total = PatchProgressCounters.total.load(std::memory_order_relaxed);
        LPARAM range = static_cast<LPARAM>((static_cast<uint32_t>(total) & 0xFFFF) << 16);
        SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETRANGE, 0, range);
        int32_t index = PatchProgressCounters.index.load(std::memory_order_relaxed);
        SendDlgItemMessageW(window, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(index), 0);
        if (ObserveStatus(&PatchStatus) != kStatusRunning) {
            EndDialog(window, 0);
        }
    }
    return FALSE;
}

bool RunExtraction(char* tempPath) {
    ExtractJob job;
    job.module = AppInstance;
    job.resourceId = IDR_PATCHDATA;
    job.path = tempPath;
    job.report = ReportExtractFailure;
    PublishStatus(&ExtractStatus, kStatusRunning);
    // Without the event a failure is shown at once, as before the window.
    WaitWindowUp = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!StartWorkerThread(ExtractWorker, &job)) {
        // Without a worker nothing was extracted: a failed phase, reported
        // here as the worker would have.
        ShowMessage(IDS_EXTRACT_FAILED, CaptionError);
        CloseHandle(WaitWindowUp);
        WaitWindowUp = nullptr;
        return false;
    }
    DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_EXTRACT), nullptr, WaitDialogProc, 0);
    // A window that could not be made, or closed early, sends nobody waiting.
    if (WaitWindowUp != nullptr) {
        SetEvent(WaitWindowUp);
    }
    AwaitWorker(&ExtractStatus);
    if (WaitWindowUp != nullptr) {
        CloseHandle(WaitWindowUp);
        WaitWindowUp = nullptr;
    }
    return ObserveStatus(&ExtractStatus) != kStatusFailed;
}

bool RunPatch(const char* tempPath, char* installDir) {
    PatchJob job;
    job.archivePath = tempPath;
    job.installDirectory = installDir;
    ResetPatchPhase();
    // The progress bar's window class must exist before the template is used.
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&controls);
    bool started = StartWorkerThread(PatchWorker, &job);
    if (started) {
        DialogBoxParamW(AppInstance, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc,
                        0);
        AwaitWorker(&PatchStatus);
    }
    // A worker that never started applied nothing: that is a failed patch.
    if (!started || ObserveStatus(&PatchStatus) == kStatusFailed) {
        ShowMessage(IDS_PATCH_FAILED, CaptionError);
        return false;
    }
    ShowMessage(IDS_UPDATE_DONE, CaptionInfo);
    return true;
}
