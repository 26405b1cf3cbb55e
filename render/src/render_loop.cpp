#include "render/render_loop.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "kelvane/engine.hpp"

namespace kelvane::render {

namespace {

RenderOutcome Fault(RenderStatus status, std::string message)
{
    RenderOutcome outcome;
    outcome.status = status;
    outcome.message = std::move(message);
    return outcome;
}

}  // namespace

std::uint64_t ExpectedOutputFrames(std::uint64_t inputFrames, double speedPercent)
{
    if (inputFrames == 0) {
        return 0;
    }
    return RoundOutputFrames(OutputFramesAtSpeed(static_cast<double>(inputFrames), speedPercent));
}

double OutputFramesAtSpeed(double inputFrames, double speedPercent)
{
    return inputFrames * 100.0 / speedPercent;
}

std::uint64_t RoundOutputFrames(double exactFrames)
{
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::round(exactFrames)));
}

RenderOutcome RenderFrames(const FrameSource& source, std::int64_t frameCount, int channels, int sampleRate,
                           const RenderSettings& settings, const FrameSink& sink,
                           const ProgressReport& progress, const std::atomic<int>* stopRequested)
{
    kelvane::Engine engine(sampleRate, channels, settings.quality);
    if (!engine.IsValid()) {
        return Fault(RenderStatus::EngineRefused, GetErrorText(engine.Status()));
    }
    int status = engine.SetSpeedPercent(static_cast<float>(settings.speedPercent));
    if (status == KELVANE_OK) {
        status = engine.SetPitchSemitones(static_cast<float>(settings.pitchSemitones));
    }
    if (status == KELVANE_OK && settings.formantSemitones) {
        status = engine.SetFormantSemitones(static_cast<float>(*settings.formantSemitones));
    }
    // Reset primes the pipeline with silence stamped with the ratios now
    // set, as the first real frames will be.
    if (status == KELVANE_OK) {
        status = engine.Reset();
    }
    if (status != KELVANE_OK) {
        return Fault(RenderStatus::EngineFault, GetErrorText(status));
    }

    const std::size_t stride = static_cast<std::size_t>(channels);
    const std::uint64_t total =
        ExpectedOutputFrames(static_cast<std::uint64_t>(frameCount), settings.speedPercent);
    std::vector<float> pulled(kOutputRingFrames * stride);
    std::vector<float> input;
    std::vector<float> silence;
    std::int64_t pushed = 0;
    std::int64_t silencePushed = 0;
    std::int64_t silenceLimit = 0;

    RenderOutcome outcome;
    bool madeOutput = false;
    while (outcome.framesOut < total) {
        if (stopRequested != nullptr && stopRequested->load(std::memory_order_relaxed) != 0) {
            outcome.status = RenderStatus::Interrupted;
            return outcome;
        }
        // Only when a Process made nothing is the input it holds used up: one
        // that stopped for want of room in its output ring goes on first.
        if (!madeOutput) {
            const int required = engine.GetInputRequired();
            if (required <= 0) {
                return Fault(RenderStatus::EngineFault,
                             required < 0 ? GetErrorText(required) : "the engine asked for no input");
            }
            // The first request is the whole analysis window.
            if (silenceLimit == 0) {
                silenceLimit = kStallWindows * static_cast<std::int64_t>(required);
            }

            const int real = static_cast<int>(std::min<std::int64_t>(required, frameCount - pushed));
            if (real > 0) {
                // Reversed, the file is taken from its end a block at a time
                // and the engine turns each block round.
                const std::int64_t first = settings.reverse ? frameCount - pushed - real : pushed;
                if (input.size() < static_cast<std::size_t>(real) * stride) {
                    input.resize(static_cast<std::size_t>(real) * stride);
                }
                if (!source(first, real, input.data())) {
                    outcome.status = RenderStatus::ReadFailed;
                    return outcome;
                }
                status = engine.PushInput(input.data(), real,
                                          settings.reverse ? KELVANE_REVERSE : KELVANE_FORWARD);
                if (status != KELVANE_OK) {
                    return Fault(RenderStatus::EngineFault, GetErrorText(status));
                }
                pushed += real;
            }
            // Past the end, silence carries the last frames through the
            // window. Flush would too, but its silence makes no output frames,
            // so the output would end wherever the drain stopped; with pushed
            // silence the output is cut at exactly input / speed frames.
            if (const int padding = required - real; padding > 0) {
                silencePushed += padding;
                if (silencePushed > silenceLimit) {
                    return Fault(RenderStatus::EngineFault, "the engine stopped producing output");
                }
                if (silence.size() < static_cast<std::size_t>(padding) * stride) {
                    silence.resize(static_cast<std::size_t>(padding) * stride, 0.0f);
                }
                status = engine.PushInput(silence.data(), padding, KELVANE_FORWARD);
                if (status != KELVANE_OK) {
                    return Fault(RenderStatus::EngineFault, GetErrorText(status));
                }
            }
        }

        status = engine.Process();
        if (status < 0) {
            return Fault(RenderStatus::EngineFault, GetErrorText(status));
        }
        const int available = engine.GetOutputAvailable();
        if (available > kOutputRingFrames) {
            return Fault(RenderStatus::EngineFault, "the engine's output ring overran");
        }
        madeOutput = available > 0;
        if (madeOutput) {
            status = engine.PullOutput(pulled.data(), available);
            if (status != KELVANE_OK) {
                return Fault(RenderStatus::EngineFault, GetErrorText(status));
            }
            const std::uint64_t keep = std::min<std::uint64_t>(available, total - outcome.framesOut);
            if (!sink(pulled.data(), keep)) {
                outcome.status = RenderStatus::WriteFailed;
                return outcome;
            }
            outcome.framesOut += keep;
        }
        if (progress) {
            progress(outcome.framesOut, total);
        }
    }
    return outcome;
}

FrameSource FramesInMemory(const float* samples, int channels)
{
    const auto stride = static_cast<std::size_t>(channels);
    return [samples, stride](std::int64_t first, int count, float* destination) {
        std::memcpy(destination, samples + static_cast<std::size_t>(first) * stride,
                    static_cast<std::size_t>(count) * stride * sizeof(float));
        return true;
    };
}

RenderOutcome RenderFrames(const float* samples, std::int64_t frameCount, int channels, int sampleRate,
                           const RenderSettings& settings, const FrameSink& sink,
                           const ProgressReport& progress, const std::atomic<int>* stopRequested)
{
    return RenderFrames(FramesInMemory(samples, channels), frameCount, channels, sampleRate, settings, sink, progress, stopRequested);
}

}  // namespace kelvane::render
