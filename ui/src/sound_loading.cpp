#include "sound_loading.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace sevrane::ui {

namespace files = kelvane::sound_files;
using kelvane::playback::LoadedSound;

namespace {

SoundLoad Refused(std::string why)
{
    SoundLoad load;
    load.refusal = std::move(why);
    return load;
}

SoundLoad Loaded(const files::SoundInfo& info)
{
    SoundLoad load;
    load.outcome = LoadOutcome::Loaded;
    load.info = info;
    return load;
}

SoundLoad LoadWave(const std::string& nativePath, LoadedSound& sound)
{
    // The WAV loader reads in one go: the progress knows no total, and a
    // stop is taken once it returns.
    const kelvane::playback::LoadResult result = kelvane::playback::LoadSound(sound, nativePath);
    if (result != kelvane::playback::LoadResult::Loaded) {
        return Refused(kelvane::playback::GetLoadResultText(result));
    }
    files::SoundInfo info;
    info.sampleRate = static_cast<int>(sound.sampleRate);
    info.channels = sound.channels;
    info.frames = sound.frameCount;
    info.declaredFrames = sound.frameCount;
    info.encoding = files::SampleEncoding::Pcm;
    info.bitsPerSample = sound.format.bitsPerSample;
    info.formatName = "WAV, " + std::to_string(info.bitsPerSample) + "-bit PCM";
    return Loaded(info);
}

SoundLoad LoadOtherSound(const std::string& nativePath, LoadedSound& sound, TaskProgress& progress)
{
    files::SoundFileReader reader;
    if (reader.Open(nativePath) != files::ReadStatus::Ok) {
        return Refused(reader.Error());
    }
    const files::SoundInfo& info = reader.Info();
    // The player counts frames in 32 bits.
    constexpr std::int64_t kMostFrames = std::numeric_limits<std::int32_t>::max();
    if (info.frames > kMostFrames) {
        return Refused(std::to_string(info.frames) + " frames: at most " + std::to_string(kMostFrames) +
                       " can be played");
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(info.frames) * static_cast<std::uint64_t>(info.channels) *
                                sizeof(float);
    if (!sound.samples.Allocate(bytes)) {
        return Refused(std::to_string(bytes / (1024 * 1024)) + " MiB of samples are more than memory can hold");
    }
    const bool read = reader.Read(sound.samples.data(), info.frames, [&progress](std::int64_t done, std::int64_t total) {
        progress.Report(static_cast<std::uint64_t>(done), static_cast<std::uint64_t>(total));
        return !progress.StopRequested();
    });
    if (!read) {
        sound = LoadedSound{};
        return Refused(reader.Error());
    }
    sound.frameCount = static_cast<std::int32_t>(info.frames);
    sound.channels = info.channels;
    sound.sampleRate = static_cast<std::uint32_t>(info.sampleRate);
    sound.sampleBytes = bytes;
    return Loaded(info);
}

}  // namespace

SoundReader ReaderFor(const std::string& nativePath)
{
    const std::string::size_type slash = nativePath.rfind('/');
    const std::string name = slash == std::string::npos ? nativePath : nativePath.substr(slash + 1);
    constexpr std::string_view kWave = ".wav";
    if (name.size() <= kWave.size()) {
        return SoundReader::SoundFiles;
    }
    for (std::size_t i = 0; i < kWave.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[name.size() - kWave.size() + i]);
        if (std::tolower(c) != kWave[i]) {
            return SoundReader::SoundFiles;
        }
    }
    return SoundReader::Wave;
}

SoundLoad LoadAnySound(const std::string& nativePath, LoadedSound& sound, TaskProgress& progress)
{
    sound = LoadedSound{};
    SoundLoad load = ReaderFor(nativePath) == SoundReader::Wave ? LoadWave(nativePath, sound)
                                                                : LoadOtherSound(nativePath, sound, progress);
    // A stop asked for is a stop, even when it came as the reading ended.
    if (progress.StopRequested()) {
        sound = LoadedSound{};
        return {LoadOutcome::Cancelled, {}, {}};
    }
    return load;
}

}  // namespace sevrane::ui
