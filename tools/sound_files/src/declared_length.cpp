#include "declared_length.h"

#include <unistd.h>

#include <cstring>

namespace kelvane::sound_files {

namespace {

// A header is walked chunk by chunk; a damaged one could send the walk round
// forever, so it gives up after this many.
constexpr int kMostChunks = 1024;

// WAV format tags whose samples take a fixed number of bytes per frame.
constexpr std::uint16_t kWavePcm = 0x0001;
constexpr std::uint16_t kWaveFloat = 0x0003;
constexpr std::uint16_t kWaveALaw = 0x0006;
constexpr std::uint16_t kWaveMuLaw = 0x0007;
constexpr std::uint16_t kWaveExtensible = 0xFFFE;

// The sizes a streaming writer leaves in a header it never finished.
constexpr std::uint32_t kOpenLength = 0xFFFFFFFFu;

bool ReadAt(int descriptor, std::int64_t offset, unsigned char* bytes, std::size_t count)
{
    return ::pread(descriptor, bytes, count, static_cast<off_t>(offset)) == static_cast<ssize_t>(count);
}

std::uint64_t Little(const unsigned char* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

std::uint64_t Big(const unsigned char* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) {
        value = value << 8 | bytes[i];
    }
    return value;
}

bool Named(const unsigned char* bytes, const char* name)
{
    return std::memcmp(bytes, name, 4) == 0;
}

// RIFF WAV and its 64-bit form RF64, whose data size sits in the ds64 chunk.
std::optional<std::int64_t> WaveFrames(int descriptor, bool sixtyFourBit)
{
    std::uint64_t blockAlign = 0;
    std::uint64_t longDataSize = 0;
    std::int64_t offset = 12;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[8];
        if (!ReadAt(descriptor, offset, header, sizeof header)) {
            return std::nullopt;
        }
        const std::uint64_t size = Little(header + 4, 4);
        const std::int64_t body = offset + 8;
        if (Named(header, "ds64") && sixtyFourBit) {
            unsigned char sizes[16];
            if (!ReadAt(descriptor, body, sizes, sizeof sizes)) {
                return std::nullopt;
            }
            longDataSize = Little(sizes + 8, 8);
        } else if (Named(header, "fmt ")) {
            unsigned char format[14];
            if (!ReadAt(descriptor, body, format, sizeof format)) {
                return std::nullopt;
            }
            const auto tag = static_cast<std::uint16_t>(Little(format, 2));
            if (tag != kWavePcm && tag != kWaveFloat && tag != kWaveALaw && tag != kWaveMuLaw &&
                tag != kWaveExtensible) {
                return std::nullopt;
            }
            blockAlign = Little(format + 12, 2);
        } else if (Named(header, "data")) {
            std::uint64_t dataSize = size;
            if (sixtyFourBit && size == kOpenLength) {
                dataSize = longDataSize;
            } else if (size == kOpenLength) {
                return std::nullopt;
            }
            if (blockAlign == 0 || dataSize == 0) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(dataSize / blockAlign);
        }
        offset = body + static_cast<std::int64_t>(size + (size & 1));
    }
    return std::nullopt;
}

// AIFF and AIFF-C: the COMM chunk counts the frames itself.
std::optional<std::int64_t> AiffFrames(int descriptor)
{
    std::int64_t offset = 12;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[8];
        if (!ReadAt(descriptor, offset, header, sizeof header)) {
            return std::nullopt;
        }
        const std::uint64_t size = Big(header + 4, 4);
        if (Named(header, "COMM")) {
            unsigned char common[6];
            if (!ReadAt(descriptor, offset + 8, common, sizeof common)) {
                return std::nullopt;
            }
            const std::uint64_t frames = Big(common + 2, 4);
            if (frames == 0 || frames == kOpenLength) {
                return std::nullopt;
            }
            return static_cast<std::int64_t>(frames);
        }
        offset += 8 + static_cast<std::int64_t>(size + (size & 1));
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::int64_t> DeclaredFrames(int descriptor)
{
    unsigned char form[12];
    if (!ReadAt(descriptor, 0, form, sizeof form)) {
        return std::nullopt;
    }
    if ((Named(form, "RIFF") || Named(form, "RF64")) && Named(form + 8, "WAVE")) {
        return WaveFrames(descriptor, Named(form, "RF64"));
    }
    if (Named(form, "FORM") && (Named(form + 8, "AIFF") || Named(form + 8, "AIFC"))) {
        return AiffFrames(descriptor);
    }
    return std::nullopt;
}

}  // namespace kelvane::sound_files
