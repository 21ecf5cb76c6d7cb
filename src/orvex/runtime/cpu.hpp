// Which instruction set extensions the native loops may use, decided once per
// process from what the processor reports.
//
// ORVEX_PORTABLE=1 in the environment (read once, at first use) turns every
// extension off, so that tests can hold the portable code against the same
// references as the accelerated code.
#pragma once

namespace orvex::cpu {

struct Features {
  bool ssse3 = false;
  bool avx2 = false;
  bool avx512vbmi = false;  // with AVX-512 F and BW: 64-byte vectors and byte permutes
  bool sha = false;         // x86 SHA extensions (with SSE4.1), or the ARMv8 SHA-2 instructions
};

const Features& features();

}  // namespace orvex::cpu
