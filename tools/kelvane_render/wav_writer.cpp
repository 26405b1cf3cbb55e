#include "wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace kelvane::render {

namespace {

constexpr std::uint64_t kRiffSizeLimit = 0xFFFFFFFFu;
constexpr std::uint16_t kFormatTagPcm = 1;
constexpr std::uint16_t kFormatTagFloat = 3;

void PutU16(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    PutU16(out, value & 0xFFFFu);
    PutU16(out, value >> 16);
}

void PutTag(std::vector<std::uint8_t>& out, const char* tag)
{
    out.insert(out.end(), tag, tag + 4);
}

bool IsFloat(SampleFormat format)
{
    return format == SampleFormat::Float32;
}

// Non-PCM formats carry a size field for extra bytes ("fmt " of 18 bytes)
// and a "fact" chunk with the frame count.
std::size_t HeaderSize(SampleFormat format)
{
    return IsFloat(format) ? 58 : 44;
}

// Rounds to the nearest step and clips to [low, high]; NaN gives 0.
std::int32_t QuantiseSample(float sample, float scale, float low, float high, std::uint64_t& clipped)
{
    float stepped = std::nearbyint(sample * scale);
    if (stepped > high) {
        ++clipped;
        return static_cast<std::int32_t>(high);
    }
    if (stepped < low) {
        ++clipped;
        return static_cast<std::int32_t>(low);
    }
    if (std::isnan(stepped)) {
        ++clipped;
        return 0;
    }
    return static_cast<std::int32_t>(stepped);
}

}  // namespace

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

std::uint64_t MaxWavFrames(const WavFormat& format)
{
    std::uint64_t blockAlign =
        static_cast<std::uint64_t>(format.channels) * BytesPerSample(format.sampleFormat);
    if (blockAlign == 0) {
        return 0;
    }
    // The RIFF size counts everything after its own 8 bytes, the pad byte of
    // an odd data chunk included.
    std::uint64_t dataLimit = kRiffSizeLimit - (HeaderSize(format.sampleFormat) - 8) - 1;
    return dataLimit / blockAlign;
}

std::vector<std::uint8_t> MakeWavHeader(const WavFormat& format, std::uint64_t frames)
{
    const int bytes = BytesPerSample(format.sampleFormat);
    const std::uint32_t blockAlign = static_cast<std::uint32_t>(format.channels * bytes);
    const std::uint64_t dataBytes = frames * blockAlign;
    const std::size_t headerSize = HeaderSize(format.sampleFormat);
    const std::uint64_t riffSize = headerSize - 8 + dataBytes + (dataBytes & 1);

    std::vector<std::uint8_t> header;
    header.reserve(headerSize);
    PutTag(header, "RIFF");
    PutU32(header, static_cast<std::uint32_t>(riffSize));
    PutTag(header, "WAVE");
    PutTag(header, "fmt ");
    PutU32(header, IsFloat(format.sampleFormat) ? 18 : 16);
    PutU16(header, IsFloat(format.sampleFormat) ? kFormatTagFloat : kFormatTagPcm);
    PutU16(header, static_cast<std::uint32_t>(format.channels));
    PutU32(header, static_cast<std::uint32_t>(format.sampleRate));
    PutU32(header, static_cast<std::uint32_t>(format.sampleRate) * blockAlign);
    PutU16(header, blockAlign);
    PutU16(header, static_cast<std::uint32_t>(bytes * 8));
    if (IsFloat(format.sampleFormat)) {
        PutU16(header, 0);
        PutTag(header, "fact");
        PutU32(header, 4);
        PutU32(header, static_cast<std::uint32_t>(frames));
    }
    PutTag(header, "data");
    PutU32(header, static_cast<std::uint32_t>(dataBytes));
    return header;
}

void EncodeSamples(const float* samples, std::size_t count, SampleFormat format, std::uint8_t* out,
                   std::uint64_t& clipped)
{
    switch (format) {
        case SampleFormat::Pcm16:
            for (std::size_t i = 0; i < count; ++i) {
                std::int32_t value = QuantiseSample(samples[i], 32768.0f, -32768.0f, 32767.0f, clipped);
                std::uint32_t bits = static_cast<std::uint32_t>(value);
                out[2 * i] = static_cast<std::uint8_t>(bits);
                out[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
            }
            break;
        case SampleFormat::Pcm24:
            for (std::size_t i = 0; i < count; ++i) {
                std::int32_t value = QuantiseSample(samples[i], 8388608.0f, -8388608.0f, 8388607.0f, clipped);
                std::uint32_t bits = static_cast<std::uint32_t>(value);
                out[3 * i] = static_cast<std::uint8_t>(bits);
                out[3 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
                out[3 * i + 2] = static_cast<std::uint8_t>(bits >> 16);
            }
            break;
        case SampleFormat::Float32:
            for (std::size_t i = 0; i < count; ++i) {
                std::uint32_t bits;
                std::memcpy(&bits, &samples[i], sizeof bits);
                for (int b = 0; b < 4; ++b) {
                    out[4 * i + b] = static_cast<std::uint8_t>(bits >> (8 * b));
                }
            }
            break;
    }
}

WavFileWriter::~WavFileWriter()
{
    Abandon();
}

bool WavFileWriter::Open(const std::string& path, const WavFormat& wavFormat)
{
    Abandon();
    error.clear();
    framesWritten = 0;
    clipped = 0;
    targetPath = path;
    format = wavFormat;

    namespace fs = std::filesystem;
    const fs::path target(path);
    struct stat existing;
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (target.filename().empty() || (exists && S_ISDIR(existing.st_mode))) {
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
    descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) {
        return Fail("cannot write " + path, errno);
    }
    temporaryPath = pattern;

    // mkstemp makes the file private; give it the mode a plain create (or
    // the file it replaces) would have.
    mode_t mode;
    if (exists) {
        mode = existing.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(descriptor, mode) != 0) {
        return Fail("cannot write " + path, errno);
    }

    std::vector<std::uint8_t> header = MakeWavHeader(format, 0);
    return WriteBytes(header.data(), header.size());
}

bool WavFileWriter::Write(const float* frames, std::size_t frameCount)
{
    if (descriptor < 0) {
        return false;
    }
    if (frameCount > MaxWavFrames(format) - framesWritten) {
        return Fail("cannot write " + targetPath + ": a WAV file cannot exceed 4 GiB", 0);
    }
    const std::size_t samples = frameCount * static_cast<std::size_t>(format.channels);
    encoded.resize(samples * BytesPerSample(format.sampleFormat));
    EncodeSamples(frames, samples, format.sampleFormat, encoded.data(), clipped);
    if (!WriteBytes(encoded.data(), encoded.size())) {
        return false;
    }
    framesWritten += frameCount;
    return true;
}

bool WavFileWriter::Commit()
{
    if (descriptor < 0) {
        return false;
    }
    const std::uint64_t dataBytes =
        framesWritten * static_cast<std::uint64_t>(format.channels) * BytesPerSample(format.sampleFormat);
    if ((dataBytes & 1) != 0) {
        const std::uint8_t pad = 0;
        if (!WriteBytes(&pad, 1)) {
            return false;
        }
    }
    std::vector<std::uint8_t> header = MakeWavHeader(format, framesWritten);
    if (::lseek(descriptor, 0, SEEK_SET) != 0) {
        return Fail("cannot write " + targetPath, errno);
    }
    if (!WriteBytes(header.data(), header.size())) {
        return false;
    }
    // On disk before it replaces anything: a crash after the rename must not
    // leave an empty file where a good one was.
    if (::fsync(descriptor) != 0) {
        return Fail("cannot write " + targetPath, errno);
    }
    int closed = ::close(descriptor);
    descriptor = -1;
    if (closed != 0) {
        return Fail("cannot write " + targetPath, errno);
    }
    if (::rename(temporaryPath.c_str(), targetPath.c_str()) != 0) {
        return Fail("cannot write " + targetPath, errno);
    }
    temporaryPath.clear();
    return true;
}

void WavFileWriter::Abandon()
{
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
    if (!temporaryPath.empty()) {
        ::unlink(temporaryPath.c_str());
        temporaryPath.clear();
    }
}

bool WavFileWriter::WriteBytes(const std::uint8_t* bytes, std::size_t size)
{
    while (size > 0) {
        ssize_t written = ::write(descriptor, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail("cannot write " + targetPath, errno);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool WavFileWriter::Fail(const std::string& what, int errorNumber)
{
    error = errorNumber != 0 ? what + ": " + std::strerror(errorNumber) : what;
    Abandon();
    return false;
}

}  // namespace kelvane::render
