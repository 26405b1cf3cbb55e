#include "engine_instance.h"

namespace kelvane {
// Placeholder until staging is written.
int EngineInstance::PushInput(const float*, int, int) { return -9996; }
int EngineInstance::PullOutput(float*, int) { return -9996; }
int EngineInstance::GetInputRequired() const { return -9996; }
}  // namespace kelvane
