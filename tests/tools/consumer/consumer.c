/* A plain C program using an installed Kelvane: it is built against the
   installed headers and library only, once through the CMake package and
   once through pkg-config. Exits 0 when the engine works as documented. */
#include <kelvane/engine.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#ifndef KELVANE_EXPECTED_VERSION
#error "build with -DKELVANE_EXPECTED_VERSION=0xMMmmrr from the package's version"
#endif

enum { RATE = 44100, CHANNELS = 2, INPUT_FRAMES = RATE / 2 };

static int Check(int condition, const char* what)
{
    if (!condition) {
        fprintf(stderr, "consumer: %s\n", what);
    }
    return condition;
}

int main(void)
{
    EngineInterface* engine = NULL;
    static float input[INPUT_FRAMES * CHANNELS];
    static float output[65536 * CHANNELS];
    int pushed = 0;
    int pulled = 0;
    double energy = 0.0;
    int finite = 1;
    int i;

    if (!Check(GetVersion() == KELVANE_EXPECTED_VERSION, "GetVersion differs from the package version")) {
        return 1;
    }
    if (!Check(CreateInstance(&engine, 8000, CHANNELS, 1) == KELVANE_ERROR_SAMPLE_RATE && engine == NULL,
               "8000 Hz was not refused") ||
        !Check(GetErrorText(KELVANE_ERROR_SAMPLE_RATE)[0] != '\0', "no text for a refused rate")) {
        return 1;
    }
    if (!Check(CreateInstance(&engine, RATE, CHANNELS, 1) == KELVANE_OK, "CreateInstance failed")) {
        return 1;
    }

    for (i = 0; i < INPUT_FRAMES; ++i) {
        float value = 0.5f * (float)sin(2.0 * 3.14159265358979 * 440.0 * i / RATE);
        input[2 * i] = value;
        input[2 * i + 1] = -value;
    }
    engine->operations->SetPitchSemitones(engine, 3.0f);
    engine->operations->SetSpeedPercent(engine, 50.0f);
    engine->operations->Reset(engine);

    while (pushed < INPUT_FRAMES) {
        int wanted = engine->operations->GetInputRequired(engine);
        int available;
        if (wanted > INPUT_FRAMES - pushed) {
            wanted = INPUT_FRAMES - pushed;
        }
        if (!Check(engine->operations->PushInput(engine, input + 2 * pushed, wanted, KELVANE_FORWARD) == 0,
                   "PushInput failed")) {
            return 1;
        }
        pushed += wanted;
        engine->operations->Process(engine);
        available = engine->operations->GetOutputAvailable(engine);
        engine->operations->PullOutput(engine, output, available);
        for (i = 0; i < available * CHANNELS; ++i) {
            finite = finite && isfinite(output[i]);
            energy += (double)output[i] * output[i];
        }
        pulled += available;
    }
    {
        int remaining = engine->operations->Flush(engine);
        if (remaining > 0) {
            engine->operations->PullOutput(engine, output, remaining);
            pulled += remaining;
        }
    }
    DestroyInstance(&engine);

    /* Half speed: twice as many frames out as in, within a few hops. */
    if (!Check(finite, "output not finite") || !Check(energy > 1.0, "output silent") ||
        !Check(abs(pulled - 2 * INPUT_FRAMES) <= 2048, "output length is not twice the input")) {
        fprintf(stderr, "consumer: %d frames in, %d frames out\n", INPUT_FRAMES, pulled);
        return 1;
    }
    printf("consumer: %d frames in, %d frames out\n", INPUT_FRAMES, pulled);
    return engine == NULL ? 0 : 1;
}
