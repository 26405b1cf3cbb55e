#include "playback/loaded_sound.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include "byte_source.h"
#include "riff_walk.h"

namespace kelvane::playback {

namespace {

constexpr std::uint32_t lowestSampleRate = 36000;

// Samples are converted a block at a time: a file is read through a scratch
// buffer of this size that stays in cache. A multiple of 6 bytes, so a block
// holds whole 8, 16 and 24-bit samples.
constexpr std::size_t conversionBlockBytes = 6 * 128 * 1024;

struct Conversion {
    unsigned bytesPerSample = 0;
    std::uint64_t sampleBytes = 0;
    std::uint64_t sampleCount = 0;  // of whole frames
    std::int32_t frameCount = 0;
};

// Every size here is in 64 bits: a 4 GiB "data" chunk times 4 must not wrap.
LoadResult PlanConversion(const LoadedSound& sound, Conversion& conversion)
{
    const std::uint64_t dataBytes = sound.dataBytes;
    switch (sound.format.bitsPerSample) {
        case 8:
            conversion.sampleBytes = dataBytes * 4;
            break;
        case 16:
            conversion.sampleBytes = dataBytes * 2;
            break;
        case 24:
            conversion.sampleBytes = dataBytes * 4 / 3;
            break;
        default:
            return LoadResult::UnsupportedBitDepth;
    }
    conversion.bytesPerSample = sound.format.bitsPerSample / 8u;
    const std::uint64_t channels = sound.format.channels;
    if (channels == 0) {
        return LoadResult::AppearsEmpty;
    }
    const std::uint64_t frames = conversion.sampleBytes / sizeof(float) / channels;
    // Nothing downstream can play or draw a sound without a whole frame.
    if (frames == 0) {
        return LoadResult::AppearsEmpty;
    }
    if (frames > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return LoadResult::FailedToLoad;
    }
    conversion.frameCount = static_cast<std::int32_t>(frames);
    conversion.sampleCount = frames * channels;
    return LoadResult::Loaded;
}

void ConvertRun(const std::uint8_t* __restrict raw, std::size_t count, unsigned bytesPerSample,
                float* __restrict out)
{
    switch (bytesPerSample) {
        case 1:
            for (std::size_t i = 0; i < count; ++i) {
                out[i] = static_cast<float>(raw[i]) * 0.0078125f - 1.0f;
            }
            break;
        case 2:
            for (std::size_t i = 0; i < count; ++i) {
                const auto value = static_cast<std::int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
                out[i] = std::clamp(static_cast<float>(value) * 0x1p-15f, -1.0f, 1.0f);
            }
            break;
        case 3:
            for (std::size_t i = 0; i < count; ++i) {
                // The top byte goes to bits 24..31 and the arithmetic shift brings
                // it back down with its sign.
                const auto packed = static_cast<std::uint32_t>(raw[3 * i]) << 8 |
                                    static_cast<std::uint32_t>(raw[3 * i + 1]) << 16 |
                                    static_cast<std::uint32_t>(raw[3 * i + 2]) << 24;
                out[i] = static_cast<float>(static_cast<std::int32_t>(packed) >> 8) * 0x1p-23f;
            }
            break;
        default:
            break;
    }
}

struct FreeDeleter {
    void operator()(std::uint8_t* block) const noexcept { std::free(block); }
};

// Plans, allocates and converts the sample data that starts at `dataOffset`
// in `source`. Leaves `sound` without samples when it fails.
LoadResult ConvertSource(LoadedSound& sound, ByteSource& source, std::uint64_t dataOffset)
{
    Conversion conversion;
    if (const LoadResult planned = PlanConversion(sound, conversion); planned != LoadResult::Loaded) {
        return planned;
    }
    if (!sound.samples.empty()) {
        return LoadResult::Loaded;
    }
    std::unique_ptr<std::uint8_t, FreeDeleter> scratch;
    if (source.NeedsScratch()) {
        scratch.reset(static_cast<std::uint8_t*>(std::malloc(conversionBlockBytes)));
        if (!scratch) {
            return LoadResult::FailedToLoad;
        }
    }
    // The memory comes zero-filled: the bytes past the last whole frame stay 0.
    if (!sound.samples.Allocate(conversion.sampleBytes)) {
        return LoadResult::FailedToLoad;
    }
    const std::size_t blockSamples = conversionBlockBytes / conversion.bytesPerSample;
    float* out = sound.samples.data();
    std::uint64_t offset = dataOffset;
    for (std::uint64_t remaining = conversion.sampleCount; remaining > 0;) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, blockSamples));
        const std::size_t rawBytes = count * conversion.bytesPerSample;
        const std::uint8_t* raw = source.View(offset, rawBytes, scratch.get());
        if (raw == nullptr) {
            sound.samples.Release();
            return LoadResult::FailedToLoad;
        }
        ConvertRun(raw, count, conversion.bytesPerSample, out);
        out += count;
        offset += rawBytes;
        remaining -= count;
    }
    sound.sampleBytes = conversion.sampleBytes;
    sound.frameCount = conversion.frameCount;
    sound.channels = sound.format.channels;
    sound.sampleRate = sound.format.sampleRate;
    return LoadResult::Loaded;
}

LoadResult LoadFromSource(LoadedSound& sound, ByteSource& source)
{
    WaveLayout layout;
    if (!WalkWaveChunks(source, layout) || layout.dataSize == 0) {
        return LoadResult::AppearsEmpty;
    }
    // The declared size is checked against the bytes really there before any
    // memory is set aside for it. A chunk that cannot be read in full is
    // reported before anything about its format.
    if (layout.dataOffset + layout.dataSize > source.Size()) {
        return LoadResult::FailedToLoad;
    }
    sound.format = layout.format;
    sound.dataBytes = layout.dataSize;
    if (sound.format.formatTag != 1) {
        return LoadResult::NotUncompressedPcm;
    }
    if (sound.format.sampleRate < lowestSampleRate) {
        return LoadResult::SampleRateTooLow;
    }
    return ConvertSource(sound, source, layout.dataOffset);
}

}  // namespace

const char* GetLoadResultText(LoadResult result) noexcept
{
    switch (result) {
        case LoadResult::Loaded:
            return "";
        case LoadResult::AppearsEmpty:
            return "Wave file appears to be empty";
        case LoadResult::FailedToLoad:
            return "Wave file failed to load, please try another";
        case LoadResult::NotUncompressedPcm:
            return "Wave file needs to be an uncompressed PCM";
        case LoadResult::SampleRateTooLow:
            return "Sample rate too low!";
        case LoadResult::UnsupportedBitDepth:
            return "Only accepts 8/16/24 bit files";
    }
    return "";
}

LoadedSound::LoadedSound(LoadedSound&& other) noexcept
    : Sound(std::move(other)),
      format(std::exchange(other.format, WaveFormat{})),
      dataBytes(std::exchange(other.dataBytes, 0)),
      sampleBytes(std::exchange(other.sampleBytes, 0))
{
}

LoadedSound& LoadedSound::operator=(LoadedSound&& other) noexcept
{
    if (this != &other) {
        Sound::operator=(std::move(other));
        format = std::exchange(other.format, WaveFormat{});
        dataBytes = std::exchange(other.dataBytes, 0);
        sampleBytes = std::exchange(other.sampleBytes, 0);
    }
    return *this;
}

LoadResult LoadSound(LoadedSound& sound, const std::string& utf8Path)
{
    sound = LoadedSound{};
    FileSource file;
    if (!file.Open(utf8Path)) {
        return LoadResult::AppearsEmpty;
    }
    return LoadFromSource(sound, file);
}

LoadResult LoadSoundFromMemory(LoadedSound& sound, const std::uint8_t* bytes, std::size_t size)
{
    sound = LoadedSound{};
    MemorySource memory(bytes, size);
    return LoadFromSource(sound, memory);
}

LoadResult ConvertToFloat(LoadedSound& sound, const std::uint8_t* dataBytes)
{
    MemorySource memory(dataBytes, sound.dataBytes);
    return ConvertSource(sound, memory, 0);
}

}  // namespace kelvane::playback
