#include "plugin_host.h"

#include <stdexcept>

namespace kelvane::lv2::test {

PluginHost::PluginHost(const std::string& variant, double sampleRate, const LV2_Feature* const* features)
{
    world = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(world, nullptr, KELVANE_LV2_BUNDLE "/");
    lilv_world_load_bundle(world, bundle);
    lilv_node_free(bundle);
    LilvNode* uri = lilv_new_uri(world, ("https://www.valtrix.example/plugins/kelvane/#" + variant).c_str());
    plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
    lilv_node_free(uri);
    if (plugin == nullptr) {
        throw std::runtime_error("plug-in not in the bundle: " + variant);
    }
    LilvNode* audioPort = lilv_new_uri(world, LV2_CORE__AudioPort);
    LilvNode* inputPort = lilv_new_uri(world, LV2_CORE__InputPort);
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    controls.assign(ports, 0.0f);
    std::vector<float> defaults(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
    for (std::uint32_t index = 0; index < ports; ++index) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, index);
        if (lilv_port_is_a(plugin, port, audioPort)) {
            (lilv_port_is_a(plugin, port, inputPort) ? audioInputs : audioOutputs).push_back(index);
        } else {
            controls[index] = defaults[index];
        }
    }
    lilv_node_free(audioPort);
    lilv_node_free(inputPort);
    instance = lilv_plugin_instantiate(plugin, sampleRate, features);
    if (instance == nullptr) {
        return;
    }
    for (std::uint32_t index = 0; index < ports; ++index) {
        lilv_instance_connect_port(instance, index, &controls[index]);
    }
}

PluginHost::~PluginHost()
{
    if (instance != nullptr) {
        lilv_instance_free(instance);
    }
    lilv_world_free(world);
}

float& PluginHost::Control(const std::string& symbol)
{
    LilvNode* name = lilv_new_string(world, symbol.c_str());
    const LilvPort* port = lilv_plugin_get_port_by_symbol(plugin, name);
    lilv_node_free(name);
    if (port == nullptr) {
        throw std::runtime_error("no port " + symbol);
    }
    return controls[lilv_port_get_index(plugin, port)];
}

void PluginHost::Activate()
{
    lilv_instance_activate(instance);
}

void PluginHost::Deactivate()
{
    lilv_instance_deactivate(instance);
}

void PluginHost::Run(const Planar& input, Planar& output, std::size_t offset, std::uint32_t frames)
{
    for (std::size_t channel = 0; channel < audioInputs.size(); ++channel) {
        lilv_instance_connect_port(instance, audioInputs[channel], const_cast<float*>(input[channel].data() + offset));
        lilv_instance_connect_port(instance, audioOutputs[channel], output[channel].data() + offset);
    }
    lilv_instance_run(instance, frames);
}

}  // namespace kelvane::lv2::test
