// Loading a WAV file (RIFF form "WAVE") into interleaved float32 frames.
//
// Only uncompressed PCM with 8, 16 or 24 bits per sample at 36000 Hz or more
// is accepted. A load either succeeds or gives exactly one refusal, whose text
// GetLoadResultText returns for the caller to show; the loader itself shows
// and prints nothing.
//
// Threads: the loading functions keep no shared state; any thread may load,
// and different threads may load into different LoadedSound objects at once.
// None of them is real-time safe (they open files and allocate).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "playback/sound.h"

namespace kelvane::playback {

// The outcome of a load. Every refusal has its own text.
enum class LoadResult : int {
    Loaded = 0,
    AppearsEmpty = -1,         // cannot be opened or parsed, no "data", no whole frame
    FailedToLoad = -2,         // data cannot be read in full, too large, out of memory
    NotUncompressedPcm = -3,   // format tag other than 1
    SampleRateTooLow = -4,     // below 36000 Hz
    UnsupportedBitDepth = -5,  // bits per sample other than 8, 16 or 24
};

// The text to show for a refusal; "" for Loaded. Never null.
const char* GetLoadResultText(LoadResult result) noexcept;

// The format block of the file, as stored (nothing here is checked except
// where LoadSound says so).
struct WaveFormat {
    std::uint16_t formatTag = 0;  // 1 = PCM
    std::uint16_t channels = 0;
    std::uint32_t sampleRate = 0;
    std::uint32_t averageBytesPerSecond = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t extraFormatSize = 0;  // 0 for PCM
};

// One loaded file: the sound it holds, with the file's format beside it.
// After a successful load `frameCount` is at least 1, `samples` holds
// frameCount x channels floats followed by zeros up to `sampleBytes`, and the
// sound's `channels` and `sampleRate` are the format's. After a refusal
// nothing is held (frameCount 0, no samples, channels and rate 0); a refused
// format is left in the format fields, as read.
// Movable, not copyable; a moved-from sound is empty. The player takes it as
// the Sound it is, without a copy.
class LoadedSound : public Sound {
public:
    LoadedSound() noexcept = default;
    LoadedSound(LoadedSound&& other) noexcept;
    LoadedSound& operator=(LoadedSound&& other) noexcept;
    LoadedSound(const LoadedSound&) = delete;
    LoadedSound& operator=(const LoadedSound&) = delete;
    ~LoadedSound() = default;

    WaveFormat format;
    std::uint32_t dataBytes = 0;    // size of the "data" chunk
    std::uint64_t sampleBytes = 0;  // 8-bit: dataBytes x 4, 16-bit: x 2, 24-bit: x 4 / 3
};

// Loads the file at a UTF-8 file-system path of any length into `sound`,
// replacing whatever it held. Only regular files are read.
LoadResult LoadSound(LoadedSound& sound, const std::string& utf8Path);

// Loads a whole WAV file already in memory; same rules and results as
// LoadSound. `bytes` may be null when `size` is 0.
LoadResult LoadSoundFromMemory(LoadedSound& sound, const std::uint8_t* bytes, std::size_t size);

// Converts `sound.dataBytes` bytes of sample data at `dataBytes` to float
// after the format fields of `sound`: 8-bit unsigned u gives u / 128 - 1,
// 16-bit s gives s / 32768 clamped to [-1, 1], 24-bit v (sign-extended) gives
// v / 2^23. Refuses bit depths other than 8, 16 and 24, a sound with no whole
// frame (or no channel) as empty, and one of more than 2^31 - 1 frames or
// without memory for it as failed to load. A sound that already holds samples
// keeps them: the conversion runs once per load.
LoadResult ConvertToFloat(LoadedSound& sound, const std::uint8_t* dataBytes);

}  // namespace kelvane::playback
