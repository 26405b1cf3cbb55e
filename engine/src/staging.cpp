// Staging: the caller's interleaved frames into the per-channel input rings,
// finished frames out of the output rings, and the estimate of how much input
// the next synthesis hop will consume.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>

#include "engine_instance.h"
#include "kelvane/engine.h"

namespace kelvane {
namespace {

// Sum of the speed/pitch ratios of records [begin, end), in order, in single
// precision.
float RatioSum(const ControlRecord* records, int begin, int end)
{
    float sum = 0.0f;
    for (int k = begin; k < end; ++k) {
        sum += records[k].speedRatio / records[k].pitchRatio;
    }
    return sum;
}

// Two channels, the common case, in one pass over the frames: the compiler
// turns these into vector loads and shuffles. Step is 2 for frames in order,
// -2 for frames read backwards.
template <int step>
void SplitTwoChannels(const float* __restrict frames, float* __restrict left, float* __restrict right, int n)
{
    for (int i = 0; i < n; ++i) {
        left[i] = frames[i * step];
        right[i] = frames[i * step + 1];
    }
}

void JoinTwoChannels(const float* __restrict left, const float* __restrict right, float* __restrict frames,
                     int n)
{
    for (int i = 0; i < n; ++i) {
        frames[2 * i] = left[i];
        frames[2 * i + 1] = right[i];
    }
}

}  // namespace

int EngineInstance::PushInput(const float* source, int frames, int direction)
{
    if (source == nullptr) {
        return KELVANE_ERROR_NULL_SOURCE;
    }
    // A push is taken whole or not at all: staged frames that the cycle has
    // not consumed yet are never overwritten.
    if (frames < 0 || frames > ringLength - inputPending) {
        return KELVANE_ERROR_OUT_OF_RANGE;
    }
    if (frames == 0) {
        return KELVANE_OK;
    }
    inputPending += frames;

    // Every frame carries the ratios in force now, whatever its direction.
    const ControlRecord record{speedRatio, pitchRatio, 1};
    const int channels = channelCount;
    const std::ptrdiff_t frameStride = channels;
    int w = inputWriteIndex;

    if (direction == KELVANE_FORWARD || direction == KELVANE_REVERSE) {
        const bool reversed = direction == KELVANE_REVERSE;
        const float* frame = reversed ? source + (frames - 1) * frameStride : source;
        const std::ptrdiff_t step = reversed ? -frameStride : frameStride;
        // In runs up to the ring's end: two channels in one pass, others one at a time.
        for (int left = frames; left > 0;) {
            const int run = std::min(left, ringLength - w);
            if (channels == 2) {
                if (reversed) {
                    SplitTwoChannels<-2>(frame, inputRing[0] + w, inputRing[1] + w, run);
                } else {
                    SplitTwoChannels<2>(frame, inputRing[0] + w, inputRing[1] + w, run);
                }
            } else {
                for (int ch = 0; ch < channels; ++ch) {
                    float* __restrict ring = inputRing[ch] + w;
                    const float* __restrict in = frame + ch;
                    for (int i = 0; i < run; ++i) {
                        ring[i] = in[i * step];
                    }
                }
            }
            std::fill_n(inputControlRing + w, run, record);
            frame += run * step;
            left -= run;
            w = (w + run) & ringMask;
        }
    } else {
        // A turn of direction inside the block: fade between the block and its
        // reverse. b weights the forward frame and is accumulated frame by
        // frame, so the fade ends one step short of the other direction.
        const float bStep = 1.0f / static_cast<float>(frames);
        const bool toReverse = direction == KELVANE_FORWARD_TO_REVERSE;
        float b = toReverse ? 1.0f : 0.0f;
        const float* forward = source;
        const float* backward = source + (frames - 1) * frameStride;
        for (int i = 0; i < frames; ++i, forward += frameStride, backward -= frameStride) {
            const float a = 1.0f - b;
            for (int ch = 0; ch < channels; ++ch) {
                const float fromForward = forward[ch] * b;
                const float fromBackward = backward[ch] * a;
                inputRing[ch][w] = fromForward + fromBackward;
            }
            inputControlRing[w] = record;
            w = (w + 1) & ringMask;
            b = toReverse ? b - bStep : b + bStep;
        }
    }
    inputWriteIndex = w;
    return KELVANE_OK;
}

int EngineInstance::PullOutput(float* destination, int frames)
{
    if (destination == nullptr && frames > 0) {
        return KELVANE_ERROR_NULL_SOURCE;
    }
    if (frames < 0) {
        return KELVANE_ERROR_OUT_OF_RANGE;
    }
    if (frames > outputAvailable) {
        return KELVANE_ERROR_TOO_MANY_FRAMES;
    }
    outputAvailable -= frames;
    const int channels = channelCount;
    int r = outputReadIndex;
    float* frame = destination;
    const std::ptrdiff_t frameStride = channels;
    // In runs up to the ring's end: two channels in one pass, others one at a time.
    for (int left = frames; left > 0;) {
        const int run = std::min(left, ringLength - r);
        if (channels == 2) {
            JoinTwoChannels(outputRing[0] + r, outputRing[1] + r, frame, run);
        } else {
            for (int ch = 0; ch < channels; ++ch) {
                const float* __restrict ring = outputRing[ch] + r;
                float* __restrict out = frame + ch;
                for (int i = 0; i < run; ++i) {
                    out[i * frameStride] = ring[i];
                }
            }
        }
        frame += run * frameStride;
        left -= run;
        r = (r + run) & ringMask;
    }
    outputReadIndex = r;
    return KELVANE_OK;
}

bool EngineInstance::RecordsAlike() const
{
    if (recordsAlike < 0) {
        // Each record byte for byte as the one before it. (A ratio of -0
        // beside 0 differs here: such records are summed one by one.)
        const int count = std::min(blockLength, 2 * hopLength);
        const bool alike = blockControl[0].isInput != 0 &&
                           std::memcmp(blockControl + 1, blockControl, (count - 1) * sizeof(ControlRecord)) == 0;
        recordsAlike = alike ? 1 : 0;
    }
    return recordsAlike != 0;
}

float EngineInstance::HopRatioSum(int hop) const
{
    if (!hopRatioSumKnown[hop]) {
        if (RecordsAlike()) {
            hopRatioSum[hop] = alikeRatioSum.Of(blockControl[0].speedRatio / blockControl[0].pitchRatio, hopLength);
        } else {
            hopRatioSum[hop] = RatioSum(blockControl, hop * hopLength, (hop + 1) * hopLength);
        }
        hopRatioSumKnown[hop] = true;
    }
    return hopRatioSum[hop];
}

int EngineInstance::GetInputRequired() const
{
    if (primeCount == frameLength) {
        // Nothing analysed since Reset: fill the whole analysis window first.
        return frameLength;
    }
    if (activeSpeedRatio == 0.0f) {
        return 0;
    }
    const int h = hopLength;
    const auto hop = static_cast<float>(h);

    // Credit one synthesis hop adds at the output position.
    const float hopCredit = HopRatioSum(0);
    float c = static_cast<float>(analysisCredit) + hopCredit;
    if (!(c >= hop)) {
        // Slowing down: synthesis hops pass without analysis until the credit
        // reaches a hop; the next one that analyses consumes exactly one hop.
        // Counted in closed form, because repeated single-precision additions
        // stall once a tiny ratio no longer changes the credit. Credit that
        // never grows (ratios of 0, negative or NaN) consumes nothing.
        if (!(hopCredit > 0.0f)) {
            return 0;
        }
        double reached = c;
        reached += std::ceil((static_cast<double>(hop) - reached) / hopCredit) * hopCredit;
        if (reached < hop) {
            reached += hopCredit;
        }
        c = static_cast<float>(reached);
        if (!(c >= hop)) {
            return 0;
        }
    }

    int n = h;
    c -= hop;
    if (c >= hop) {
        // A second analysis step follows in this synthesis hop; its records
        // are the next hop's, whose average ratio adds to the credit.
        c += HopRatioSum(1) / hop;
    }
    if (c >= hop) {
        // Every further step takes one whole hop of credit. The demand cannot
        // exceed what the input ring holds.
        const double total = n + std::floor(static_cast<double>(c) / hop) * h;
        return total >= ringLength ? ringLength : static_cast<int>(total);
    }
    return n;
}

}  // namespace kelvane
