/*
 * Kelvane: real-time time-stretching and pitch-shifting.
 *
 * The engine is used through four free functions and a table of fourteen
 * operations. Create an engine for a sample rate and channel count, then per
 * block of audio: set pitch, speed and formant, push input frames, run
 * Process, pull output frames.
 *
 *     EngineInterface* engine = NULL;
 *     if (CreateInstance(&engine, 44100, 2, 1) != KELVANE_OK) ...
 *     engine->operations->SetPitchSemitones(engine, 3.0f);
 *     int wanted = engine->operations->GetInputRequired(engine);
 *     engine->operations->PushInput(engine, input, wanted, KELVANE_FORWARD);
 *     engine->operations->Process(engine);
 *     engine->operations->PullOutput(engine, output, frames);
 *     DestroyInstance(&engine);
 *
 * Audio is 32-bit float with the channels interleaved frame by frame; every
 * count is in frames. Every function returns 0 or a count on success and a
 * negative status on failure; GetErrorText turns a status into text.
 *
 * Real-time safety: all memory is allocated by CreateInstance (and by
 * SetSampleRate, which re-creates the instance). After that, the setters,
 * PushInput, Process, Flush, PullOutput and the queries allocate nothing, take
 * no lock, do no I/O and never block: they may be called from an audio
 * callback. Reset writes every staging ring (a few hundred KiB per channel)
 * and is meant for the control thread.
 *
 * Threads: an instance has no lock. It may be used by any thread, but by one
 * thread at a time. Different instances are independent. GetErrorText may be
 * called from any thread at any time.
 *
 * Latency: a frame comes out about 2N frames after it was pushed (2048 frames,
 * 46 ms, at 44100 Hz), and 74 frames more for the resampler (at unchanged
 * pitch; 74 divided by the pitch ratio otherwise, 1.7 ms at 44100 Hz);
 * parameters are stamped on the frames pushed after the change, so a change
 * is heard with that same delay. At a changed pitch the sound itself comes out
 * a little off that place, and not alike in the two bands: what lies below
 * about 1 kHz (the long frame's band) up to 23 ms late an octave down and 7 ms
 * early an octave up, the rest up to 12 ms late and 1.5 ms early (the band
 * timing of bench/sound_measures.py).
 *
 * Sound: the engine is a phase vocoder with three additions. Phase locking:
 * the bins around each magnitude peak take the peak's phase rotation, so
 * steady tones keep their level. Onsets once: an onset (a click, a drum hit)
 * is placed where the input holds it, at its input time divided by the
 * speed, in every frame that holds it, so it comes out once and compact and
 * slowing down does not repeat it; faster than the input it keeps its level
 * at both qualities (a click within about 3 dB, up to 400 %), also when the
 * one before leaves the analysis just as it comes in, and so does a drum hit
 * over a chord, which the long frame sees in the short band's frequencies:
 * its first 5 ms within about 3 dB (not while formants are corrected; at
 * 400 % it may come out up to 1.3 ms late). Steady noise
 * is no onset: at quality 0 a rise must also stand out from the band's usual
 * rises, so noise there comes out within -1.4 to +0.9 dB of its level; at
 * quality 1 stretched noise still comes out 0.8 to 2.9 dB weaker than steady
 * tones, whose level is kept. Linked
 * channels: all channels lock to the peaks of their summed magnitude with one
 * shared rotation per peak, so the
 * differences between channels (the stereo image) survive; a bin whose
 * phase advance (summed over the channels) strays more than half a bin from
 * its peak's sounds something else, a noise bed beside a tone, and keeps its
 * own rotation, shared by the channels, so it keeps its place in the image
 * too. A one-channel engine is unchanged by this. Clean high frequencies: pitch is changed by
 * reading the result through a band-limited resampler (a windowed sinc, its
 * cut-off lowered as the pitch rises), so a shifted sound brings no tones of
 * its own: images and folded components stay more than 60 dB below the tone,
 * the level stays within 0.5 dB up to 16 kHz, and what would land above the
 * output's band is left out. At unchanged pitch the samples pass untouched.
 * Where speed equals pitch, a plain overlap-add bypass takes over, cross-faded
 * over 10000 frames (a quarter of a second at 44100 Hz) that begin 2N frames
 * after the two become equal (the bypass rests while the vocoder plays alone).
 */
#ifndef KELVANE_ENGINE_H
#define KELVANE_ENGINE_H

#if defined(_WIN32)
#define KELVANE_API __declspec(dllexport)
#elif defined(__GNUC__)
#define KELVANE_API __attribute__((visibility("default")))
#else
#define KELVANE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
enum {
    KELVANE_OK = 0,
    KELVANE_ERROR_CHANNEL_COUNT = -10000,  /* "Incorrect number of channels." */
    KELVANE_ERROR_OUT_OF_MEMORY = -9999,   /* "Out of memory." */
    KELVANE_ERROR_NO_INSTANCE = -9998,     /* "Instance does not exist." */
    KELVANE_ERROR_SAMPLE_RATE = -9997,     /* "Incompatible sample rate." */
    KELVANE_ERROR_NOT_INITIALISED = -9996, /* "Not initialised." */
    KELVANE_ERROR_OUT_OF_RANGE = -9995,    /* "Value out of range." */
    KELVANE_ERROR_TOO_MANY_FRAMES = -9994, /* "Too Many Frames Requested." */
    KELVANE_ERROR_NULL_SOURCE = -9993      /* no text */
};

/* Directions of PushInput. */
enum {
    KELVANE_FORWARD = 0,            /* the block as it is */
    KELVANE_REVERSE = 1,            /* the block last frame first */
    KELVANE_REVERSE_TO_FORWARD = 2, /* cross-fade from reversed to forward over the block */
    KELVANE_FORWARD_TO_REVERSE = 3  /* cross-fade from forward to reversed over the block */
};

typedef struct EngineInterface EngineInterface;

/*
 * The operation table. The slot order is part of the ABI. Every operation
 * takes the interface first and returns KELVANE_ERROR_NOT_INITIALISED when the
 * interface holds no instance (SetSampleRate returns 0 then).
 */
typedef struct EngineOperations {
    /* 0: re-creates the instance for a new rate (32000..196000 Hz), same
       channels and quality; parameters return to their defaults. Always 0;
       if the rate is refused or memory runs out, the interface is left
       without an instance. Allocates: not real-time safe. */
    int (*SetSampleRate)(EngineInterface*, int sampleRate);
    /* 1: clears all streaming state, keeps pitch, speed and formant. 0. */
    int (*Reset)(EngineInterface*);
    /* 2: processes staged input; returns the output frames available.
       Output that was not pulled is never overwritten: when the output ring
       (65536 frames) is nearly full, processing pauses until a pull. Real-time
       safe. Works with flush-to-zero and denormals-are-zero set on the calling
       thread and gives the thread its own setting back before it returns. */
    int (*Process)(EngineInterface*);
    /* 3: stages silence behind the input and processes until every pushed
       frame has reached the output; returns the output frames available.
       Real-time safe (bounded work). A second Flush adds nothing. Leaves the
       thread's floating-point mode as Process does. */
    int (*Flush)(EngineInterface*);
    /* 4: output frames waiting to be pulled. Real-time safe. */
    int (*GetOutputAvailable)(EngineInterface*);
    /* 5: input frames to push before the next Process: 2N right after
       Reset, then multiples of the hop, at most 65536 (the input ring); 0
       while frozen or while the speeds in effect are not positive.
       Real-time safe. */
    int (*GetInputRequired)(EngineInterface*);
    /* 6: copies `frames` interleaved frames out; 0, or (nothing copied)
       KELVANE_ERROR_NULL_SOURCE for a null destination and frames > 0,
       KELVANE_ERROR_OUT_OF_RANGE for a negative count, and
       KELVANE_ERROR_TOO_MANY_FRAMES when more than are available.
       Real-time safe. */
    int (*PullOutput)(EngineInterface*, float* destination, int frames);
    /* 7: stages `frames` interleaved frames in the given direction, stamped
       with the current speed and pitch; 0, KELVANE_ERROR_NULL_SOURCE, or
       KELVANE_ERROR_OUT_OF_RANGE (nothing staged) for a negative count or
       more frames than the input ring has room for. Real-time safe. */
    int (*PushInput)(EngineInterface*, const float* source, int frames, int direction);
    /* 8: pitch in semitones, -24..24; KELVANE_ERROR_OUT_OF_RANGE leaves it. */
    int (*SetPitchSemitones)(EngineInterface*, float semitones);
    /* 9: pitch in percent, 25..400; KELVANE_ERROR_OUT_OF_RANGE leaves it. */
    int (*SetPitchPercent)(EngineInterface*, float percent);
    /* 10: formant shift in semitones, -24..24; 0 switches correction off.
       Set it equal to the pitch to keep the input's formants in place. The
       envelope rides on the harmonics over a span that follows their
       spacing, so low and high voices alike keep their formants; no bin is
       lifted by more than 39 dB. All channels share one envelope, built from
       their mean magnitude, so every bin keeps its balance between the
       channels and the stereo image stays in place. */
    int (*SetFormantSemitones)(EngineInterface*, float semitones);
    /* 11: formant shift in percent, 25..400. */
    int (*SetFormantPercent)(EngineInterface*, float percent);
    /* 12: speed in percent, 0..400; 0 freezes the output on the current
       position. A value outside the range is applied all the same and
       KELVANE_ERROR_OUT_OF_RANGE is returned. */
    int (*SetSpeedPercent)(EngineInterface*, float percent);
    /* 13: the channel count, 1..8. */
    int (*GetChannelCount)(EngineInterface*);
} EngineOperations;

struct EngineInterface {
    const EngineOperations* operations;
    void* instance;
};

/* Creates an engine for 32000..196000 Hz and 1..8 channels; quality 1 (the
   default, overlap 4) or 0 (overlap 2, cheaper). Returns 0, or
   KELVANE_ERROR_SAMPLE_RATE, KELVANE_ERROR_CHANNEL_COUNT or
   KELVANE_ERROR_OUT_OF_MEMORY with *handle left NULL. Allocates. */
KELVANE_API int CreateInstance(EngineInterface** handle, int sampleRate, int channelCount, int quality);
/* Releases the engine and sets *handle to NULL; KELVANE_ERROR_NO_INSTANCE
   when there is none. */
KELVANE_API int DestroyInstance(EngineInterface** handle);
/* The text of a status: a constant string, valid for the life of the
   process. Codes without text return the last text given (empty after
   CreateInstance). Safe from any thread; never allocates. */
KELVANE_API const char* GetErrorText(int status);
/* 0x050601: one byte each for major, minor, revision. */
KELVANE_API int GetVersion(void);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_ENGINE_H */
