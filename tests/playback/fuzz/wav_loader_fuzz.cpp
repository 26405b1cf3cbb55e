// libFuzzer target: any bytes given to the loader give one of its results,
// never a read outside them, and a sound it accepts is whole.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "playback/loaded_sound.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    kelvane::playback::LoadedSound sound;
    const kelvane::playback::LoadResult result = kelvane::playback::LoadSoundFromMemory(sound, bytes, size);
    const char* text = kelvane::playback::GetLoadResultText(result);
    if (result != kelvane::playback::LoadResult::Loaded) {
        if (std::strlen(text) == 0 || !sound.samples.empty() || sound.frameCount != 0) {
            __builtin_trap();
        }
        return 0;
    }
    const std::uint64_t floats =
        std::uint64_t{sound.format.channels} * static_cast<std::uint64_t>(sound.frameCount);
    if (sound.frameCount < 1 || sound.format.channels == 0 || floats * sizeof(float) > sound.sampleBytes ||
        sound.samples.bytes() != sound.sampleBytes ||
        reinterpret_cast<std::uintptr_t>(sound.samples.data()) % 16 != 0) {
        __builtin_trap();
    }
    // Every byte of the sample memory is touched, so that the sanitizer sees
    // a block smaller than claimed; the floats must be in range.
    const float* samples = sound.samples.data();
    for (std::uint64_t i = 0; i < sound.sampleBytes / sizeof(float); ++i) {
        if (!(samples[i] >= -1.0f && samples[i] <= 1.0f)) {
            __builtin_trap();
        }
    }
    return 0;
}
