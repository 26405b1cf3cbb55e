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
// A frozen engine makes one hop per Process call without new input; the
// smallest hop (256 frames) fills the longest chunk in 32 calls.
constexpr int kMaxFrozenProcessCalls = 64;
// The latency beyond 2N, in hops. A synthesis hop at the lowest pitch (two
// octaves down) consumes and writes four hops at once, so at a steady pitch
// the engine's output lags between 2N - 2 hops and 2N + 3 hops behind its
// input. While the output is due within a hop of being late, or more than
// nine hops early, its pace has wandered and the engine is restarted.
constexpr int kLatencyHops = 5;
constexpr int kLateMarginHops = 1;
constexpr int kEarlyMarginHops = 9;

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
    // output, then for a hop at a time.
    EngineInterface* engine = shifter->engine;
    const int frameLength = engine->operations->GetInputRequired(engine);
    shifter->frameLength = frameLength;
    const auto samples = [&](int frames) { return static_cast<std::size_t>(frames) * channelCount; };
    const auto probe = ZeroedFloats(samples(frameLength));
    if (probe == nullptr) {
        *status = KELVANE_ERROR_OUT_OF_MEMORY;
        return nullptr;
    }
    engine->operations->PushInput(engine, probe.get(), frameLength, KELVANE_FORWARD);
    engine->operations->Process(engine);
    shifter->hopLength = engine->operations->GetInputRequired(engine);
    shifter->latency = frameLength + kLatencyHops * shifter->hopLength;
    shifter->historyLength = shifter->latency + kMaxChunkFrames;
    shifter->inputChunk = ZeroedFloats(samples(kMaxChunkFrames));
    shifter->outputChunk = ZeroedFloats(samples(kMaxChunkFrames));
    shifter->history = ZeroedFloats(samples(shifter->historyLength));
    shifter->fadeTail = ZeroedFloats(samples(shifter->hopLength));
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
    std::fill_n(history.get(), static_cast<std::size_t>(historyLength) * channels, 0.0f);
    historyStart = 0;
    fadePosition = hopLength;
    frozen = false;
    // The silence due before the first input frame comes out of the engine
    // itself, which so takes its first frame, the costliest step, here
    // rather than in a host's first blocks.
    call.PushInput(engine, history.get(), latency, KELVANE_FORWARD);
    call.Process(engine);
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
    RecordHistory(input, frames);

    if (frozen && !controls.freeze) {
        Restart(frames, controls);
    } else {
        ApplyControls(controls);
        // Every block goes in as it comes, stamped with its own controls. A
        // freezing engine still takes input until it holds the frame it
        // freezes on; after that it asks for none.
        if (!frozen || call.GetInputRequired(engine) > 0) {
            call.PushInput(engine, input, frames, KELVANE_FORWARD);
        }
        call.Process(engine);
        // What the engine holds beyond what is due now: the latency less
        // how far its output lags its input.
        const int ahead = call.GetOutputAvailable(engine) - frames;
        bool wandered = ahead < kLateMarginHops * hopLength || ahead > kEarlyMarginHops * hopLength;
        // Unshifted, the engine lags by 2N less a hop to 2N less a frame,
        // and its output keeps the input's timing to the frame; any other
        // lag is left over from earlier moves, and restarting puts the
        // sound back exactly in time.
        const int unshiftedAhead = latency - frameLength;
        wandered = wandered || (ClampSemitones(controls.pitchSemitones) == 0.0f &&
                                (ahead <= unshiftedAhead || ahead > unshiftedAhead + hopLength));
        if (!frozen && wandered) {
            Restart(frames, controls);
        }
    }

    float* output = outputChunk.get();
    const int pulled = PullEngine(output, frames);
    std::fill_n(output + pulled * channels, static_cast<std::size_t>(frames - pulled) * channels, 0.0f);

    // After a restart: the old output fades out under the new one.
    for (int frame = 0; frame < frames && fadePosition < hopLength; ++frame, ++fadePosition) {
        const float fresh = static_cast<float>(fadePosition) / static_cast<float>(hopLength);
        for (int channel = 0; channel < channels; ++channel) {
            float& sample = output[frame * channels + channel];
            sample = fresh * sample + (1.0f - fresh) * fadeTail[fadePosition * channels + channel];
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
    // Stamped on the frames pushed from now on: the sound freezes when they
    // reach the output, a latency later, like any other change.
    call.SetSpeedPercent(engine, controls.freeze ? kFrozenSpeedPercent : kLiveSpeedPercent);
    frozen = controls.freeze;
}

void PitchShifter::Restart(int frames, const ShifterControls& controls)
{
    const EngineOperations& call = *engine->operations;
    // What the old engine would have played next goes on under the fade (a
    // frozen one makes it now).
    const int tail = PullEngine(fadeTail.get(), hopLength);
    std::fill_n(fadeTail.get() + tail * channels, static_cast<std::size_t>(hopLength - tail) * channels, 0.0f);
    fadePosition = 0;
    // Started on the input from a latency before this chunk on, the engine's
    // output begins with the very frame the chunk's output starts with.
    ApplyControls(controls);
    call.Reset(engine);
    const int count = std::min(latency + frames, historyLength);
    const int first = (historyStart + historyLength - count) % historyLength;
    const int untilEnd = std::min(count, historyLength - first);
    call.PushInput(engine, history.get() + first * channels, untilEnd, KELVANE_FORWARD);
    call.PushInput(engine, history.get(), count - untilEnd, KELVANE_FORWARD);
    call.Process(engine);
}

void PitchShifter::RecordHistory(const float* frames, int count)
{
    const int first = std::min(count, historyLength - historyStart);
    std::memcpy(history.get() + historyStart * channels, frames, static_cast<std::size_t>(first) * channels * sizeof(float));
    std::memcpy(history.get(), frames + first * channels, static_cast<std::size_t>(count - first) * channels * sizeof(float));
    historyStart = (historyStart + count) % historyLength;
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
