// Loops compiled twice: for the x86-64 baseline (SSE2) and for AVX2, the
// wider chosen once, when the process first asks, if the processor has it.
// The default build thus runs on any x86-64 and uses what it finds.
//
// Use: write the loop as an always-inline function `body` (WIDE_VECTORS_INLINE), then
//   WIDE_VECTOR_VARIANTS(name, body, (parameters), (arguments))
// defines `name`, which runs the best variant, its wide one with FMA (the
// compiler may fuse a multiply and an add, which rounds once instead of
// twice: the wide results may differ from the baseline's in the last bit), or
//   EXACT_WIDE_VECTOR_VARIANTS(name, body, (parameters), (arguments))
// the same without FMA, whose variants give the same bits, and which
// flattens the lens model into the loop (a call would stop it), or
//   EXACT_WIDE_VECTOR_FUNCTION(type, name, body, (parameters), (arguments))
// without FMA and without flattening, returning what `body` returns.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define WIDE_VECTORS_INLINE inline __attribute__((always_inline))
#define WIDE_VECTOR_VARIANTS_OF(type, wide_attributes, base_attributes, features, name, body, \
                                parameters, arguments)                                        \
  __attribute__(wide_attributes) type name##Wide parameters { return body arguments; }        \
  base_attributes type name##Baseline parameters { return body arguments; }                   \
  type name parameters {                                                                      \
    static const bool wide = features;                                                        \
    return wide ? name##Wide arguments : name##Baseline arguments;                            \
  }
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments)                                  \
  WIDE_VECTOR_VARIANTS_OF(void, (target("avx2,fma")), ,                                          \
                          __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"), name, \
                          body, parameters, arguments)
#define EXACT_WIDE_VECTOR_VARIANTS(name, body, parameters, arguments)                \
  WIDE_VECTOR_VARIANTS_OF(void, (target("avx2"), flatten), __attribute__((flatten)), \
                          __builtin_cpu_supports("avx2"), name, body, parameters, arguments)
#define EXACT_WIDE_VECTOR_FUNCTION(type, name, body, parameters, arguments)                     \
  WIDE_VECTOR_VARIANTS_OF(type, (target("avx2")), , __builtin_cpu_supports("avx2"), name, body, \
                          parameters, arguments)
#else
#define WIDE_VECTORS_INLINE inline
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  void name parameters { body arguments; }
#define EXACT_WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  void name parameters { body arguments; }
#define EXACT_WIDE_VECTOR_FUNCTION(type, name, body, parameters, arguments) \
  type name parameters { return body arguments; }
#endif
