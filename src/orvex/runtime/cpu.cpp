#include "runtime/cpu.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace orvex::cpu {
namespace {

bool portable_forced() {
  const char* value = std::getenv("ORVEX_PORTABLE");
  return value && *value && std::strcmp(value, "0") != 0;
}

Features detect() {
  Features f;
  if (portable_forced()) return f;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
  f.ssse3 = (ecx & bit_SSSE3) != 0;
  const bool sse41 = (ecx & bit_SSE4_1) != 0;
  // AVX registers are only usable once the operating system saves them.
  const bool os_avx = (ecx & bit_OSXSAVE) && (ecx & bit_AVX);
  unsigned xcr0 = 0;
  if (os_avx) {
    unsigned xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  }
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
    f.avx2 = os_avx && (xcr0 & 6) == 6 && (ebx & bit_AVX2);
    // The 512-bit registers and the mask registers are saved too (XCR0 bits 5-7).
    const bool os_avx512 = os_avx && (xcr0 & 0xe6) == 0xe6;
    f.avx512vbmi = os_avx512 && f.avx2 && (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) &&
                   (ecx & bit_AVX512VBMI);
    f.sha = f.ssse3 && sse41 && (ebx & bit_SHA);
  }
#elif defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)
  f.sha = true;  // the build targets processors that have them
#endif
  return f;
}

}  // namespace

const Features& features() {
  static const Features detected = detect();
  return detected;
}

}  // namespace orvex::cpu
