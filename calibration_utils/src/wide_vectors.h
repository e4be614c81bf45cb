// Loops compiled twice: for the x86-64 baseline (SSE2) and for AVX2 with FMA,
// the wider chosen once, when the process first asks, if the processor has
// it. The default build thus runs on any x86-64 and uses what it finds.
//
// Use: write the loop as an always-inline function `body`, then
//   WIDE_VECTOR_VARIANTS(name, body, (parameters), (arguments))
// defines `name`, which runs the best variant.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define WIDE_VECTORS_INLINE inline __attribute__((always_inline))
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments)                               \
  __attribute__((target("avx2,fma"))) void name##Wide parameters { body arguments; }          \
  void name##Baseline parameters { body arguments; }                                          \
  void name parameters {                                                                      \
    static const bool wide = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"); \
    if (wide) {                                                                               \
      name##Wide arguments;                                                                   \
    } else {                                                                                  \
      name##Baseline arguments;                                                               \
    }                                                                                         \
  }
#else
#define WIDE_VECTORS_INLINE inline
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  void name parameters { body arguments; }
#endif
