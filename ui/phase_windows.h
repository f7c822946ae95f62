// The two phase runners with their polling windows, and the confirmation
// dialog. Everything here runs on the main thread.
#pragma once

#include <windows.h>

// Id of the 100 ms poll timer of the window that is open, 0 for none.
extern UINT_PTR PollTimerId;

// Extraction behind the wait window; false when the phase failed (its
// message has been shown by the worker).
bool RunExtraction(char* tempPath);
// Patch phase behind the progress window, then the outcome message; true
// after "update complete".
bool RunPatch(const char* tempPath, char* installDir);

INT_PTR CALLBACK ConfirmDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK WaitDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
