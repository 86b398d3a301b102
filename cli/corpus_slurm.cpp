// `loquant corpus slurm OUTDIR`: the plan as a Slurm job array. Task i runs
// `loquant corpus run OUTDIR --shard i/K` (a task that failed or was cut
// short is simply submitted again: it redoes only what is not done), and a
// merge job runs once the whole array has ended, whatever became of it
// (afterany). It assumes only a file system shared by the nodes and sbatch
// on the PATH.
#include <cstdio>
#include <filesystem>

#include "analyze.h"
#include "corpus.h"
#include "corpus_files.h"

namespace loquant::cli::corpus {

namespace fs = std::filesystem;

namespace {

// A word for the shell, in single quotes.
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// This program's own file, which the nodes run from the shared file system.
std::string thisProgram() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("loquant") : self.string();
}

// Runs `command` and gives its first line of output; false when it failed.
bool firstLineOf(const std::string& command, std::string& line) {
#ifdef _WIN32
  (void)command;
  (void)line;
  return false;
#else
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  char buffer[256] = {};
  const bool got = std::fgets(buffer, sizeof buffer, pipe) != nullptr;
  const int status = ::pclose(pipe);
  line = got ? buffer : "";
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return got && status == 0;
#endif
}

}  // namespace

int slurmCorpus(const SlurmCommand& command) {
  const char* const verb = "loquant corpus slurm";
  Plan plan;
  std::string error;
  if (!loadPlan(command.outdir, plan, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  std::error_code ec;
  const fs::path outdir = fs::absolute(command.outdir, ec).lexically_normal();
  const fs::path folder = outdir / "slurm";
  fs::create_directories(folder, ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s: %s\n", verb, folder.string().c_str(), ec.message().c_str());
    return kExitInput;
  }
  const std::size_t items = plan.items.size();
  const unsigned tasks =
      command.tasks != 0 ? command.tasks : static_cast<unsigned>(std::min<std::size_t>(items, 64));
  const std::string program = quoted(thisProgram());
  const auto header = [&](const std::string& name, const std::string& log) {
    std::string text = "#!/bin/sh\n";
    text += "#SBATCH --job-name=" + name + "\n";
    text += "#SBATCH --output=" + (folder / log).string() + "\n";
    text += "#SBATCH --ntasks=1\n#SBATCH --cpus-per-task=1\n";
    text += "#SBATCH --time=" + command.time + "\n";
    text += "#SBATCH --mem=" + command.memory + "\n";
    if (!command.partition.empty()) text += "#SBATCH --partition=" + command.partition + "\n";
    return text;
  };
  std::string array = header("loquant-corpus", "task-%a.log");
  array += "#SBATCH --array=0-" + std::to_string(tasks - 1) +
           (command.limit != 0 ? "%" + std::to_string(command.limit) : std::string()) + "\n";
  array += "# Task i analyses the i-th of " + std::to_string(tasks) +
           " shares of the plan; resubmitting a task redoes only what is not done.\n";
  array += "exec " + program + " corpus run " + quoted(outdir.string()) +
           " --no-progress --shard \"${SLURM_ARRAY_TASK_ID}/" + std::to_string(tasks) + "\"\n";
  std::string merge = header("loquant-corpus-merge", "merge.log");
  merge += "exec " + program + " corpus merge " + quoted(outdir.string()) + "\n";
  const fs::path arrayScript = folder / "array.sbatch";
  const fs::path mergeScript = folder / "merge.sbatch";
  if (!writeWhole(arrayScript, array, error) || !writeWhole(mergeScript, merge, error)) {
    std::fprintf(stderr, "%s: %s\n", verb, error.c_str());
    return kExitInput;
  }
  if (!command.submit) {
    std::printf("%s\n%s\n", arrayScript.string().c_str(), mergeScript.string().c_str());
    std::fprintf(stderr,
                 "%s: submit with: id=$(sbatch --parsable %s) && sbatch "
                 "--dependency=afterany:$id %s\n",
                 verb, arrayScript.string().c_str(), mergeScript.string().c_str());
    return kExitOk;
  }
  std::string arrayId;
  if (!firstLineOf("sbatch --parsable " + quoted(arrayScript.string()), arrayId) ||
      arrayId.empty()) {
    std::fprintf(stderr, "%s: sbatch did not take %s\n", verb, arrayScript.string().c_str());
    return kExitInput;
  }
  arrayId = arrayId.substr(0, arrayId.find(';'));  // "id;cluster" on federations
  std::string mergeId;
  if (!firstLineOf(
          "sbatch --parsable --dependency=afterany:" + arrayId + " " + quoted(mergeScript.string()),
          mergeId) ||
      mergeId.empty()) {
    std::fprintf(stderr, "%s: sbatch did not take %s (the array is job %s)\n", verb,
                 mergeScript.string().c_str(), arrayId.c_str());
    return kExitInput;
  }
  mergeId = mergeId.substr(0, mergeId.find(';'));
  std::printf("array %s\nmerge %s\n", arrayId.c_str(), mergeId.c_str());
  return kExitOk;
}

}  // namespace loquant::cli::corpus
