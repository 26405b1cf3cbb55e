// Random access to the bytes of a WAV file, in memory or on disk, so that one
// chunk reader and one conversion loop serve both.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvane::playback {

class ByteSource {
public:
    virtual ~ByteSource() = default;

    std::uint64_t Size() const noexcept { return size; }

    // Copies exactly `count` bytes at `offset`; false when they are not all
    // there or cannot be read.
    virtual bool ReadAt(std::uint64_t offset, void* destination, std::size_t count) noexcept = 0;

    // Gives `count` bytes at `offset`: in place when the source is in memory,
    // else read into `scratch`, which then holds at least `count` bytes.
    // Null when they cannot all be had.
    virtual const std::uint8_t* View(std::uint64_t offset, std::size_t count,
                                     std::uint8_t* scratch) noexcept = 0;

    virtual bool NeedsScratch() const noexcept = 0;

protected:
    std::uint64_t size = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const std::uint8_t* bytes, std::size_t byteCount) noexcept;

    bool ReadAt(std::uint64_t offset, void* destination, std::size_t count) noexcept override;
    const std::uint8_t* View(std::uint64_t offset, std::size_t count,
                             std::uint8_t* scratch) noexcept override;
    bool NeedsScratch() const noexcept override { return false; }

private:
    bool Holds(std::uint64_t offset, std::size_t count) const noexcept;

    const std::uint8_t* bytes;
};

class FileSource final : public ByteSource {
public:
    FileSource() noexcept = default;
    ~FileSource() override;
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;

    // Opens a regular file for reading; false when it cannot be opened or is
    // something else (a folder, a pipe, a device).
    bool Open(const std::string& utf8Path) noexcept;

    bool ReadAt(std::uint64_t offset, void* destination, std::size_t count) noexcept override;
    const std::uint8_t* View(std::uint64_t offset, std::size_t count,
                             std::uint8_t* scratch) noexcept override;
    bool NeedsScratch() const noexcept override { return true; }

private:
    bool ReadFully(std::uint64_t offset, void* destination, std::size_t count) noexcept;

    int descriptor = -1;
    // Chunk headers are read through this window, so that walking a file of
    // many small chunks costs few system calls.
    static constexpr std::size_t windowCapacity = 4096;
    std::uint8_t window[windowCapacity];
    std::uint64_t windowOffset = 0;
    std::size_t windowLength = 0;
};

}  // namespace kelvane::playback
