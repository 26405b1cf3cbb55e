// How fast the WAV loader turns a file into float frames, beside a plain read
// of the same file: with the file in the page cache that read is the most any
// loader could do, and `cat` is the same limit as the shell sees it.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "playback/loaded_sound.h"

namespace {

struct BenchWave {
    const char* name;
    std::uint16_t channels;
    std::uint32_t rate;
    std::uint16_t bits;
    std::uint32_t seconds;
};

constexpr BenchWave benchWaves[] = {
    {"16bit-44100-stereo-10min", 2, 44100, 16, 600},
    {"24bit-96000-stereo-10min", 2, 96000, 24, 600},
};

void PutLe(std::vector<std::uint8_t>& bytes, std::uint64_t value, int width)
{
    for (int i = 0; i < width; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Writes a plain PCM file of noise; false when it cannot.
bool WriteWave(const std::string& path, const BenchWave& wave)
{
    const std::uint32_t frameBytes = wave.channels * wave.bits / 8u;
    const std::uint64_t dataBytes = std::uint64_t{wave.rate} * wave.seconds * frameBytes;
    std::vector<std::uint8_t> bytes{'R', 'I', 'F', 'F'};
    PutLe(bytes, 36 + dataBytes, 4);
    for (const char c : std::string("WAVEfmt ")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    PutLe(bytes, 16, 4);
    PutLe(bytes, 1, 2);
    PutLe(bytes, wave.channels, 2);
    PutLe(bytes, wave.rate, 4);
    PutLe(bytes, std::uint64_t{wave.rate} * frameBytes, 4);
    PutLe(bytes, frameBytes, 2);
    PutLe(bytes, wave.bits, 2);
    for (const char c : std::string("data")) {
        bytes.push_back(static_cast<std::uint8_t>(c));
    }
    PutLe(bytes, dataBytes, 4);

    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::vector<std::uint8_t> block(1 << 20);
    std::uint32_t noise = 12345;
    for (std::uint64_t left = dataBytes; written && left > 0;) {
        for (std::uint8_t& byte : block) {
            noise = noise * 1664525u + 1013904223u;
            byte = static_cast<std::uint8_t>(noise >> 24);
        }
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        written = std::fwrite(block.data(), 1, count, file) == count;
        left -= count;
    }
    // On disk before timing starts, so that no write-back runs beside the reads.
    written = written && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
    return std::fclose(file) == 0 && written;
}

// The test files, made on first use in a folder of their own.
class BenchFiles {
public:
    static BenchFiles& Get()
    {
        static BenchFiles files;
        return files;
    }
    static void RemoveIfMade()
    {
        if (made) {
            std::error_code ignored;
            std::filesystem::remove_all(Get().folder, ignored);
        }
    }

    const std::string& Path(std::size_t index) const { return paths[index]; }
    std::uint64_t Size(std::size_t index) const { return sizes[index]; }

private:
    BenchFiles()
    {
        made = true;
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            return;
        }
        folder = pattern;
        for (const BenchWave& wave : benchWaves) {
            const std::string path = folder + "/" + wave.name + ".wav";
            const bool written = WriteWave(path, wave);
            paths.push_back(written ? path : std::string{});
            sizes.push_back(written ? std::filesystem::file_size(path) : 0);
        }
    }

    static inline bool made = false;
    std::string folder;
    std::vector<std::string> paths;
    std::vector<std::uint64_t> sizes;
};

void SetRate(benchmark::State& state, std::uint64_t bytes)
{
    state.counters["MB"] =
        benchmark::Counter(static_cast<double>(bytes) * static_cast<double>(state.iterations()) / 1e6,
                           benchmark::Counter::kIsRate);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

bool HaveFile(benchmark::State& state, std::size_t index)
{
    if (BenchFiles::Get().Path(index).empty()) {
        state.SkipWithError("cannot write the test file");
        return false;
    }
    return true;
}

void LoadSoundFromFile(benchmark::State& state, std::size_t index)
{
    if (!HaveFile(state, index)) {
        return;
    }
    const std::string& path = BenchFiles::Get().Path(index);
    for (auto _ : state) {
        kelvane::playback::LoadedSound sound;
        if (kelvane::playback::LoadSound(sound, path) != kelvane::playback::LoadResult::Loaded) {
            state.SkipWithError("the file did not load");
            return;
        }
        benchmark::DoNotOptimize(sound.samples.data());
    }
    SetRate(state, BenchFiles::Get().Size(index));
}

// The same file already in memory: what the conversion alone costs.
void LoadSoundFromBytes(benchmark::State& state, std::size_t index)
{
    if (!HaveFile(state, index)) {
        return;
    }
    std::vector<std::uint8_t> bytes(BenchFiles::Get().Size(index));
    std::FILE* file = std::fopen(BenchFiles::Get().Path(index).c_str(), "rb");
    const bool read = file != nullptr && std::fread(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!read) {
        state.SkipWithError("cannot read the test file");
        return;
    }
    for (auto _ : state) {
        kelvane::playback::LoadedSound sound;
        if (kelvane::playback::LoadSoundFromMemory(sound, bytes.data(), bytes.size()) != kelvane::playback::LoadResult::Loaded) {
            state.SkipWithError("the file did not load");
            return;
        }
        benchmark::DoNotOptimize(sound.samples.data());
    }
    SetRate(state, bytes.size());
}

// read(2) of the whole file into a buffer that is already mapped.
void ReadWholeFile(benchmark::State& state, std::size_t index)
{
    if (!HaveFile(state, index)) {
        return;
    }
    std::vector<std::uint8_t> buffer(BenchFiles::Get().Size(index), 1);
    for (auto _ : state) {
        const int file = ::open(BenchFiles::Get().Path(index).c_str(), O_RDONLY | O_CLOEXEC);
        std::size_t got = 0;
        while (file >= 0 && got < buffer.size()) {
            const ssize_t count = ::read(file, buffer.data() + got, buffer.size() - got);
            if (count <= 0) {
                break;
            }
            got += static_cast<std::size_t>(count);
        }
        if (file >= 0) {
            ::close(file);
        }
        if (got != buffer.size()) {
            state.SkipWithError("short read");
            return;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    SetRate(state, buffer.size());
}

void CatFile(benchmark::State& state, std::size_t index)
{
    if (!HaveFile(state, index)) {
        return;
    }
    const std::string command = "cat '" + BenchFiles::Get().Path(index) + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError("cat failed");
            return;
        }
    }
    SetRate(state, BenchFiles::Get().Size(index));
}

void RegisterAll()
{
    for (std::size_t index = 0; index < std::size(benchWaves); ++index) {
        const std::string name = benchWaves[index].name;
        const auto add = [&](const char* what, void (*function)(benchmark::State&, std::size_t)) {
            benchmark::RegisterBenchmark((std::string(what) + "/" + name).c_str(), function, index)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->MinTime(2.0);
        };
        add("LoadSound", LoadSoundFromFile);
        add("LoadSoundFromMemory", LoadSoundFromBytes);
        add("ReadWholeFile", ReadWholeFile);
        add("CatFile", CatFile);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    RegisterAll();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    BenchFiles::RemoveIfMade();
    return 0;
}
