// The precision in which the engine computes its tables (windows, turns,
// transform twiddles) before rounding each value to float.
#pragma once

namespace kelvane {

#if defined(__EMSCRIPTEN__)
// WebAssembly has no floating-point type wider than double: its long double
// is emulated in software, and building the tables in it took most of an
// instance's creation. In double every table value rounds to the same float,
// but for the last point of the sine windows (sin pi, 0 either way, off by
// less than 1e-13).
using TableReal = double;
#else
// Extended precision: each float is the rounded true value.
using TableReal = long double;
#endif

}  // namespace kelvane
