// libsndfile keeps the reason for a failed open in process-wide state, and
// some of its codecs set themselves up on first use: files are opened one at
// a time so that each open reads its own reason.
#pragma once

#include <mutex>
#include <string>

namespace kelvane::sound_files {

std::mutex& LibraryOpenLock();

// libsndfile's texts carry an "Error : " prefix; the programs add their own.
std::string WithoutErrorPrefix(std::string text);

}  // namespace kelvane::sound_files
