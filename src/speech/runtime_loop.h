// The audio-frame loop of the `Runtime` entry point.
//
// Each message under the trigger "AudioFrame" carries one frame of 16-bit
// little-endian samples in its data entry "AudioDataFrame"; the frame goes
// through the pitch tracker and then the speech monitor, which posts the
// speech events. With "DeviceID", "BufferSize" and "SamplingFrequency" all
// present the loop runs in device mode instead: "Ready" starts the tracker,
// "Stop" releases it, and no frame is analysed.
//
// Process-wide state: the parameters are read on the first run in the
// process, and the tracker and monitor live on from one run to the next. A
// run that starts while another is active gets a state of its own (its own
// parameters, tracker and monitor), so that two components never share one
// tracker.
#pragma once

#include <cstdint>

namespace vornix {

class ZelAPI;

// Runs the loop until the handle says stop. 255 for a null handle, else 0.
std::uint8_t runRuntime(ZelAPI* api);

}  // namespace vornix
