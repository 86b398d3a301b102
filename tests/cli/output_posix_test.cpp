// What the loquant command writes, and where, as POSIX systems let a user
// aim it: pipes, devices, links, the umask, a full or closed standard output,
// a file size limit, a pipe as the input, and names with blanks and breaks.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"
#include "cli/run_inspect_support.h"

namespace loquant::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct DirectRun {
  int status = -1;  // -1: killed, or still running after a minute
  std::string err;
};

// Where the child's standard output goes.
struct StandardOutput {
  std::string path;  // opened for writing; empty: descriptor 1 closed
};

// Runs loquant with `args` (passed as they are, no shell) in `dir`, its
// standard output as given, standard error collected; `fileSizeLimit` (if
// not 0) caps the size of the files it writes, the failing write getting
// EFBIG rather than the signal (the host's shared sections are files too:
// a verb that runs a system cannot start under a small limit).
DirectRun runDirect(const ScratchDir& dir, const std::vector<std::string>& args,
                    const StandardOutput& output, rlim_t fileSizeLimit = 0) {
  const std::string binary = loquantBinary();
  const std::string errPath = (dir / ".direct.err").string();
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (err < 0 || ::chdir(dir.path().c_str()) != 0) std::_Exit(126);
    ::dup2(err, 2);
    ::close(err);
    if (output.path.empty()) {
      ::close(1);
    } else {
      const int out = ::open(output.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0) std::_Exit(126);
      ::dup2(out, 1);
      ::close(out);
    }
    if (fileSizeLimit != 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      const rlimit limit{fileSizeLimit, fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execv(binary.c_str(), argv.data());
    std::_Exit(127);
  }
  DirectRun run;
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  int raw = 0;
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.err = readFile(errPath);
  return run;
}

// Leftover temporary files of an output.
std::vector<std::string> temporaries(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.find(".tmp-") != std::string::npos) found.push_back(name);
  }
  return found;
}

class OutputsPosix : public ::testing::Test {
 protected:
  void SetUp() override {
    writeWave(dir_ / "good.wav", 16000, {track(16000, 1.0, {{0.2, 0.6}}, 120)});
  }
  ScratchDir dir_;
};

TEST_F(OutputsPosix, PipesAndDevicesAreWrittenNotReplaced) {
  ASSERT_EQ(::mkfifo((dir_ / "out.fifo").c_str(), 0600), 0);
  // Held open at both ends (which never blocks), the pipe takes the few KiB
  // of output without a reader waiting on it.
  const int pipe = ::open((dir_ / "out.fifo").c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(pipe, 0);
  const Outcome run = runLoquant(dir_, "analyze good.wav --output out.fifo");
  char buffer[65536];
  const ssize_t got = ::read(pipe, buffer, sizeof buffer);
  ::close(pipe);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::is_fifo(fs::symlink_status(dir_ / "out.fifo")));
  EXPECT_THAT(std::string(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0))),
              HasSubstr("\"post\":\"SpeechOn\""));
  EXPECT_THAT(temporaries(dir_.path()), ::testing::IsEmpty());

  // A copy of the null device's node, where the system lets us make one.
  if (::mknod((dir_ / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "no device node can be made here";
  }
  const Outcome device = runLoquant(dir_, "analyze good.wav --output null");
  EXPECT_EQ(device.status, 0) << device.err;
  EXPECT_TRUE(fs::is_character_file(fs::symlink_status(dir_ / "null")));
  EXPECT_THAT(temporaries(dir_.path()), ::testing::IsEmpty());
}

TEST_F(OutputsPosix, LinksAreFollowedAndTheirTargetsWritten) {
  fs::create_directory(dir_ / "real");
  writeFile(dir_ / "real" / "report.txt", "old\n");
  fs::create_symlink("real/report.txt", dir_ / "report.txt");
  // A link whose target does not exist yet: the target is made.
  fs::create_symlink("real/new.txt", dir_ / "new.txt");
  for (const std::string name : {"report.txt", "new.txt"}) {
    SCOPED_TRACE(name);
    const Outcome run = runLoquant(dir_, "analyze good.wav --summary --output " + name);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / name)));
    EXPECT_THAT(readFile(dir_ / "real" / name), HasSubstr("turns:"));
  }
  EXPECT_THAT(temporaries(dir_ / "real"), ::testing::IsEmpty());
  EXPECT_THAT(temporaries(dir_.path()), ::testing::IsEmpty());
}

TEST_F(OutputsPosix, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode) {
  const auto modeOf = [&](const std::string& name) {
    struct stat st {};
    ::stat((dir_ / name).c_str(), &st);
    return st.st_mode & 07777U;
  };
  const mode_t saved = ::umask(077);
  const Outcome privateRun = runLoquant(dir_, "analyze good.wav --output private.txt");
  ::umask(022);
  const Outcome sharedRun = runLoquant(dir_, "analyze good.wav --output shared.txt");
  writeFile(dir_ / "kept.txt", "old\n");
  ::chmod((dir_ / "kept.txt").c_str(), 0640);
  const Outcome keptRun = runLoquant(dir_, "analyze good.wav --output kept.txt");
  ::umask(saved);
  ASSERT_EQ(privateRun.status, 0) << privateRun.err;
  ASSERT_EQ(sharedRun.status, 0) << sharedRun.err;
  ASSERT_EQ(keptRun.status, 0) << keptRun.err;
  EXPECT_EQ(modeOf("private.txt"), 0600U);
  EXPECT_EQ(modeOf("shared.txt"), 0644U);
  EXPECT_EQ(modeOf("kept.txt"), 0640U);
  EXPECT_THAT(readFile(dir_ / "kept.txt"), HasSubstr("SpeechOn"));
}

TEST_F(OutputsPosix, EveryVerbReportsAStandardOutputItCannotWrite) {
  const std::vector<std::vector<std::string>> commands = {{"info", "good.wav"},
                                                          {"pitch", "good.wav"},
                                                          {"config", "--print-default"},
                                                          {"analyze", "good.wav"},
                                                          {"analyze", "good.wav", "--summary"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args[0] + " " + args[1] + (args.size() > 2 ? " " + args[2] : ""));
    const DirectRun full = runDirect(dir_, args, StandardOutput{"/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(lines(full.err).size(), 1U) << full.err;
    EXPECT_THAT(full.err, HasSubstr("loquant " + args[0] +
                                    ": cannot write the output: No space left on device"));
    // A closed standard output: the recording opened next must not take
    // its place (and be misread as broken).
    const DirectRun closed = runDirect(dir_, args, StandardOutput{});
    EXPECT_EQ(closed.status, 1);
    EXPECT_EQ(lines(closed.err).size(), 1U) << closed.err;
    EXPECT_THAT(closed.err, HasSubstr("loquant " + args[0] + ": cannot write the output: "));
    EXPECT_THAT(closed.err, Not(HasSubstr("read error")));
  }
  // With its output named, a closed standard output is no concern.
  const DirectRun named =
      runDirect(dir_, {"analyze", "good.wav", "--output", "out.txt"}, StandardOutput{});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_THAT(readFile(dir_ / "out.txt"), HasSubstr("SpeechOn"));
}

TEST_F(OutputsPosix, RunSaysWhyItsStandardOutputFailed) {
  writeFile(dir_ / "run.toml", configText(ownInstance(), "good.wav"));
  const DirectRun full = runDirect(dir_, {"run", "run.toml"}, StandardOutput{"/dev/full"});
  EXPECT_EQ(full.status, 1);
  EXPECT_THAT(full.err, HasSubstr("loquant run: cannot write the output: No space left on device"));
}

TEST_F(OutputsPosix, AFailedWriteGivesItsOwnReason) {
  // Standard output on a file that may not grow past 1 KiB: 10 s of frames
  // make a few KiB of CSV.
  writeWave(dir_ / "long.wav", 16000, {track(16000, 10.0, {{1.0, 9.0}}, 120)});
  const DirectRun limited =
      runDirect(dir_, {"pitch", "long.wav"}, StandardOutput{(dir_ / "pitch.csv").string()}, 1024);
  EXPECT_EQ(limited.status, 1);
  EXPECT_EQ(lines(limited.err).size(), 1U) << limited.err;
  EXPECT_THAT(limited.err, HasSubstr("loquant pitch: cannot write the output: File too large"));
  // A named output on a copy of the full device's node.
  if (::mknod((dir_ / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "no device node can be made here";
  }
  const Outcome full = runLoquant(dir_, "analyze good.wav --output full");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(lines(full.err).size(), 1U) << full.err;
  EXPECT_THAT(full.err, HasSubstr("full: cannot be written: No space left on device"));
  EXPECT_TRUE(fs::is_character_file(fs::symlink_status(dir_ / "full")));
  EXPECT_THAT(temporaries(dir_.path()), ::testing::IsEmpty());
}

TEST_F(OutputsPosix, PlotAndOutputAreWrittenBothOrNeither) {
  // A copy of the full device's node: every write to it fails.
  if (::mknod((dir_ / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "no device node can be made here";
  }
  const Outcome run = runLoquant(dir_, "analyze good.wav --output full --plot plot.svg");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("full: cannot be written: No space left on device"));
  EXPECT_FALSE(fs::exists(dir_ / "plot.svg"));
  EXPECT_THAT(temporaries(dir_.path()), ::testing::IsEmpty());
  // With a good output, both are written.
  const Outcome good = runLoquant(dir_, "analyze good.wav --output out.txt --plot plot.svg");
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_THAT(readFile(dir_ / "plot.svg"), HasSubstr("<svg"));
  EXPECT_THAT(readFile(dir_ / "out.txt"), HasSubstr("SpeechOn"));
  // A character device takes both.
  const Outcome discarded =
      runLoquant(dir_, "analyze good.wav --output /dev/null --plot /dev/null");
  EXPECT_EQ(discarded.status, 0) << discarded.err;
}

TEST_F(OutputsPosix, InfoAndPitchRefuseAPipeAsTheRecording) {
  ASSERT_EQ(::mkfifo((dir_ / "in.wav").c_str(), 0600), 0);
  for (const std::string verb : {"info", "pitch"}) {
    BackgroundLoquant run(dir_, verb + " in.wav", verb);
    EXPECT_EQ(run.wait(std::chrono::seconds(20)), 1) << verb << " waits on the pipe";
    EXPECT_THAT(readFile(dir_ / (verb + ".err")),
                HasSubstr("loquant " + verb + ": in.wav: not a regular file"));
  }
}

TEST_F(OutputsPosix, RttmFileIdsAreOneTokenWhateverTheRecordingIsCalled) {
  const std::string expected[] = {"my_talk,_\"take_2\"", "two_lines"};
  const std::string names[] = {"my talk, \"take 2\".wav", "two\nlines.wav"};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i]);
    fs::copy_file(dir_ / "good.wav", dir_ / names[i]);
    const fs::path out = dir_ / "rttm.txt";
    const DirectRun run =
        runDirect(dir_, {"analyze", names[i], "--format", "rttm"}, StandardOutput{out.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> rows = lines(readFile(out));
    ASSERT_EQ(rows.size(), 1U) << readFile(out);
    std::istringstream fields(rows[0]);
    std::vector<std::string> tokens;
    for (std::string t; fields >> t;) tokens.push_back(t);
    ASSERT_EQ(tokens.size(), 10U) << rows[0];
    EXPECT_EQ(tokens[1], expected[i]);
  }
}

}  // namespace
}  // namespace loquant::test
