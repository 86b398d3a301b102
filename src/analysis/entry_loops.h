// The entry-point loops of the analysis components over the host's handle.
//
// Each function is the body of one exported entry point: given no handle it
// returns the null-handle code (-1, or 255 for the latency probe) at once;
// otherwise it reads its parameters, waits for messages until keepRunning()
// turns false, hands each message to its logic class, and returns 0. Posts go
// to ZelAPI::postOutputMessage, lines to standard output.
//
// The handle must stay valid for the whole call. Each function runs on the
// caller's thread; several may run at once on different handles (see
// analysis_state.h for how they share the process-wide analysis state).
#pragma once

#include <cstdint>

namespace vornix {

class ZelAPI;

// Single-speaker turn summaries; waits 50 ms at a time.
std::int32_t runAnalyzeSingle(ZelAPI* api);
// Single-speaker summaries through the phase machine; waits 1 ms at a time.
std::int32_t runAnalyzeSingleContinuous(ZelAPI* api);
// Two-speaker floor tracking; waits 50 ms at a time and writes
// "AnalyzeTwo Exit\n" before returning 0.
std::int32_t runAnalyzeTwo(ZelAPI* api);
// Speaker change from the audio frames' "Metadata" against the real
// parameter "Threshold"; waits 100 ms at a time.
std::int32_t runPitchTrackerDetector(ZelAPI* api);
// Latency lines for every message; reads the integer parameter "ModuleID";
// waits 10 ms at a time.
std::uint8_t runLatencyProbe(ZelAPI* api);

}  // namespace vornix
