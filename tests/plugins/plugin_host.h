// A small LV2 host on liblilv, the library real hosts use: loads one of the
// plug-ins from the bundle in the build tree, connects every control port
// to a value of its own, and runs planar blocks through it.
#pragma once

#include <lilv/lilv.h>
#include <lv2/core/lv2.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelvane::lv2::test {

using Planar = std::vector<std::vector<float>>;

class PluginHost {
public:
    // `variant` is "mono" or "stereo"; `features` is passed to instantiate.
    PluginHost(const std::string& variant, double sampleRate, const LV2_Feature* const* features = nullptr);
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    bool Instantiated() const { return instance != nullptr; }
    int Channels() const { return static_cast<int>(audioInputs.size()); }

    float& Control(const std::string& symbol);

    void Activate();
    void Deactivate();
    // Runs `frames` frames from `input` to `output`, both from `offset` on.
    void Run(const Planar& input, Planar& output, std::size_t offset, std::uint32_t frames);

private:
    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    LilvInstance* instance = nullptr;
    std::vector<float> controls;
    std::vector<std::uint32_t> audioInputs;
    std::vector<std::uint32_t> audioOutputs;
};

}  // namespace kelvane::lv2::test
