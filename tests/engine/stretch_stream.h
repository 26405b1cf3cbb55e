// Runs interleaved audio through an engine made with the public surface, fed
// as an audio callback feeds it and flushed at the end, and splits the result
// into channels.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "kelvane/engine.h"

namespace kelvane::test {

struct Stretch {
    int rate = 44100;
    int channels = 1;
    int quality = 1;
    float speedPercent = 100.0f;
    float semitones = 0.0f;
    // When above 0, the pitch as a percentage instead (equal to the speed, the
    // bypass plays).
    float pitchPercent = 0.0f;
    float formantSemitones = 0.0f;
};

inline std::vector<std::vector<float>> StretchStream(const std::vector<float>& interleaved, const Stretch& s)
{
    EngineInterface* handle = nullptr;
    EXPECT_EQ(CreateInstance(&handle, s.rate, s.channels, s.quality), KELVANE_OK);
    const EngineOperations* call = handle->operations;
    call->SetSpeedPercent(handle, s.speedPercent);
    if (s.pitchPercent > 0.0f) {
        call->SetPitchPercent(handle, s.pitchPercent);
    } else {
        call->SetPitchSemitones(handle, s.semitones);
    }
    call->SetFormantSemitones(handle, s.formantSemitones);
    call->Reset(handle);
    std::vector<float> output;
    auto pull = [&] {
        const int available = call->GetOutputAvailable(handle);
        output.resize(output.size() + static_cast<std::size_t>(available) * s.channels);
        EXPECT_EQ(call->PullOutput(handle, output.data() + output.size() - available * s.channels, available), 0);
    };
    const int frames = static_cast<int>(interleaved.size()) / s.channels;
    for (int position = 0; position < frames;) {
        const int count = std::min(std::max(call->GetInputRequired(handle), 1), frames - position);
        EXPECT_EQ(call->PushInput(handle, interleaved.data() + position * s.channels, count, KELVANE_FORWARD), 0);
        position += count;
        call->Process(handle);
        pull();
    }
    call->Flush(handle);
    pull();
    DestroyInstance(&handle);

    std::vector<std::vector<float>> planar(s.channels);
    for (int ch = 0; ch < s.channels; ++ch) {
        planar[ch].resize(output.size() / s.channels);
        for (std::size_t i = 0; i < planar[ch].size(); ++i) {
            planar[ch][i] = output[i * s.channels + ch];
        }
    }
    return planar;
}

}  // namespace kelvane::test
