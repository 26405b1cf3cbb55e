#include "engine_instance.h"

namespace kelvane {
// Placeholder until the synthesis is written.
void EngineInstance::SynthesiseShortFrame(int) {}
void EngineInstance::SynthesiseLongFrame(int) {}
void EngineInstance::ResynthesiseHop(int) {}
}  // namespace kelvane
