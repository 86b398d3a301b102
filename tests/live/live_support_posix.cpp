#include "live/live_support_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <cstdlib>
#include <thread>

namespace loquant::test {

namespace {

bool accepts(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

Received received(natsMsg* msg) {
  Received r;
  r.subject = natsMsg_GetSubject(msg);
  r.payload.assign(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  const char* value = nullptr;
  if (natsMsgHeader_Get(msg, "Loquant-Instance", &value) == NATS_OK && value != nullptr) {
    r.instance = value;
  }
  return r;
}

}  // namespace

std::uint16_t freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

std::string natsServerProgram() {
  for (const char* path :
       {"/usr/sbin/nats-server", "/usr/bin/nats-server", "/usr/local/bin/nats-server"}) {
    if (::access(path, X_OK) == 0) return path;
  }
  return {};
}

NatsServer::NatsServer(std::uint16_t port, std::filesystem::path store,
                       std::vector<std::string> options)
    : port_(port), store_(std::move(store)), options_(std::move(options)) {}

NatsServer::~NatsServer() {
  stop();
}

bool NatsServer::start() {
  const std::string program = natsServerProgram();
  if (program.empty() || pid_ > 0) return false;
  const std::string port = std::to_string(port_);
  std::vector<std::string> args = {program, "-a", "127.0.0.1", "-p", port};
  if (!store_.empty()) {
    args.insert(args.end(), {"-js", "-sd", store_.string()});
  }
  args.insert(args.end(), options_.begin(), options_.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  if (pid_ < 0) return false;
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < limit) {
    if (accepts(port_)) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stop();
  return false;
}

void NatsServer::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

Subscriber::Subscriber(const std::string& url, const std::string& subject) {
  natsOptions* options = nullptr;
  if (natsOptions_Create(&options) != NATS_OK) return;
  natsOptions_SetURL(options, url.c_str());
  natsOptions_SetMaxReconnect(options, -1);
  natsOptions_SetReconnectWait(options, 20);
  if (natsConnection_Connect(&connection_, options) == NATS_OK) {
    if (natsConnection_Subscribe(&subscription_, connection_, subject.c_str(), &onMessage, this) !=
            NATS_OK ||
        natsConnection_FlushTimeout(connection_, 2000) != NATS_OK) {
      natsSubscription_Destroy(subscription_);
      subscription_ = nullptr;
    }
  }
  natsOptions_Destroy(options);
}

Subscriber::~Subscriber() {
  if (subscription_ != nullptr) {
    natsSubscription_Unsubscribe(subscription_);
    natsSubscription_Destroy(subscription_);
  }
  if (connection_ != nullptr) {
    natsConnection_Close(connection_);
    natsConnection_Destroy(connection_);
  }
}

void Subscriber::onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
  auto& subscriber = *static_cast<Subscriber*>(self);
  {
    std::lock_guard<std::mutex> lock(subscriber.mutex_);
    subscriber.received_.push_back(received(msg));
  }
  natsMsg_Destroy(msg);
}

std::vector<Received> Subscriber::waitFor(std::size_t count, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (received_.size() >= count || std::chrono::steady_clock::now() >= until) {
        return received_;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::filesystem::path& dir, const std::filesystem::path& out,
                 const std::filesystem::path& err, bool asUser, uid_t uid, gid_t gid) {
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = env;
  std::vector<char*> a;
  for (std::string& s : args) a.push_back(s.data());
  a.push_back(nullptr);
  std::vector<char*> e;
  for (std::string& s : environment) e.push_back(s.data());
  e.push_back(nullptr);
  const std::string outPath = out.string();
  const std::string errPath = err.string();
  const std::string dirPath = dir.string();
  pid_ = ::fork();
  if (pid_ != 0) return;
  // The child: only calls that are safe after fork.
  if (asUser && (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
                 ::setresuid(uid, uid, uid) != 0)) {
    ::_exit(126);
  }
  const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int r = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (o < 0 || r < 0 || ::dup2(o, 1) < 0 || ::dup2(r, 2) < 0 || ::chdir(dirPath.c_str()) != 0) {
    ::_exit(126);
  }
  ::execve(a[0], a.data(), e.data());
  ::_exit(127);
}

Process::~Process() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Process::signal(int number) const {
  if (pid_ > 0) ::kill(pid_, number);
}

int Process::wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const auto until = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= until) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ThrowAwayUser::ThrowAwayUser() : name_("lqlive" + std::to_string(::getpid())) {
  const std::string add = "useradd -M -r -s /usr/sbin/nologin " + name_ + " >/dev/null 2>&1";
  if (std::system(add.c_str()) != 0) return;
  if (const passwd* entry = ::getpwnam(name_.c_str())) {
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
    made_ = true;
  }
}

ThrowAwayUser::~ThrowAwayUser() {
  if (made_) (void)std::system(("userdel " + name_ + " >/dev/null 2>&1").c_str());
}

std::vector<std::string> sharedMemoryOf(uid_t uid) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) == 0 && info.st_uid == uid) {
      out.push_back(entry.path().filename().string());
    }
  }
  return out;
}

bool makeStream(const std::string& url, const std::string& stream, const std::string& subjects,
                int replicas, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  bool made = false;
  while (!made && std::chrono::steady_clock::now() < until) {
    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;
    if (natsConnection_ConnectTo(&connection, url.c_str()) == NATS_OK &&
        natsConnection_JetStream(&js, connection, nullptr) == NATS_OK) {
      jsStreamConfig config;
      jsStreamConfig_Init(&config);
      const char* list[] = {subjects.c_str()};
      config.Name = stream.c_str();
      config.Subjects = list;
      config.SubjectsLen = 1;
      config.Storage = js_FileStorage;
      config.Replicas = replicas;
      jsStreamInfo* info = nullptr;
      jsErrCode code = static_cast<jsErrCode>(0);
      made = js_AddStream(&info, js, &config, nullptr, &code) == NATS_OK;
      if (info != nullptr) jsStreamInfo_Destroy(info);
    }
    if (js != nullptr) jsCtx_Destroy(js);
    if (connection != nullptr) {
      natsConnection_Close(connection);
      natsConnection_Destroy(connection);
    }
    if (!made) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return made;
}

std::vector<Received> streamMessages(const std::string& url, const std::string& stream) {
  std::vector<Received> out;
  natsConnection* connection = nullptr;
  if (natsConnection_ConnectTo(&connection, url.c_str()) != NATS_OK) return out;
  jsCtx* js = nullptr;
  if (natsConnection_JetStream(&js, connection, nullptr) == NATS_OK) {
    for (std::uint64_t seq = 1;; ++seq) {
      natsMsg* msg = nullptr;
      jsErrCode code = static_cast<jsErrCode>(0);
      if (js_GetMsg(&msg, js, stream.c_str(), seq, nullptr, &code) != NATS_OK) break;
      out.push_back(received(msg));
      natsMsg_Destroy(msg);
    }
    jsCtx_Destroy(js);
  }
  natsConnection_Close(connection);
  natsConnection_Destroy(connection);
  return out;
}

}  // namespace loquant::test
