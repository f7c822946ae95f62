#include "ui/messages.h"

HINSTANCE AppInstance = nullptr;
HWND MessageOwner = nullptr;

const wchar_t* const CaptionTexts[2] = {L"\u30A8\u30E9\u30FC", L"\u60C5\u5831"};

void ShowMessage(UINT id, int32_t captionIndex) {
    if (captionIndex < 0) {
        captionIndex = 0;
    }
    if (captionIndex > 1) {
        captionIndex = 1;
    }
    wchar_t text[kMessageTextSize];
    const wchar_t* shown = text;
    if (LoadStringW(AppInstance, id, text, kMessageTextSize) == 0) {
        shown = L"Error";
    }
    MessageBoxW(MessageOwner, shown, CaptionTexts[captionIndex], MB_OK);
}
