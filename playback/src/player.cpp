// The player's control-thread side: the engine and stream for each sound,
// Play, Stop and the controls.
#include "playback/player.h"

#include <portaudio.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "playback/audio_callback.h"

namespace kelvane::playback {

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
    state.pauseRequested.store(false, std::memory_order_relaxed);
    state.loopRegion.store(0, std::memory_order_relaxed);
    state.buffersRecorded.store(0, std::memory_order_relaxed);
}

std::optional<PlaybackFailure> Player::OpenPlayback(const Sound& sound)
{
    CloseStream();
    state.sound.store(&sound, std::memory_order_relaxed);
    state.position.store(0, std::memory_order_relaxed);

    DestroyEngine();
    EngineInterface* engine = nullptr;
    const int created = CreateInstance(&engine, static_cast<int>(sound.sampleRate), sound.channels, 1);
    if (created != KELVANE_OK) {
        return PlaybackFailure{kInstanceProblemTitle, GetErrorText(created)};
    }
    state.engineHandle.store(engine, std::memory_order_relaxed);
    state.downmix = DownmixFor(sound.channels);

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
    const PaError error = Pa_OpenStream(&opened, nullptr, &output, static_cast<double>(sound.sampleRate),
                                        kFramesPerBuffer, paNoFlag, &AudioCallback, &state);
    if (error != paNoError) {
        return PlaybackFailure{kStreamProblemTitle, Pa_GetErrorText(error)};
    }
    stream = opened;
    streamOpen = true;
    const PaStreamInfo* info = Pa_GetStreamInfo(opened);
    state.deviceLatencyFrames =
        info != nullptr ? static_cast<int>(std::lround(info->outputLatency * sound.sampleRate)) : 0;
    return std::nullopt;
}

std::optional<PlaybackFailure> Player::Play() noexcept
{
    return Start(std::nullopt);
}

std::optional<PlaybackFailure> Player::PlayFrom(std::int32_t frame) noexcept
{
    return Start(frame);
}

std::optional<PlaybackFailure> Player::Start(std::optional<std::int32_t> from) noexcept
{
    if (!streamOpen) {
        return std::nullopt;
    }
    Pa_AbortStream(stream);
    PrepareForPlay(state, from);
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
    state.pauseRequested.store(false, std::memory_order_relaxed);
    state.buffersRecorded.store(0, std::memory_order_relaxed);
}

void Player::Pause() noexcept
{
    if (IsPlaying()) {
        state.pauseRequested.store(true, std::memory_order_relaxed);
    }
}

void Player::Resume() noexcept
{
    state.pauseRequested.store(false, std::memory_order_relaxed);
}

bool Player::IsPaused() const noexcept
{
    return state.pauseRequested.load(std::memory_order_relaxed) && IsPlaying();
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

void Player::SetLoopRegion(std::int32_t first, std::int32_t last) noexcept
{
    const Sound* sound = state.sound.load(std::memory_order_relaxed);
    if (sound == nullptr || sound->frameCount <= 0) {
        return;
    }
    first = std::clamp(first, 0, sound->frameCount - 1);
    last = std::clamp(last, 0, sound->frameCount - 1);
    if (first > last) {
        std::swap(first, last);
    }
    state.loopRegion.store(PackLoopRegion(first, last + 1), std::memory_order_relaxed);
}

void Player::ClearLoopRegion() noexcept
{
    state.loopRegion.store(0, std::memory_order_relaxed);
}

std::optional<std::pair<std::int32_t, std::int32_t>> Player::LoopRegion() const noexcept
{
    const auto region = UnpackLoopRegion(state.loopRegion.load(std::memory_order_relaxed));
    if (!region) {
        return std::nullopt;
    }
    return std::make_pair(region->first, region->second - 1);
}

void Player::Seek(std::int32_t frame) noexcept
{
    const Sound* sound = state.sound.load(std::memory_order_relaxed);
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

}  // namespace kelvane::playback
