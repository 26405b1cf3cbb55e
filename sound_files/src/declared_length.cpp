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

// What a chunk told the walk: go on to the next, or stop with this answer.
struct ChunkVerdict {
    bool done = false;
    std::optional<std::int64_t> frames;
};
constexpr ChunkVerdict kNextChunk{};

ChunkVerdict Answer(std::optional<std::int64_t> frames)
{
    return {true, frames};
}

// Walks the chunks after the 12-byte form header (sizes little- or
// big-endian, bodies padded to an even length), handing each one's name,
// size and body offset to `visit` until it answers.
template <typename Visit>
std::optional<std::int64_t> WalkChunks(int descriptor, bool bigEndian, Visit visit)
{
    std::int64_t offset = 12;
    for (int chunk = 0; chunk < kMostChunks; ++chunk) {
        unsigned char header[8];
        if (!ReadAt(descriptor, offset, header, sizeof header)) {
            return std::nullopt;
        }
        const std::uint64_t size = bigEndian ? Big(header + 4, 4) : Little(header + 4, 4);
        const ChunkVerdict verdict = visit(header, size, offset + 8);
        if (verdict.done) {
            return verdict.frames;
        }
        offset += 8 + static_cast<std::int64_t>(size + (size & 1));
    }
    return std::nullopt;
}

// RIFF WAV and its 64-bit form RF64, whose data size sits in the ds64 chunk.
std::optional<std::int64_t> WaveFrames(int descriptor, bool sixtyFourBit)
{
    std::uint64_t blockAlign = 0;
    std::uint64_t longDataSize = 0;
    return WalkChunks(descriptor, false,
                      [&](const unsigned char* name, std::uint64_t size, std::int64_t body) {
                          if (Named(name, "ds64") && sixtyFourBit) {
                              unsigned char sizes[16];
                              if (!ReadAt(descriptor, body, sizes, sizeof sizes)) {
                                  return Answer(std::nullopt);
                              }
                              longDataSize = Little(sizes + 8, 8);
                          } else if (Named(name, "fmt ")) {
                              unsigned char format[14];
                              if (!ReadAt(descriptor, body, format, sizeof format)) {
                                  return Answer(std::nullopt);
                              }
                              const auto tag = static_cast<std::uint16_t>(Little(format, 2));
                              if (tag != kWavePcm && tag != kWaveFloat && tag != kWaveALaw &&
                                  tag != kWaveMuLaw && tag != kWaveExtensible) {
                                  return Answer(std::nullopt);
                              }
                              blockAlign = Little(format + 12, 2);
                          } else if (Named(name, "data")) {
                              if (size == kOpenLength && !sixtyFourBit) {
                                  return Answer(std::nullopt);
                              }
                              const std::uint64_t dataSize = size == kOpenLength ? longDataSize : size;
                              if (blockAlign == 0 || dataSize == 0) {
                                  return Answer(std::nullopt);
                              }
                              return Answer(static_cast<std::int64_t>(dataSize / blockAlign));
                          }
                          return kNextChunk;
                      });
}

// AIFF and AIFF-C: the COMM chunk counts the frames itself.
std::optional<std::int64_t> AiffFrames(int descriptor)
{
    return WalkChunks(descriptor, true,
                      [descriptor](const unsigned char* name, std::uint64_t, std::int64_t body) {
                          if (!Named(name, "COMM")) {
                              return kNextChunk;
                          }
                          unsigned char common[6];
                          if (!ReadAt(descriptor, body, common, sizeof common)) {
                              return Answer(std::nullopt);
                          }
                          const std::uint64_t frames = Big(common + 2, 4);
                          if (frames == 0 || frames == kOpenLength) {
                              return Answer(std::nullopt);
                          }
                          return Answer(static_cast<std::int64_t>(frames));
                      });
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
