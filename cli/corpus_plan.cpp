#include "corpus_plan.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "sound_report.h"
#include "soundfile/sample_reader.h"

namespace loquant::cli::corpus {

namespace fs = std::filesystem;

namespace {

constexpr const char* kPlanHeader = "loquant corpus plan 1";

bool isRecordingName(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".wav" || ext == ".wave" || ext == ".aif" || ext == ".aiff";
}

// A conversation's name becomes the stem of its output files: no folder
// separators, no control characters, no tab (the plan's separator), and not
// a name of its own folder.
bool usableName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.front() == '.') return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':';
  });
}

// A field the plan can hold: no tab and no line break.
bool planField(const std::string& text) {
  return text.find_first_of("\t\r\n") == std::string::npos;
}

struct Header {
  int channels = 0;
  std::uint32_t rate = 0;
  double seconds = 0;
};

// The header of a recording; false with the reason.
bool readHeader(const fs::path& path, Header& header, std::string& reason) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    reason = fs::exists(path, ec) ? "not a regular file" : "no such file";
    return false;
  }
  captureSoundFileReports();
  std::optional<vornix::SampleReader> reader = vornix::SampleReader::open(path);
  if (!reader) {
    reason = lastSoundFileReport("not a WAV or AIFF recording");
    return false;
  }
  header.channels = reader->channels();
  header.rate = static_cast<std::uint32_t>(reader->format().rate);
  // AIFF counts sample frames, WAVE samples over all channels.
  double frames = static_cast<double>(reader->format().frames);
  std::array<char, 4> magic{};
  if (std::FILE* file = std::fopen(path.string().c_str(), "rb")) {
    if (std::fread(magic.data(), 1, magic.size(), file) == magic.size() &&
        std::string(magic.data(), magic.size()) == "RIFF" && header.channels > 0) {
      frames /= header.channels;
    }
    std::fclose(file);
  }
  header.seconds = header.rate == 0 ? 0 : frames / static_cast<double>(header.rate);
  return true;
}

// Splits one CSV line into fields: commas separate, double quotes enclose a
// field that holds commas, and "" inside them is one quote.
std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        fields.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        fields.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  for (std::string& f : fields) {
    const auto first = f.find_first_not_of(" \t");
    const auto last = f.find_last_not_of(" \t");
    f = first == std::string::npos ? "" : f.substr(first, last - first + 1);
  }
  return fields;
}

std::optional<Plan> planFromFolder(const fs::path& folder, PlanError& error) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (isRecordingName(it->path()) && it->is_regular_file(ec)) files.push_back(it->path());
  }
  if (ec) {
    error = {folder.string() + ": " + ec.message(), 1};
    return std::nullopt;
  }
  if (files.empty()) {
    error = {folder.string() + ": no recordings (.wav, .wave, .aif, .aiff) in this folder", 1};
    return std::nullopt;
  }
  std::sort(files.begin(), files.end());
  Plan plan;
  std::map<std::string, fs::path> byId;
  for (const fs::path& file : files) {
    const std::string id = file.stem().string();
    const fs::path absolute = fs::absolute(file, ec);
    if (!usableName(id) || !planField(absolute.string())) {
      error = {file.string() + ": its name cannot name a conversation's output files", 1};
      return std::nullopt;
    }
    if (const auto seen = byId.find(id); seen != byId.end()) {
      error = {
          file.string() + ": conversation '" + id + "' is already made by " + seen->second.string(),
          1};
      return std::nullopt;
    }
    byId.emplace(id, file);
    Header header;
    std::string reason;
    std::optional<Stamp> stamp;
    if (!readHeader(absolute, header, reason) || !(stamp = stampOf(absolute))) {
      error = {file.string() + ": " + (reason.empty() ? "cannot be read" : reason), 1};
      return std::nullopt;
    }
    plan.items.push_back(
        WorkItem{id, {PlanInput{"", absolute.string(), 0, *stamp}}, header.seconds});
  }
  return plan;
}

std::optional<Plan> planFromManifest(const fs::path& manifest, PlanError& error) {
  std::FILE* file = std::fopen(manifest.string().c_str(), "rb");
  if (file == nullptr) {
    error = {manifest.string() + ": cannot be read", 1};
    return std::nullopt;
  }
  std::string text;
  std::array<char, 1 << 14> buffer{};
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    text.append(buffer.data(), got);
  }
  std::fclose(file);
  const fs::path base = manifest.parent_path();
  const auto where = [&manifest](std::size_t line) {
    return manifest.string() + ":" + std::to_string(line) + ": ";
  };

  std::istringstream lines(text);
  std::string line;
  std::size_t number = 0;
  std::map<std::string, std::size_t> column;
  std::size_t width = 0;
  struct Row {
    std::size_t line;
    PlanInput input;
    Header header;
  };
  std::map<std::string, std::vector<Row>> conversations;
  std::map<std::pair<std::string, std::string>, std::size_t> speakerLine;
  std::map<std::pair<std::string, int>, std::size_t> channelLine;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    const std::vector<std::string> fields = csvFields(line);
    if (column.empty()) {
      for (std::size_t i = 0; i < fields.size(); ++i) column[fields[i]] = i;
      for (const char* name : {"conversation", "speaker", "file", "channel"}) {
        if (column.count(name) == 0) {
          error = {where(number) + "no column '" + name +
                       "' (the header is conversation,speaker,file,channel)",
                   1};
          return std::nullopt;
        }
      }
      width = fields.size();
      continue;
    }
    if (fields.size() != width) {
      error = {where(number) + std::to_string(fields.size()) + " fields, but the header has " +
                   std::to_string(width),
               1};
      return std::nullopt;
    }
    const std::string& conversation = fields[column["conversation"]];
    const std::string& speaker = fields[column["speaker"]];
    const std::string& named = fields[column["file"]];
    const std::string& channelText = fields[column["channel"]];
    if (!usableName(conversation)) {
      error = {where(number) + "conversation '" + conversation +
                   "' cannot name output files (empty, or with / \\ : or control characters)",
               1};
      return std::nullopt;
    }
    if (speaker.empty() || !planField(speaker)) {
      error = {where(number) + "no speaker named", 1};
      return std::nullopt;
    }
    std::error_code ec;
    fs::path path = fs::path(named).is_absolute() ? fs::path(named) : base / named;
    path = fs::absolute(path, ec).lexically_normal();
    Row row{number, PlanInput{speaker, path.string(), 0, {}}, {}};
    std::string reason;
    if (named.empty() || !planField(path.string()) || !readHeader(path, row.header, reason)) {
      error = {where(number) + named + ": " + (reason.empty() ? "cannot be read" : reason), 1};
      return std::nullopt;
    }
    const std::optional<Stamp> stamp = stampOf(path);
    if (!stamp) {
      error = {where(number) + named + ": " + (reason.empty() ? "cannot be read" : reason), 1};
      return std::nullopt;
    }
    row.input.stamp = *stamp;
    if (channelText.empty()) {
      if (row.header.channels != 1) {
        error = {where(number) + "unknown speaker layout: " + named + " has " +
                     std::to_string(row.header.channels) +
                     " channels; name the speaker's in the channel column",
                 1};
        return std::nullopt;
      }
    } else {
      char* end = nullptr;
      const long channel = std::strtol(channelText.c_str(), &end, 10);
      if (*end != '\0' || channel < 1 || channel > row.header.channels) {
        error = {where(number) + "unknown speaker layout: " + named + " has " +
                     std::to_string(row.header.channels) + " channel(s), no channel '" +
                     channelText + "'",
                 1};
        return std::nullopt;
      }
      row.input.channel = static_cast<int>(channel);
    }
    if (const auto [at, added] = speakerLine.emplace(std::pair{conversation, speaker}, number);
        !added) {
      error = {where(number) + "speaker '" + speaker + "' of conversation '" + conversation +
                   "' is listed twice (first on line " + std::to_string(at->second) + ")",
               1};
      return std::nullopt;
    }
    const int channel = row.input.channel == 0 ? 1 : row.input.channel;
    if (const auto [at, added] = channelLine.emplace(std::pair{path.string(), channel}, number);
        !added) {
      error = {where(number) + named + " channel " + std::to_string(channel) +
                   " is listed twice (first on line " + std::to_string(at->second) + ")",
               1};
      return std::nullopt;
    }
    std::vector<Row>& rows = conversations[conversation];
    if (!rows.empty() && rows.front().header.rate != row.header.rate) {
      error = {where(number) + named + " is sampled at " + std::to_string(row.header.rate) +
                   " Hz, but conversation '" + conversation + "' at " +
                   std::to_string(rows.front().header.rate) + " Hz (line " +
                   std::to_string(rows.front().line) + ")",
               1};
      return std::nullopt;
    }
    rows.push_back(std::move(row));
  }
  if (column.empty()) {
    error = {manifest.string() + ": empty (the header is conversation,speaker,file,channel)", 1};
    return std::nullopt;
  }
  if (conversations.empty()) {
    error = {manifest.string() + ": no conversations listed", 1};
    return std::nullopt;
  }
  Plan plan;
  for (auto& [id, rows] : conversations) {
    WorkItem item{id, {}, 0};
    for (Row& row : rows) {
      item.seconds = std::max(item.seconds, row.header.seconds);
      item.inputs.push_back(std::move(row.input));
    }
    plan.items.push_back(std::move(item));
  }
  return plan;
}

std::string identity(const Plan& plan) {
  Plan bare = plan;
  for (WorkItem& item : bare.items) {
    item.seconds = 0;
    for (PlanInput& input : item.inputs) input.stamp = {};
  }
  return formatPlan(bare);
}

}  // namespace

std::optional<Stamp> stampOf(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  const auto time = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  return Stamp{static_cast<std::uint64_t>(size),
               static_cast<std::int64_t>(time.time_since_epoch().count())};
}

std::optional<Plan> makePlan(const fs::path& source, const AnalysisOptions& options,
                             PlanError& error) {
  std::error_code ec;
  std::optional<Plan> plan;
  if (fs::is_directory(source, ec)) {
    plan = planFromFolder(source, error);
  } else if (fs::is_regular_file(source, ec)) {
    plan = planFromManifest(source, error);
  } else {
    error = {source.string() + ": no such folder or manifest", 1};
  }
  if (!plan) return std::nullopt;
  plan->options = options;
  if (!options.config.empty()) {
    plan->options.config = fs::absolute(options.config, ec).lexically_normal().string();
  }
  for (const std::string& p : plan->options.params) {
    if (!planField(p)) {
      error = {"--param " + p + ": no tabs or line breaks", 2};
      return std::nullopt;
    }
  }
  return plan;
}

fs::path planFile(const fs::path& outdir) {
  return outdir / "plan.tsv";
}

std::string formatPlan(const Plan& plan) {
  std::string text = std::string(kPlanHeader) + "\n";
  text += std::string("conditioning\t") + (plan.options.conditioning ? "on" : "off") + "\n";
  if (!plan.options.config.empty()) text += "config\t" + plan.options.config + "\n";
  for (const std::string& p : plan.options.params) text += "param\t" + p + "\n";
  for (const WorkItem& item : plan.items) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", item.seconds);
    text += "conversation\t" + item.id + "\t" + seconds + "\n";
    for (const PlanInput& input : item.inputs) {
      text += "input\t" + input.speaker + "\t" + std::to_string(input.channel) + "\t" +
              std::to_string(input.stamp.size) + "\t" + std::to_string(input.stamp.modified) +
              "\t" + input.file + "\n";
    }
  }
  return text;
}

bool parsePlan(const std::string& text, Plan& plan, std::string& error) {
  plan = Plan{};
  std::istringstream lines(text);
  std::string line;
  std::size_t number = 0;
  const auto bad = [&](const char* why) {
    error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    std::vector<std::string> f;
    for (std::size_t at = 0;;) {
      const std::size_t tab = line.find('\t', at);
      f.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
      if (tab == std::string::npos) break;
      at = tab + 1;
    }
    if (number == 1) {
      if (line != kPlanHeader) return bad("not a corpus plan");
    } else if (f[0] == "conditioning" && f.size() == 2) {
      plan.options.conditioning = f[1] == "on";
    } else if (f[0] == "config" && f.size() == 2) {
      plan.options.config = f[1];
    } else if (f[0] == "param" && f.size() == 2) {
      plan.options.params.push_back(f[1]);
    } else if (f[0] == "conversation" && f.size() == 3) {
      plan.items.push_back(WorkItem{f[1], {}, std::strtod(f[2].c_str(), nullptr)});
    } else if (f[0] == "input" && f.size() == 6 && !plan.items.empty()) {
      PlanInput input;
      input.speaker = f[1];
      input.channel = std::atoi(f[2].c_str());
      input.stamp.size = std::strtoull(f[3].c_str(), nullptr, 10);
      input.stamp.modified = std::strtoll(f[4].c_str(), nullptr, 10);
      input.file = f[5];
      plan.items.back().inputs.push_back(std::move(input));
    } else {
      return bad("not a line of a corpus plan");
    }
  }
  if (number == 0) return bad("empty");
  return true;
}

bool sameCorpus(const Plan& a, const Plan& b) {
  return identity(a) == identity(b);
}

bool loadPlan(const fs::path& outdir, Plan& plan, std::string& error) {
  const fs::path path = planFile(outdir);
  std::FILE* file = std::fopen(path.string().c_str(), "rb");
  if (file == nullptr) {
    error = path.string() + ": no plan here (make one with loquant corpus plan)";
    return false;
  }
  std::string text;
  std::array<char, 1 << 14> buffer{};
  for (std::size_t got = 0; (got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0;) {
    text.append(buffer.data(), got);
  }
  std::fclose(file);
  if (!parsePlan(text, plan, error)) {
    error = path.string() + ": " + error;
    return false;
  }
  return true;
}

}  // namespace loquant::cli::corpus
