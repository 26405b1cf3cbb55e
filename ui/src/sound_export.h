// Exporting what the window plays: the whole sound, or the loop region when
// one is set, rendered with the current pitch, speed, direction and formant
// setting into a file whose extension names its format (as kelvane-render
// takes it), through the render library's loop. Never written over the file
// the sound was loaded from; a cancelled export leaves nothing behind.
//
// Runs on a worker thread: it shows nothing, and reports its progress and
// takes a stop request through a TaskProgress.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "playback/sound.h"
#include "render/render_loop.h"
#include "sound_files/sound_file_reader.h"
#include "task_progress.h"

namespace sevrane::ui {

// The controls as the window holds them.
struct ExportControls {
    float pitchSemitones = 0.0f;
    float speedPercent = 100.0f;  // 25 to 400, always positive
    bool reverse = false;
    bool formantPreserved = false;
};

kelvane::render::RenderSettings RenderSettingsFor(const ExportControls& controls);

// The frames an export takes: `first` and how many.
struct ExportSpan {
    std::int32_t first = 0;
    std::int32_t frames = 0;
};
// The loop region (first and last frame, both included) when one is set,
// else the whole sound.
ExportSpan ExportSpanOf(const kelvane::playback::Sound& sound,
                        const std::optional<std::pair<std::int32_t, std::int32_t>>& loopRegion);

enum class ExportResult {
    Done,
    Refused,    // nothing was written: `message` says why
    Failed,     // the render could not finish; nothing was left behind
    Cancelled,  // stopped through the progress; nothing was left behind
};

struct ExportOutcome {
    ExportResult result = ExportResult::Done;
    std::string message;  // for Refused and Failed, a sentence to show
};

struct ExportRequest {
    const kelvane::playback::Sound* sound = nullptr;
    kelvane::sound_files::SoundInfo info;  // as the sound was loaded
    std::string sourcePath;                // the file it was loaded from
    std::string outputPath;
    ExportSpan span;
    ExportControls controls;
};

ExportOutcome RenderExport(const ExportRequest& request, TaskProgress& progress);

}  // namespace sevrane::ui
