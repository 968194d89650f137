// POSIX implementation of the platform layer (Linux): clock_gettime/clock_nanosleep, dlopen,
// posix_spawnp, pthreads with SCHED_FIFO, rename-based atomic file replacement.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>


namespace mervane::platform {

namespace {
timespec ToTimespec(double seconds) {
  timespec ts{};
  double whole = std::floor(seconds);
  ts.tv_sec = static_cast<time_t>(whole);
  ts.tv_nsec = static_cast<long>((seconds - whole) * 1e9);
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}
}  // namespace

double NowSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepSeconds(double seconds) {
  if (!(seconds > 0)) return;
  timespec ts = ToTimespec(seconds);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void SleepMs(unsigned milliseconds) { SleepSeconds(milliseconds * 0.001); }

std::optional<std::string> GetEnv(const char* name) {
  if (name == nullptr) return std::nullopt;
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

void SetEnv(const char* name, const char* value) {
  if (name != nullptr && value != nullptr) setenv(name, value, 1);
}

void UnsetEnv(const char* name) {
  if (name != nullptr) unsetenv(name);
}

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CreateDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (mkdir(path.c_str(), 0777) == 0) return true;
  return DirectoryExists(path);
}

ReadStatus ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out, std::size_t maxBytes) {
  out.clear();
  // Non-blocking, so that a FIFO or device node in place of a file fails instead of hanging; a
  // path through a non-folder (ENOTDIR) names no file either.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? ReadStatus::Missing : ReadStatus::Failed;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return ReadStatus::Failed;
  }
  std::uint8_t chunk[4096];
  while (out.size() < maxBytes) {
    ssize_t n = read(fd, chunk, std::min(sizeof chunk, maxBytes - out.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      out.clear();
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  close(fd);
  return ReadStatus::Ok;
}

namespace {
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The folder part of `path`, for the fsync that makes a rename durable.
std::string FolderOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}
}  // namespace

namespace {
// Removes the temporary files "<path>.tmp<pid>" that a process killed during a write of `path`
// left behind. A file whose process still exists (or may: no permission to ask) is kept.
void RemoveStaleTemporaries(const std::string& path) {
  auto slash = path.find_last_of('/');
  std::string leaf = (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp";
  std::string folder = FolderOf(path);
  for (const std::string& name : ListFiles(folder, leaf)) {
    std::string digits = name.substr(leaf.size());
    if (digits.empty() || digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    pid_t pid = static_cast<pid_t>(std::stol(digits));
    if (pid <= 0 || pid == getpid()) continue;
    if (kill(pid, 0) != 0 && errno == ESRCH) unlink((folder + "/" + name).c_str());
  }
}
}  // namespace

bool WriteFileAtomic(const std::string& path, const void* data, std::size_t size) {
  if (path.empty() || (data == nullptr && size > 0)) return false;
  RemoveStaleTemporaries(path);
  std::string temp = path + ".tmp" + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, static_cast<const std::uint8_t*>(data), size) && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  int dir = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
  return true;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// --- DynamicLibrary ---------------------------------------------------------------------------

bool DynamicLibrary::Open(const std::string& path, bool keepLoaded) {
  Close();
  if (path.empty()) return false;
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | (keepLoaded ? RTLD_NODELETE : 0));
  return handle_ != nullptr;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

std::string OwnFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFolder), &info) == 0 || info.dli_fname == nullptr) return {};
  return FolderOf(info.dli_fname);
}

// --- locks between processes ---------------------------------------------------------------------

namespace {
// Open-file-description locks: owned by the open file, not the process, so that closing another
// descriptor of the same file (a reader's) never drops them, and dropped when the holder ends.
bool SetWholeFileLock(int fd, short type, int command) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  return fcntl(fd, command, &lock) == 0;
}
}  // namespace

FileLock::~FileLock() { Unlock(); }

bool FileLock::TryLock(const std::string& path, const std::string& holder) {
  Unlock();
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  if (!SetWholeFileLock(fd, F_WRLCK, F_OFD_SETLK)) {
    close(fd);
    return false;
  }
  // Who holds it is a courtesy for the others; the lock alone decides.
  if (ftruncate(fd, 0) == 0 && pwrite(fd, holder.data(), holder.size(), 0) < 0) {
    // keep the lock even when the line cannot be written
  }
  handle_ = fd;
  owner_ = static_cast<int>(getpid());
  return true;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  // The line goes first, so that the next holder's readers never find this one's name in it.
  if (owner_ == static_cast<int>(getpid()) && ftruncate(static_cast<int>(handle_), 0) != 0) {
    // the next holder replaces it anyway
  }
  close(static_cast<int>(handle_));  // drops the lock with the last descriptor of its file
  handle_ = kNone;
}

std::optional<std::string> FileLock::HolderOf(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct flock probe = {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  // Asks without taking: a probe never makes a holder's TryLock fail.
  bool held = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  std::string line;
  // A holder writes its line right after taking the lock: an empty file is read again a while.
  constexpr int kLooks = 50;
  constexpr unsigned kPauseMs = 2;
  for (int look = 0; held && line.empty() && look < kLooks; ++look) {
    char buffer[256];
    ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    if (n > 0) line.assign(buffer, static_cast<std::size_t>(n));
    if (line.empty()) SleepMs(kPauseMs);
  }
  close(fd);
  if (!held) return std::nullopt;
  return line;
}

int CurrentProcessId() { return static_cast<int>(getpid()); }

std::string ProgramName() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "a program";
  std::string whole(path, static_cast<std::size_t>(n));
  return whole.substr(whole.rfind('/') + 1);
}

// --- display ------------------------------------------------------------------------------------

namespace {
// Whether an X server accepts a connection (the display named by DISPLAY, with its authority).
// libxcb is loaded for the question only, so that nothing links against it.
bool XServerAnswers() {
  if (!GetEnv("DISPLAY").has_value()) return false;
  void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
  if (xcb == nullptr) return false;
  using Connect = void* (*)(const char*, int*);
  using HasError = int (*)(void*);
  using Disconnect = void (*)(void*);
  auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
  auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
  auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
  bool answers = false;
  if (connect != nullptr && hasError != nullptr && disconnect != nullptr) {
    void* connection = connect(nullptr, nullptr);
    if (connection != nullptr) {
      answers = hasError(connection) == 0;
      disconnect(connection);  // also frees a connection in error
    }
  }
  dlclose(xcb);
  return answers;
}

bool WaylandSocketExists() {
  std::optional<std::string> runtime = GetEnv("XDG_RUNTIME_DIR");
  if (!runtime || runtime->empty()) return false;
  std::string name = GetEnv("WAYLAND_DISPLAY").value_or("wayland-0");
  if (name.empty()) name = "wayland-0";
  std::string path = name[0] == '/' ? name : *runtime + "/" + name;
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
}  // namespace

std::string DisplayPlatform() {
  if (std::optional<std::string> chosen = GetEnv("QT_QPA_PLATFORM"); chosen && !chosen->empty()) {
    std::string name = chosen->substr(0, chosen->find(':'));
    if (name == "offscreen" || name == "minimal" || name == "vnc") return name;
    if (name == "xcb") return XServerAnswers() ? name : std::string();
    if (name.rfind("wayland", 0) == 0) return WaylandSocketExists() ? name : std::string();
    return {};  // a console platform (eglfs, linuxfb) is not ours to open
  }
  if (XServerAnswers()) return "xcb";
  if (WaylandSocketExists()) return "wayland";
  return {};
}

// --- processes and messages -------------------------------------------------------------------

bool DriverListsOnlyDefaultUsbIds() {
#if defined(__linux__)
  return true;
#else
  return false;
#endif
}

bool LaunchDetached(const std::string& program) {
  if (program.empty()) return false;
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  // Fork twice: the intermediate child starts the program and ends at once, so the program is
  // adopted by init and never becomes our zombie, and nothing of ours waits for it (the library
  // may be unloaded while it runs). Only async-signal-safe calls run between fork and exec.
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    pid_t grandchild = fork();
    if (grandchild == 0) {
      setsid();
      execvp(program.c_str(), argv);
      _exit(127);
    }
    _exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool ProcessEnding() { return false; }

void ShowMessage(const std::string& caption, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

// --- RealtimeTimer ----------------------------------------------------------------------------

struct RealtimeTimer::State {
  std::thread thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> restRequested{false};  // timer thread only
  // Guards `woken` and `resting`; the callback never runs with it held, so Wake() from a thread
  // that holds a device lock never waits on the tick.
  std::mutex restMutex;
  std::condition_variable restWake;
  bool woken = false;
  bool resting = false;
  std::atomic<bool> realtime{false};
  double period = 0.001;
  Callback callback = nullptr;
  void* context = nullptr;
};

namespace {
// Real-time priority and 1 ns timer slack; either may be refused (no privilege), then we run on.
bool RaiseToRealtime() {
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

// Sleeps to an absolute deadline on the monotonic clock.
void SleepUntil(double deadline) {
  timespec ts = ToTimespec(deadline);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}
}  // namespace

RealtimeTimer::~RealtimeTimer() { Stop(); }

bool RealtimeTimer::Start(double periodSeconds, Callback callback, void* context) {
  if (state_ != nullptr || callback == nullptr || !(periodSeconds > 0)) return false;
  auto* state = new State;
  state->period = periodSeconds;
  state->callback = callback;
  state->context = context;
  // Published before the thread starts: its callback may call RestAfterThisCall at once.
  state_ = state;
  try {
    state->thread = std::thread([state] {
      state->realtime = RaiseToRealtime();
      const double start = NowSeconds();
      const double period = state->period;
      Beat beat;
      beat.index = 1;
      while (!state->stop.load(std::memory_order_acquire)) {
        beat.deadline = start + static_cast<double>(beat.index) * period;
        SleepUntil(beat.deadline);
        if (state->stop.load(std::memory_order_acquire)) break;
        state->callback(state->context, beat);
        bool rested = false;
        if (state->restRequested.exchange(false)) {
          std::unique_lock rest(state->restMutex);
          state->resting = !state->woken;
          state->restWake.wait(rest, [state] { return state->woken || state->stop.load(); });
          rested = state->resting;
          state->resting = false;
          state->woken = false;
        }
        // Skip the grid points we overslept (or rested through) instead of bursting through them:
        // the next call is due at the first one still ahead.
        const double now = NowSeconds();
        std::uint64_t next = beat.index + 1;
        if (now >= start + static_cast<double>(next) * period)
          next = std::max(next, static_cast<std::uint64_t>(std::floor((now - start) / period)) + 1);
        beat.skipped = rested ? 0 : next - beat.index - 1;
        beat.index = next;
      }
    });
  } catch (...) {
    state_ = nullptr;
    delete state;
    return false;
  }
  return true;
}

void RealtimeTimer::Stop() {
  if (state_ == nullptr) return;
  {
    std::lock_guard rest(state_->restMutex);
    state_->stop.store(true, std::memory_order_release);
    state_->restWake.notify_all();
  }
  if (state_->thread.joinable()) {
    if (state_->thread.get_id() == std::this_thread::get_id())
      state_->thread.detach();  // stopped from its own callback; the loop ends by itself
    else
      state_->thread.join();
  }
  delete state_;
  state_ = nullptr;
}

bool RealtimeTimer::Running() const { return state_ != nullptr; }

void RealtimeTimer::RestAfterThisCall() {
  if (state_ != nullptr) state_->restRequested.store(true);
}

void RealtimeTimer::Wake() {
  if (state_ == nullptr) return;
  std::lock_guard rest(state_->restMutex);
  state_->woken = true;
  state_->restWake.notify_all();
}

bool RealtimeTimer::Resting() const {
  if (state_ == nullptr) return false;
  std::lock_guard rest(state_->restMutex);
  return state_->resting;
}

bool RealtimeTimer::RealtimePriority() const { return state_ != nullptr && state_->realtime.load(); }

}  // namespace mervane::platform
