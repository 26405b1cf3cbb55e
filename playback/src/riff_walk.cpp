#include "riff_walk.h"

#include <algorithm>
#include <cstring>

namespace kelvane::playback {

namespace {

constexpr std::uint64_t chunkHeaderBytes = 8;
constexpr std::uint32_t pcmFormatBytes = 16;

std::uint16_t ReadLe16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t ReadLe32(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

struct Chunk {
    std::uint64_t dataOffset = 0;
    std::uint32_t size = 0;
};

// Scans the sibling chunks whose headers lie in [begin, end) for the first one
// named `id`, skipping the others by their declared size and pad byte. Sizes
// are summed in 64 bits, so a size near 4 GiB ends the scan instead of
// wrapping back into the file.
bool FindChunk(ByteSource& source, std::uint64_t begin, std::uint64_t end, const char* id, Chunk& chunk)
{
    std::uint64_t position = begin;
    while (position + chunkHeaderBytes <= end) {
        std::uint8_t header[chunkHeaderBytes];
        if (!source.ReadAt(position, header, sizeof header)) {
            return false;
        }
        const std::uint32_t size = ReadLe32(header + 4);
        if (std::memcmp(header, id, 4) == 0) {
            chunk.dataOffset = position + chunkHeaderBytes;
            chunk.size = size;
            return true;
        }
        position += chunkHeaderBytes + size + (size & 1u);
    }
    return false;
}

}  // namespace

bool WalkWaveChunks(ByteSource& source, WaveLayout& layout) noexcept
{
    std::uint8_t riff[12];
    if (!source.ReadAt(0, riff, sizeof riff) || std::memcmp(riff, "RIFF", 4) != 0 ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        return false;
    }
    // Chunks are looked for inside the form only; a form that claims more
    // than the file holds ends where the file does.
    const std::uint64_t formEnd =
        std::min<std::uint64_t>(chunkHeaderBytes + ReadLe32(riff + 4), source.Size());

    Chunk fmt;
    if (!FindChunk(source, sizeof riff, formEnd, "fmt ", fmt) || fmt.size < pcmFormatBytes) {
        return false;
    }
    std::uint8_t block[pcmFormatBytes];
    if (!source.ReadAt(fmt.dataOffset, block, sizeof block)) {
        return false;
    }
    WaveFormat& format = layout.format;
    format.formatTag = ReadLe16(block);
    format.channels = ReadLe16(block + 2);
    format.sampleRate = ReadLe32(block + 4);
    format.averageBytesPerSecond = ReadLe32(block + 8);
    format.blockAlign = ReadLe16(block + 12);
    format.bitsPerSample = ReadLe16(block + 14);
    format.extraFormatSize = 0;

    // Other formats carry an extra-size field and that many extra bytes,
    // which must be in the file. A format block of 16 bytes has no such field
    // and is taken as having no extra bytes, rather than reading the next
    // chunk's name as a size.
    if (format.formatTag != 1 && fmt.size >= pcmFormatBytes + 2) {
        std::uint8_t extraSize[2];
        if (!source.ReadAt(fmt.dataOffset + pcmFormatBytes, extraSize, sizeof extraSize)) {
            return false;
        }
        format.extraFormatSize = ReadLe16(extraSize);
        const std::uint64_t extraEnd = fmt.dataOffset + pcmFormatBytes + 2 + format.extraFormatSize;
        if (extraEnd > source.Size()) {
            return false;
        }
    }

    // "data" is searched from the start of the form, so it may come before
    // or after "fmt ".
    Chunk data;
    if (!FindChunk(source, sizeof riff, formEnd, "data", data)) {
        return false;
    }
    layout.dataOffset = data.dataOffset;
    layout.dataSize = data.size;
    return true;
}

}  // namespace kelvane::playback
