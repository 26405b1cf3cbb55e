// Which vector instructions the engine's wide loops use. One binary serves
// every x86-64 processor: the level is found once per process from the
// processor's features and taken by each object as it is built, never on
// the real-time path.
#pragma once

// Four-lane code needs the compiler's generic vectors and their shuffles;
// eight-lane code is written for x86 (AVX2 and FMA) and compiled for it by
// target attributes, so no file needs flags of its own. KELVANE_HARTLEY_SCALAR
// leaves both out.
#if defined(__GNUC__) && (defined(__clang__) || __GNUC__ >= 12) && !defined(KELVANE_HARTLEY_SCALAR)
#define KELVANE_FOUR_LANES 1
#if defined(__x86_64__) || defined(__i386__)
#define KELVANE_EIGHT_LANES 1
#endif
#endif

// Compiles the functions that follow, up to KELVANE_END_TARGET, for the
// given instruction sets ("avx2" or "avx2,fma"). A file includes the
// standard headers before it, so that their shared inline functions keep
// the baseline target.
#define KELVANE_PRAGMA(text) _Pragma(#text)
#if defined(__clang__)
#define KELVANE_BEGIN_TARGET(features) \
    KELVANE_PRAGMA(clang attribute push(__attribute__((target(features))), apply_to = function))
#define KELVANE_END_TARGET KELVANE_PRAGMA(clang attribute pop)
#else
#define KELVANE_BEGIN_TARGET(features) KELVANE_PRAGMA(GCC push_options) KELVANE_PRAGMA(GCC target(features))
#define KELVANE_END_TARGET KELVANE_PRAGMA(GCC pop_options)
#endif

namespace kelvane {

// Ordered: every level may run the code of the levels below it.
enum class SimdLevel {
    scalar,  // the plain loops, the reference for all the others
    sse2,    // four lanes (SSE2 on x86); the same bits as the plain loops
    avx2,    // eight lanes with fused multiply-adds (AVX2 and FMA)
};

// The widest level this build holds and this processor runs, lowered by the
// environment variable KELVANE_SIMD (scalar, sse2 or avx2) when that names a
// lower one; a name not listed there is ignored. Found on the first call and
// kept; any thread may call it, and later calls only read.
SimdLevel SelectedSimdLevel();

// The widest level this build holds and this processor runs, whatever the
// environment says.
SimdLevel SupportedSimdLevel();

// The level named by `wanted` ("scalar", "sse2" or "avx2"), or `supported`
// when that is lower, when `wanted` is null or when it names no level.
SimdLevel ChooseSimdLevel(const char* wanted, SimdLevel supported);

// `wanted`, or the supported level when that is lower.
SimdLevel UsableSimdLevel(SimdLevel wanted);

// "scalar", "sse2" or "avx2".
const char* SimdLevelName(SimdLevel level);

}  // namespace kelvane
