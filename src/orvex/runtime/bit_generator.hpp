// NumPy's bit generators as native code reaches them: the C interface that
// every bit generator exposes as `bit_generator.capsule`.
#pragma once

#include "runtime/ref.hpp"

#include <cstdint>

namespace orvex {

// NumPy's C interface to a bit generator, from a PyCapsule named "BitGenerator".
struct BitGen {
  void* state;
  uint64_t (*next_uint64)(void* st);
  uint32_t (*next_uint32)(void* st);
  double (*next_double)(void* st);
  uint64_t (*next_raw)(void* st);
};

// The C interface behind bit_generator.<capsule_name>: 1 with `out` set, 0
// when the attribute is not NumPy's capsule, -1 with an exception set.
int bit_generator_interface(PyObject* bit_generator, PyObject* capsule_name, BitGen*& out);

// rng.<bit_generator_name> into `holder`, which keeps its state alive, and
// its C interface; nullptr with an exception set (TypeError when the capsule
// is not NumPy's).
BitGen* bit_generator_of(PyObject* rng, PyObject* bit_generator_name, PyObject* capsule_name,
                         Ref& holder);

}  // namespace orvex
