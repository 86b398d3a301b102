#include "corpus_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

#include "corpus_files.h"
#include "reports.h"

namespace loquant::cli::corpus {

namespace fs = std::filesystem;

const char* const kSpeakersHeader =
    "conversation,speaker,source,turns,speaking_s,mean_pitch_hz,trends\n";
const char* const kConversationsHeader =
    "conversation,duration_s,speakers,overlaps,overlap_s,between_overlaps,between_overlap_s,"
    "backchannels,backchannel_s,pauses,pause_s,gaps,gap_s,transfers,offset_median_s,"
    "offset_q1_s,offset_q3_s,floor_posts,floor_posts_ending_before_start\n";
const char* const kTransitionsHeader = "conversation,from,to,time_s,offset_s\n";

std::string csvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::string conversationRows(const WorkItem& item, const Conversation& c) {
  const std::string id = csvField(item.id);
  std::map<int, std::string> names;
  for (std::size_t i = 0; i < c.speakers.size(); ++i) {
    const bool named = i < item.inputs.size() && !item.inputs[i].speaker.empty();
    names[c.speakers[i].number] = named ? item.inputs[i].speaker : c.speakers[i].name;
  }
  std::string out;
  for (const Speaker& s : c.speakers) {
    double speaking = 0;
    for (const Utterance& u : s.utterances) speaking += std::max(0.0, u.endMs - u.startMs);
    double sum = 0;
    std::size_t voiced = 0;
    for (const PitchSample& p : s.pitch) {
      if (p.value > 0) {
        sum += p.value;
        ++voiced;
      }
    }
    const double meanHz = voiced == 0 ? 0 : 2 * sum / static_cast<double>(voiced);
    std::map<std::string, int> trends;
    for (const TurnSummary& t : s.turns) ++trends[t.vector];
    std::string trendText;
    for (const auto& [label, count] : trends) {
      trendText += (trendText.empty() ? "" : " ") + label + ":" + std::to_string(count);
    }
    out += "speakers," + id + "," + csvField(names[s.number]) + "," + csvField(s.source) + "," +
           std::to_string(s.utterances.size()) + "," + seconds(speaking) + "," + number(meanHz, 1) +
           "," + csvField(trendText) + "\n";
  }

  struct Tally {
    int count = 0;
    double ms = 0;
  };
  std::map<std::string, Tally> tally;
  for (const FloorInterval& f : floorIntervals(c)) {
    Tally& t = tally[f.label];
    ++t.count;
    t.ms += f.endMs - f.startMs;
  }
  const Tally between = tally["Overlap between"];
  const Tally within = tally["Overlap within"];
  const Tally pauses = tally["Silence within"];
  const Tally gaps = tally["Silence giving"];
  const std::vector<double> offsets = floorTransferOffsets(c);
  int backwards = 0;
  for (const FloorPost& p : c.floorPosts) {
    if (p.startMs >= 0 && p.endMs >= 0 && p.endMs < p.startMs) ++backwards;
  }
  const auto pair = [](const Tally& t) { return std::to_string(t.count) + "," + seconds(t.ms); };
  out +=
      "conversations," + id + "," + seconds(c.durationMs) + "," +
      std::to_string(c.speakers.size()) + "," +
      pair(Tally{between.count + within.count, between.ms + within.ms}) + "," + pair(between) +
      "," + pair(within) + "," + pair(pauses) + "," + pair(gaps) + "," +
      std::to_string(offsets.size()) + "," +
      (offsets.empty() ? std::string(",,")
                       : seconds(quantile(offsets, 0.5)) + "," + seconds(quantile(offsets, 0.25)) +
                             "," + seconds(quantile(offsets, 0.75))) +
      "," + std::to_string(c.floorPosts.size()) + "," + std::to_string(backwards) + "\n";

  for (const FloorTransfer& t : floorTransfers(c)) {
    out += "transitions," + id + "," + csvField(names[t.from]) + "," + csvField(names[t.to]) + "," +
           seconds(t.atMs) + "," + seconds(t.offsetMs) + "\n";
  }
  return out;
}

MergedTables mergeTables(const Plan& plan, const std::string& folder) {
  MergedTables merged;
  merged.speakers = kSpeakersHeader;
  merged.conversations = kConversationsHeader;
  merged.transitions = kTransitionsHeader;
  const fs::path base(folder);
  for (const WorkItem& item : plan.items) {
    std::string rows;
    std::string rttm;
    if (!readWhole(base / (item.id + ".rows"), rows) ||
        !readWhole(base / (item.id + ".rttm"), rttm)) {
      merged.missing.push_back(item.id);
      continue;
    }
    std::istringstream lines(rows);
    for (std::string line; std::getline(lines, line);) {
      const std::size_t comma = line.find(',');
      const std::string table = line.substr(0, comma);
      const std::string row = line.substr(comma + 1) + "\n";
      if (table == "speakers") merged.speakers += row;
      if (table == "conversations") merged.conversations += row;
      if (table == "transitions") merged.transitions += row;
    }
    merged.rttm += rttm;
  }
  return merged;
}

}  // namespace loquant::cli::corpus
