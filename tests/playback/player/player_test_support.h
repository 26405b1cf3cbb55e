// Helpers for driving the player's audio callback without a device: sounds
// made in memory, and an operation table that records every engine call
// before passing it on to a real engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kelvane/engine.h"
#include "playback/audio_callback.h"
#include "playback/loaded_sound.h"
#include "playback/player.h"

namespace kelvane::playback::test {

// A sound of `samples.size() / channels` frames, as the loader would make it.
std::unique_ptr<Sound> MakeSound(int sampleRate, int channels, const std::vector<float>& samples);

// `frames` frames of a sine per channel (frequency times channel + 1).
std::vector<float> Sine(int channels, int frames, double cyclesPerFrame, float amplitude);
// Reproducible noise in [-amplitude, amplitude].
std::vector<float> Noise(int channels, int frames, float amplitude, std::uint32_t seed);

// One engine call as the callback made it.
struct EngineCall {
    std::string name;      // "PushInput", "SetPitchSemitones", ...
    double value = 0.0;    // the setter's argument
    std::int64_t first = -1;  // PushInput: first source frame (offset in the sound); -1 when faded
    int frames = 0;        // PushInput / PullOutput: the count
    int mode = -1;         // PushInput: the direction
};

// A real engine behind a recording table. The player's state is pointed at
// the recording interface.
class SpyEngine {
public:
    SpyEngine(const Sound& sound, int quality = 1);
    ~SpyEngine();
    SpyEngine(const SpyEngine&) = delete;
    SpyEngine& operator=(const SpyEngine&) = delete;

    EngineInterface* Interface() { return &face.face; }
    EngineInterface* Real() { return real; }
    std::vector<EngineCall>& Calls() { return calls; }
    std::vector<EngineCall> CallsNamed(const std::string& name) const;
    // Every push read only frames of the sound, or of the faded input in
    // the workspace of `state` once Watch has named it.
    bool PushesInsideSound() const { return outsideReads == 0; }
    void Watch(const PlayerState& state) { workspace = &state.workspace; }
    // Runs after each PullOutput has filled its destination.
    void AfterPull(std::function<void()> action) { afterPull = std::move(action); }

private:
    // The interface the callback sees; the table's functions find the spy
    // from it.
    struct Face {
        EngineInterface face;
        SpyEngine* owner;
    };
    static SpyEngine& Of(EngineInterface* engine) { return *reinterpret_cast<Face*>(engine)->owner; }
    static const EngineOperations table;

    Face face;
    EngineInterface* real = nullptr;
    const Sound& sound;
    const CallbackWorkspace* workspace = nullptr;
    std::function<void()> afterPull;
    std::vector<EngineCall> calls;
    int outsideReads = 0;

    friend struct SpyTable;
};

// A player state ready to play `sound` through `engine` (controls as at
// start-up: pitch 0, speed 100, Loop on), prepared as Play does.
void PrepareState(PlayerState& state, const Sound& sound, EngineInterface* engine);

// Runs the callback for one buffer; returns its result and appends the two
// output channels to `output`.
int RunCallback(PlayerState& state, std::vector<float>& output, int frames = kFramesPerBuffer);

// Runs buffers until the callback completes or `maxBuffers` have run;
// returns the number of buffers run (the last one included).
int RunUntilComplete(PlayerState& state, std::vector<float>& output, int maxBuffers);

// Index of the first sample whose magnitude exceeds `threshold`, or -1.
std::int64_t FirstAbove(const std::vector<float>& samples, float threshold, std::int64_t from = 0);

}  // namespace kelvane::playback::test
