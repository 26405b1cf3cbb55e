// Support for the renderer's tests: generated signals, sound files written
// and read back with libsndfile itself, a scratch folder, and running the
// built program.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sound_files/sound_file_writer.h"

namespace kelvane::render::test {

using sound_files::SampleFormat;

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
    int libraryFormat = 0;       // libsndfile's format of the file it came from
    std::vector<float> samples;  // interleaved
    std::int64_t Frames() const { return static_cast<std::int64_t>(samples.size()) / channels; }
};

// Samples rounded to the grid of `format`, so a file holds them exactly.
std::vector<float> OnGrid(std::vector<float> samples, SampleFormat format);

// Writes `sound` with libsndfile in `libraryFormat` (SF_FORMAT_FLAC |
// SF_FORMAT_PCM_24, ...); fails the test when libsndfile refuses.
void WriteSound(const std::string& path, const Sound& sound, int libraryFormat);
// A WAV file of 16-bit, 24-bit or float samples.
void WriteWave(const std::string& path, const Sound& sound, SampleFormat format);
// Reads any file with libsndfile, integers scaled by 2^(bits - 1); fails the
// test when it cannot.
Sound ReadSound(const std::string& path);
// libsndfile's format word for a sample format in a WAV file.
int WaveFormat(SampleFormat format);
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

// Any built program: started with `arguments`, stdin empty, output and error
// into the files named; `environment` settings ("NAME=value") replace the
// inherited ones of the same name. FinishProgram waits for it and reads
// what it wrote.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& arguments, const std::string& outPath,
                   const std::string& errPath, const std::vector<std::string>& environment = {});
ProgramRun FinishProgram(pid_t child, const std::string& outPath, const std::string& errPath);

}  // namespace kelvane::render::test
