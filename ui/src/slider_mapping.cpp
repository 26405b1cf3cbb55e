#include "slider_mapping.h"

#include <algorithm>
#include <charconv>
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
// The least width of a label's number: " 0.0".
constexpr std::size_t kLabelWidth = 4;

// `prefix`, then `value` with one decimal right-aligned in kLabelWidth
// characters, then `suffix`. The labels are the program's own texts, so the
// point stays a point whatever locale the C library was switched to (Qt
// switches it to the user's at start-up).
std::string Label(const char* prefix, double value, const char* suffix)
{
    char digits[32];
#if defined(__EMSCRIPTEN__)
    // Emscripten's C++ library has no floating-point to_chars; its C library
    // has no locales, so printf's point is always a point (and rounds alike).
    const int written = std::snprintf(digits, sizeof digits, "%.1f", value);
    const std::size_t length = written > 0 ? std::min(static_cast<std::size_t>(written), sizeof digits - 1) : 0;
#else
    const std::to_chars_result result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 1);
    const std::size_t length = static_cast<std::size_t>(result.ptr - digits);
#endif
    std::string text = prefix;
    text.append(length < kLabelWidth ? kLabelWidth - length : 0, ' ');
    text.append(digits, length);
    text += suffix;
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
    return Label("", semitones, "");
}

std::string SpeedLabel(const SpeedSetting& speed)
{
    return Label(speed.reverse ? "-" : "", speed.percent, "%");
}

}  // namespace sevrane::ui
