// What the reader and the writer share of their use of libsndfile.
#pragma once

#include <sndfile.h>

#include <mutex>
#include <string>

namespace kelvane::sound_files {

// libsndfile keeps the reason for a failed open in process-wide state, and
// some of its codecs set themselves up on first use: files are opened one at
// a time so that each open reads its own reason.
std::mutex& LibraryOpenLock();

// libsndfile's texts carry an "Error : " prefix; the programs add their own.
std::string WithoutErrorPrefix(std::string text);

// The public headers keep the handle as void*, so that they need no
// libsndfile header.
inline SNDFILE* AsSndfile(void* file)
{
    return static_cast<SNDFILE*>(file);
}

// Opens the library's handle on a duplicate of `descriptor` that the library
// owns and closes. libsndfile closes the descriptor it was given when an open
// fails, even when told not to; the caller's own descriptor must stay the
// caller's, or closing it again could close another thread's file. Call with
// LibraryOpenLock held.
SNDFILE* OpenOnDescriptor(int descriptor, int mode, SF_INFO* info);

// Closes the library's handle (and with it the library's duplicate), then
// the caller's descriptor; both are left cleared.
void CloseSoundFile(void*& file, int& descriptor);

}  // namespace kelvane::sound_files
