#include "engine_instance.h"

namespace kelvane {
// Placeholder until the analysis is written.
void EngineInstance::GatherAnalysisFrames() {}
void EngineInstance::AnalyseShortFrame() {}
void EngineInstance::AnalyseLongFrame() {}
void EngineInstance::ComputePhaseAdvance(float* const*, float* const*, float* const*, std::uint8_t*, int) {}
}  // namespace kelvane
