// The state NumPy's default_rng(seed) gives its PCG64, derived from the seed
// alone: NumPy's seed sequence (the integer split into 32-bit words, lowest
// first, hashed into a pool of four words) expanded into two 128-bit words,
// then PCG64's seeding from them. Lets a call whose generator never leaves it
// skip making one.
#pragma once

#include "fuzzy/native/pcg64.hpp"

#include <cstddef>
#include <cstdint>

namespace orvex::fuzzy {

// The generator default_rng(int.from_bytes(seed, "big")) starts with, for a
// seed of `size` big-endian bytes (any length, leading zeros included).
Pcg64 seeded_pcg64(const uint8_t* seed, size_t size);

}  // namespace orvex::fuzzy
