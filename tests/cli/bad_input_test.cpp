// Every bad input of the loquant command gives one line naming the file or
// option and the reason, exit status 2 for usage and 1 for input, and leaves
// no output file behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/bad_input_fixture.h"

namespace loquant::test {
namespace {

using ::testing::HasSubstr;

TEST_F(BadInput, RecordingsThatCannotBeAnalysed) {
  expectFailure("analyze missing.wav --output out.txt", kInput, {"missing.wav", "no such file"});
  std::filesystem::create_directory(dir_ / "folder.wav");
  expectFailure("analyze folder.wav --output out.txt", kInput,
                {"folder.wav", "not a regular file"});
  writeFile(dir_ / "text.wav", "this is not a recording at all, just some words\n");
  expectFailure("analyze text.wav --output out.txt", kInput, {"text.wav"});
  // Cut inside the format chunk.
  writeFile(dir_ / "cut.wav", readFile(dir_ / "good.wav").substr(0, 30));
  expectFailure("analyze cut.wav --output out.txt", kInput, {"cut.wav"});
  // Cut inside the sample data: the header promises more than is there.
  writeFile(dir_ / "short.wav", readFile(dir_ / "good.wav").substr(0, 44 + 2 * 8000));
  expectFailure("analyze short.wav --output out.txt", kInput, {"short.wav", "truncated"});
  expectFailure("analyze --output out.txt", kUsage, {"recording"});
}

TEST_F(BadInput, OptionsAndParameters) {
  expectFailure("analyze good.wav --frobnicate --output out.txt", kUsage, {"--frobnicate"});
  expectFailure("analyze good.wav --param NoSuchThing=1 --output out.txt", kUsage, {"NoSuchThing"});
  expectFailure("analyze good.wav --param BufferSize=abc --output out.txt", kUsage,
                {"BufferSize", "abc"});
  expectFailure("analyze good.wav --param nobody.BufferSize=512 --output out.txt", kUsage,
                {"nobody"});
  // A parameter that sizes an allocation, far out of its bounds.
  expectFailure("analyze good.wav --param PitchMonitorWindow=2147483647 --output out.txt", kUsage,
                {"PitchMonitorWindow 2147483647 is over its limit of 1048576"});
  expectFailure("analyze good.wav --format xml --output out.txt", kUsage, {"--format", "xml"});
  expectFailure("analyze good.wav --output", kUsage, {"--output"});
  expectFailure("frobnicate", kUsage, {"frobnicate"});
  expectFailure("run", kUsage, {"configuration"});
  expectFailure("run a.toml b.toml", kUsage, {"configuration"});
  expectFailure("run a.toml --frobnicate", kUsage, {"--frobnicate"});
  expectFailure("inspect --instance abc", kUsage, {"--instance", "abc"});
  expectFailure("inspect --instance 70000", kUsage, {"--instance", "70000"});
  expectFailure("inspect --frobnicate", kUsage, {"--frobnicate"});
}

TEST_F(BadInput, ConfigurationErrorsNameFileAndLine) {
  writeFile(dir_ / "typo.toml", "[[components]]\nname = \"a\"\nentyr = \"Runtime\"\n");
  expectFailure("analyze good.wav --config typo.toml --output out.txt", kInput,
                {"typo.toml:3:", "entyr"});
  expectFailure("run typo.toml --output out.txt", kInput, {"typo.toml:3:", "entyr"});
  expectFailure("run absent.toml --output out.txt", kInput, {"absent.toml"});
  // A source whose parameters are wrong is refused with the line of its table.
  writeFile(dir_ / "source.toml",
            "[[components]]\nname = \"out\"\nentry = \"sink\"\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"good.wav\"\nTarget = \"nobody\"\n"
            "BufferSize = 256\n");
  expectFailure("run source.toml --output out.txt", kInput, {"source.toml:5:", "nobody"});
  writeFile(dir_ / "channel.toml",
            "[[components]]\nname = \"out\"\nentry = \"sink\"\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"good.wav\"\nTarget = \"out\"\n"
            "BufferSize = \"many\"\n");
  expectFailure("run channel.toml --output out.txt", kInput, {"channel.toml:5:", "BufferSize"});
  writeFile(dir_ / "nofile.toml",
            "[[components]]\nname = \"out\"\nentry = \"sink\"\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"gone.wav\"\nTarget = \"out\"\n"
            "BufferSize = 256\nChannel = 1\n");
  expectFailure("run nofile.toml --output out.txt", kInput, {"gone.wav", "no such file"});
  writeFile(dir_ / "stereo.toml",
            "[[components]]\nname = \"out\"\nentry = \"sink\"\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"good.wav\"\nTarget = \"out\"\n"
            "BufferSize = 256\nChannel = 2\n");
  expectFailure("run stereo.toml --output out.txt", kInput, {"good.wav", "channel 2"});
  writeFile(dir_ / "rate.toml",
            "[[components]]\nname = \"speaker\"\nentry = \"Runtime\"\n"
            "[components.parameters]\nSamplingFrequency = 44100\nBufferSize = 256\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"good.wav\"\nTarget = \"speaker\"\n"
            "BufferSize = 256\n");
  expectFailure("run rate.toml --output out.txt", kInput,
                {"good.wav: sampled at 16000 Hz", "SamplingFrequency is 44100"});
  // A cut-short recording is found when its data ends.
  writeFile(dir_ / "short.wav", readFile(dir_ / "good.wav").substr(0, 44 + 2 * 4000));
  writeFile(dir_ / "short.toml",
            "[[components]]\nname = \"out\"\nentry = \"sink\"\n\n"
            "[[components]]\nname = \"mic\"\nentry = \"source\"\n"
            "[components.parameters]\nFile = \"short.wav\"\nTarget = \"out\"\n"
            "BufferSize = 256\n");
  const Outcome run = runLoquant(dir_, "run short.toml --output out.txt");
  EXPECT_EQ(run.status, kInput);
  EXPECT_THAT(run.err, HasSubstr("short.wav: truncated"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.txt"));
}

TEST_F(BadInput, ADirectoryOrARecordingAsTheConfigurationIsNamedSo) {
  std::filesystem::create_directory(dir_ / "setup");
  expectFailure("analyze good.wav --config setup --output out.txt", kInput,
                {"setup", "is a directory"});
  expectFailure("run setup --output out.txt", kInput, {"setup", "is a directory"});
  expectFailure("run good.wav --output out.txt", kInput, {"good.wav: is a recording"});
}

TEST_F(BadInput, InspectOfAnInstanceThatIsNotRunning) {
  expectFailure("inspect --instance 65535", kInput, {"65535", "not running"});
}

}  // namespace
}  // namespace loquant::test
