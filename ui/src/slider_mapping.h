// What the pitch and speed sliders mean: plain arithmetic and label texts,
// kept apart from the widgets so that they can be checked on their own.
//
// Both sliders run from -96 to +96. The pitch slider moves in quarter
// semitones. The speed slider's right half rises one semitone of speed ratio
// per four positions (100 % at 0, 200 % at 48, 400 % at 96); the forward part
// of its left half falls two semitones per four positions (50 % at -24, 25 %
// at -48); its left quarter is the reverse zone, from reverse 100 % at -96
// slowing towards 25 % at -49.
#pragma once

#include <string>

namespace sevrane::ui {

inline constexpr int kSliderMinimum = -96;
inline constexpr int kSliderMaximum = 96;
// A tick every four positions: one per semitone on the pitch slider.
inline constexpr int kSliderTickInterval = 4;

// Semitones for a pitch-slider position: -24 to +24 in quarter semitones.
float PitchFromSlider(int position) noexcept;

struct SpeedSetting {
    float percent = 100.0f;  // always positive
    bool reverse = false;
};

// Speed for a speed-slider position.
SpeedSetting SpeedFromSlider(int position) noexcept;

// The pitch label: " 0.0", "12.0", "-3.5" (at least four characters).
std::string PitchLabel(float semitones);
// The speed label: "100.0%", or "-25.7%" in the reverse zone.
std::string SpeedLabel(const SpeedSetting& speed);

}  // namespace sevrane::ui
