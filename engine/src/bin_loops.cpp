#include "bin_loops.h"

#include "formant_loops.h"
#include "vector_ops.h"

namespace kelvane {

#if defined(KELVANE_EIGHT_LANES) && defined(KELVANE_HAVE_SSE2)
// In bin_loops_avx2.cpp, compiled for those instructions.
extern const BinLoops avx2BinLoops;
#endif

namespace {

namespace plain = vector_ops::scalar;
namespace four = vector_ops::selected;
namespace formant = formant_loops::scalar;
#if defined(__wasm_simd128__)
namespace formantFour = formant_loops::wasm;
#else
namespace formantFour = formant_loops::scalar;
#endif

// The formant loops' plain forms are the same at both levels: the compiler
// finds their four-lane forms, with the same bits. WebAssembly's compiler
// does not, and the four-lane table there takes forms written for it.
constexpr BinLoops scalarBinLoops = {
    plain::SplitPolar,      plain::UpdateStability<0>, plain::UpdateStability<1>, plain::PhaseAdvance,
    plain::TurnPhasors,     plain::LockPhasors,        plain::FindPeaks,          plain::TakeLouder,
    formant::LogMagnitudes, formant::HoldPeaks,        formant::SmoothEnvelope,   formant::ShapeShortBand,
    formant::ShapeLongBand, plain::EmitBins,           plain::WindowRun,          plain::SumOfSquares,
    plain::SumOnsetPower,   plain::RisingGain,         plain::HoldRestarts,       plain::KeepMembers};

constexpr BinLoops fourLaneBinLoops = {four::SplitPolar,
                                       four::UpdateStability<0>,
                                       four::UpdateStability<1>,
                                       four::PhaseAdvance,
                                       four::TurnPhasors,
                                       four::LockPhasors,
                                       four::FindPeaks,
                                       four::TakeLouder,
                                       formant::LogMagnitudes,
                                       formantFour::HoldPeaks,
                                       formantFour::SmoothEnvelope,
                                       formantFour::ShapeShortBand,
                                       formantFour::ShapeLongBand,
                                       plain::EmitBins,
                                       plain::WindowRun,
                                       plain::SumOfSquares,
                                       four::SumOnsetPower,
                                       plain::RisingGain,
                                       four::HoldRestarts,
                                       plain::KeepMembers};

}  // namespace

const BinLoops& BinLoopsFor(SimdLevel level)
{
    switch (UsableSimdLevel(level)) {
        case SimdLevel::avx2:
#if defined(KELVANE_EIGHT_LANES) && defined(KELVANE_HAVE_SSE2)
            return avx2BinLoops;
#else
            return fourLaneBinLoops;
#endif
        case SimdLevel::sse2:
            return fourLaneBinLoops;
        case SimdLevel::scalar:
            break;
    }
    return scalarBinLoops;
}

}  // namespace kelvane
