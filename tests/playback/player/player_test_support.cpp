#include "player_test_support.h"

#include <cmath>
#include <cstring>
#include <random>

namespace kelvane::playback::test {

std::unique_ptr<Sound> MakeSound(int sampleRate, int channels, const std::vector<float>& samples)
{
    auto sound = std::make_unique<Sound>();
    sound->channels = channels;
    sound->sampleRate = static_cast<std::uint32_t>(sampleRate);
    sound->frameCount = static_cast<std::int32_t>(samples.size() / static_cast<std::size_t>(channels));
    const std::size_t bytes = samples.size() * sizeof(float);
    if (!samples.empty() && sound->samples.Allocate(bytes)) {
        std::memcpy(sound->samples.data(), samples.data(), bytes);
    }
    return sound;
}

std::vector<float> Sine(int channels, int frames, double cyclesPerFrame, float amplitude)
{
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            samples[static_cast<std::size_t>(f) * channels + c] =
                amplitude * static_cast<float>(std::sin(2.0 * M_PI * cyclesPerFrame * (c + 1) * f));
        }
    }
    return samples;
}

std::vector<float> Noise(int channels, int frames, float amplitude, std::uint32_t seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-amplitude, amplitude);
    std::vector<float> samples(static_cast<std::size_t>(frames) * channels);
    for (float& sample : samples) {
        sample = uniform(random);
    }
    return samples;
}

struct SpyTable {
    static int SetSampleRate(EngineInterface* e, int rate)
    {
        return Record(e, "SetSampleRate", rate).SetSampleRate(Real(e), rate);
    }
    static int Reset(EngineInterface* e) { return Record(e, "Reset").Reset(Real(e)); }
    static int Process(EngineInterface* e) { return Record(e, "Process").Process(Real(e)); }
    static int Flush(EngineInterface* e) { return Record(e, "Flush").Flush(Real(e)); }
    static int GetOutputAvailable(EngineInterface* e) { return Ops(e).GetOutputAvailable(Real(e)); }
    static int GetInputRequired(EngineInterface* e) { return Ops(e).GetInputRequired(Real(e)); }
    static int PullOutput(EngineInterface* e, float* destination, int frames)
    {
        EngineCall call{"PullOutput"};
        call.frames = frames;
        SpyEngine& spy = SpyEngine::Of(e);
        spy.calls.push_back(call);
        const int status = Ops(e).PullOutput(Real(e), destination, frames);
        if (spy.afterPull) {
            spy.afterPull();
        }
        return status;
    }
    static int PushInput(EngineInterface* e, const float* source, int frames, int mode)
    {
        SpyEngine& spy = SpyEngine::Of(e);
        const int channels = spy.sound.channels;
        const float* begin = spy.sound.samples.data();
        const float* faded = spy.workspace != nullptr ? spy.workspace->fadedInput.data() : nullptr;
        std::int64_t first = (source - begin) / channels;
        if (faded != nullptr && source == faded) {
            first = -1;
            if (frames < 0 || frames * channels > CallbackWorkspace::kSamples) {
                ++spy.outsideReads;
            }
        } else if (source < begin || first + frames > spy.sound.frameCount || frames < 0) {
            ++spy.outsideReads;
        }
        EngineCall call{"PushInput"};
        call.first = first;
        call.frames = frames;
        call.mode = mode;
        spy.calls.push_back(call);
        return Ops(e).PushInput(Real(e), source, frames, mode);
    }
    static int SetPitchSemitones(EngineInterface* e, float v)
    {
        return Record(e, "SetPitchSemitones", v).SetPitchSemitones(Real(e), v);
    }
    static int SetPitchPercent(EngineInterface* e, float v)
    {
        return Record(e, "SetPitchPercent", v).SetPitchPercent(Real(e), v);
    }
    static int SetFormantSemitones(EngineInterface* e, float v)
    {
        return Record(e, "SetFormantSemitones", v).SetFormantSemitones(Real(e), v);
    }
    static int SetFormantPercent(EngineInterface* e, float v)
    {
        return Record(e, "SetFormantPercent", v).SetFormantPercent(Real(e), v);
    }
    static int SetSpeedPercent(EngineInterface* e, float v)
    {
        return Record(e, "SetSpeedPercent", v).SetSpeedPercent(Real(e), v);
    }
    static int GetChannelCount(EngineInterface* e) { return Ops(e).GetChannelCount(Real(e)); }

    static EngineInterface* Real(EngineInterface* e) { return SpyEngine::Of(e).real; }
    static const EngineOperations& Ops(EngineInterface* e) { return *Real(e)->operations; }
    static const EngineOperations& Record(EngineInterface* e, const char* name, double value = 0.0)
    {
        EngineCall call{name};
        call.value = value;
        SpyEngine::Of(e).calls.push_back(call);
        return Ops(e);
    }
};

const EngineOperations SpyEngine::table = {
    SpyTable::SetSampleRate,       SpyTable::Reset,           SpyTable::Process,
    SpyTable::Flush,               SpyTable::GetOutputAvailable, SpyTable::GetInputRequired,
    SpyTable::PullOutput,          SpyTable::PushInput,       SpyTable::SetPitchSemitones,
    SpyTable::SetPitchPercent,     SpyTable::SetFormantSemitones, SpyTable::SetFormantPercent,
    SpyTable::SetSpeedPercent,     SpyTable::GetChannelCount,
};

SpyEngine::SpyEngine(const Sound& sound, int quality) : sound(sound)
{
    face.face.operations = &table;
    face.owner = this;
    CreateInstance(&real, static_cast<int>(sound.sampleRate), sound.channels, quality);
    face.face.instance = real != nullptr ? real->instance : nullptr;
}

SpyEngine::~SpyEngine()
{
    if (real != nullptr) {
        DestroyInstance(&real);
    }
}

std::vector<EngineCall> SpyEngine::CallsNamed(const std::string& name) const
{
    std::vector<EngineCall> named;
    for (const EngineCall& call : calls) {
        if (call.name == name) {
            named.push_back(call);
        }
    }
    return named;
}

void PrepareState(PlayerState& state, const Sound& sound, EngineInterface* engine)
{
    state.sound.store(&sound);
    state.engineHandle.store(engine);
    state.downmix = DownmixFor(sound.channels);
    PrepareForPlay(state);
}

int RunCallback(PlayerState& state, std::vector<float>& output, int frames)
{
    std::vector<float> buffer(static_cast<std::size_t>(frames) * 2, std::nanf(""));
    const int result = AudioCallback(nullptr, buffer.data(), static_cast<unsigned long>(frames), nullptr, 0, &state);
    output.insert(output.end(), buffer.begin(), buffer.end());
    return result;
}

int RunUntilComplete(PlayerState& state, std::vector<float>& output, int maxBuffers)
{
    for (int buffers = 1; buffers <= maxBuffers; ++buffers) {
        if (RunCallback(state, output) == paComplete) {
            return buffers;
        }
    }
    return maxBuffers;
}

std::int64_t FirstAbove(const std::vector<float>& samples, float threshold, std::int64_t from)
{
    for (std::size_t i = static_cast<std::size_t>(from); i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > threshold) {
            return static_cast<std::int64_t>(i);
        }
    }
    return -1;
}

}  // namespace kelvane::playback::test
