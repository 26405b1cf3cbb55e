// A thin C++ owner of an engine handle. Every method forwards to the
// operation table and returns its status unchanged; nothing throws.
#pragma once

#include "kelvane/engine.h"

namespace kelvane {

class Engine {
public:
    Engine() = default;
    Engine(int sampleRate, int channelCount, int quality = 1)
    {
        status = CreateInstance(&handle, sampleRate, channelCount, quality);
    }
    ~Engine() { Destroy(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    Engine(Engine&& other) noexcept : handle(other.handle), status(other.status) { other.handle = nullptr; }
    Engine& operator=(Engine&& other) noexcept
    {
        if (this != &other) {
            Destroy();
            handle = other.handle;
            status = other.status;
            other.handle = nullptr;
        }
        return *this;
    }

    // Replaces the engine with a new one; returns the creation status.
    int Create(int sampleRate, int channelCount, int quality = 1)
    {
        Destroy();
        status = CreateInstance(&handle, sampleRate, channelCount, quality);
        return status;
    }
    void Destroy()
    {
        if (handle != nullptr) {
            DestroyInstance(&handle);
        }
        handle = nullptr;
    }

    bool IsValid() const { return handle != nullptr && handle->instance != nullptr; }
    int Status() const { return status; }  // of the last Create
    EngineInterface* Handle() const { return handle; }

    int SetSampleRate(int rate) { return Call(&EngineOperations::SetSampleRate, rate); }
    int Reset() { return Call(&EngineOperations::Reset); }
    int Process() { return Call(&EngineOperations::Process); }
    int Flush() { return Call(&EngineOperations::Flush); }
    int GetOutputAvailable() { return Call(&EngineOperations::GetOutputAvailable); }
    int GetInputRequired() { return Call(&EngineOperations::GetInputRequired); }
    int PullOutput(float* destination, int frames)
    {
        return Call(&EngineOperations::PullOutput, destination, frames);
    }
    int PushInput(const float* source, int frames, int direction = KELVANE_FORWARD)
    {
        return Call(&EngineOperations::PushInput, source, frames, direction);
    }
    int SetPitchSemitones(float semitones) { return Call(&EngineOperations::SetPitchSemitones, semitones); }
    int SetPitchPercent(float percent) { return Call(&EngineOperations::SetPitchPercent, percent); }
    int SetFormantSemitones(float semitones) { return Call(&EngineOperations::SetFormantSemitones, semitones); }
    int SetFormantPercent(float percent) { return Call(&EngineOperations::SetFormantPercent, percent); }
    int SetSpeedPercent(float percent) { return Call(&EngineOperations::SetSpeedPercent, percent); }
    int GetChannelCount() { return Call(&EngineOperations::GetChannelCount); }

private:
    template <typename Slot, typename... Args>
    int Call(Slot slot, Args... args)
    {
        if (handle == nullptr) {
            return KELVANE_ERROR_NOT_INITIALISED;
        }
        return (handle->operations->*slot)(handle, args...);
    }

    EngineInterface* handle = nullptr;
    int status = KELVANE_ERROR_NOT_INITIALISED;
};

}  // namespace kelvane
