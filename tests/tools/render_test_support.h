// Support for the renderer's tests: generated signals, WAV files written and
// read back, a scratch folder, and running the built program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wav_writer.h"

namespace kelvane::render::test {

// A folder of its own for one test, removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string Path(const std::string& name) const { return root + "/" + name; }
    std::vector<std::string> Names() const;  // sorted, hidden files included

private:
    std::string root;
};

struct Sound {
    int sampleRate = 44100;
    int channels = 1;
    int bitsPerSample = 16;      // of the file it came from
    std::vector<float> samples;  // interleaved
    std::int64_t Frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
};

// Samples rounded to the grid of `format`, so a file holds them exactly.
std::vector<float> OnGrid(std::vector<float> samples, SampleFormat format);

// Writes with the renderer's own writer; fails the test on error.
void WriteWave(const std::string& path, const Sound& sound, SampleFormat format);
// A file the writer cannot make: 8-bit unsigned PCM.
void WriteWave8(const std::string& path, const std::vector<std::uint8_t>& samples, int channels);
// Reads with the project's loader (PCM only); fails the test on a refusal.
Sound ReadWave(const std::string& path);
// Reads a 32-bit float file as the writer lays it out.
Sound ReadFloatWave(const std::string& path);
std::vector<std::uint8_t> ReadBytes(const std::string& path);

// sin(2 pi f t) for every channel, at `amplitude`.
Sound Tone(int sampleRate, int channels, double frequency, double seconds, double amplitude);
// Two sines per channel and some noise: nothing periodic to hide an offset.
Sound Music(int sampleRate, int channels, double seconds, std::uint32_t seed);

// The dominant frequency of one channel over [first, first + count), by
// counting rising zero crossings.
double DominantFrequency(const Sound& sound, int channel, std::int64_t first, std::int64_t count);
// RMS of one channel over [first, first + count).
double Rms(const Sound& sound, int channel, std::int64_t first, std::int64_t count);

struct ProgramRun {
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs the built kelvane-render with `arguments`, stdin empty, output and
// error captured.
ProgramRun RunRender(const std::vector<std::string>& arguments);
// Starts it with output and error discarded; the caller waits.
pid_t StartRender(const std::vector<std::string>& arguments);
// Runs it with its error stream on a pseudo-terminal; returns what the
// terminal received.
ProgramRun RunRenderOnTerminal(const std::vector<std::string>& arguments);
ProgramRun WaitFor(pid_t child);

}  // namespace kelvane::render::test
