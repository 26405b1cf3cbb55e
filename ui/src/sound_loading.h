// Loading a sound file for the window, in any format: a name ending in .wav
// goes through the WAV loader (its limits, its texts), every other file
// through the sound-file reader, whose refusals name the limit. Either way
// the samples land once, in the float memory the player plays from.
//
// Runs on a worker thread: it shows nothing, and reports its progress and
// takes a stop request through a TaskProgress.
#pragma once

#include <string>

#include "playback/loaded_sound.h"
#include "sound_files/sound_file_reader.h"
#include "task_progress.h"

namespace sevrane::ui {

// Which reader a file goes to, by its name.
enum class SoundReader {
    Wave,        // the WAV loader
    SoundFiles,  // the sound-file reader
};
SoundReader ReaderFor(const std::string& nativePath);

enum class LoadOutcome {
    Loaded,
    Refused,    // `refusal` says why
    Cancelled,  // stopped through the progress; nothing is held
};

struct SoundLoad {
    LoadOutcome outcome = LoadOutcome::Refused;
    std::string refusal;
    // What the file holds beside its samples (rate, channels, encoding and
    // depth), for an export to default to the file's depth.
    kelvane::sound_files::SoundInfo info;
};

// Loads `nativePath` into `sound` (replaced; empty unless Loaded). A
// sound-file reader's sound is held as the LoadedSound the window and the
// player take.
SoundLoad LoadAnySound(const std::string& nativePath, kelvane::playback::LoadedSound& sound, TaskProgress& progress);

}  // namespace sevrane::ui
