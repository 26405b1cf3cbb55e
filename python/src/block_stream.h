// A signal fed to the engine block by block, with the frame accounting of a
// whole-file render: the output starts with the first input frame, and once
// finished it holds exactly input / speed frames, rounded as kelvane-render
// rounds them, whatever the blocks' sizes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvane/engine.hpp"

namespace kelvane::python {

struct StretchControls {
    double speedPercent = 100.0;
    double pitchSemitones = 0.0;
    std::optional<double> formantSemitones;  // unset: correction off
};

class BlockStream {
public:
    BlockStream(int sampleRate, int channels, int quality);

    // The engine's creation status; nothing else works unless it is 0.
    int Status() const { return engine.Status(); }
    int Channels() const { return channels; }
    // Input frames taken before the first output frame comes.
    int Latency() const { return latency; }

    // Takes effect on the frames fed after it. Before the first frame the
    // engine is primed again, so that the whole signal carries the controls
    // as a render that set them first would.
    int Apply(const StretchControls& controls);

    // Feeds `frames` interleaved frames and appends the output that is ready
    // to `output`. 0, or a failure status with its text in `fault`.
    int Feed(const float* interleaved, std::int64_t frames, std::vector<float>& output);
    // Brings the rest out, cut at the exact length, then starts afresh.
    int Finish(std::vector<float>& output);
    // Forgets the signal; the controls stay.
    int Restart();

    const std::string& Fault() const { return fault; }

private:
    int Fail(int status, const char* text);
    int PushSilence(int frames);
    int ProcessAndPull(std::vector<float>& output, std::uint64_t limit);
    std::uint64_t ExpectedFrames() const;

    kelvane::Engine engine;
    int channels;
    int latency = 0;
    StretchControls controls;
    std::vector<float> pulled;
    std::vector<float> silence;

    bool fresh = true;        // nothing fed since the engine was primed
    bool madeOutput = false;  // the last Process made output: run it again before feeding
    int staged = 0;           // frames pushed towards the engine's current request
    // Output frames owed for the input fed at earlier speeds, and the frames
    // fed at the present one.
    double earlierOutput = 0.0;
    std::int64_t framesAtSpeed = 0;
    std::uint64_t framesOut = 0;
    std::string fault;
};

}  // namespace kelvane::python
