// Writing RIFF/WAVE files: 16- or 24-bit PCM (format tag 1) or 32-bit float
// (format tag 3). A file is written under a temporary name beside the target
// and renamed over it only when complete, so a failure or an interrupt never
// leaves a partial file nor touches an existing one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::render {

enum class SampleFormat { Pcm16, Pcm24, Float32 };

struct WavFormat {
    int sampleRate = 44100;
    int channels = 2;
    SampleFormat sampleFormat = SampleFormat::Pcm16;
};

int BytesPerSample(SampleFormat format);
const char* DescribeSampleFormat(SampleFormat format);  // "16-bit PCM", ...

// The most frames whose file still fits the 32-bit RIFF sizes.
std::uint64_t MaxWavFrames(const WavFormat& format);

// The header for `frames` frames: RIFF, "fmt " (and "fact" for float), and
// the "data" chunk header. Its size is the offset of the first sample.
std::vector<std::uint8_t> MakeWavHeader(const WavFormat& format, std::uint64_t frames);

// Converts `count` samples to little-endian bytes of `format` at `out`
// (count x BytesPerSample bytes). PCM rounds to the nearest step and clips to
// the representable range; every sample clipped (NaN included, written as 0)
// is added to `clipped`. Float is written as it is.
void EncodeSamples(const float* samples, std::size_t count, SampleFormat format, std::uint8_t* out,
                   std::uint64_t& clipped);

class WavFileWriter {
public:
    WavFileWriter() = default;
    ~WavFileWriter();  // abandons an uncommitted file
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    // Creates the temporary file beside `path`. False, with Error() set, when
    // the folder cannot take it or `path` is a folder.
    bool Open(const std::string& path, const WavFormat& format);
    // Appends interleaved frames. False, with Error() set, on a write failure
    // or when the file would outgrow the RIFF sizes.
    bool Write(const float* frames, std::size_t frameCount);
    // Completes the header, flushes to disk and renames over `path`.
    bool Commit();
    // Removes the temporary file; the target is left as it was.
    void Abandon();

    const std::string& Error() const { return error; }
    std::uint64_t FramesWritten() const { return framesWritten; }
    std::uint64_t ClippedSamples() const { return clipped; }
    const std::string& TemporaryPath() const { return temporaryPath; }

private:
    bool WriteBytes(const std::uint8_t* bytes, std::size_t size);
    bool Fail(const std::string& what, int errorNumber);

    std::string targetPath;
    std::string temporaryPath;
    WavFormat format;
    int descriptor = -1;
    std::uint64_t framesWritten = 0;
    std::uint64_t clipped = 0;
    std::vector<std::uint8_t> encoded;
    std::string error;
};

}  // namespace kelvane::render
