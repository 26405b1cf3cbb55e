#include "byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kelvane::playback {

MemorySource::MemorySource(const std::uint8_t* bytes, std::size_t byteCount) noexcept : bytes(bytes)
{
    size = bytes != nullptr ? byteCount : 0;
}

bool MemorySource::Holds(std::uint64_t offset, std::size_t count) const noexcept
{
    return offset <= size && count <= size - offset;
}

bool MemorySource::ReadAt(std::uint64_t offset, void* destination, std::size_t count) noexcept
{
    if (!Holds(offset, count)) {
        return false;
    }
    if (count != 0) {
        std::memcpy(destination, bytes + offset, count);
    }
    return true;
}

const std::uint8_t* MemorySource::View(std::uint64_t offset, std::size_t count, std::uint8_t*) noexcept
{
    return Holds(offset, count) ? bytes + offset : nullptr;
}

namespace {

#ifdef O_PATH
constexpr int folderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int folderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
// Non-blocking so that opening a named pipe cannot hang; the flag is dropped
// once the file is known to be a regular one.
constexpr int fileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

// The system refuses whole paths longer than its limit, though the file is
// there; such a path is opened one folder at a time.
int OpenLongPath(const std::string& path)
{
    if (path.ends_with('/')) {
        return -1;  // names a folder
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < path.size();) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        if (end > start) {
            names.push_back(path.substr(start, end - start));
        }
        start = end + 1;
    }
    if (names.empty()) {
        return -1;
    }
    int folder = ::open(path.starts_with('/') ? "/" : ".", folderFlags);
    for (std::size_t i = 0; i + 1 < names.size() && folder >= 0; ++i) {
        const int next = ::openat(folder, names[i].c_str(), folderFlags);
        ::close(folder);
        folder = next;
    }
    if (folder < 0) {
        return -1;
    }
    const int file = ::openat(folder, names.back().c_str(), fileFlags);
    ::close(folder);
    return file;
}

}  // namespace

FileSource::~FileSource()
{
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

bool FileSource::Open(const std::string& utf8Path) noexcept
{
    if (descriptor >= 0 || utf8Path.empty() || utf8Path.find('\0') != std::string::npos) {
        return false;
    }
    try {
        descriptor = ::open(utf8Path.c_str(), fileFlags);
        if (descriptor < 0 && errno == ENAMETOOLONG) {
            descriptor = OpenLongPath(utf8Path);
        }
    } catch (...) {
        descriptor = -1;  // out of memory for the path's pieces
    }
    if (descriptor < 0) {
        return false;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
        ::close(descriptor);
        descriptor = -1;
        return false;
    }
    size = static_cast<std::uint64_t>(status.st_size);
    ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK);
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return true;
}

bool FileSource::ReadFully(std::uint64_t offset, void* destination, std::size_t count) noexcept
{
    auto* target = static_cast<std::uint8_t*>(destination);
    while (count > 0) {
        const ssize_t got = ::pread(descriptor, target, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;  // error, or the file ended early (it may have shrunk since it was opened)
        }
        target += got;
        offset += static_cast<std::uint64_t>(got);
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

bool FileSource::ReadAt(std::uint64_t offset, void* destination, std::size_t count) noexcept
{
    if (descriptor < 0 || offset > size || count > size - offset) {
        return false;
    }
    if (count > windowCapacity) {
        return ReadFully(offset, destination, count);
    }
    const bool inWindow = offset >= windowOffset && offset - windowOffset + count <= windowLength;
    if (!inWindow) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(windowCapacity, size - offset));
        windowLength = 0;
        if (!ReadFully(offset, window, length)) {
            return false;
        }
        windowOffset = offset;
        windowLength = length;
    }
    if (count != 0) {
        std::memcpy(destination, window + (offset - windowOffset), count);
    }
    return true;
}

const std::uint8_t* FileSource::View(std::uint64_t offset, std::size_t count, std::uint8_t* scratch) noexcept
{
    if (descriptor < 0 || offset > size || count > size - offset) {
        return nullptr;
    }
    return ReadFully(offset, scratch, count) ? scratch : nullptr;
}

}  // namespace kelvane::playback
