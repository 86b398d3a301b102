// loquant._loquant: the compiled part of the Python module. The Python layer
// (loquant/__init__.py) turns the caller's arrays and files into what these
// functions take: one channel of int16 samples for the tracker, recordings
// on disk for the analysis, which runs the engine of `loquant analyze`.
#include <dlfcn.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis_engine.h"
#include "analyze.h"
#include "default_system.h"
#include "pitch_frames.h"
#include "reports.h"
#include "standard_output.h"

namespace py = pybind11;
using loquant::python::PitchRow;

namespace {

constexpr std::uint32_t kMostBufferSize = 1U << 20;

// The component library installed beside this module.
std::string libraryBesideModule() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&libraryBesideModule), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  const std::filesystem::path beside =
      std::filesystem::path(info.dli_fname).parent_path() / "libloquant.so.0";
  std::error_code ec;
  return std::filesystem::exists(beside, ec) ? beside.string() : std::string();
}

py::array_t<PitchRow> trackPitch(py::array_t<std::int16_t, py::array::c_style> samples, double rate,
                                 double bufferSize, double amplitudeThreshold,
                                 double noiseThreshold) {
  if (samples.ndim() != 1) throw py::value_error("track_pitch takes one channel");
  if (!(rate >= 1 && rate <= 4294967295.0) || rate != std::floor(rate)) {
    throw py::value_error("rate takes a whole number of Hz, at least 1");
  }
  if (!(bufferSize >= 2 && bufferSize <= kMostBufferSize) || bufferSize != std::floor(bufferSize)) {
    throw py::value_error("buffer_size takes a whole number from 2 to 1048576");
  }
  if (!std::isfinite(amplitudeThreshold) || !std::isfinite(noiseThreshold)) {
    throw py::value_error("amplitude_threshold and noise_threshold take finite numbers");
  }
  loquant::python::PitchSettings settings;
  settings.rate = static_cast<std::uint32_t>(rate);
  settings.bufferSize = static_cast<std::uint32_t>(bufferSize);
  settings.amplitudeThreshold = amplitudeThreshold;
  settings.noiseThreshold = noiseThreshold;
  const std::span<const std::int16_t> input(samples.data(),
                                            static_cast<std::size_t>(samples.size()));
  py::array_t<PitchRow> rows(static_cast<py::ssize_t>(
      loquant::python::pitchFrameCount(input.size(), settings.bufferSize)));
  const std::span<PitchRow> out(rows.mutable_data(), static_cast<std::size_t>(rows.size()));
  {
    py::gil_scoped_release release;
    loquant::python::trackPitchFrames(input, settings, out);
  }
  return rows;
}

// What an analysis gives the Python layer.
struct AnalysisResult {
  std::string jsonLines;
  loquant::cli::Conversation conversation;
};

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    if (!text.empty()) text += '\n';
    text += line;
  }
  return text;
}

AnalysisResult analyze(const std::vector<std::string>& files, const std::string& config,
                       const std::vector<std::string>& params, bool conditioning, bool raw,
                       const std::string& library) {
  loquant::cli::AnalysisSettings settings;
  settings.files = files;
  settings.config = config;
  settings.params = params;
  settings.conditioning = conditioning;
  settings.raw = raw;
  settings.library = library.empty() ? libraryBesideModule() : library;
  if (files.empty()) throw py::value_error("name at least one recording (WAV or AIFF)");
  AnalysisResult result;
  loquant::cli::AnalysisHooks hooks;
  hooks.jsonLine = [&result](const std::string& line) { result.jsonLines.append(line); };
  // Ctrl-C in the interpreter stops the run before its next step.
  std::atomic<bool> stop{false};
  bool interrupted = false;
  std::uint64_t steps = 0;
  hooks.progress = [&](std::uint64_t, std::uint64_t) {
    if (++steps % 512 != 0) return;
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) {
      interrupted = true;
      stop.store(true);
    }
  };
  hooks.stop = &stop;
  loquant::cli::AnalysisOutcome outcome;
  {
    py::gil_scoped_release release;
    // The components' own lines never reach the caller's standard output.
    loquant::cli::StandardOutputGuard guard(false);
    outcome = loquant::cli::analyzeRecordings(settings, hooks);
  }
  if (interrupted) throw py::error_already_set();
  if (outcome.status == loquant::cli::kExitUsage) throw py::value_error(joined(outcome.errors));
  if (outcome.status != loquant::cli::kExitOk || outcome.stopped) {
    PyErr_SetString(PyExc_OSError, joined(outcome.errors).c_str());
    throw py::error_already_set();
  }
  result.conversation = std::move(outcome.conversation);
  return result;
}

}  // namespace

PYBIND11_MODULE(_loquant, m) {
  m.doc() = "The compiled part of loquant; use the functions of the loquant package.";
  PYBIND11_NUMPY_DTYPE(PitchRow, time, pitch, f0, level, sound);
  using loquant::cli::Conversation;
  using loquant::cli::FloorInterval;
  using loquant::cli::Speaker;
  using loquant::cli::TurnSummary;
  using loquant::cli::Utterance;

  py::class_<Utterance>(m, "Utterance")
      .def_readonly("start_ms", &Utterance::startMs)
      .def_readonly("end_ms", &Utterance::endMs);
  py::class_<TurnSummary>(m, "TurnSummary")
      .def_readonly("time_ms", &TurnSummary::timeMs)
      .def_readonly("vector", &TurnSummary::vector)
      .def_readonly("average", &TurnSummary::average)
      .def_readonly("slope", &TurnSummary::slope);
  py::class_<Speaker>(m, "Speaker")
      .def_readonly("number", &Speaker::number)
      .def_readonly("name", &Speaker::name)
      .def_readonly("source", &Speaker::source)
      .def_readonly("utterances", &Speaker::utterances)
      .def_readonly("turns", &Speaker::turns);
  py::class_<FloorInterval>(m, "FloorInterval")
      .def_readonly("start_ms", &FloorInterval::startMs)
      .def_readonly("end_ms", &FloorInterval::endMs)
      .def_readonly("label", &FloorInterval::label);
  py::class_<Conversation>(m, "Conversation")
      .def_readonly("duration_ms", &Conversation::durationMs)
      .def_readonly("rate", &Conversation::rate)
      .def_readonly("speakers", &Conversation::speakers)
      .def("floor", &loquant::cli::floorIntervals)
      .def("transfer_offsets", &loquant::cli::floorTransferOffsets)
      .def("summary",
           [](const Conversation& c) {
             std::string out;
             loquant::cli::writeSummary(c, out);
             return out;
           })
      .def("textgrid",
           [](const Conversation& c) {
             std::string out;
             loquant::cli::writeTextGrid(c, out);
             return out;
           })
      .def("rttm",
           [](const Conversation& c, const std::string& fileId) {
             std::string out;
             loquant::cli::writeRttm(c, fileId, out);
             return out;
           })
      .def("csv", [](const Conversation& c) {
        std::string out;
        loquant::cli::writeCsv(c, out);
        return out;
      });
  py::class_<AnalysisResult>(m, "AnalysisResult")
      .def_readonly("json_lines", &AnalysisResult::jsonLines)
      .def_readonly("conversation", &AnalysisResult::conversation);

  m.def("track_pitch", &trackPitch, py::arg("samples"), py::arg("rate"), py::arg("buffer_size"),
        py::arg("amplitude_threshold"), py::arg("noise_threshold"),
        "Pitch of every frame of one channel of int16 samples (a structured array).");
  m.def("analyze", &analyze, py::arg("files"), py::arg("config"), py::arg("params"),
        py::arg("conditioning"), py::arg("raw"), py::arg("library"),
        "Runs the engine of `loquant analyze` on recordings on disk.");
  m.def("default_buffer_size", &loquant::cli::defaultBufferSize, py::arg("rate"),
        "Samples per frame for a rate: the even number nearest to 23.2 ms.");
}
