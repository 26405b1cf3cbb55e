/* A stand-in for the audio library's stream start, preloaded into a program
   under test: every stream opens as usual but fails to start, as one does
   when its device is lost or taken between the two. */
#include <portaudio.h>

PaError Pa_StartStream(PaStream* stream)
{
    (void)stream;
    return paDeviceUnavailable;
}
