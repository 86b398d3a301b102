#include "reports.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <utility>

namespace loquant::cli {

namespace {

struct Turn {
  double startMs;
  double endMs;
  int speaker;
};

// Every utterance of every speaker, by start time (ties: speaker number).
std::vector<Turn> allTurns(const Conversation& c) {
  std::vector<Turn> turns;
  for (const Speaker& s : c.speakers) {
    for (const Utterance& u : s.utterances) {
      if (u.endMs > u.startMs) turns.push_back(Turn{u.startMs, u.endMs, s.number});
    }
  }
  std::sort(turns.begin(), turns.end(), [](const Turn& a, const Turn& b) {
    return a.startMs != b.startMs ? a.startMs < b.startMs : a.speaker < b.speaker;
  });
  return turns;
}

// A level to a tenth of a dB with its unit, "unknown" where there is no
// estimate.
std::string decibels(double db, const char* unit) {
  return std::isnan(db) ? "unknown" : number(db, 1) + " " + unit;
}

constexpr const char* kOverlapBetween = "Overlap between";
constexpr const char* kOverlapWithin = "Overlap within";
constexpr const char* kPause = "Silence within";
constexpr const char* kGap = "Silence giving";

bool isOverlap(const std::string& label) {
  return label == kOverlapBetween || label == kOverlapWithin;
}

// Sweeps over the utterance boundaries counting who speaks, and returns the
// overlaps and the silences between the first and the last utterance by
// start time, including silences of no length where one speaker starts as
// another stops (a floor transfer with offset zero).
std::vector<FloorInterval> floorSweep(const Conversation& c) {
  struct Edge {
    double at;
    int delta;
    int speaker;
  };
  std::vector<Edge> edges;
  for (const Turn& t : allTurns(c)) {
    edges.push_back(Edge{t.startMs, +1, t.speaker});
    edges.push_back(Edge{t.endMs, -1, t.speaker});
  }
  // Ends before starts at the same instant: touching turns leave no overlap.
  std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) {
    if (a.at != b.at) return a.at < b.at;
    return a.delta != b.delta ? a.delta < b.delta : a.speaker < b.speaker;
  });
  std::vector<FloorInterval> intervals;
  int speaking = 0;
  double overlapStart = 0;
  int cameIn = 0;  // the speaker whose start opened the overlap
  double silenceStart = 0;
  int lastToStop = 0;
  bool started = false;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    const Edge& e = edges[i];
    const int before = speaking;
    speaking += e.delta;
    if (before < 2 && speaking >= 2) {
      overlapStart = e.at;
      cameIn = e.speaker;
    }
    if (before >= 2 && speaking < 2 && e.at > overlapStart) {
      // A backchannel ends while another speaker goes on: when everyone
      // stops at once, nobody kept the floor through it.
      bool othersStopToo = false;
      for (std::size_t j = i + 1; j < edges.size() && edges[j].at == e.at; ++j) {
        if (edges[j].delta < 0) othersStopToo = true;
      }
      const bool within = e.speaker == cameIn && !othersStopToo;
      FloorInterval overlap{overlapStart, e.at, within ? kOverlapWithin : kOverlapBetween};
      if (!within) {
        // The floor passes to the speaker who came in, from the one who
        // stops (the other one stopping now when that is the newcomer).
        int from = e.speaker;
        for (std::size_t j = i + 1; from == cameIn && j < edges.size() && edges[j].at == e.at;
             ++j) {
          if (edges[j].delta < 0 && edges[j].speaker != cameIn) from = edges[j].speaker;
        }
        overlap.from = from;
        overlap.to = cameIn;
      }
      intervals.push_back(std::move(overlap));
    }
    if (before == 1 && speaking == 0) {
      silenceStart = e.at;
      lastToStop = e.speaker;
    }
    if (before == 0 && speaking == 1) {
      if (started) {
        const bool pause = e.speaker == lastToStop;
        FloorInterval silence{silenceStart, e.at, pause ? kPause : kGap};
        if (!pause) {
          silence.from = lastToStop;
          silence.to = e.speaker;
        }
        intervals.push_back(std::move(silence));
      }
      started = true;
    }
  }
  std::stable_sort(
      intervals.begin(), intervals.end(),
      [](const FloorInterval& a, const FloorInterval& b) { return a.startMs < b.startMs; });
  return intervals;
}

// The summary of the speaker's utterance that ended at `endMs`, if the
// analysis made one. The analysis posts a turn's summary once the speaker has
// been silent for a segment interval, so it comes after the utterance's end;
// when the speaker resumes sooner, the summary covers both utterances and
// comes after the later one. The summary of an utterance is therefore the
// first one posted from its end and before the end of the speaker's next
// utterance.
const TurnSummary* summaryOf(const Speaker& s, double endMs) {
  double nextEndMs = std::numeric_limits<double>::infinity();
  for (const Utterance& u : s.utterances) {
    if (u.endMs > endMs) nextEndMs = std::min(nextEndMs, u.endMs);
  }
  for (const TurnSummary& t : s.turns) {
    if (t.timeMs >= endMs && t.timeMs < nextEndMs) return &t;
  }
  return nullptr;
}

// An RTTM field is one whitespace-separated token: blanks and control
// characters (a line break would split the line) become '_'.
std::string rttmToken(const std::string& text) {
  std::string token = text.empty() ? "_" : text;
  for (char& ch : token) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte <= 0x20 || byte == 0x7F) ch = '_';
  }
  return token;
}

double meanPitch(const Speaker& s) {
  double sum = 0;
  std::size_t n = 0;
  for (const PitchSample& p : s.pitch) {
    if (p.value > 0) {
      sum += p.value;
      ++n;
    }
  }
  return n == 0 ? 0 : sum / static_cast<double>(n);
}

void textGridInterval(std::string& out, std::size_t index, double from, double to,
                      const std::string& text) {
  out += "        intervals [" + std::to_string(index) + "]:\n";
  out += "            xmin = " + seconds(from) + "\n";
  out += "            xmax = " + seconds(to) + "\n";
  std::string escaped;
  for (char ch : text) escaped += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  out += "            text = \"" + escaped + "\"\n";
}

// Writes one interval tier that covers [0, end] with the labelled intervals
// given (ordered, not overlapping) and empty intervals between them.
void textGridTier(std::string& out, std::size_t index, const std::string& name, double endMs,
                  const std::vector<std::pair<std::pair<double, double>, std::string>>& labelled) {
  std::vector<std::pair<std::pair<double, double>, std::string>> all;
  double at = 0;
  for (const auto& [range, text] : labelled) {
    const double from = std::max(range.first, at);
    const double to = std::min(range.second, endMs);
    if (to <= from) continue;
    if (from > at) all.push_back({{at, from}, ""});
    all.push_back({{from, to}, text});
    at = to;
  }
  if (at < endMs || all.empty()) all.push_back({{at, std::max(endMs, at)}, ""});
  out += "    item [" + std::to_string(index) + "]:\n";
  out += "        class = \"IntervalTier\"\n";
  out += "        name = \"" + name + "\"\n";
  out += "        xmin = 0\n";
  out += "        xmax = " + seconds(endMs) + "\n";
  out += "        intervals: size = " + std::to_string(all.size()) + "\n";
  for (std::size_t i = 0; i < all.size(); ++i) {
    textGridInterval(out, i + 1, all[i].first.first, all[i].first.second, all[i].second);
  }
}

}  // namespace

std::string seconds(double ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f", ms / 1000.0);
  return buffer;
}

std::string number(double v, int decimals) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, v);
  return buffer;
}

double quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const double position = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, sorted.size() - 1);
  return sorted[below] + (sorted[above] - sorted[below]) * (position - static_cast<double>(below));
}

std::vector<FloorInterval> floorIntervals(const Conversation& c) {
  std::vector<FloorInterval> intervals;
  for (FloorInterval& f : floorSweep(c)) {
    if (f.endMs > f.startMs) intervals.push_back(std::move(f));
  }
  return intervals;
}

std::vector<double> floorTransferOffsets(const Conversation& c) {
  std::vector<double> offsets;
  for (const FloorInterval& f : floorSweep(c)) {
    if (f.label == kGap) offsets.push_back(f.endMs - f.startMs);
    if (f.label == kOverlapBetween) offsets.push_back(f.startMs - f.endMs);
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

std::vector<FloorTransfer> floorTransfers(const Conversation& c) {
  std::vector<FloorTransfer> transfers;
  for (const FloorInterval& f : floorSweep(c)) {
    if (f.label == kGap)
      transfers.push_back(FloorTransfer{f.from, f.to, f.endMs, f.endMs - f.startMs});
    if (f.label == kOverlapBetween) {
      transfers.push_back(FloorTransfer{f.from, f.to, f.startMs, f.startMs - f.endMs});
    }
  }
  std::stable_sort(transfers.begin(), transfers.end(),
                   [](const FloorTransfer& a, const FloorTransfer& b) { return a.atMs < b.atMs; });
  return transfers;
}

void writeTextGrid(const Conversation& c, std::string& out) {
  const double end = std::max(c.durationMs, 1.0);
  std::size_t tiers = c.speakers.size() * 2 + 1;
  out += "File type = \"ooTextFile\"\nObject class = \"TextGrid\"\n\n";
  out += "xmin = 0\nxmax = " + seconds(end) + "\ntiers? <exists>\n";
  out += "size = " + std::to_string(tiers) + "\nitem []:\n";
  std::size_t index = 1;
  for (const Speaker& s : c.speakers) {
    std::vector<std::pair<std::pair<double, double>, std::string>> speech;
    std::vector<std::pair<std::pair<double, double>, std::string>> trends;
    for (const Utterance& u : s.utterances) {
      speech.push_back({{u.startMs, u.endMs}, "speech"});
      const TurnSummary* summary = summaryOf(s, u.endMs);
      trends.push_back({{u.startMs, u.endMs}, summary != nullptr ? summary->vector : ""});
    }
    textGridTier(out, index++, s.name, end, speech);
    textGridTier(out, index++, s.name + " trend", end, trends);
  }
  std::vector<std::pair<std::pair<double, double>, std::string>> floor;
  for (const FloorInterval& f : floorIntervals(c)) floor.push_back({{f.startMs, f.endMs}, f.label});
  textGridTier(out, index, "turn-taking", end, floor);
}

void writeRttm(const Conversation& c, const std::string& fileId, std::string& out) {
  const std::string file = rttmToken(fileId);
  for (const Turn& t : allTurns(c)) {
    std::string name;
    for (const Speaker& s : c.speakers) {
      if (s.number == t.speaker) name = s.name;
    }
    out += "SPEAKER " + file + " 1 " + seconds(t.startMs) + " " + seconds(t.endMs - t.startMs) +
           " <NA> <NA> " + rttmToken(name) + " <NA> <NA>\n";
  }
}

void writeCsv(const Conversation& c, std::string& out) {
  out += "speaker,start_s,end_s,duration_s,mean_pitch,mean_pitch_hz,trend\n";
  for (const Turn& t : allTurns(c)) {
    const Speaker* speaker = nullptr;
    for (const Speaker& s : c.speakers) {
      if (s.number == t.speaker) speaker = &s;
    }
    if (speaker == nullptr) continue;
    double sum = 0;
    std::size_t n = 0;
    for (const PitchSample& p : speaker->pitch) {
      if (p.value > 0 && p.timeMs >= t.startMs && p.timeMs < t.endMs) {
        sum += p.value;
        ++n;
      }
    }
    const double mean = n == 0 ? 0 : sum / static_cast<double>(n);
    const TurnSummary* summary = summaryOf(*speaker, t.endMs);
    out += speaker->name + "," + seconds(t.startMs) + "," + seconds(t.endMs) + "," +
           seconds(t.endMs - t.startMs) + "," + number(mean, 2) + "," + number(2 * mean, 2) + "," +
           (summary != nullptr ? summary->vector : "") + "\n";
  }
}

void writeSummary(const Conversation& c, std::string& out) {
  out += "Recording: " + seconds(c.durationMs) + " s, " + std::to_string(c.speakers.size()) +
         " speaker" + (c.speakers.size() == 1 ? "" : "s") + "\n";
  // Warnings first, where a reader sees them before any figure they qualify.
  for (const Speaker& s : c.speakers) {
    if (!s.levelsKnown) continue;
    if (s.tooNoisy) {
      out += "warning: " + s.name + " is too noisy to analyse reliably (SNR " +
             decibels(s.snrDb, "dB") + ")\n";
    }
    if (s.tooQuiet) {
      out += "warning: " + s.name + " is too quiet to analyse reliably (" +
             (std::isnan(s.speechLevelDbfs) ? std::string("no speech found")
                                            : "speech " + decibels(s.speechLevelDbfs, "dBFS")) +
             ")\n";
    }
  }
  out += "\n";
  for (const Speaker& s : c.speakers) {
    double speaking = 0;
    for (const Utterance& u : s.utterances) speaking += std::max(0.0, u.endMs - u.startMs);
    const double mean = meanPitch(s);
    out += s.name + " (" + s.source + ")\n";
    out += "  turns:          " + std::to_string(s.utterances.size()) + "\n";
    out += "  speaking time:  " + seconds(speaking) + " s\n";
    out += "  mean pitch:     " + number(mean, 1) + " (tracker scale), " + number(2 * mean, 1) +
           " Hz\n";
    if (s.levelsKnown) {
      out += "  levels:         noise floor " + decibels(s.noiseFloorDbfs, "dBFS") + ", speech " +
             decibels(s.speechLevelDbfs, "dBFS") + ", SNR " + decibels(s.snrDb, "dB") + "\n";
    }
    std::map<std::string, int> labels;
    for (const TurnSummary& t : s.turns) ++labels[t.vector];
    out += "  trends:        ";
    if (labels.empty()) out += " none";
    for (const auto& [label, count] : labels) out += " " + label + " x" + std::to_string(count);
    out += "\n\n";
  }
  const std::vector<FloorInterval> intervals = floorIntervals(c);
  // `label` empty: every overlap, whichever kind.
  const auto describe = [&](const std::string& label, const std::string& title) {
    double total = 0;
    int count = 0;
    for (const FloorInterval& f : intervals) {
      if (label.empty() ? isOverlap(f.label) : f.label == label) {
        total += f.endMs - f.startMs;
        ++count;
      }
    }
    out += title + std::to_string(count) + ", total " + seconds(total) + " s, mean " +
           seconds(count == 0 ? 0 : total / count) + " s\n";
  };
  if (c.speakers.size() >= 2) {
    out += "Conversation\n";
    describe("", "  overlaps:              ");
    describe(kOverlapBetween, "  overlaps (between):    ");
    describe(kOverlapWithin, "  backchannels (within): ");
    describe(kPause, "  pauses (within):       ");
    describe(kGap, "  gaps (giving):         ");
    const std::vector<double> fto = floorTransferOffsets(c);
    out += "  floor transfers:       " + std::to_string(fto.size());
    if (!fto.empty()) {
      out += ", offset median " + seconds(quantile(fto, 0.5)) + " s, quartiles " +
             seconds(quantile(fto, 0.25)) + " / " + seconds(quantile(fto, 0.75)) + " s";
    }
    out += "\n";
    int backwards = 0;
    for (const FloorPost& p : c.floorPosts) {
      if (p.startMs >= 0 && p.endMs >= 0 && p.endMs < p.startMs) ++backwards;
    }
    out += "  floor posts:           " + std::to_string(c.floorPosts.size()) + " (" +
           std::to_string(backwards) + " ending before they start)\n";
  }
}

void writeSvgPlot(const Conversation& c, std::string& out) {
  constexpr double kWidth = 1200, kLane = 160, kLeft = 70, kRight = 20, kTop = 30, kAxis = 40;
  const double end = std::max(c.durationMs, 1.0);
  const double lanes = static_cast<double>(std::max<std::size_t>(c.speakers.size(), 1));
  const double height = kTop + lanes * kLane + kAxis;
  const double plotWidth = kWidth - kLeft - kRight;
  const auto x = [&](double ms) { return kLeft + plotWidth * ms / end; };
  double top = 1;
  for (const Speaker& s : c.speakers) {
    for (const PitchSample& p : s.pitch) top = std::max(top, p.value);
  }
  top = std::ceil(top / 50.0) * 50.0;
  const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b"};

  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + number(kWidth, 0) + "\" height=\"" +
         number(height, 0) + "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  out += "<text x=\"" + number(kLeft, 0) +
         "\" y=\"18\">Pitch (tracker scale; double it for Hz) with speech, overlap and "
         "silence</text>\n";
  // Turn-taking segments across every lane.
  for (const FloorInterval& f : floorIntervals(c)) {
    const bool overlap = isOverlap(f.label);
    out += "<rect x=\"" + number(x(f.startMs), 1) + "\" y=\"" + number(kTop, 1) + "\" width=\"" +
           number(std::max(x(f.endMs) - x(f.startMs), 0.5), 1) + "\" height=\"" +
           number(lanes * kLane, 1) + "\" fill=\"" + (overlap ? "#ff000030" : "#80808020") +
           "\"><title>" + f.label + " " + seconds(f.startMs) + "-" + seconds(f.endMs) +
           " s</title></rect>\n";
  }
  for (std::size_t i = 0; i < c.speakers.size(); ++i) {
    const Speaker& s = c.speakers[i];
    const char* colour = colours[i % 6];
    const double laneTop = kTop + static_cast<double>(i) * kLane;
    const auto y = [&](double v) { return laneTop + kLane - 10 - (kLane - 20) * v / top; };
    for (const Utterance& u : s.utterances) {
      out += "<rect x=\"" + number(x(u.startMs), 1) + "\" y=\"" + number(laneTop + kLane - 8, 1) +
             "\" width=\"" + number(std::max(x(u.endMs) - x(u.startMs), 0.5), 1) +
             "\" height=\"6\" fill=\"" + colour + "\" opacity=\"0.5\"/>\n";
    }
    // The contour, broken where voiced samples are more than 100 ms apart.
    std::string path;
    double last = -1e18;
    for (const PitchSample& p : s.pitch) {
      if (p.value <= 0) continue;
      path += (p.timeMs - last > 100 ? " M" : " L") + number(x(p.timeMs), 1) + "," +
              number(y(p.value), 1);
      last = p.timeMs;
    }
    if (!path.empty()) {
      out += "<path d=\"" + path + "\" fill=\"none\" stroke=\"" + colour +
             "\" stroke-width=\"1.2\"/>\n";
    }
    out += "<text x=\"4\" y=\"" + number(laneTop + 16, 1) + "\" fill=\"" + colour + "\">" + s.name +
           "</text>\n";
    out += "<text x=\"4\" y=\"" + number(laneTop + 32, 1) + "\" fill=\"#555\">" + number(top, 0) +
           "</text>\n";
    out += "<line x1=\"" + number(kLeft, 0) + "\" x2=\"" + number(kWidth - kRight, 0) + "\" y1=\"" +
           number(laneTop + kLane, 1) + "\" y2=\"" + number(laneTop + kLane, 1) +
           "\" stroke=\"#ccc\"/>\n";
  }
  // The time axis, with ticks at round seconds.
  const double axisY = kTop + lanes * kLane;
  double step = 1000;
  for (const double s : {1000.0, 2000.0, 5000.0, 10000.0, 30000.0, 60000.0, 300000.0, 600000.0}) {
    step = s;
    if (end / s <= 12) break;
  }
  out += "<line x1=\"" + number(kLeft, 0) + "\" x2=\"" + number(kWidth - kRight, 0) + "\" y1=\"" +
         number(axisY, 1) + "\" y2=\"" + number(axisY, 1) + "\" stroke=\"black\"/>\n";
  for (double t = 0; t <= end; t += step) {
    out += "<line x1=\"" + number(x(t), 1) + "\" x2=\"" + number(x(t), 1) + "\" y1=\"" +
           number(axisY, 1) + "\" y2=\"" + number(axisY + 5, 1) + "\" stroke=\"black\"/>\n";
    out += "<text x=\"" + number(x(t), 1) + "\" y=\"" + number(axisY + 18, 1) +
           "\" text-anchor=\"middle\">" + number(t / 1000.0, 0) + " s</text>\n";
  }
  out += "</svg>\n";
}

}  // namespace loquant::cli
