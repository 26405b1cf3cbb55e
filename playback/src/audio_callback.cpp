// The audio thread's side of the player. Once per device buffer:
//   1. glide the pitch towards its target and hand pitch, speed and formant
//      to the engine;
//   2. until the engine holds a buffer's worth of output: ask how many input
//      frames it wants, push that many frames of the sound (forward, or last
//      frame first in reverse, cross-faded in the block where the direction
//      turns, wrapping at the end with Loop on), and process;
//   3. pull the output into the device buffer, duplicating a mono engine's
//      channel and folding more than two channels onto the two outputs.
// At the end of the sound without Loop the engine is flushed once; what it
// releases is played out, padded with silence, and the stream completes.
//
// A seek never splices the input: the frames fed fade out, feeding moves to
// the new place, and its frames fade in. A direction turn waits until the
// fade is over, so that a turning block is never cut into faded pieces.
#include "playback/audio_callback.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <optional>

namespace kelvane::playback {
namespace {

constexpr auto relaxed = std::memory_order_relaxed;
// The end of the sound and a seek request crossing it: see PlayerState::ended.
constexpr auto ordered = std::memory_order_seq_cst;

// A buffer never needs more than a few feeding passes (priming, then one
// hop or a few per pass). The bound only guards against an engine that
// stops asking for input or stops producing output: the buffer is then
// played as silence instead of the callback never returning.
constexpr int kMaxFeedingPasses = 64;

// Hands pitch, speed and formant to the engine, in this order.
void SendControls(EngineInterface* engine, const PlayerState& state, float pitch)
{
    engine->operations->SetPitchSemitones(engine, pitch);
    engine->operations->SetSpeedPercent(engine, state.speedPercent.load(relaxed));
    engine->operations->SetFormantSemitones(engine, state.formantSemitones.load(relaxed));
}

// The gain of a seek's fade at `step` of `length`: a raised cosine from 0 to
// 1, flat at both ends.
float FadeGain(int step, int length)
{
    return 0.5f - 0.5f * std::cos(std::numbers::pi_v<float> * static_cast<float>(step) / static_cast<float>(length));
}

// One callback's view of the player: read once, used throughout.
struct Feeder {
    PlayerState& state;
    EngineInterface* engine;
    const EngineOperations* ops;
    const float* samples;
    std::int64_t frameCount;
    int channels;
    std::uint32_t sampleRate;
    // What Loop repeats: the loop region, or the whole sound.
    std::int64_t loopFirst;
    std::int64_t loopEnd;

    CallbackWorkspace& Work() const { return state.workspace; }
    bool Fading() const { return Work().seekTarget >= 0 || Work().fadeStep < Work().fadeLength; }

    // Asks for a seek to `frame`: the old place fades out from the gain it
    // has now (a seek during another's fade takes over where it stands).
    void BeginSeek(std::int32_t frame) const
    {
        CallbackWorkspace& work = Work();
        if (!Fading()) {
            work.fadeLength = std::max(1, static_cast<int>(std::lround(sampleRate * kSeekFadeSeconds)));
            work.fadeStep = work.fadeLength;
        }
        work.seekTarget = frame;
    }

    // Feeding moves to the seek's target, which fades in from silence
    // (also when the old place ended before it had faded out).
    void TakeSeek() const
    {
        CallbackWorkspace& work = Work();
        work.fadeStep = 0;
        state.position.store(work.seekTarget, relaxed);
        work.seekTarget = -1;
    }

    // Frames left before the sound's end in the direction being fed.
    std::int64_t FramesBeforeEnd() const
    {
        const std::int64_t position = state.position.load(relaxed);
        return state.reverseActive.load(relaxed) ? std::min(position, frameCount) : frameCount - position;
    }

    void Push(std::int64_t start, std::int64_t count, int mode) const
    {
        if (count <= 0) {
            return;
        }
        Work().framesFed += count;
        const bool turning = mode == KELVANE_FORWARD_TO_REVERSE || mode == KELVANE_REVERSE_TO_FORWARD;
        if (!turning && Fading()) {
            PushFading(start, count, mode);
            return;
        }
        ops->PushInput(engine, samples + start * channels, static_cast<int>(count), mode);
    }

    // Pushes frames [start, start + count) with the fade applied, a chunk of
    // the workspace at a time, in the order the engine stages them (a
    // reversed block from its top down); what follows the fade-in's end goes
    // straight from the sound.
    void PushFading(std::int64_t start, std::int64_t count, int mode) const
    {
        CallbackWorkspace& work = Work();
        const bool reverse = mode == KELVANE_REVERSE;
        const std::int64_t chunkFrames = CallbackWorkspace::kSamples / channels;
        while (count > 0 && Fading()) {
            const bool fadingOut = work.seekTarget >= 0;
            std::int64_t chunk = std::min(count, chunkFrames);
            if (!fadingOut) {
                chunk = std::min<std::int64_t>(chunk, work.fadeLength - work.fadeStep);
            }
            const std::int64_t first = reverse ? start + count - chunk : start;
            for (std::int64_t k = 0; k < chunk; ++k) {
                work.fadeStep = fadingOut ? std::max(work.fadeStep - 1, 0) : work.fadeStep + 1;
                const float gain = FadeGain(work.fadeStep, work.fadeLength);
                const std::int64_t offset = reverse ? chunk - 1 - k : k;
                const float* from = samples + (first + offset) * channels;
                float* to = work.fadedInput.data() + offset * channels;
                for (int c = 0; c < channels; ++c) {
                    to[c] = from[c] * gain;
                }
            }
            ops->PushInput(engine, work.fadedInput.data(), static_cast<int>(chunk), mode);
            count -= chunk;
            start = reverse ? start : start + chunk;
        }
        if (count > 0) {
            ops->PushInput(engine, samples + start * channels, static_cast<int>(count), mode);
        }
    }

    // Pushes n frames forwards from `start`; returns the frame after the
    // last one pushed. With Loop on, reading wraps from the loop's end to its
    // start (as often as a loop shorter than n needs); without, it stops at
    // the sound's end and the frame returned lies beyond it.
    std::int64_t FeedForwards(std::int64_t start, std::int64_t n, int mode, bool loop) const
    {
        if (!loop) {
            Push(start, std::min(start + n, frameCount) - start, mode);
            return start + n;
        }
        std::int64_t cursor = start;
        for (std::int64_t remaining = n; remaining > 0;) {
            if (cursor >= loopEnd) {
                cursor = loopFirst;
            }
            const std::int64_t part = std::min(remaining, loopEnd - cursor);
            Push(cursor, part, mode);
            remaining -= part;
            cursor += part;
        }
        return cursor >= loopEnd ? loopFirst : cursor;
    }

    // Pushes n frames backwards, down from the exclusive upper end `upper`,
    // wrapping from the loop's first frame to its end; returns the new
    // lower end. The engine stages each reversed push last frame first, so
    // the pushes run down too: the part above the wrap first, then the part
    // below the loop's end, and the backwards reading runs on without a seam.
    std::int64_t FeedBackwards(std::int64_t upper, std::int64_t n, int mode) const
    {
        for (std::int64_t remaining = n; remaining > 0;) {
            if (upper <= loopFirst) {
                upper = loopEnd;
            }
            const std::int64_t part = std::min(remaining, upper - loopFirst);
            Push(upper - part, part, mode);
            remaining -= part;
            upper -= part;
        }
        return upper;
    }

    void EndOfSound(std::int64_t position) const
    {
        ops->Flush(engine);
        state.position.store(static_cast<std::int32_t>(position), relaxed);
        state.ended.store(true, ordered);
    }

    // One step forward of n frames. False when the sound has ended.
    bool ForwardStep(int n, bool loop) const
    {
        std::int64_t position = state.position.load(relaxed);
        int mode = KELVANE_FORWARD;
        if (state.reverseActive.load(relaxed)) {
            // Just out of the reverse zone: the first forward block is the
            // one before the turning point, read from reversed to forward.
            // Turned at the loop's start, it lies at the loop's end.
            position -= n;
            state.reverseActive.store(false, relaxed);
            mode = KELVANE_REVERSE_TO_FORWARD;
            if (loop && position < loopFirst && position + n >= loopFirst) {
                position += (loopFirst - position + loopLength() - 1) / loopLength() * loopLength();
            } else if (position < 0) {
                position = 0;
            }
        }
        if (loop && position >= loopEnd) {
            position = loopFirst;
        } else if (!loop && position >= frameCount) {
            EndOfSound(position);
            return false;
        }
        position = FeedForwards(position, n, mode, loop);
        // A seek under way is taken instead of ending (Feed moves there).
        if (!loop && position >= frameCount && Work().seekTarget < 0) {
            EndOfSound(position);
            return false;
        }
        state.position.store(static_cast<std::int32_t>(position), relaxed);
        return true;
    }

    // One step backwards of n frames. False when the sound has ended.
    bool ReverseStep(int n, bool loop) const
    {
        std::int64_t position = std::min<std::int64_t>(state.position.load(relaxed), frameCount);
        int mode = KELVANE_REVERSE;
        if (!state.reverseActive.load(relaxed)) {
            // Just into the reverse zone: the first reversed block is the one
            // after the turning point, read from forward to reversed. Turned
            // at the loop's end, it lies at the loop's start.
            position += n;
            state.reverseActive.store(true, relaxed);
            mode = KELVANE_FORWARD_TO_REVERSE;
            if (loop && position > loopEnd && position - n <= loopEnd) {
                position -= (position - loopEnd + loopLength() - 1) / loopLength() * loopLength();
            } else if (position > frameCount) {
                position = frameCount;
            }
        }
        if (!loop) {
            if (position - n < 0) {
                // The frames down to the first are still due; then the end.
                Push(0, position, mode);
                EndOfSound(frameCount);
                return false;
            }
            Push(position - n, n, mode);
            state.position.store(static_cast<std::int32_t>(position - n), relaxed);
            return true;
        }
        state.position.store(static_cast<std::int32_t>(FeedBackwards(position, n, mode)), relaxed);
        return true;
    }

    std::int64_t loopLength() const { return loopEnd - loopFirst; }

    // One step of n frames in the direction asked for; while a seek fades,
    // in the direction being fed. False when the sound has ended.
    bool Step(int n, bool loop) const
    {
        const bool reverse = Fading() ? state.reverseActive.load(relaxed) : state.reverseRequested.load(relaxed);
        return reverse ? ReverseStep(n, loop) : ForwardStep(n, loop);
    }

    // Feeds and processes until `frames` output frames are ready, the sound
    // ends, or the engine makes no progress.
    void Feed(int frames) const
    {
        if (ops->GetOutputAvailable(engine) >= frames) {
            return;
        }
        for (int pass = 0; pass < kMaxFeedingPasses; ++pass) {
            if (state.ended.load(relaxed)) {
                return;
            }
            const bool loop = state.loopEnabled.load(relaxed);
            // The engine's request is met whole; a seek's fade-out ends inside
            // it where it ends, and the rest comes from the new place.
            for (int n = ops->GetInputRequired(engine); n > 0;) {
                int part = n;
                if (Work().seekTarget >= 0) {
                    part = std::min(part, Work().fadeStep);
                    if (!loop) {
                        part = static_cast<int>(std::min<std::int64_t>(part, FramesBeforeEnd()));
                    }
                    if (part <= 0) {
                        TakeSeek();
                        continue;
                    }
                }
                if (!Step(part, loop)) {
                    return;
                }
                n -= part;
            }
            ops->Process(engine);
            if (ops->GetOutputAvailable(engine) >= frames) {
                return;
            }
        }
    }

    // Pulls `frames` frames into two-channel `output`.
    void Pull(float* output, int frames) const
    {
        if (channels == 2) {
            ops->PullOutput(engine, output, frames);
            return;
        }
        float* engineOutput = Work().engineOutput.data();
        ops->PullOutput(engine, engineOutput, frames);
        if (channels == 1) {
            for (int f = 0; f < frames; ++f) {
                output[2 * f] = engineOutput[f];
                output[2 * f + 1] = engineOutput[f];
            }
            return;
        }
        FoldToStereo(state.downmix, engineOutput, channels, output, frames);
    }

    // One buffer of at most kFramesPerBuffer frames.
    int FillBuffer(float* output, int frames) const
    {
        const float smoothed =
            0.1f * state.pitchTarget.load(relaxed) + 0.9f * state.pitchSmoothed.load(relaxed);
        state.pitchSmoothed.store(smoothed, relaxed);
        SendControls(engine, state, smoothed);

        Feed(frames);

        const int available = ops->GetOutputAvailable(engine);
        if (available >= frames) {
            Pull(output, frames);
            return paContinue;
        }
        if (!state.ended.load(relaxed)) {
            // Not enough yet and not at the end: a buffer of silence.
            std::fill(output, output + 2 * frames, 0.0f);
            return paContinue;
        }
        const int remaining = std::max(available, 0);
        Pull(output, remaining);
        std::fill(output + 2 * remaining, output + 2 * frames, 0.0f);
        return paComplete;
    }
};

// What Loop repeats in a sound of `frameCount` frames: the loop region when
// one lies inside it, or else the whole sound.
struct LoopSpan {
    std::int64_t first;
    std::int64_t end;
};

LoopSpan LoopSpanOf(const PlayerState& state, std::int64_t frameCount)
{
    const auto region = UnpackLoopRegion(state.loopRegion.load(relaxed));
    if (region && region->first < region->second && region->second <= frameCount) {
        return {region->first, region->second};
    }
    return {0, frameCount};
}

// The feeder for the state's engine and sound, or none when there is nothing
// to feed (no engine, no sound, a sound without frames).
std::optional<Feeder> FeederFor(PlayerState& state)
{
    EngineInterface* engine = state.engineHandle.load(relaxed);
    const Sound* sound = state.sound.load(relaxed);
    if (engine == nullptr || sound == nullptr || sound->frameCount <= 0) {
        return std::nullopt;
    }
    const int channels = engine->operations->GetChannelCount(engine);
    if (channels < 1 || channels > kMaxPlaybackChannels) {
        return std::nullopt;
    }
    const LoopSpan span = LoopSpanOf(state, sound->frameCount);
    return Feeder{state,    engine,           engine->operations, sound->samples.data(), sound->frameCount,
                  channels, sound->sampleRate, span.first,        span.end};
}

// Notes where feeding stands after a buffer has been played, for the
// position being heard.
void RecordPosition(PlayerState& state)
{
    const std::uint64_t count = state.buffersRecorded.load(relaxed);
    state.positionHistory[count % kPositionHistory].store(state.position.load(relaxed), relaxed);
    state.buffersRecorded.store(count + 1, relaxed);
}

// Plays the buffer kept at a pause into `out`, fading out as the pause
// begins or, mirrored, fading in as playback resumes.
void PlayHeldBuffer(const CallbackWorkspace& work, float* out, int frames, bool fadeIn)
{
    for (int k = 0; k < frames; ++k) {
        const float gain = FadeGain(fadeIn ? k : frames - 1 - k, frames);
        out[2 * k] = work.heldOutput[2 * k] * gain;
        out[2 * k + 1] = work.heldOutput[2 * k + 1] * gain;
    }
}

}  // namespace

int AudioCallback(const void*, void* output, unsigned long frameCount, const PaStreamCallbackTimeInfo*,
                  PaStreamCallbackFlags, void* userData)
{
    PlayerState& state = *static_cast<PlayerState*>(userData);
    float* out = static_cast<float*>(output);
    const std::optional<Feeder> feeder = FeederFor(state);
    if (!feeder) {
        std::fill(out, out + 2 * frameCount, 0.0f);
        return state.engineHandle.load(relaxed) == nullptr ? paContinue : paComplete;
    }
    CallbackWorkspace& work = state.workspace;
    unsigned long done = 0;
    if (state.pauseRequested.load(relaxed)) {
        // Paused: the first buffer fades out and is kept; then silence, and
        // nothing is fed or taken, seeks included.
        std::fill(out, out + 2 * frameCount, 0.0f);
        if (work.paused) {
            return paContinue;
        }
        const int frames = static_cast<int>(std::min<unsigned long>(frameCount, kFramesPerBuffer));
        const int result = feeder->FillBuffer(work.heldOutput.data(), frames);
        work.paused = true;
        work.heldFrames = frames;
        PlayHeldBuffer(work, out, frames, false);
        // The sound may have ended in that buffer, with this the last call.
        DropSeekRequestAfterEnd(state);
        return result;
    }
    if (work.paused) {
        // Resumed: the kept buffer again, fading in, and on from there.
        work.paused = false;
        const int frames = static_cast<int>(std::min<unsigned long>(frameCount, work.heldFrames));
        PlayHeldBuffer(work, out, frames, true);
        RecordPosition(state);
        done = static_cast<unsigned long>(frames);
    }

    // Once the sound has ended, a seek only moves the position shown.
    DropSeekRequestAfterEnd(state);
    const std::int32_t seek = state.seekRequest.exchange(-1, ordered);
    if (seek >= 0) {
        feeder->BeginSeek(static_cast<std::int32_t>(std::min<std::int64_t>(seek, feeder->frameCount - 1)));
    }

    // The stream asks for one buffer at a time; a larger request is served
    // as several.
    int result = paContinue;
    while (done < frameCount) {
        const int frames = static_cast<int>(std::min<unsigned long>(frameCount - done, kFramesPerBuffer));
        const int filled = feeder->FillBuffer(out + 2 * done, frames);
        RecordPosition(state);
        if (filled == paComplete) {
            std::fill(out + 2 * (done + frames), out + 2 * frameCount, 0.0f);
            result = paComplete;
            break;
        }
        done += static_cast<unsigned long>(frames);
    }
    // This may be the last call: a request that arrived while the sound
    // ended is not left waiting for another.
    DropSeekRequestAfterEnd(state);
    return result;
}

std::int64_t HeardPosition(const PlayerState& state) noexcept
{
    const std::uint64_t count = state.buffersRecorded.load(relaxed);
    if (count == 0 || state.ended.load(relaxed)) {
        return state.position.load(relaxed);
    }
    // PrepareForPlay counts a whole ring of the starting position as played,
    // so the count never falls short of the lag.
    const std::uint64_t lag = static_cast<std::uint64_t>(state.heardLagBuffers.load(relaxed));
    return state.positionHistory[(count - 1 - lag) % kPositionHistory].load(relaxed);
}

void DropSeekRequestAfterEnd(PlayerState& state) noexcept
{
    if (!state.ended.load(ordered)) {
        return;
    }
    const std::int32_t seek = state.seekRequest.exchange(-1, ordered);
    const Sound* sound = state.sound.load(relaxed);
    if (seek >= 0 && sound != nullptr && sound->frameCount > 0) {
        state.position.store(std::min(seek, sound->frameCount - 1), relaxed);
    }
}

void PrepareForPlay(PlayerState& state, std::optional<std::int32_t> from) noexcept
{
    EngineInterface* engine = state.engineHandle.load(relaxed);
    const Sound* sound = state.sound.load(relaxed);
    const bool reverse = state.reverseRequested.load(relaxed);
    state.seekRequest.store(-1, relaxed);
    state.ended.store(false, relaxed);
    state.workspace.seekTarget = -1;
    state.workspace.fadeStep = 0;
    state.workspace.fadeLength = 0;
    state.workspace.paused = false;
    state.pauseRequested.store(false, relaxed);
    // Backwards play starts at the end of the sound, with or without Loop;
    // with a loop region, at the region's start (its end backwards).
    const std::int64_t frames = sound != nullptr ? sound->frameCount : 0;
    const LoopSpan span = state.loopEnabled.load(relaxed) ? LoopSpanOf(state, frames) : LoopSpan{0, frames};
    const std::int64_t start = from.has_value() ? std::clamp<std::int64_t>(*from, 0, frames)
                               : reverse            ? span.end
                                                    : span.first;
    state.position.store(static_cast<std::int32_t>(start), relaxed);
    if (engine != nullptr) {
        SendControls(engine, state, state.pitchTarget.load(relaxed));
        engine->operations->Reset(engine);
    }
    state.pitchSmoothed.store(state.pitchTarget.load(relaxed), relaxed);
    state.reverseActive.store(reverse, relaxed);

    // Priming: right after Reset the engine wants 2N frames before its first
    // output, several hops of work at once. Feeding them here, before the
    // stream starts, keeps that work out of the first callback, which would
    // otherwise overrun its budget with many channels at high rates. The
    // frames and their settings are those the first callback would push.
    state.workspace.framesFed = 0;
    if (const std::optional<Feeder> feeder = FeederFor(state)) {
        feeder->Feed(kFramesPerBuffer);
    }
    // What the engine needed before its first output is how far feeding
    // runs ahead of what is heard (exactly so at speed 100).
    const std::int64_t lagBuffers = (state.workspace.framesFed + state.deviceLatencyFrames) / kFramesPerBuffer;
    state.heardLagBuffers.store(static_cast<int>(std::min<std::int64_t>(lagBuffers, kPositionHistory - 1)), relaxed);
    for (std::atomic<std::int32_t>& entry : state.positionHistory) {
        entry.store(static_cast<std::int32_t>(start), relaxed);
    }
    state.buffersRecorded.store(kPositionHistory, relaxed);
}

}  // namespace kelvane::playback
