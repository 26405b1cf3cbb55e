// Builds WAV files byte by byte, so that tests can write every layout,
// well-formed or not, without binary fixtures.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace kelvane::playback::test {

using Bytes = std::vector<std::uint8_t>;

inline void AppendLe(Bytes& bytes, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

inline void Append(Bytes& bytes, const Bytes& more)
{
    bytes.insert(bytes.end(), more.begin(), more.end());
}

// A chunk: name, size (the body's unless given) and body, padded to even length.
inline Bytes Chunk(const std::string& id, const Bytes& body, std::optional<std::uint32_t> declaredSize = {})
{
    Bytes bytes(id.begin(), id.end());
    AppendLe(bytes, declaredSize.value_or(static_cast<std::uint32_t>(body.size())), 4);
    Append(bytes, body);
    if (body.size() % 2 != 0) {
        bytes.push_back(0);
    }
    return bytes;
}

// A "fmt " body: the 16 bytes of the format, then `tail` (an extra-size field
// and extra bytes, or anything else).
inline Bytes FormatBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                        const Bytes& tail = {})
{
    Bytes body;
    const std::uint16_t blockAlign = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    AppendLe(body, tag, 2);
    AppendLe(body, channels, 2);
    AppendLe(body, rate, 4);
    AppendLe(body, std::uint64_t{rate} * blockAlign, 4);
    AppendLe(body, blockAlign, 2);
    AppendLe(body, bits, 2);
    Append(body, tail);
    return body;
}

// A "RIFF" "WAVE" form around `chunks`; its size is the true one unless given.
inline Bytes Riff(std::initializer_list<Bytes> chunks, std::optional<std::uint32_t> declaredSize = {})
{
    Bytes inner;
    for (const Bytes& chunk : chunks) {
        Append(inner, chunk);
    }
    Bytes bytes{'R', 'I', 'F', 'F'};
    AppendLe(bytes, declaredSize.value_or(static_cast<std::uint32_t>(inner.size() + 4)), 4);
    Append(bytes, Bytes{'W', 'A', 'V', 'E'});
    Append(bytes, inner);
    return bytes;
}

// The plain file: "fmt " of 16 bytes, then "data".
inline Bytes Wave(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                  const Bytes& data)
{
    return Riff({Chunk("fmt ", FormatBody(tag, channels, rate, bits)), Chunk("data", data)});
}

// Little-endian samples of a given width, for "data" bodies.
inline Bytes Samples(std::initializer_list<std::int64_t> values, int width)
{
    Bytes bytes;
    for (const std::int64_t value : values) {
        AppendLe(bytes, static_cast<std::uint64_t>(value), width);
    }
    return bytes;
}

}  // namespace kelvane::playback::test
