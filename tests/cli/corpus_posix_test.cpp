// `loquant corpus`: plans refused with the place and the reason, outputs
// equal to `loquant analyze` of the same files, resuming, a run killed at
// random moments and restarted giving the same outputs, failures recorded
// while the rest goes on, the run lock, and merged tables that are the same
// bytes however the corpus was run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_support.h"

namespace loquant::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::uint32_t kRate = 16000;

// A two-speaker exchange of `seconds`, the turns shifted by `shift` so that
// every conversation differs: speaker 1 then 2 with a gap, then an overlap.
std::vector<std::vector<std::int16_t>> exchange(double seconds, double shift) {
  std::vector<std::pair<double, double>> one, two;
  for (double t = 0.3 + shift; t + 2.2 < seconds; t += 2.6) {
    one.push_back({t, t + 0.9});
    two.push_back({t + 1.2, t + 2.2});
  }
  return {track(kRate, seconds, one, 180), track(kRate, seconds, two, 110)};
}

// Every file of `folder` (not recursing) by name, with its bytes.
std::map<std::string, std::string> contents(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.is_regular_file()) files[entry.path().filename().string()] = readFile(entry.path());
  }
  return files;
}

class CorpusTest : public ::testing::Test {
 protected:
  // `count` stereo conversations c0.wav, c1.wav, ... of `seconds` in corpus/.
  void makeCorpus(int count, double seconds) {
    fs::create_directories(dir_ / "corpus");
    for (int i = 0; i < count; ++i) {
      writeWave(dir_ / "corpus" / ("c" + std::to_string(i) + ".wav"), kRate,
                exchange(seconds, 0.1 * i));
    }
  }
  Outcome loquant(const std::string& arguments) { return runLoquant(dir_, arguments); }

  ScratchDir dir_;
};

TEST_F(CorpusTest, BadPlansAreRefusedWithThePlaceAndNothingIsWritten) {
  makeCorpus(1, 3);
  writeWave(dir_ / "mono.wav", kRate, {track(kRate, 2, {{0.2, 1.0}}, 150)});
  writeWave(dir_ / "mono2.wav", kRate, {track(kRate, 2, {{0.5, 1.5}}, 120)});
  writeWave(dir_ / "fast.wav", 22050, {track(22050, 2, {{0.5, 1.5}}, 120)});
  fs::create_directories(dir_ / "empty");
  struct Case {
    const char* manifest;
    const char* place;
    const char* reason;
  };
  const Case cases[] = {
      {"conversation,speaker,file\na,x,mono.wav\n", "m.csv:1:", "no column 'channel'"},
      {"conversation,speaker,file,channel\na,x,corpus/c0.wav,\n",
       "m.csv:2:", "unknown speaker layout"},
      {"conversation,speaker,file,channel\na,x,corpus/c0.wav,3\n", "m.csv:2:", "no channel '3'"},
      {"conversation,speaker,file,channel\na,x,mono.wav,\nb,y,mono.wav,1\n",
       "m.csv:3:", "listed twice (first on line 2)"},
      {"conversation,speaker,file,channel\na,x,mono.wav,\na,x,mono2.wav,\n",
       "m.csv:3:", "speaker 'x' of conversation 'a' is listed twice"},
      {"conversation,speaker,file,channel\na,x,mono.wav,\na,y,gone.wav,\n",
       "m.csv:3:", "no such file"},
      {"conversation,speaker,file,channel\na,x,mono.wav,\na,y,fast.wav,\n",
       "m.csv:3:", "sampled at 22050 Hz"},
      {"conversation,speaker,file,channel\na,x,mono.wav\n", "m.csv:2:", "3 fields"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.manifest);
    writeFile(dir_ / "m.csv", c.manifest);
    const Outcome outcome = loquant("corpus plan m.csv --out out");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_THAT(outcome.err, HasSubstr(c.place));
    EXPECT_THAT(outcome.err, HasSubstr(c.reason));
    EXPECT_EQ(lines(outcome.err).size(), 1U) << outcome.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
  }
  Outcome empty = loquant("corpus plan empty --out out");
  EXPECT_EQ(empty.status, 1);
  EXPECT_THAT(empty.err, HasSubstr("no recordings"));
  Outcome badParam = loquant("corpus plan corpus --out out --param NoSuchThing=1");
  EXPECT_EQ(badParam.status, 2) << badParam.err;
  EXPECT_FALSE(fs::exists(dir_ / "out"));

  // The same plan again is fine; other options or inputs are another plan.
  ASSERT_EQ(loquant("corpus plan corpus --out out").status, 0);
  const std::string plan = readFile(dir_ / "out" / "plan.tsv");
  EXPECT_EQ(loquant("corpus plan corpus --out out").status, 0);
  const Outcome other = loquant("corpus plan corpus --out out --conditioning off");
  EXPECT_EQ(other.status, 1);
  EXPECT_THAT(other.err, HasSubstr("belongs to another plan"));
  writeWave(dir_ / "corpus" / "c9.wav", kRate, exchange(3, 0.3));
  EXPECT_EQ(loquant("corpus plan corpus --out out").status, 1);
  EXPECT_EQ(readFile(dir_ / "out" / "plan.tsv"), plan);
}

TEST_F(CorpusTest, OutputsAreThoseOfAnalyzeAndAResumedRunSkipsWhatIsDone) {
  makeCorpus(2, 8);
  ASSERT_EQ(loquant("corpus plan corpus --out out --param Conditioning.HangoverMs=60").status, 0);
  const Outcome run = loquant("corpus run out --jobs 2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.err, HasSubstr("2 of 2 conversations done (2 now, 0 skipped), 0 failed"));
  for (const std::string id : {"c0", "c1"}) {
    SCOPED_TRACE(id);
    const std::string file = (dir_.path() / "corpus" / (id + ".wav")).string();
    const std::string common = file + " --no-progress --param Conditioning.HangoverMs=60";
    const fs::path out = dir_ / "out" / "conversations";
    const Outcome json = loquant("analyze " + common);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_FALSE(json.out.empty());
    EXPECT_EQ(readFile(out / (id + ".jsonl")), json.out);
    EXPECT_EQ(readFile(out / (id + ".TextGrid")),
              loquant("analyze --format textgrid " + common).out);
    EXPECT_EQ(readFile(out / (id + ".rttm")), loquant("analyze --format rttm " + common).out);
    EXPECT_EQ(readFile(out / (id + ".summary.txt")), loquant("analyze --summary " + common).out);
  }

  // Nothing redone, nothing rewritten.
  const auto before = fs::last_write_time(dir_ / "out" / "conversations" / "c0.jsonl");
  const Outcome again = loquant("corpus run out");
  EXPECT_EQ(again.status, 0);
  EXPECT_THAT(again.err, HasSubstr("(0 now, 2 skipped)"));
  EXPECT_EQ(fs::last_write_time(dir_ / "out" / "conversations" / "c0.jsonl"), before);

  // A changed input is redone, the other one not.
  writeWave(dir_ / "corpus" / "c1.wav", kRate, exchange(8, 0.7));
  const Outcome changed = loquant("corpus run out");
  EXPECT_EQ(changed.status, 0);
  EXPECT_THAT(changed.err, HasSubstr("(1 now, 1 skipped)"));
  EXPECT_EQ(readFile(dir_ / "out" / "conversations" / "c1.jsonl"),
            loquant("analyze corpus/c1.wav --param Conditioning.HangoverMs=60").out);
}

TEST_F(CorpusTest, AManifestChannelIsThatSpeakerAlone) {
  // Speakers taken from channels of stereo files, in another order, equal
  // the same speakers given as mono files.
  const auto a = exchange(8, 0.0);
  const auto b = exchange(8, 0.4);
  writeWave(dir_ / "a.wav", kRate, a);
  writeWave(dir_ / "b.wav", kRate, b);
  writeWave(dir_ / "a2.wav", kRate, {a[1]});
  writeWave(dir_ / "b1.wav", kRate, {b[0]});
  writeFile(dir_ / "m.csv",
            "conversation,speaker,file,channel\n"
            "talk,ann,a.wav,2\n"
            "talk,bob,b.wav,1\n");
  ASSERT_EQ(loquant("corpus plan m.csv --out out").status, 0);
  const Outcome run = loquant("corpus run out");
  ASSERT_EQ(run.status, 0) << run.err;
  const fs::path out = dir_ / "out" / "conversations";
  const Outcome json = loquant("analyze a2.wav b1.wav");
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(readFile(out / "talk.jsonl"), json.out);
  EXPECT_EQ(readFile(out / "talk.TextGrid"),
            loquant("analyze --format textgrid a2.wav b1.wav").out);
  ASSERT_EQ(loquant("corpus merge out").status, 0);
  const std::vector<std::string> speakers = lines(readFile(dir_ / "out" / "speakers.csv"));
  ASSERT_EQ(speakers.size(), 3U);
  EXPECT_THAT(speakers[1], HasSubstr("talk,ann," + (dir_.path() / "a.wav").string() + ":2,"));
  EXPECT_THAT(speakers[2], HasSubstr("talk,bob," + (dir_.path() / "b.wav").string() + ":1,"));
}

TEST_F(CorpusTest, AFailedRecordingIsListedAndTheRestGoesOn) {
  makeCorpus(2, 6);
  // A header that promises more samples than the file holds.
  std::string bad = readFile(dir_ / "corpus" / "c0.wav");
  bad.resize(bad.size() / 2);
  writeFile(dir_ / "corpus" / "bad.wav", bad);
  ASSERT_EQ(loquant("corpus plan corpus --out out").status, 0);
  const Outcome run = loquant("corpus run out --jobs 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_THAT(run.err, HasSubstr("2 of 3 conversations done"));
  const std::vector<std::string> failures = lines(readFile(dir_ / "out" / "failures.csv"));
  ASSERT_EQ(failures.size(), 2U);
  EXPECT_EQ(failures[0], "conversation,reason");
  EXPECT_THAT(failures[1], HasSubstr("bad,"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "conversations" / "c0.done"));
  EXPECT_TRUE(fs::exists(dir_ / "out" / "conversations" / "c1.done"));
  EXPECT_FALSE(fs::exists(dir_ / "out" / "conversations" / "bad.jsonl"));

  // Once repaired, the next run does it and the list is empty again.
  fs::copy_file(dir_ / "corpus" / "c1.wav", dir_ / "corpus" / "bad.wav",
                fs::copy_options::overwrite_existing);
  EXPECT_EQ(loquant("corpus run out").status, 0);
  EXPECT_EQ(readFile(dir_ / "out" / "failures.csv"), "conversation,reason\n");
}

TEST_F(CorpusTest, ALiveHoldersLockRefusesADeadOnesIsTakenOver) {
  makeCorpus(1, 3);
  ASSERT_EQ(loquant("corpus plan corpus --out out").status, 0);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  writeFile(dir_ / "out" / "run.lock", std::to_string(getpid()) + " " + host + "\n");
  const Outcome held = loquant("corpus run out");
  EXPECT_EQ(held.status, 1);
  EXPECT_THAT(held.err, HasSubstr("process " + std::to_string(getpid()) + " on " + host));
  EXPECT_FALSE(fs::exists(dir_ / "out" / "conversations" / "c0.done"));

  // A process that has ended (reaped, so its id is free).
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  writeFile(dir_ / "out" / "run.lock", std::to_string(child) + " " + host + "\n");
  const Outcome taken = loquant("corpus run out");
  EXPECT_EQ(taken.status, 0) << taken.err;
  EXPECT_THAT(taken.err, HasSubstr("took over"));
  EXPECT_THAT(taken.err, HasSubstr("process " + std::to_string(child)));
  EXPECT_FALSE(fs::exists(dir_ / "out" / "run.lock"));  // released at the end
}

// Runs that all find an ended holder's lock at once: one of them gets the
// lock (none removes the lock another has just made). A takeover guard
// whose run cannot be told to have ended blocks a takeover until it is old;
// one left by an ended run of this machine does not.
TEST_F(CorpusTest, AnEndedHoldersLockIsTakenOverByOneRunOnly) {
  makeCorpus(3, 20);
  ASSERT_EQ(loquant("corpus plan corpus --out out").status, 0);
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  const pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  const fs::path lock = dir_ / "out" / "run.lock";
  const fs::path guard = dir_ / "out" / "run.lock.takeover";
  writeFile(lock, std::to_string(child) + " " + host + "\n");

  writeFile(guard, "");
  const Outcome blocked = loquant("corpus run out");
  EXPECT_EQ(blocked.status, 1);
  EXPECT_THAT(blocked.err, HasSubstr("another run is starting"));
  writeFile(guard, std::to_string(child) + " " + host + "\n");
  ASSERT_EQ(loquant("corpus plan corpus --out out2").status, 0);
  writeFile(dir_ / "out2" / "run.lock", std::to_string(child) + " " + host + "\n");
  fs::copy_file(guard, dir_ / "out2" / "run.lock.takeover");
  const Outcome afterKilled = loquant("corpus run out2");
  EXPECT_EQ(afterKilled.status, 0) << afterKilled.err;
  EXPECT_THAT(afterKilled.err, HasSubstr("took over"));
  EXPECT_FALSE(fs::exists(dir_ / "out2" / "run.lock.takeover"));
  writeFile(guard, "");
  fs::last_write_time(guard, fs::file_time_type::clock::now() - std::chrono::seconds(20));

  std::vector<std::unique_ptr<BackgroundLoquant>> runs;
  for (int k = 0; k < 6; ++k) {
    runs.push_back(
        std::make_unique<BackgroundLoquant>(dir_, "corpus run out", ".race" + std::to_string(k)));
  }
  // Exactly one run does the work. The others refuse, or start after it
  // has finished and find nothing left to do. (The run that removed the
  // ended holder's lock may lose the race to make its own to another.)
  int worked = 0;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    ASSERT_TRUE(runs[k]->started());
    const int status = runs[k]->wait(std::chrono::minutes(2));
    const std::string err = readFile(dir_ / (".race" + std::to_string(k) + ".err"));
    EXPECT_LE(status, 1) << err;
    if (err.find("(3 now") != std::string::npos) ++worked;
  }
  EXPECT_EQ(worked, 1);
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_FALSE(fs::exists(guard));
}

TEST_F(CorpusTest, ARunKilledAtAnyMomentAndRestartedGivesTheSameOutputs) {
  makeCorpus(6, 60);
  ASSERT_EQ(loquant("corpus plan corpus --out whole").status, 0);
  const Outcome whole = loquant("corpus run whole --jobs 2");
  ASSERT_EQ(whole.status, 0) << whole.err;
  ASSERT_EQ(loquant("corpus merge whole").status, 0);

  // Killed at several moments, each time after a little more work; the
  // children it leaves finish their conversation on their own.
  ASSERT_EQ(loquant("corpus plan corpus --out killed").status, 0);
  const auto done = [this] {
    int n = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "killed" / "conversations")) {
      n += e.path().extension() == ".done" ? 1 : 0;
    }
    return n;
  };
  int midRun = 0;
  // (Once the work is done, a run started later ends before its kill.)
  for (int delayMs : {20, 60, 40, 100, 30, 150, 80, 200}) {
    BackgroundLoquant run(dir_, "corpus run killed --jobs 2", "killed");
    ASSERT_TRUE(run.started());
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ASSERT_EQ(::kill(static_cast<pid_t>(run.id()), SIGKILL), 0);
    run.wait(std::chrono::seconds(10));
    if (fs::exists(dir_ / "killed" / "conversations") && done() < 6) ++midRun;
  }
  EXPECT_GT(midRun, 0) << "no kill came before the run's end";
  const Outcome finish = loquant("corpus run killed");
  ASSERT_EQ(finish.status, 0) << finish.err;
  ASSERT_EQ(loquant("corpus merge killed").status, 0);
  // Another run may still be finishing a conversation a killed one started:
  // wait until no temporary file is left.
  for (int i = 0; i < 100; ++i) {
    bool temporaries = false;
    for (const auto& e : fs::directory_iterator(dir_ / "killed" / "conversations")) {
      temporaries = temporaries || e.path().string().find(".tmp.") != std::string::npos;
    }
    if (!temporaries) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(contents(dir_ / "killed" / "conversations"),
            contents(dir_ / "whole" / "conversations"));
  for (const char* table :
       {"speakers.csv", "conversations.csv", "transitions.csv", "corpus.rttm", "failures.csv"}) {
    EXPECT_EQ(readFile(dir_ / "killed" / table), readFile(dir_ / "whole" / table)) << table;
  }
}

TEST_F(CorpusTest, MergedTablesAreTheSameBytesHoweverTheCorpusWasRun) {
  makeCorpus(3, 10);
  ASSERT_EQ(loquant("corpus plan corpus --out one").status, 0);
  ASSERT_EQ(loquant("corpus plan corpus --out shards").status, 0);
  ASSERT_EQ(loquant("corpus run one --jobs 1").status, 0);
  // Shards in the opposite order, as a cluster might run them.
  ASSERT_EQ(loquant("corpus run shards --shard 1/2").status, 0);
  EXPECT_FALSE(fs::exists(dir_ / "shards" / "conversations" / "c0.done"));
  EXPECT_EQ(loquant("corpus merge shards").status, 1);  // c0 and c2 not done yet
  ASSERT_EQ(loquant("corpus run shards --shard 0/2").status, 0);
  ASSERT_EQ(loquant("corpus merge one").status, 0);
  const auto first = contents(dir_ / "one");
  ASSERT_EQ(loquant("corpus merge one").status, 0);
  ASSERT_EQ(loquant("corpus merge shards").status, 0);
  for (const char* table :
       {"speakers.csv", "conversations.csv", "transitions.csv", "corpus.rttm"}) {
    SCOPED_TRACE(table);
    EXPECT_EQ(first.at(table), readFile(dir_ / "one" / table));
    EXPECT_EQ(first.at(table), readFile(dir_ / "shards" / table));
  }
  // One row per speaker and conversation; one transition row per transfer
  // counted in conversations.csv, each from one speaker to the other.
  EXPECT_EQ(lines(first.at("speakers.csv")).size(), 1U + 3 * 2);
  const std::vector<std::string> conversations = lines(first.at("conversations.csv"));
  ASSERT_EQ(conversations.size(), 4U);
  std::size_t transfers = 0;
  for (std::size_t i = 1; i < conversations.size(); ++i) {
    std::vector<std::string> fields;
    std::string field;
    for (const char c : conversations[i] + ",") {
      if (c == ',') {
        fields.push_back(field);
        field.clear();
      } else {
        field += c;
      }
    }
    ASSERT_EQ(fields.size(), 19U) << conversations[i];
    transfers += std::stoul(fields[13]);
  }
  const std::vector<std::string> transitions = lines(first.at("transitions.csv"));
  EXPECT_GT(transfers, 0U);
  EXPECT_EQ(transitions.size(), 1 + transfers);
  for (std::size_t i = 1; i < transitions.size(); ++i) {
    EXPECT_THAT(transitions[i], ::testing::AnyOf(HasSubstr(",speaker1,speaker2,"),
                                                 HasSubstr(",speaker2,speaker1,")));
  }
  EXPECT_THAT(first.at("corpus.rttm"), HasSubstr("SPEAKER c2 1 "));
}

TEST_F(CorpusTest, SlurmScriptsRunShardsAndMergeAfterTheArray) {
  makeCorpus(3, 3);
  ASSERT_EQ(loquant("corpus plan corpus --out out").status, 0);
  const Outcome slurm =
      loquant("corpus slurm out --tasks 3 --limit 2 --partition debug --time 0:10:00 --mem 1G");
  ASSERT_EQ(slurm.status, 0) << slurm.err;
  const std::string array = readFile(dir_ / "out" / "slurm" / "array.sbatch");
  EXPECT_THAT(array, HasSubstr("#SBATCH --array=0-2%2\n"));
  EXPECT_THAT(array, HasSubstr("#SBATCH --partition=debug\n"));
  EXPECT_THAT(array, HasSubstr("--shard \"${SLURM_ARRAY_TASK_ID}/3\""));
  EXPECT_THAT(readFile(dir_ / "out" / "slurm" / "merge.sbatch"), HasSubstr(" corpus merge "));
  EXPECT_THAT(slurm.err, HasSubstr("--dependency=afterany:"));
  EXPECT_EQ(loquant("corpus slurm out --tasks 0").status, 2);
  EXPECT_THAT(loquant("corpus slurm nowhere").err, Not(HasSubstr("array.sbatch")));
}

}  // namespace
}  // namespace loquant::test
