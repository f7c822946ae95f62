// Message boxes: a string-table text under one of two fixed captions.
#pragma once

#include <windows.h>

#include <cstdint>

constexpr int32_t CaptionError = 0;
constexpr int32_t CaptionInfo = 1;
constexpr int kMessageTextSize = 260;

// Instance whose resources hold the texts, dialogs and the archive; set once
// at start, before any worker runs.
extern HINSTANCE AppInstance;
// Owner of every message box: always none.
extern HWND MessageOwner;

// Shows the text with that id (or "Error" when it cannot be loaded) with one
// OK button; returns when the user has closed the box. The caption index is
// clamped to 0..1.
void ShowMessage(UINT id, int32_t captionIndex);
