#include "slider_mapping.h"

#include <cmath>
#include <cstdio>

namespace sevrane::ui {

namespace {

constexpr float kSemitonesPerPosition = 0.25f;
// The ratio of one semitone as a float (2^(1/12) rounded to single
// precision), widened to double for the power.
constexpr double kSemitoneRatio = static_cast<double>(1.0594631f);
// Speed-slider semitones below which the reverse zone starts (25 %).
constexpr float kReverseZoneEdge = -24.0f;

std::string Format(const char* format, double value)
{
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

float PitchFromSlider(int position) noexcept
{
    return static_cast<float>(position) * kSemitonesPerPosition;
}

SpeedSetting SpeedFromSlider(int position) noexcept
{
    float semitones = static_cast<float>(position) * kSemitonesPerPosition;
    if (semitones < 0.0f) {
        // The forward part of the left half moves twice as fast.
        semitones *= 2.0f;
    }
    SpeedSetting speed;
    if (semitones < kReverseZoneEdge) {
        // Mirror the zone past 25 % back up: reverse 100 % at the far left.
        speed.reverse = true;
        semitones = kReverseZoneEdge - (semitones - kReverseZoneEdge);
    }
    speed.percent = static_cast<float>(100.0 * std::pow(kSemitoneRatio, static_cast<double>(semitones)));
    return speed;
}

std::string PitchLabel(float semitones)
{
    return Format("%4.1f", semitones);
}

std::string SpeedLabel(const SpeedSetting& speed)
{
    return Format(speed.reverse ? "-%4.1f%%" : "%4.1f%%", speed.percent);
}

}  // namespace sevrane::ui
