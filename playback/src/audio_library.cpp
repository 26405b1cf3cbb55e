// The audio library's start and end, quietened.
#include "playback/audio_library.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <cstdlib>

namespace kelvane::playback {
namespace {

void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}
void QuietJackMessage(const char*) {}

}  // namespace

int StartAudio() noexcept
{
    // The sound-system libraries under the audio library report every probe
    // that finds no card or server on stderr; the program has its own
    // messages for what matters. Nor should playing start a sound server.
    snd_lib_error_set_handler(&QuietAlsaError);
    jack_set_error_function(&QuietJackMessage);
    jack_set_info_function(&QuietJackMessage);
    setenv("JACK_NO_START_SERVER", "1", 0);
    return Pa_Initialize();
}

int EndAudio() noexcept
{
    return Pa_Terminate();
}

const char* AudioErrorText(int error) noexcept
{
    return Pa_GetErrorText(static_cast<PaError>(error));
}

}  // namespace kelvane::playback
