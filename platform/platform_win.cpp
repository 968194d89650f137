// Windows implementation of the platform layer: the performance counter, Sleep, LoadLibrary,
// ShellExecute, the 1 ms multimedia timer and MoveFileEx-based atomic file replacement.
#include "platform/platform.h"

#include <windows.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>

// <windows.h> maps these names to their ANSI functions; ours are the platform layer's own.
#undef CreateDirectory

namespace mervane::platform {

namespace {
// The performance-counter frequency, sampled once when the library is loaded; 0 when the
// counter is unavailable (then the tick count serves).
const LONGLONG g_counterFrequency = [] {
  LARGE_INTEGER frequency{};
  return QueryPerformanceFrequency(&frequency) ? frequency.QuadPart : 0;
}();

// The module (DLL) holding this code stays loaded until the process ends: its threads (the control
// thread, a host's calls in flight) run its code, and the loader cannot join a thread while it
// unloads a DLL, so a FreeLibrary that unloaded it would hang or pull the code from under them.
// FreeLibrary then only lowers the count; the state lives on as it does on Linux.
const bool g_modulePinned = [] {
  HMODULE module = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCSTR>(&g_counterFrequency), &module) != 0;
}();

DWORD ToMilliseconds(double seconds) {
  double ms = std::ceil(seconds * 1000.0);
  return ms >= 4294967294.0 ? 4294967294u : static_cast<DWORD>(ms);
}
}  // namespace

double NowSeconds() {
  LARGE_INTEGER counter{};
  if (g_counterFrequency > 0 && QueryPerformanceCounter(&counter))
    return static_cast<double>(counter.QuadPart) / static_cast<double>(g_counterFrequency);
  return static_cast<double>(GetTickCount64()) * 0.001;
}

void SleepSeconds(double seconds) {
  if (!(seconds > 0)) return;
  Sleep(ToMilliseconds(seconds));
}

void SleepMs(unsigned milliseconds) { Sleep(milliseconds); }

std::optional<std::string> GetEnv(const char* name) {
  if (name == nullptr) return std::nullopt;
  SetLastError(ERROR_SUCCESS);
  DWORD needed = GetEnvironmentVariableA(name, nullptr, 0);
  if (needed == 0) {
    if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    return std::string();
  }
  std::string value(needed, '\0');
  DWORD got = GetEnvironmentVariableA(name, value.data(), needed);
  value.resize(got < needed ? got : 0);
  return value;
}

// Both the process environment (what GetEnv and child processes see) and the C runtime's copy
// (what getenv sees) are changed. The runtime's copy first: it cannot hold an empty value, and
// setting one there removes the variable from the process environment too, so the process
// environment gets its value after that.
void SetEnv(const char* name, const char* value) {
  if (name == nullptr || value == nullptr) return;
  _putenv_s(name, value);
  SetEnvironmentVariableA(name, value);
}

void UnsetEnv(const char* name) {
  if (name == nullptr) return;
  SetEnvironmentVariableA(name, nullptr);
  _putenv_s(name, "");
}

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::string& path) {
  if (path.empty()) return false;
  DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CreateDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (CreateDirectoryA(path.c_str(), nullptr)) return true;
  return DirectoryExists(path);
}

namespace {
// Owns a file handle.
class FileHandle {
public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  bool Close() {
    bool ok = true;
    if (Valid()) ok = CloseHandle(handle_) != 0;
    handle_ = INVALID_HANDLE_VALUE;
    return ok;
  }

private:
  HANDLE handle_;
};
}  // namespace

ReadStatus ReadWholeFile(const std::string& path, std::vector<std::uint8_t>& out, std::size_t maxBytes) {
  out.clear();
  if (path.empty()) return ReadStatus::Missing;
  // A folder cannot be opened this way (no backup semantics), a pipe or device is refused below.
  FileHandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadStatus::Missing
                                                                          : ReadStatus::Failed;
  }
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) return ReadStatus::Failed;
  std::uint8_t chunk[4096];
  while (out.size() < maxBytes) {
    DWORD n = 0;
    auto want = static_cast<DWORD>(std::min(sizeof chunk, maxBytes - out.size()));
    if (!ReadFile(file.Get(), chunk, want, &n, nullptr)) {
      out.clear();
      return ReadStatus::Failed;
    }
    if (n == 0) break;
    out.insert(out.end(), chunk, chunk + n);
  }
  return ReadStatus::Ok;
}

namespace {
// Whether process `id` has ended (a process that cannot be asked may still live).
bool ProcessGone(DWORD id) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

// Removes the temporary files "<path>.tmp<id>" that a process killed during a write of `path`
// left behind, as the other systems do.
void RemoveStaleTemporaries(const std::string& path) {
  auto separator = std::find_if(path.rbegin(), path.rend(), IsPathSeparator);
  std::string folder(path.begin(), separator.base());
  std::string leaf = std::string(separator.base(), path.end()) + ".tmp";
  for (const std::string& name : ListFiles(folder.empty() ? std::string(".") : folder, leaf)) {
    std::string id = name.substr(leaf.size());
    if (id.empty() || id.size() > 9 || id.find_first_not_of("0123456789") != std::string::npos) continue;
    auto process = static_cast<DWORD>(std::stoul(id));
    if (process != GetCurrentProcessId() && ProcessGone(process)) DeleteFileA((folder + name).c_str());
  }
}
}  // namespace

namespace {
// Moves `from` over `to`. A file that another program holds open (a reader, a virus scanner, a
// backup) cannot be replaced until it is closed: such refusals are retried for up to 200 ms
// before the write counts as failed.
bool ReplaceByRename(const std::string& from, const std::string& to) {
  constexpr int kAttempts = 100;
  for (int attempt = 0;; ++attempt) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    const bool busy = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
    if (!busy || attempt + 1 >= kAttempts) return false;
    Sleep(2);
  }
}
}  // namespace

bool WriteFileAtomic(const std::string& path, const void* data, std::size_t size) {
  if (path.empty() || (data == nullptr && size > 0)) return false;
  RemoveStaleTemporaries(path);
  std::string temp = path + ".tmp" + std::to_string(GetCurrentProcessId());
  FileHandle file(CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return false;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  bool ok = true;
  while (ok && size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    ok = WriteFile(file.Get(), bytes, chunk, &written, nullptr) && written > 0;
    bytes += written;
    size -= written;
  }
  ok = ok && FlushFileBuffers(file.Get());
  ok = file.Close() && ok;
  // Write-through: the rename itself reaches the disk before the call returns.
  if (!ok || !ReplaceByRename(temp, path)) {
    DeleteFileA(temp.c_str());
    return false;
  }
  return true;
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (folder.empty()) return names;
  std::string pattern = folder;
  if (!IsPathSeparator(pattern.back())) pattern += kPathSeparator;
  pattern += prefix + "*";
  WIN32_FIND_DATAA entry{};
  HANDLE find = FindFirstFileA(pattern.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = entry.cFileName;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  } while (FindNextFileA(find, &entry));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

// --- DynamicLibrary ---------------------------------------------------------------------------

bool DynamicLibrary::Open(const std::string& path, bool keepLoaded) {
  Close();
  if (path.empty()) return false;
  // No "cannot find" dialog box for a missing library: the caller tries the next candidate.
  UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  handle_ = LoadLibraryA(path.c_str());
  SetErrorMode(previous);
  if (handle_ != nullptr && keepLoaded) {
    // Pinned: no FreeLibrary unloads it any more.
    HMODULE pinned = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(handle_), &pinned);
  }
  return handle_ != nullptr;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
  handle_ = nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string OwnFolder() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&OwnFolder), &module))
    return {};
  char name[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(module, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::string path(name, length);
  auto separator = std::find_if(path.rbegin(), path.rend(), IsPathSeparator);
  if (separator == path.rend()) return ".";
  return std::string(path.begin(), separator.base() - 1);
}

// --- locks between processes ---------------------------------------------------------------------

namespace {
// The locked byte lies far past the holder's line: Windows locks bar reading what they cover.
constexpr DWORD kLockOffsetHigh = 1;

bool LockByte(HANDLE file) {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  return LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockByte(HANDLE file) {
  OVERLAPPED at = {};
  at.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(file, 0, 1, 0, &at);
}

HANDLE OpenShared(const std::string& path, DWORD creation) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

FileLock::~FileLock() { Unlock(); }

bool FileLock::TryLock(const std::string& path, const std::string& holder) {
  Unlock();
  HANDLE file = OpenShared(path, OPEN_ALWAYS);
  if (file == INVALID_HANDLE_VALUE) return false;
  if (!LockByte(file)) {
    CloseHandle(file);
    return false;
  }
  DWORD written = 0;
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  WriteFile(file, holder.data(), static_cast<DWORD>(holder.size()), &written, nullptr);
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

void FileLock::Unlock() {
  if (handle_ == kNone) return;
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  // The line goes first, so that the next holder's readers never find this one's name in it.
  SetFilePointer(file, 0, nullptr, FILE_BEGIN);
  SetEndOfFile(file);
  UnlockByte(file);
  CloseHandle(file);
  handle_ = kNone;
}

// Windows offers no look without taking: the probe takes the lock for an instant.
std::optional<std::string> FileLock::HolderOf(const std::string& path) {
  HANDLE file = OpenShared(path, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::string> line;
  if (LockByte(file)) {
    UnlockByte(file);
  } else {
    char buffer[256];
    DWORD n = 0;
    line.emplace();
    if (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) line->assign(buffer, n);
  }
  CloseHandle(file);
  return line;
}

int CurrentProcessId() { return static_cast<int>(GetCurrentProcessId()); }

std::string ProgramName() {
  char name[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, name, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "a program";
  std::string path(name, length);
  auto separator = std::find_if(path.rbegin(), path.rend(), IsPathSeparator);
  std::string file(separator.base(), path.end());
  if (file.size() > 4 && file.compare(file.size() - 4, 4, ".exe") == 0) file.resize(file.size() - 4);
  return file;
}

namespace {
// Whether the desktop can measure text. Where it cannot (seen in Wine 8's 32-bit mode, whose
// GetTextMetrics always fails), the system's own edit controls fault while laying out their text,
// so the window would take the host process down with it.
bool TextMetricsWork() {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  TEXTMETRICW metrics{};
  const bool measured = GetTextMetricsW(screen, &metrics) != 0;
  ReleaseDC(nullptr, screen);
  return measured;
}
}  // namespace

// The control window's Windows view is part of the library; a process without a desktop (a
// service) has no window station to show it on, and a desktop that cannot measure text cannot
// hold its edit controls.
std::string DisplayPlatform() {
  HWINSTA station = GetProcessWindowStation();
  USEROBJECTFLAGS flags{};
  const bool visible = station == nullptr ||
                       !GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, nullptr) ||
                       (flags.dwFlags & WSF_VISIBLE) != 0;
  return visible && TextMetricsWork() ? "windows" : std::string();
}

// --- processes and messages -------------------------------------------------------------------

// The installed Windows driver decides which USB ids it serves; FT_SetVIDPID does not exist there.
bool DriverListsOnlyDefaultUsbIds() { return false; }

bool LaunchDetached(const std::string& program) {
  if (program.empty()) return false;
  // ShellExecute returns a value above 32 on success.
  HINSTANCE result = ShellExecuteA(nullptr, "open", program.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

bool ProcessEnding() {
  // ntdll's own flag, set while ExitProcess runs the DLLs' detach code.
  using Query = BOOLEAN(WINAPI*)();
  static const Query query = [] {
    FARPROC function = GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress");
    return reinterpret_cast<Query>(reinterpret_cast<void*>(function));
  }();
  return query != nullptr && query() != FALSE;
}

void ShowMessage(const std::string& caption, const std::string& text) {
  // A console program (the host's tests and tools) gets the text where its user looks; a window
  // program has no console and gets a message box.
  if (GetConsoleWindow() != nullptr || GetFileType(GetStdHandle(STD_ERROR_HANDLE)) != FILE_TYPE_UNKNOWN) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return;
  }
  MessageBoxA(nullptr, text.c_str(), caption.c_str(), MB_OK | MB_ICONWARNING);
}

// --- RealtimeTimer ----------------------------------------------------------------------------

namespace {
// The multimedia timer calls back on the system's timer thread every period. Resting kills the
// timer event from its own callback (allowed there) and Wake creates a new one.
struct MultimediaTimer {
  RealtimeTimer::Callback callback = nullptr;
  void* context = nullptr;
  UINT periodMs = 1;
  double period = 0.001;
  // Guards `event`, `woken`, `resting` and `stop`; the user callback never runs with it held, so
  // Wake() from a thread that holds a device lock never waits on the tick. Timer thread and any
  // thread that calls Wake, Resting or Stop.
  std::mutex mutex;
  UINT event = 0;
  bool woken = false;
  // Written with `mutex` held; the callback reads them without it, so that a tick never waits
  // for a thread calling Wake or Resting.
  std::atomic<bool> resting{false};
  std::atomic<bool> stop{false};
  // The grid: call k is due at start + k * period. `start` is fixed by Start; `next` (the index
  // of the next grid point to call) belongs to the timer thread, except while no event exists
  // (Start, Wake after a rest).
  double start = 0;
  std::uint64_t next = 1;
  // Set by Start: the first call anchors the grid (it is index 1), since the first callback of a
  // new event may come several periods after timeSetEvent. Timer thread after Start.
  bool anchor = true;
  // Set when an event is created: its first call counts no skipped points (its delay is the
  // event's start, not an overslept period). Timer thread after StartEvent.
  bool fresh = true;
  std::atomic<bool> restRequested{false};
  // Callbacks in progress, so that Stop returns only when none runs any more.
  std::atomic<int> active{0};
  std::atomic<DWORD> timerThread{0};
  std::atomic<bool> realtime{false};
};
}  // namespace

struct RealtimeTimer::State : MultimediaTimer {};

namespace {
// The thread last raised to time-critical priority: the multimedia timer thread is raised on its
// first callback and stays raised, whichever timer later runs on it.
std::atomic<DWORD> g_raisedThread{0};

void CALLBACK TimerProc(UINT, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto& state = *reinterpret_cast<MultimediaTimer*>(user);
  state.active.fetch_add(1);
  DWORD self = GetCurrentThreadId();
  if (state.timerThread.load() != self) {
    state.timerThread = self;
    if (g_raisedThread.exchange(self) != self)
      state.realtime = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
    else
      state.realtime = GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_TIME_CRITICAL;
  }
  const bool stopping = state.stop.load(std::memory_order_acquire) || state.resting.load(std::memory_order_acquire);
  if (!stopping) {
    // Grid points the timer thread overslept are skipped, never burst through, as on the other
    // systems: the multimedia timer makes up for a stall with calls in quick succession, and
    // those that come more than half a period before the next grid point are not passed on.
    // The multimedia timer keeps a cadence of its own, which slips against our clock and makes
    // up for it with two calls in a row (Wine's slips about a tenth of a period a call): a call
    // up to one and a half periods late still takes the next grid point, so that the make-up
    // call that follows finds its own instead of being dropped as early.
    const double now = NowSeconds();
    if (state.anchor) {
      state.anchor = false;
      state.start = now - state.period;
      state.next = 1;
    }
    const double due = state.start + static_cast<double>(state.next) * state.period;
    const bool catchUp = now < due - 0.5 * state.period;
    if (!catchUp) {
      RealtimeTimer::Beat beat;
      beat.index = state.next;
      if (now >= due + 1.5 * state.period) {
        // The latest grid point already passed is the one called now; those before it are skipped.
        beat.index = std::max(state.next, static_cast<std::uint64_t>(std::floor((now - state.start) / state.period)));
      }
      beat.skipped = state.fresh ? 0 : beat.index - state.next;
      state.fresh = false;
      beat.deadline = state.start + static_cast<double>(beat.index) * state.period;
      state.callback(state.context, beat);
      state.next = beat.index + 1;
    }
    if (!catchUp && state.restRequested.exchange(false)) {
      std::lock_guard lock(state.mutex);
      if (!state.woken && !state.stop && state.event != 0) {
        timeKillEvent(state.event);
        state.event = 0;
        state.resting = true;
      }
      state.woken = false;
    }
  }
  state.active.fetch_sub(1);
}

// Creates the periodic event, the first call due at the next grid point (after a rest, the points
// rested through are not counted as skipped); state.mutex held or no callback possible.
bool StartEvent(MultimediaTimer& state) {
  const double now = NowSeconds();
  state.next = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::floor((now - state.start) / state.period)) + 1);
  state.fresh = true;
  state.event = timeSetEvent(state.periodMs, state.periodMs, &TimerProc, reinterpret_cast<DWORD_PTR>(&state),
                             TIME_PERIODIC | TIME_CALLBACK_FUNCTION | TIME_KILL_SYNCHRONOUS);
  return state.event != 0;
}
}  // namespace

RealtimeTimer::~RealtimeTimer() { Stop(); }

bool RealtimeTimer::Start(double periodSeconds, Callback callback, void* context) {
  if (state_ != nullptr || callback == nullptr || !(periodSeconds > 0)) return false;
  TIMECAPS caps{};
  if (timeGetDevCaps(&caps, sizeof caps) != TIMERR_NOERROR) return false;
  auto* state = new State;
  state->callback = callback;
  state->context = context;
  state->periodMs = std::clamp<UINT>(static_cast<UINT>(std::lround(periodSeconds * 1000.0)), caps.wPeriodMin,
                                     caps.wPeriodMax);
  state->period = state->periodMs * 0.001;
  timeBeginPeriod(state->periodMs);
  state->start = NowSeconds();
  // Published before the event exists: its callback may call RestAfterThisCall at once.
  state_ = state;
  bool created;
  {
    std::lock_guard lock(state->mutex);
    created = StartEvent(*state);
  }
  if (!created) {
    timeEndPeriod(state->periodMs);
    state_ = nullptr;
    delete state;
    return false;
  }
  return true;
}

void RealtimeTimer::Stop() {
  if (state_ == nullptr) return;
  if (ProcessEnding()) {
    // The timer thread is gone, perhaps in the middle of a callback: nothing to wait for or free.
    state_ = nullptr;
    return;
  }
  UINT event;
  {
    std::lock_guard lock(state_->mutex);
    state_->stop = true;
    event = state_->event;
    state_->event = 0;
  }
  if (event != 0) timeKillEvent(event);
  // A callback that started before the kill finishes first (unless Stop runs inside it).
  if (state_->timerThread.load() != GetCurrentThreadId()) {
    while (state_->active.load() != 0) Sleep(0);
    timeEndPeriod(state_->periodMs);
    delete state_;
  } else {
    // Stopped from its own callback: the state must outlive this call; it is left behind (one
    // small block per such stop), as the thread of the other systems is detached.
    timeEndPeriod(state_->periodMs);
  }
  state_ = nullptr;
}

bool RealtimeTimer::Running() const { return state_ != nullptr; }

void RealtimeTimer::RestAfterThisCall() {
  if (state_ != nullptr) state_->restRequested.store(true);
}

void RealtimeTimer::Wake() {
  if (state_ == nullptr) return;
  std::lock_guard lock(state_->mutex);
  if (state_->stop) return;
  if (state_->resting) {
    state_->resting = false;
    state_->woken = false;
    StartEvent(*state_);
  } else {
    state_->woken = true;
  }
}

bool RealtimeTimer::Resting() const {
  if (state_ == nullptr) return false;
  std::lock_guard lock(state_->mutex);
  return state_->resting;
}

bool RealtimeTimer::RealtimePriority() const { return state_ != nullptr && state_->realtime.load(); }

}  // namespace mervane::platform
