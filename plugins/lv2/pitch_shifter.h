// The plug-ins' processing: one engine behind a host's audio blocks of any
// size, with a constant latency.
//
// The engine takes input a hop at a time and gives output a hop at a time,
// and at low pitches several hops at once, so how much it holds varies with
// the pitch and with where a host's block boundaries fall. A PitchShifter
// hides that: it stages every block in the engine as it comes, and plays the
// engine's output exactly `Latency()` frames behind the input (silence
// before the first input frame is due, which the engine is primed with).
//
// While the pitch jumps about, the engine's output does not keep exact pace
// with its input; when it has fallen behind (or run ahead) by more than the
// latency leaves room for, the shifter starts the engine afresh on the last
// input frames, which puts its output back in step, and cross-fades from the
// old output to the new. Releasing a freeze does the same.
//
// Real-time safety: Create allocates everything; Run allocates nothing, takes
// no lock and does no I/O. Reset rewrites the engine's staging rings and
// belongs to a host's activate and deactivate. One thread at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "kelvane/engine.h"

namespace kelvane::lv2 {

// The controls of one block, as the host's ports hold them.
struct ShifterControls {
    float pitchSemitones = 0.0f;
    bool preserveFormants = false;
    float formantSemitones = 0.0f;  // used when preserveFormants is off
    bool freeze = false;
};

class PitchShifter {
public:
    // The largest block handed to the engine at once; longer host blocks are
    // run in pieces of this size.
    static constexpr int kMaxChunkFrames = 8192;

    // A shifter for 1 or 2 channels at a rate the engine takes; null with
    // *status set to the engine's status otherwise (or out of memory).
    static std::unique_ptr<PitchShifter> Create(int sampleRate, int channelCount, int* status);
    ~PitchShifter();
    PitchShifter(const PitchShifter&) = delete;
    PitchShifter& operator=(const PitchShifter&) = delete;

    // Frames between an input frame and the output frame that plays it: the
    // engine's 2N plus five hops (3328 at 44100 Hz, 13312 at 96000 Hz). At
    // the lowest pitch the engine's output lags 2N plus three hops; the rest
    // is room for its pace to wander while the pitch moves.
    int Latency() const { return latency; }

    // Forgets all audio: the next Run starts as after Create.
    void Reset();

    // Runs `frames` frames (any count) from the channels' inputs to their
    // outputs; an output may be the same buffer as its input.
    void Run(const float* const* inputs, float* const* outputs, int frames, const ShifterControls& controls);

private:
    PitchShifter() = default;
    void RunChunk(const float* const* inputs, float* const* outputs, int frames, const ShifterControls& controls);
    void ApplyControls(const ShifterControls& controls);
    void RecordHistory(const float* frames, int count);
    void Restart(int frames, const ShifterControls& controls);
    int PullEngine(float* destination, int frames);

    EngineInterface* engine = nullptr;
    int channels = 0;
    int frameLength = 0;  // 2N: what the engine takes before its first output
    int hopLength = 0;
    int latency = 0;

    std::unique_ptr<float[]> inputChunk;   // interleaved
    std::unique_ptr<float[]> outputChunk;  // interleaved
    // The last `historyLength` input frames, interleaved, oldest at
    // historyStart: what a restarted engine is given again.
    std::unique_ptr<float[]> history;
    int historyLength = 0;
    int historyStart = 0;
    // The old output's continuation, faded out under the new one after a
    // restart; a hop long.
    std::unique_ptr<float[]> fadeTail;
    int fadePosition = 0;

    bool frozen = false;
};

}  // namespace kelvane::lv2
