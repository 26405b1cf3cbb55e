#include "audio_arrays.h"

#include <cmath>

namespace kelvane::python {

namespace {

template <typename Sample>
const Sample& At(const AudioView& view, int channel, std::int64_t frame)
{
    return *reinterpret_cast<const Sample*>(view.data + channel * view.channelStride + frame * view.frameStride);
}

template <typename Sample>
std::string FindNonFiniteOf(const AudioView& view)
{
    for (int channel = 0; channel < view.channels; ++channel) {
        for (std::int64_t frame = 0; frame < view.frames; ++frame) {
            if (!std::isfinite(At<Sample>(view, channel, frame))) {
                return "channel " + std::to_string(channel) + ", frame " + std::to_string(frame);
            }
        }
    }
    return "";
}

template <typename Sample>
void InterleaveOf(const AudioView& view, std::int64_t first, std::int64_t count, float* destination)
{
    for (int channel = 0; channel < view.channels; ++channel) {
        float* out = destination + channel;
        for (std::int64_t frame = first; frame < first + count; ++frame, out += view.channels) {
            *out = static_cast<float>(At<Sample>(view, channel, frame));
        }
    }
}

std::string DtypeName(const py::array& array)
{
    return py::str(array.dtype()).cast<std::string>();
}

}  // namespace

AudioView ViewAudio(py::handle audio, const char* name)
{
    AudioView view;
    view.array = py::array::ensure(audio);
    if (!view.array) {
        throw py::type_error(std::string(name) + " must be a numpy array of floating-point samples, not " +
                             py::str(py::type::of(audio).attr("__name__")).cast<std::string>());
    }
    const char kind = view.array.dtype().kind();
    if (kind == 'i' || kind == 'u' || kind == 'b') {
        throw py::type_error(std::string(name) + " holds " + DtypeName(view.array) +
                             " samples: give floating-point samples (float32 or float64) scaled to -1..1");
    }
    if (kind == 'c') {
        throw py::type_error(std::string(name) + " holds complex samples (" + DtypeName(view.array) +
                             "): give real floating-point samples (float32 or float64)");
    }
    if (kind != 'f') {
        throw py::type_error(std::string(name) + " must hold floating-point samples (float32 or float64), not " +
                             DtypeName(view.array));
    }
    if (view.array.ndim() != 1 && view.array.ndim() != 2) {
        throw py::value_error(std::string(name) + " must be 1-D (frames) or 2-D (channels, frames), not " +
                              std::to_string(view.array.ndim()) + "-D");
    }
    // Half and extended precision are read as float32.
    if (view.array.itemsize() != 4 && view.array.itemsize() != 8) {
        view.array = py::array_t<float, py::array::forcecast>::ensure(view.array);
    }
    view.oneDimensional = view.array.ndim() == 1;
    view.isDouble = view.array.itemsize() == 8;
    view.data = static_cast<const char*>(view.array.data());
    if (view.oneDimensional) {
        view.channels = 1;
        view.frames = view.array.shape(0);
        view.frameStride = view.array.strides(0);
    } else {
        const auto channels = view.array.shape(0);
        if (channels < 1) {
            throw py::value_error(std::string(name) + " has no channels");
        }
        if (channels > maximumChannels) {
            throw py::value_error(std::string(name) + " has " + std::to_string(channels) +
                                  " channels: at most 8 can be processed (2-D audio is (channels, frames); "
                                  "transpose a (frames, channels) array)");
        }
        view.channels = static_cast<int>(channels);
        view.frames = view.array.shape(1);
        view.channelStride = view.array.strides(0);
        view.frameStride = view.array.strides(1);
    }
    return view;
}

std::string FindNonFinite(const AudioView& view)
{
    return view.isDouble ? FindNonFiniteOf<double>(view) : FindNonFiniteOf<float>(view);
}

void Interleave(const AudioView& view, std::int64_t first, std::int64_t count, float* destination)
{
    if (view.isDouble) {
        InterleaveOf<double>(view, first, count, destination);
    } else {
        InterleaveOf<float>(view, first, count, destination);
    }
}

void Deinterleave(const float* source, std::int64_t count, int channels, float* planar, std::int64_t frames,
                  std::int64_t first)
{
    for (int channel = 0; channel < channels; ++channel) {
        float* out = planar + channel * frames + first;
        const float* in = source + channel;
        for (std::int64_t frame = 0; frame < count; ++frame, in += channels) {
            out[frame] = *in;
        }
    }
}

py::array_t<float> NewAudio(bool oneDimensional, int channels, std::int64_t frames)
{
    if (oneDimensional) {
        return py::array_t<float>({static_cast<py::ssize_t>(frames)});
    }
    return py::array_t<float>({static_cast<py::ssize_t>(channels), static_cast<py::ssize_t>(frames)});
}

py::array_t<float> NewAudio(const AudioView& view, std::int64_t frames)
{
    return NewAudio(view.oneDimensional, view.channels, frames);
}

}  // namespace kelvane::python
