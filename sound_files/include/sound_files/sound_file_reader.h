// Reading sound files for the command-line programs: every format libsndfile
// reads (WAV in all its sample formats, RF64, W64, AIFF, FLAC, Ogg Vorbis and
// Opus, MP3 and the rest), as interleaved 32-bit float frames, and only those
// the engine can take: 32000 to 196000 Hz, 1 to 8 channels.
//
// Integer samples become s / 2^(bits - 1), so 16- and 24-bit files read
// exactly; float files are read as they are, values beyond full scale kept.
//
// Threads: a reader is used by one thread at a time; different readers are
// independent and may read at once (opening is serialised inside).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kelvane::sound_files {

// The rates and channel counts the engine takes.
constexpr int kMinimumSampleRate = 32000;
constexpr int kMaximumSampleRate = 196000;
constexpr int kMaximumChannels = 8;

enum class ReadStatus {
    Ok,
    CannotOpen,       // missing, unreadable or a folder
    NotSound,         // in no format that can be read
    RateOutOfRange,   // below kMinimumSampleRate or above kMaximumSampleRate
    TooManyChannels,  // more than kMaximumChannels
    NoAudio,          // a valid file of no frames
    UnknownLength,    // a stream whose length cannot be known before the end
    Truncated,        // ended or failed to decode before its announced length
    TooLarge,         // ReadWholeSound only: more than memory can hold
    Cancelled,        // a read whose progress report asked it to stop
};

// How the file stores its samples, to choose a depth when writing it again.
enum class SampleEncoding {
    Pcm,    // integers of `bitsPerSample` bits (FLAC and other lossless ones too)
    Float,  // 32- or 64-bit floating point
    Other,  // lossy or companded (MP3, Vorbis, Opus, A-law, ADPCM...): no depth
};

struct SoundInfo {
    int sampleRate = 0;
    int channels = 0;
    std::int64_t frames = 0;  // the frames the file holds, and reads
    // The frames a WAV, RF64 or AIFF header announces when the file holds
    // fewer (it was cut off: an interrupted recording, an unfinished copy);
    // `frames` otherwise. Such a file reads as far as it goes, and the
    // programs say what is missing (EarlyEndWarning).
    std::int64_t declaredFrames = 0;
    SampleEncoding encoding = SampleEncoding::Other;
    int bitsPerSample = 0;   // 8, 16, 24 or 32 for Pcm, 32 or 64 for Float, 0 for Other
    std::string formatName;  // "FLAC, 24-bit PCM", "MPEG Layer III", ...
};

// "input ends early: 500 of 500000 frames" for a file that holds fewer frames
// than its header announces; "" for a whole one.
std::string EarlyEndWarning(const SoundInfo& info);

// Told how many of the frames asked for have been read, before the first
// block and after each one, on the reading thread; returning false stops
// the read there.
using ReadProgress = std::function<bool(std::int64_t framesRead, std::int64_t framesWanted)>;

// The file-name extensions of the formats a reader takes, in lower case
// without the dot ("aiff", "flac", "mp3", "ogg", "wav", ...), sorted: for a
// file dialog's filter. The library's own list (but for headerless raw
// samples), with the other names its formats go by (.aif, .mp3, .ogg, .opus).
std::vector<std::string> ReadableExtensions();

class SoundFileReader {
public:
    SoundFileReader() = default;
    ~SoundFileReader();
    SoundFileReader(const SoundFileReader&) = delete;
    SoundFileReader& operator=(const SoundFileReader&) = delete;

    // Opens `path` and checks it against the limits above. Returns Ok, or the
    // refusal with Error() saying why, naming the limit where there is one
    // ("sample rate 22050 Hz is outside 32000 to 196000 Hz").
    ReadStatus Open(const std::string& path);
    void Close();

    const SoundInfo& Info() const { return info; }
    std::int64_t Position() const { return position; }

    // Reads the next `frameCount` interleaved frames (frameCount x channels
    // floats) into `destination`; the caller asks for no frame past
    // Info().frames. False when the file ends or fails to decode first: the
    // status becomes Truncated and Error() says after how many frames.
    bool Read(float* destination, std::int64_t frameCount);
    // The same in blocks of kProgressBlockFrames, telling `progress` before
    // the first and after each, so that a long read (a film's soundtrack, a
    // concert as MP3) can be shown and stopped. False also when `progress`
    // asks to stop: the status becomes Cancelled, and the frames read so far
    // stay in `destination` and in Position().
    bool Read(float* destination, std::int64_t frameCount, const ReadProgress& progress);
    static constexpr std::int64_t kProgressBlockFrames = 65536;
    // Moves to `frame` (0..Info().frames); the frames read after it are
    // those a straight read gives. False, with Error() set, when the format
    // cannot seek there.
    bool Seek(std::int64_t frame);

    ReadStatus Status() const { return status; }
    const std::string& Error() const { return error; }

private:
    ReadStatus Refuse(ReadStatus refusal, std::string message);

    void* file = nullptr;  // SNDFILE*, kept out of this header
    int descriptor = -1;
    SoundInfo info;
    std::int64_t position = 0;
    std::vector<float> settling;  // frames decoded and dropped after a seek
    ReadStatus status = ReadStatus::CannotOpen;
    std::string error = "no file open";
};

struct WholeSound {
    SoundInfo info;
    std::vector<float> samples;  // info.frames x info.channels, interleaved
};

// Reads all of `path` into memory with the refusals of SoundFileReader::Open
// and Read, and TooLarge when the samples do not fit in memory. On any
// refusal `sound` is left empty and `message` says why.
ReadStatus ReadWholeSound(const std::string& path, WholeSound& sound, std::string& message);

}  // namespace kelvane::sound_files
