#include "block_stream.h"

#include <algorithm>

#include "render/render_loop.h"

namespace kelvane::python {

BlockStream::BlockStream(int sampleRate, int channels, int quality)
    : engine(sampleRate, channels, quality), channels(channels)
{
    if (engine.IsValid()) {
        latency = engine.GetInputRequired();
        pulled.resize(static_cast<std::size_t>(render::kOutputRingFrames) * channels);
    }
}

int BlockStream::Fail(int status, const char* text)
{
    fault = text != nullptr ? text : GetErrorText(status);
    return status < 0 ? status : KELVANE_ERROR_OUT_OF_RANGE;
}

int BlockStream::Apply(const StretchControls& next)
{
    // The frames fed so far owe their output at the speed they were fed at.
    if (next.speedPercent != controls.speedPercent && framesAtSpeed > 0) {
        earlierOutput += render::OutputFramesAtSpeed(static_cast<double>(framesAtSpeed), controls.speedPercent);
        framesAtSpeed = 0;
    }
    controls = next;
    int status = engine.SetSpeedPercent(static_cast<float>(controls.speedPercent));
    if (status == KELVANE_OK) {
        status = engine.SetPitchSemitones(static_cast<float>(controls.pitchSemitones));
    }
    if (status == KELVANE_OK) {
        status = engine.SetFormantSemitones(static_cast<float>(controls.formantSemitones.value_or(0.0)));
    }
    if (status == KELVANE_OK && fresh) {
        status = engine.Reset();
    }
    return status == KELVANE_OK ? status : Fail(status, nullptr);
}

// One Process, and every frame it made, of which the first `limit` at most
// are kept.
int BlockStream::ProcessAndPull(std::vector<float>& output, std::uint64_t limit)
{
    const int status = engine.Process();
    if (status < 0) {
        return Fail(status, nullptr);
    }
    const int available = engine.GetOutputAvailable();
    if (available < 0 || available > render::kOutputRingFrames) {
        return Fail(available, "the engine's output ring overran");
    }
    madeOutput = available > 0;
    if (madeOutput) {
        if (const int pulledStatus = engine.PullOutput(pulled.data(), available); pulledStatus != KELVANE_OK) {
            return Fail(pulledStatus, nullptr);
        }
        const auto keep = std::min<std::uint64_t>(static_cast<std::uint64_t>(available), limit);
        output.insert(output.end(), pulled.begin(), pulled.begin() + static_cast<std::ptrdiff_t>(keep * channels));
        framesOut += keep;
    }
    return KELVANE_OK;
}

// Frames go to the engine as they come, stamped with the controls of the
// moment, but Process runs only on whole requests: the engine then sees the
// same pushes and passes as in a whole-file render.
int BlockStream::Feed(const float* interleaved, std::int64_t frames, std::vector<float>& output)
{
    fresh = fresh && frames == 0;
    framesAtSpeed += frames;
    for (;;) {
        if (!madeOutput) {
            const int required = engine.GetInputRequired();
            if (required <= 0) {
                return Fail(required, required < 0 ? nullptr : "the engine asked for no input");
            }
            const auto take = static_cast<int>(std::min<std::int64_t>(required - staged, frames));
            if (take > 0) {
                if (const int status = engine.PushInput(interleaved, take); status != KELVANE_OK) {
                    return Fail(status, nullptr);
                }
                interleaved += static_cast<std::ptrdiff_t>(take) * channels;
                frames -= take;
                staged += take;
            }
            if (staged < required) {
                return KELVANE_OK;
            }
            staged = 0;
        }
        if (const int status = ProcessAndPull(output, UINT64_MAX); status != KELVANE_OK) {
            return status;
        }
    }
}

std::uint64_t BlockStream::ExpectedFrames() const
{
    const double frames =
        earlierOutput + render::OutputFramesAtSpeed(static_cast<double>(framesAtSpeed), controls.speedPercent);
    return frames > 0.0 ? render::RoundOutputFrames(frames) : 0;
}

int BlockStream::PushSilence(int frames)
{
    if (silence.size() < static_cast<std::size_t>(frames) * channels) {
        silence.resize(static_cast<std::size_t>(frames) * channels, 0.0f);
    }
    const int status = engine.PushInput(silence.data(), frames);
    return status == KELVANE_OK ? status : Fail(status, nullptr);
}

// Past the end, silence carries the last frames through the window and the
// output is cut at exactly the expected length (Flush would end it wherever
// its drain stopped).
int BlockStream::Finish(std::vector<float>& output)
{
    const std::uint64_t total = ExpectedFrames();
    std::int64_t silencePushed = 0;
    while (framesOut < total) {
        if (!madeOutput) {
            const int required = engine.GetInputRequired();
            if (required <= 0) {
                return Fail(required, required < 0 ? nullptr : "the engine asked for no input");
            }
            const int padding = std::max(required - staged, 0);
            silencePushed += padding;
            if (silencePushed > static_cast<std::int64_t>(render::kStallWindows) * latency) {
                return Fail(KELVANE_ERROR_OUT_OF_RANGE, "the engine stopped producing output");
            }
            if (const int status = PushSilence(padding); status != KELVANE_OK) {
                return status;
            }
            staged = 0;
        }
        if (const int status = ProcessAndPull(output, total - framesOut); status != KELVANE_OK) {
            return status;
        }
    }
    return Restart();
}

int BlockStream::Restart()
{
    fresh = true;
    madeOutput = false;
    staged = 0;
    earlierOutput = 0.0;
    framesAtSpeed = 0;
    framesOut = 0;
    const int status = engine.Reset();
    return status == KELVANE_OK ? status : Fail(status, nullptr);
}

}  // namespace kelvane::python
