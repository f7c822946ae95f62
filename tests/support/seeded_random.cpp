#include "tests/support/seeded_random.h"

namespace testsupport {

ByteVector SeededRandom::Bytes(size_t count) {
    ByteVector out(count);
    for (unsigned char& byte : out) {
        byte = Byte();
    }
    return out;
}

ByteVector RandomBytes(size_t count, uint32_t seed) {
    return SeededRandom(seed).Bytes(count);
}

} // namespace testsupport
