#include "render/render_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <vector>

#include "file_frame_source.h"
#include "sound_files/sound_file_reader.h"
#include "sound_files/sound_file_writer.h"

namespace kelvane::render {

namespace {

FileOutcome NotDone(FileResult result, FileFault fault, std::string message)
{
    FileOutcome outcome;
    outcome.result = result;
    outcome.fault = fault;
    outcome.message = std::move(message);
    return outcome;
}

// Output frames gathered before each write.
constexpr std::size_t kWriteRunFrames = 16384;

std::string ChannelText(int channels)
{
    return std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

}  // namespace

SampleFormat DefaultSampleFormat(const sound_files::SoundInfo& input, Container container)
{
    using sound_files::SampleEncoding;
    const bool keepsFloat = sound_files::TakesSampleFormat(container, SampleFormat::Float32);
    switch (input.encoding) {
        case SampleEncoding::Pcm:
            if (input.bitsPerSample <= 16) {
                return SampleFormat::Pcm16;
            }
            if (input.bitsPerSample <= 24 || !keepsFloat) {
                return SampleFormat::Pcm24;
            }
            return SampleFormat::Float32;
        case SampleEncoding::Float:
            return keepsFloat ? SampleFormat::Float32 : SampleFormat::Pcm24;
        case SampleEncoding::Other:
            break;
    }
    return SampleFormat::Pcm16;
}

namespace {

// Renders the frames of `source` (described by `input`) into the job's
// output: the output's form chosen, the temporary file written and put in
// place, or abandoned when the render does not complete. `readError` says
// why the source failed.
FileOutcome RenderSourceToFile(const RenderJob& job, const sound_files::SoundInfo& input, const FrameSource& source,
                               const std::function<std::string()>& readError, const FileRenderSettings& settings,
                               const ProgressReport& progress, const std::atomic<int>* stopRequested)
{
    sound_files::OutputFormat format;
    format.container = settings.container;
    format.sampleRate = input.sampleRate;
    format.channels = input.channels;
    format.sampleFormat = settings.sampleFormat.value_or(DefaultSampleFormat(input, settings.container));
    const std::uint64_t expected =
        ExpectedOutputFrames(static_cast<std::uint64_t>(input.frames), settings.sound.speedPercent);
    format.container = sound_files::ContainerForLength(format, expected);
    if (expected > sound_files::MaxFrames(format)) {
        return NotDone(FileResult::Failed, FileFault::Output,
                       "cannot write " + job.outputPath + ": " + std::to_string(expected) +
                           " frames would exceed the 4 GiB size limit of " +
                           sound_files::ContainerName(format.container) + " files");
    }

    sound_files::SoundFileWriter writer;
    // When outputs that exist are kept, one that appears while this one
    // renders is kept too.
    const sound_files::ExistingFile existing =
        settings.keepExisting ? sound_files::ExistingFile::Keep : sound_files::ExistingFile::Replace;
    if (!writer.Open(job.outputPath, format, existing)) {
        return NotDone(FileResult::Failed, FileFault::Output, writer.Error());
    }

    // The output reaches the writer in long runs, not an engine hop at a
    // time: each write is a call into the encoder and a system call. Not in
    // Ogg Vorbis, whose encoder's output depends on how the samples come.
    const auto channels = static_cast<std::size_t>(input.channels);
    const std::size_t runSamples = format.container == Container::OggVorbis ? 0 : kWriteRunFrames * channels;
    std::vector<float> held;
    held.reserve(runSamples);
    const auto writeHeld = [&writer, &held, channels] {
        const bool written = held.empty() || writer.Write(held.data(), held.size() / channels);
        held.clear();
        return written;
    };
    FrameSink sink = [&held, &writeHeld, channels, runSamples](const float* frames, std::size_t count) {
        held.insert(held.end(), frames, frames + count * channels);
        return held.size() < runSamples || writeHeld();
    };

    const auto start = std::chrono::steady_clock::now();
    RenderOutcome rendered = RenderFrames(source, input.frames, input.channels, input.sampleRate, settings.sound, sink,
                                          progress, stopRequested);
    if (rendered.status == RenderStatus::Done && (!writeHeld() || !writer.Commit())) {
        rendered.status = RenderStatus::WriteFailed;
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    switch (rendered.status) {
        case RenderStatus::Done:
            break;
        case RenderStatus::Interrupted:
            writer.Abandon();
            return NotDone(FileResult::Interrupted, FileFault::None, "");
        case RenderStatus::WriteFailed:
            return NotDone(FileResult::Failed, FileFault::Output, writer.Error());
        case RenderStatus::ReadFailed:
            return NotDone(FileResult::Failed, FileFault::Input, job.inputPath + ": " + readError());
        case RenderStatus::EngineRefused:
            return NotDone(FileResult::Refused, FileFault::Input,
                           job.inputPath + ": " + rendered.message + " (" + std::to_string(input.sampleRate) +
                               " Hz, " + ChannelText(input.channels) + ")");
        case RenderStatus::EngineFault:
            return NotDone(FileResult::Failed, FileFault::Input, job.inputPath + ": cannot be processed: " + rendered.message);
    }

    FileOutcome outcome;
    if (const std::string early = sound_files::EarlyEndWarning(input); !early.empty()) {
        outcome.warnings.push_back("warning: " + early);
    }
    if (writer.ClippedSamples() > 0) {
        const bool floatHere = sound_files::TakesSampleFormat(format.container, SampleFormat::Float32);
        outcome.warnings.push_back("warning: " + std::to_string(writer.ClippedSamples()) +
                                   " samples clipped to fit " + sound_files::DescribeSampleFormat(format.sampleFormat) +
                                   (floatHere ? " (--bits 32f keeps them)"
                                              : " (a WAV, AIFF or W64 file with --bits 32f keeps them)"));
    }
    const double outputSeconds = static_cast<double>(rendered.framesOut) / input.sampleRate;
    char speed[64];
    std::snprintf(speed, sizeof speed, "%.1fx real time", outputSeconds / std::max(elapsed, 1e-6));
    outcome.summary = job.inputPath + " -> " + job.outputPath + ": " + std::to_string(input.frames) +
                      " frames in, " + std::to_string(rendered.framesOut) + " frames out, " +
                      sound_files::DescribeOutputFormat(format) + ", " + speed;
    return outcome;
}

}  // namespace

FileOutcome RenderFile(const RenderJob& job, const FileRenderSettings& settings, const ProgressReport& progress,
                       const std::atomic<int>* stopRequested)
{
    struct stat present;
    if (settings.keepExisting && ::stat(job.outputPath.c_str(), &present) == 0) {
        FileOutcome outcome;
        outcome.result = FileResult::Skipped;
        outcome.summary = job.inputPath + " -> " + job.outputPath + ": skipped, the output exists";
        return outcome;
    }

    sound_files::SoundFileReader reader;
    if (reader.Open(job.inputPath) != sound_files::ReadStatus::Ok) {
        return NotDone(FileResult::Refused, FileFault::Input, job.inputPath + ": " + reader.Error());
    }
    FileFrameSource fileSource(reader);
    FrameSource source = [&fileSource](std::int64_t first, int count, float* destination) {
        return fileSource.Read(first, count, destination);
    };
    return RenderSourceToFile(job, reader.Info(), source, [&reader] { return reader.Error(); }, settings, progress,
                              stopRequested);
}

FileOutcome RenderFramesToFile(const float* samples, const sound_files::SoundInfo& input, const RenderJob& job,
                               const FileRenderSettings& settings, const ProgressReport& progress,
                               const std::atomic<int>* stopRequested)
{
    // Memory cannot fail to give its frames.
    return RenderSourceToFile(job, input, FramesInMemory(samples, input.channels), [] { return std::string(); },
                              settings, progress, stopRequested);
}

FileOutcome FailureOfCaughtException(const RenderJob& job)
{
    std::string why;
    try {
        throw;
    } catch (const std::bad_alloc&) {
        why = "not enough memory to render it";
    } catch (const std::exception& fault) {
        why = std::string("cannot be rendered: ") + fault.what();
    } catch (...) {
        why = "cannot be rendered: an unknown fault";
    }
    return NotDone(FileResult::Failed, FileFault::Input, job.inputPath + ": " + why);
}

}  // namespace kelvane::render
