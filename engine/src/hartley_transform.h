// In-place fast Hartley transform, the engine's only spectral transform.
#pragma once

#include <cstdint>

#include "simd_level.h"

namespace kelvane {

struct HartleyPlan;

class HartleyTransform {
public:
    // Size 0, then Prepare(n, wanted). Check IsPrepared(): allocation may fail.
    explicit HartleyTransform(int n, SimdLevel wanted = SelectedSimdLevel());
    ~HartleyTransform();
    HartleyTransform(const HartleyTransform&) = delete;
    HartleyTransform& operator=(const HartleyTransform&) = delete;

    // Releases any tables held, then builds the twiddle table and the swap
    // list for n, a power of two from 4 to 32768, and takes the vector level
    // to run: `wanted`, or the widest this processor has when that is lower.
    // Returns false (holding nothing) when memory ran out or n is not such a
    // size.
    bool Prepare(int n, SimdLevel wanted = SelectedSimdLevel());
    // Frees both tables; does nothing on an empty object.
    void Release();

    // H[m] = sum_k x[k] (cos(2 pi k m / n) + sin(2 pi k m / n)), in place,
    // natural order, unscaled: applying it twice gives n times the input.
    void Transform(float* x) const;
    // Transform, then reorder the upper half so that bin k is the pair
    // (x[k], x[n/2 + k]). The scalar and four-lane levels give the same bits;
    // eight lanes fuse multiply-adds and differ in the last bits (by less
    // than 4e-7 of the largest value).
    void Forward(float* x) const;
    // Forward with its last pass run only as far as the bins below
    // `binCount` need: those bins are Forward's, bit for bit, the rest is
    // unfinished until CompleteForward(x, binCount) runs what was left, after
    // which x is Forward's whole result. Levels and sizes whose last pass does
    // not run apart (the plain loops, n below 16 times the leading length)
    // run Forward whole here and leave nothing to complete.
    void ForwardLowBins(float* x, int binCount) const;
    void CompleteForward(float* x, int binCount) const;
    // The inverse reordering, then Transform: n times the signal.
    void Inverse(float* x) const;
    // Inverse of a spectrum held in its lowest `binCount` bins: the same as
    // Inverse with every value from bin `binCount` up cleared, and the
    // Nyquist value x[n/2] too, none of which it reads. Where the band fits
    // the first pass's stride (binCount <= n / 16, or n / 32 when log2 n is
    // odd, and n >= 256 or 1024), that pass runs only on groups that hold
    // something, and gives the same bits as Inverse at every level;
    // elsewhere it clears those values and runs Inverse.
    void InverseLowBins(float* x, int binCount) const;

    int Size() const { return size; }
    bool IsPrepared() const { return size != 0; }
    SimdLevel Level() const { return level; }

private:
    HartleyPlan Plan() const;

    float* twiddleTable = nullptr;  // a section of six rows per pass
    float* bandRows = nullptr;  // after the table: InverseLowBins' work space
    std::int16_t* swapList = nullptr;  // pairs (i, j), i > j
    std::int32_t swapCount = 0;
    std::int32_t size = 0;
    std::int32_t oddLog = 0;
    SimdLevel level = SimdLevel::scalar;
};

}  // namespace kelvane
