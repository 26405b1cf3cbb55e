// Running a whole sound through the engine, block by block, the way a player
// feeds it: push what GetInputRequired asks for, Process, pull what is ready.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kelvane::render {

// The engine's staging rings hold this many frames; more output than this
// between two pulls would overwrite frames not yet pulled.
inline constexpr int kOutputRingFrames = 65536;
// Silence pushed past the end, in whole analysis windows, before the engine
// counts as stalled. Every input frame is out once about one window of
// silence has followed it (plus a request or two at high ratios): only a
// stalled engine needs this many.
inline constexpr int kStallWindows = 8;

struct RenderSettings {
    double speedPercent = 100.0;
    double pitchSemitones = 0.0;
    std::optional<double> formantSemitones;  // unset: correction off
    bool reverse = false;
    int quality = 1;
};

enum class RenderStatus {
    Done,
    EngineRefused,  // the engine cannot be made for this rate or channel count
    EngineFault,    // the engine reported an error or stopped making progress
    ReadFailed,     // the source could not give the frames asked for
    WriteFailed,    // the sink refused frames
    Interrupted,
};

struct RenderOutcome {
    RenderStatus status = RenderStatus::Done;
    std::string message;  // the engine's text for EngineRefused and EngineFault
    std::uint64_t framesOut = 0;
};

// Fills `destination` with `frameCount` interleaved input frames from frame
// `first` on, in the file's order (reversed renders ask from the end
// backwards); false stops the render.
using FrameSource = std::function<bool(std::int64_t first, int frameCount, float* destination)>;
// Takes interleaved output frames; false stops the render.
using FrameSink = std::function<bool(const float* frames, std::size_t frameCount)>;
// Told now and then how many of the expected output frames are done.
using ProgressReport = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The output length for an input length: input / speed, rounded, and at
// least one frame for a non-empty input.
std::uint64_t ExpectedOutputFrames(std::uint64_t inputFrames, double speedPercent);
// The same in two steps, for input fed at several speeds: each stretch's
// unrounded output, summed, then rounded once.
double OutputFramesAtSpeed(double inputFrames, double speedPercent);
std::uint64_t RoundOutputFrames(double exactFrames);

// Renders the `frameCount` input frames of `source` into exactly
// ExpectedOutputFrames(frameCount, speed) output frames, starting with the
// first input frame (the last one when reversed). `stopRequested`, when set
// to non-zero (by a signal handler), ends the render as Interrupted.
RenderOutcome RenderFrames(const FrameSource& source, std::int64_t frameCount, int channels, int sampleRate,
                           const RenderSettings& settings, const FrameSink& sink,
                           const ProgressReport& progress, const std::atomic<int>* stopRequested);

// The frames of interleaved `samples` in memory, as a source.
FrameSource FramesInMemory(const float* samples, int channels);

// The same for frames held in memory.
RenderOutcome RenderFrames(const float* samples, std::int64_t frameCount, int channels, int sampleRate,
                           const RenderSettings& settings, const FrameSink& sink,
                           const ProgressReport& progress, const std::atomic<int>* stopRequested);

}  // namespace kelvane::render
