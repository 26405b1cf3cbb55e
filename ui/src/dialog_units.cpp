#include "dialog_units.h"

namespace sevrane::ui {

namespace {

constexpr int kQuartersPerCharWidth = 4;
constexpr int kEighthsPerCharHeight = 8;

// value x numerator / denominator, rounded to the nearest (halves away from
// zero), in 64 bits.
int ScaleRounded(int value, int numerator, int denominator) noexcept
{
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

}  // namespace

int AverageCharWidth(int widthOfAlphabet) noexcept
{
    return (widthOfAlphabet / 26 + 1) / 2;
}

DialogRect ToPixels(const DialogRect& units, const DialogBaseUnits& base) noexcept
{
    const int left = ScaleRounded(units.x, base.x, kQuartersPerCharWidth);
    const int top = ScaleRounded(units.y, base.y, kEighthsPerCharHeight);
    const int right = ScaleRounded(units.x + units.width, base.x, kQuartersPerCharWidth);
    const int bottom = ScaleRounded(units.y + units.height, base.y, kEighthsPerCharHeight);
    return {left, top, right - left, bottom - top};
}

}  // namespace sevrane::ui
