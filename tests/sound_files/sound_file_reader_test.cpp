// The sound-file reader: every listed format, generated here with libsndfile
// itself, read back with its rate, channels, length and samples; reads in
// blocks and seeks agreeing with a whole read; and every refusal with its
// words, the same through the block reader and the whole-file read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "render_test_support.h"
#include "sndfile_access.h"
#include "sound_files/sound_file_reader.h"

namespace kelvane::sound_files {
namespace {

using render::test::ScratchFolder;
using render::test::Sound;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct InputCase {
    const char* name;
    int libraryFormat;
    int sampleRate;
    int channels;
    SampleEncoding encoding;
    int bitsPerSample;
    const char* formatName;
    double gridStep;  // the step the samples sit on for an exact round trip; 0 for lossy
};

const InputCase kInputs[] = {
    {"pcm16.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, SampleEncoding::Pcm, 16, "WAV, 16-bit PCM", 1.0 / 32768},
    {"pcm24.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 32000, 1, SampleEncoding::Pcm, 24, "WAV, 24-bit PCM", 1.0 / 8388608},
    {"pcm32.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_32, 48000, 3, SampleEncoding::Pcm, 32, "WAV, 32-bit PCM", 1.0 / 8388608},
    {"u8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 44100, 1, SampleEncoding::Pcm, 8, "WAV, 8-bit PCM", 1.0 / 128},
    {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 96000, 2, SampleEncoding::Float, 32, "WAV, 32-bit float", 0.0},
    {"double.wav", SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 44100, 1, SampleEncoding::Float, 64, "WAV, 64-bit float", 0.0},
    {"extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 44100, 6, SampleEncoding::Pcm, 24, "WAV, 24-bit PCM",
     1.0 / 8388608},
    {"small.rf64", SF_FORMAT_RF64 | SF_FORMAT_PCM_16, 44100, 2, SampleEncoding::Pcm, 16, "RF64, 16-bit PCM",
     1.0 / 32768},
    {"small.w64", SF_FORMAT_W64 | SF_FORMAT_FLOAT, 44100, 2, SampleEncoding::Float, 32, "W64, 32-bit float", 0.0},
    {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 44100, 2, SampleEncoding::Pcm, 16, "AIFF, 16-bit PCM",
     1.0 / 32768},
    {"pcm16.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, SampleEncoding::Pcm, 16, "FLAC, 16-bit PCM",
     1.0 / 32768},
    {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 196000, 8, SampleEncoding::Pcm, 24, "FLAC, 24-bit PCM",
     1.0 / 8388608},
    {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100, 2, SampleEncoding::Other, 0, "Ogg, Vorbis", -1.0},
    // Opus takes 48000 Hz and a few lower rates only, all of them but this
    // one below the engine's.
    {"opus.opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, 2, SampleEncoding::Other, 0, "Ogg, Opus", -1.0},
    {"layer3.mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, SampleEncoding::Other, 0, "MP3", -1.0},
};

// A tone that lossy codecs keep well, on the grid of the file's integers.
Sound Input(const InputCase& c, double seconds)
{
    Sound sound = render::test::Tone(c.sampleRate, c.channels, 997.0, seconds, 0.5);
    for (std::size_t i = 0; i < sound.samples.size(); ++i) {
        sound.samples[i] *= 1.0f - 0.1f * static_cast<float>(i % static_cast<std::size_t>(c.channels));
        if (c.gridStep > 0.0) {
            sound.samples[i] = static_cast<float>(std::nearbyint(sound.samples[i] / c.gridStep) * c.gridStep);
        }
    }
    if (c.gridStep == 0.0) {
        sound.samples[1] = 1.75f;  // float files keep what lies beyond full scale
    }
    return sound;
}

// The error of a lossy decode relative to the signal, in dB.
double ErrorDecibels(const std::vector<float>& decoded, const std::vector<float>& original)
{
    double error = 0.0;
    double signal = 0.0;
    for (std::size_t i = 0; i < std::min(decoded.size(), original.size()); ++i) {
        error += (decoded[i] - original[i]) * (decoded[i] - original[i]);
        signal += original[i] * original[i];
    }
    return 10.0 * std::log10(error / signal);
}

Sound AsSound(const WholeSound& whole)
{
    Sound sound;
    sound.sampleRate = whole.info.sampleRate;
    sound.channels = whole.info.channels;
    sound.samples = whole.samples;
    return sound;
}

class SoundFileReaderTest : public ::testing::Test {
protected:
    ScratchFolder folder;
};

TEST_F(SoundFileReaderTest, ReadsEveryListedFormatWithItsRateChannelsLengthAndSamples)
{
    for (const InputCase& c : kInputs) {
        SCOPED_TRACE(c.name);
        const Sound written = Input(c, 0.3);
        render::test::WriteSound(folder.Path(c.name), written, c.libraryFormat);

        WholeSound whole;
        std::string message;
        ASSERT_EQ(ReadWholeSound(folder.Path(c.name), whole, message), ReadStatus::Ok) << message;
        EXPECT_EQ(whole.info.sampleRate, c.sampleRate);
        EXPECT_EQ(whole.info.channels, c.channels);
        EXPECT_EQ(whole.info.frames, written.Frames());
        EXPECT_EQ(whole.info.encoding, c.encoding);
        EXPECT_EQ(whole.info.bitsPerSample, c.bitsPerSample);
        EXPECT_EQ(whole.info.formatName, c.formatName);
        ASSERT_EQ(whole.samples.size(), written.samples.size());
        if (c.gridStep >= 0.0) {
            EXPECT_EQ(whole.samples, written.samples) << "lossless formats read back exactly";
        } else {
            // What a listener hears of a lossy decode: each channel's level
            // (they differ by a tenth, so an exchange shows) and pitch.
            const Sound decoded = AsSound(whole);
            const std::int64_t quarter = decoded.Frames() / 4;
            for (int channel = 0; channel < c.channels; ++channel) {
                EXPECT_NEAR(render::test::Rms(decoded, channel, quarter, 2 * quarter),
                            render::test::Rms(written, channel, quarter, 2 * quarter), 0.01)
                    << "channel " << channel;
                EXPECT_NEAR(render::test::DominantFrequency(decoded, channel, quarter, 2 * quarter), 997.0, 1.0);
            }
            // Vorbis and MP3 keep the waveform itself (about -40 dB here);
            // Opus does not keep the phase of a tone.
            if (std::string(c.name) != "opus.opus") {
                EXPECT_LT(ErrorDecibels(whole.samples, written.samples), -25.0);
            }
        }

        // Blocks of uneven sizes give the same frames as the whole read.
        SoundFileReader reader;
        ASSERT_EQ(reader.Open(folder.Path(c.name)), ReadStatus::Ok) << reader.Error();
        std::vector<float> blocks(whole.samples.size());
        std::int64_t at = 0;
        for (std::int64_t size = 1; at < reader.Info().frames; size = size * 3 + 7) {
            const std::int64_t count = std::min(size, reader.Info().frames - at);
            ASSERT_TRUE(reader.Read(blocks.data() + at * c.channels, count)) << reader.Error();
            at += count;
        }
        EXPECT_EQ(blocks, whole.samples);
        EXPECT_EQ(reader.Position(), reader.Info().frames);
        EXPECT_FALSE(reader.Read(blocks.data(), 1)) << "nothing past the end";
    }
}

TEST_F(SoundFileReaderTest, SeeksBackwardsGiveTheSameFramesAsReadingStraightThrough)
{
    // Reversed renders read compressed files backwards, a window at a time.
    for (const InputCase& c : kInputs) {
        const std::string name = c.name;
        if (name != "pcm24.flac" && name != "vorbis.ogg" && name != "opus.opus" && name != "layer3.mp3") {
            continue;
        }
        SCOPED_TRACE(name);
        render::test::WriteSound(folder.Path(name), Input(c, 0.5), c.libraryFormat);
        WholeSound whole;
        std::string message;
        ASSERT_EQ(ReadWholeSound(folder.Path(name), whole, message), ReadStatus::Ok) << message;

        SoundFileReader reader;
        ASSERT_EQ(reader.Open(folder.Path(name)), ReadStatus::Ok);
        const std::int64_t frames = reader.Info().frames;
        const std::int64_t block = 4000;
        for (std::int64_t first = frames - block; first >= 0; first -= 3 * block - 1) {
            std::vector<float> read(static_cast<std::size_t>(block * c.channels));
            ASSERT_TRUE(reader.Seek(first)) << reader.Error();
            ASSERT_TRUE(reader.Read(read.data(), block)) << reader.Error();
            const auto from = whole.samples.begin() + first * c.channels;
            EXPECT_TRUE(std::equal(read.begin(), read.end(), from)) << "from frame " << first;
        }
        EXPECT_FALSE(reader.Seek(frames + 1));
    }
}

TEST_F(SoundFileReaderTest, RefusesWhatTheEngineCannotTakeNamingTheLimitThroughEitherRead)
{
    Sound tone = render::test::Tone(44100, 1, 440.0, 0.05, 0.5);
    const auto write = [&](const std::string& name, Sound sound, int format) {
        render::test::WriteSound(folder.Path(name), sound, format);
    };
    tone.sampleRate = 31999;
    write("31999.wav", tone, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    tone.sampleRate = 196001;
    write("196001.wav", tone, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    tone.sampleRate = 22050;
    write("22050.flac", tone, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    write("nine.wav", render::test::Tone(44100, 9, 440.0, 0.05, 0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    write("silent.wav", Sound{}, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::ofstream(folder.Path("words.wav")) << "RIFF but not really a sound file";
    std::ofstream(folder.Path("nothing.flac"));
    ASSERT_EQ(::mkdir(folder.Path("folder.wav").c_str(), 0755), 0);

    const std::vector<std::tuple<std::string, ReadStatus, std::string>> cases = {
        {"31999.wav", ReadStatus::RateOutOfRange, "sample rate 31999 Hz is outside 32000 to 196000 Hz"},
        {"196001.wav", ReadStatus::RateOutOfRange, "sample rate 196001 Hz is outside 32000 to 196000 Hz"},
        {"22050.flac", ReadStatus::RateOutOfRange, "sample rate 22050 Hz is outside 32000 to 196000 Hz"},
        {"nine.wav", ReadStatus::TooManyChannels, "9 channels: at most 8 can be processed"},
        {"silent.wav", ReadStatus::NoAudio, "holds no audio"},
        {"words.wav", ReadStatus::NotSound, "not a sound file that can be read ("},
        {"nothing.flac", ReadStatus::NotSound, "not a sound file that can be read ("},
        {"folder.wav", ReadStatus::CannotOpen, "cannot open: it is a folder"},
        {"missing.wav", ReadStatus::CannotOpen, "cannot open: No such file or directory"},
    };
    for (const auto& [name, status, words] : cases) {
        SoundFileReader reader;
        EXPECT_EQ(reader.Open(folder.Path(name)), status) << name;
        EXPECT_THAT(reader.Error(), StartsWith(words)) << name;
        float frame[8];
        EXPECT_FALSE(reader.Read(frame, 1)) << name;

        WholeSound whole;
        whole.samples.assign(10, 1.0f);
        std::string message;
        EXPECT_EQ(ReadWholeSound(folder.Path(name), whole, message), status) << name;
        EXPECT_THAT(message, StartsWith(words)) << name;
        EXPECT_TRUE(whole.samples.empty()) << name;
    }

    // The limits themselves are taken.
    for (int rate : {kMinimumSampleRate, kMaximumSampleRate}) {
        tone.sampleRate = rate;
        write("edge.wav", tone, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        SoundFileReader reader;
        EXPECT_EQ(reader.Open(folder.Path("edge.wav")), ReadStatus::Ok) << rate << " Hz: " << reader.Error();
    }
    write("eight.wav", render::test::Tone(44100, 8, 440.0, 0.05, 0.5), SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    SoundFileReader eight;
    EXPECT_EQ(eight.Open(folder.Path("eight.wav")), ReadStatus::Ok) << eight.Error();
}

TEST_F(SoundFileReaderTest, ATruncatedFlacOpensButItsReadFailsWhereTheDataEnds)
{
    // Its header still promises every frame: only reading finds the cut.
    const Sound music = render::test::Music(44100, 2, 1.0, 8);
    render::test::WriteSound(folder.Path("whole.flac"), music, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    std::vector<std::uint8_t> bytes = render::test::ReadBytes(folder.Path("whole.flac"));
    std::ofstream(folder.Path("cut.flac"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size() * 2 / 3));

    SoundFileReader reader;
    ASSERT_EQ(reader.Open(folder.Path("cut.flac")), ReadStatus::Ok);
    EXPECT_EQ(reader.Info().frames, music.Frames());
    std::vector<float> samples(music.samples.size());
    EXPECT_FALSE(reader.Read(samples.data(), music.Frames()));
    EXPECT_EQ(reader.Status(), ReadStatus::Truncated);
    EXPECT_GT(reader.Position(), 0);
    EXPECT_LT(reader.Position(), music.Frames());
    EXPECT_EQ(reader.Error(), "the file ends after " + std::to_string(reader.Position()) + " of 44100 frames " +
                                  "(flac decoder lost sync): it is truncated or damaged");

    WholeSound whole;
    std::string message;
    EXPECT_EQ(ReadWholeSound(folder.Path("cut.flac"), whole, message), ReadStatus::Truncated);
    EXPECT_EQ(message, reader.Error());
    EXPECT_TRUE(whole.samples.empty());
}

TEST_F(SoundFileReaderTest, AWaveOrAiffCutShortReadsAsFarAsItGoesAndTellsWhatItsHeaderPromised)
{
    struct Case {
        const char* name;
        int libraryFormat;
        int frameBytes;
        std::int64_t cutFrames;  // taken off the end
        bool openLength;         // the data size says "not known" (0xFFFFFFFF), as streaming writers leave it
        std::int64_t declared;   // what Info().declaredFrames should say
    };
    constexpr std::int64_t kFrames = 4410;
    const Case cases[] = {
        {"whole.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, 0, false, kFrames},
        {"cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, 1000, false, kFrames},
        {"cut-extensible.wav", SF_FORMAT_WAVEX | SF_FORMAT_PCM_24, 6, 10, false, kFrames},
        {"cut.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 4, 4409, false, kFrames},
        {"cut-float.aifc", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 8, 2000, false, kFrames},
        {"streamed.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, 0, true, kFrames},
        {"streamed-cut.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4, 1000, true, kFrames - 1000},
    };
    const Sound music = render::test::Music(44100, 2, 0.1, 5);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.Path(c.name);
        render::test::WriteSound(path, music, c.libraryFormat);
        std::vector<std::uint8_t> bytes = render::test::ReadBytes(path);
        bytes.resize(bytes.size() - static_cast<std::size_t>(c.cutFrames * c.frameBytes));
        if (c.openLength) {
            const auto data = std::search(bytes.begin(), bytes.end(), std::begin("data"), std::end("data") - 1);
            ASSERT_NE(data, bytes.end());
            std::fill(data + 4, data + 8, 0xFF);
        }
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

        SoundFileReader reader;
        ASSERT_EQ(reader.Open(path), ReadStatus::Ok) << reader.Error();
        const std::int64_t held = kFrames - c.cutFrames;
        EXPECT_EQ(reader.Info().frames, held);
        EXPECT_EQ(reader.Info().declaredFrames, c.declared);
        EXPECT_EQ(EarlyEndWarning(reader.Info()),
                  c.declared > held ? "input ends early: " + std::to_string(held) + " of " +
                                          std::to_string(c.declared) + " frames"
                                    : "");
        std::vector<float> samples(static_cast<std::size_t>(held) * 2);
        EXPECT_TRUE(reader.Read(samples.data(), held)) << reader.Error();
        EXPECT_EQ(samples[0], render::test::ReadSound(path).samples[0]);
    }
}

// A long read told in blocks, as the window shows it: the same frames as one
// read, every block reported in order, and a stop asked for at any report
// ending the read there.
TEST_F(SoundFileReaderTest, AReadInBlocksReportsEachAndStopsWhereAsked)
{
    constexpr std::int64_t kBlock = SoundFileReader::kProgressBlockFrames;
    const Sound music = render::test::Music(44100, 2, (3 * kBlock + 1000) / 44100.0, 7);
    for (const char* name : {"long.flac", "long.mp3"}) {
        SCOPED_TRACE(name);
        const bool mp3 = std::string(name) == "long.mp3";
        render::test::WriteSound(folder.Path(name), music,
                                 mp3 ? SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III : SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        WholeSound whole;
        std::string message;
        ASSERT_EQ(ReadWholeSound(folder.Path(name), whole, message), ReadStatus::Ok) << message;
        const std::int64_t frames = whole.info.frames;

        SoundFileReader reader;
        ASSERT_EQ(reader.Open(folder.Path(name)), ReadStatus::Ok);
        std::vector<float> samples(whole.samples.size());
        std::vector<std::int64_t> reports;
        ASSERT_TRUE(reader.Read(samples.data(), frames, [&](std::int64_t done, std::int64_t wanted) {
            EXPECT_EQ(wanted, frames);
            reports.push_back(done);
            return true;
        })) << reader.Error();
        EXPECT_EQ(samples, whole.samples);
        EXPECT_THAT(reports, ::testing::ElementsAre(0, kBlock, 2 * kBlock, 3 * kBlock, frames));

        // Stopped before the first block and after the second.
        for (const std::int64_t stopAt : {std::int64_t{0}, 2 * kBlock}) {
            ASSERT_EQ(reader.Open(folder.Path(name)), ReadStatus::Ok);
            EXPECT_FALSE(reader.Read(samples.data(), frames, [&](std::int64_t done, std::int64_t) { return done < stopAt; }));
            EXPECT_EQ(reader.Status(), ReadStatus::Cancelled);
            EXPECT_EQ(reader.Position(), stopAt);
            EXPECT_EQ(reader.Error(), "reading was cancelled after " + std::to_string(stopAt) + " of " +
                                          std::to_string(frames) + " frames");
            EXPECT_FALSE(reader.Read(samples.data(), 1)) << "a stopped reader reads no more";
        }
    }
}

}  // namespace
}  // namespace kelvane::sound_files

namespace kelvane::sound_files {
namespace {

// libsndfile closes the descriptor of a failed open even when told not to.
// The caller's descriptor must survive it: closing it a second time could
// close a file another thread has just opened under the same number (a batch
// with a bad file among its inputs lost good files that way).
TEST(SndfileAccess, AFailedOpenLeavesTheCallersDescriptorOpen)
{
    render::test::ScratchFolder folder;
    const std::string path = folder.Path("notes.wav");
    std::ofstream(path) << "not sound";
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(descriptor, 0);
    SF_INFO info = {};
    {
        std::lock_guard<std::mutex> hold(LibraryOpenLock());
        EXPECT_EQ(OpenOnDescriptor(descriptor, SFM_READ, &info), nullptr);
    }
    EXPECT_NE(::fcntl(descriptor, F_GETFD), -1) << "the caller's descriptor was closed";
    ::close(descriptor);
}

}  // namespace
}  // namespace kelvane::sound_files
