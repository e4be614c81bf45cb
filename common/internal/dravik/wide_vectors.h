// Loops compiled more than once, the variant to run chosen once per process.
// The libraries' one dispatch mechanism: not installed, shared by the
// libraries of this build.
//
//   x86-64   the baseline (SSE2, every x86-64 processor), AVX2 (four doubles
//            per instruction), and AVX2 with fused multiply-adds;
//   aarch64  Advanced SIMD (NEON, two doubles per instruction), which every
//            64-bit ARM processor has, so the exact loops need no second
//            variant; the fused variant is NEON with multiply-adds fused;
//   others   the portable loop alone.
//
// The build turns floating-point contraction off (-ffp-contract=off), so
// that every exact variant on every processor rounds each multiply and each
// add on its own and gives the same bits; the fused variants alone are
// compiled with contraction on. CAMERA_PARAMETERS_BASELINE=1 in the
// environment makes the process run the baseline variant of every loop.
//
// Use: write the loop as an always-inline function `body` (WIDE_VECTORS_INLINE), then
//   WIDE_VECTOR_VARIANTS(name, body, (parameters), (arguments))
// defines `name`, which runs the best variant, its fused one where there is
// one (a fused multiply-add rounds once instead of twice: its results may
// differ from the baseline's in the last bit), or
//   EXACT_WIDE_VECTOR_VARIANTS(name, body, (parameters), (arguments))
// the same without fusing, whose variants give the same bits, and which
// flattens the lens model into the loop (a call would stop it), or
//   EXACT_WIDE_VECTOR_FUNCTION(type, name, body, (parameters), (arguments))
// without fusing and without flattening, returning what `body` returns.
#pragma once

namespace dravik {

// Which variants this process runs: decided at its first call, from the
// processor and CAMERA_PARAMETERS_BASELINE, and the same ever after.
struct VectorPaths {
  bool wide;         // the wider exact variant (x86-64: AVX2)
  bool fused;        // the fused variant (x86-64: AVX2 and FMA; aarch64: NEON with FMA)
  const char* name;  // "avx2+fma", "neon+fma", "baseline", ...
};
const VectorPaths& vectorPaths();

}  // namespace dravik

#if defined(__GNUC__) && !defined(__clang__)
// GCC fuses inside the function alone, the loop inlined into it included.
#define WIDE_VECTORS_CONTRACT optimize("fp-contract=fast")
#else
#define WIDE_VECTORS_CONTRACT
#endif

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__))
#define WIDE_VECTORS_INLINE inline __attribute__((always_inline))
#define WIDE_VECTOR_VARIANTS_OF(type, wide_attributes, base_attributes, path, name, body, \
                                parameters, arguments)                                    \
  __attribute__(wide_attributes) type name##Wide parameters { return body arguments; }    \
  base_attributes type name##Baseline parameters { return body arguments; }               \
  type name parameters {                                                                  \
    static const bool wide = ::dravik::vectorPaths().path;                                \
    return wide ? name##Wide arguments : name##Baseline arguments;                        \
  }
#if defined(__x86_64__)
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments)                                   \
  WIDE_VECTOR_VARIANTS_OF(void, (target("avx2,fma"), WIDE_VECTORS_CONTRACT), , fused, name, body, \
                          parameters, arguments)
#define EXACT_WIDE_VECTOR_VARIANTS(name, body, parameters, arguments)                            \
  WIDE_VECTOR_VARIANTS_OF(void, (target("avx2"), flatten), __attribute__((flatten)), wide, name, \
                          body, parameters, arguments)
#define EXACT_WIDE_VECTOR_FUNCTION(type, name, body, parameters, arguments) \
  WIDE_VECTOR_VARIANTS_OF(type, (target("avx2")), , wide, name, body, parameters, arguments)
#else
// aarch64: NEON is the baseline; only the fused loops have a second variant.
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  WIDE_VECTOR_VARIANTS_OF(void, (WIDE_VECTORS_CONTRACT), , fused, name, body, parameters, arguments)
#define EXACT_WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  __attribute__((flatten)) void name parameters { body arguments; }
#define EXACT_WIDE_VECTOR_FUNCTION(type, name, body, parameters, arguments) \
  type name parameters { return body arguments; }
#endif
#else
#define WIDE_VECTORS_INLINE inline
#define WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  void name parameters { body arguments; }
#define EXACT_WIDE_VECTOR_VARIANTS(name, body, parameters, arguments) \
  void name parameters { body arguments; }
#define EXACT_WIDE_VECTOR_FUNCTION(type, name, body, parameters, arguments) \
  type name parameters { return body arguments; }
#endif
