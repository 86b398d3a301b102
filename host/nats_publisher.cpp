#include "host/nats_publisher.h"

#include <nats/nats.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace vornix::host {

namespace {

// At most this many messages go out between two confirmations.
constexpr std::size_t kBatch = 256;
constexpr std::int64_t kConnectTimeoutMs = 2000;
constexpr std::int64_t kConfirmTimeoutMs = 2000;

struct ConnectionDeleter {
  void operator()(natsConnection* c) const noexcept { natsConnection_Destroy(c); }
};
struct OptionsDeleter {
  void operator()(natsOptions* o) const noexcept { natsOptions_Destroy(o); }
};
struct JetStreamDeleter {
  void operator()(jsCtx* js) const noexcept { jsCtx_Destroy(js); }
};
struct MessageDeleter {
  void operator()(natsMsg* m) const noexcept { natsMsg_Destroy(m); }
};
using Connection = std::unique_ptr<natsConnection, ConnectionDeleter>;
using Options = std::unique_ptr<natsOptions, OptionsDeleter>;
using JetStream = std::unique_ptr<jsCtx, JetStreamDeleter>;
using Message = std::unique_ptr<natsMsg, MessageDeleter>;

std::string statusText(natsStatus s) {
  std::string text = natsStatus_GetText(s);
  const char* last = nats_GetLastError(nullptr);
  if (last != nullptr && *last != '\0' && text.find(last) == std::string::npos) {
    text += std::string(" (") + last + ")";
  }
  return text;
}

bool readable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return static_cast<bool>(in);
}

struct Pending {
  std::string subject;
  std::string payload;
  std::uint16_t instance = 0;
  std::uint64_t sequence = 0;  // per publisher, for JetStream's duplicate check
  std::size_t bytes() const noexcept { return subject.size() + payload.size(); }
};

}  // namespace

struct NatsPublisher::State {
  NatsSettings settings;
  std::FILE* log = nullptr;
  std::string id;  // distinguishes this publisher's message ids

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<Pending> backlog;
  std::size_t backlogBytes = 0;
  std::uint64_t nextSequence = 0;
  bool finishing = false;
  std::chrono::steady_clock::time_point deadline{};
  bool reportedDrops = false;
  Stats stats;

  // Worker only.
  Connection connection;
  JetStream jetStream;
  bool everConnected = false;
  bool reportedOutage = false;
  // The servers other than the configured one that connections so far knew
  // of (those of its cluster the server announced): offered to every new
  // connection, so a server of a cluster that goes away is replaced by
  // another of it, not waited for.
  std::vector<std::string> servers;
  std::thread worker;

  Options options(std::string& error) const {
    natsOptions* raw = nullptr;
    natsStatus s = natsOptions_Create(&raw);
    Options opts(raw);
    if (s == NATS_OK) s = natsOptions_SetURL(raw, settings.server.c_str());
    if (s == NATS_OK && !servers.empty()) {
      std::vector<const char*> list;
      for (const std::string& server : servers) list.push_back(server.c_str());
      s = natsOptions_SetServers(raw, list.data(), static_cast<int>(list.size()));
    }
    // The configured server first, then the others in the order known.
    if (s == NATS_OK) s = natsOptions_SetNoRandomize(raw, true);
    // The publisher reconnects itself, so it knows what was confirmed.
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(raw, false);
    if (s == NATS_OK) s = natsOptions_SetTimeout(raw, kConnectTimeoutMs);
    if (s == NATS_OK) s = natsOptions_SetPingInterval(raw, 1000);
    if (s == NATS_OK) s = natsOptions_SetMaxPingsOut(raw, 2);
    if (s == NATS_OK) s = natsOptions_SetName(raw, "loquant");
    if (s == NATS_OK && settings.tls) s = natsOptions_SetSecure(raw, true);
    if (s == NATS_OK && !settings.caFile.empty()) {
      s = natsOptions_LoadCATrustedCertificates(raw, settings.caFile.c_str());
    }
    if (s == NATS_OK && !settings.certFile.empty()) {
      s = natsOptions_LoadCertificatesChain(raw, settings.certFile.c_str(),
                                            settings.keyFile.c_str());
    }
    if (s == NATS_OK && !settings.credentials.empty()) {
      s = natsOptions_SetUserCredentialsFromFiles(raw, settings.credentials.c_str(), nullptr);
    }
    if (s != NATS_OK) {
      error = "NATS options: " + statusText(s);
      return nullptr;
    }
    return opts;
  }

  // One attempt. NATS_OK, or the status with the reason in `error`.
  natsStatus connect(std::string& error) {
    Options opts = options(error);
    if (!opts) return NATS_ERR;
    natsConnection* raw = nullptr;
    natsStatus s = natsConnection_Connect(&raw, opts.get());
    Connection made(raw);
    if (s != NATS_OK) {
      error = "NATS server " + settings.host + ":" + std::to_string(settings.port) + ": " +
              statusText(s);
      return s;
    }
    JetStream js;
    if (!settings.stream.empty()) {
      jsCtx* rawJs = nullptr;
      s = natsConnection_JetStream(&rawJs, made.get(), nullptr);
      js.reset(rawJs);
      if (s == NATS_OK) s = ensureStream(js.get(), error);
      if (s != NATS_OK) {
        if (error.empty()) error = "NATS JetStream: " + statusText(s);
        return s;
      }
    }
    rememberServers(made.get());
    connection = std::move(made);
    jetStream = std::move(js);
    return NATS_OK;
  }

  // Adds the servers `c` knows of to `servers`; a list it cannot give
  // leaves `servers` as it was.
  void rememberServers(natsConnection* c) {
    char** list = nullptr;
    int count = 0;
    if (natsConnection_GetServers(c, &list, &count) != NATS_OK) return;
    for (int i = 0; i < count; ++i) {
      if (list[i] == nullptr) continue;
      const std::string server = list[i];
      if (server != settings.server &&
          std::find(servers.begin(), servers.end(), server) == servers.end()) {
        servers.push_back(server);
      }
      std::free(list[i]);
    }
    std::free(list);
  }

  natsStatus ensureStream(jsCtx* js, std::string& error) const {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus s = js_GetStreamInfo(&info, js, settings.stream.c_str(), nullptr, &code);
    if (s == NATS_OK) {
      jsStreamInfo_Destroy(info);
      return NATS_OK;
    }
    if (s != NATS_NOT_FOUND) {
      error = "NATS stream '" + settings.stream + "': " + statusText(s);
      return s;
    }
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const std::string subjects = settings.prefix + ".>";
    const char* list[] = {subjects.c_str()};
    config.Name = settings.stream.c_str();
    config.Subjects = list;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    s = js_AddStream(&info, js, &config, nullptr, &code);
    if (s != NATS_OK) {
      error = "NATS stream '" + settings.stream + "' cannot be made: " + statusText(s);
      return s;
    }
    jsStreamInfo_Destroy(info);
    return NATS_OK;
  }

  // Publishes `batch` and has it confirmed; false when the connection failed.
  bool send(const std::vector<Pending>& batch) {
    for (const Pending& p : batch) {
      natsMsg* raw = nullptr;
      natsStatus s = natsMsg_Create(&raw, p.subject.c_str(), nullptr, p.payload.data(),
                                    static_cast<int>(p.payload.size()));
      Message message(raw);
      if (s == NATS_OK) {
        s = natsMsgHeader_Set(raw, "Loquant-Instance", std::to_string(p.instance).c_str());
      }
      if (s == NATS_OK && jetStream) {
        const std::string msgId = id + "-" + std::to_string(p.sequence);
        jsPubOptions pubOptions;
        jsPubOptions_Init(&pubOptions);
        pubOptions.MsgId = msgId.c_str();
        pubOptions.MaxWait = kConfirmTimeoutMs;
        jsPubAck* ack = nullptr;
        jsErrCode code = static_cast<jsErrCode>(0);
        s = js_PublishMsg(&ack, jetStream.get(), raw, &pubOptions, &code);
        if (ack != nullptr) jsPubAck_Destroy(ack);
      } else if (s == NATS_OK) {
        s = natsConnection_PublishMsg(connection.get(), raw);
      }
      if (s != NATS_OK) return false;
    }
    return jetStream || natsConnection_FlushTimeout(connection.get(), kConfirmTimeoutMs) == NATS_OK;
  }

  void run() {
    std::chrono::milliseconds backoff = settings.firstBackoff;
    auto nextAttempt = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      if (finishing && (backlog.empty() || now >= deadline)) return;
      if (backlog.empty()) {
        changed.wait(lock);
        continue;
      }
      if (!connection) {
        if (now < nextAttempt) {
          changed.wait_until(lock, finishing ? std::min(nextAttempt, deadline) : nextAttempt);
          continue;
        }
        lock.unlock();
        std::string error;
        const bool ok = connect(error) == NATS_OK;
        lock.lock();
        if (!ok) {
          if (!reportedOutage) {
            reportedOutage = true;
            if (log != nullptr) {
              std::fprintf(log,
                           "loquant: %s; keeping up to %zu bytes of messages until it is back\n",
                           error.c_str(), settings.backlogBytes);
            }
          }
          nextAttempt = std::chrono::steady_clock::now() + backoff;
          backoff = std::min(backoff * 2, settings.longestBackoff);
          continue;
        }
        if (everConnected) ++stats.reconnects;
        if (reportedOutage && log != nullptr) {
          std::fprintf(log, "loquant: NATS server %s:%u back; publishing %zu waiting message(s)\n",
                       settings.host.c_str(), static_cast<unsigned>(settings.port), backlog.size());
        }
        everConnected = true;
        reportedOutage = false;
        reportedDrops = false;
      }
      // Only this thread removes from the front, so the batch stays there.
      std::vector<Pending> batch(
          backlog.begin(),
          backlog.begin() + static_cast<std::ptrdiff_t>(std::min(kBatch, backlog.size())));
      lock.unlock();
      const bool sent = send(batch);
      if (!sent) {
        jetStream.reset();
        connection.reset();
      }
      lock.lock();
      if (!sent) {
        // A server that takes connections but not the messages (a cluster
        // electing a stream leader) is retried with the same backoff as an
        // absent one: only a confirmed batch resets it.
        nextAttempt = std::chrono::steady_clock::now() + backoff;
        backoff = std::min(backoff * 2, settings.longestBackoff);
        continue;
      }
      backoff = settings.firstBackoff;
      for (std::size_t i = 0; i < batch.size(); ++i) {
        backlogBytes -= backlog.front().bytes();
        backlog.pop_front();
      }
      stats.published += batch.size();
    }
  }
};

bool parsePublishAddress(std::string_view text, NatsSettings& out, std::string& error) {
  NatsSettings settings;
  std::string_view rest = text;
  if (rest.starts_with("nats://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("tls://")) {
    rest.remove_prefix(6);
    settings.tls = true;
  } else {
    error = "--publish takes nats://HOST:PORT/PREFIX, not '" + std::string(text) + "'";
    return false;
  }
  std::string_view query;
  if (const std::size_t q = rest.find('?'); q != std::string_view::npos) {
    query = rest.substr(q + 1);
    rest = rest.substr(0, q);
  }
  std::string_view hostPort = rest;
  if (const std::size_t slash = rest.find('/'); slash != std::string_view::npos) {
    hostPort = rest.substr(0, slash);
    const std::string_view prefix = rest.substr(slash + 1);
    if (!prefix.empty()) settings.prefix = std::string(prefix);
  }
  std::string_view host = hostPort;
  if (const std::size_t colon = hostPort.rfind(':'); colon != std::string_view::npos) {
    host = hostPort.substr(0, colon);
    const std::string_view port = hostPort.substr(colon + 1);
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
      error = "--publish: '" + std::string(port) + "' is not a port number";
      return false;
    }
    settings.port = static_cast<std::uint16_t>(value);
  }
  if (host.empty()) {
    error = "--publish: the address names no host";
    return false;
  }
  settings.host = std::string(host);
  const bool wildcard = settings.prefix.find_first_of("*> \t") != std::string::npos;
  if (wildcard || settings.prefix.front() == '.' || settings.prefix.back() == '.' ||
      settings.prefix.find("..") != std::string::npos) {
    error = "--publish: '" + settings.prefix + "' is not a subject prefix";
    return false;
  }
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const std::size_t eq = item.find('=');
    const std::string_view key = item.substr(0, eq);
    const std::string value = eq == std::string_view::npos ? "" : std::string(item.substr(eq + 1));
    if (key == "backlog") {
      std::size_t bytes = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), bytes);
      if (ec != std::errc() || end != value.data() + value.size() || bytes == 0) {
        error = "--publish: backlog takes a number of bytes, not '" + value + "'";
        return false;
      }
      settings.backlogBytes = bytes;
    } else if (key == "stream" && !value.empty()) {
      settings.stream = value;
    } else if (key == "creds" && !value.empty()) {
      settings.credentials = value;
    } else if (key == "ca" && !value.empty()) {
      settings.caFile = value;
      settings.tls = true;
    } else if (key == "cert" && !value.empty()) {
      settings.certFile = value;
    } else if (key == "key" && !value.empty()) {
      settings.keyFile = value;
    } else {
      error = "--publish: unknown option '" + std::string(item) +
              "' (backlog, stream, creds, ca, cert, key)";
      return false;
    }
  }
  if (settings.certFile.empty() != settings.keyFile.empty()) {
    error = "--publish: cert and key go together";
    return false;
  }
  settings.server = std::string(settings.tls ? "tls://" : "nats://") + settings.host + ":" +
                    std::to_string(settings.port);
  out = std::move(settings);
  return true;
}

std::string subjectToken(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '.' || c == '*' || c == '>' || u <= 0x20 || u == 0x7f) c = '_';
  }
  if (out.empty()) out = "_";
  return out;
}

NatsPublisher::NatsPublisher(Key, std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<NatsPublisher> NatsPublisher::start(const NatsSettings& settings, std::FILE* log,
                                                    std::string& error) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(settings.host.c_str(), nullptr, &hints, &found);
  if (resolved != 0) {
    error = "NATS server '" + settings.host + "' does not resolve: " + ::gai_strerror(resolved);
    return nullptr;
  }
  ::freeaddrinfo(found);
  for (const std::string* file :
       {&settings.credentials, &settings.caFile, &settings.certFile, &settings.keyFile}) {
    if (!file->empty() && !readable(*file)) {
      error = *file + ": cannot be read";
      return nullptr;
    }
  }
  auto state = std::make_unique<State>();
  state->settings = settings;
  state->log = log;
  state->id = std::to_string(
      static_cast<unsigned long long>(std::chrono::system_clock::now().time_since_epoch().count()));
  std::string why;
  const natsStatus first = state->connect(why);
  if (first != NATS_OK) {
    // An unreachable server may come; anything else it said is final.
    if (first != NATS_NO_SERVER && first != NATS_TIMEOUT && first != NATS_IO_ERROR) {
      error = why;
      return nullptr;
    }
    state->reportedOutage = true;
    if (log != nullptr) {
      std::fprintf(log, "loquant: %s; keeping up to %zu bytes of messages until it is up\n",
                   why.c_str(), settings.backlogBytes);
    }
  } else {
    state->everConnected = true;
  }
  State* raw = state.get();
  raw->worker = std::thread([raw] { raw->run(); });
  return std::make_unique<NatsPublisher>(Key{}, std::move(state));
}

NatsPublisher::~NatsPublisher() {
  finish(std::chrono::milliseconds(0));
}

void NatsPublisher::publish(std::string_view subject, std::string_view payload,
                            std::uint16_t instance) {
  Pending p;
  p.subject.reserve(state_->settings.prefix.size() + 1 + subject.size());
  p.subject.append(state_->settings.prefix).append(".").append(subject);
  p.payload = std::string(payload);
  p.instance = instance;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->finishing) {
      ++state_->stats.dropped;
      return;
    }
    if (state_->backlogBytes + p.bytes() > state_->settings.backlogBytes) {
      ++state_->stats.dropped;
      if (!state_->reportedDrops && state_->log != nullptr) {
        std::fprintf(state_->log,
                     "loquant: NATS backlog full (%zu bytes): dropping messages until the server "
                     "takes them (counted)\n",
                     state_->settings.backlogBytes);
      }
      state_->reportedDrops = true;
      return;
    }
    p.sequence = state_->nextSequence++;
    state_->backlogBytes += p.bytes();
    state_->backlog.push_back(std::move(p));
  }
  state_->changed.notify_all();
}

bool NatsPublisher::finish(std::chrono::milliseconds limit) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->finishing) {
      state_->finishing = true;
      state_->deadline = std::chrono::steady_clock::now() + limit;
    }
  }
  state_->changed.notify_all();
  if (state_->worker.joinable()) state_->worker.join();
  std::lock_guard<std::mutex> lock(state_->mutex);
  const bool all = state_->backlog.empty();
  state_->stats.dropped += state_->backlog.size();
  state_->backlog.clear();
  state_->backlogBytes = 0;
  state_->jetStream.reset();
  state_->connection.reset();
  return all;
}

NatsPublisher::Stats NatsPublisher::stats() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  Stats s = state_->stats;
  s.pending = state_->backlog.size();
  s.pendingBytes = state_->backlogBytes;
  return s;
}

const NatsSettings& NatsPublisher::settings() const noexcept {
  return state_->settings;
}

}  // namespace vornix::host
