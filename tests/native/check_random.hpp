// The generator every native check draws its inputs from: xorshift64*, so that the inputs are
// the same on every run and every machine. A check picks its own seed to keep its inputs.
#pragma once

#include <cstdint>

struct Random {
    std::uint64_t state = 0x9E3779B97F4A7C15ULL;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};
