// Writing sound files for the command-line programs: WAV (RF64 past 4 GiB),
// W64, AIFF, FLAC and Ogg Vorbis, from interleaved 32-bit float frames.
//
// A file is written under a hidden temporary name beside the target and
// renamed over it only when complete, so a failure or an interrupt never
// leaves a partial file nor touches an existing one. A target that is a
// symbolic link is written through to the file it names, as cp does: the
// link stays a link, and the temporary file sits beside the linked file.
//
// Integer output is rounded to the nearest step here, not by the library,
// and samples beyond full scale are clipped and counted.
//
// Threads: a writer is used by one thread at a time; different writers are
// independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::sound_files {

enum class Container { Wav, Rf64, W64, Aiff, Flac, OggVorbis };
enum class SampleFormat { Pcm16, Pcm24, Float32 };

struct OutputFormat {
    Container container = Container::Wav;
    int sampleRate = 44100;
    int channels = 2;
    SampleFormat sampleFormat = SampleFormat::Pcm16;  // ignored by Ogg Vorbis
};

// The container a file name asks for by its extension, in any case: .wav,
// .rf64, .w64, .aif/.aiff, .flac, .ogg. Nothing for another extension.
std::optional<Container> ContainerForExtension(std::string_view extension);
// The container a --format word names ("wav", "flac", ...); nothing otherwise.
std::optional<Container> ContainerForName(std::string_view name);
const char* ContainerExtension(Container container);  // ".wav", ".flac", ...
const char* ContainerName(Container container);       // "WAV", "FLAC", ...

// Whether `container` stores `format`: FLAC holds no float, and Ogg Vorbis
// has no sample depth at all.
bool HasSampleDepth(Container container);
bool TakesSampleFormat(Container container, SampleFormat format);

int BytesPerSample(SampleFormat format);
const char* DescribeSampleFormat(SampleFormat format);  // "16-bit PCM", ...
// "WAV, 16-bit PCM", "Ogg Vorbis".
std::string DescribeOutputFormat(const OutputFormat& format);

// The most frames a file of `format` can hold: WAV and AIFF sizes are 32-bit
// (4 GiB), the others have no practical limit (UINT64_MAX).
std::uint64_t MaxFrames(const OutputFormat& format);
// WAV when `frames` fit, RF64 (the 64-bit WAV) when they would not; any
// other container as it is.
Container ContainerForLength(const OutputFormat& format, std::uint64_t frames);

// Converts `count` samples to integers of `format` (Pcm16 or Pcm24), held in
// the top bits of an int32 as libsndfile takes them. Rounds to the nearest
// step and clips to the representable range; every sample clipped (NaN
// included, written as 0) is added to `clipped`.
void QuantiseSamples(const float* samples, std::size_t count, SampleFormat format, std::int32_t* out,
                     std::uint64_t& clipped);

// The file a write to `path` lands in: `path` itself, or, when it is a
// symbolic link, the file at the end of its links (which need not exist yet),
// relative targets taken from the link's own folder.
std::string WrittenPath(const std::string& path);

// What Commit does when the target exists by then.
enum class ExistingFile {
    Replace,  // it is replaced, in one step
    Keep,     // it is kept and the commit fails ("File exists")
};

class SoundFileWriter {
public:
    SoundFileWriter() = default;
    ~SoundFileWriter();  // abandons an uncommitted file
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    // Creates the temporary file beside `path`. False, with Error() set, when
    // the folder cannot take it, `path` is a folder, or the container cannot
    // hold this format (the encoder's own refusals included).
    bool Open(const std::string& path, const OutputFormat& format,
              ExistingFile existing = ExistingFile::Replace);
    // Appends interleaved frames. False, with Error() set, on a write failure
    // or when the file would pass MaxFrames.
    bool Write(const float* frames, std::size_t frameCount);
    // Completes the file, flushes it to disk and renames it over `path` (or
    // the file its links name).
    bool Commit();
    // Removes the temporary file; the target is left as it was.
    void Abandon();

    const std::string& Error() const { return error; }
    std::uint64_t FramesWritten() const { return framesWritten; }
    std::uint64_t ClippedSamples() const { return clipped; }
    const std::string& TemporaryPath() const { return temporaryPath; }

private:
    bool Fail(const std::string& what, int errorNumber);
    bool FailWithLibraryText(const std::string& what);

    std::string givenPath;   // as the caller named it, for messages
    std::string targetPath;  // where it lands: givenPath with its links followed
    std::string temporaryPath;
    ExistingFile existing = ExistingFile::Replace;
    OutputFormat format;
    void* file = nullptr;  // SNDFILE*
    int descriptor = -1;
    std::uint64_t framesWritten = 0;
    std::uint64_t clipped = 0;
    std::vector<std::int32_t> quantised;
    std::string error;
};

}  // namespace kelvane::sound_files
