// The LV2 plug-ins: a mono and a stereo pitch shifter, each one PitchShifter
// behind the host's ports. Everything is allocated in instantiate; run reads
// the ports once per block and hands them to the shifter.
#include <lv2/core/lv2.h>
#include <lv2/core/lv2_util.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>

#include <cmath>
#include <memory>
#include <new>

#include "pitch_shifter.h"

namespace kelvane::lv2 {
namespace {

#define KELVANE_LV2_URI "https://www.valtrix.example/plugins/kelvane/"

// The controls come first, at the same indices in both plug-ins; the audio
// ports follow, inputs before outputs.
enum Port : uint32_t {
    kPitch = 0,
    kPreserveFormants = 1,
    kFormant = 2,
    kFreeze = 3,
    kLatency = 4,
    kFirstAudio = 5,
};

constexpr int kMinSampleRate = 32000;
constexpr int kMaxSampleRate = 196000;

struct Plugin {
    std::unique_ptr<PitchShifter> shifter;
    int channels = 0;
    const float* controls[kLatency] = {};
    float* latency = nullptr;
    const float* inputs[2] = {};
    float* outputs[2] = {};
};

int ChannelsOf(const LV2_Descriptor* descriptor);

LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features)
{
    LV2_Log_Log* log = static_cast<LV2_Log_Log*>(lv2_features_data(features, LV2_LOG__log));
    LV2_URID_Map* map = static_cast<LV2_URID_Map*>(lv2_features_data(features, LV2_URID__map));
    LV2_Log_Logger logger;
    lv2_log_logger_init(&logger, map, log);

    const int channels = ChannelsOf(descriptor);
    const int sampleRate = static_cast<int>(std::lround(rate));
    int status = KELVANE_ERROR_SAMPLE_RATE;
    std::unique_ptr<PitchShifter> shifter;
    if (sampleRate == rate) {
        shifter = PitchShifter::Create(sampleRate, channels, &status);
    }
    if (shifter == nullptr) {
        if (status == KELVANE_ERROR_SAMPLE_RATE) {
            lv2_log_error(&logger, "%s: sample rate %g Hz is outside %d to %d Hz\n", descriptor->URI, rate,
                          kMinSampleRate, kMaxSampleRate);
        } else {
            lv2_log_error(&logger, "%s: %s\n", descriptor->URI, GetErrorText(status));
        }
        return nullptr;
    }
    Plugin* plugin = new (std::nothrow) Plugin();
    if (plugin == nullptr) {
        lv2_log_error(&logger, "%s: %s\n", descriptor->URI, GetErrorText(KELVANE_ERROR_OUT_OF_MEMORY));
        return nullptr;
    }
    plugin->shifter = std::move(shifter);
    plugin->channels = channels;
    return plugin;
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data)
{
    Plugin& plugin = *static_cast<Plugin*>(instance);
    if (port < kLatency) {
        plugin.controls[port] = static_cast<const float*>(data);
    } else if (port == kLatency) {
        plugin.latency = static_cast<float*>(data);
    } else if (port < kFirstAudio + static_cast<uint32_t>(plugin.channels)) {
        plugin.inputs[port - kFirstAudio] = static_cast<const float*>(data);
    } else if (port < kFirstAudio + 2 * static_cast<uint32_t>(plugin.channels)) {
        plugin.outputs[port - kFirstAudio - plugin.channels] = static_cast<float*>(data);
    }
}

void Activate(LV2_Handle instance)
{
    static_cast<Plugin*>(instance)->shifter->Reset();
}

float ControlValue(const float* port)
{
    return port != nullptr ? *port : 0.0f;
}

bool ToggleValue(const float* port)
{
    return port != nullptr && *port > 0.5f;
}

void Run(LV2_Handle instance, uint32_t frames)
{
    Plugin& plugin = *static_cast<Plugin*>(instance);
    if (plugin.latency != nullptr) {
        *plugin.latency = static_cast<float>(plugin.shifter->Latency());
    }
    for (int channel = 0; channel < plugin.channels; ++channel) {
        if (plugin.inputs[channel] == nullptr || plugin.outputs[channel] == nullptr) {
            return;
        }
    }
    ShifterControls controls;
    controls.pitchSemitones = ControlValue(plugin.controls[kPitch]);
    controls.preserveFormants = ToggleValue(plugin.controls[kPreserveFormants]);
    controls.formantSemitones = ControlValue(plugin.controls[kFormant]);
    controls.freeze = ToggleValue(plugin.controls[kFreeze]);
    plugin.shifter->Run(plugin.inputs, plugin.outputs, static_cast<int>(frames), controls);
}

void Deactivate(LV2_Handle instance)
{
    static_cast<Plugin*>(instance)->shifter->Reset();
}

void Cleanup(LV2_Handle instance)
{
    delete static_cast<Plugin*>(instance);
}

const void* ExtensionData(const char*)
{
    return nullptr;
}

const LV2_Descriptor kDescriptors[] = {
    {KELVANE_LV2_URI "#mono", Instantiate, ConnectPort, Activate, Run, Deactivate, Cleanup, ExtensionData},
    {KELVANE_LV2_URI "#stereo", Instantiate, ConnectPort, Activate, Run, Deactivate, Cleanup, ExtensionData},
};

int ChannelsOf(const LV2_Descriptor* descriptor)
{
    return descriptor == &kDescriptors[0] ? 1 : 2;
}

}  // namespace
}  // namespace kelvane::lv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    constexpr uint32_t count = sizeof kelvane::lv2::kDescriptors / sizeof kelvane::lv2::kDescriptors[0];
    return index < count ? &kelvane::lv2::kDescriptors[index] : nullptr;
}
