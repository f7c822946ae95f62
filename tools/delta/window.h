// The part of the new file held in memory. Candidates, prices and the parse
// all speak of window positions; alignments (old offset minus new file
// offset) stay valid when the window moves on.
#pragma once

#include <cstdint>

namespace deltaengine {

struct Window {
    unsigned char* bytes;
    uint32_t length; // bytes read into it
    int64_t start;   // file offset of position 0
};

// Old offset that new position lines up with under an alignment.
inline int64_t OldAt(const Window& window, uint32_t position, int64_t delta) {
    return window.start + position + delta;
}

} // namespace deltaengine
