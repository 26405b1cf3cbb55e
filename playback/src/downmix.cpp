// The downmix tables: which output each channel of a 3- to 8-channel sound
// feeds.
#include "playback/downmix.h"

#include <algorithm>
#include <cmath>

namespace kelvane::playback {
namespace {

// Which output a channel feeds, in the usual WAV speaker order for a file of
// that many channels.
enum class Side : char { left = 'L', right = 'R', both = 'B' };

// Row c - 3 is the layout of a c-channel file: front pair first, then
// centre and low frequency where the count has them, then back and side
// pairs (a 7-channel file has a back centre).
constexpr const char* kSpeakerSides[] = {
    "LRB",       // 3: front left, front right, centre
    "LRLR",      // 4: front pair, back pair
    "LRBLR",     // 5: front pair, centre, back pair
    "LRBBLR",    // 6: front pair, centre, low frequency, back pair
    "LRBBBLR",   // 7: front pair, centre, low frequency, back centre, side pair
    "LRBBLRLR",  // 8: front pair, centre, low frequency, back pair, side pair
};

// A channel heard on both sides is shared at equal power.
const float kSharedGain = static_cast<float>(1.0 / std::sqrt(2.0));

}  // namespace

DownmixGains DownmixFor(int channels) noexcept
{
    DownmixGains gains;
    if (channels <= 1) {
        gains.left[0] = 1.0f;
        gains.right[0] = 1.0f;
        return gains;
    }
    if (channels == 2 || channels > kMaxPlaybackChannels) {
        gains.left[0] = 1.0f;
        gains.right[1] = 1.0f;
        return gains;
    }
    const char* sides = kSpeakerSides[channels - 3];
    float leftSum = 0.0f;
    float rightSum = 0.0f;
    for (int c = 0; c < channels; ++c) {
        const Side side = static_cast<Side>(sides[c]);
        gains.left[c] = side == Side::left ? 1.0f : side == Side::both ? kSharedGain : 0.0f;
        gains.right[c] = side == Side::right ? 1.0f : side == Side::both ? kSharedGain : 0.0f;
        leftSum += gains.left[c];
        rightSum += gains.right[c];
    }
    // One factor for both sides keeps the balance between them.
    const float scale = 1.0f / std::max(leftSum, rightSum);
    for (int c = 0; c < channels; ++c) {
        gains.left[c] *= scale;
        gains.right[c] *= scale;
    }
    return gains;
}

void FoldToStereo(const DownmixGains& gains, const float* source, int channels, float* destination,
                  int frames) noexcept
{
    for (int f = 0; f < frames; ++f) {
        const float* frame = source + f * channels;
        float left = 0.0f;
        float right = 0.0f;
        for (int c = 0; c < channels; ++c) {
            left += gains.left[c] * frame[c];
            right += gains.right[c] * frame[c];
        }
        destination[2 * f] = left;
        destination[2 * f + 1] = right;
    }
}

}  // namespace kelvane::playback
