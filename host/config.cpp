#include "config.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <set>

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "host/parameter_bounds.h"
#include "util/format.h"

namespace vornix::host {

namespace {

// Thrown-free error channel for the walk: the first error wins.
struct Walk {
  std::string file;
  std::optional<ConfigError> error;

  bool fail(const toml::node* node, std::string reason) {
    if (!error) {
      const int line = node != nullptr ? static_cast<int>(node->source().begin.line) : 0;
      error = ConfigError{file, line, std::move(reason)};
    }
    return false;
  }

  // Refuses keys of `table` outside `allowed`: a misspelt key would otherwise
  // be ignored silently.
  bool onlyKeys(const toml::table& table, std::initializer_list<std::string_view> allowed,
                std::string_view where) {
    for (const auto& [key, node] : table) {
      bool known = false;
      for (std::string_view a : allowed) known = known || key.str() == a;
      if (!known) {
        return fail(&node, "unknown key '" + std::string(key.str()) + "' in " + std::string(where));
      }
    }
    return true;
  }

  bool text(const toml::table& table, std::string_view key, std::string& out, bool required,
            std::string_view where) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
      if (required) return fail(&table, std::string(where) + " needs '" + std::string(key) + "'");
      return true;
    }
    const auto* value = node->as_string();
    if (value == nullptr) return fail(node, "'" + std::string(key) + "' must be a text");
    out = value->get();
    return true;
  }

  template <class T>
  bool unsignedNumber(const toml::table& table, std::string_view key, T& out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return true;
    const auto* value = node->as_integer();
    if (value == nullptr || value->get() < 0 ||
        static_cast<std::uint64_t>(value->get()) > std::numeric_limits<T>::max()) {
      return fail(node, "'" + std::string(key) + "' must be a whole number from 0 to " +
                            std::to_string(std::numeric_limits<T>::max()));
    }
    out = static_cast<T>(value->get());
    return true;
  }

  bool flag(const toml::table& table, std::string_view key, bool& out) {
    const toml::node* node = table.get(key);
    if (node == nullptr) return true;
    const auto* value = node->as_boolean();
    if (value == nullptr) return fail(node, "'" + std::string(key) + "' must be true or false");
    out = value->get();
    return true;
  }

  bool typePath(const toml::table& table, std::string_view key, TypePath& out) {
    std::string textValue;
    if (!text(table, key, textValue, false, "")) return false;
    if (textValue.empty()) return true;
    out = parseTypePath(textValue);
    for (const std::string& level : out) {
      if (level.empty()) {
        return fail(table.get(key), "type '" + textValue + "' has an empty level name");
      }
    }
    if (out.size() > 16)
      return fail(table.get(key), "type '" + textValue + "' has more than 16 levels");
    return true;
  }

  bool parameter(const std::string& name, const toml::node& node, ParameterSpec& out) {
    out.name = name;
    if (const auto* s = node.as_string()) {
      out.value = s->get();
    } else if (const auto* i = node.as_integer()) {
      out.value = i->get();
      if (std::string why; !parameterWithinBounds(out, why)) return fail(&node, why);
    } else if (const auto* f = node.as_floating_point()) {
      out.value = f->get();
    } else if (const auto* b = node.as_boolean()) {
      out.value = std::string(b->get() ? "Yes" : "No");
    } else if (const auto* a = node.as_array()) {
      return list(name, *a, 0, out);
    } else if (const auto* t = node.as_table()) {
      if (!onlyKeys(*t, {"items", "current"}, "list parameter '" + name + "'")) return false;
      const auto* items = t->get_as<toml::array>("items");
      if (items == nullptr) return fail(&node, "list parameter '" + name + "' needs 'items'");
      std::uint32_t current = 0;
      if (!unsignedNumber(*t, "current", current)) return false;
      if (current >= items->size()) {
        return fail(&node, "list parameter '" + name + "': 'current' is past the last item");
      }
      return list(name, *items, current, out);
    } else {
      return fail(&node, "parameter '" + name + "' has a type a component cannot read");
    }
    return true;
  }

  bool list(const std::string& name, const toml::array& items, std::uint32_t current,
            ParameterSpec& out) {
    if (items.empty()) return fail(&items, "list parameter '" + name + "' is empty");
    if (items.is_homogeneous(toml::node_type::string)) {
      TextList v{{}, current};
      for (const auto& item : items) v.items.push_back(item.as_string()->get());
      out.value = std::move(v);
    } else if (items.is_homogeneous(toml::node_type::integer)) {
      IntegerList v{{}, current};
      for (const auto& item : items) v.items.push_back(item.as_integer()->get());
      out.value = std::move(v);
    } else if (items.is_homogeneous(toml::node_type::floating_point)) {
      RealList v{{}, current};
      for (const auto& item : items) v.items.push_back(item.as_floating_point()->get());
      out.value = std::move(v);
    } else {
      return fail(&items, "list parameter '" + name +
                              "' must hold only texts, only whole numbers or only reals");
    }
    return true;
  }

  bool content(const toml::table& table, std::vector<ContentTriple>& out) {
    const toml::node* node = table.get("content");
    if (node == nullptr) return true;
    const auto* rows = node->as_array();
    if (rows == nullptr) return fail(node, "'content' must be a list of [type, name, value]");
    for (const auto& row : *rows) {
      const auto* triple = row.as_array();
      if (triple == nullptr || triple->size() != 3 ||
          !triple->is_homogeneous(toml::node_type::string)) {
        return fail(&row, "each content entry must be [type, name, value], three texts");
      }
      ContentTriple t{(*triple)[0].as_string()->get(), (*triple)[1].as_string()->get(),
                      (*triple)[2].as_string()->get()};
      if (t.type != "S" && t.type != "I" && t.type != "F") {
        return fail(&row, "content type '" + t.type + "' must be S, I or F");
      }
      if (t.name.empty() || t.name.find("||") != std::string::npos ||
          t.value.find("||") != std::string::npos) {
        return fail(&row, "content names and values must not be empty or hold '||'");
      }
      if (t.type == "I" || t.type == "F") {
        errno = 0;
        char* end = nullptr;
        if (t.type == "I") {
          std::strtoll(t.value.c_str(), &end, 10);
        } else {
          std::strtod(t.value.c_str(), &end);
        }
        if (end == t.value.c_str() || *end != '\0' || errno == ERANGE) {
          return fail(&row, "content value '" + t.value + "' is not a " +
                                (t.type == "I" ? "whole number" : "number"));
        }
      }
      out.push_back(std::move(t));
    }
    return true;
  }

  bool post(const toml::table& table, PostConfig& out) {
    if (!onlyKeys(table, {"name", "type", "context", "target", "ttl", "drop", "tag", "content"},
                  "a post")) {
      return false;
    }
    return text(table, "name", out.name, true, "a post") && typePath(table, "type", out.type) &&
           typePath(table, "context", out.context) &&
           text(table, "target", out.target, false, "a post") &&
           unsignedNumber(table, "ttl", out.ttl) && flag(table, "drop", out.drop) &&
           unsignedNumber(table, "tag", out.postTag) && content(table, out.content) &&
           (!out.type.empty() || !out.context.empty() ||
            fail(&table, "post '" + out.name + "' needs a 'type' or a 'context'"));
  }

  bool trigger(const toml::table& table, TriggerConfig& out) {
    if (!onlyKeys(table, {"name", "type", "posts"}, "a trigger")) return false;
    if (!text(table, "name", out.name, true, "a trigger") ||
        !typePath(table, "type", out.pattern)) {
      return false;
    }
    if (out.pattern.empty()) return fail(&table, "trigger '" + out.name + "' needs a 'type'");
    if (out.name.size() > 255) return fail(&table, "trigger name longer than 255 characters");
    if (const toml::node* posts = table.get("posts")) {
      const auto* array = posts->as_array();
      if (array == nullptr) return fail(posts, "'posts' must be a list of tables");
      for (const auto& node : *array) {
        const auto* postTable = node.as_table();
        if (postTable == nullptr) return fail(&node, "each post must be a table");
        PostConfig p;
        if (!post(*postTable, p)) return false;
        out.posts.push_back(std::move(p));
      }
    }
    return true;
  }

  bool component(const toml::table& table, ComponentConfig& out) {
    out.line = static_cast<int>(table.source().begin.line);
    if (!onlyKeys(table, {"name", "entry", "process", "parameters", "triggers"}, "a component")) {
      return false;
    }
    if (!text(table, "name", out.name, true, "a component") ||
        !text(table, "entry", out.entry, true, "component '" + out.name + "'") ||
        !unsignedNumber(table, "process", out.process)) {
      return false;
    }
    if (out.name.empty() || out.name.size() > 255) {
      return fail(&table, "a component name must have 1 to 255 characters");
    }
    if (out.process == 0) return fail(table.get("process"), "process 0 is the host's own");
    if (const toml::node* params = table.get("parameters")) {
      const auto* t = params->as_table();
      if (t == nullptr) return fail(params, "'parameters' must be a table");
      for (const auto& [key, node] : *t) {
        ParameterSpec p;
        if (!parameter(std::string(key.str()), node, p)) return false;
        out.parameters.push_back(std::move(p));
      }
    }
    if (const toml::node* triggers = table.get("triggers")) {
      const auto* array = triggers->as_array();
      if (array == nullptr) return fail(triggers, "'triggers' must be a list of tables");
      for (const auto& node : *array) {
        const auto* t = node.as_table();
        if (t == nullptr) return fail(&node, "each trigger must be a table");
        TriggerConfig trig;
        if (!trigger(*t, trig)) return false;
        out.triggers.push_back(std::move(trig));
      }
    }
    return true;
  }

  bool system(const toml::table& root, SystemConfig& out) {
    if (!onlyKeys(root, {"library", "instance", "sections", "components"}, "the file")) {
      return false;
    }
    if (!text(root, "library", out.library, false, "the file")) return false;
    if (root.get("instance") != nullptr) {
      std::uint16_t instance = 0;
      if (!unsignedNumber(root, "instance", instance)) return false;
      out.instance = instance;
    }
    if (const toml::node* sections = root.get("sections")) {
      const auto* t = sections->as_table();
      if (t == nullptr) return fail(sections, "'sections' must be a table");
      if (!onlyKeys(*t, {"queue", "temporal_maximum"}, "[sections]") ||
          !unsignedNumber(*t, "queue", out.sizes.queue) ||
          !unsignedNumber(*t, "temporal_maximum", out.sizes.temporalMaximum)) {
        return false;
      }
    }
    const toml::node* components = root.get("components");
    const auto* array = components != nullptr ? components->as_array() : nullptr;
    if (array == nullptr || array->empty()) {
      return fail(components, "a system needs at least one [[components]] table");
    }
    std::set<std::string> names;
    for (const auto& node : *array) {
      const auto* t = node.as_table();
      if (t == nullptr) return fail(&node, "each component must be a table");
      ComponentConfig c;
      if (!component(*t, c)) return false;
      if (!names.insert(c.name).second) {
        return fail(t, "component name '" + c.name + "' is used twice");
      }
      out.components.push_back(std::move(c));
    }
    for (const ComponentConfig& c : out.components) {
      for (const TriggerConfig& t : c.triggers) {
        for (const PostConfig& p : t.posts) {
          if (!p.target.empty() && names.count(p.target) == 0) {
            error = ConfigError{file, c.line,
                                "post '" + p.name + "' of component '" + c.name +
                                    "' names an unknown target '" + p.target + "'"};
            return false;
          }
        }
      }
    }
    return true;
  }
};

}  // namespace

const ComponentConfig* SystemConfig::find(std::string_view name) const {
  for (const ComponentConfig& c : components) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

std::string ConfigError::text() const {
  if (line > 0) return file + ":" + std::to_string(line) + ": " + reason;
  return file + ": " + reason;
}

TypePath parseTypePath(std::string_view text) {
  TypePath levels;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    levels.emplace_back(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return levels;
}

namespace {

// The TOML parser's test for Unicode white space reaches undefined behaviour
// for the code points U+00A1-U+0499 and U+FB26-U+FEFE (its table misses those
// ranges), wherever it looks for white space: after a key, a value, inside a
// table header. Before parsing, each such character is therefore written as
// the escape "\uXXXX": inside a "..." text the parser turns it back into the
// same character, anywhere else it is plain ASCII that the parser refuses
// with its line. Only a '...' text, which takes no escapes, cannot hold them;
// that is refused here. Other bytes pass unchanged.
struct SafeText {
  std::string text;
  std::optional<int> refusedLine;
  std::uint32_t refused = 0;
};

// Mirrors the parser's table: code points from U+00A0 to U+FEFF fall into
// groups of 0x3FA; a group whose bit is clear in 0x7FFFFFFFFFFFF75E and that
// has no case of its own (groups 5 and 7 have) ends in the unreachable branch,
// except U+00A0, U+3000 and U+FEFF, which are tested before the groups. That
// leaves U+00A1-U+0499 (group 0) and U+FB26-U+FEFE (group 63).
bool hazardous(std::uint32_t c) {
  if (c < 0xA0 || c > 0xFEFF || c == 0xA0 || c == 0x3000 || c == 0xFEFF) return false;
  const std::uint64_t group = (std::uint64_t{c} - 0xA0U) / 0x3FAU;
  if (((std::uint64_t{1} << group) & 0x7FFFFFFFFFFFF75EULL) != 0) return false;
  return group != 5 && group != 7;
}

// The code point of the well-formed 2- or 3-byte UTF-8 sequence at `i` and its
// length; 0 when there is none (other sequences never decode into the ranges).
std::uint32_t decodeAt(std::string_view t, std::size_t i, std::size_t& length) {
  const auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(t[k]); };
  const auto tail = [&](std::size_t k) { return k < t.size() && (byte(k) & 0xC0U) == 0x80U; };
  if ((byte(i) & 0xE0U) == 0xC0U && tail(i + 1)) {
    length = 2;
    const std::uint32_t c = ((byte(i) & 0x1FU) << 6) | (byte(i + 1) & 0x3FU);
    return c >= 0x80 ? c : 0;
  }
  if ((byte(i) & 0xF0U) == 0xE0U && tail(i + 1) && tail(i + 2)) {
    length = 3;
    const std::uint32_t c =
        ((byte(i) & 0x0FU) << 12) | ((byte(i + 1) & 0x3FU) << 6) | (byte(i + 2) & 0x3FU);
    return c >= 0x800 ? c : 0;
  }
  return 0;
}

SafeText safeForParser(std::string_view text) {
  enum class In { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral };
  SafeText out;
  out.text.reserve(text.size());
  In in = In::kCode;
  int line = 1;
  const auto at = [&](std::size_t i, std::string_view s) { return text.substr(i, s.size()) == s; };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    std::size_t length = 0;
    const std::uint32_t code = static_cast<std::uint8_t>(c) >= 0x80 ? decodeAt(text, i, length) : 0;
    if (code != 0 && hazardous(code)) {
      if (in == In::kLiteral || in == In::kMultiLiteral) {
        out.refusedLine = line;
        out.refused = code;
        return out;
      }
      out.text += formatString("\\u%04X", static_cast<unsigned>(code));
      i += length - 1;
      continue;
    }
    out.text += c;
    if (c == '\n') {
      ++line;
      if (in == In::kComment || in == In::kBasic || in == In::kLiteral) in = In::kCode;
      continue;
    }
    switch (in) {
      case In::kCode:
        if (c == '#') {
          in = In::kComment;
        } else if (at(i, "\"\"\"") || at(i, "'''")) {
          in = c == '"' ? In::kMultiBasic : In::kMultiLiteral;
          out.text.append(2, c);
          i += 2;
        } else if (c == '"') {
          in = In::kBasic;
        } else if (c == '\'') {
          in = In::kLiteral;
        }
        break;
      case In::kComment:
        break;
      case In::kBasic:
      case In::kMultiBasic:
        if (c == '\\' && i + 1 < text.size() && static_cast<std::uint8_t>(text[i + 1]) < 0x80) {
          // An escaped ASCII character; a newline after it still counts.
          if (text[i + 1] == '\n') ++line;
          out.text += text[++i];
        } else if (in == In::kBasic ? c == '"' : at(i, "\"\"\"")) {
          if (in == In::kMultiBasic) {
            out.text.append(2, c);
            i += 2;
          }
          in = In::kCode;
        }
        break;
      case In::kLiteral:
      case In::kMultiLiteral:
        if (in == In::kLiteral ? c == '\'' : at(i, "'''")) {
          if (in == In::kMultiLiteral) {
            out.text.append(2, c);
            i += 2;
          }
          in = In::kCode;
        }
        break;
    }
  }
  return out;
}

}  // namespace

ConfigResult parseConfig(std::string_view text, const std::string& source) {
  const SafeText safe = safeForParser(text);
  if (safe.refusedLine) {
    return ConfigError{source, *safe.refusedLine,
                       formatString("character U+%04X cannot be read in a '...' text; write it "
                                    "in a \"...\" text",
                                    static_cast<unsigned>(safe.refused))};
  }
  toml::parse_result parsed = toml::parse(safe.text, source);
  if (!parsed) {
    const toml::parse_error& e = parsed.error();
    return ConfigError{source, static_cast<int>(e.source().begin.line),
                       std::string(e.description())};
  }
  Walk walk{source, std::nullopt};
  SystemConfig config;
  if (!walk.system(parsed.table(), config)) return *walk.error;
  return config;
}

ConfigResult loadConfig(const std::string& path) {
  // A directory opens and reads as empty on some systems: name it.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    return ConfigError{path, 0, "is a directory, not a configuration file"};
  }
  const std::string tooLarge = formatString(
      "is larger than %zu bytes, the most a configuration file may hold", kMaximumConfigBytes);
  // A regular file is measured before anything is read; anything else (a
  // device, a pipe) is read no further than one byte past the limit.
  if (std::filesystem::is_regular_file(path, ec)) {
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaximumConfigBytes) return ConfigError{path, 0, tooLarge};
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return ConfigError{path, 0, "cannot be read: " + std::string(std::strerror(errno))};
  std::string text(kMaximumConfigBytes + 1U, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return ConfigError{path, 0, "cannot be read: " + std::string(std::strerror(errno))};
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaximumConfigBytes) return ConfigError{path, 0, tooLarge};
  // A recording named where the configuration belongs: say so rather than
  // report its bytes as a syntax error.
  if (text.starts_with("RIFF") || text.starts_with("FORM")) {
    return ConfigError{path, 0, "is a recording, not a configuration file"};
  }
  return parseConfig(text, path);
}

}  // namespace vornix::host
