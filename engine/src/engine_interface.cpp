// The free functions, the operation table and the argument checks of the
// engine's C surface.
#include <atomic>
#include <cmath>

#include "aligned_memory.h"
#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane {
namespace {

constexpr int engineVersion = 0x050601;
constexpr int minimumRate = 32000;
constexpr int maximumRate = 196000;
constexpr float percentCacheMark = -10000.0f;  // written by the percent setters

// The text GetErrorText gave last. Texts are constants and only this
// pointer changes, whole and lock-free, so threads asking at once each get a
// complete text of their own status.
std::atomic<const char*> lastErrorText{""};

EngineInstance* InstanceOf(EngineInterface* engine)
{
    return engine == nullptr ? nullptr : static_cast<EngineInstance*>(engine->instance);
}

void DestroyEngineInstance(EngineInterface* engine)
{
    DestroyObject(InstanceOf(engine));
    engine->instance = nullptr;
}

// Sizes the instance for the rate and builds it into the interface.
int BuildInstance(EngineInterface* engine, int rate, int channels, int quality)
{
    int blockFactor;
    float rateScale;
    const float rateAsFloat = static_cast<float>(rate);
    if (rate >= 192000) {
        blockFactor = 4;
        rateScale = rateAsFloat * FloatFromBits(0x36AEC33E);  // 1/192000
    } else if (rate >= 88000) {
        blockFactor = 4;
        rateScale = rateAsFloat * FloatFromBits(0x372EC33E);  // 1/96000
    } else if (rate <= 48000) {
        blockFactor = 1;
        rateScale = rateAsFloat * FloatFromBits(0x37BE37C6);  // 1/44100
    } else {
        blockFactor = 2;
        rateScale = rateAsFloat * FloatFromBits(0x3783126F);  // 1/64000
    }
    if (rate < minimumRate || rate > maximumRate) {
        return KELVANE_ERROR_SAMPLE_RATE;
    }
    if (channels < 1 || channels > maxChannels) {
        return KELVANE_ERROR_CHANNEL_COUNT;
    }
    auto* instance = CreateObject<EngineInstance>(rate, channels, 1024 * blockFactor, rateScale, quality);
    if (instance == nullptr) {
        return KELVANE_ERROR_OUT_OF_MEMORY;
    }
    if (instance->failed) {
        DestroyObject(instance);
        return KELVANE_ERROR_OUT_OF_MEMORY;
    }
    engine->instance = instance;
    return KELVANE_OK;
}

// Setter arguments are checked with the comparison written so that NaN is
// out of range: a NaN ratio would reach every control record.
bool InRange(float value, float low, float high)
{
    return value >= low && value <= high;
}

float SemitonesToRatio(float semitones)
{
    const long double lnTwoTwelfth = FloatFromBits(0x3D6C9820);  // ln 2 / 12 as a float
    return static_cast<float>(std::exp(static_cast<long double>(semitones) * lnTwoTwelfth));
}

float PercentToRatio(float percent)
{
    return percent * FloatFromBits(0x3C23D70A);  // 0.01f
}

int SetSampleRateSlot(EngineInterface* engine, int sampleRate)
{
    EngineInstance* instance = InstanceOf(engine);
    if (instance == nullptr) {
        return KELVANE_OK;
    }
    const int channels = instance->channelCount;
    const int quality = instance->quality;
    DestroyEngineInstance(engine);
    BuildInstance(engine, sampleRate, channels, quality);
    return KELVANE_OK;
}

int ResetSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    if (instance == nullptr) {
        return KELVANE_ERROR_NOT_INITIALISED;
    }
    instance->Reset();
    return KELVANE_OK;
}

int ProcessSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->Process();
}

int FlushSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->Flush();
}

int GetOutputAvailableSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->GetOutputAvailable();
}

int GetInputRequiredSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->GetInputRequired();
}

int PullOutputSlot(EngineInterface* engine, float* destination, int frames)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->PullOutput(destination, frames);
}

int PushInputSlot(EngineInterface* engine, const float* source, int frames, int direction)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED
                               : instance->PushInput(source, frames, direction);
}

// The semitone setters share their checks; `store` puts the ratio in place.
template <void (EngineInstance::*store)(float), float EngineInstance::*cache>
int SetSemitones(EngineInterface* engine, float semitones)
{
    EngineInstance* instance = InstanceOf(engine);
    if (instance == nullptr) {
        return KELVANE_ERROR_NOT_INITIALISED;
    }
    if (semitones == instance->*cache) {
        return KELVANE_OK;
    }
    if (!InRange(semitones, -24.0f, 24.0f)) {
        return KELVANE_ERROR_OUT_OF_RANGE;
    }
    instance->*cache = semitones;
    (instance->*store)(SemitonesToRatio(semitones));
    return KELVANE_OK;
}

template <void (EngineInstance::*store)(float), float EngineInstance::*cache>
int SetPercent(EngineInterface* engine, float percent)
{
    EngineInstance* instance = InstanceOf(engine);
    if (instance == nullptr) {
        return KELVANE_ERROR_NOT_INITIALISED;
    }
    if (!InRange(percent, 25.0f, 400.0f)) {
        return KELVANE_ERROR_OUT_OF_RANGE;
    }
    (instance->*store)(PercentToRatio(percent));
    instance->*cache = percentCacheMark;
    return KELVANE_OK;
}

int SetSpeedPercentSlot(EngineInterface* engine, float percent)
{
    EngineInstance* instance = InstanceOf(engine);
    if (instance == nullptr) {
        return KELVANE_ERROR_NOT_INITIALISED;
    }
    if (percent == instance->speedPercentCache) {
        return KELVANE_OK;
    }
    // Out-of-range speeds are applied and reported; NaN cannot be applied
    // and is refused outright.
    if (std::isnan(percent)) {
        return KELVANE_ERROR_OUT_OF_RANGE;
    }
    const bool outOfRange = !InRange(percent, 0.0f, 400.0f);
    instance->speedPercentCache = percent;
    instance->StoreSpeedRatio(PercentToRatio(percent));
    return outOfRange ? KELVANE_ERROR_OUT_OF_RANGE : KELVANE_OK;
}

int GetChannelCountSlot(EngineInterface* engine)
{
    EngineInstance* instance = InstanceOf(engine);
    return instance == nullptr ? KELVANE_ERROR_NOT_INITIALISED : instance->channelCount;
}

constexpr EngineOperations operationTable = {
    &SetSampleRateSlot,
    &ResetSlot,
    &ProcessSlot,
    &FlushSlot,
    &GetOutputAvailableSlot,
    &GetInputRequiredSlot,
    &PullOutputSlot,
    &PushInputSlot,
    &SetSemitones<&EngineInstance::StorePitchRatio, &EngineInstance::pitchSemitoneCache>,
    &SetPercent<&EngineInstance::StorePitchRatio, &EngineInstance::pitchSemitoneCache>,
    &SetSemitones<&EngineInstance::StoreFormantRatio, &EngineInstance::formantSemitoneCache>,
    &SetPercent<&EngineInstance::StoreFormantRatio, &EngineInstance::formantSemitoneCache>,
    &SetSpeedPercentSlot,
    &GetChannelCountSlot,
};

struct ErrorEntry {
    int status;
    const char* text;
};

constexpr ErrorEntry errorTexts[] = {
    {KELVANE_ERROR_CHANNEL_COUNT, "Incorrect number of channels."},
    {KELVANE_ERROR_OUT_OF_MEMORY, "Out of memory."},
    {KELVANE_ERROR_NO_INSTANCE, "Instance does not exist."},
    {KELVANE_ERROR_SAMPLE_RATE, "Incompatible sample rate."},
    {KELVANE_ERROR_NOT_INITIALISED, "Not initialised."},
    {KELVANE_ERROR_OUT_OF_RANGE, "Value out of range."},
    {KELVANE_ERROR_TOO_MANY_FRAMES, "Too Many Frames Requested."},
};

}  // namespace
}  // namespace kelvane

using namespace kelvane;

extern "C" KELVANE_API int CreateInstance(EngineInterface** handle, int sampleRate, int channelCount, int quality)
{
    lastErrorText.store("", std::memory_order_relaxed);
    if (handle == nullptr) {
        return KELVANE_ERROR_NULL_SOURCE;
    }
    void* block = AlignedAllocate(sizeof(EngineInterface));
    if (block == nullptr) {
        *handle = nullptr;
        return KELVANE_ERROR_OUT_OF_MEMORY;
    }
    auto* engine = new (block) EngineInterface{&operationTable, nullptr};
    *handle = engine;
    const int status = BuildInstance(engine, sampleRate, channelCount, quality);
    if (status != KELVANE_OK) {
        AlignedRelease(engine);
        *handle = nullptr;
    }
    return status;
}

extern "C" KELVANE_API int DestroyInstance(EngineInterface** handle)
{
    if (handle == nullptr || *handle == nullptr) {
        return KELVANE_ERROR_NO_INSTANCE;
    }
    // An interface left without an instance by a failed SetSampleRate can
    // never get one back; it is released too, so that it does not leak, and
    // reported as holding no instance.
    const int status = InstanceOf(*handle) == nullptr ? KELVANE_ERROR_NO_INSTANCE : KELVANE_OK;
    DestroyEngineInstance(*handle);
    AlignedRelease(*handle);
    *handle = nullptr;
    return status;
}

extern "C" KELVANE_API const char* GetErrorText(int status)
{
    for (const ErrorEntry& entry : errorTexts) {
        if (entry.status == status) {
            lastErrorText.store(entry.text, std::memory_order_relaxed);
            return entry.text;
        }
    }
    return lastErrorText.load(std::memory_order_relaxed);
}

extern "C" KELVANE_API int GetVersion(void)
{
    return engineVersion;
}
