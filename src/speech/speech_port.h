// What the speech monitor needs from its component handle: parameters by
// name, posting, and the component's log. The frame loop adapts the real
// handle to it; tests may drive the monitor through any implementation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vornix {

class DataMessage;

class SpeechPort {
 public:
  virtual ~SpeechPort() = default;
  // The integer parameter `name`; 0 when missing or not an integer.
  virtual std::int64_t integerParameter(const char* name) = 0;
  // The parameter `name` read as a boolean ("Yes" or a non-zero number).
  virtual bool boolParameter(const char* name) = 0;
  // Posts `message` under `postName`; the port owns it from then on.
  virtual int post(const char* postName, std::unique_ptr<DataMessage> message) = 0;
  // Sends a line to the component's log at `level`.
  virtual void log(std::uint8_t level, const std::string& line) = 0;
};

}  // namespace vornix
