// The CPU feature flags that clang's target_clones dispatch reads, for a
// compiler runtime that lacks them: zig's compiler-rt has no __cpu_model or
// __cpu_indicator_init (libgcc and LLVM's compiler-rt have), and the engine's
// vector kernels (vector_clones.hpp) are compiled in avx512f, avx2 and
// default variants that a resolver picks when the library loads. Linked into
// the engine only by a build that asks for it (QUORVI_CPU_MODEL).
//
// The layout and the bit numbers are those of LLVM's X86TargetParser.def,
// which libgcc shares: bit 10 is AVX2 and bit 15 AVX512F of the first feature
// word. A variant is chosen only if the CPU has the instructions and the
// operating system saves the registers they use (XGETBV), as compiler-rt
// checks; every other bit stays clear, so those variants are never picked.
// Hidden: each shared library that dispatches has its own copy, reached
// without the dynamic linker (the resolver runs while relocations are being
// applied, so this code calls nothing outside itself).
#include <cpuid.h>

namespace {

constexpr unsigned feature_avx2 = 10;
constexpr unsigned feature_avx512f = 15;

unsigned long long enabled_register_state() {
  unsigned eax = 0;
  unsigned edx = 0;
  __asm__("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
  return (static_cast<unsigned long long>(edx) << 32U) | eax;
}

}  // namespace

extern "C" {

struct __processor_model {  // NOLINT(bugprone-reserved-identifier): the runtime's own name
  unsigned int __cpu_vendor;
  unsigned int __cpu_type;
  unsigned int __cpu_subtype;
  unsigned int __cpu_features[1];
};

__attribute__((visibility("hidden"))) __processor_model __cpu_model = {};
__attribute__((visibility("hidden"))) unsigned int __cpu_features2[4] = {};

__attribute__((visibility("hidden"))) int __cpu_indicator_init() {
  if (__cpu_model.__cpu_vendor != 0) {
    return 0;  // already done
  }
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  unsigned features = 0;
  const unsigned max_leaf = __get_cpuid_max(0, nullptr);
  __cpuid(1, eax, ebx, ecx, edx);
  const bool has_osxsave = (ecx & bit_OSXSAVE) != 0;
  const bool has_avx = (ecx & bit_AVX) != 0;
  const unsigned long long state = has_osxsave ? enabled_register_state() : 0;
  const bool saves_ymm = (state & 0x6U) == 0x6U;                 // SSE and AVX state
  const bool saves_zmm = saves_ymm && (state & 0xe0U) == 0xe0U;  // and the AVX-512 state
  if (max_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    if (has_avx && saves_ymm && (ebx & bit_AVX2) != 0) {
      features |= 1U << feature_avx2;
    }
    if (saves_zmm && (ebx & bit_AVX512F) != 0) {
      features |= 1U << feature_avx512f;
    }
  }
  __cpu_model.__cpu_features[0] = features;
  __cpu_model.__cpu_vendor = 1;  // any non-zero value: marks the detection done
  return 0;
}

}  // extern "C"
