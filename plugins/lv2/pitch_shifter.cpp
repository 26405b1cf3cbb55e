#include "pitch_shifter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace kelvane::lv2 {
namespace {

constexpr int kMaxChannels = 2;
constexpr float kLiveSpeedPercent = 100.0f;
constexpr float kFrozenSpeedPercent = 0.0f;
constexpr float kSemitoneLimit = 24.0f;
// Long enough to hide the jump from the frozen sound back to the live one,
// short enough to be heard as a release rather than a fade.
constexpr int kReleaseFadeMilliseconds = 10;
// A frozen engine makes one hop per Process call without new input; the
// smallest hop (256 frames) fills the longest chunk in 32 calls.
constexpr int kMaxFrozenProcessCalls = 64;

float ClampSemitones(float semitones)
{
    if (std::isnan(semitones)) {
        return 0.0f;
    }
    return std::clamp(semitones, -kSemitoneLimit, kSemitoneLimit);
}

std::unique_ptr<float[]> ZeroedFloats(std::size_t count)
{
    return std::unique_ptr<float[]>(new (std::nothrow) float[count]());
}

}  // namespace

std::unique_ptr<PitchShifter> PitchShifter::Create(int sampleRate, int channelCount, int* status)
{
    if (channelCount < 1 || channelCount > kMaxChannels) {
        *status = KELVANE_ERROR_CHANNEL_COUNT;
        return nullptr;
    }
    std::unique_ptr<PitchShifter> shifter(new (std::nothrow) PitchShifter());
    if (shifter == nullptr) {
        *status = KELVANE_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
    *status = CreateInstance(&shifter->engine, sampleRate, channelCount, 1);
    if (*status != KELVANE_OK) {
        return nullptr;
    }
    shifter->channels = channelCount;
    // Right after creation the engine asks for 2N frames before its first
    // output: its latency.
    shifter->latency = shifter->engine->operations->GetInputRequired(shifter->engine);
    shifter->fadeLength = sampleRate * kReleaseFadeMilliseconds / 1000;
    const auto samples = [&](int frames) { return static_cast<std::size_t>(frames) * channelCount; };
    shifter->inputChunk = ZeroedFloats(samples(kMaxChunkFrames));
    shifter->outputChunk = ZeroedFloats(samples(kMaxChunkFrames));
    shifter->history = ZeroedFloats(samples(shifter->latency));
    shifter->fadeTail = ZeroedFloats(samples(shifter->fadeLength));
    if (!shifter->inputChunk || !shifter->outputChunk || !shifter->history || !shifter->fadeTail) {
        *status = KELVANE_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
    shifter->Reset();
    return shifter;
}

PitchShifter::~PitchShifter()
{
    if (engine != nullptr) {
        DestroyInstance(&engine);
    }
}

void PitchShifter::Reset()
{
    const EngineOperations& call = *engine->operations;
    call.SetSpeedPercent(engine, kLiveSpeedPercent);
    call.Reset(engine);
    std::fill_n(history.get(), static_cast<std::size_t>(latency) * channels, 0.0f);
    historyStart = 0;
    fadePosition = fadeLength;
    silenceLeft = latency;
    frozen = false;
}

void PitchShifter::Run(const float* const* inputs, float* const* outputs, int frames, const ShifterControls& controls)
{
    const float* chunkInputs[kMaxChannels];
    float* chunkOutputs[kMaxChannels];
    for (int done = 0; done < frames; done += kMaxChunkFrames) {
        for (int channel = 0; channel < channels; ++channel) {
            chunkInputs[channel] = inputs[channel] + done;
            chunkOutputs[channel] = outputs[channel] + done;
        }
        RunChunk(chunkInputs, chunkOutputs, std::min(frames - done, kMaxChunkFrames), controls);
    }
}

void PitchShifter::RunChunk(const float* const* inputs, float* const* outputs, int frames,
                            const ShifterControls& controls)
{
    const EngineOperations& call = *engine->operations;
    float* input = inputChunk.get();
    for (int frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            input[frame * channels + channel] = inputs[channel][frame];
        }
    }
    ApplyControls(controls);
    RecordHistory(input, frames);

    // Every block goes in as it comes, stamped with its own controls. A
    // freezing engine still takes input until it holds the frame it freezes
    // on; after that it asks for none, and the live input only feeds the
    // history.
    if (!frozen || call.GetInputRequired(engine) > 0) {
        call.PushInput(engine, input, frames, KELVANE_FORWARD);
    }
    call.Process(engine);

    float* output = outputChunk.get();
    const int silent = std::min(silenceLeft, frames);
    silenceLeft -= silent;
    std::fill_n(output, static_cast<std::size_t>(silent) * channels, 0.0f);
    const int wanted = frames - silent;
    const int pulled = PullEngine(output + silent * channels, wanted);
    std::fill_n(output + (silent + pulled) * channels, static_cast<std::size_t>(wanted - pulled) * channels, 0.0f);

    // Out of a freeze: the frozen sound fades out under the live one.
    for (int frame = 0; frame < frames && fadePosition < fadeLength; ++frame, ++fadePosition) {
        const float live = static_cast<float>(fadePosition) / static_cast<float>(fadeLength);
        for (int channel = 0; channel < channels; ++channel) {
            float& sample = output[frame * channels + channel];
            sample = live * sample + (1.0f - live) * fadeTail[fadePosition * channels + channel];
        }
    }
    for (int frame = 0; frame < frames; ++frame) {
        for (int channel = 0; channel < channels; ++channel) {
            outputs[channel][frame] = output[frame * channels + channel];
        }
    }
}

void PitchShifter::ApplyControls(const ShifterControls& controls)
{
    const EngineOperations& call = *engine->operations;
    const float pitch = ClampSemitones(controls.pitchSemitones);
    call.SetPitchSemitones(engine, pitch);
    // A formant shift equal to the pitch shift keeps the formants in place.
    call.SetFormantSemitones(engine, controls.preserveFormants ? pitch : ClampSemitones(controls.formantSemitones));
    if (controls.freeze && !frozen) {
        // Stamped on the frames pushed from now on: the sound freezes when
        // they reach the output, a latency later, like any other change.
        call.SetSpeedPercent(engine, kFrozenSpeedPercent);
        frozen = true;
    } else if (!controls.freeze && frozen) {
        ReleaseFreeze();
    }
}

void PitchShifter::ReleaseFreeze()
{
    const EngineOperations& call = *engine->operations;
    const int tail = PullEngine(fadeTail.get(), fadeLength);
    std::fill_n(fadeTail.get() + tail * channels, static_cast<std::size_t>(fadeLength - tail) * channels, 0.0f);
    // The engine still holds the input from before the freeze. Started
    // afresh on the last `latency` input frames, its output begins with the
    // very frame the live output is due to play next.
    call.SetSpeedPercent(engine, kLiveSpeedPercent);
    call.Reset(engine);
    PushHistory();
    silenceLeft = 0;
    fadePosition = 0;
    frozen = false;
}

void PitchShifter::RecordHistory(const float* frames, int count)
{
    if (count >= latency) {
        std::memcpy(history.get(), frames + (count - latency) * channels,
                    static_cast<std::size_t>(latency) * channels * sizeof(float));
        historyStart = 0;
        return;
    }
    const int first = std::min(count, latency - historyStart);
    std::memcpy(history.get() + historyStart * channels, frames, static_cast<std::size_t>(first) * channels * sizeof(float));
    std::memcpy(history.get(), frames + first * channels, static_cast<std::size_t>(count - first) * channels * sizeof(float));
    historyStart = (historyStart + count) % latency;
}

void PitchShifter::PushHistory()
{
    const EngineOperations& call = *engine->operations;
    call.PushInput(engine, history.get() + historyStart * channels, latency - historyStart, KELVANE_FORWARD);
    call.PushInput(engine, history.get(), historyStart, KELVANE_FORWARD);
}

int PitchShifter::PullEngine(float* destination, int frames)
{
    const EngineOperations& call = *engine->operations;
    // Live, the engine already holds every frame due. Frozen, it asks for no
    // input and makes a hop of the held sound per call.
    for (int calls = 0; call.GetOutputAvailable(engine) < frames && call.GetInputRequired(engine) == 0 &&
                        calls < kMaxFrozenProcessCalls;
         ++calls) {
        call.Process(engine);
    }
    const int pulled = std::min(frames, call.GetOutputAvailable(engine));
    call.PullOutput(engine, destination, pulled);
    return pulled;
}

}  // namespace kelvane::lv2
