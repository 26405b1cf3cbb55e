// The audio library's lifetime for the whole program.
#pragma once

namespace kelvane::playback {

// Starts and ends the audio library for the whole program (Pa_Initialize,
// Pa_Terminate). StartAudio first silences the probing chatter that the
// sound-system libraries below it print on stderr when no card or server
// exists, and sets JACK_NO_START_SERVER in the environment (unless it is
// already set) so that playing never starts a sound server of its own. Both
// return 0 or the audio library's error code.
int StartAudio() noexcept;
int EndAudio() noexcept;
// The audio library's text for one of its error codes.
const char* AudioErrorText(int error) noexcept;

}  // namespace kelvane::playback
