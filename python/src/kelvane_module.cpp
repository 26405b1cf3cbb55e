// The Python module: kelvane.stretch for whole arrays, kelvane.Stream for
// blocks. Arguments are checked here, with Python's exceptions; the work runs
// with the GIL released, so threads on different arrays run in parallel.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "audio_arrays.h"
#include "block_stream.h"
#include "kelvane/engine.h"
#include "render/render_loop.h"

namespace py = pybind11;
using namespace kelvane::python;

namespace {

constexpr int minimumRate = 32000;
constexpr int maximumRate = 196000;
constexpr double slowestSpeed = 0.25;
constexpr double fastestSpeed = 4.0;
constexpr double semitoneLimit = 24.0;

std::string Number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

void CheckRate(long long sampleRate)
{
    if (sampleRate < minimumRate || sampleRate > maximumRate) {
        throw py::value_error("sample_rate " + std::to_string(sampleRate) + " Hz is outside 32000 to 196000 Hz");
    }
}

void CheckChannels(int channels)
{
    if (channels < 1 || channels > maximumChannels) {
        throw py::value_error("channels " + std::to_string(channels) + " is outside 1 to 8");
    }
}

void CheckQuality(int quality)
{
    if (quality != 0 && quality != 1) {
        throw py::value_error("quality " + std::to_string(quality) + " is neither 0 nor 1");
    }
}

// Written so that NaN is out of range.
double CheckSpeed(double speed)
{
    if (!(speed >= slowestSpeed && speed <= fastestSpeed)) {
        throw py::value_error("speed " + Number(speed) + " is outside 0.25 to 4.0");
    }
    return speed;
}

double CheckSemitones(const char* name, double semitones)
{
    if (!(semitones >= -semitoneLimit && semitones <= semitoneLimit)) {
        throw py::value_error(std::string(name) + " " + Number(semitones) + " is outside -24 to 24 semitones");
    }
    return semitones;
}

// The formant shift the engine gets: the pitch's when formants are kept,
// the one given, or none (correction off).
std::optional<double> FormantShift(double pitch, bool preserveFormants, std::optional<double> formant)
{
    if (formant) {
        if (preserveFormants) {
            throw py::value_error("formant and preserve_formants cannot be used together");
        }
        return CheckSemitones("formant", *formant);
    }
    if (preserveFormants) {
        return pitch;
    }
    return std::nullopt;
}

void CheckFinite(const AudioView& view, const char* name)
{
    std::string where;
    {
        py::gil_scoped_release released;
        where = FindNonFinite(view);
    }
    if (!where.empty()) {
        throw py::value_error(std::string(name) + " holds a non-finite sample (NaN or infinity) at " + where);
    }
}

[[noreturn]] void RaiseEngineFault(int status, const std::string& text)
{
    if (status == KELVANE_ERROR_OUT_OF_MEMORY) {
        throw std::bad_alloc();
    }
    throw std::runtime_error("the engine failed: " + text);
}

py::array_t<float> Stretch(const py::object& audio, long long sampleRate, double speed, double pitch,
                           bool preserveFormants, std::optional<double> formant, int quality, bool reverse)
{
    CheckRate(sampleRate);
    kelvane::render::RenderSettings settings;
    settings.speedPercent = CheckSpeed(speed) * 100.0;
    settings.pitchSemitones = CheckSemitones("pitch", pitch);
    settings.formantSemitones = FormantShift(pitch, preserveFormants, formant);
    CheckQuality(quality);
    settings.quality = quality;
    settings.reverse = reverse;
    const AudioView view = ViewAudio(audio, "audio");
    CheckFinite(view, "audio");

    const std::uint64_t total =
        kelvane::render::ExpectedOutputFrames(static_cast<std::uint64_t>(view.frames), settings.speedPercent);
    py::array_t<float> result = NewAudio(view, static_cast<std::int64_t>(total));
    float* planar = result.mutable_data();
    kelvane::render::RenderOutcome outcome;
    {
        py::gil_scoped_release released;
        const auto frames = static_cast<std::int64_t>(total);
        std::int64_t written = 0;
        outcome = kelvane::render::RenderFrames(
            [&view](std::int64_t first, int count, float* destination) {
                Interleave(view, first, count, destination);
                return true;
            },
            view.frames, view.channels, static_cast<int>(sampleRate), settings,
            [&](const float* interleaved, std::size_t count) {
                Deinterleave(interleaved, static_cast<std::int64_t>(count), view.channels, planar, frames, written);
                written += static_cast<std::int64_t>(count);
                return true;
            },
            nullptr, nullptr);
    }
    if (outcome.status == kelvane::render::RenderStatus::EngineRefused) {
        throw std::bad_alloc();
    }
    if (outcome.status != kelvane::render::RenderStatus::Done || outcome.framesOut != total) {
        throw std::runtime_error("the engine failed: " + outcome.message);
    }
    return result;
}

// kelvane.Stream: one engine and its controls. Python threads may share the
// object, but only one at a time may be inside it while the GIL is released.
class Stream {
public:
    Stream(long long sampleRate, int channels, int quality, double speed, double pitch, bool preserveFormants,
           std::optional<double> formant)
        : sampleRate(static_cast<int>(sampleRate)), quality(quality)
    {
        CheckRate(sampleRate);
        CheckChannels(channels);
        CheckQuality(quality);
        this->speed = CheckSpeed(speed);
        this->pitch = CheckSemitones("pitch", pitch);
        FormantShift(pitch, preserveFormants, formant);
        this->preserveFormants = preserveFormants;
        this->formant = formant;
        stream.emplace(this->sampleRate, channels, quality);
        if (stream->Status() != KELVANE_OK) {
            RaiseEngineFault(stream->Status(), GetErrorText(stream->Status()));
        }
        Apply();
    }

    int SampleRate() const { return sampleRate; }
    int Channels() { return Open().Channels(); }
    int Quality() const { return quality; }
    int Latency() { return Open().Latency(); }
    bool Closed() const { return !stream; }

    double Speed() const { return speed; }
    void SetSpeed(double value)
    {
        CheckSpeed(value);
        Change([&] { speed = value; });
    }
    double Pitch() const { return pitch; }
    void SetPitch(double value)
    {
        CheckSemitones("pitch", value);
        Change([&] { pitch = value; });
    }
    std::optional<double> Formant() const { return formant; }
    void SetFormant(std::optional<double> value)
    {
        FormantShift(pitch, preserveFormants, value);
        Change([&] { formant = value; });
    }
    bool PreserveFormants() const { return preserveFormants; }
    void SetPreserveFormants(bool value)
    {
        FormantShift(pitch, value, formant);
        Change([&] { preserveFormants = value; });
    }

    py::array_t<float> Process(const py::object& block)
    {
        const Busy busy(*this);
        BlockStream& open = Open();
        const AudioView view = ViewAudio(block, "block");
        if (view.channels != open.Channels()) {
            throw py::value_error("block has " + std::to_string(view.channels) + " channels; the stream has " +
                                  std::to_string(open.Channels()));
        }
        CheckFinite(view, "block");
        std::vector<float> output;
        int status;
        {
            py::gil_scoped_release released;
            std::vector<float> interleaved(static_cast<std::size_t>(view.frames) * view.channels);
            Interleave(view, 0, view.frames, interleaved.data());
            status = open.Feed(interleaved.data(), view.frames, output);
        }
        return Result(status, output);
    }

    py::array_t<float> Flush()
    {
        const Busy busy(*this);
        BlockStream& open = Open();
        std::vector<float> output;
        int status;
        {
            py::gil_scoped_release released;
            status = open.Finish(output);
        }
        return Result(status, output);
    }

    void Reset()
    {
        const Busy busy(*this);
        BlockStream& open = Open();
        if (const int status = open.Restart(); status != KELVANE_OK) {
            RaiseEngineFault(status, open.Fault());
        }
    }

    void Close()
    {
        const Busy busy(*this);
        stream.reset();
    }

private:
    // Refuses a second thread instead of letting two run one engine at once.
    class Busy {
    public:
        explicit Busy(Stream& owner) : lock(owner.inUse, std::try_to_lock)
        {
            if (!lock.owns_lock()) {
                throw std::runtime_error("the stream is in use by another thread");
            }
        }

    private:
        std::unique_lock<std::mutex> lock;
    };

    BlockStream& Open()
    {
        if (!stream) {
            throw py::value_error("the stream is closed");
        }
        return *stream;
    }

    template <typename Assign>
    void Change(Assign assign)
    {
        const Busy busy(*this);
        assign();
        if (stream) {
            Apply();
        }
    }

    void Apply()
    {
        kelvane::python::StretchControls controls;
        controls.speedPercent = speed * 100.0;
        controls.pitchSemitones = pitch;
        controls.formantSemitones = FormantShift(pitch, preserveFormants, formant);
        if (const int status = stream->Apply(controls); status != KELVANE_OK) {
            RaiseEngineFault(status, stream->Fault());
        }
    }

    py::array_t<float> Result(int status, const std::vector<float>& output)
    {
        if (status != KELVANE_OK) {
            RaiseEngineFault(status, stream->Fault());
        }
        const int channels = stream->Channels();
        const auto frames = static_cast<std::int64_t>(output.size() / channels);
        py::array_t<float> result = NewAudio(channels == 1, channels, frames);
        Deinterleave(output.data(), frames, channels, result.mutable_data(), frames, 0);
        return result;
    }

    int sampleRate;
    int quality;
    double speed = 1.0;
    double pitch = 0.0;
    bool preserveFormants = false;
    std::optional<double> formant;
    std::optional<BlockStream> stream;
    std::mutex inUse;
};

std::string VersionText()
{
    const int packed = GetVersion();
    return std::to_string(packed >> 16) + "." + std::to_string((packed >> 8) & 0xFF) + "." +
           std::to_string(packed & 0xFF);
}

}  // namespace

PYBIND11_MODULE(_kelvane, m)
{
    m.doc() = R"(Kelvane: time-stretching and pitch-shifting of numpy arrays.

Speed and pitch change independently, with optional formant preservation and
reverse play. Audio is held as librosa holds it: a 1-D array is one channel,
a 2-D array is (channels, frames), up to 8 channels; float32 or float64 in,
float32 out.)";
    m.attr("__version__") = VersionText();

    m.def("stretch", &Stretch, py::arg("audio"), py::arg("sample_rate"), py::kw_only(), py::arg("speed") = 1.0,
          py::arg("pitch") = 0.0, py::arg("preserve_formants") = false, py::arg("formant") = py::none(),
          py::arg("quality") = 1, py::arg("reverse") = false,
          R"(Stretch and shift a whole signal; returns a new float32 array.

audio: 1-D (frames) or 2-D (channels, frames), 1 to 8 channels, float32 or
    float64, every sample finite.
sample_rate: 32000 to 196000 Hz.
speed: a factor, 0.25 to 4.0; 0.5 plays at half speed, so the output is
    twice as long.
pitch: semitones, -24 to 24, fractions allowed.
preserve_formants: keep a voice's formants where they are while the pitch
    moves.
formant: semitones, -24 to 24: shift the formants by this much, whatever the
    pitch does (not together with preserve_formants).
quality: 1 (overlap 4) or 0 (overlap 2, about half the work).
reverse: the input backwards.

The output has exactly len / speed frames, rounded as kelvane-render rounds,
and the same shape otherwise; the engine's latency is already taken off, so
output sample i belongs at time i. The GIL is released while the engine works.

Raises ValueError for a value out of range, a shape that is not audio (3-D,
more than 8 channels) or a non-finite sample; TypeError for integer, complex
or other non-float samples.

    >>> shifted = kelvane.stretch(y, sr, pitch=3)            # a minor third up
    >>> slower = kelvane.stretch(y, sr, speed=0.75)          # 75 %, same key
)");

    py::class_<Stream>(m, "Stream", R"(Stretch and shift a signal block by block.

    with kelvane.Stream(44100, 2, speed=0.8) as stream:
        for block in blocks:                 # (2, n) arrays, any n
            play(stream.process(block))      # the output that is ready
        play(stream.flush())                 # the rest

speed, pitch, formant and preserve_formants may change between blocks; a
change applies to the blocks that follow it, as in the engine. A whole signal
fed block by block gives the same samples as kelvane.stretch of it. A Stream
with one channel takes and gives 1-D blocks (it also takes (1, n)); with more,
(channels, frames). The GIL is released while the engine works; one thread at
a time may use a Stream.)")
        .def(py::init<long long, int, int, double, double, bool, std::optional<double>>(), py::arg("sample_rate"),
             py::arg("channels"), py::arg("quality") = 1, py::kw_only(), py::arg("speed") = 1.0,
             py::arg("pitch") = 0.0, py::arg("preserve_formants") = false, py::arg("formant") = py::none(),
             "An engine for 32000 to 196000 Hz and 1 to 8 channels; quality 1 (overlap 4) or 0 (overlap 2).")
        .def_property_readonly("sample_rate", &Stream::SampleRate, "The sample rate in Hz.")
        .def_property_readonly("channels", &Stream::Channels, "The channel count.")
        .def_property_readonly("quality", &Stream::Quality, "1 (overlap 4) or 0 (overlap 2).")
        .def_property_readonly("latency", &Stream::Latency,
                               "Input frames the stream takes before its first output frame (2048 at 44100 Hz).")
        .def_property_readonly("closed", &Stream::Closed, "True once close() has run.")
        .def_property("speed", &Stream::Speed, &Stream::SetSpeed, "Speed factor, 0.25 to 4.0.")
        .def_property("pitch", &Stream::Pitch, &Stream::SetPitch, "Pitch shift in semitones, -24 to 24.")
        .def_property("formant", &Stream::Formant, &Stream::SetFormant,
                      "Formant shift in semitones, -24 to 24, or None (formants move with the pitch).")
        .def_property("preserve_formants", &Stream::PreserveFormants, &Stream::SetPreserveFormants,
                      "Keep the formants where they are while the pitch moves.")
        .def("process", &Stream::Process, py::arg("block"),
             "Feed one block; returns the output that is ready (possibly no frames).")
        .def("flush", &Stream::Flush,
             "Return the rest of the output, cut at the exact length, and start afresh for a new signal.")
        .def("reset", &Stream::Reset, "Forget the signal fed so far; the settings stay.")
        .def("close", &Stream::Close, "Release the engine; the stream cannot be used afterwards.")
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__", [](Stream& self, py::args) { self.Close(); }, "Close the stream.");
}
