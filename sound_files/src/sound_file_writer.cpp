#include "sound_files/sound_file_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "sndfile_access.h"

namespace kelvane::sound_files {

namespace {

// The process's file-creation mask. The only way to read it is to set it and
// set it back, which must not race with other threads doing the same (a batch
// writes several files at once), so it is read once.
mode_t ProcessFileMask()
{
    static const mode_t mask = [] {
        const mode_t current = ::umask(0);
        ::umask(current);
        return current;
    }();
    return mask;
}


// WAV and AIFF count their sizes in 32 bits. The headers libsndfile writes
// take a few hundred bytes at most; this leaves room for any of them.
constexpr std::uint64_t kThirtyTwoBitSizeLimit = 0xFFFFFFFFu;
constexpr std::uint64_t kHeaderAllowance = 65536;

struct ContainerEntry {
    Container container;
    const char* word;  // for --format
    const char* extension;
    const char* name;
    int libraryFormat;
};

constexpr ContainerEntry kContainers[] = {
    {Container::Wav, "wav", ".wav", "WAV", SF_FORMAT_WAV},
    {Container::Rf64, "rf64", ".rf64", "RF64", SF_FORMAT_RF64},
    {Container::W64, "w64", ".w64", "W64", SF_FORMAT_W64},
    {Container::Aiff, "aiff", ".aiff", "AIFF", SF_FORMAT_AIFF},
    {Container::Flac, "flac", ".flac", "FLAC", SF_FORMAT_FLAC},
    {Container::OggVorbis, "ogg", ".ogg", "Ogg Vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS},
};

const ContainerEntry& EntryOf(Container container)
{
    for (const ContainerEntry& entry : kContainers) {
        if (entry.container == container) {
            return entry;
        }
    }
    return kContainers[0];
}

std::string Lowered(std::string_view text)
{
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

int LibraryFormatOf(const OutputFormat& format)
{
    int libraryFormat = EntryOf(format.container).libraryFormat;
    if (format.container == Container::OggVorbis) {
        return libraryFormat;
    }
    switch (format.sampleFormat) {
        case SampleFormat::Pcm16:
            return libraryFormat | SF_FORMAT_PCM_16;
        case SampleFormat::Pcm24:
            return libraryFormat | SF_FORMAT_PCM_24;
        case SampleFormat::Float32:
            return libraryFormat | SF_FORMAT_FLOAT;
    }
    return libraryFormat;
}

bool WritesIntegers(const OutputFormat& format)
{
    return format.container != Container::OggVorbis && format.sampleFormat != SampleFormat::Float32;
}

// Rounds to the nearest integer, halves to even, as nearbyint does in the
// default rounding mode, but with the processor's own conversion instead of
// a library call per sample. For |value| < 2^31 only.
std::int32_t RoundToInteger(float value)
{
#if defined(__SSE2__)
    return _mm_cvtss_si32(_mm_set_ss(value));
#else
    return static_cast<std::int32_t>(std::nearbyint(value));
#endif
}

#if defined(__SSE2__)
// Each lane of `chosen` where `mask` is set, else of `other`.
__m128i Select(__m128i mask, __m128i chosen, __m128i other)
{
    return _mm_or_si128(_mm_and_si128(mask, chosen), _mm_andnot_si128(mask, other));
}
#endif

// Beyond any sample depth, and inside what RoundToInteger takes.
constexpr float kFarBeyondFullScale = 1073741824.0f;  // 2^30

// Rounds to the nearest step and clips to [low, high]; NaN gives 0.
std::int32_t QuantiseSample(float sample, float scale, std::int32_t low, std::int32_t high, std::uint64_t& clipped)
{
    const float scaled = sample * scale;
    if (!(std::fabs(scaled) < kFarBeyondFullScale)) {
        ++clipped;
        if (std::isnan(scaled)) {
            return 0;
        }
        return scaled > 0.0f ? high : low;
    }
    const std::int32_t stepped = RoundToInteger(scaled);
    if (stepped > high) {
        ++clipped;
        return high;
    }
    if (stepped < low) {
        ++clipped;
        return low;
    }
    return stepped;
}

}  // namespace

std::optional<Container> ContainerForExtension(std::string_view extension)
{
    const std::string lowered = Lowered(extension);
    if (lowered == ".aif") {
        return Container::Aiff;
    }
    for (const ContainerEntry& entry : kContainers) {
        if (lowered == entry.extension) {
            return entry.container;
        }
    }
    return std::nullopt;
}

std::optional<Container> ContainerForName(std::string_view name)
{
    const std::string lowered = Lowered(name);
    for (const ContainerEntry& entry : kContainers) {
        if (lowered == entry.word) {
            return entry.container;
        }
    }
    return std::nullopt;
}

const char* ContainerExtension(Container container)
{
    return EntryOf(container).extension;
}

const char* ContainerName(Container container)
{
    return EntryOf(container).name;
}

bool HasSampleDepth(Container container)
{
    return container != Container::OggVorbis;
}

bool TakesSampleFormat(Container container, SampleFormat format)
{
    if (container == Container::OggVorbis) {
        return false;
    }
    return !(container == Container::Flac && format == SampleFormat::Float32);
}

int BytesPerSample(SampleFormat format)
{
    switch (format) {
        case SampleFormat::Pcm16:
            return 2;
        case SampleFormat::Pcm24:
            return 3;
        case SampleFormat::Float32:
            return 4;
    }
    return 4;
}

const char* DescribeSampleFormat(SampleFormat format)
{
    switch (format) {
        case SampleFormat::Pcm16:
            return "16-bit PCM";
        case SampleFormat::Pcm24:
            return "24-bit PCM";
        case SampleFormat::Float32:
            return "32-bit float";
    }
    return "";
}

std::string DescribeOutputFormat(const OutputFormat& format)
{
    std::string text = ContainerName(format.container);
    if (HasSampleDepth(format.container)) {
        text.append(", ").append(DescribeSampleFormat(format.sampleFormat));
    }
    return text;
}

std::uint64_t MaxFrames(const OutputFormat& format)
{
    if (format.container != Container::Wav && format.container != Container::Aiff) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    const std::uint64_t blockAlign =
        static_cast<std::uint64_t>(std::max(format.channels, 1)) * BytesPerSample(format.sampleFormat);
    return (kThirtyTwoBitSizeLimit - kHeaderAllowance) / blockAlign;
}

Container ContainerForLength(const OutputFormat& format, std::uint64_t frames)
{
    if (format.container == Container::Wav && frames > MaxFrames(format)) {
        return Container::Rf64;
    }
    return format.container;
}

void QuantiseSamples(const float* samples, std::size_t count, SampleFormat format, std::int32_t* out,
                     std::uint64_t& clipped)
{
    const bool deep = format == SampleFormat::Pcm24;
    const float scale = deep ? 8388608.0f : 32768.0f;
    const std::int32_t low = deep ? -8388608 : -32768;
    const std::int32_t high = deep ? 8388607 : 32767;
    const int shift = deep ? 8 : 16;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Four at a time, the same steps as QuantiseSample: the processor rounds
    // (halves to even), and the rounded value decides the clipping. Beyond
    // what it converts (NaN, or past 2^31) it gives INT_MIN, which reads as
    // below `low`; NaN is then made 0 and a large positive value `high`.
    const __m128 scales = _mm_set1_ps(scale);
    const __m128 highs = _mm_set1_ps(static_cast<float>(high));
    const __m128 lows = _mm_set1_ps(static_cast<float>(low));
    const __m128 farBeyond = _mm_set1_ps(kFarBeyondFullScale);
    const __m128i highSteps = _mm_set1_epi32(high);
    const __m128i lowSteps = _mm_set1_epi32(low);
    const __m128i shiftBy = _mm_cvtsi32_si128(shift);
    __m128i clippedLanes = _mm_setzero_si128();
    for (; i + 4 <= count; i += 4) {
        const __m128 scaled = _mm_mul_ps(_mm_loadu_ps(samples + i), scales);
        const __m128i stepped = _mm_cvtps_epi32(scaled);
        const __m128 rounded = _mm_cvtepi32_ps(stepped);
        const __m128 over = _mm_or_ps(_mm_cmpgt_ps(rounded, highs), _mm_cmpge_ps(scaled, farBeyond));
        const __m128 under = _mm_andnot_ps(over, _mm_cmplt_ps(rounded, lows));
        const __m128 notNumber = _mm_cmpunord_ps(scaled, scaled);
        __m128i value = stepped;
        value = Select(_mm_castps_si128(under), lowSteps, value);
        value = Select(_mm_castps_si128(over), highSteps, value);
        value = _mm_andnot_si128(_mm_castps_si128(notNumber), value);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_sll_epi32(value, shiftBy));
        // A set lane is -1: subtracting counts it.
        clippedLanes = _mm_sub_epi32(clippedLanes, _mm_castps_si128(_mm_or_ps(_mm_or_ps(over, under), notNumber)));
    }
    alignas(16) std::uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), clippedLanes);
    clipped += static_cast<std::uint64_t>(lanes[0]) + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i < count; ++i) {
        const std::int32_t value = QuantiseSample(samples[i], scale, low, high, clipped);
        out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) << shift);
    }
}

std::string WrittenPath(const std::string& path)
{
    namespace fs = std::filesystem;
    // As many links as the system itself follows before it gives up.
    constexpr int kMostLinks = 40;
    fs::path landing(path);
    for (int links = 0; links < kMostLinks; ++links) {
        std::error_code failed;
        if (!fs::is_symlink(fs::symlink_status(landing, failed))) {
            break;
        }
        const fs::path target = fs::read_symlink(landing, failed);
        if (failed) {
            break;
        }
        landing = target.is_absolute() ? target : landing.parent_path() / target;
    }
    return landing.string();
}

namespace {

// Renames `from` to `to` unless `to` exists. File systems without an atomic
// rename that keeps the target make a hard link instead, which refuses an
// existing target as well.
int RenameKeepingTarget(const char* from, const char* to)
{
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    if (::link(from, to) != 0) {
        return -1;
    }
    return ::unlink(from);
}

}  // namespace

SoundFileWriter::~SoundFileWriter()
{
    Abandon();
}

bool SoundFileWriter::Open(const std::string& path, const OutputFormat& outputFormat, ExistingFile whenExisting)
{
    Abandon();
    error.clear();
    framesWritten = 0;
    clipped = 0;
    givenPath = path;
    targetPath = WrittenPath(path);
    existing = whenExisting;
    format = outputFormat;

    if (HasSampleDepth(format.container) && !TakesSampleFormat(format.container, format.sampleFormat)) {
        return Fail("cannot write " + path + ": " + ContainerName(format.container) + " cannot hold " +
                        DescribeSampleFormat(format.sampleFormat),
                    0);
    }

    namespace fs = std::filesystem;
    const fs::path target(targetPath);
    struct stat present;
    const bool exists = ::stat(targetPath.c_str(), &present) == 0;
    if (target.filename().empty() || (exists && S_ISDIR(present.st_mode))) {
        return Fail("cannot write " + path, EISDIR);
    }

    // Beside the target, so the final rename stays within one file system.
    fs::path folder = target.parent_path();
    if (folder.empty()) {
        folder = ".";
    }
    std::string hiddenName(1, '.');
    hiddenName.append(target.filename().string()).append(".XXXXXX");
    std::string pattern = (folder / hiddenName).string();
    descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return Fail("cannot write " + path, errno);
    }
    temporaryPath = pattern;

    // mkstemp makes the file private; give it the mode a plain create (or
    // the file it replaces) would have.
    mode_t mode;
    if (exists) {
        mode = present.st_mode & 07777;
    } else {
        mode = 0666 & ~ProcessFileMask();
    }
    if (::fchmod(descriptor, mode) != 0) {
        return Fail("cannot write " + path, errno);
    }

    SF_INFO libraryInfo = {};
    libraryInfo.samplerate = format.sampleRate;
    libraryInfo.channels = format.channels;
    libraryInfo.format = LibraryFormatOf(format);
    std::lock_guard<std::mutex> hold(LibraryOpenLock());
    if (!sf_format_check(&libraryInfo)) {
        return Fail("cannot write " + path + ": " + DescribeOutputFormat(format) + " cannot hold " +
                        std::to_string(format.channels) + " channels at " + std::to_string(format.sampleRate) +
                        " Hz",
                    0);
    }
    file = OpenOnDescriptor(descriptor, SFM_WRITE, &libraryInfo);
    if (file == nullptr) {
        return Fail("cannot write " + path + ": " + WithoutErrorPrefix(sf_strerror(nullptr)), 0);
    }
    return true;
}

bool SoundFileWriter::Write(const float* frames, std::size_t frameCount)
{
    if (file == nullptr) {
        return false;
    }
    if (frameCount > MaxFrames(format) - framesWritten) {
        return Fail("cannot write " + givenPath + ": a " + ContainerName(format.container) +
                        " file cannot exceed 4 GiB",
                    0);
    }
    const auto count = static_cast<sf_count_t>(frameCount);
    sf_count_t written;
    errno = 0;
    if (WritesIntegers(format)) {
        quantised.resize(frameCount * static_cast<std::size_t>(format.channels));
        QuantiseSamples(frames, quantised.size(), format.sampleFormat, quantised.data(), clipped);
        written = sf_writef_int(AsSndfile(file), quantised.data(), count);
    } else {
        written = sf_writef_float(AsSndfile(file), frames, count);
    }
    if (written != count) {
        return FailWithLibraryText("cannot write " + givenPath);
    }
    framesWritten += frameCount;
    return true;
}

bool SoundFileWriter::Commit()
{
    if (file == nullptr) {
        return false;
    }
    // Closing writes the final header (and the last encoded pages).
    const int closed = sf_close(AsSndfile(file));
    file = nullptr;
    if (closed != 0) {
        return Fail("cannot write " + givenPath + ": " + WithoutErrorPrefix(sf_error_number(closed)), 0);
    }
    // On disk before it replaces anything: a crash after the rename must not
    // leave an empty file where a good one was.
    if (::fsync(descriptor) != 0) {
        return Fail("cannot write " + givenPath, errno);
    }
    const int descriptorClosed = ::close(descriptor);
    descriptor = -1;
    if (descriptorClosed != 0) {
        return Fail("cannot write " + givenPath, errno);
    }
    const int renamed = existing == ExistingFile::Keep
                            ? RenameKeepingTarget(temporaryPath.c_str(), targetPath.c_str())
                            : ::rename(temporaryPath.c_str(), targetPath.c_str());
    if (renamed != 0) {
        return Fail("cannot write " + givenPath, errno);
    }
    temporaryPath.clear();
    return true;
}

void SoundFileWriter::Abandon()
{
    CloseSoundFile(file, descriptor);
    if (!temporaryPath.empty()) {
        ::unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
}

bool SoundFileWriter::FailWithLibraryText(const std::string& what)
{
    // A short write is most often a full disk: the system's reason says so.
    const int errorNumber = errno;
    std::string reason = WithoutErrorPrefix(sf_strerror(AsSndfile(file)));
    if (errorNumber != 0 && (reason.empty() || reason == "No Error")) {
        return Fail(what, errorNumber);
    }
    return Fail(what + ": " + reason, 0);
}

bool SoundFileWriter::Fail(const std::string& what, int errorNumber)
{
    error = errorNumber != 0 ? what + ": " + std::strerror(errorNumber) : what;
    Abandon();
    return false;
}

}  // namespace kelvane::sound_files
