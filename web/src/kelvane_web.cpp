// The engine's surface for JavaScript: plain functions on numbers and
// addresses in the module's memory, since JavaScript cannot call through the
// operation table. Each forwards to the engine's operation of the same name.
// The sliders' arithmetic and labels are the window's own code, so that the
// page shows the same numbers, and the fold of many channels onto two is the
// desktop player's, so that the page plays the same samples.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kelvane/engine.h"
#include "playback/downmix.h"
#include "slider_mapping.h"

#define KELVANE_WEB_EXPORT extern "C" __attribute__((used, visibility("default")))

namespace {

// The last label asked for; JavaScript reads it before asking for another.
char labelText[32];

const char* KeepLabel(const std::string& text)
{
    const std::size_t length = std::min(text.size(), sizeof labelText - 1);
    std::memcpy(labelText, text.data(), length);
    labelText[length] = '\0';
    return labelText;
}

}  // namespace

// Buffers for the sound and for each block, allocated when a sound loads.
KELVANE_WEB_EXPORT float* web_allocate_floats(int count)
{
    return count > 0 ? static_cast<float*>(std::malloc(static_cast<std::size_t>(count) * sizeof(float))) : nullptr;
}

KELVANE_WEB_EXPORT void web_release(void* memory)
{
    std::free(memory);
}

// Creates an engine; returns its handle, or a negative status.
KELVANE_WEB_EXPORT long web_create(int sampleRate, int channels, int quality)
{
    EngineInterface* engine = nullptr;
    const int status = CreateInstance(&engine, sampleRate, channels, quality);
    return status == KELVANE_OK ? reinterpret_cast<long>(engine) : status;
}

KELVANE_WEB_EXPORT int web_destroy(EngineInterface* engine)
{
    return DestroyInstance(&engine);
}

KELVANE_WEB_EXPORT const char* web_error_text(int status)
{
    return GetErrorText(status);
}

KELVANE_WEB_EXPORT int web_reset(EngineInterface* e) { return e->operations->Reset(e); }
KELVANE_WEB_EXPORT int web_process(EngineInterface* e) { return e->operations->Process(e); }
KELVANE_WEB_EXPORT int web_flush(EngineInterface* e) { return e->operations->Flush(e); }
KELVANE_WEB_EXPORT int web_output_available(EngineInterface* e) { return e->operations->GetOutputAvailable(e); }
KELVANE_WEB_EXPORT int web_input_required(EngineInterface* e) { return e->operations->GetInputRequired(e); }

KELVANE_WEB_EXPORT int web_pull_output(EngineInterface* e, float* destination, int frames)
{
    return e->operations->PullOutput(e, destination, frames);
}

KELVANE_WEB_EXPORT int web_push_input(EngineInterface* e, const float* source, int frames, int direction)
{
    return e->operations->PushInput(e, source, frames, direction);
}

KELVANE_WEB_EXPORT int web_set_pitch_semitones(EngineInterface* e, float semitones)
{
    return e->operations->SetPitchSemitones(e, semitones);
}

KELVANE_WEB_EXPORT int web_set_speed_percent(EngineInterface* e, float percent)
{
    return e->operations->SetSpeedPercent(e, percent);
}

KELVANE_WEB_EXPORT int web_set_formant_semitones(EngineInterface* e, float semitones)
{
    return e->operations->SetFormantSemitones(e, semitones);
}

// The window's sliders, position by position.
KELVANE_WEB_EXPORT float web_pitch_from_slider(int position)
{
    return sevrane::ui::PitchFromSlider(position);
}

KELVANE_WEB_EXPORT float web_speed_percent_from_slider(int position)
{
    return sevrane::ui::SpeedFromSlider(position).percent;
}

KELVANE_WEB_EXPORT int web_speed_reverse_from_slider(int position)
{
    return sevrane::ui::SpeedFromSlider(position).reverse ? 1 : 0;
}

KELVANE_WEB_EXPORT const char* web_pitch_label(int position)
{
    return KeepLabel(sevrane::ui::PitchLabel(sevrane::ui::PitchFromSlider(position)));
}

KELVANE_WEB_EXPORT const char* web_speed_label(int position)
{
    return KeepLabel(sevrane::ui::SpeedLabel(sevrane::ui::SpeedFromSlider(position)));
}

// The desktop player's downmix: the gains made once when a sound loads
// (released with web_release), the fold once per block.
KELVANE_WEB_EXPORT kelvane::playback::DownmixGains* web_downmix_create(int channels)
{
    void* memory = std::malloc(sizeof(kelvane::playback::DownmixGains));
    return memory != nullptr ? new (memory) kelvane::playback::DownmixGains(kelvane::playback::DownmixFor(channels))
                             : nullptr;
}

KELVANE_WEB_EXPORT void web_fold_to_stereo(const kelvane::playback::DownmixGains* gains, const float* source,
                                           int channels, float* destination, int frames)
{
    kelvane::playback::FoldToStereo(*gains, source, channels, destination, frames);
}
