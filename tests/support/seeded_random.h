// The one seeded generator of the tests, the fuzz targets, the benchmarks and
// the demo data (whose own build compiles seeded_random.cpp too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "patch/record_writer.h"

namespace testsupport {

// A deterministic stream from a seed: a 32-bit linear congruential generator
// of full period. Its bytes are the top byte of each state, where an LCG's
// bits are best; its 32-bit values, for <random>'s distributions and "% n",
// are the state permuted as PCG does (RXS M XS), so that their low bits are
// as good as their high ones. The byte stream must stay as it is: the fuzz
// corpora carry checksums of scratch files made from it.
class SeededRandom {
  public:
    using result_type = uint32_t;
    explicit SeededRandom(uint32_t seed) : state_(seed * 2654435761u + 1) {}
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }
    result_type operator()() {
        uint32_t state = Step();
        uint32_t word = ((state >> ((state >> 28) + 4)) ^ state) * 277803737u;
        return (word >> 22) ^ word;
    }
    unsigned char Byte() { return static_cast<unsigned char>(Step() >> 24); }
    ByteVector Bytes(size_t count);

  private:
    uint32_t Step() {
        state_ = state_ * 1103515245u + 12345u;
        return state_;
    }
    uint32_t state_;
};

// count bytes of SeededRandom(seed).
ByteVector RandomBytes(size_t count, uint32_t seed);

} // namespace testsupport
