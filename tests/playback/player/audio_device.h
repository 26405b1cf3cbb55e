// Audio devices for tests on machines without a sound card: a sound-system
// configuration, made in a fresh folder and named in the environment before
// the audio library starts, whose default output records everything played
// into a file (raw float32 frames exactly as the callback wrote them, written
// as fast as the stream runs), or that has no output device at all.
#pragma once

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kelvane::playback::test {

class AudioDevice {
public:
    enum class Kind { Capture, None };

    explicit AudioDevice(Kind kind)
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-audio-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        folder = pattern;
        configPath = folder + "/asound.conf";
        capturePath = folder + "/played.raw";
        std::ofstream config(configPath);
        if (kind == Kind::Capture) {
            config << "pcm.!default {\n"
                      "    type file\n"
                      "    slave.pcm { type null }\n"
                      "    file \"" << capturePath << "\"\n"
                      "    format \"raw\"\n"
                      "    perm 0644\n"
                      "}\n";
        } else {
            config << "pcm.!default { type hw card 99 }\n";
        }
    }
    ~AudioDevice()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    AudioDevice(const AudioDevice&) = delete;
    AudioDevice& operator=(const AudioDevice&) = delete;

    // Points this process's sound system at the configuration; call before
    // the audio library starts.
    void Use() const { ::setenv("ALSA_CONFIG_PATH", configPath.c_str(), 1); }

    // Everything played since the last stream opened, as float samples.
    std::vector<float> Captured() const
    {
        std::ifstream file(capturePath, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::vector<float> samples(bytes.size() / sizeof(float));
        std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
        return samples;
    }
    std::uintmax_t CapturedBytes() const
    {
        std::error_code error;
        const auto size = std::filesystem::file_size(capturePath, error);
        return error ? 0 : size;
    }

    std::string folder;
    std::string configPath;
    std::string capturePath;
};

}  // namespace kelvane::playback::test
