// Instance claims on POSIX: a flock'ed file of the instance's own name in
// /dev/shm (host/instance_claim.h), and the directory walks that find,
// check and clear the objects of one instance.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

#include "host/instance_claim.h"
#include "util/format.h"
#include "util/named_objects.h"
#include "util/object_names.h"

namespace vornix::host {

namespace {

constexpr const char* kShmDirectory = "/dev/shm/";
// Semaphores of earlier versions were system semaphores, files with this
// prefix in front of the object name.
constexpr std::string_view kLegacySemaphorePrefix = "sem.";
constexpr std::string_view kClaimKind = "Claim";
constexpr int kTakeAttempts = 8;

std::string claimFile(std::uint16_t number) {
  const std::optional<std::string> name = systemObjectName(instanceClaimFileName(number));
  return name ? std::string(kShmDirectory) + name->substr(1) : std::string();
}

// The part of a system object's file name before the full name.
std::string userPrefix() {
  return "loquant." + std::to_string(::geteuid()) + ".Local\\";
}

// Takes letters from the front of `text`; false when there were none.
bool skipLetters(std::string_view& text) {
  std::size_t n = 0;
  while (n < text.size() && std::isalpha(static_cast<unsigned char>(text[n])) != 0) ++n;
  text.remove_prefix(n);
  return n != 0;
}

// Parses a file of /dev/shm as "[sem.]loquant.<our uid>.Local\<Kind>_<stem>
// <Word>_<number>[_...]" (the stem of util/object_names.h): the instance's number and the kind, or
// nullopt for a file that is no object of an instance of ours.
struct ObjectName {
  std::uint16_t number = 0;
  std::string_view kind;
};
std::optional<ObjectName> parseObjectFile(std::string_view file, const std::string& prefix) {
  if (file.starts_with(kLegacySemaphorePrefix)) file.remove_prefix(kLegacySemaphorePrefix.size());
  if (!file.starts_with(prefix)) return std::nullopt;
  file.remove_prefix(prefix.size());
  ObjectName parsed;
  const std::string_view kindStart = file;
  if (!skipLetters(file)) return std::nullopt;
  parsed.kind = kindStart.substr(0, kindStart.size() - file.size());
  if (!file.starts_with('_')) return std::nullopt;
  file.remove_prefix(1);
  if (!file.starts_with(kInstanceNameStem)) return std::nullopt;
  file.remove_prefix(kInstanceNameStem.size());
  if (!skipLetters(file) || !file.starts_with('_')) return std::nullopt;
  file.remove_prefix(1);
  unsigned value = 0;
  const auto [end, problem] = std::from_chars(file.data(), file.data() + file.size(), value);
  if (problem != std::errc() || end == file.data() || value > 0xFFFFU) return std::nullopt;
  if (end != file.data() + file.size() && *end != '_') return std::nullopt;
  parsed.number = static_cast<std::uint16_t>(value);
  return parsed;
}

// Calls `visit(directory fd, file name, parsed name, lstat info)` for every
// object file of instance `number` (of every instance without one); stops
// when it returns false.
void forEachObject(
    std::optional<std::uint16_t> number,
    const std::function<bool(int, const char*, const ObjectName&, const struct stat&)>& visit) {
  std::unique_ptr<DIR, int (*)(DIR*)> directory(::opendir(kShmDirectory), &::closedir);
  if (!directory) return;
  const int fd = ::dirfd(directory.get());
  const std::string prefix = userPrefix();
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::optional<ObjectName> parsed = parseObjectFile(entry->d_name, prefix);
    if (!parsed || (number && parsed->number != *number)) continue;
    struct stat info {};
    if (::fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!visit(fd, entry->d_name, *parsed, info)) return;
  }
}

bool ours(const struct stat& info) {
  return S_ISREG(info.st_mode) && info.st_uid == ::geteuid();
}

std::string describeForeign(const char* file, const struct stat& info) {
  if (S_ISLNK(info.st_mode)) return formatString("'%s%s' is a symbolic link", kShmDirectory, file);
  if (!S_ISREG(info.st_mode)) {
    return formatString("'%s%s' is not a regular file", kShmDirectory, file);
  }
  return formatString("'%s%s' belongs to another user (uid %u)", kShmDirectory, file,
                      static_cast<unsigned>(info.st_uid));
}

std::string readSmallFile(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// "pid <pid> start <ticks since boot> boot <boot id>\n"
std::string claimText() {
  std::string start = "?";
  const std::string stat = readSmallFile("/proc/self/stat");
  // Field 22 (start time) counts from the field after the command's ')'.
  if (const std::size_t close = stat.rfind(')'); close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
      if (i == 22) start = field;
    }
  }
  std::string boot = readSmallFile("/proc/sys/kernel/random/boot_id");
  if (boot.empty()) boot = "?";
  return formatString("pid %ld start %s boot %s\n", static_cast<long>(::getpid()), start.c_str(),
                      boot.c_str());
}

// The pid a claim file names; 0 when it names none (yet).
long claimPid(int fd) {
  char text[128] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 4 || std::strncmp(text, "pid ", 4) != 0) return 0;
  long pid = 0;
  std::from_chars(text + 4, text + n, pid);
  return pid;
}

}  // namespace

struct InstanceClaim::Held {
  int fd = -1;
  std::string file;
  ~Held() {
    // The name goes while the lock is held: a process that opened the file
    // before and locks it after finds it nameless and tries again.
    if (fd >= 0) {
      ::unlink(file.c_str());
      ::close(fd);
    }
  }
};

InstanceClaim::InstanceClaim(std::uint16_t number, std::unique_ptr<Held> held) noexcept
    : number_(number), held_(std::move(held)) {}
InstanceClaim::~InstanceClaim() = default;

namespace {

// Takes the claim of `number`; with `create` false only a claim file that is
// there already (one a dead holder left) is taken, and none is made.
std::unique_ptr<InstanceClaim> takeClaim(std::uint16_t number, InstanceClaim::Refusal& refusal,
                                         std::string& error, bool create) {
  using Refusal = InstanceClaim::Refusal;
  using Held = InstanceClaim::Held;
  refusal = Refusal::failed;
  const std::string file = claimFile(number);
  if (file.empty()) {
    error = formatString("instance %u: its names are too long for the system", number);
    return nullptr;
  }
  for (int attempt = 0; attempt < kTakeAttempts; ++attempt) {
    auto held = std::make_unique<Held>();
    held->file = file;
    held->fd = ::open(file.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0), 0600);
    struct stat info {};
    if (held->fd < 0) {
      const int code = errno;
      if (code == ELOOP || code == EACCES || code == EPERM) {
        // A link, or a file of another user that we may not open.
        refusal = Refusal::foreign;
        if (::lstat(file.c_str(), &info) == 0) {
          error = formatString(
              "instance %u: %s", number,
              describeForeign(file.c_str() + std::strlen(kShmDirectory), info).c_str());
        } else {
          error = formatString("instance %u: '%s' cannot be opened: %s", number, file.c_str(),
                               std::strerror(code));
        }
        return nullptr;
      }
      error = formatString("instance %u: cannot create '%s': %s", number, file.c_str(),
                           std::strerror(code));
      return nullptr;
    }
    if (::fstat(held->fd, &info) != 0 || !ours(info)) {
      refusal = Refusal::foreign;
      error =
          formatString("instance %u: %s", number,
                       describeForeign(file.c_str() + std::strlen(kShmDirectory), info).c_str());
      ::close(std::exchange(held->fd, -1));
      return nullptr;
    }
    if (::flock(held->fd, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK) {
        error = formatString("instance %u: cannot lock '%s': %s", number, file.c_str(),
                             std::strerror(errno));
        ::close(std::exchange(held->fd, -1));
        return nullptr;
      }
      // The holder writes its pid right after it locks: give it a moment.
      long pid = claimPid(held->fd);
      for (int wait = 0; pid == 0 && wait < 50; ++wait) {
        ::usleep(1000);
        pid = claimPid(held->fd);
      }
      ::close(std::exchange(held->fd, -1));
      refusal = Refusal::inUse;
      error = pid != 0 ? formatString("instance %u is in use by process %ld", number, pid)
                       : formatString("instance %u is in use by another process", number);
      return nullptr;
    }
    // Locked: still the file of the name? (Its last holder may have removed
    // the name after we opened it.)
    struct stat named {};
    if (::lstat(file.c_str(), &named) != 0 || named.st_dev != info.st_dev ||
        named.st_ino != info.st_ino) {
      ::close(std::exchange(held->fd, -1));
      continue;
    }
    const std::string text = claimText();
    if (::fchmod(held->fd, 0600) != 0 || ::ftruncate(held->fd, 0) != 0 ||
        ::pwrite(held->fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
      error = formatString("instance %u: cannot write '%s': %s", number, file.c_str(),
                           std::strerror(errno));
      return nullptr;  // the name goes with `held`
    }
    refusal = Refusal::none;
    return std::make_unique<InstanceClaim>(number, std::move(held));
  }
  error = formatString("instance %u: its claim kept changing hands", number);
  return nullptr;
}

}  // namespace

std::unique_ptr<InstanceClaim> InstanceClaim::take(std::uint16_t number, Refusal& refusal,
                                                   std::string& error) {
  return takeClaim(number, refusal, error, true);
}

std::size_t sweepDeadInstances() {
  std::vector<std::uint16_t> numbers;
  forEachObject(std::nullopt,
                [&numbers](int, const char*, const ObjectName& name, const struct stat& info) {
                  if (name.kind == kClaimKind && ours(info)) numbers.push_back(name.number);
                  return true;
                });
  std::size_t removed = 0;
  for (const std::uint16_t number : numbers) {
    InstanceClaim::Refusal refusal = InstanceClaim::Refusal::none;
    std::string error;
    // Held while the objects go, so that no host starts on the number
    // meanwhile; released (its name removed) at the end of the turn.
    const std::unique_ptr<InstanceClaim> claim = takeClaim(number, refusal, error, false);
    if (claim) removed += clearInstanceObjects(number);
  }
  return removed;
}

bool instanceClaimed(std::uint16_t number) {
  const std::string file = claimFile(number);
  if (file.empty()) return false;
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool held = false;
  if (::fstat(fd, &info) == 0 && ours(info)) {
    // A shared lock is refused while the owner holds its exclusive one.
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
      held = errno == EWOULDBLOCK;
    } else {
      ::flock(fd, LOCK_UN);
    }
  }
  ::close(fd);
  return held;
}

std::string foreignInstanceObject(std::uint16_t number) {
  std::string found;
  forEachObject(number,
                [&found](int, const char* file, const ObjectName&, const struct stat& info) {
                  if (ours(info)) return true;
                  found = describeForeign(file, info);
                  return false;
                });
  return found;
}

std::size_t clearInstanceObjects(std::uint16_t number) {
  std::size_t removed = 0;
  forEachObject(number, [&removed](int directory, const char* file, const ObjectName& name,
                                   const struct stat& info) {
    if (name.kind != kClaimKind && ours(info) && ::unlinkat(directory, file, 0) == 0) ++removed;
    return true;
  });
  return removed;
}

}  // namespace vornix::host
