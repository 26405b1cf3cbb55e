#include "sound_files/sound_file_reader.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string_view>

#include "declared_length.h"
#include "sndfile_access.h"

namespace kelvane::sound_files {

namespace {

// An MP3 decoder needs a few frames of the stream before its output matches
// a straight read (the bit reservoir and the filter banks carry state from
// frame to frame): seeks in lossy files land this far before the target
// and decode up to it.
constexpr std::int64_t kDecoderSettleFrames = 8192;

struct Encoding {
    SampleEncoding encoding;
    int bits;
};

Encoding EncodingOf(int subtype)
{
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_DPCM_8:
            return {SampleEncoding::Pcm, 8};
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
        case SF_FORMAT_DWVW_16:
            return {SampleEncoding::Pcm, 16};
        case SF_FORMAT_ALAC_20:
            return {SampleEncoding::Pcm, 20};
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_ALAC_24:
        case SF_FORMAT_DWVW_24:
            return {SampleEncoding::Pcm, 24};
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_ALAC_32:
            return {SampleEncoding::Pcm, 32};
        case SF_FORMAT_FLOAT:
            return {SampleEncoding::Float, 32};
        case SF_FORMAT_DOUBLE:
            return {SampleEncoding::Float, 64};
        default:
            return {SampleEncoding::Other, 0};
    }
}

// The library's own name of a major format or subtype.
std::string LibraryFormatName(int format, int command)
{
    SF_FORMAT_INFO formatInfo = {};
    formatInfo.format = format;
    if (sf_command(nullptr, command, &formatInfo, sizeof formatInfo) != 0 || formatInfo.name == nullptr) {
        return "";
    }
    return formatInfo.name;
}

std::string ContainerNameOf(int major, int subtype)
{
    switch (major) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
            return "WAV";
        case SF_FORMAT_RF64:
            return "RF64";
        case SF_FORMAT_W64:
            return "W64";
        case SF_FORMAT_AIFF:
            return "AIFF";
        case SF_FORMAT_FLAC:
            return "FLAC";
        case SF_FORMAT_OGG:
            return "Ogg";
        case SF_FORMAT_MPEG:
            return subtype == SF_FORMAT_MPEG_LAYER_III ? "MP3" : "MPEG";
        default:
            return LibraryFormatName(major, SFC_GET_FORMAT_INFO);
    }
}

std::string FormatNameOf(int format, const Encoding& encoding)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    const int subtype = format & SF_FORMAT_SUBMASK;
    std::string name = ContainerNameOf(major, subtype);
    if (major == SF_FORMAT_MPEG) {
        return name;
    }
    std::string sampleName;
    switch (encoding.encoding) {
        case SampleEncoding::Pcm:
            sampleName = std::to_string(encoding.bits) + "-bit PCM";
            break;
        case SampleEncoding::Float:
            sampleName = std::to_string(encoding.bits) + "-bit float";
            break;
        case SampleEncoding::Other:
            sampleName = LibraryFormatName(subtype, SFC_GET_FORMAT_INFO);
            break;
    }
    return sampleName.empty() ? name : name + ", " + sampleName;
}

}  // namespace

std::string EarlyEndWarning(const SoundInfo& info)
{
    if (info.declaredFrames <= info.frames) {
        return "";
    }
    return "input ends early: " + std::to_string(info.frames) + " of " + std::to_string(info.declaredFrames) +
           " frames";
}

std::vector<std::string> ReadableExtensions()
{
    // The library lists one extension per container; files of these
    // containers are as often named by these (MPEG audio is listed as .m1a).
    std::vector<std::string> extensions = {"aif", "aifc", "mp2", "mp3", "ogg", "opus"};
    int majorCount = 0;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &majorCount, sizeof majorCount);
    for (int i = 0; i < majorCount; ++i) {
        SF_FORMAT_INFO formatInfo = {};
        formatInfo.format = i;
        if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &formatInfo, sizeof formatInfo) == 0 &&
            formatInfo.extension != nullptr && formatInfo.extension[0] != '\0' &&
            // Headerless samples cannot be read without being told their form.
            std::string_view(formatInfo.extension) != "raw") {
            extensions.emplace_back(formatInfo.extension);
        }
    }
    for (std::string& extension : extensions) {
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    std::sort(extensions.begin(), extensions.end());
    extensions.erase(std::unique(extensions.begin(), extensions.end()), extensions.end());
    return extensions;
}

SoundFileReader::~SoundFileReader()
{
    Close();
}

void SoundFileReader::Close()
{
    CloseSoundFile(file, descriptor);
    info = {};
    position = 0;
    status = ReadStatus::CannotOpen;
    error = "no file open";
}

ReadStatus SoundFileReader::Refuse(ReadStatus refusal, std::string message)
{
    Close();
    status = refusal;
    error = std::move(message);
    return refusal;
}

ReadStatus SoundFileReader::Open(const std::string& path)
{
    Close();
    // Opened here rather than by the library, so that a missing file reads
    // as one and not as a format the library does not know.
    descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return Refuse(ReadStatus::CannotOpen, std::string("cannot open: ") + std::strerror(errno));
    }
    struct stat fileStatus;
    if (::fstat(descriptor, &fileStatus) != 0) {
        return Refuse(ReadStatus::CannotOpen, std::string("cannot open: ") + std::strerror(errno));
    }
    if (S_ISDIR(fileStatus.st_mode)) {
        return Refuse(ReadStatus::CannotOpen, "cannot open: it is a folder");
    }

    SF_INFO libraryInfo = {};
    {
        std::lock_guard<std::mutex> hold(LibraryOpenLock());
        file = OpenOnDescriptor(descriptor, SFM_READ, &libraryInfo);
        if (file == nullptr) {
            return Refuse(ReadStatus::NotSound,
                          "not a sound file that can be read (" + WithoutErrorPrefix(sf_strerror(nullptr)) + ")");
        }
    }

    const Encoding encoding = EncodingOf(libraryInfo.format & SF_FORMAT_SUBMASK);
    SoundInfo opened;
    opened.sampleRate = libraryInfo.samplerate;
    opened.channels = libraryInfo.channels;
    opened.frames = libraryInfo.frames;
    opened.declaredFrames = libraryInfo.frames;
    if (const std::optional<std::int64_t> declared = DeclaredFrames(descriptor);
        declared && *declared > opened.frames) {
        opened.declaredFrames = *declared;
    }
    opened.encoding = encoding.encoding;
    opened.bitsPerSample = encoding.bits;
    opened.formatName = FormatNameOf(libraryInfo.format, encoding);

    if (opened.sampleRate < kMinimumSampleRate || opened.sampleRate > kMaximumSampleRate) {
        return Refuse(ReadStatus::RateOutOfRange, "sample rate " + std::to_string(opened.sampleRate) +
                                                      " Hz is outside " + std::to_string(kMinimumSampleRate) +
                                                      " to " + std::to_string(kMaximumSampleRate) + " Hz");
    }
    if (opened.channels < 1 || opened.channels > kMaximumChannels) {
        return Refuse(ReadStatus::TooManyChannels, std::to_string(opened.channels) + " channels: at most " +
                                                       std::to_string(kMaximumChannels) + " can be processed");
    }
    // The library gives the largest count for a stream it cannot measure.
    if (opened.frames < 0 || opened.frames == std::numeric_limits<sf_count_t>::max()) {
        return Refuse(ReadStatus::UnknownLength, "its length cannot be known before the end");
    }
    if (opened.frames == 0) {
        return Refuse(ReadStatus::NoAudio, "holds no audio");
    }

    // Integers read as s / 2^(bits - 1), exactly; floats as they are.
    sf_command(AsSndfile(file), SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    info = opened;
    status = ReadStatus::Ok;
    error.clear();
    return status;
}

bool SoundFileReader::Read(float* destination, std::int64_t frameCount)
{
    if (status != ReadStatus::Ok) {
        return false;
    }
    const std::int64_t wanted = std::min(frameCount, info.frames - position);
    const sf_count_t got = wanted > 0 ? sf_readf_float(AsSndfile(file), destination, wanted) : 0;
    if (got > 0) {
        position += got;
    }
    if (got == frameCount) {
        return true;
    }
    std::string reason = WithoutErrorPrefix(sf_strerror(AsSndfile(file)));
    if (sf_error(AsSndfile(file)) == SF_ERR_NO_ERROR) {
        reason = "no more data";
    }
    status = ReadStatus::Truncated;
    error = "the file ends after " + std::to_string(position) + " of " + std::to_string(info.frames) +
            " frames (" + reason + "): it is truncated or damaged";
    return false;
}

bool SoundFileReader::Read(float* destination, std::int64_t frameCount, const ReadProgress& progress)
{
    const auto channels = static_cast<std::size_t>(info.channels);
    for (std::int64_t done = 0;;) {
        if (status != ReadStatus::Ok) {
            return false;
        }
        if (progress && !progress(done, frameCount)) {
            status = ReadStatus::Cancelled;
            error = "reading was cancelled after " + std::to_string(done) + " of " + std::to_string(frameCount) +
                    " frames";
            return false;
        }
        if (done == frameCount) {
            return true;
        }
        const std::int64_t block = std::min(kProgressBlockFrames, frameCount - done);
        if (!Read(destination + static_cast<std::size_t>(done) * channels, block)) {
            return false;
        }
        done += block;
    }
}

bool SoundFileReader::Seek(std::int64_t frame)
{
    if (status != ReadStatus::Ok) {
        return false;
    }
    const std::int64_t settle = info.encoding == SampleEncoding::Other ? kDecoderSettleFrames : 0;
    const std::int64_t landing = std::max<std::int64_t>(0, frame - settle);
    bool moved = frame >= 0 && frame <= info.frames && sf_seek(AsSndfile(file), landing, SEEK_SET) == landing;
    if (moved) {
        position = landing;
        if (frame > landing) {
            settling.resize(static_cast<std::size_t>(frame - landing) * static_cast<std::size_t>(info.channels));
            moved = Read(settling.data(), frame - landing);
        }
    }
    if (!moved) {
        status = ReadStatus::Truncated;
        error = "cannot move to frame " + std::to_string(frame) + " of " + std::to_string(info.frames) +
                ": the file is damaged or cannot be read backwards";
        return false;
    }
    return true;
}

ReadStatus ReadWholeSound(const std::string& path, WholeSound& sound, std::string& message)
{
    sound = {};
    SoundFileReader reader;
    if (ReadStatus opened = reader.Open(path); opened != ReadStatus::Ok) {
        message = reader.Error();
        return opened;
    }
    const SoundInfo& info = reader.Info();
    const auto channels = static_cast<std::uint64_t>(info.channels);
    const auto frames = static_cast<std::uint64_t>(info.frames);
    const std::uint64_t limit = std::min<std::uint64_t>(sound.samples.max_size(),
                                                        std::numeric_limits<std::size_t>::max() / sizeof(float));
    if (frames > limit / channels) {
        message = std::to_string(info.frames) + " frames are more than memory can hold";
        return ReadStatus::TooLarge;
    }
    try {
        sound.samples.resize(static_cast<std::size_t>(frames * channels));
    } catch (const std::bad_alloc&) {
        message = std::to_string(info.frames) + " frames are more than memory can hold";
        return ReadStatus::TooLarge;
    }
    if (!reader.Read(sound.samples.data(), info.frames)) {
        sound = {};
        message = reader.Error();
        return reader.Status();
    }
    sound.info = info;
    message.clear();
    return ReadStatus::Ok;
}

}  // namespace kelvane::sound_files
