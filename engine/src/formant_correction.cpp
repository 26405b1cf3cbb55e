#include "engine_instance.h"

namespace kelvane {
// Placeholder until formant correction is written.
void EngineInstance::CorrectFormants() {}
}  // namespace kelvane
