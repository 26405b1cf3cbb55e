// The engine and the peers that are installed (Rubber Band's real-time mode,
// SoundTouch) behind one face, as an audio callback drives a stretcher:
// interleaved frames in and out. The benchmarks that compare them share it.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "bench_support.h"
#include "kelvane/engine.h"

#ifdef KELVANE_HAVE_RUBBERBAND
#include <rubberband/RubberBandStretcher.h>
#endif
#ifdef KELVANE_HAVE_SOUNDTOUCH
#include <soundtouch/SoundTouch.h>
#endif

namespace kelvane::bench {

// What every stretcher is asked to do.
struct StretchSetting {
    int rate = 44100;
    int channels = 2;
    float speedPercent = 100.0f;
    float semitones = 0.0f;
    bool formant = false;  // keep the formants where the stretcher can
};

class Stretcher {
public:
    virtual ~Stretcher() = default;
    // Back to the start, with the setting applied.
    virtual void Restart() = 0;
    // Input frames wanted before more output can come; 0 when it does not say.
    virtual int Wanted() = 0;
    virtual void Push(const float* frames, int count) = 0;
    virtual int Available() = 0;
    virtual void Pull(float* frames, int count) = 0;
};

class KelvaneStretcher : public Stretcher {
public:
    explicit KelvaneStretcher(const StretchSetting& setting) : setting(setting)
    {
        CreateInstance(&engine, setting.rate, setting.channels, 1);
    }
    ~KelvaneStretcher() override { DestroyInstance(&engine); }
    KelvaneStretcher(const KelvaneStretcher&) = delete;
    KelvaneStretcher& operator=(const KelvaneStretcher&) = delete;
    bool Valid() const { return engine != nullptr; }
    void Restart() override
    {
        call().SetSpeedPercent(engine, setting.speedPercent);
        call().SetPitchSemitones(engine, setting.semitones);
        call().SetFormantSemitones(engine, setting.formant ? setting.semitones : 0.0f);
        call().Reset(engine);
    }
    int Wanted() override { return call().GetInputRequired(engine); }
    void Push(const float* frames, int count) override
    {
        call().PushInput(engine, frames, count, KELVANE_FORWARD);
        call().Process(engine);
    }
    int Available() override { return call().GetOutputAvailable(engine); }
    void Pull(float* frames, int count) override { call().PullOutput(engine, frames, count); }

private:
    const EngineOperations& call() const { return *engine->operations; }
    StretchSetting setting;
    EngineInterface* engine = nullptr;
};

#ifdef KELVANE_HAVE_RUBBERBAND
class RubberBandStretcher : public Stretcher {
public:
    RubberBandStretcher(const StretchSetting& setting, bool finer)
        : timeRatio(100.0 / setting.speedPercent),
          pitchScale(std::exp2(setting.semitones / 12.0)),
          stretcher(setting.rate, setting.channels, Options(setting, finer), timeRatio, pitchScale),
          planar(static_cast<std::size_t>(setting.channels))
    {
    }
    void Restart() override
    {
        stretcher.reset();
        stretcher.setTimeRatio(timeRatio);
        stretcher.setPitchScale(pitchScale);
    }
    int Wanted() override { return static_cast<int>(stretcher.getSamplesRequired()); }
    void Push(const float* frames, int count) override
    {
        Hold(count);
        const std::size_t channels = planar.size();
        for (int i = 0; i < count; ++i) {
            for (std::size_t ch = 0; ch < channels; ++ch) {
                planar[ch][i] = frames[i * channels + ch];
            }
        }
        stretcher.process(pointers.data(), static_cast<size_t>(count), false);
    }
    int Available() override { return stretcher.available(); }
    void Pull(float* frames, int count) override
    {
        Hold(count);
        stretcher.retrieve(pointers.data(), static_cast<size_t>(count));
        const std::size_t channels = planar.size();
        for (int i = 0; i < count; ++i) {
            for (std::size_t ch = 0; ch < channels; ++ch) {
                frames[i * channels + ch] = planar[ch][i];
            }
        }
    }

private:
    static RubberBand::RubberBandStretcher::Options Options(const StretchSetting& setting, bool finer)
    {
        using RubberBand::RubberBandStretcher;
        RubberBandStretcher::Options options =
            RubberBandStretcher::OptionProcessRealTime | RubberBandStretcher::OptionThreadingNever |
            (finer ? RubberBandStretcher::OptionEngineFiner : RubberBandStretcher::OptionEngineFaster);
        if (setting.formant) {
            options |= RubberBandStretcher::OptionFormantPreserved;
        }
        return options;
    }
    // Rubber Band takes one array per channel.
    void Hold(int count)
    {
        if (!planar.empty() && planar[0].size() >= static_cast<std::size_t>(count)) {
            return;
        }
        pointers.clear();
        for (auto& channel : planar) {
            channel.resize(static_cast<std::size_t>(count));
            pointers.push_back(channel.data());
        }
    }
    double timeRatio;
    double pitchScale;
    RubberBand::RubberBandStretcher stretcher;
    std::vector<std::vector<float>> planar;
    std::vector<float*> pointers;
};
#endif

#ifdef KELVANE_HAVE_SOUNDTOUCH
class SoundTouchStretcher : public Stretcher {
public:
    explicit SoundTouchStretcher(const StretchSetting& setting) : setting(setting) {}
    void Restart() override
    {
        touch.clear();
        touch.setSampleRate(static_cast<unsigned>(setting.rate));
        touch.setChannels(static_cast<unsigned>(setting.channels));
        touch.setTempo(setting.speedPercent / 100.0);
        touch.setPitchSemiTones(setting.semitones);
    }
    int Wanted() override { return 0; }  // SoundTouch does not say
    void Push(const float* frames, int count) override { touch.putSamples(frames, static_cast<unsigned>(count)); }
    int Available() override { return static_cast<int>(touch.numSamples()); }
    void Pull(float* frames, int count) override { touch.receiveSamples(frames, static_cast<unsigned>(count)); }

private:
    StretchSetting setting;
    soundtouch::SoundTouch touch;
};
#endif

// The material (interleaved, `channels` per frame) through the stretcher as
// a host's audio callback drives it: input pushed, as much as the stretcher
// asks for, until a block of output is there, then the block taken. Returns
// each block's time on the thread's own CPU clock, in seconds, until the
// material runs out; `inputFrames` gets the input taken.
inline std::vector<double> TimeCallbacks(Stretcher& stretcher, const std::vector<float>& material,
                                         int channels, int blockFrames, long& inputFrames)
{
    const long frames = static_cast<long>(material.size()) / channels;
    std::vector<float> out(static_cast<std::size_t>(blockFrames) * channels);
    std::vector<double> seconds;
    seconds.reserve(static_cast<std::size_t>(frames / blockFrames) * 4 + 16);
    stretcher.Restart();
    long position = 0;
    for (;;) {
        const double start = ThreadSeconds();
        while (stretcher.Available() < blockFrames) {
            const int wanted = stretcher.Wanted();
            const int count = wanted > 0 ? wanted : blockFrames;
            if (position + count > frames) {
                inputFrames = position;
                return seconds;
            }
            stretcher.Push(material.data() + static_cast<std::size_t>(position) * channels, count);
            position += count;
        }
        stretcher.Pull(out.data(), blockFrames);
        benchmark::DoNotOptimize(out.data());
        seconds.push_back(ThreadSeconds() - start);
    }
}

}  // namespace kelvane::bench
