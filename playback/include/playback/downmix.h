// How a sound's channels fold onto the two output channels the player
// plays through.
#pragma once

#include <array>

namespace kelvane::playback {

// The most channels a sound may have: the engine's limit.
inline constexpr int kMaxPlaybackChannels = 8;

// Gains that fold a sound's channels onto the two output channels:
// output left = sum of left[c] x channel c, right likewise. Mono and stereo
// pass through untouched; see DownmixFor.
struct DownmixGains {
    std::array<float, kMaxPlaybackChannels> left{};
    std::array<float, kMaxPlaybackChannels> right{};
};

// The downmix for 3 to 8 channels, after the usual WAV speaker order for
// that count (front left, front right, centre, low frequency, back and side
// pairs): a left channel feeds the left output, a right channel the right,
// a centre, low-frequency or back-centre channel both at 1/sqrt(2). Both
// outputs are then scaled by one factor so that the gains of each sum to at
// most 1: full-scale input cannot clip, and every channel stays audible.
// For 1 and 2 channels it is the identity (mono feeds both sides at 1).
DownmixGains DownmixFor(int channels) noexcept;

// Folds `frames` interleaved frames of `channels` channels onto two
// interleaved ones with `gains`, each output a sum in channel order. Real-time
// safe. The desktop player and the page's audio worklet both fold with it.
void FoldToStereo(const DownmixGains& gains, const float* source, int channels, float* destination,
                  int frames) noexcept;

}  // namespace kelvane::playback
