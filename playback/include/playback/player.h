// The player: plays a loaded sound through the engine on the default audio
// output device, while another thread moves pitch, speed and formant.
//
// One engine instance and one output stream at a time, both made anew for
// each sound that loads (OpenPlayback). The stream always has two float32
// channels at the sound's sample rate and asks for 256 frames per callback;
// AudioCallback (playback/audio_callback.h) feeds the engine from the sound
// and copies the engine's output into the device buffer.
//
// Threads: every Player method runs on the control thread (the window's, or
// a tool's main thread). The audio thread runs only AudioCallback. The two
// share PlayerState without a lock: each shared field is a lock-free atomic
// read and written with relaxed ordering (but for the hand-over of a seek as
// the sound ends, see `ended`), and the control thread touches the engine
// and the callback's workspace only after the stream has been aborted.
//
// Failures are returned to the caller as a title and a text to show; the
// player itself shows and prints nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "kelvane/engine.h"
#include "playback/audio_library.h"
#include "playback/downmix.h"
#include "playback/loaded_sound.h"
#include "playback/sound.h"

namespace kelvane::playback {

// Frames per callback that the stream asks for.
inline constexpr int kFramesPerBuffer = 256;

// How long a seek fades the old place out, and then the new one in.
inline constexpr double kSeekFadeSeconds = 0.005;

// The callback's own working memory: used by the audio thread alone while a
// stream runs, and by the control thread only while none runs (through
// PrepareForPlay), so its fields are plain. Each player has its own, so
// that players on different audio threads never share one.
struct CallbackWorkspace {
    static constexpr int kSamples = kFramesPerBuffer * kMaxPlaybackChannels;
    // One buffer of the engine's output with all its channels, before they
    // reach the two outputs (a mono engine's doubled, more channels folded).
    std::array<float, kSamples> engineOutput{};
    // Frames of the sound on their way to the engine while a seek fades
    // them, at most kSamples / channels frames at a time.
    std::array<float, kSamples> fadedInput{};
    // A seek in progress. While `seekTarget` is a frame of the sound, the
    // frames fed fade out; once silent, feeding moves to `seekTarget` and
    // fades in. The gain is the raised cosine of fadeStep / fadeLength:
    // 0 silent, fadeLength full (and then no fade is under way).
    std::int32_t seekTarget = -1;
    int fadeStep = 0;
    int fadeLength = 0;
    // A pause under way: the buffer that faded out as it began, kept to be
    // played again fading in as it ends, so that nothing of the sound is
    // skipped.
    bool paused = false;
    int heldFrames = 0;
    // Frames pushed into the engine since Play (counted to measure its
    // latency as Play primes it).
    std::int64_t framesFed = 0;
    std::array<float, 2 * kFramesPerBuffer> heldOutput{};
};

// How many buffers of play positions the callback remembers, for the
// position being heard (see HeardPosition): more than the engine's and the
// device's latency together at every rate.
inline constexpr int kPositionHistory = 128;

// The loop region packed into one word, so that the callback never sees half
// of a change: the first frame in the high half, the end (exclusive) in the
// low; 0 for none.
inline constexpr std::uint64_t PackLoopRegion(std::int32_t first, std::int32_t end) noexcept
{
    const auto high = static_cast<std::uint64_t>(static_cast<std::uint32_t>(first));
    return high << 32 | static_cast<std::uint32_t>(end);
}

// The first frame and the end (exclusive) of a packed loop region; nothing
// for 0.
inline constexpr std::optional<std::pair<std::int32_t, std::int32_t>> UnpackLoopRegion(
    std::uint64_t packed) noexcept
{
    if (packed == 0) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<std::int32_t>(packed >> 32),
                          static_cast<std::int32_t>(packed & 0xFFFFFFFFu));
}

// The block of state shared by the control thread, the audio callback and
// the waveform display.
struct PlayerState {
    // The sound being played, not owned; null when none. Written only while
    // no stream runs.
    std::atomic<const Sound*> sound{nullptr};
    // The next source frame to feed, in frames of the file (not scaled by
    // speed); in reverse play the exclusive upper end of the next block.
    // Written by the callback, read by the display.
    std::atomic<std::int32_t> position{0};
    // Pitch the slider asks for and pitch actually sent (it glides towards
    // the target by 0.1 of the difference per callback), in semitones.
    std::atomic<float> pitchTarget{0.0f};
    std::atomic<float> pitchSmoothed{0.0f};
    // Speed, 25 to 400 percent, always positive; direction is below.
    std::atomic<float> speedPercent{100.0f};
    // Formant shift sent to the engine, in semitones (0: no correction).
    std::atomic<float> formantSemitones{0.0f};
    std::atomic<bool> loopEnabled{true};
    // Reverse play asked for, and the direction in which the engine was last
    // fed; they differ only until the next feeding step sees the change.
    std::atomic<bool> reverseRequested{false};
    std::atomic<bool> reverseActive{false};
    // The engine the callback feeds; null until a sound has loaded. Written
    // only while no stream runs.
    std::atomic<EngineInterface*> engineHandle{nullptr};
    // A play position asked for by the control thread (a click on the
    // waveform), or -1: the callback takes it at its next call and fades
    // over to it. Once the sound has ended, a request only moves `position`
    // (see Player::Seek); it is never left waiting.
    std::atomic<std::int32_t> seekRequest{-1};
    // Set by the callback once the sound has ended without Loop and the
    // engine has been flushed; cleared by Play. Its store, and the requests'
    // hand-over once it is set, are sequentially consistent, so that a seek
    // asked for just as the sound ends is either taken or dropped.
    std::atomic<bool> ended{false};
    // Pause asked for by the control thread. While it is set the callback
    // feeds nothing and plays silence; the engine keeps what it holds.
    std::atomic<bool> pauseRequested{false};
    // The A-B loop region (PackLoopRegion), looped instead of the whole sound
    // while Loop is on; 0 for none. Dropped with the sound.
    std::atomic<std::uint64_t> loopRegion{0};
    // The play position after each buffer played, in a ring of
    // kPositionHistory, and how many buffers have been recorded (0: none
    // since the stream last stopped). Written by the callback.
    std::array<std::atomic<std::int32_t>, kPositionHistory> positionHistory{};
    std::atomic<std::uint64_t> buffersRecorded{0};
    // How many buffers the sound takes from feeding to the ear: the engine's
    // latency measured as Play primes it, plus the device's. Written only
    // while no stream runs.
    std::atomic<int> heardLagBuffers{0};
    // The output device's latency in frames; set when the stream opens.
    int deviceLatencyFrames = 0;
    // How the engine's channels reach the two outputs; set with the engine.
    DownmixGains downmix = DownmixFor(1);
    CallbackWorkspace workspace;
};

static_assert(std::atomic<const Sound*>::is_always_lock_free);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(std::atomic<float>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<EngineInterface*>::is_always_lock_free);
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// The frame of the sound being heard now: the play position from the
// engine's and the device's latency ago, while the stream runs (also while
// paused: where the pause began); the play position itself when nothing has
// played since the stream stopped, and once the sound has ended. Any thread;
// real-time safe.
std::int64_t HeardPosition(const PlayerState& state) noexcept;

// A failure for the caller to show: a message-box title and its text.
struct PlaybackFailure {
    std::string title;
    std::string text;
};

// Titles of the failures.
inline constexpr const char* kInstanceProblemTitle = "Instance problem";
inline constexpr const char* kStreamProblemTitle = "Portaudio";

class Player {
public:
    Player() = default;
    // Aborts and closes the stream and destroys the engine.
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    PlayerState& State() noexcept { return state; }
    const PlayerState& State() const noexcept { return state; }

    // First step of a load: aborts and closes the current stream (if any),
    // forgets the current sound, and rewinds. Play and Stop do nothing until
    // OpenPlayback succeeds again. The engine is kept until then.
    void CloseStream() noexcept;

    // Last step of a successful load: makes the engine for the sound (its
    // rate, its channels, quality 1) and opens the stream on the default
    // output device. On failure returns what to show ("Instance problem" with
    // the engine's text, or "Portaudio" with the audio library's text) and
    // leaves no stream open. `sound` must outlive the stream (until the next
    // CloseStream or the player's end).
    std::optional<PlaybackFailure> OpenPlayback(const Sound& sound);

    // Restarts playback from the start of the sound (from its end in
    // reverse): aborts the stream, rewinds, hands the current controls to
    // the engine, resets it and starts the stream. Returns what to show when
    // the stream does not start ("Portaudio" with the audio library's text);
    // nothing is playing then. Nothing, and no failure, without an open
    // stream.
    std::optional<PlaybackFailure> Play() noexcept;
    // Play, starting at `frame` of the sound (clamped to it) in either
    // direction instead of at the start: with Loop on, a frame outside the
    // loop region plays on into it or goes to its start, as while playing.
    std::optional<PlaybackFailure> PlayFrom(std::int32_t frame) noexcept;
    // Stops at once (what is queued is discarded) and rewinds.
    void Stop() noexcept;
    // Pauses while the stream runs: the buffer being played fades out and
    // then silence plays, while the engine keeps what it holds and feeding
    // stands still. Resume plays that buffer again fading in and goes on
    // from there, so nothing is skipped and the sound continues where it was
    // heard. Seeks asked for while paused are taken on resuming. Play and
    // Stop end a pause.
    void Pause() noexcept;
    void Resume() noexcept;
    // True between Pause and Resume while the stream runs.
    bool IsPaused() const noexcept;
    // HeardPosition of the player's state.
    std::int64_t HeardPosition() const noexcept { return kelvane::playback::HeardPosition(state); }
    // Stops the stream without rewinding, as the program ends.
    void Abort() noexcept;

    bool StreamOpen() const noexcept { return streamOpen; }
    // True while the stream runs (between Play and Stop or the end).
    bool IsPlaying() const noexcept;

    // Controls: plain writes of the shared fields, picked up by the callback
    // at its next call. They never call the engine.
    void SetPitchTarget(float semitones) noexcept;
    void SetSpeed(float percent, bool reverse) noexcept;
    void SetFormantSemitones(float semitones) noexcept;
    void SetLoop(bool enabled) noexcept;
    // The A-B loop region, frames `first` to `last` of the sound, both
    // included (clamped to the sound, in either order). While Loop is on,
    // playback loops that region instead of the whole sound, with the same
    // seam, backwards in reverse play; a position before the region (after
    // it in reverse) plays on into it, one past it goes to its start (its
    // end in reverse), and Play starts there. Nothing without a sound; the
    // region is dropped when the sound is.
    void SetLoopRegion(std::int32_t first, std::int32_t last) noexcept;
    void ClearLoopRegion() noexcept;
    // The loop region as SetLoopRegion took it: its first and last frames,
    // both included; nothing when none is set.
    std::optional<std::pair<std::int32_t, std::int32_t>> LoopRegion() const noexcept;
    // Moves the play position to a frame of the sound (clamped to it). While
    // playing, the callback takes it at its next call: the frames fed fade
    // out over kSeekFadeSeconds, then those from `frame` on fade in over as
    // long, so the jump does not click (it is heard, like every change, the
    // engine's latency later). Otherwise, and once the sound has ended
    // without Loop while its last frames still play, it only moves the
    // position that the display shows (Play still starts at the beginning).
    void Seek(std::int32_t frame) noexcept;

private:
    void DestroyEngine() noexcept;
    // Play and PlayFrom: the start as PrepareForPlay takes it.
    std::optional<PlaybackFailure> Start(std::optional<std::int32_t> from) noexcept;

    PlayerState state;
    void* stream = nullptr;  // the audio library's stream
    bool streamOpen = false;
};

}  // namespace kelvane::playback
