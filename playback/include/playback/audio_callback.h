// The audio stream's callback: feeds the engine from the sound and fills the
// device buffer. Runs on the audio library's thread; it allocates nothing,
// takes no lock and does no I/O.
#pragma once

#include <portaudio.h>

#include <cstdint>
#include <optional>

#include "playback/player.h"

namespace kelvane::playback {

// The stream callback. `userData` is the PlayerState. Fills `output` with
// `frameCount` frames of two interleaved float32 channels. Returns
// paContinue while playing, paComplete once the sound has ended without
// Loop (the buffer is then padded with silence).
int AudioCallback(const void* input, void* output, unsigned long frameCount,
                  const PaStreamCallbackTimeInfo* timeInfo, PaStreamCallbackFlags statusFlags,
                  void* userData);

// What Play does to the engine before the stream starts: position 0 (the end
// of the sound in reverse, the loop region's start or end with Loop on), or
// `from` when given (clamped to the sound), the current controls handed to
// the engine in the callback's order, Reset, no glide and no direction change
// pending; then the engine is primed with the frames the first callback would
// push, so that the first callback does no more work than any other. Control
// thread only, while the stream is stopped.
void PrepareForPlay(PlayerState& state, std::optional<std::int32_t> from = std::nullopt) noexcept;

// Once the sound has ended, a seek request still waiting is dropped: it only
// moves the position the display shows. The callback calls it after the end,
// and Player::Seek after asking, so that whichever of the two threads comes
// last clears a request that crossed the end. Any thread; real-time safe.
void DropSeekRequestAfterEnd(PlayerState& state) noexcept;

}  // namespace kelvane::playback
