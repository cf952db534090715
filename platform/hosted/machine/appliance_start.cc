#include "platform/hosted/machine/appliance_start.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/hosted/machine/host_files.h"

namespace brindle {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The kernel's name for this boot of the host; empty where it has none.
std::string BootId() {
  std::string id = FileText("/proc/sys/kernel/random/boot_id");
  while (!id.empty() && id.back() == '\n') id.pop_back();
  return id;
}

// Where the verdict on KVM is kept: the user's cache directory.
std::string VerdictPath() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  const char* home = std::getenv("HOME");
  if (cache != nullptr && *cache == '/') return std::string(cache) + "/brindle";
  if (home != nullptr && *home == '/')
    return std::string(home) + "/.cache/brindle";
  return "";
}

// The processes this one started that are still there (zombies included:
// their parent reaps them), by their ids.
std::vector<pid_t> Children() {
  std::vector<pid_t> children;
  const pid_t self = ::getpid();
  DIR* processes = ::opendir("/proc");
  if (processes == nullptr) return children;
  while (const dirent* entry = ::readdir(processes)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid <= 0) continue;
    // The parent's id follows the name, which is in brackets and may hold
    // anything, spaces and brackets too.
    const std::string stat =
        FileText("/proc/" + std::string(entry->d_name) + "/stat");
    const std::size_t named = stat.rfind(')');
    if (named == std::string::npos) continue;
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat.c_str() + named + 1, " %c %d", &state, &parent) == 2 &&
        parent == self) {
      children.push_back(pid);
    }
  }
  ::closedir(processes);
  return children;
}

bool IsQemu(pid_t pid) {
  return FileText("/proc/" + std::to_string(pid) + "/comm").rfind("qemu", 0) ==
         0;
}

// Ends every process the start made: qemu, and libguestfs's helper that
// would end qemu once this process is gone.
void EndChildren() {
  for (pid_t child : Children()) ::kill(child, SIGKILL);
}

double SecondsBetween(std::chrono::steady_clock::time_point from,
                      std::chrono::steady_clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

bool Readable(int fd) {
  if (fd < 0) return false;
  pollfd watched = {fd, POLLIN, 0};
  return ::poll(&watched, 1, 0) == 1;
}

}  // namespace

bool StartsUnderKvm(bool forceTcg) {
  const char* settings = std::getenv("LIBGUESTFS_BACKEND_SETTINGS");
  if (forceTcg ||
      (settings != nullptr && std::strstr(settings, "force_tcg") != nullptr)) {
    return false;
  }
  const int kvm = ::open("/dev/kvm", O_RDWR | O_CLOEXEC);
  if (kvm < 0) return false;
  ::close(kvm);
  return true;
}

bool KvmFoundSilentThisBoot() {
  const std::string directory = VerdictPath();
  const std::string boot = BootId();
  return !directory.empty() && !boot.empty() &&
         FileText(directory + "/kvm-silent") == boot + "\n";
}

void RememberKvmSilent() {
  const std::string directory = VerdictPath();
  const std::string boot = BootId();
  if (directory.empty() || boot.empty()) return;
  // A cache: a verdict that cannot be kept costs the next run the wait.
  std::error_code failed;
  std::filesystem::create_directories(directory, failed);
  const std::string path = directory + "/kvm-silent";
  const std::string text = boot + "\n";
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  WriteAllBytes(fd, text.data(), text.size());
  ::close(fd);
}

StartWatch::StartWatch(bool underKvm, int gone, int kvmSeconds,
                       int startSeconds)
    : underKvm_(underKvm),
      gone_(gone),
      kvmSeconds_(kvmSeconds),
      startSeconds_(startSeconds),
      watching_([this] { Watch(); }) {}

StartWatch::~StartWatch() { Finish(); }

void StartWatch::Heard(const char* text, std::size_t size) {
  // Quiet or verbose, the appliance's init names itself in its first line;
  // verbose, the kernel's banner comes first. The firmware's lines, which
  // a silent KVM still shows, are neither.
  const std::string_view said(text, size);
  if (said.find("supermin:") != std::string_view::npos ||
      said.find("Linux version") != std::string_view::npos) {
    alive_ = true;
  }
}

StartWatch::Verdict StartWatch::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  finished_.notify_all();
  if (watching_.joinable()) watching_.join();
  return verdict_;
}

StartWatch::Verdict StartWatch::Judge(double seconds, double sinceQemu) const {
  if (Readable(gone_)) return kRunGone;
  if (underKvm_ && !alive_ && sinceQemu > kvmSeconds_) return kKvmSilent;
  if (seconds > startSeconds_) return kTooSlow;
  return kStarted;
}

void StartWatch::Watch() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  std::optional<Clock::time_point> qemu;  // when the first qemu was seen
  std::unique_lock<std::mutex> lock(mutex_);
  while (!finished_.wait_for(lock, std::chrono::milliseconds(100),
                             [this] { return done_; })) {
    const Clock::time_point now = Clock::now();
    if (!qemu) {
      for (pid_t child : Children())
        if (IsQemu(child)) qemu = now;
    }
    verdict_ = Judge(SecondsBetween(start, now),
                     qemu ? SecondsBetween(*qemu, now) : 0);
    if (verdict_ != kStarted) {
      EndChildren();
      return;
    }
  }
}

}  // namespace brindle
