#include "library_lock.h"

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

}  // namespace kelvane::sound_files
