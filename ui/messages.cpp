#include "ui/messages.h"

HINSTANCE AppInstance = nullptr;
HWND MessageOwner = nullptr;

namespace {

// Shift-JIS bytes, so that the captions read right under code page 932.
const char kCaptionErrorText[] = "\x83\x47\x83\x89\x81\x5B"; // "エラー"
const char kCaptionInfoText[] = "\x8F\xEE\x95\xF1";          // "情報"

const char* const kCaptions[2] = {kCaptionErrorText, kCaptionInfoText};

} // namespace

void ShowMessage(UINT id, int32_t captionIndex) {
    if (captionIndex < 0) {
        captionIndex = 0;
    }
    if (captionIndex > 1) {
        captionIndex = 1;
    }
    char text[kMessageTextSize];
    if (LoadStringA(AppInstance, id, text, kMessageTextSize) == 0) {
        lstrcpyA(text, "Error");
    }
    MessageBoxA(MessageOwner, text, kCaptions[captionIndex], MB_OK);
}
