// Where playback is and how long the sound lasts, as the waveform shows it in
// its corner: "1:23.4 / 4:56.0". Plain code, no drawing.
#pragma once

#include <cstdint>
#include <string>

namespace sevrane::ui {

// A time of `frames` at `sampleRate` in minutes, seconds and tenths, "0:05.3"
// or "12:00.0", with the hours in front from an hour on, "1:02:03.4". The
// tenths are truncated, so a time reads as the length only at the very end.
// Negative frames read as 0; a rate of 0 reads as "0:00.0".
std::string TimeText(std::int64_t frames, std::uint32_t sampleRate);

// "position / length" for a play position (held within the sound) and the
// sound's length.
std::string PositionText(std::int64_t position, std::int64_t frameCount, std::uint32_t sampleRate);

}  // namespace sevrane::ui
