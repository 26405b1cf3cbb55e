// A fresh folder for a test's files, removed with all it holds at the end.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "wav_bytes.h"

namespace kelvane::playback::test {

// Writes `bytes` to a new file `name` in the folder open as `folder`.
inline bool WriteFileAt(int folder, const std::string& name, const Bytes& bytes)
{
    const int file = ::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        return false;
    }
    const bool written = ::write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    return ::close(file) == 0 && written;
}

class TempFolder {
public:
    TempFolder()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-wav-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
        }
    }
    // rm walks trees deeper than the system's path limit, which some tests make.
    ~TempFolder()
    {
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The full path of a new file `name` holding `bytes`; "" when it could not be written.
    std::string Write(const std::string& name, const Bytes& bytes) const
    {
        const int folder = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool written = folder >= 0 && WriteFileAt(folder, name, bytes);
        if (folder >= 0) {
            ::close(folder);
        }
        return written ? path + "/" + name : std::string{};
    }

    std::string path;
};

}  // namespace kelvane::playback::test
