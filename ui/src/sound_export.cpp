#include "sound_export.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <filesystem>

#include "render/overwrite_guard.h"
#include "render/render_file.h"
#include "sound_files/sound_file_writer.h"

namespace sevrane::ui {

namespace render = kelvane::render;
namespace files = kelvane::sound_files;

namespace {

// The render library speaks as a program does ("cannot write ..."); a box
// shows a sentence.
std::string Sentence(std::string text)
{
    if (!text.empty()) {
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    }
    return text;
}

ExportOutcome NotDone(ExportResult result, const std::string& message)
{
    return {result, Sentence(message)};
}

// The format an output's name asks for: WAV for a name without extension.
std::optional<files::Container> ContainerForOutput(const std::string& outputPath)
{
    const std::string extension = std::filesystem::path(outputPath).extension().string();
    if (extension.empty()) {
        return files::Container::Wav;
    }
    return files::ContainerForExtension(extension);
}

}  // namespace

render::RenderSettings RenderSettingsFor(const ExportControls& controls)
{
    render::RenderSettings settings;
    settings.pitchSemitones = controls.pitchSemitones;
    settings.speedPercent = controls.speedPercent;
    settings.reverse = controls.reverse;
    // Preserving the formants means shifting them with the pitch, as the
    // player does.
    if (controls.formantPreserved) {
        settings.formantSemitones = controls.pitchSemitones;
    }
    return settings;
}

ExportSpan ExportSpanOf(const kelvane::playback::Sound& sound,
                        const std::optional<std::pair<std::int32_t, std::int32_t>>& loopRegion)
{
    if (!loopRegion || sound.frameCount <= 0) {
        return {0, std::max(sound.frameCount, 0)};
    }
    const std::int32_t first = std::clamp(std::min(loopRegion->first, loopRegion->second), 0, sound.frameCount - 1);
    const std::int32_t last = std::clamp(std::max(loopRegion->first, loopRegion->second), 0, sound.frameCount - 1);
    return {first, last - first + 1};
}

ExportOutcome RenderExport(const ExportRequest& request, TaskProgress& progress)
{
    const std::optional<files::Container> container = ContainerForOutput(request.outputPath);
    if (!container) {
        return NotDone(ExportResult::Refused,
                       "cannot tell the format from the name " + request.outputPath +
                           ": name the file .wav, .flac, .ogg, .aiff or .w64");
    }
    const render::RenderJob job{request.sourcePath, request.outputPath};
    if (const std::string overwrite = render::FindOverwrite({job}); !overwrite.empty()) {
        return NotDone(ExportResult::Refused, overwrite);
    }
    const kelvane::playback::Sound& sound = *request.sound;
    if (request.span.frames <= 0 || request.span.first < 0 ||
        request.span.first + static_cast<std::int64_t>(request.span.frames) > sound.frameCount) {
        return NotDone(ExportResult::Refused, "there is no sound to export");
    }

    render::FileRenderSettings settings;
    settings.sound = RenderSettingsFor(request.controls);
    settings.container = *container;
    files::SoundInfo input = request.info;
    input.frames = request.span.frames;
    input.declaredFrames = request.span.frames;
    const float* first = sound.samples.data() + static_cast<std::size_t>(request.span.first) * sound.channels;
    const render::ProgressReport report = [&progress](std::uint64_t done, std::uint64_t total) {
        progress.Report(done, total);
    };

    render::FileOutcome outcome;
    try {
        outcome = render::RenderFramesToFile(first, input, job, settings, report, &progress.stop);
    } catch (...) {
        outcome = render::FailureOfCaughtException(job);
    }
    switch (outcome.result) {
        case render::FileResult::Done:
        case render::FileResult::Skipped:
            return {};
        case render::FileResult::Interrupted:
            return {ExportResult::Cancelled, {}};
        case render::FileResult::Refused:
            return NotDone(ExportResult::Refused, outcome.message);
        case render::FileResult::Failed:
            break;
    }
    return NotDone(ExportResult::Failed, outcome.message);
}

}  // namespace sevrane::ui
