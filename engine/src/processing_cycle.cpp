#include "engine_instance.h"

namespace kelvane {
// Placeholder until the cycle is written.
int EngineInstance::Process() { return -9996; }
int EngineInstance::Flush() { return -9996; }
}  // namespace kelvane
