// `loquant analyze --jobs N`: every file a conversation of its own, each in
// a child process running `loquant analyze FILE` with the same options, up
// to N at once. A process of its own per file is what makes each result
// identical to a run of its own: the component library keeps state for the
// whole process, and a run carries over into the next one there.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analyze.h"
#include "child_process.h"
#include "output_file.h"
#include "standard_output.h"

namespace loquant::cli {

namespace {

// A private folder for the children's outputs, removed with everything in it.
class ScratchFolder {
 public:
  bool make(std::string& error) {
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) {
      error = "no folder for temporary files: " + ec.message();
      return false;
    }
    // create_directory fails on a name that exists: a name is ours only
    // once we made it.
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
      std::filesystem::path candidate =
          base / ("loquant-jobs-" + std::to_string(stamp) + "-" + std::to_string(attempt));
      if (std::filesystem::create_directory(candidate, ec)) {
        std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, ec);
        path_ = std::move(candidate);
        return true;
      }
    }
    error = "cannot make a folder for temporary files in " + base.string();
    return false;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  std::string file(std::size_t i) const { return (path_ / (std::to_string(i) + ".out")).string(); }

 private:
  std::filesystem::path path_;
};

// The arguments that make a child analyse `file` as this command would.
std::vector<std::string> childArguments(const AnalyzeOptions& options, const std::string& file) {
  std::vector<std::string> args = {"analyze",        file,
                                   "--format",       options.format,
                                   "--conditioning", options.conditioning ? "on" : "off",
                                   "--no-progress"};
  if (options.summary) args.emplace_back("--summary");
  if (options.raw) args.emplace_back("--raw");
  if (options.verbose) args.emplace_back("--verbose");
  if (!options.config.empty()) args.insert(args.end(), {"--config", options.config});
  if (!options.library.empty()) args.insert(args.end(), {"--library", options.library});
  for (const std::string& p : options.params) args.insert(args.end(), {"--param", p});
  return args;
}

bool readWhole(const std::string& path, std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::array<char, 1 << 16> buffer{};
  std::size_t got = 0;
  while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
    text.append(buffer.data(), got);
  const bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

}  // namespace

int runAnalyzeJobs(const AnalyzeOptions& options) {
  if (options.files.empty()) {
    std::fprintf(stderr, "loquant analyze: name at least one recording (WAV or AIFF)\n");
    return kExitUsage;
  }
  if (options.files.size() > 1 && !options.plot.empty()) {
    std::fprintf(stderr,
                 "loquant analyze: --plot draws one recording; with --jobs name one file\n");
    return kExitUsage;
  }
  if (options.files.size() > 1 && options.format == "textgrid" && !options.summary) {
    std::fprintf(stderr,
                 "loquant analyze: a TextGrid holds one recording; with --jobs name one file or "
                 "another --format\n");
    return kExitUsage;
  }
  if (options.files.size() == 1) {
    AnalyzeOptions one = options;
    one.jobs.reset();
    return runAnalyze(one);
  }
  std::vector<std::string> inputs = options.files;
  if (!options.config.empty()) inputs.push_back(options.config);
  std::string error;
  if (!checkOutputPaths(inputs, std::array{options.output}, error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }
  StandardOutputGuard guard(options.verbose);
  OutputFile output(options.output, guard.out());
  ScratchFolder scratch;
  if (!output.open(error) || !scratch.make(error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }

  // Up to `jobs` children at once, started in argument order.
  std::vector<ChildProcess> children;
  std::vector<std::size_t> fileOf;
  std::vector<int> status(options.files.size(), 0);
  std::size_t next = 0;
  std::size_t running = 0;
  while (next < options.files.size() || running > 0) {
    if (next < options.files.size() && running < *options.jobs) {
      std::optional<ChildProcess> child = ChildProcess::start(
          childArguments(options, options.files[next]), scratch.file(next), error);
      if (!child) {
        std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
        status[next] = kExitInput;
      } else {
        children.push_back(std::move(*child));
        fileOf.push_back(next);
        ++running;
      }
      ++next;
      continue;
    }
    const auto [index, code] = ChildProcess::waitAny(children);
    if (index < children.size()) status[fileOf[index]] = code;
    --running;
  }

  // All or nothing, as one run would.
  const int worst = *std::max_element(status.begin(), status.end());
  if (worst != kExitOk) return worst;
  for (std::size_t i = 0; i < options.files.size(); ++i) {
    std::string text;
    if (!readWhole(scratch.file(i), text)) {
      std::fprintf(stderr, "loquant analyze: cannot read the output of %s\n",
                   options.files[i].c_str());
      return kExitInput;
    }
#ifdef _WIN32
    // The child wrote its lines in text mode, as this process will again.
    std::string lines;
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (!(text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n')) lines += text[at];
    }
    text = std::move(lines);
#endif
    output.write(text);
  }
  if (!output.commit(error)) {
    std::fprintf(stderr, "loquant analyze: %s\n", error.c_str());
    return kExitInput;
  }
  return kExitOk;
}

}  // namespace loquant::cli
