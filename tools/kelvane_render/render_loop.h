// Running a whole sound through the engine, block by block, the way a player
// feeds it: push what GetInputRequired asks for, Process, pull what is ready.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kelvane::render {

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
    WriteFailed,    // the sink refused frames
    Interrupted,
};

struct RenderOutcome {
    RenderStatus status = RenderStatus::Done;
    std::string message;  // the engine's text for EngineRefused and EngineFault
    std::uint64_t framesOut = 0;
};

// Takes interleaved output frames; false stops the render.
using FrameSink = std::function<bool(const float* frames, std::size_t frameCount)>;
// Told now and then how many of the expected output frames are done.
using ProgressReport = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The output length for an input length: input / speed, rounded, and at
// least one frame for a non-empty input.
std::uint64_t ExpectedOutputFrames(std::uint64_t inputFrames, double speedPercent);

// Renders `frameCount` interleaved frames into exactly
// ExpectedOutputFrames(frameCount, speed) output frames, starting with the
// first input frame (the last one when reversed). `stopRequested`, when set
// to non-zero (by a signal handler), ends the render as Interrupted.
RenderOutcome RenderFrames(const float* samples, std::int64_t frameCount, int channels, int sampleRate,
                           const RenderSettings& settings, const FrameSink& sink,
                           const ProgressReport& progress, const volatile std::sig_atomic_t* stopRequested);

}  // namespace kelvane::render
