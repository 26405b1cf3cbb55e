#include "sndfile_access.h"

#include <fcntl.h>
#include <unistd.h>

namespace kelvane::sound_files {

std::mutex& LibraryOpenLock()
{
    static std::mutex lock;
    return lock;
}

std::string WithoutErrorPrefix(std::string text)
{
    for (const char* prefix : {"Error : ", "System error : "}) {
        if (text.rfind(prefix, 0) == 0) {
            text.erase(0, std::char_traits<char>::length(prefix));
        }
    }
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) {
        text.pop_back();
    }
    return text;
}

SNDFILE* OpenOnDescriptor(int descriptor, int mode, SF_INFO* info)
{
    const int duplicate = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0) {
        return nullptr;
    }
    return sf_open_fd(duplicate, mode, info, SF_TRUE);
}

void CloseSoundFile(void*& file, int& descriptor)
{
    if (file != nullptr) {
        sf_close(AsSndfile(file));
        file = nullptr;
    }
    if (descriptor >= 0) {
        ::close(descriptor);
        descriptor = -1;
    }
}

}  // namespace kelvane::sound_files
