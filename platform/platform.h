// Every operating-system call of mervane: monotonic clock, sleep, environment, files, dynamic
// loading, process launch, messages, the 1 ms real-time timer thread and the control thread with
// its periodic timers. Nothing outside this folder includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mervane::platform {

// Path conventions: the folder separator the library writes ('\\' on Windows, '/' elsewhere), and
// the suffix of a program file's name ('.exe' on Windows).
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kProgramSuffix = ".exe";
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kProgramSuffix = "";
#endif
// Whether `c` separates folders in a path ('/' on every system, '\\' too on Windows).
constexpr bool IsPathSeparator(char c) { return c == '/' || (kPathSeparator == '\\' && c == '\\'); }

// Seconds on the monotonic clock since an arbitrary origin (the tick's time base).
double NowSeconds();
void SleepSeconds(double seconds);
void SleepMs(unsigned milliseconds);

// Environment. GetEnv is empty when the variable is unset (and "" when it is set but empty).
std::optional<std::string> GetEnv(const char* name);
void SetEnv(const char* name, const char* value);
void UnsetEnv(const char* name);

// Files and folders. Paths are byte strings in the system's encoding.
bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path);
// Creates one folder level; true when it exists afterwards.
bool CreateDirectory(const std::string& path);
enum class ReadStatus { Ok, Missing, Failed };
// Reads a regular file without waiting, at most its first `maxBytes`; Missing when there is no
// file, Failed when something else is there (a folder, a pipe) or it cannot be read.
ReadStatus ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out,
                         std::size_t maxBytes = SIZE_MAX);
// Replaces `path` atomically: writes a temporary file beside it ("<path>.tmp<pid>"), flushes it
// to disk, renames it over the old one. A crash at any point leaves either the old or the new
// contents; a temporary file left by a process that no longer exists is removed by the next
// write of the same path.
bool WriteFileAtomic(const std::string& path, const void* data, std::size_t size);
// Files in `folder` whose names start with `prefix`, sorted by name.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& prefix);

// An exclusive lock on a file, shared by every process of the machine: held until Unlock, the
// object's end or the end of the process, however it ends (the system drops it with the
// process, so a lock never outlives its holder). The file keeps one line about the holder
// ("mervanectl move, pid 42") for the others to name it; the file itself stays.
class FileLock {
public:
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock without waiting (creating the file) and writes `holder` into it; false when
  // another holder, of this process or another, has it, or when the file cannot be made.
  bool TryLock(const std::string& path, const std::string& holder);
  void Unlock();
  bool Held() const { return handle_ != kNone; }
  // The holder's line while someone holds the lock on `path` ("" when its holder has not
  // written it yet); nothing when nobody holds it.
  static std::optional<std::string> HolderOf(const std::string& path);

private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;  // file descriptor or HANDLE
  // The process that took the lock: a child that inherited the descriptor (fork) and lets it go
  // must not erase the holder's line.
  int owner_ = 0;
};

// This process's id, and its program's file name without folder ("mervanectl", "python3").
int CurrentProcessId();
std::string ProgramName();

// A dynamically loaded library; closed when the object goes.
class DynamicLibrary {
public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;

  // `keepLoaded`: the library stays in the process after Close (and after the process's last
  // close), for code whose threads outlive its user.
  bool Open(const std::string& path, bool keepLoaded = false);
  void Close();
  bool IsOpen() const { return handle_ != nullptr; }
  void* Symbol(const char* name) const;

private:
  void* handle_ = nullptr;
};

// Whether the vendor's driver library on this system lists and opens only chips with its default
// USB ids until FT_SetVIDPID names others (its Linux library; on Windows the installed driver's
// own files decide and the call does not exist).
bool DriverListsOnlyDefaultUsbIds();

// The folder of the file (shared library or program) that holds this code; empty when unknown.
std::string OwnFolder();

// The graphical platform a window can use right now: QT_QPA_PLATFORM when it names one that
// needs no screen (offscreen, minimal, vnc) or whose server answers, else "xcb" when an X server
// accepts a connection, else "wayland" when a Wayland socket exists; empty when there is none.
// Creating a window without one ends the process, so this is asked first.
std::string DisplayPlatform();

// Starts `program` (searched on PATH when it holds no separator) without waiting for it; on
// Windows through the shell (verb "open", shown normally).
// Returns whether the launch went out (a program that cannot be run is not reported).
bool LaunchDetached(const std::string& program);

// Whether the process is ending: on Windows the loader runs the libraries' exit code after every
// other thread was ended (perhaps holding a lock), so no thread may be waited for then. Always
// false on Linux, where a library's exit code runs while its threads still live.
bool ProcessEnding();

// A message for the user when no window is available: standard error on Linux and for Windows
// console programs, a warning message box for other Windows programs.
void ShowMessage(const std::string& caption, const std::string& text);

// The periodic real-time timer: a thread that wakes at absolute deadlines on the monotonic clock,
// start + index * period for a whole index (no rounding accumulates over a long run), and calls
// `callback(context, beat)`. Missed periods are skipped, never burst. It asks for real-time
// scheduling and the finest timer slack, and runs on silently when either is refused. The
// callback must not block.
class RealtimeTimer {
public:
  // One call: the grid point it is due at, its index (the start is index 0), and how many grid
  // points were passed over right before it because the thread overslept (not while it rested).
  struct Beat {
    double deadline = 0;  // seconds
    std::uint64_t index = 0;
    std::uint64_t skipped = 0;
  };
  using Callback = void (*)(void* context, const Beat& beat);
  RealtimeTimer() = default;
  ~RealtimeTimer();
  RealtimeTimer(const RealtimeTimer&) = delete;
  RealtimeTimer& operator=(const RealtimeTimer&) = delete;

  // False when a thread cannot be created or the timer already runs.
  bool Start(double periodSeconds, Callback callback, void* context);
  // Waits for a running callback to return; no callback runs after Stop returns.
  void Stop();
  // Called from the callback: once it returns, the thread rests (no wake-ups, no CPU) until
  // Wake(). A Wake() that comes first cancels the rest.
  void RestAfterThisCall();
  // Ends a rest (or cancels the next one); the next call comes at the next grid point. Any thread.
  void Wake();
  // Whether the thread rests right now (for tests and reports).
  bool Resting() const;
  bool Running() const;
  // Whether the thread obtained real-time priority (for the benchmark report).
  bool RealtimePriority() const;

private:
  struct State;
  State* state_ = nullptr;
};

// A thread that sleeps until signalled and then calls `work(context)`. Signal never blocks and
// never allocates (an atomic increment and, when the thread sleeps, one futex wake), so the
// real-time tick may call it. Every signal is followed by at least one complete call of `work`
// that starts after it, also when Stop comes right after: nothing signalled is left undone.
class SignalledThread {
public:
  using Work = void (*)(void* context);
  SignalledThread();
  ~SignalledThread();
  SignalledThread(const SignalledThread&) = delete;
  SignalledThread& operator=(const SignalledThread&) = delete;

  // True when the thread runs (already, or newly created); a running thread keeps its work.
  bool Start(Work work, void* context);
  // Any thread.
  void Signal();
  // Calls `work` a last time, ends the thread and waits for it. From `work` itself (which cannot
  // wait for its own thread) it does nothing: the thread runs on until the next Stop.
  void Stop();
  bool OnThisThread() const;

private:
  struct State;
  State* state_;
};

// The control thread: runs periodic timers, each callback with `serialise` held, so that timer
// callbacks and everything else that takes that lock never run at the same time.
class ControlThread {
public:
  using TimerId = std::uint64_t;
  explicit ControlThread(std::recursive_mutex& serialise);
  ~ControlThread();
  ControlThread(const ControlThread&) = delete;
  ControlThread& operator=(const ControlThread&) = delete;

  // Adds a periodic timer whose first run is one interval from now. Starts the thread on first use.
  TimerId AddTimer(double intervalSeconds, std::function<void()> callback);
  // Call with `serialise` held (or from a timer callback): the callback never starts after this.
  void RemoveTimer(TimerId id);
  // Ends the thread (timers stay registered but never run). Call without `serialise` held.
  void Stop();
  std::size_t TimerCount() const;

private:
  struct State;
  State* state_;
};

}  // namespace mervane::platform
