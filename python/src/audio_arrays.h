// numpy arrays at the module's boundary, held as librosa holds audio: 1-D is
// one channel of frames, 2-D is (channels, frames). Samples may be float32 or
// float64 with any strides; the engine's side is interleaved float32.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace kelvane::python {

namespace py = pybind11;

constexpr int maximumChannels = 8;

struct AudioView {
    py::array array;  // keeps the samples alive
    const char* data = nullptr;
    bool isDouble = false;
    bool oneDimensional = false;
    int channels = 0;
    std::int64_t frames = 0;
    std::int64_t channelStride = 0;  // in bytes
    std::int64_t frameStride = 0;
};

// Checks an array handed in as `name` and describes its samples; raises
// TypeError for integer, complex and other non-float samples, ValueError for
// a shape that is not audio. Needs the GIL.
AudioView ViewAudio(py::handle audio, const char* name);

// The first non-finite sample as "channel C, frame F", or "" when all are
// finite. Works without the GIL.
std::string FindNonFinite(const AudioView& view);

// Copies `count` frames from frame `first` on into interleaved float32.
// Works without the GIL.
void Interleave(const AudioView& view, std::int64_t first, std::int64_t count, float* destination);

// Copies `count` interleaved frames into a C-ordered (channels, frames)
// float32 buffer of `frames` frames, from frame `first` on.
void Deinterleave(const float* source, std::int64_t count, int channels, float* planar, std::int64_t frames,
                  std::int64_t first);

// A new float32 array of `frames` frames shaped like `view`: (frames,) or
// (channels, frames).
py::array_t<float> NewAudio(const AudioView& view, std::int64_t frames);
py::array_t<float> NewAudio(bool oneDimensional, int channels, std::int64_t frames);

}  // namespace kelvane::python
