// Message boxes: a string-table text under one of two fixed captions. Texts
// and captions reach the screen as UTF-16, so that they read the same under
// any ANSI code page, not only under Shift-JIS (932).
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
// The captions by index: "エラー" and "情報", whose Shift-JIS bytes are
// 83 47 83 89 81 5B and 8F EE 95 F1. Held as UTF-16 rather than converted
// from those bytes at run time: a Windows XP without East Asian language
// support has no code page 932 to convert with.
extern const wchar_t* const CaptionTexts[2];

// Shows the text with that id (or "Error" when it cannot be loaded) with one
// OK button; returns when the user has closed the box. The caption index is
// clamped to 0..1.
void ShowMessage(UINT id, int32_t captionIndex);
