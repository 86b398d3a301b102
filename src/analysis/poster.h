// The two outlets of an analysis component: posting result messages and
// writing plain lines to standard output.
//
// The component logic classes of this folder talk only to these interfaces,
// so that they run the same under the host's handle (see entry_loops.h) and
// in tests, which record what was posted and written.
#pragma once

#include <memory>
#include <string_view>

#include "runtime/data_message.h"

namespace vornix {

// Takes a finished result message and sends it under a post name.
class Poster {
 public:
  virtual ~Poster() = default;
  // `message` belongs to the poster from the call on, whatever the result.
  // `postName` may be null (then every post specification of the current
  // trigger applies). Returns the number of deliveries, 0, or a negative
  // failure code, as ZelAPI::postOutputMessage does; callers do not stop on
  // a failed post.
  virtual int post(const char* postName, std::unique_ptr<DataMessage> message) = 0;
};

// Writes text to the component's standard output. The text is written as
// given; callers add the line end.
class LineWriter {
 public:
  virtual ~LineWriter() = default;
  virtual void write(std::string_view text) = 0;
};

// Writes to the process's standard output and flushes after each text, so
// that lines from several component threads are not held back. Thread-safe
// as far as the C stream is (each write is one fwrite call).
class StdoutLineWriter final : public LineWriter {
 public:
  void write(std::string_view text) override;
};

// The process-wide standard-output writer used when none is given.
LineWriter& standardOutput();

}  // namespace vornix
