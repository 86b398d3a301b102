// The sound-file routines report why they refused a file through a
// process-wide callback. The verbs keep the last report to name the reason
// in their own one-line error message.
#pragma once

#include <string>

namespace loquant::cli {

// Installs the callback that keeps reports (once is enough) and forgets the
// last one.
void captureSoundFileReports();
// The last report, without its line break; `fallback` when there was none.
std::string lastSoundFileReport(const char* fallback);

}  // namespace loquant::cli
