// The player's control-thread side: the audio library's start and end, the
// engine and stream for each sound, Play, Stop and the controls.
#include "sevrane/player.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <portaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sevrane/audio_callback.h"

namespace sevrane {
namespace {

// Which output a channel feeds, in the usual WAV speaker order for a file of
// that many channels.
enum class Side : char { left = 'L', right = 'R', both = 'B' };

// Row c - 3 is the layout of a c-channel file: front pair first, then
// centre and low frequency where the count has them, then back and side
// pairs (a 7-channel file has a back centre).
constexpr const char* kSpeakerSides[] = {
    "LRB",       // 3: front left, front right, centre
    "LRLR",      // 4: front pair, back pair
    "LRBLR",     // 5: front pair, centre, back pair
    "LRBBLR",    // 6: front pair, centre, low frequency, back pair
    "LRBBBLR",   // 7: front pair, centre, low frequency, back centre, side pair
    "LRBBLRLR",  // 8: front pair, centre, low frequency, back pair, side pair
};

// A channel heard on both sides is shared at equal power.
const float kSharedGain = static_cast<float>(1.0 / std::sqrt(2.0));

void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}
void QuietJackMessage(const char*) {}

}  // namespace

DownmixGains DownmixFor(int channels) noexcept
{
    DownmixGains gains;
    if (channels <= 1) {
        gains.left[0] = 1.0f;
        gains.right[0] = 1.0f;
        return gains;
    }
    if (channels == 2 || channels > kMaxPlaybackChannels) {
        gains.left[0] = 1.0f;
        gains.right[1] = 1.0f;
        return gains;
    }
    const char* sides = kSpeakerSides[channels - 3];
    float leftSum = 0.0f;
    float rightSum = 0.0f;
    for (int c = 0; c < channels; ++c) {
        const Side side = static_cast<Side>(sides[c]);
        gains.left[c] = side == Side::left ? 1.0f : side == Side::both ? kSharedGain : 0.0f;
        gains.right[c] = side == Side::right ? 1.0f : side == Side::both ? kSharedGain : 0.0f;
        leftSum += gains.left[c];
        rightSum += gains.right[c];
    }
    // One factor for both sides keeps the balance between them.
    const float scale = 1.0f / std::max(leftSum, rightSum);
    for (int c = 0; c < channels; ++c) {
        gains.left[c] *= scale;
        gains.right[c] *= scale;
    }
    return gains;
}

int StartAudio() noexcept
{
    // The sound-system libraries under the audio library report every probe
    // that finds no card or server on stderr; the program has its own
    // messages for what matters. Nor should playing start a sound server.
    snd_lib_error_set_handler(&QuietAlsaError);
    jack_set_error_function(&QuietJackMessage);
    jack_set_info_function(&QuietJackMessage);
    setenv("JACK_NO_START_SERVER", "1", 0);
    return Pa_Initialize();
}

int EndAudio() noexcept
{
    return Pa_Terminate();
}

const char* AudioErrorText(int error) noexcept
{
    return Pa_GetErrorText(static_cast<PaError>(error));
}

Player::~Player()
{
    CloseStream();
    DestroyEngine();
}

void Player::DestroyEngine() noexcept
{
    EngineInterface* engine = state.engineHandle.load(std::memory_order_relaxed);
    if (engine != nullptr) {
        DestroyInstance(&engine);
        state.engineHandle.store(nullptr, std::memory_order_relaxed);
    }
}

void Player::CloseStream() noexcept
{
    if (stream != nullptr) {
        Pa_AbortStream(stream);
        Pa_CloseStream(stream);
        stream = nullptr;
    }
    streamOpen = false;
    state.sound.store(nullptr, std::memory_order_relaxed);
    state.position.store(0, std::memory_order_relaxed);
    state.seekRequest.store(-1, std::memory_order_relaxed);
}

std::optional<PlaybackFailure> Player::OpenPlayback(const LoadedSound& sound)
{
    CloseStream();
    state.sound.store(&sound, std::memory_order_relaxed);
    state.position.store(0, std::memory_order_relaxed);

    DestroyEngine();
    EngineInterface* engine = nullptr;
    const int created = CreateInstance(&engine, static_cast<int>(sound.format.sampleRate), sound.format.channels, 1);
    if (created != KELVANE_OK) {
        return PlaybackFailure{kInstanceProblemTitle, GetErrorText(created)};
    }
    state.engineHandle.store(engine, std::memory_order_relaxed);
    state.downmix = DownmixFor(sound.format.channels);

    // Without a default device the index is paNoDevice, which the stream's
    // opening refuses with the library's own text ("Invalid device"), as it
    // refuses everything when the library did not start.
    PaStreamParameters output = {};
    output.device = Pa_GetDefaultOutputDevice();
    output.channelCount = 2;
    output.sampleFormat = paFloat32;
    const PaDeviceInfo* device = output.device == paNoDevice ? nullptr : Pa_GetDeviceInfo(output.device);
    output.suggestedLatency = device != nullptr ? device->defaultLowOutputLatency : 0.0;
    output.hostApiSpecificStreamInfo = nullptr;

    PaStream* opened = nullptr;
    const PaError error = Pa_OpenStream(&opened, nullptr, &output, static_cast<double>(sound.format.sampleRate),
                                        kFramesPerBuffer, paNoFlag, &AudioCallback, &state);
    if (error != paNoError) {
        return PlaybackFailure{kStreamProblemTitle, Pa_GetErrorText(error)};
    }
    stream = opened;
    streamOpen = true;
    return std::nullopt;
}

std::optional<PlaybackFailure> Player::Play() noexcept
{
    if (!streamOpen) {
        return std::nullopt;
    }
    Pa_AbortStream(stream);
    PrepareForPlay(state);
    const PaError error = Pa_StartStream(stream);
    if (error != paNoError) {
        return PlaybackFailure{kStreamProblemTitle, Pa_GetErrorText(error)};
    }
    return std::nullopt;
}

void Player::Stop() noexcept
{
    if (!streamOpen) {
        return;
    }
    Pa_AbortStream(stream);
    state.position.store(0, std::memory_order_relaxed);
    state.seekRequest.store(-1, std::memory_order_relaxed);
}

void Player::Abort() noexcept
{
    if (stream != nullptr) {
        Pa_AbortStream(stream);
    }
}

bool Player::IsPlaying() const noexcept
{
    return stream != nullptr && Pa_IsStreamActive(stream) == 1;
}

void Player::SetPitchTarget(float semitones) noexcept
{
    state.pitchTarget.store(semitones, std::memory_order_relaxed);
}

void Player::SetSpeed(float percent, bool reverse) noexcept
{
    state.speedPercent.store(percent, std::memory_order_relaxed);
    state.reverseRequested.store(reverse, std::memory_order_relaxed);
}

void Player::SetFormantSemitones(float semitones) noexcept
{
    state.formantSemitones.store(semitones, std::memory_order_relaxed);
}

void Player::SetLoop(bool enabled) noexcept
{
    state.loopEnabled.store(enabled, std::memory_order_relaxed);
}

void Player::Seek(std::int32_t frame) noexcept
{
    const LoadedSound* sound = state.sound.load(std::memory_order_relaxed);
    if (sound == nullptr || sound->frameCount <= 0) {
        return;
    }
    frame = std::clamp(frame, 0, sound->frameCount - 1);
    if (IsPlaying() && !state.ended.load(std::memory_order_seq_cst)) {
        state.seekRequest.store(frame, std::memory_order_seq_cst);
        // The sound may have ended since, and the callback made its last
        // call: then the request is dropped here rather than left waiting.
        DropSeekRequestAfterEnd(state);
    } else {
        state.position.store(frame, std::memory_order_relaxed);
    }
}

}  // namespace sevrane
